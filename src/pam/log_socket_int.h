// The module's own way to the system log (log_socket.cpp), for src/pam only. Records go straight
// to the system log socket, formatted as syslog(3) formats them, so that the host's openlog
// settings (identity, options, facility) are neither used nor changed.
#pragma once

#include <cstdarg>

namespace zv {

// The system log socket; a fixed path.
inline constexpr const char *kLogSocketPath = "/dev/log";
// The longest wait for room in a full log socket before a record is dropped.
inline constexpr int kLogSendWaitMs = 200;

// Writes one record "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT" (PRI = facility | priority, the
// text formatted from `format`) to the system log socket. Never blocks longer than
// kLogSendWaitMs, never allocates, keeps nothing open; a record that cannot be written is
// dropped, as syslog(3) drops it.
void write_log_record(int facility_priority, const char *ident, const char *format, va_list ap)
    __attribute__((format(printf, 3, 0)));

} // namespace zv
