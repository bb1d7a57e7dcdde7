/* Preloaded into test processes: replaces openlog/syslog/vsyslog/closelog so that every record
 * the module writes lands in the file named by ZV_SYSLOG_CAPTURE, one record per line:
 *   ident <TAB> priority <TAB> facility <TAB> options <TAB> text
 * with backslash, tab and newline in the text escaped as \\, \t and \n.
 * Without ZV_SYSLOG_CAPTURE the records are dropped. */
/* Fortified glibc headers make syslog a macro under clang; this file defines the functions. */
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

static char capture_ident[256] = "";
static int capture_option;
static int capture_facility = LOG_USER;
static int capture_open;

void openlog(const char *ident, int option, int facility) {
  snprintf(capture_ident, sizeof capture_ident, "%s", ident ? ident : "");
  capture_option = option;
  capture_facility = facility;
  capture_open = 1;
}

void closelog(void) {
  capture_ident[0] = '\0';
  capture_open = 0;
}

void vsyslog(int priority, const char *format, va_list ap) {
  const char *path = getenv("ZV_SYSLOG_CAPTURE");
  if (path == NULL || *path == '\0') return;
  char *text = NULL;
  if (vasprintf(&text, format, ap) < 0) return;
  size_t n = strlen(text);
  char *esc = malloc(2 * n + 1);
  if (esc == NULL) {
    free(text);
    return;
  }
  size_t j = 0;
  for (size_t i = 0; i < n; i++) {
    char c = text[i];
    if (c == '\\') {
      esc[j++] = '\\';
      esc[j++] = '\\';
    } else if (c == '\n') {
      esc[j++] = '\\';
      esc[j++] = 'n';
    } else if (c == '\t') {
      esc[j++] = '\\';
      esc[j++] = 't';
    } else
      esc[j++] = c;
  }
  esc[j] = '\0';
  int facility = (priority & LOG_FACMASK) ? (priority & LOG_FACMASK) : capture_facility;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    char *line = NULL;
    int len = asprintf(&line, "%s\t%d\t%d\t%d\t%s\n", capture_open ? capture_ident : "",
                       LOG_PRI(priority), facility >> 3, capture_option, esc);
    if (len > 0) {
      flock(fd, LOCK_EX);
      ssize_t w = write(fd, line, (size_t)len);
      (void)w;
      flock(fd, LOCK_UN);
    }
    free(line);
    close(fd);
  }
  free(esc);
  free(text);
}

void syslog(int priority, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  vsyslog(priority, format, ap);
  va_end(ap);
}

/* _FORTIFY_SOURCE builds call the checking variants. */
void __syslog_chk(int priority, int flag, const char *format, ...) {
  (void)flag;
  va_list ap;
  va_start(ap, format);
  vsyslog(priority, format, ap);
  va_end(ap);
}

void __vsyslog_chk(int priority, int flag, const char *format, va_list ap) {
  (void)flag;
  vsyslog(priority, format, ap);
}
