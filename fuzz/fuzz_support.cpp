#include "fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pam/log_socket_int.h"

namespace zvfuzz {

zv::HeapPtr<char> copy_input(const uint8_t *data, size_t size) {
  zv::HeapPtr<char> buf(static_cast<char *>(std::malloc(size + 1)));
  if (buf) {
    if (size > 0) std::memcpy(buf.get(), data, size);
    buf.get()[size] = '\0';
  }
  return buf;
}

} // namespace zvfuzz

// The module's way to the system log, replaced for the whole target: each record is formatted
// (so that its arguments are read) and dropped.
void zv::write_log_record(int, const char *, const char *format, va_list ap) {
  char record[1024];
  std::vsnprintf(record, sizeof record, format, ap);
}
