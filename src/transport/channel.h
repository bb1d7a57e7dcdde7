// Helpers shared by the transport's files; hidden from the module's exported interface.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <memory>
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include "config/params.h"
#include "pam/util.h"

namespace zv::transport {

using zv::Free;
using BioPtr = std::unique_ptr<BIO, Free<BIO_free_all>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, Free<SSL_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, Free<X509_free>>;

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

// post_json_request and proxy_connect with their wait on the peer bounded by `io_timeout_secs`
// instead of kIoTimeoutSecs.
int post_json(const module_params *params, const char *body, char **json_response,
              int io_timeout_secs);
BIO *open_proxy_tunnel(const module_params *params, int io_timeout_secs);

// The Base64 form of "user:password" for a Basic authorization header, a secret the caller
// wipes; *out_len receives its length. Null when it cannot be built.
char *basic_credentials(const char *user, const char *password, int *out_len);

// Reads a proxy's answer to CONNECT into buf (size bytes, NUL-terminated) until it holds the
// empty line that ends the header, or size - 1 bytes. Returns the number of bytes held, or -1
// when a read ends (0 or less) before that.
long read_proxy_reply(BIO *bio, char *buf, size_t size);

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
