/* Preloaded into the test of freed secrets (free_scanner.h): free, realloc and reallocarray
 * search each block of the armed thread for the armed needles before it goes back to glibc's
 * allocator, and the allocation functions zero each block they hand the armed thread. glibc
 * routes its own internal allocations through these symbols too. */
#define _GNU_SOURCE
#include "free_scanner.h"

#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <stdint.h>
#include <string.h>

void *__libc_malloc(size_t);
void *__libc_memalign(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

enum { kMaxNeedles = 32, kNeedleMax = 128, kMaxFinds = 256 };

static char needles[kMaxNeedles][kNeedleMax];
static size_t needle_lens[kMaxNeedles];
static int needle_count;
static struct zv_scan_find finds[kMaxFinds];
static int find_count;
/* Initial-exec: a look-up of these in free must not allocate. */
static __thread int armed __attribute__((tls_model("initial-exec")));
static __thread int scanning __attribute__((tls_model("initial-exec")));

static void note(int needle, const char *block, size_t size, size_t offset, const void *caller) {
  if (find_count >= kMaxFinds) {
    find_count++;
    return;
  }
  struct zv_scan_find *f = &finds[find_count++];
  f->needle = needle;
  f->block_size = size;
  f->offset = offset;
  Dl_info info;
  const char *name = "?";
  if (dladdr(caller, &info) != 0 && info.dli_fname != NULL) {
    const char *slash = strrchr(info.dli_fname, '/');
    name = slash != NULL ? slash + 1 : info.dli_fname;
  }
  strncpy(f->freed_by, name, sizeof f->freed_by - 1);
  f->freed_by[sizeof f->freed_by - 1] = '\0';
  const size_t from = offset > 8 ? offset - 8 : 0;
  size_t n = size - from;
  if (n > sizeof f->context - 1) n = sizeof f->context - 1;
  for (size_t i = 0; i < n; i++) {
    const unsigned char c = (unsigned char)block[from + i];
    f->context[i] = c >= 0x20 && c < 0x7f ? (char)c : '.';
  }
  f->context[n] = '\0';
}

/* Searches block[from, size) of a block that is being given back. */
static void scan(const void *p, size_t from, size_t size, const void *caller) {
  if (!armed || scanning || p == NULL || from >= size) return;
  scanning = 1;
  const char *block = p;
  for (int i = 0; i < needle_count; i++) {
    const char *at = memmem(block + from, size - from, needles[i], needle_lens[i]);
    if (at != NULL) note(i, block, size, (size_t)(at - block), caller);
  }
  scanning = 0;
}

void zv_scan_arm(const char *const *list, int count) {
  needle_count = 0;
  for (int i = 0; i < count && i < kMaxNeedles; i++) {
    const size_t len = strlen(list[i]);
    if (len == 0 || len >= kNeedleMax) continue;
    memcpy(needles[needle_count], list[i], len + 1);
    needle_lens[needle_count++] = len;
  }
  find_count = 0;
  armed = 1;
}

int zv_scan_disarm(void) {
  armed = 0;
  return find_count;
}

const struct zv_scan_find *zv_scan_finds(void) { return finds; }

/* A block handed out to the armed thread starts zeroed, so that what is found when it is freed
 * was written during its own life, not left by an earlier owner of the memory. */
static void *fresh(void *p) {
  if (p != NULL && armed) memset(p, 0, malloc_usable_size(p));
  return p;
}

void *malloc(size_t size) { return fresh(__libc_malloc(size)); }

void *memalign(size_t alignment, size_t size) { return fresh(__libc_memalign(alignment, size)); }

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size) {
  if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void *p = memalign(alignment, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

void free(void *p) {
  if (p != NULL) scan(p, 0, malloc_usable_size(p), __builtin_return_address(0));
  __libc_free(p);
}

/* A block that grows is moved by hand (glibc would free the old one where this file cannot see
 * it), and the tail that a shrinking block may give back is searched first. */
static void *scanned_realloc(void *p, size_t size, const void *caller) {
  if (!armed || p == NULL) return __libc_realloc(p, size);
  const size_t usable = malloc_usable_size(p);
  if (size == 0) {
    scan(p, 0, usable, caller);
    __libc_free(p);
    return NULL;
  }
  if (size <= usable) {
    scan(p, size, usable, caller);
    return __libc_realloc(p, size);
  }
  void *moved = fresh(__libc_malloc(size));
  if (moved == NULL) return NULL;
  memcpy(moved, p, usable);
  scan(p, 0, usable, caller);
  __libc_free(p);
  return moved;
}

void *realloc(void *p, size_t size) {
  return scanned_realloc(p, size, __builtin_return_address(0));
}

void *reallocarray(void *p, size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) {
    errno = ENOMEM;
    return NULL;
  }
  return scanned_realloc(p, count * size, __builtin_return_address(0));
}
