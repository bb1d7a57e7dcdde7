// Cutting the configuration file's text into option lines, in place.
#include "config/config_lines_int.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/own.h"

namespace {

// Calls `visit(start, end)` for each option line of buf[0, len), end being its newline or len.
template <class Visit> void for_each_option_line(const char *buf, size_t len, Visit visit) {
  size_t start = 0;
  while (start < len) {
    const auto *nl = static_cast<const char *>(std::memchr(buf + start, '\n', len - start));
    const size_t end = nl != nullptr ? static_cast<size_t>(nl - buf) : len;
    if (end > start && buf[start] != '#') visit(start, end);
    start = end + 1;
  }
}

} // namespace

namespace zv {

int split_config_lines(char *buf, size_t len, const char ***argv, int *argc) {
  *argv = nullptr;
  *argc = 0;
  size_t count = 0;
  for_each_option_line(buf, len, [&count](size_t, size_t) { count++; });
  if (count > INT_MAX) return -1;
  zv::HeapPtr<const char *> vec(
      static_cast<const char **>(std::calloc(count > 0 ? count : 1, sizeof(char *))));
  if (!vec) return -1;
  size_t n = 0;
  for_each_option_line(buf, len, [&](size_t start, size_t end) {
    vec.get()[n++] = buf + start;
    buf[end] = '\0'; // the newline, or the terminating NUL after the last line
  });
  *argc = static_cast<int>(count);
  *argv = vec.release();
  return 0;
}

} // namespace zv
