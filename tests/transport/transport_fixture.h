// What the transport tests share: a settings record naming the loopback test server, loopback
// listeners that never answer, and the captured log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <openssl/err.h>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "config/params.h"
#include "syslog_reader.h"
#include "test_params.h"
#include "tls_server.h"

namespace zvtest {

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
    set(&module_params::logname, "pam_zelvane(test)");
    set(&module_params::host, "localhost");
    set(&module_params::port, "443");
    set(&module_params::path, "/AuthServer/REST/OATH/OathServer.aspx");
    set(&module_params::proxy_port, "8080");
    set(&module_params::ca_cert_file, test_pki().root_ca);
  }
  // Gives a text field of `params` a heap copy of `value` (null for null).
  template <class Text> void set(char *module_params::*field, const Text &value) {
    set_text(params.get(), field, value);
  }
  zv::ParamsScope params;
};

} // namespace zvtest
