// Reads the records that the preloaded syslog capture (syslog_capture.c) wrote for this process.
// Tests compare records as log lines, {priority, "function: message"}: the module writes
// "function[line]: message", and the source line is dropped so that a test does not depend on it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zvtest {

struct LogRecord {
  std::string ident;
  int priority = -1;
  int facility = -1; // facility number (LOG_AUTH >> 3 == 4)
  int options = 0;   // openlog options
  std::string text;
};

// One record as the tests compare it.
struct LogLine {
  int priority = -1;
  std::string text; // "function: message"; a record of another form is kept as it is
  bool operator==(const LogLine &o) const { return priority == o.priority && text == o.text; }
};
void PrintTo(const LogLine &line, std::ostream *os);
using LogLines = std::vector<LogLine>;

// Points ZV_SYSLOG_CAPTURE at a fresh file for this process (called once by the fixture).
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
