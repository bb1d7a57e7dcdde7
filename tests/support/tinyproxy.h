// A real tinyproxy for tests, in the foreground (-d) as a child of the test process, on
// 127.0.0.1, with the test's own configuration; stopped by its PID when the object goes.
#pragma once

#include <string>
#include <sys/types.h>

#include "tls_server.h" // free_port, port_accepts

namespace zvtest {

class TinyProxy {
public:
  // Starts tinyproxy on 127.0.0.1:port with `extra` configuration lines and waits (at most five
  // seconds) until it accepts connections.
  TinyProxy(int port, const std::string &extra);
  ~TinyProxy();
  TinyProxy(const TinyProxy &) = delete;
  TinyProxy &operator=(const TinyProxy &) = delete;
  bool running() const { return pid_ > 0 && port_accepts(port_); }
  int port() const { return port_; }

private:
  int port_;
  pid_t pid_ = -1;
  std::string dir_;
};

} // namespace zvtest
