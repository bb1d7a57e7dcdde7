// The scriptable loopback server of the tests. Sockets are non-blocking and every wait is a
// poll() of at most 100 ms that also watches for stop(), so a misbehaving client can hold a
// connection thread for at most io_timeout_ms and never hangs a test.
#include "tls_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zvtest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMaxRequest = 64u << 20; // requests beyond this are cut off with a reset

SSL_CTX *as_ctx(void *p) { return static_cast<SSL_CTX *>(p); }

// Writes from the server threads must never raise SIGPIPE in the test process.
void block_sigpipe_in_this_thread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void reset_and_close(int fd) {
  linger lg{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(fd);
}

// One accepted connection, TLS or plain, with deadline-bounded I/O.
class Conn {
public:
  Conn(int fd, SSL *ssl, const std::atomic<bool> &stopping, int timeout_ms)
      : fd_(fd), ssl_(ssl), stopping_(stopping),
        deadline_(Clock::now() + std::chrono::milliseconds(timeout_ms)) {}
  ~Conn() { SSL_free(ssl_); }

  // Waits for `events` on the socket; false on timeout, stop or poll failure.
  bool wait(short events) {
    for (;;) {
      if (stopping_) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, events, 0};
      int r = poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
      if (r > 0) return true;
      if (r < 0 && errno != EINTR) return false;
    }
  }

  // Waits as OpenSSL asks after a non-blocking call returned `rc`; false when it cannot go on.
  bool ssl_retry(int rc) {
    switch (SSL_get_error(ssl_, rc)) {
    case SSL_ERROR_WANT_READ:
      return wait(POLLIN);
    case SSL_ERROR_WANT_WRITE:
      return wait(POLLOUT);
    default:
      return false;
    }
  }

  bool handshake() {
    if (ssl_ == nullptr) return true;
    for (;;) {
      int rc = SSL_accept(ssl_);
      if (rc == 1) return true;
      if (!ssl_retry(rc)) return false;
    }
  }

  // >0 bytes read, 0 at the end of the stream, -1 on error or timeout.
  long read_some(char *buf, size_t n) {
    for (;;) {
      if (ssl_ == nullptr) {
        ssize_t r = recv(fd_, buf, n, 0);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        if (errno != EAGAIN || !wait(POLLIN)) return -1;
        continue;
      }
      size_t got = 0;
      int rc = SSL_read_ex(ssl_, buf, n, &got);
      if (rc == 1) return static_cast<long>(got);
      int err = SSL_get_error(ssl_, rc);
      if (err == SSL_ERROR_ZERO_RETURN) return 0;
      if (!ssl_retry(rc)) return -1;
    }
  }

  bool write_all(const char *data, size_t n) {
    while (n > 0) {
      if (ssl_ == nullptr) {
        ssize_t w = send(fd_, data, n, MSG_NOSIGNAL);
        if (w < 0) {
          if (errno == EINTR) continue;
          if (errno != EAGAIN || !wait(POLLOUT)) return false;
          continue;
        }
        data += w;
        n -= static_cast<size_t>(w);
        continue;
      }
      size_t put = 0;
      int rc = SSL_write_ex(ssl_, data, n, &put);
      if (rc == 1) {
        data += put;
        n -= put;
      } else if (!ssl_retry(rc)) {
        return false;
      }
    }
    return true;
  }

  // Sends close_notify (TLS) and FIN, then gives the client a moment to close its side, so that
  // unread bytes of ours are not turned into a reset by an early close().
  void close_gracefully() {
    if (ssl_ != nullptr) SSL_shutdown(ssl_);
    shutdown(fd_, SHUT_WR);
    deadline_ = std::min(deadline_, Clock::now() + std::chrono::seconds(2));
    char buf[4096];
    for (;;) {
      ssize_t r = recv(fd_, buf, sizeof buf, 0);
      if (r == 0) break;
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && (errno != EAGAIN || !wait(POLLIN))) break;
    }
  }

private:
  int fd_;
  SSL *ssl_;
  const std::atomic<bool> &stopping_;
  Clock::time_point deadline_;
};

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// Splits the head (request line and headers, without the empty line) into `req`.
void parse_head(const std::string &head, Received &req) {
  size_t eol = head.find("\r\n");
  std::string line = head.substr(0, eol);
  size_t sp1 = line.find(' ');
  size_t sp2 = line.find(' ', sp1 == std::string::npos ? sp1 : sp1 + 1);
  if (sp1 != std::string::npos) {
    req.method = line.substr(0, sp1);
    req.target = line.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
  }
  size_t pos = eol == std::string::npos ? head.size() : eol + 2;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string::npos) end = head.size();
    std::string h = head.substr(pos, end - pos);
    size_t colon = h.find(':');
    if (colon != std::string::npos) {
      size_t v = h.find_first_not_of(' ', colon + 1);
      req.headers.emplace_back(h.substr(0, colon), v == std::string::npos ? "" : h.substr(v));
    }
    pos = end + 2;
  }
}

const char *reason_of(int status) {
  switch (status) {
  case 200:
    return "OK";
  case 201:
    return "Created";
  case 204:
    return "No Content";
  case 400:
    return "Bad Request";
  case 401:
    return "Unauthorized";
  case 403:
    return "Forbidden";
  case 404:
    return "Not Found";
  case 407:
    return "Proxy Authentication Required";
  case 500:
    return "Internal Server Error";
  case 503:
    return "Service Unavailable";
  default:
    return "Status";
  }
}

} // namespace

std::string Received::header(const std::string &name) const {
  std::string want = lower(name);
  for (const auto &[k, v] : headers)
    if (lower(k) == want) return v;
  return "";
}

Reply http_reply(int status, const std::string &body) {
  Reply r;
  r.bytes = "HTTP/1.1 " + std::to_string(status) + " " + reason_of(status) +
            "\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n" + body;
  return r;
}

