#include "syslog_reader.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace zvtest {

namespace {

std::string capture_path() {
  const char *p = std::getenv("ZV_SYSLOG_CAPTURE");
  return p != nullptr ? p : "";
}

std::string unescape(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

// "name[123]: message" -> "name: message"; any other text is returned unchanged.
std::string drop_line_number(const std::string &text) {
  const size_t open = text.find('[');
  if (open == std::string::npos) return text;
  size_t i = open + 1;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') i++;
  if (i == open + 1 || text.compare(i, 3, "]: ") != 0) return text;
  return text.substr(0, open) + ": " + text.substr(i + 3);
}

} // namespace

void PrintTo(const LogLine &line, std::ostream *os) {
  *os << "{" << line.priority << ", \"" << line.text << "\"}";
}

void syslog_capture_start() {
  if (capture_path().empty()) {
    std::string path = "/tmp/zv-syslog." + std::to_string(getpid());
    setenv("ZV_SYSLOG_CAPTURE", path.c_str(), 1);
  }
  syslog_clear();
}

void syslog_clear() {
  std::string path = capture_path();
  if (!path.empty()) std::ofstream(path, std::ios::trunc);
}

std::vector<LogRecord> syslog_records() {
  std::vector<LogRecord> out;
  std::ifstream in(capture_path());
  std::string line;
  while (std::getline(in, line)) {
    LogRecord r;
    std::istringstream fields(line);
    std::string prio, fac, opt;
    std::getline(fields, r.ident, '\t');
    std::getline(fields, prio, '\t');
    std::getline(fields, fac, '\t');
    std::getline(fields, opt, '\t');
    std::string rest;
    std::getline(fields, rest);
    r.priority = std::atoi(prio.c_str());
    r.facility = std::atoi(fac.c_str());
    r.options = std::atoi(opt.c_str());
    r.text = unescape(rest);
    out.push_back(r);
  }
  return out;
}

bool syslog_contains(const std::string &part) {
  for (auto &r : syslog_records())
    if (r.text.find(part) != std::string::npos) return true;
  return false;
}

LogLine log_line(const LogRecord &record) {
  return {record.priority, drop_line_number(record.text)};
}

LogLines log_lines() {
  LogLines out;
  for (const LogRecord &r : syslog_records()) out.push_back(log_line(r));
  return out;
}

LogLines log_lines_up_to(int priority) {
  LogLines out;
  for (const LogLine &l : log_lines())
    if (l.priority <= priority) out.push_back(l);
  return out;
}

bool logged(const LogLine &line) { return find_record(line).priority != -1; }

size_t count_logged(int priority, const std::string &prefix) {
  size_t n = 0;
  for (const LogLine &l : log_lines()) n += l.priority == priority && l.text.rfind(prefix, 0) == 0;
  return n;
}

LogRecord find_record(const LogLine &line) {
  for (const LogRecord &r : syslog_records())
    if (log_line(r) == line) return r;
  return LogRecord{};
}

} // namespace zvtest
