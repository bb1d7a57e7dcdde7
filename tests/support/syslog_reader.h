// The system log of a test process. syslog_capture_start binds a socket of this process over
// /dev/log (in the test's private mount namespace, tests/support/ns-run) and a reader thread
// collects every record sent to it: the module's, the host's own syslog(3) records, and those of
// child processes. Tests compare records as log lines, {priority, "function: message"}: the
// module writes "function[line]: message", and the source line is dropped so that a test does
// not depend on it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zvtest {

// One record as it was sent: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT".
struct LogRecord {
  std::string ident;
  int priority = -1;
  int facility = -1; // facility number (LOG_AUTH >> 3 == 4)
  int pid = -1;      // the "[PID]" after the identity; -1 when the record names none
  std::string text;
  std::string raw; // the whole record
};

// One record as the tests compare it.
struct LogLine {
  int priority = -1;
  std::string text; // "function: message"; a record of another form is kept as it is
  bool operator==(const LogLine &o) const { return priority == o.priority && text == o.text; }
};
void PrintTo(const LogLine &line, std::ostream *os);
using LogLines = std::vector<LogLine>;

// Starts capturing the system log of this process (the first call) and forgets what was
// captured so far (every call).
void syslog_capture_start();
// Forgets every record captured so far.
void syslog_clear();
// Every record captured since the last clear, in order, as written.
std::vector<LogRecord> syslog_records();
// True when some record's text contains `part`.
bool syslog_contains(const std::string &part);

// A record as a log line.
LogLine log_line(const LogRecord &record);
// Every record since the last clear as a log line, in order.
LogLines log_lines();
// Those of `priority` or more urgent (log_lines_up_to(LOG_ERR): errors and worse).
LogLines log_lines_up_to(int priority);
// True when some record reads `line` exactly.
bool logged(const LogLine &line);
// The number of records of `priority` whose line begins with `prefix` (for OpenSSL texts that
// vary between versions).
size_t count_logged(int priority, const std::string &prefix);
// The first record whose log line is `line`, or a record of priority -1 when there is none.
LogRecord find_record(const LogLine &line);

} // namespace zvtest
