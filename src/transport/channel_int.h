// The connection layer of the transport (channel.cpp): one deadline for a whole request, TCP
// connections made without blocking, reads and writes (plain or TLS) that wait at most until the
// deadline, Base64 for Basic credentials, and the SIGPIPE guard around writes. For the
// transport's own files only.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "common/own.h"
#include "config/params.h"

namespace zv::transport {

inline bool has_text(const char *s) { return s != nullptr && s[0] != '\0'; }

// The longest one address may take to accept a TCP connection, so that a dead first address
// leaves time for the next while the request's deadline lasts.
inline constexpr int kConnectSecsPerAddress = 5;
// request_timeout_secs when it holds no usable value (a record filled without the defaults).
inline constexpr int kDefaultRequestTimeoutSecs = 15;

// The whole time one request may take, in seconds.
inline int request_timeout(const module_params *params) {
  return params->request_timeout_secs > 0 ? params->request_timeout_secs
                                          : kDefaultRequestTimeoutSecs;
}

// A point in time (monotonic clock) by which a request must be over.
class Deadline {
public:
  // `secs` seconds (or `ms` milliseconds) from now.
  static Deadline after(int secs) noexcept { return after_ms(secs * 1000LL); }
  static Deadline after_ms(long long ms) noexcept;
  // Milliseconds left (0 once passed), at most `cap_ms`.
  int remaining_ms(int cap_ms = 1 << 30) const noexcept;
  bool passed() const noexcept { return remaining_ms() == 0; }

private:
  timespec end_{};
};

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or `ms` milliseconds pass; a signal
// of the host resumes the wait. 1 when ready (an error or hang-up counts), 0 on time-out.
int wait_fd(int fd, short events, int ms) noexcept;

// Why a step of a request failed.
enum class Failure {
  none,
  resolve,     // the name did not resolve
  refused,     // the address refused the connection
  unreachable, // no route, network down, or another connect error
  timed_out,   // the deadline (or the per-address connect limit) passed
  closed,      // the peer closed or reset the connection
  tls,         // handshake, certificate or record failure
  protocol,    // a response that is not HTTP, or too large
  local,       // memory or descriptors ran out on our side: not the server's fault
};
const char *failure_text(Failure f) noexcept;

// True for an errno that says this process (or the system) ran out of descriptors or memory.
inline bool is_exhaustion(int err) {
  return err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOBUFS;
}

// log_ssl_errors, telling whether one of the drained errors said that memory or descriptors
// ran out.
bool drain_ssl_errors(const module_params *params, const char *function, int line,
                      const char *operation) noexcept;

// Keeps the module's OpenSSL errors off the host's thread: the errors the host had queued are
// set aside while alive, and when it ends the module's own are dropped (after they were logged)
// and the host's put back, in order, with their codes and texts. Where they were raised (file,
// line, function) is not put back: some OpenSSL releases keep the pointers they are given, and
// no string of ours may outlive the call. A host that uses OpenSSL itself (sshd) must never
// read a stale error of ours from SSL_get_error or ERR_get_error.
class ErrorMark {
public:
  ErrorMark() noexcept;
  ~ErrorMark();
  ErrorMark(const ErrorMark &) = delete;
  ErrorMark &operator=(const ErrorMark &) = delete;

private:
  struct Held {
    unsigned long code;
    bool has_data;
    char data[128];
  };
  Held held_[ERR_NUM_ERRORS];
  int count_ = 0;
};

// The addresses of `name`:`port` (TCP), or null with *why (Failure::resolve). Name resolution is
// the one step no deadline bounds: the system's resolver settings do.
UniquePtr<addrinfo> resolve(const char *name, const char *port, Failure *why) noexcept;

// Connects to the first of `addresses` that accepts, each getting at most `per_address_secs`
// while the deadline lasts. Returns the connected non-blocking socket (TCP_NODELAY set) and, in
// *connected when given, its address; or an invalid one and *why.
Fd connect_any(const addrinfo *addresses, const Deadline &deadline, int per_address_secs,
               Failure *why, const addrinfo **connected) noexcept;

// Connects to `name`:`port` without blocking, trying every resolved address (IPv6 and IPv4, in
// the resolver's order) for at most `per_address_secs` each while the deadline lasts. Returns
// the connected non-blocking socket (TCP_NODELAY set), or an invalid one and *why.
Fd connect_tcp(const char *name, const char *port, const Deadline &deadline, int per_address_secs,
               Failure *why) noexcept;

// An open connection, plain or with TLS on top, whose every wait ends at the deadline.
struct Channel {
  int fd = -1;
  SSL *ssl = nullptr; // borrowed; null on a plain connection
  Deadline deadline;

  // Reads up to `len` bytes: the count, 0 when the peer closed, -1 on failure (*why).
  long read(char *buf, size_t len, Failure *why) const noexcept;
  // The same on a plain connection, but the bytes stay queued for the next read (-1 with
  // Failure::local on a TLS channel: records cannot be looked at without taking them).
  long peek(char *buf, size_t len, Failure *why) const noexcept;
  // Writes all `len` bytes; false on failure (*why).
  bool write_all(const char *data, size_t len, Failure *why) const noexcept;
  // Runs the TLS handshake; false on failure (*why).
  bool handshake(Failure *why) const noexcept;
};

// Appends the Base64 form (RFC 4648, no line breaks) of "user:password" to *out, which may hold
// other secret text already. False when it cannot be built.
bool append_basic_credentials(Secret *out, const char *user, const char *password) noexcept;

// Keeps a write to a peer that has reset the connection from raising SIGPIPE in the host: blocks
// SIGPIPE for this thread while alive, then takes back a SIGPIPE that became pending meanwhile
// and restores the thread's mask. Dispositions are never touched.
struct SigpipeGuard {
  SigpipeGuard() noexcept;
  ~SigpipeGuard();
  SigpipeGuard(const SigpipeGuard &) = delete;
  SigpipeGuard &operator=(const SigpipeGuard &) = delete;

private:
  sigset_t old_mask_;
  bool was_pending_;
};

} // namespace zv::transport
