// Reads the records that the preloaded syslog capture (syslog_capture.c) wrote for this process.
#pragma once

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

// Points ZV_SYSLOG_CAPTURE at a fresh file for this process (called once by the fixture).
void syslog_capture_start();
// Forgets every record captured so far.
void syslog_clear();
// Every record captured since the last clear, in order.
std::vector<LogRecord> syslog_records();
// The texts only, in order.
std::vector<std::string> syslog_texts();
// True when some record's text equals `text` exactly.
bool syslog_has(const std::string &text);
// True when some record's text contains `part`.
bool syslog_contains(const std::string &part);
// The texts with the source line of the "name[line]: " prefix dropped ("name: message"), so
// that tests can assert exact records without depending on line numbers.
std::vector<std::string> syslog_lines();
// True when some record reads "function[<line>]: message" exactly.
bool syslog_has_line(const std::string &function, const std::string &message);
// The record of that form, or nullptr-equivalent (priority -1) when there is none.
LogRecord syslog_find_line(const std::string &function, const std::string &message);

} // namespace zvtest
