// One HTTPS POST of a JSON body to the authentication server: optional reachability pre-check,
// a fresh TLS 1.2+ connection (direct or through a proxy tunnel) whose certificate must chain
// to the trust store and name `host`, the request, and the reply body of a 2xx response.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <syslog.h>

#include "pam/log.h"
#include "transport/channel_int.h"
#include "transport/proxy_int.h"
#include "transport/request_int.h"
#include "transport/transport.h"

namespace {

using BioPtr = zv::UniquePtr<BIO>;
using zv::transport::has_text;

// Log lines of the steps below carry the name of the function they are steps of.
constexpr const char kFn[] = "post_json_request";
constexpr int kMaxResponse = ZV_RESPONSE_MAX - 2; // 1,048,575 bytes are accepted

// Waits up to `secs` seconds for a connection in progress to signal anything: ready to read or
// write, or an error (a refusal counts as an answer). poll, unlike select, takes any descriptor
// number, and a signal caught meanwhile does not cut the wait short.
int wait_for_connection(int fd, int secs) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += secs > 0 ? secs : 0;
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
      left.tv_sec--;
      left.tv_nsec += 1000000000L;
    }
    if (left.tv_sec < 0) left = {0, 0};
    pollfd p{fd, POLLIN | POLLOUT | POLLPRI, 0};
    const int ready = ppoll(&p, 1, &left, nullptr);
    if (ready > 0) return 1;
    if (ready == 0 || errno != EINTR) return 0;
  }
}

// The name the server certificate must carry: the address itself for an IP literal `host`
// (with or without IPv6 brackets), else the DNS name, checked by OpenSSL's own matcher.
bool expect_host(SSL *ssl, const char *host) {
  char address[INET6_ADDRSTRLEN + 1];
  const size_t len = std::strlen(host);
  const char *plain = host;
  if (len > 2 && host[0] == '[' && host[len - 1] == ']' && len - 2 < sizeof address) {
    std::memcpy(address, host + 1, len - 2);
    address[len - 2] = '\0';
    plain = address;
  }
  unsigned char bytes[16];
  if (inet_pton(AF_INET, plain, bytes) == 1 || inet_pton(AF_INET6, plain, bytes) == 1)
    return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), plain) == 1;
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set1_host(ssl, host) == 1;
}

// Readies the SSL object of a new chain: automatic retry, SNI and the expected name.
SSL *prepare_ssl(const module_params *params, BIO *chain) {
  SSL *ssl = nullptr;
  BIO_get_ssl(chain, &ssl);
  if (ssl == nullptr) {
    log_ssl_errors(params, kFn, __LINE__, "BIO_get_ssl");
    return nullptr;
  }
  SSL_set_mode(ssl, SSL_MODE_AUTO_RETRY);
  if (SSL_set_tlsext_host_name(ssl, params->host) != 1) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to set SNI hostname");
    log_ssl_errors(params, kFn, __LINE__, "SSL_set_tlsext_host_name");
    return nullptr;
  }
  if (!expect_host(ssl, params->host)) {
    log_ssl_errors(params, kFn, __LINE__, "SSL_set1_host");
    return nullptr;
  }
  return ssl;
}

void log_verify_result(const module_params *params, long result) {
  ZV_LOG_AS(kFn, params, LOG_ERR, "ERROR: SSL_get_verify_result: %s",
            X509_verify_cert_error_string(result));
}

// A server that took the connection and then fell silent; named like an unreachable one.
void log_silent_server(const module_params *params, int secs) {
  ZV_LOG_AS(kFn, params, LOG_WARNING, "Server (%s) did not answer within %d seconds.", params->host,
            secs);
}

// Bounds every later wait on the server by `secs`; the connection is useless without it.
bool bound_waits(const module_params *params, BIO *chain, int secs) {
  if (zv::transport::set_io_timeout(chain, secs)) return true;
  ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to set a time limit on the connection to %s",
            params->host);
  return false;
}

// Peer verification aborts the handshake itself, so a rejected certificate surfaces as a failed
// handshake; it is named at LOG_ERR, not left to the debug-only error queue.
void log_handshake_failure(const module_params *params, int line, const char *operation, BIO *chain,
                           SSL *ssl, int secs) {
  const bool silent = zv::transport::timed_out(chain);
  log_ssl_errors(params, kFn, line, operation);
  if (silent) log_silent_server(params, secs);
  const long result = SSL_get_verify_result(ssl);
  if (result != X509_V_OK) log_verify_result(params, result);
}

