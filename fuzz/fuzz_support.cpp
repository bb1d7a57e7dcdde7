// Fortified glibc headers make syslog a macro under clang; this file defines the functions.
#undef _FORTIFY_SOURCE
#include "fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

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

// The system log, replaced for the whole target (the fortified builds call the _chk variants).
extern "C" {
void __vsyslog_chk(int priority, int flag, const char *format, va_list ap)
    __attribute__((format(printf, 3, 0)));
void __syslog_chk(int priority, int flag, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

void openlog(const char *, int, int) {}
void closelog(void) {}
void vsyslog(int, const char *format, va_list ap) {
  char record[1024];
  std::vsnprintf(record, sizeof record, format, ap);
}
void syslog(int priority, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vsyslog(priority, format, ap);
  va_end(ap);
}
void __vsyslog_chk(int priority, int, const char *format, va_list ap) {
  vsyslog(priority, format, ap);
}
void __syslog_chk(int priority, int, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vsyslog(priority, format, ap);
  va_end(ap);
}
}
