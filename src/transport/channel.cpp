// The connection layer of the transport. Every socket is non-blocking and every wait goes
// through poll with what is left of the request's deadline, so that a server or proxy that drops
// the connection attempt, accepts and falls silent, or drips a byte at a time can never hold the
// host's thread longer than the deadline.
#include "transport/channel_int.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

namespace zv::transport {
namespace {

constexpr long kNsPerSec = 1000000000L;

Failure connect_failure(int err) {
  switch (err) {
  case ECONNREFUSED:
    return Failure::refused;
  case ETIMEDOUT:
    return Failure::timed_out;
  default:
    return Failure::unreachable;
  }
}

// What an SSL call's failure asks for: a wait for the socket (true, with *events set), or the end.
bool ssl_wants(const SSL *ssl, int rc, short *events, Failure *why) {
  switch (SSL_get_error(ssl, rc)) {
  case SSL_ERROR_WANT_READ:
    *events = POLLIN;
    return true;
  case SSL_ERROR_WANT_WRITE:
    *events = POLLOUT;
    return true;
  case SSL_ERROR_SYSCALL:
  case SSL_ERROR_ZERO_RETURN:
    *why = Failure::closed;
    return false;
  default:
    *why = Failure::tls;
    return false;
  }
}

// Waits for `events` until the deadline; false (timed out) when it passed.
bool wait_until(const Channel &c, short events, Failure *why) {
  if (wait_fd(c.fd, events, c.deadline.remaining_ms()) == 1) return true;
  *why = Failure::timed_out;
  return false;
}

// recv on a plain connection within the channel's deadline: the count, 0 when the peer closed,
// -1 on failure (*why).
long recv_plain(const Channel &c, char *buf, size_t len, int flags, Failure *why) {
  for (;;) {
    const ssize_t n = recv(c.fd, buf, len, flags);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *why = Failure::closed;
      return -1;
    }
    if (!wait_until(c, POLLIN, why)) return -1;
  }
}

bool sigpipe_pending() {
  sigset_t pending;
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

} // namespace

Deadline Deadline::after_ms(long long ms) noexcept {
  Deadline d;
  clock_gettime(CLOCK_MONOTONIC, &d.end_);
  if (ms > 0) {
    d.end_.tv_sec += static_cast<time_t>(ms / 1000);
    d.end_.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (d.end_.tv_nsec >= kNsPerSec) {
      d.end_.tv_sec++;
      d.end_.tv_nsec -= kNsPerSec;
    }
  }
  return d;
}

int Deadline::remaining_ms(int cap_ms) const noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long left_ns =
      (static_cast<long long>(end_.tv_sec) - now.tv_sec) * kNsPerSec + (end_.tv_nsec - now.tv_nsec);
  if (left_ns <= 0) return 0;
  // Round up, so that a wait never ends a moment before the deadline and spins.
  const long long ms = (left_ns + 999999) / 1000000;
  return ms < cap_ms ? static_cast<int>(ms) : cap_ms;
}

int wait_fd(int fd, short events, int ms) noexcept {
  const Deadline until = Deadline::after_ms(ms);
  for (;;) {
    pollfd p{fd, events, 0};
    const int ready = poll(&p, 1, until.remaining_ms());
    if (ready > 0) return 1;
    // A signal of the host resumes the wait for what is left of it.
    if (ready == 0 || errno != EINTR) return 0;
  }
}

const char *failure_text(Failure f) noexcept {
  // In the order of Failure.
  static constexpr const char *kTexts[] = {
      "no failure",        "name not resolved", "connection refused", "unreachable",   "timed out",
      "connection closed", "TLS failure",       "unusable response",  "local failure",
  };
  const auto i = static_cast<size_t>(f);
  return i < sizeof kTexts / sizeof kTexts[0] ? kTexts[i] : "failure";
}

UniquePtr<addrinfo> resolve(const char *name, const char *port, Failure *why) noexcept {
  *why = Failure::none;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  errno = 0;
  const int resolved = getaddrinfo(name, port, &hints, &found);
  if (resolved != 0 || found == nullptr) {
    // A resolver that could not open its files or sockets says "not known" and leaves errno:
    // running out of descriptors or memory here is this side's failure, not an outage.
    const int err = errno;
    // For the debug log, like OpenSSL's own connection objects.
    ERR_raise_data(ERR_LIB_BIO, BIO_R_LOOKUP_RETURNED_NOTHING, "%s:%s: %s", name, port,
                   gai_strerror(resolved));
    *why = resolved == EAI_MEMORY || is_exhaustion(err) ? Failure::local : Failure::resolve;
  }
  return UniquePtr<addrinfo>(found);
}

Fd connect_any(const addrinfo *addresses, const Deadline &deadline, int per_address_secs,
               Failure *why, const addrinfo **connected) noexcept {
  Failure last = Failure::unreachable;
  // connection_timeout_secs may be as large as INT_MAX.
  const long long cap_ms = per_address_secs * 1000LL;
  const int cap = cap_ms > INT_MAX ? INT_MAX : static_cast<int>(cap_ms);
  for (const addrinfo *a = addresses; a != nullptr; a = a->ai_next) {
    const int left = deadline.remaining_ms(cap);
    if (left == 0) {
      last = Failure::timed_out;
      break;
    }
    Fd fd(socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd.valid()) {
      const int err = errno;
      ERR_raise_data(ERR_LIB_SYS, err, "calling socket()");
      // Out of descriptors or memory: no other address can do better, and no server is at
      // fault. Anything else (an address family this host lacks) leaves the next address.
      if (is_exhaustion(err)) {
        *why = Failure::local;
        return {};
      }
      continue;
    }
    // The handshake's last flight and the request go out as separate small writes; Nagle's
    // algorithm would hold the request back until the first is acknowledged.
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int err = 0;
    if (connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
      err = errno;
      if (err == EINPROGRESS) {
        if (wait_fd(fd.get(), POLLOUT, left) == 0) {
          last = Failure::timed_out;
          continue;
        }
        socklen_t len = sizeof err;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      }
    }
    if (err == 0) {
      if (connected != nullptr) *connected = a;
      return fd;
    }
    ERR_raise_data(ERR_LIB_SYS, err, "calling connect()");
    last = connect_failure(err);
  }
  *why = last;
  return {};
}

