// Cutting the configuration file's text into option lines (internal to the configuration code,
// the fuzz target and the check command; not exported).
#pragma once

#include <cstddef>

namespace zv {

// Cuts `buf` (`len` bytes followed by a NUL) into option lines in place: a line that starts with
// "#" and an empty line are skipped, every other line becomes one entry and its newline is
// overwritten with NUL. Nothing is trimmed. On success *argv is a calloc'd vector of *argc
// entries pointing into `buf` (at least one slot even when there are none; release it with
// free()) and 0 is returned; -1 when the vector cannot be allocated (outputs left null and 0).
int split_config_lines(char *buf, size_t len, const char ***argv, int *argc);

} // namespace zv
