#include "alloc_fault.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define ZV_ALLOC_HOOKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZV_ALLOC_HOOKS 0
#endif
#endif
#ifndef ZV_ALLOC_HOOKS
#define ZV_ALLOC_HOOKS 1
#endif

namespace {

unsigned g_calls = 0; // what is counted; 0 while disarmed
int g_counted = 0;
int g_nth = 0;
const void *g_watched = nullptr;
size_t g_watched_size = 0;
char g_watched_bytes[64];
bool g_watched_freed = false;

// Counts a call of `kind`; true when it is the one that fails.
bool fail_now(unsigned kind) {
  if ((g_calls & kind) == 0) return false;
  return ++g_counted == g_nth;
}

} // namespace

#if ZV_ALLOC_HOOKS
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
  if (fail_now(zvtest::kAllocatorCalls)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(n);
}
void *calloc(size_t n, size_t size) {
  if (fail_now(zvtest::kAllocatorCalls)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(n, size);
}
void *realloc(void *p, size_t n) {
  if (fail_now(zvtest::kAllocatorCalls)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_realloc(p, n);
}
void free(void *p) {
  if (p != nullptr && p == g_watched) {
    std::memcpy(g_watched_bytes, p, g_watched_size);
    g_watched_freed = true;
    g_watched = nullptr;
  }
  __libc_free(p);
}
}
#endif

// One allocation however it is counted: the copy's own memory is not a second call.
extern "C" char *strdup(const char *s) noexcept {
  if (fail_now(zvtest::kStrdupCalls)) {
    errno = ENOMEM;
    return nullptr;
  }
  const size_t size = std::strlen(s) + 1;
#if ZV_ALLOC_HOOKS
  char *copy = static_cast<char *>(__libc_malloc(size));
#else
  char *copy = static_cast<char *>(std::malloc(size));
#endif
  if (copy != nullptr) std::memcpy(copy, s, size);
  return copy;
}

namespace zvtest {

bool allocator_replaced() { return ZV_ALLOC_HOOKS != 0; }

void fail_allocation(int nth, unsigned calls) {
  g_calls = 0;
  g_counted = 0;
  g_nth = nth;
  g_calls = calls;
}

void allow_allocations() { g_calls = 0; }

int allocations_counted() { return g_counted; }

void watch_free(const void *block, size_t size) {
  g_watched_freed = false;
  g_watched_size = size < sizeof g_watched_bytes ? size : sizeof g_watched_bytes;
  g_watched = block;
}

std::string freed_bytes() {
  return g_watched_freed ? std::string(g_watched_bytes, g_watched_size) : std::string();
}

} // namespace zvtest
