/* Preloaded into the test of freed secrets (free_scanner.h): the allocation functions zero each
 * block they hand the armed thread and note it in `born`; free, realloc and reallocarray search
 * each noted block for the armed needles before it goes back to glibc's allocator. glibc routes
 * its own internal allocations through these symbols too. */
#define _GNU_SOURCE
#include "free_scanner.h"

#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <stdint.h>
#include <string.h>

void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_memalign(size_t, size_t);
void *__libc_valloc(size_t);
void *__libc_pvalloc(size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

enum { kMaxNeedles = 32, kNeedleMax = 128, kMaxFinds = 256, kBornBits = 15 };

static char needles[kMaxNeedles][kNeedleMax];
static size_t needle_lens[kMaxNeedles];
static int needle_count;
static struct zv_scan_find finds[kMaxFinds];
static int find_count;
/* Initial-exec: a look-up of these in free must not allocate. */
static __thread int armed __attribute__((tls_model("initial-exec")));
static __thread int scanning __attribute__((tls_model("initial-exec")));

/* The blocks handed to the armed thread since it was armed, a set with linear probing that is
 * kept at most half full. Only these are searched: a block that is older than the arming holds
 * what its earlier life left there, not what the login wrote. Only the armed thread touches it. */
static void *born[1u << kBornBits];
static size_t born_count;
static int born_overflow;

static size_t slot_of(const void *p) {
  return (size_t)(((uintptr_t)p >> 4) * 0x9E3779B97F4A7C15u >> (64 - kBornBits));
}

static size_t next_slot(size_t i) { return (i + 1) & ((1u << kBornBits) - 1); }

/* Returns the slot that holds p, or the empty slot where it would go. */
static size_t find_slot(const void *p) {
  size_t i = slot_of(p);
  while (born[i] != NULL && born[i] != p) i = next_slot(i);
  return i;
}

static void note_born(void *p) {
  const size_t i = find_slot(p);
  if (born[i] == p) return;
  if (born_count >= (1u << kBornBits) / 2) {
    born_overflow = 1;
    return;
  }
  born[i] = p;
  born_count++;
}

/* Removes p; returns whether it was there. The entries after it move back over the gap. */
static int forget_born(const void *p) {
  size_t gap = find_slot(p);
  if (born[gap] == NULL) return 0;
  born[gap] = NULL;
  born_count--;
  for (size_t i = next_slot(gap); born[i] != NULL; i = next_slot(i)) {
    const size_t home = slot_of(born[i]);
    /* born[i] may fill the gap unless its home lies cyclically in (gap, i]. */
    if (gap < i ? (home > gap && home <= i) : (home > gap || home <= i)) continue;
    born[gap] = born[i];
    born[i] = NULL;
    gap = i;
  }
  return 1;
}

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
  memset(born, 0, sizeof born);
  born_count = 0;
  born_overflow = 0;
  armed = 1;
}

int zv_scan_disarm(void) {
  armed = 0;
  return born_overflow ? -1 : find_count;
}

const struct zv_scan_find *zv_scan_finds(void) { return finds; }

/* A block handed out to the armed thread starts zeroed, so that what is found when it is freed
 * was written during its own life, not left by an earlier owner of the memory. */
static void *fresh(void *p) {
  if (p != NULL && armed) {
    memset(p, 0, malloc_usable_size(p));
    note_born(p);
  }
  return p;
}

void *malloc(size_t size) { return fresh(__libc_malloc(size)); }

void *calloc(size_t count, size_t size) { return fresh(__libc_calloc(count, size)); }

void *memalign(size_t alignment, size_t size) { return fresh(__libc_memalign(alignment, size)); }

void *valloc(size_t size) { return fresh(__libc_valloc(size)); }

void *pvalloc(size_t size) { return fresh(__libc_pvalloc(size)); }

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size) {
  if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void *p = memalign(alignment, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

/* Whether p is a block of the armed thread's that is being given back (and no longer noted). */
static int given_back(const void *p) { return p != NULL && armed && forget_born(p); }

void free(void *p) {
  if (given_back(p)) scan(p, 0, malloc_usable_size(p), __builtin_return_address(0));
  __libc_free(p);
}

/* A block that grows is moved by hand (glibc would free the old one where this file cannot see
 * it), and the tail that a shrinking block may give back is searched first. A block older than
 * the arming stays unsearched through its reallocations. */
static void *scanned_realloc(void *p, size_t size, const void *caller) {
  if (p == NULL) return malloc(size);
  if (!given_back(p)) return __libc_realloc(p, size);
  const size_t usable = malloc_usable_size(p);
  if (size == 0) {
    scan(p, 0, usable, caller);
    __libc_free(p);
    return NULL;
  }
  if (size <= usable) {
    scan(p, size, usable, caller);
    void *kept = __libc_realloc(p, size);
    note_born(kept != NULL ? kept : p);
    return kept;
  }
  void *moved = malloc(size);
  if (moved == NULL) {
    note_born(p);
    return NULL;
  }
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
