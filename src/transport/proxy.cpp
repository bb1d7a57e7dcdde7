// The HTTP CONNECT tunnel through a proxy, with optional Basic proxy credentials. The proxy is
// spoken to in clear text; it learns only host:port, never the request.
#include <cstdio>
#include <cstring>
#include <syslog.h>

#include "pam/log.h"
#include "transport/channel_int.h"
#include "transport/proxy_int.h"
#include "transport/transport.h"

namespace {

using zv::transport::has_text;

constexpr const char kFn[] = "proxy_connect";

// The CONNECT request (it may carry the proxy password: the caller wipes it); null when it
// cannot be built.
char *build_connect(const module_params *params, int *len) {
  *len = 0;
  char *text = nullptr;
  int n = -1;
  if (has_text(params->proxy_username) && has_text(params->proxy_password)) {
    int b64_len = 0;
    zv::Secret encoded(
        zv::transport::basic_credentials(params->proxy_username, params->proxy_password, &b64_len));
    if (!encoded) {
      ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to allocate proxy credentials");
      return nullptr;
    }
    n = asprintf(&text,
                 "CONNECT %s:%s HTTP/1.1\r\nHost: %s:%s\r\nProxy-Authorization: Basic %.*s\r\n\r\n",
                 params->host, params->port, params->host, params->port, b64_len, encoded.get());
  } else {
    n = asprintf(&text, "CONNECT %s:%s HTTP/1.1\r\nHost: %s:%s\r\n\r\n", params->host, params->port,
                 params->host, params->port);
  }
  if (n < 0) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to format CONNECT request");
    return nullptr;
  }
  *len = n;
  return text;
}

} // namespace

long zv::transport::read_proxy_reply(BIO *bio, char *buf, size_t size) {
  if (size == 0) return -1;
  buf[0] = '\0';
  size_t held = 0;
  while (held < size - 1) {
    const size_t room = size - 1 - held;
    const int n = BIO_read(bio, buf + held, room > INT_MAX ? INT_MAX : static_cast<int>(room));
    if (n <= 0) return -1;
    // The end of the header may straddle two reads.
    const size_t from = held > 3 ? held - 3 : 0;
    held += static_cast<size_t>(n);
    buf[held] = '\0';
    // memmem, not strstr: a NUL in the answer must not hide the empty line after it.
    if (memmem(buf + from, held - from, "\r\n\r\n", 4) != nullptr) break;
  }
  return static_cast<long>(held);
}

BIO *zv::transport::open_proxy_tunnel(const module_params *params, int io_timeout_secs) {
  zv::transport::SigpipeGuard sigpipe_guard; // a proxy may reset during the write
  zv::UniquePtr<BIO> bio(BIO_new(BIO_s_connect()));
  if (!bio) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to create TCP BIO for proxy");
    return nullptr;
  }
  BIO_set_conn_hostname(bio.get(), params->proxy_server);
  BIO_set_conn_port(bio.get(), params->proxy_port);
  BIO_set_nbio(bio.get(), 0);
  BIO_set_conn_mode(bio.get(), BIO_SOCK_NODELAY); // as on the direct path: small TLS writes follow
  if (BIO_do_connect(bio.get()) <= 0) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to connect to proxy %s:%s", params->proxy_server,
              params->proxy_port);
    log_ssl_errors(params, kFn, __LINE__, "BIO_do_connect (proxy)");
    return nullptr;
  }
  // A proxy that takes the connection and then never answers must not hold the login.
  if (!set_io_timeout(bio.get(), io_timeout_secs)) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to set a time limit on the connection to proxy %s:%s",
              params->proxy_server, params->proxy_port);
    return nullptr;
  }
  {
    int len = 0;
    zv::Secret request(build_connect(params, &len));
    if (!request) return nullptr;
    if (BIO_write(bio.get(), request.get(), len) != len) {
      ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to send CONNECT request to proxy");
      return nullptr;
    }
  }
  char reply[ZV_PROXY_REPLY_SIZE];
  if (zv::transport::read_proxy_reply(bio.get(), reply, sizeof reply) < 0) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to read CONNECT response from proxy");
    return nullptr;
  }
  int status = 0;
  const char *body = nullptr;
  if (parse_http_response(params, reply, &status, &body) != 0) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to parse proxy CONNECT response");
    return nullptr;
  }
  // Only 200 opens a tunnel; any other answer, 2xx included, is the proxy refusing.
  if (status != 200) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Proxy CONNECT failed with HTTP %d", status);
    return nullptr;
  }
  return bio.release();
}

extern "C" BIO *proxy_connect(const module_params *params) {
  return zv::transport::open_proxy_tunnel(params, zv::transport::kIoTimeoutSecs);
}
