// The module's ownership vocabulary, in one place: one deleter per C type (declared once, here,
// beside the type), an owner for secrets that wipes them before they are freed, and an owner for
// file descriptors. Header-only; every allocation goes through the C allocator and nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <memory>
#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <strings.h>
#include <unistd.h>
#include <utility>

namespace zv {

// zv::UniquePtr<T> releases T with the one function declared for it below, so that a pointer can
// be wrapped on the line that acquires it: zv::UniquePtr<BIO> bio(BIO_new(...)).
template <class T> struct DeleterImpl {};
template <class T> struct Deleter {
  void operator()(T *p) const noexcept {
    if (p != nullptr) DeleterImpl<T>::release(p);
  }
};
template <class T> using UniquePtr = std::unique_ptr<T, Deleter<T>>;

#define ZV_MAKE_DELETER(type, fn)                                                                  \
  template <> struct DeleterImpl<type> {                                                           \
    static void release(type *p) noexcept { fn(p); }                                               \
  };

ZV_MAKE_DELETER(FILE, std::fclose)
ZV_MAKE_DELETER(json_t, json_decref)
ZV_MAKE_DELETER(BIO, BIO_free_all)
ZV_MAKE_DELETER(SSL_CTX, SSL_CTX_free)
ZV_MAKE_DELETER(SSL, SSL_free)
ZV_MAKE_DELETER(SSL_SESSION, SSL_SESSION_free)
ZV_MAKE_DELETER(X509, X509_free)
ZV_MAKE_DELETER(X509_STORE, X509_STORE_free)
ZV_MAKE_DELETER(X509_NAME, X509_NAME_free)
ZV_MAKE_DELETER(X509_CRL, X509_CRL_free)
inline void free_x509_infos(STACK_OF(X509_INFO) * infos) {
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
}
ZV_MAKE_DELETER(STACK_OF(X509_INFO), free_x509_infos)
ZV_MAKE_DELETER(X509_EXTENSION, X509_EXTENSION_free)
ZV_MAKE_DELETER(EVP_PKEY, EVP_PKEY_free)
ZV_MAKE_DELETER(BIGNUM, BN_free)
ZV_MAKE_DELETER(addrinfo, freeaddrinfo)

// Memory from malloc/calloc/strdup (a plain string, an array of records), released with free();
// secrets go in zv::Secret instead.
struct FreeMem {
  void operator()(void *p) const noexcept { std::free(p); }
};
template <class T> using HeapPtr = std::unique_ptr<T, FreeMem>;

// Overwrites `n` bytes in a way the compiler cannot drop. Accepts null.
inline void wipe(void *p, size_t n) noexcept {
  if (p != nullptr && n > 0) OPENSSL_cleanse(p, n);
}
// Overwrites a NUL-terminated string. Accepts null.
inline void wipe(char *s) noexcept {
  if (s != nullptr) wipe(s, std::strlen(s));
}
// Wipes then frees a heap string. Accepts null.
inline void wipe_free(char *s) noexcept {
  wipe(s);
  std::free(s);
}

// strdup() that accepts null (gives null).
inline char *dup(const char *s) noexcept { return s != nullptr ? strdup(s) : nullptr; }

// Owns a heap buffer that may hold a secret (a password, code, key, request or reply text, a
// file of hashes) and wipes all of it before it is freed. It adopts a NUL-terminated string from
// malloc/strdup (its bytes at adoption are what gets wiped), or allocates a buffer of a known
// capacity, which it can grow and append to without leaving an unwiped copy behind.
class Secret {
public:
  Secret() noexcept = default;
  explicit Secret(char *adopted) noexcept { reset(adopted); }
  Secret(Secret &&other) noexcept { *this = std::move(other); }
  Secret &operator=(Secret &&other) noexcept {
    if (this != &other) {
      reset();
      std::swap(data_, other.data_);
      std::swap(capacity_, other.capacity_);
      std::swap(len_, other.len_);
    }
    return *this;
  }
  Secret(const Secret &) = delete;
  Secret &operator=(const Secret &) = delete;
  ~Secret() { reset(); }

  // A zeroed buffer of `capacity` bytes (holding the empty text); empty when it cannot be had.
  static Secret with_capacity(size_t capacity) noexcept {
    Secret s;
    s.data_ = static_cast<char *>(std::calloc(capacity > 0 ? capacity : 1, 1));
    if (s.data_ != nullptr) s.capacity_ = capacity > 0 ? capacity : 1;
    return s;
  }

  char *get() const noexcept { return data_; }
  explicit operator bool() const noexcept { return data_ != nullptr; }
  size_t capacity() const noexcept { return capacity_; }
  // Bytes appended so far (or the adopted string's length).
  size_t size() const noexcept { return len_; }

  // Wipes and frees what is held, then adopts `p` (a NUL-terminated heap string, or null).
  void reset(char *p = nullptr) noexcept {
    wipe(data_, capacity_);
    std::free(data_);
    data_ = p;
    len_ = p != nullptr ? std::strlen(p) : 0;
    capacity_ = p != nullptr ? len_ + 1 : 0;
  }
  // Hands the buffer over unwiped; the caller wipes and frees it.
  char *release() noexcept {
    char *p = data_;
    data_ = nullptr;
    capacity_ = len_ = 0;
    return p;
  }

  // Grows the buffer to `capacity` bytes, keeping its content. A larger buffer is a fresh
  // allocation and the old one is wiped (realloc would free it unwiped). False when it cannot be
  // had; the content is then unchanged.
  bool grow_to(size_t capacity) noexcept {
    if (capacity <= capacity_) return true;
    Secret bigger = with_capacity(capacity);
    if (!bigger) return false;
    if (len_ > 0) std::memcpy(bigger.data_, data_, len_);
    bigger.len_ = len_;
    *this = std::move(bigger);
    return true;
  }
  // Appends `n` bytes and keeps the text NUL-terminated. False (content unchanged) when the
  // buffer cannot grow.
  bool append(const void *bytes, size_t n) noexcept {
    if (n > SIZE_MAX / 2 - len_) return false;
    const size_t need = len_ + n + 1;
    if (need > capacity_ && !grow_to(need > 2 * capacity_ ? need : 2 * capacity_)) return false;
    if (n > 0) std::memcpy(data_ + len_, bytes, n);
    len_ += n;
    data_[len_] = '\0';
    return true;
  }
  bool append(const char *text) noexcept { return append(text, std::strlen(text)); }
  // Records that `n` more bytes were written into the buffer directly (within its capacity).
  void grow_size(size_t n) noexcept {
    len_ += n;
    data_[len_] = '\0';
  }
  // Keeps the first `n` bytes (when fewer are held, all of them); the rest is wiped.
  void truncate(size_t n) noexcept {
    if (n >= len_) return;
    wipe(data_ + n, len_ - n);
    len_ = n;
  }
  // Drops the first `n` bytes (at most all of them), moving the rest to the front.
  void erase_front(size_t n) noexcept {
    if (n > len_) n = len_;
    if (n == 0) return;
    std::memmove(data_, data_ + n, len_ - n);
    truncate(len_ - n);
  }

private:
  char *data_ = nullptr;
  size_t capacity_ = 0;
  size_t len_ = 0;
};

// A file descriptor closed when the owner goes (closing a locked file releases its lock).
class Fd {
public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd &&other) noexcept : fd_(other.release()) {}
  Fd &operator=(Fd &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports whether the close succeeded (a delayed write error shows here).
  bool close() noexcept {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
  }

private:
  int fd_ = -1;
};

} // namespace zv