Fd connect_tcp(const char *name, const char *port, const Deadline &deadline, int per_address_secs,
               Failure *why) noexcept {
  UniquePtr<addrinfo> addresses = resolve(name, port, why);
  if (!addresses) return {};
  return connect_any(addresses.get(), deadline, per_address_secs, why, nullptr);
}

long Channel::read(char *buf, size_t len, Failure *why) const noexcept {
  if (ssl == nullptr) return recv_plain(*this, buf, len, 0, why);
  const int want = len > INT_MAX ? INT_MAX : static_cast<int>(len);
  for (;;) {
    short events = POLLIN;
    const int n = SSL_read(ssl, buf, want);
    if (n > 0) return n;
    if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) return 0;
    if (!ssl_wants(ssl, n, &events, why)) return -1;
    if (!wait_until(*this, events, why)) return -1;
  }
}

long Channel::peek(char *buf, size_t len, Failure *why) const noexcept {
  if (ssl != nullptr) { // TLS records cannot be looked at without taking them
    *why = Failure::local;
    return -1;
  }
  return recv_plain(*this, buf, len, MSG_PEEK, why);
}

bool Channel::write_all(const char *data, size_t len, Failure *why) const noexcept {
  while (len > 0) {
    const int chunk = len > INT_MAX ? INT_MAX : static_cast<int>(len);
    short events = POLLOUT;
    long n = -1;
    if (ssl != nullptr) {
      n = SSL_write(ssl, data, chunk);
      if (n <= 0 && !ssl_wants(ssl, static_cast<int>(n), &events, why)) return false;
    } else {
      n = send(fd, data, static_cast<size_t>(chunk), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        *why = Failure::closed;
        return false;
      }
    }
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
    } else if (!wait_until(*this, events, why)) {
      return false;
    }
  }
  return true;
}

bool Channel::handshake(Failure *why) const noexcept {
  for (;;) {
    const int rc = SSL_connect(ssl);
    if (rc == 1) return true;
    short events = POLLIN;
    if (!ssl_wants(ssl, rc, &events, why)) {
      // A peer that drops the connection mid-handshake is a handshake failure too.
      if (*why == Failure::closed) *why = Failure::tls;
      return false;
    }
    if (!wait_until(*this, events, why)) return false;
  }
}

ErrorMark::ErrorMark() noexcept {
  // Usually empty: then there is nothing to set aside.
  while (count_ < ERR_NUM_ERRORS && ERR_peek_error() != 0) {
    Held &h = held_[count_];
    const char *data = nullptr;
    int flags = 0;
    h.code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags);
    if (h.code == 0) break;
    h.has_data = (flags & ERR_TXT_STRING) != 0 && data != nullptr && data[0] != '\0';
    if (h.has_data) (void)snprintf(h.data, sizeof h.data, "%s", data);
    count_++;
  }
  ERR_clear_error();
}

ErrorMark::~ErrorMark() {
  const int saved_errno = errno;
  ERR_clear_error();
  for (int i = 0; i < count_; i++) {
    const Held &h = held_[i];
    ERR_new();
    ERR_set_debug(nullptr, 0, nullptr);
    if (h.has_data)
      ERR_set_error(ERR_GET_LIB(h.code), ERR_GET_REASON(h.code), "%s", h.data);
    else
      ERR_set_error(ERR_GET_LIB(h.code), ERR_GET_REASON(h.code), nullptr);
  }
  errno = saved_errno;
}

bool append_basic_credentials(Secret *out, const char *user, const char *password) noexcept {
  Secret plain;
  if (!plain.append(user) || !plain.append(":", 1) || !plain.append(password)) return false;
  const size_t n = plain.size();
  if (n > INT_MAX / 2) return false;
  const size_t encoded = 4 * ((n + 2) / 3);
  if (!out->grow_to(out->size() + encoded + 1)) return false;
  // Straight into the caller's wiped buffer: no encoder keeps a copy of its own.
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out->get() + out->size()),
                      reinterpret_cast<const unsigned char *>(plain.get()), static_cast<int>(n));
  if (written < 0) return false;
  out->grow_size(static_cast<size_t>(written));
  return true;
}

SigpipeGuard::SigpipeGuard() noexcept {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &block, &old_mask_);
  // A SIGPIPE the host already had pending is the host's: it is left alone.
  was_pending_ = sigpipe_pending();
}

SigpipeGuard::~SigpipeGuard() {
  const int saved_errno = errno;
  if (!was_pending_ && sigpipe_pending()) {
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, SIGPIPE);
    const timespec now{0, 0};
    while (sigtimedwait(&only, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  errno = saved_errno;
}

} // namespace zv::transport
