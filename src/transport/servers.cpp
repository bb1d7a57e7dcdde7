// The list of servers in the `host` setting.
#include "transport/servers_int.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <syslog.h>

#include "pam/log.h"

namespace zv::transport {
namespace {

bool is_separator(char c) { return c == ',' || c == ' ' || c == '\t'; }

bool valid_port(const char *p, size_t n) {
  if (n == 0 || n > 5) return false;
  unsigned value = 0;
  for (size_t i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(p[i] - '0');
  }
  return value >= 1 && value <= 65535;
}

bool copy(char *dst, size_t size, const char *src, size_t n) {
  if (n == 0 || n >= size) return false;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  return true;
}

// One entry of the list (not NUL-terminated) into *out.
bool parse_entry(const module_params *params, const char *e, size_t n, Server *out) {
  *out = Server{};
  const char *port = nullptr;
  size_t port_len = 0;
  if (e[0] == '[') {
    const auto *close = static_cast<const char *>(std::memchr(e, ']', n));
    if (close == nullptr || !copy(out->name, sizeof out->name, e + 1, close - e - 1)) return false;
    const size_t rest = n - (close - e) - 1;
    if (rest > 0) {
      if (close[1] != ':') return false;
      port = close + 2;
      port_len = rest - 1;
    }
  } else {
    const auto *colon = static_cast<const char *>(std::memchr(e, ':', n));
    const bool one_colon =
        colon != nullptr && std::memchr(colon + 1, ':', n - (colon - e) - 1) == nullptr;
    // Two colons or more: an IPv6 address without brackets, and so without a port.
    const size_t name_len = one_colon ? static_cast<size_t>(colon - e) : n;
    if (!copy(out->name, sizeof out->name, e, name_len)) return false;
    if (one_colon) {
      port = colon + 1;
      port_len = n - name_len - 1;
    }
  }
  if (port != nullptr) {
    if (!valid_port(port, port_len)) return false;
    copy(out->port, sizeof out->port, port, port_len);
  } else if (!copy(out->port, sizeof out->port, params->port, std::strlen(params->port))) {
    return false;
  }
  unsigned char bytes[16];
  out->ipv6 = inet_pton(AF_INET6, out->name, bytes) == 1;
  out->address = out->ipv6 || inet_pton(AF_INET, out->name, bytes) == 1;
  // Brackets hold only an IPv6 address.
  return e[0] != '[' || out->ipv6;
}

} // namespace

int parse_servers(const module_params *params, Server *out) {
  const char *p = params->host;
  if (p == nullptr || params->port == nullptr) return 0;
  int count = 0;
  while (*p != '\0' && count < ZV_MAX_SERVERS) {
    while (is_separator(*p)) p++;
    size_t n = 0;
    while (p[n] != '\0' && !is_separator(p[n])) n++;
    if (n == 0) break;
    if (parse_entry(params, p, n, &out[count]))
      count++;
    else
      ZV_LOG_AS("post_json_request", params, LOG_ERR, "Invalid server in host ignored: %.*s",
                static_cast<int>(n), p);
    p += n;
  }
  return count;
}

void server_text(const Server &server, char *buf) {
  (void)snprintf(buf, ZV_SERVER_TEXT_SIZE, server.ipv6 ? "[%s]:%s" : "%s:%s", server.name,
                 server.port);
}

void server_host(const Server &server, char *buf, size_t size) {
  (void)snprintf(buf, size, server.ipv6 ? "[%s]" : "%s", server.name);
}

} // namespace zv::transport
