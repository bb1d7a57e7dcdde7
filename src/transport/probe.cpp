// The check command's look at each server: a connection made exactly as a request makes it, with
// the time of each step and the certificate the server presented. Nothing is sent.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <openssl/x509.h>

#include "transport/secure_int.h"
#include "transport/servers_int.h"
#include "transport/transport.h"

namespace zv::transport {
namespace {

void describe_certificate(X509 *cert, ServerCheck *out) {
  X509_NAME_oneline(X509_get_subject_name(cert), out->subject, sizeof out->subject);
  tm when{};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &when) == 1)
    (void)std::strftime(out->not_after, sizeof out->not_after, "%Y-%m-%d %H:%M:%S UTC", &when);
}

} // namespace

int count_servers(const module_params *params) {
  Server servers[ZV_MAX_SERVERS];
  return parse_servers(params, servers);
}

bool check_server(const module_params *params, int index, ServerCheck *out) {
  *out = ServerCheck{};
  Server servers[ZV_MAX_SERVERS];
  if (index < 0 || index >= parse_servers(params, servers)) return false;
  const Server &server = servers[index];
  server_text(server, out->server);
  SigpipeGuard sigpipe_guard;
  ErrorMark error_mark;
  UniquePtr<SSL_CTX> ctx(create_ssl_context(params));
  if (!ctx) {
    out->stage = "trust store";
    out->failure = "no usable CA file";
    return false;
  }
  StepTimes times;
  SecureConnection conn;
  Failure why = Failure::none;
  out->ok = open_secure(params, ctx.get(), server, nullptr,
                        Deadline::after(request_timeout(params)), &conn, &why, &out->stage, &times);
  out->resolve_ms = times.resolve_ms;
  out->connect_ms = times.connect_ms;
  out->handshake_ms = times.handshake_ms;
  out->proxy_status = times.proxy_status;
  (void)std::snprintf(out->address, sizeof out->address, "%s", times.address);
  if (!out->ok) out->failure = failure_text(why);
  if (conn.ssl) {
    if (X509 *cert = SSL_get0_peer_certificate(conn.ssl.get())) describe_certificate(cert, out);
    SSL_shutdown(conn.ssl.get());
  }
  return out->ok;
}

} // namespace zv::transport
