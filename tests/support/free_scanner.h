// The interface of free_scanner.c, a library preloaded (LD_PRELOAD) into the test of freed
// secrets: while a thread is armed, every block it hands back to the allocator (free, realloc,
// reallocarray) is searched for the armed needles first, and each find is kept with the name of
// the object whose code freed the block. Only blocks handed out to the armed thread since it was
// armed are searched, and they start zeroed, so a find was written during the block's own life,
// not left behind by an earlier owner (the test writing its configuration, say). Only the armed
// thread is watched, so that the test's own server threads, which handle the same secrets, are
// left out. The functions are weak here: they are null when the library is not preloaded.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct zv_scan_find {
  int needle;        // index into the armed needles
  size_t block_size; // usable size of the freed block
  size_t offset;     // where the needle lies in it
  char freed_by[64]; // file name of the object that called free (libjansson.so.4, ...)
  char context[48];  // bytes around the find, non-printable ones as '.'
};

// Arms the calling thread with `count` needles (copied; at most 32 of at most 127 bytes) and
// forgets earlier finds.
void zv_scan_arm(const char *const *needles, int count) __attribute__((weak));
// Disarms the calling thread; returns the number of finds (at most 256 are kept), or -1 if more
// blocks were alive at once than it can follow (16384).
int zv_scan_disarm(void) __attribute__((weak));
// The finds kept since the last arming.
const struct zv_scan_find *zv_scan_finds(void) __attribute__((weak));

#ifdef __cplusplus
}
#endif
