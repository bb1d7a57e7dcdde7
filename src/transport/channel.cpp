// Byte-level helpers of the transport: Base64 for Basic credentials, time limits on a
// connection and the SIGPIPE guard around writes.
#include "transport/channel_int.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace zv::transport {

char *base64_encode(const char *data, size_t len, int *out_len) {
  *out_len = 0;
  if (len > INT_MAX) return nullptr;
  UniquePtr<BIO> chain(BIO_new(BIO_f_base64()));
  if (!chain) return nullptr;
  BIO *mem = BIO_new(BIO_s_secmem());
  if (mem == nullptr) return nullptr;
  BIO_push(chain.get(), mem); // the chain owns mem from here on
  BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
  const int n = static_cast<int>(len);
  if (BIO_write(chain.get(), data, n) != n || BIO_flush(chain.get()) != 1) return nullptr;
  BUF_MEM *encoded = nullptr;
  BIO_get_mem_ptr(mem, &encoded);
  if (encoded == nullptr || encoded->length > INT_MAX) return nullptr;
  char *out = static_cast<char *>(std::malloc(encoded->length + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, encoded->data, encoded->length);
  out[encoded->length] = '\0';
  *out_len = static_cast<int>(encoded->length);
  return out;
}

char *basic_credentials(const char *user, const char *password, int *out_len) {
  *out_len = 0;
  char *joined = nullptr;
  if (asprintf(&joined, "%s:%s", user, password) < 0) return nullptr;
  Secret plain(joined);
  return base64_encode(plain.get(), std::strlen(plain.get()), out_len);
}

bool set_io_timeout(BIO *bio, int secs) {
  int fd = -1;
  if (secs <= 0 || BIO_get_fd(bio, &fd) < 0 || fd < 0) return false;
  const timeval bound{secs, 0};
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) == 0;
}

namespace {

bool sigpipe_pending() {
  sigset_t pending;
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

} // namespace

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
