// What the transport tests share: a module_params record they own, and the captured log with
// source line numbers masked, so whole log sequences can be compared as literal text.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <openssl/err.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "config/params.h"
#include "syslog_reader.h"
#include "tls_server.h"

namespace zvtest {

// A module_params record whose text fields are heap copies freed with the record.
struct Params {
  module_params p{};
  Params() { set(&module_params::logname, "pam_zelvane(test)"); }
  ~Params() {
    for (char *module_params::*f : fields) std::free(p.*f);
  }
  Params(const Params &) = delete;
  Params &operator=(const Params &) = delete;
  Params &set(char *module_params::*field, const char *value) {
    std::free(p.*field);
    p.*field = value != nullptr ? strdup(value) : nullptr;
    if (std::find(fields.begin(), fields.end(), field) == fields.end()) fields.push_back(field);
    return *this;
  }
  Params &set(char *module_params::*field, const std::string &value) {
    return set(field, value.c_str());
  }
  const module_params *operator&() const { return &p; }
  module_params *operator->() { return &p; }
  std::vector<char * module_params::*> fields;
};

// Captured records as "<priority> <text>" with every "[<line>]" shown as "[N]".
inline std::vector<std::string> log_lines() {
  static const std::regex line_no(R"(^(\w+)\[\d+\]: )");
  static const char *names[] = {"emerg",   "alert",  "crit", "err",
                                "warning", "notice", "info", "debug"};
  std::vector<std::string> out;
  for (const auto &r : syslog_records())
    out.push_back(std::string(names[r.priority & 7]) + " " +
                  std::regex_replace(r.text, line_no, "$1[N]: "));
  return out;
}

// Records that begin with `prefix` (after masking), for OpenSSL texts that vary by version.
inline size_t count_lines_starting(const std::string &prefix) {
  size_t n = 0;
  for (const auto &l : log_lines()) n += l.rfind(prefix, 0) == 0;
  return n;
}

// A TCP listener on 127.0.0.1 with an ephemeral port (stored in *port, 0 on failure) and the
// given accept queue length; returns the socket.
inline int loopback_listener(int backlog, int *port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  *port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd, backlog) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    *port = ntohs(a.sin_port);
  return fd;
}

// A loopback listener that nobody serves: the kernel completes connections into its queue, and
// nothing is ever said on them (a hung server or proxy).
struct MuteListener {
  int fd = -1;
  int port = 0;
  MuteListener() { fd = loopback_listener(16, &port); }
  ~MuteListener() { close(fd); }
  MuteListener(const MuteListener &) = delete;
  MuteListener &operator=(const MuteListener &) = delete;
};

// Seconds that `fn` took.
template <class Fn> double seconds_taken(Fn &&fn) {
  const auto start = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class TransportTest : public ::testing::Test {
protected:
  void SetUp() override {
    syslog_capture_start();
    ERR_clear_error();
    params.set(&module_params::host, "localhost")
        .set(&module_params::port, "443")
        .set(&module_params::path, "/AuthServer/REST/OATH/OathServer.aspx")
        .set(&module_params::proxy_port, "8080")
        .set(&module_params::ca_cert_file, test_pki().root_ca);
  }
  Params params;
};

} // namespace zvtest
