// A peer that resets the connection while the module writes must not kill the host with
// SIGPIPE, and the host's signal state must be as it was. Each case runs in a child process
// with SIGPIPE at its default disposition, so a stray signal shows as a death, not a crash.
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "transport/transport.h"
#include "transport_fixture.h"

using namespace zvtest;

namespace {

// Runs `fn` in a child and returns its wait status (bounded wait; the child is killed after 20 s).
// The child is forked before the test server's threads exist, so it cannot inherit a lock that
// one of them held; it waits for the parent to start the server and send its port.
template <class F> int in_child(std::unique_ptr<TlsServer> &server, TlsServerOptions opts, F fn) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[1]);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    int port = 0;
    if (read(ready[0], &port, sizeof port) != static_cast<ssize_t>(sizeof port)) _exit(99);
    _exit(fn(port));
  }
  close(ready[0]);
  server = std::make_unique<TlsServer>(opts);
  const int port = server->port();
  if (write(ready[1], &port, sizeof port) != static_cast<ssize_t>(sizeof port)) kill(pid, SIGKILL);
  close(ready[1]);
  int status = 0;
  for (int i = 0; i < 2000; i++) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return status;
}

std::string describe(int status) {
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

bool same_mask(const sigset_t &a, const sigset_t &b) {
  for (int s = 1; s < NSIG; s++)
    if (sigismember(&a, s) != sigismember(&b, s)) return false;
  return true;
}

class Sigpipe : public TransportTest {
protected:
  void SetUp() override {
    TransportTest::SetUp();
    opts.reset_after_bytes = 100; // inside the request head
  }
  // Runs `fn` in a child against a fresh server that resets the connection.
  template <class F> int run(F fn) {
    return in_child(server, opts, [&](int port) {
      set(&module_params::port, std::to_string(port));
      return fn(port);
    });
  }
  TlsServerOptions opts;
  std::unique_ptr<TlsServer> server;
  // Small: the reset comes after the write, and the close_notify sent on release hits it.
  // Large: the reset comes while the request is still being written.
  const std::string bodies[2] = {"{}", "{\"pad\":\"" + std::string(8 << 20, 'p') + "\"}"};
};

// The scenario is real: a plain OpenSSL client doing the same dies of SIGPIPE.
TEST_F(Sigpipe, ScenarioKillsAnUnguardedClient) {
  const int status = run([&](int port) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(ctx, test_pki().root_ca.c_str(), nullptr);
    BIO *bio = BIO_new_ssl_connect(ctx);
    BIO_set_conn_hostname(bio, ("localhost:" + std::to_string(port)).c_str());
    if (BIO_do_connect(bio) != 1) return 3;
    const std::string request = "POST / HTTP/1.1\r\nHost: localhost\r\n" + std::string(200, 'x');
    BIO_write(bio, request.data(), static_cast<int>(request.size()));
    char buf[100];
    BIO_read(bio, buf, sizeof buf);
    BIO_free_all(bio);
    SSL_CTX_free(ctx);
    return 0;
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << describe(status);
}

TEST_F(Sigpipe, ResetDuringWriteLeavesTheHostAlive) {
  const int status = run([&](int) {
    struct sigaction before {
    }, after{};
    sigset_t mask_before, mask_after;
    sigaction(SIGPIPE, nullptr, &before);
    pthread_sigmask(SIG_SETMASK, nullptr, &mask_before);
    for (const std::string &body : bodies)
      if (post_json_request(params.get(), body.c_str(), nullptr) != 0) return 10;
    sigaction(SIGPIPE, nullptr, &after);
    pthread_sigmask(SIG_SETMASK, nullptr, &mask_after);
    sigset_t pending;
    sigpending(&pending);
    if (after.sa_handler != before.sa_handler || after.sa_flags != before.sa_flags) return 11;
    if (!same_mask(mask_before, mask_after)) return 12;
    if (sigismember(&pending, SIGPIPE)) return 13;
    return 0;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
}

// A host that blocks SIGPIPE itself keeps its own pending SIGPIPE, and gets none of ours.
TEST_F(Sigpipe, HostsOwnBlockedSignalIsKept) {
  const int status = run([&](int) {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);
    if (post_json_request(params.get(), bodies[0].c_str(), nullptr) != 0) return 10;
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE)) return 13; // ours was taken back
    raise(SIGPIPE);
    if (post_json_request(params.get(), bodies[1].c_str(), nullptr) != 0) return 10;
    sigpending(&pending);
    if (!sigismember(&pending, SIGPIPE)) return 14; // the host's own is still there
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, SIGPIPE) ? 0 : 15;
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
}

} // namespace
