// The reading side of an offline code file, apart from the file itself, so that the matcher can
// be driven from memory (tests, fuzzing). Hidden: not part of the module's exported interface.
#pragma once

#include <stddef.h>

#include "config/params.h"

// Looks for the first line of `data` (`len` bytes of a code file, not NUL-terminated) that is a
// "$6$<16-character salt>$<128 hex digits>" hash of `code`. Returns 1 and sets *rest to the offset
// just past that line's line feed (or to `len`), else 0 with *rest = 0. An empty or null code
// never matches.
int offline_find_code(const module_params *params, const char *data, size_t len, const char *code,
                      size_t *rest);

// Number of lines in `len` bytes of `data`; a last line without a line feed counts.
size_t offline_count_lines(const char *data, size_t len);
