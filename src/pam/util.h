// Small RAII guards and secret-handling helpers shared by every subsystem.
// Everything here is header-only, allocation goes through the C allocator and nothing throws.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>

namespace zv {

// Deleter that calls a C release function; works for any `void F(T *)`.
template <auto F> struct Free {
  template <class T> void operator()(T *p) const noexcept { F(p); }
};

// A heap string from malloc/strdup, released with free().
struct FreeChars {
  void operator()(char *p) const noexcept { std::free(p); }
};
using CharPtr = std::unique_ptr<char, FreeChars>;

// Overwrites a NUL-terminated string in a way the compiler cannot drop. Accepts null.
inline void wipe(char *s) noexcept {
  if (s != nullptr) explicit_bzero(s, std::strlen(s));
}

// Wipes then frees a heap string. Accepts null.
inline void wipe_free(char *s) noexcept {
  wipe(s);
  std::free(s);
}

// A heap string that holds a secret (password, code, key, reply with codes): wiped before free.
struct WipeChars {
  void operator()(char *p) const noexcept { wipe_free(p); }
};
using SecretPtr = std::unique_ptr<char, WipeChars>;

// A heap buffer of known size that may hold secrets and NULs (a file or reply read whole): all
// of it is wiped before free.
struct WipeBytes {
  size_t size;
  void operator()(char *p) const noexcept {
    if (p != nullptr) explicit_bzero(p, size);
    std::free(p);
  }
};
using SecretBuffer = std::unique_ptr<char, WipeBytes>;

// strdup() that accepts null (gives null).
inline char *dup(const char *s) noexcept { return s != nullptr ? strdup(s) : nullptr; }

} // namespace zv
