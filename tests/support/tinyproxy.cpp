#include "tinyproxy.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace zvtest {

TinyProxy::TinyProxy(int port, const std::string &extra) : port_(port) {
  char tmpl[] = "/tmp/zv-tinyproxy.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return;
  dir_ = tmpl;
  std::ofstream(dir_ + "/tinyproxy.conf")
      << "Port " << port << "\nListen 127.0.0.1\nTimeout 10\nMaxClients 20\nLogLevel Info\n"
      << "Allow 127.0.0.1\nDisableViaHeader Yes\n"
      << extra;
  const std::string conf = dir_ + "/tinyproxy.conf", log = dir_ + "/tinyproxy.log";
  pid_ = fork();
  if (pid_ == 0) {
    FILE *out = std::freopen(log.c_str(), "w", stdout);
    if (out != nullptr) dup2(fileno(out), 2);
    execlp("tinyproxy", "tinyproxy", "-d", "-c", conf.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500 && !port_accepts(port); i++) usleep(10000);
}

TinyProxy::~TinyProxy() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    bool gone = false;
    for (int i = 0; i < 300 && !gone; i++) {
      gone = waitpid(pid_, &status, WNOHANG) == pid_;
      if (!gone) usleep(10000);
    }
    if (!gone) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

} // namespace zvtest
