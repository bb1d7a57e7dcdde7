// Byte-level helpers of the transport (channel.cpp): Base64 for Basic credentials, time limits
// on a connection, and the SIGPIPE guard around writes. For the transport's own files only.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <memory>
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include "common/own.h"
#include "config/params.h"

namespace zv::transport {

// Base64 (RFC 4648, no line breaks) of `len` bytes as a NUL-terminated heap text that the caller
// wipes and frees; *out_len receives its length. Null on failure. The encoder's memory BIO is a
// secure one, so its copy of the encoded secret is cleansed when it is released.
char *base64_encode(const char *data, size_t len, int *out_len);

inline bool has_text(const char *s) { return s != nullptr && s[0] != '\0'; }

// How long each read or write on an open connection (server or proxy) may wait for the peer.
// A peer that accepts the connection and then falls silent fails the request instead of holding
// the host's thread (a login, a sudo, every poll of a push wait) for ever.
inline constexpr int kIoTimeoutSecs = 60;

// Bounds every later read and write on the socket under `bio` by `secs` seconds. False when
// there is no socket yet or the bound cannot be set.
bool set_io_timeout(BIO *bio, int secs);

// True when the read or write on `bio` that just failed ran out of time (the socket bound)
// rather than meeting a closed or broken connection or a signal. Call it before anything else
// can change errno.
inline bool timed_out(BIO *bio) {
  return BIO_should_retry(bio) != 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// The Base64 form of "user:password" for a Basic authorization header, a secret the caller
// wipes; *out_len receives its length. Null when it cannot be built.
char *basic_credentials(const char *user, const char *password, int *out_len);

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