BIO *open_direct(const module_params *params, SSL_CTX *ctx, int secs) {
  BioPtr chain(BIO_new_ssl_connect(ctx));
  if (!chain) {
    log_ssl_errors(params, kFn, __LINE__, "BIO_new_ssl_connect");
    return nullptr;
  }
  SSL *ssl = prepare_ssl(params, chain.get());
  if (ssl == nullptr) return nullptr;
  BIO_set_conn_hostname(chain.get(), params->host);
  BIO_set_conn_port(chain.get(), params->port);
  // The handshake's last flight and the request go out as separate small writes; Nagle's
  // algorithm would hold the request back until the first is acknowledged.
  BIO_set_conn_mode(chain.get(), BIO_SOCK_NODELAY);
  // The TCP connection alone first, so that the handshake already runs under the time limit.
  if (BIO_do_connect(BIO_next(chain.get())) != 1 || !bound_waits(params, chain.get(), secs) ||
      BIO_do_connect(chain.get()) != 1) {
    log_handshake_failure(params, __LINE__, "BIO_do_connect", chain.get(), ssl, secs);
    return nullptr;
  }
  if (BIO_do_handshake(chain.get()) != 1) {
    log_handshake_failure(params, __LINE__, "BIO_do_handshake", chain.get(), ssl, secs);
    return nullptr;
  }
  return chain.release();
}

BIO *open_tunnelled(const module_params *params, SSL_CTX *ctx, int secs) {
  BioPtr tunnel(zv::transport::open_proxy_tunnel(params, secs));
  if (!tunnel) return nullptr;
  BioPtr chain(BIO_new_ssl(ctx, 1));
  if (!chain) {
    log_ssl_errors(params, kFn, __LINE__, "BIO_new_ssl");
    return nullptr;
  }
  BIO_push(chain.get(), tunnel.release()); // the chain owns the tunnel from here on
  SSL *ssl = prepare_ssl(params, chain.get());
  if (ssl == nullptr) return nullptr;
  if (BIO_do_handshake(chain.get()) != 1) {
    log_handshake_failure(params, __LINE__, "BIO_do_handshake", chain.get(), ssl, secs);
    return nullptr;
  }
  return chain.release();
}

X509 *peer_certificate(const SSL *ssl) {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  return SSL_get1_peer_certificate(ssl);
#else
  return SSL_get_peer_certificate(ssl);
#endif
}

bool check_certificate(const module_params *params, BIO *chain) {
  SSL *ssl = nullptr;
  BIO_get_ssl(chain, &ssl);
  zv::UniquePtr<X509> cert(ssl != nullptr ? peer_certificate(ssl) : nullptr);
  if (!cert) {
    log_ssl_errors(params, kFn, __LINE__, "SSL_get_peer_certificate");
    return false;
  }
  const long result = SSL_get_verify_result(ssl);
  if (result != X509_V_OK) {
    log_verify_result(params, result);
    return false;
  }
  return true;
}

// The request text (it carries the credentials and the body's secrets: the caller wipes it),
// its length in *len; null when it cannot be built.
char *build_request(const module_params *params, const char *body, int *len) {
  *len = 0;
  if (body == nullptr) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to create POST request");
    return nullptr;
  }
  const size_t body_len = std::strlen(body);
  char *text = nullptr;
  int n = -1;
  if (has_text(params->application_key_id) && has_text(params->application_key)) {
    int b64_len = 0;
    zv::Secret encoded(zv::transport::basic_credentials(params->application_key_id,
                                                        params->application_key, &b64_len));
    if (!encoded) {
      ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to allocate tenant_name_key");
      ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to create POST request");
      return nullptr;
    }
    n = asprintf(&text,
                 "POST %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\nAccept: application/json\r\n"
                 "Content-Type: application/json\r\nContent-Length: %zu\r\n"
                 "Authorization: Basic %.*s\r\n\r\n%s",
                 params->path, params->host, body_len, b64_len, encoded.get(), body);
  } else {
    n = asprintf(&text,
                 "POST %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\nAccept: application/json\r\n"
                 "Content-Type: application/json\r\nContent-Length: %zu\r\n\r\n%s",
                 params->path, params->host, body_len, body);
  }
  if (n < 0) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to create POST request");
    return nullptr;
  }
  *len = n;
  return text;
}