TlsServer::TlsServer(TlsServerOptions options) : options_(std::move(options)) {
  handler_ = [](const Received &) { return http_reply(200, "{\"errorCode\":0}"); };
  if (!options_.plain) {
    const TestPki &pki = test_pki();
    if (options_.cert_chain.empty()) options_.cert_chain = pki.leaf_chain;
    if (options_.key.empty()) options_.key = pki.leaf_key;
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) throw std::runtime_error("SSL_CTX_new");
    ctx_ = ctx;
    if (options_.max_version != 0 && options_.max_version < TLS1_2_VERSION) {
      // Old protocol versions only work at security level 0 in OpenSSL 3.
      SSL_CTX_set_security_level(ctx, 0);
      SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    }
    if (options_.min_version != 0) SSL_CTX_set_min_proto_version(ctx, options_.min_version);
    if (options_.max_version != 0) {
      SSL_CTX_set_min_proto_version(
          ctx, std::min(options_.min_version == 0 ? TLS1_VERSION : options_.min_version,
                        options_.max_version));
      SSL_CTX_set_max_proto_version(ctx, options_.max_version);
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, options_.cert_chain.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, options_.key.c_str(), SSL_FILETYPE_PEM) != 1) {
      SSL_CTX_free(ctx);
      ctx_ = nullptr;
      throw std::runtime_error("cannot load " + options_.cert_chain);
    }
  }
  listen_fd_ =
      socket(options_.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket");
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage addr{};
  socklen_t len = sizeof(sockaddr_in);
  if (options_.ipv6) {
    auto *a6 = reinterpret_cast<sockaddr_in6 *>(&addr);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    len = sizeof *a6;
  } else {
    auto *a4 = reinterpret_cast<sockaddr_in *>(&addr);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
      listen(listen_fd_, 64) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    throw std::runtime_error("bind/listen on the loopback address");
  port_ = ntohs(options_.ipv6 ? reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port
                              : reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
  if (pipe2(wake_fd_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe2");
  thread_ = std::thread([this] { run(); });
}

TlsServer::~TlsServer() {
  stop();
  SSL_CTX_free(as_ctx(ctx_));
}

void TlsServer::set_handler(std::function<Reply(const Received &)> handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<Received> TlsServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

size_t TlsServer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void TlsServer::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  char c = 'x';
  if (write(wake_fd_[1], &c, 1) < 0) { /* the flag alone stops the loop within 100 ms */
  }
  thread_.join();
  close(listen_fd_);
  close(wake_fd_[0]);
  close(wake_fd_[1]);
  listen_fd_ = wake_fd_[0] = wake_fd_[1] = -1;
}

void TlsServer::run() {
  block_sigpipe_in_this_thread();
  while (!stopping_) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    int r = poll(fds, 2, 100);
    if (r <= 0 || (fds[1].revents & POLLIN) != 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connections_++;
    }
    // Detached, so that a long run (a benchmark) does not pile up finished threads; each one
    // ends within 100 ms of stop() and the count below says when all have.
    active_++;
    std::thread([this, fd] {
      serve(fd);
      active_--;
    }).detach();
  }
  for (int i = 0; i < 3000 && active_ > 0; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TlsServer::serve(int fd) {
  block_sigpipe_in_this_thread();
  SSL *ssl = nullptr;
  if (ctx_ != nullptr) {
    ssl = SSL_new(as_ctx(ctx_));
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
      SSL_free(ssl);
      close(fd);
      return;
    }
  }
  Conn conn(fd, ssl, stopping_, options_.io_timeout_ms);
  if (!conn.handshake()) {
    ERR_clear_error();
    close(fd);
    return;
  }

  // The request head, then Content-Length bytes of body.
  Received req;
  req.resumed = ssl != nullptr && SSL_session_reused(ssl) == 1;
  std::string &raw = req.raw;
  size_t head_end = std::string::npos;
  size_t want = 0;
  char buf[16384];
  for (;;) {
    if (head_end != std::string::npos && raw.size() >= want) break;
    long n = conn.read_some(buf, sizeof buf);
    if (n <= 0) {
      ERR_clear_error();
      close(fd);
      return;
    }
    raw.append(buf, static_cast<size_t>(n));
    if ((options_.reset_after_bytes > 0 && raw.size() >= options_.reset_after_bytes) ||
        raw.size() > kMaxRequest) {
      reset_and_close(fd);
      return;
    }
    if (head_end == std::string::npos && (head_end = raw.find("\r\n\r\n")) != std::string::npos) {
      parse_head(raw.substr(0, head_end), req);
      std::string cl = req.header("Content-Length");
      want = head_end + 4 + std::strtoul(cl.c_str(), nullptr, 10);
    }
  }
  req.body = raw.substr(head_end + 4, want - head_end - 4);

  std::function<Reply(const Received &)> handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(req);
    handler = handler_;
  }
  Reply reply = handler(req);
  if (reply.reset) {
    reset_and_close(fd);
    return;
  }
  if (!reply.close_without_reply) {
    size_t step = reply.chunk > 0 ? reply.chunk : reply.bytes.size();
    for (size_t off = 0; off < reply.bytes.size(); off += step) {
      if (off > 0 && reply.chunk_delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.chunk_delay_ms));
      if (!conn.write_all(reply.bytes.data() + off, std::min(step, reply.bytes.size() - off)))
        break;
    }
    // Until the client closes, or io_timeout_ms after the connection came.
    char sink[4096];
    while (reply.keep_open && conn.read_some(sink, sizeof sink) > 0) {
    }
  }
  conn.close_gracefully();
  ERR_clear_error();
  close(fd);
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

bool port_accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

} // namespace zvtest
