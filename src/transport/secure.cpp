// A verified TLS connection to one server of the host list: the TCP connection (direct, or a
// tunnel through the proxy), SNI, the TLS handshake and the check of the server's certificate,
// every wait ending at the request's deadline.
#include <arpa/inet.h>
#include <chrono>
#include <openssl/x509v3.h>
#include <syslog.h>

#include "pam/log.h"
#include "transport/proxy_int.h"
#include "transport/secure_int.h"
#include "transport/transport.h"

namespace zv::transport {
namespace {

// Log lines of the steps below carry the name of the function they are steps of.
constexpr const char kFn[] = "post_json_request";

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// SNI (for a name) and the name the certificate must carry, checked by OpenSSL's own matcher.
bool expect_name(const module_params *params, SSL *ssl, const Server &server) {
  SSL_set_mode(ssl, SSL_MODE_AUTO_RETRY);
  if (!server.address && SSL_set_tlsext_host_name(ssl, server.name) != 1) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to set SNI hostname");
    log_ssl_errors(params, kFn, __LINE__, "SSL_set_tlsext_host_name");
    return false;
  }
  if (server.address) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), server.name) == 1;
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set1_host(ssl, server.name) == 1;
}

void log_verify_result(const module_params *params, long result) {
  ZV_LOG_AS(kFn, params, LOG_ERR, "ERROR: SSL_get_verify_result: %s",
            X509_verify_cert_error_string(result));
}

// A step that ran out of time: the request's deadline, or (while it lasts) the time one address
// may take to accept the connection.
void log_timed_out(const module_params *params, const Server &server, const Deadline &deadline,
                   const char *stage) {
  char text[ZV_SERVER_TEXT_SIZE];
  server_text(server, text);
  ZV_LOG_AS(kFn, params, LOG_WARNING, "Server (%s) did not answer within %d seconds (%s).", text,
            deadline.passed() ? request_timeout(params) : kConnectSecsPerAddress, stage);
}

// The server's certificate after the handshake: present, verified, and (on a resumed session,
// which skips verification) still naming the server.
bool check_certificate(const module_params *params, SSL *ssl, const Server &server) {
  X509 *cert = SSL_get0_peer_certificate(ssl);
  if (cert == nullptr) {
    log_ssl_errors(params, kFn, __LINE__, "SSL_get_peer_certificate");
    return false;
  }
  const long result = SSL_get_verify_result(ssl);
  if (result != X509_V_OK) {
    log_verify_result(params, result);
    return false;
  }
  const int named = server.address ? X509_check_ip_asc(cert, server.name, 0)
                                   : X509_check_host(cert, server.name, 0,
                                                     X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr);
  if (named != 1) {
    log_verify_result(params, server.address ? X509_V_ERR_IP_ADDRESS_MISMATCH
                                             : X509_V_ERR_HOSTNAME_MISMATCH);
    return false;
  }
  return true;
}

// The TCP connection to the server, or to the proxy and through its tunnel.
Fd connect_server(const module_params *params, const Server &server, const Deadline &deadline,
                  Failure *why, const char **stage, StepTimes *times) {
  if (params->proxy_server != nullptr && params->proxy_port != nullptr)
    return open_tunnel(params, server, deadline, why, stage,
                       times != nullptr ? &times->proxy_status : nullptr);
  *stage = "connecting";
  auto start = std::chrono::steady_clock::now();
  UniquePtr<addrinfo> addresses = resolve(server.name, server.port, why);
  if (times != nullptr) times->resolve_ms = ms_since(start);
  if (!addresses) return {};
  start = std::chrono::steady_clock::now();
  const addrinfo *used = nullptr;
  Fd fd = connect_any(addresses.get(), deadline, kConnectSecsPerAddress, why, &used);
  if (times != nullptr && fd.valid()) {
    times->connect_ms = ms_since(start);
    const void *bytes = used->ai_family == AF_INET6
                            ? static_cast<const void *>(
                                  &reinterpret_cast<const sockaddr_in6 *>(used->ai_addr)->sin6_addr)
                            : &reinterpret_cast<const sockaddr_in *>(used->ai_addr)->sin_addr;
    inet_ntop(used->ai_family, bytes, times->address, sizeof times->address);
  }
  return fd;
}

} // namespace

void fail_step(const module_params *params, int line, const char *operation, const Server &server,
               const Deadline &deadline, Failure *why, const char **stage, Failure failure,
               const char *step) {
  // A step that failed because memory or descriptors ran out here is no fault of the server.
  *why = drain_ssl_errors(params, kFn, line, operation) ? Failure::local : failure;
  *stage = step;
  if (*why == Failure::timed_out) log_timed_out(params, server, deadline, step);
}

bool open_secure(const module_params *params, SSL_CTX *ctx, const Server &server,
                 UniquePtr<SSL_SESSION> *session, const Deadline &deadline, SecureConnection *out,
                 Failure *why, const char **stage, StepTimes *times) {
  const bool proxied = params->proxy_server != nullptr && params->proxy_port != nullptr;
  UniquePtr<SSL> ssl(SSL_new(ctx));
  if (!ssl) {
    fail_step(params, __LINE__, proxied ? "BIO_new_ssl" : "BIO_new_ssl_connect", server, deadline,
              why, stage, Failure::local, "preparing");
    return false;
  }
  if (!expect_name(params, ssl.get(), server)) {
    *why = Failure::local;
    *stage = "preparing";
    return false;
  }
  Failure failure = Failure::none;
  const char *step = "connecting";
  Fd fd = connect_server(params, server, deadline, &failure, &step, times);
  if (!fd.valid()) {
    if (!proxied) {
      fail_step(params, __LINE__, "BIO_do_connect", server, deadline, why, stage, failure, step);
      return false;
    }
    // The tunnel logged its own failure.
    *why = failure;
    *stage = step;
    if (failure == Failure::timed_out) log_timed_out(params, server, deadline, step);
    return false;
  }
  if (SSL_set_fd(ssl.get(), fd.get()) != 1) {
    fail_step(params, __LINE__, "BIO_get_ssl", server, deadline, why, stage, Failure::local,
              "preparing");
    return false;
  }
  if (session != nullptr && *session) SSL_set_session(ssl.get(), session->get());
  const auto start = std::chrono::steady_clock::now();
  const Channel channel{fd.get(), ssl.get(), deadline};
  if (!channel.handshake(&failure)) {
    if (session != nullptr) session->reset(); // never offered again
    fail_step(params, __LINE__, proxied ? "BIO_do_handshake" : "BIO_do_connect", server, deadline,
              why, stage, failure, "TLS handshake");
    // Peer verification aborts the handshake itself: a rejected certificate is named here.
    const long result = SSL_get_verify_result(ssl.get());
    if (result != X509_V_OK) log_verify_result(params, result);
    return false;
  }
  if (times != nullptr) times->handshake_ms = ms_since(start);
  if (!check_certificate(params, ssl.get(), server)) {
    *why = Failure::tls;
    *stage = "certificate check";
    return false;
  }
  out->fd = std::move(fd);
  out->ssl = std::move(ssl);
  return true;
}

} // namespace zv::transport
