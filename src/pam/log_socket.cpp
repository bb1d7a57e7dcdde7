// Records to the system log socket, written the way glibc's syslog(3) writes them, but without
// its process-wide state: openlog/closelog would replace the host's identity, options and
// facility for the host's own later records, and syslog(3) can block without bound on a full
// socket. Every record opens the socket, sends, and closes it again; nothing is kept between
// calls of a module that the host may unload.
#include "pam/log_socket_int.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/own.h"

namespace zv {
namespace {

// Room for the longest record the module writes (a reply cut by LogText, with its prefix). Kept
// on the stack: the records of allocation failures must still go out.
constexpr size_t kRecordMax = 8192;

// "Mmm dd hh:mm:ss" in local time: syslog(3)'s "%h %e %T" in the C locale.
void timestamp(char *out, size_t size) {
  static constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) == nullptr) local = tm{};
  (void)std::snprintf(out, size, "%s %2d %02d:%02d:%02d", kMonths[(local.tm_mon % 12 + 12) % 12],
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// A non-blocking socket of `type` connected to the log socket; *err holds errno on failure.
Fd connect_log(int type, int *err) {
  Fd fd(socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    *err = errno;
    return {};
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, kLogSocketPath, std::strlen(kLogSocketPath) + 1);
  if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
    *err = errno;
    return {};
  }
  return fd;
}

// Sends all `len` bytes, waiting for room until `end` (monotonic milliseconds) at the latest.
bool send_until(int fd, const char *data, size_t len, long long end) {
  while (len > 0) {
    const ssize_t sent = send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data += sent;
      len -= static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    const long long left = end - now_ms();
    if (left <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left)) == 0) return false;
  }
  return true;
}

} // namespace

void write_log_record(int facility_priority, const char *ident, const char *format, va_list ap) {
  const int saved_errno = errno; // callers may read errno after logging, and "%m" reads it
  char record[kRecordMax];
  char when[32];
  timestamp(when, sizeof when);
  const int head = std::snprintf(record, sizeof record, "<%d>%s %s[%d]: ", facility_priority, when,
                                 ident, static_cast<int>(getpid()));
  if (head < 0 || static_cast<size_t>(head) >= sizeof record - 1) {
    errno = saved_errno;
    return;
  }
  errno = saved_errno;
  const int body =
      std::vsnprintf(record + head, sizeof record - static_cast<size_t>(head), format, ap);
  if (body < 0) {
    errno = saved_errno;
    return;
  }
  size_t len = static_cast<size_t>(head) + static_cast<size_t>(body);
  if (len > sizeof record - 1) len = sizeof record - 1; // cut, as the buffer holds it

  // A datagram socket as syslogd offers, else a stream socket, whose records end with a NUL.
  const long long end = now_ms() + kLogSendWaitMs;
  int err = 0;
  Fd fd = connect_log(SOCK_DGRAM, &err);
  if (!fd.valid() && err == EPROTOTYPE) {
    fd = connect_log(SOCK_STREAM, &err);
    if (fd.valid()) len++; // the terminating NUL goes along
  }
  if (fd.valid()) (void)send_until(fd.get(), record, len, end);
  fd.reset();
  errno = saved_errno;
}

} // namespace zv