// Reads until the server closes the connection, into a buffer that doubles from 4096 bytes up
// to ZV_RESPONSE_MAX (it can carry offline codes: every copy is wiped). Returns the
// NUL-terminated bytes, or an empty owner (logged) when nothing usable came.
zv::Secret read_response(const module_params *params, BIO *chain, int secs) {
  zv::Secret buf = zv::Secret::with_capacity(ZV_RESPONSE_INITIAL);
  if (!buf) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Memory allocation failed for response buffer");
    return {};
  }
  int last = 0;
  for (;;) {
    // At most capacity - 1 bytes are filled, so the terminating NUL always fits.
    const size_t room = buf.capacity() - 1 - buf.size();
    last = BIO_read(chain, buf.get() + buf.size(), static_cast<int>(room));
    if (last <= 0) break;
    buf.grow_size(static_cast<size_t>(last));
    if (buf.size() > static_cast<size_t>(kMaxResponse)) {
      ZV_LOG_AS(kFn, params, LOG_ERR, "Response exceeds maximum size (%d bytes)", kMaxResponse + 1);
      return {};
    }
    const size_t capacity = buf.capacity();
    if (buf.size() + ZV_RESPONSE_INITIAL >= capacity && capacity < ZV_RESPONSE_MAX) {
      const size_t grown = capacity * 2 < ZV_RESPONSE_MAX ? capacity * 2 : ZV_RESPONSE_MAX;
      if (!buf.grow_to(grown)) {
        ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to grow response buffer");
        return {};
      }
    }
  }
  // A reply cut short by the time limit is no reply: only the server's close ends one.
  if (last < 0 && zv::transport::timed_out(chain)) {
    log_ssl_errors(params, kFn, __LINE__, "BIO_read");
    log_silent_server(params, secs);
    return {};
  }
  if (buf.size() == 0) {
    if (last < 0) log_ssl_errors(params, kFn, __LINE__, "BIO_read");
    return {};
  }
  return buf;
}

} // namespace

extern "C" int is_server_reachable(const module_params *params) {
  const bool proxied = params->proxy_server != nullptr && params->proxy_port != nullptr;
  BioPtr bio(BIO_new(BIO_s_connect()));
  if (!bio) {
    ZV_LOG(params, LOG_ERR, "Failed to create BIO");
    return 0;
  }
  BIO_set_conn_hostname(bio.get(), proxied ? params->proxy_server : params->host);
  BIO_set_conn_port(bio.get(), proxied ? params->proxy_port : params->port);
  BIO_set_nbio(bio.get(), 1);
  if (BIO_do_connect(bio.get()) == 1) return 1;
  const int fd = static_cast<int>(BIO_get_fd(bio.get(), nullptr));
  if (fd < 0) return 0;
  return wait_for_connection(fd, params->connection_timeout_secs);
}

int zv::transport::post_json(const module_params *params, const char *body, char **json_response,
                             int io_timeout_secs) {
  // Declared first, released last: freeing the chain still writes (close_notify).
  zv::transport::SigpipeGuard sigpipe_guard;
  if (!has_text(params->host)) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "No server host configured");
    return 0;
  }
  if (params->connection_timeout_secs != 0 && !is_server_reachable(params)) {
    ZV_LOG_AS(kFn, params, LOG_WARNING, "Server (%s) is not reachable.", params->host);
    return 0;
  }
  if (json_response != nullptr) *json_response = nullptr;

  zv::UniquePtr<SSL_CTX> ctx(create_ssl_context(params));
  if (!ctx) return 0;
  const bool proxied = params->proxy_server != nullptr && params->proxy_port != nullptr;
  BioPtr chain(proxied ? open_tunnelled(params, ctx.get(), io_timeout_secs)
                       : open_direct(params, ctx.get(), io_timeout_secs));
  if (!chain || !check_certificate(params, chain.get())) return 0;

  {
    int len = 0;
    zv::Secret request(build_request(params, body, &len));
    if (!request) return 0;
    // Blocking SSL writes all or fail; a short count means the request did not go out whole.
    if (BIO_write(chain.get(), request.get(), len) != len) {
      const bool silent = zv::transport::timed_out(chain.get());
      log_ssl_errors(params, kFn, __LINE__, "BIO_write");
      if (silent) log_silent_server(params, io_timeout_secs);
      return 0;
    }
  }

  zv::Secret response = read_response(params, chain.get(), io_timeout_secs);
  if (!response) return 0;
  int status = 0;
  const char *reply_body = nullptr;
  if (parse_http_response(params, response.get(), &status, &reply_body) != 0) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to parse HTTP response");
    return 0;
  }
  if (status < 200 || status > 299) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "HTTP %d response from server", status);
    return 0;
  }
  if (reply_body != nullptr) {
    char *copy = strdup(reply_body);
    if (copy == nullptr)
      ZV_LOG_AS(kFn, params, LOG_ERR, "Memory allocation failed for json_response");
    if (json_response != nullptr)
      *json_response = copy;
    else
      zv::wipe_free(copy);
  }
  return 1;
}

extern "C" int post_json_request(const module_params *params, const char *body,
                                 char **json_response) {
  return zv::transport::post_json(params, body, json_response, zv::transport::kIoTimeoutSecs);
}
