// The HTTP CONNECT tunnel through a proxy, with optional Basic proxy credentials. The proxy is
// spoken to in clear text; it learns only host:port, never the request.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>

#include "pam/log.h"
#include "transport/framing_int.h"
#include "transport/proxy_int.h"
#include "transport/transport.h"

namespace zv::transport {
namespace {

constexpr const char kFn[] = "proxy_connect";

// The CONNECT request for `server` (it may carry the proxy password: it is a Secret); empty when
// it cannot be built.
Secret build_connect(const module_params *params, const Server &server) {
  char host[ZV_SERVER_TEXT_SIZE];
  server_host(server, host, sizeof host);
  Secret text;
  bool ok = text.append("CONNECT ") && text.append(host) && text.append(":") &&
            text.append(server.port) && text.append(" HTTP/1.1\r\nHost: ") && text.append(host) &&
            text.append(":") && text.append(server.port) && text.append("\r\n");
  if (ok && has_text(params->proxy_username) && has_text(params->proxy_password)) {
    if (!text.append("Proxy-Authorization: Basic ") ||
        !append_basic_credentials(&text, params->proxy_username, params->proxy_password)) {
      ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to allocate proxy credentials");
      return {};
    }
    ok = text.append("\r\n");
  }
  if (!ok || !text.append("\r\n")) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to format CONNECT request");
    return {};
  }
  return text;
}

long channel_read(void *source, char *buf, size_t n, bool peek) {
  const auto *io = static_cast<std::pair<const Channel *, Failure *> *>(source);
  return peek ? io->first->peek(buf, n, io->second) : io->first->read(buf, n, io->second);
}

// One head (status line and fields, up to and with the empty line) into buf, taking no byte
// after it off the connection. Returns the count held, or -1 when the stream ends before.
long read_head(long (*read)(void *source, char *buf, size_t n, bool peek), void *source, char *buf,
               size_t size) {
  size_t held = 0;
  while (held < size - 1) {
    // Look first, then take only up to the end of the head: the bytes after it are the tunnel's.
    const long n = read(source, buf + held, size - 1 - held, true);
    if (n <= 0) return -1;
    // The end of the head may straddle two reads; memmem, not strstr: a NUL in the answer must
    // not hide the empty line after it.
    const size_t from = held > 3 ? held - 3 : 0;
    const size_t seen = held + static_cast<size_t>(n);
    const void *blank = memmem(buf + from, seen - from, "\r\n\r\n", 4);
    const size_t end =
        blank != nullptr ? static_cast<size_t>(static_cast<const char *>(blank) - buf) + 4 : seen;
    while (held < end) {
      const long got = read(source, buf + held, end - held, false);
      if (got <= 0) return -1;
      held += static_cast<size_t>(got);
    }
    buf[held] = '\0';
    if (blank != nullptr) break;
  }
  return static_cast<long>(held);
}

} // namespace

long read_proxy_reply(long (*read)(void *source, char *buf, size_t n, bool peek), void *source,
                      char *buf, size_t size) {
  if (size == 0) return -1;
  buf[0] = '\0';
  long held = 0;
  for (int interim = 0;; interim++) {
    held = read_head(read, source, buf, size);
    // An interim answer (100 Continue) comes before the proxy's real one; a few at most.
    if (held < 0 || interim == kMaxInterim || !is_interim(http_status(buf))) return held;
  }
}

Fd open_tunnel(const module_params *params, const Server &server, const Deadline &deadline,
               Failure *why, const char **stage, int *answer) {
  *stage = "connecting to the proxy";
  Fd fd =
      connect_tcp(params->proxy_server, params->proxy_port, deadline, kConnectSecsPerAddress, why);
  if (!fd.valid()) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to connect to proxy %s:%s", params->proxy_server,
              params->proxy_port);
    log_ssl_errors(params, kFn, __LINE__, "BIO_do_connect (proxy)");
    return {};
  }
  *stage = "opening the proxy tunnel";
  const Channel channel{fd.get(), nullptr, deadline};
  {
    Secret request = build_connect(params, server);
    if (!request) {
      *why = Failure::local;
      return {};
    }
    if (!channel.write_all(request.get(), request.size(), why)) {
      ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to send CONNECT request to proxy");
      return {};
    }
  }
  char reply[ZV_PROXY_REPLY_SIZE];
  std::pair<const Channel *, Failure *> source{&channel, why};
  if (read_proxy_reply(channel_read, &source, reply, sizeof reply) < 0) {
    if (*why == Failure::none) *why = Failure::closed;
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to read CONNECT response from proxy");
    return {};
  }
  int status = 0;
  const char *body = nullptr;
  *why = Failure::unreachable;
  if (parse_http_response(params, reply, &status, &body) != 0) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Failed to parse proxy CONNECT response");
    return {};
  }
  if (answer != nullptr) *answer = status;
  // Only 200 opens a tunnel; any other answer, 2xx included, is the proxy refusing.
  if (status != 200) {
    ZV_LOG_AS(kFn, params, LOG_ERR, "Proxy CONNECT failed with HTTP %d", status);
    return {};
  }
  *why = Failure::none;
  return fd;
}

} // namespace zv::transport

extern "C" BIO *proxy_connect(const module_params *params) {
  using namespace zv::transport;
  SigpipeGuard sigpipe_guard;
  ErrorMark error_mark;
  Server servers[ZV_MAX_SERVERS];
  if (parse_servers(params, servers) == 0) return nullptr;
  Failure why = Failure::none;
  const char *stage = nullptr;
  zv::Fd fd = open_tunnel(params, servers[0], Deadline::after(request_timeout(params)), &why,
                          &stage, nullptr);
  if (!fd.valid()) return nullptr;
  // The caller's channel blocks, as a plain connection object does.
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return nullptr;
  BIO *bio = BIO_new_socket(fd.get(), BIO_CLOSE);
  if (bio != nullptr) fd.release();
  return bio;
}
