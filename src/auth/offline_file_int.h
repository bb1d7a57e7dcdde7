// The files of the offline code store (offline_file.cpp): safe opening and locking, whole reads
// and replacement through a companion file, and the line format of a code file, which the
// matcher reads from memory (so that tests and the fuzzer can drive it). Not exported.
#pragma once

#include <stddef.h>

#include "common/own.h"
#include "config/params.h"

namespace zv::offline {

// How opening a state file ended.
enum class Opened { locked, missing, not_regular, lock_failed, unstable };

// Opens `name` (never through a symbolic link, only a regular file) and takes an exclusive
// flock on it. A process that waited for the lock while another replaced the file would hold
// one that is gone, so after locking the name must still refer to the held file; otherwise it
// starts over, a few times. With `create` a missing file is created empty (0600) to carry the
// lock, and *created says so. With `writable` the file is opened for writing as well. The lock
// goes with the descriptor in *out.
Opened open_locked(const char *name, bool create, Fd *out, bool *created, bool writable = false);

// Reads the whole of a locked file of at most `max` bytes into *out. Returns 0, or -1 when it
// cannot be read or is larger.
int read_whole(int fd, size_t max, Secret *out);

// Replaces the whole content of the locked file `fd` in place (a counter file, whose lock must
// stay on one file) with `len` bytes of `text`, flushed. False when that failed.
bool rewrite_in_place(int fd, const char *text, size_t len);

// Replaces the locked file `name` with `len` bytes of `data`: a fresh 0600 companion file
// (name cut to 251 characters + ".new"; whatever stood at its name is removed, never followed),
// flushed, then renamed over it. Returns 0, or -1 after logging "Failed to rename %s to %s"
// under `who`; the file is then as it was.
int replace_file(const module_params *params, const char *who, const char *name, const char *data,
                 size_t len);

} // namespace zv::offline

// Looks for the first line of `data` (`len` bytes of a code file, not NUL-terminated) that is a
// "$6$<16-character salt>$<128 hex digits>" hash of `code`. Returns 1 and sets *rest to the offset
// just past that line's line feed (or to `len`), else 0 with *rest = 0. An empty or null code
// never matches.
int offline_find_code(const module_params *params, const char *data, size_t len, const char *code,
                      size_t *rest);

// Number of lines in `len` bytes of `data`; a last line without a line feed counts.
size_t offline_count_lines(const char *data, size_t len);
