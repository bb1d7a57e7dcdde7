#include "syslog_reader.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace zvtest {

static std::string capture_path() {
  const char *p = std::getenv("ZV_SYSLOG_CAPTURE");
  return p != nullptr ? p : "";
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

static std::string unescape(const std::string &s) {
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

std::vector<std::string> syslog_texts() {
  std::vector<std::string> out;
  for (auto &r : syslog_records()) out.push_back(r.text);
  return out;
}

bool syslog_has(const std::string &text) {
  for (auto &r : syslog_records())
    if (r.text == text) return true;
  return false;
}

bool syslog_contains(const std::string &part) {
  for (auto &r : syslog_records())
    if (r.text.find(part) != std::string::npos) return true;
  return false;
}

static std::string drop_line_number(const std::string &text) {
  const size_t open = text.find('[');
  if (open == std::string::npos) return text;
  size_t i = open + 1;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') i++;
  if (i == open + 1 || text.compare(i, 3, "]: ") != 0) return text;
  return text.substr(0, open) + ": " + text.substr(i + 3);
}

std::vector<std::string> syslog_lines() {
  std::vector<std::string> out;
  for (auto &r : syslog_records()) out.push_back(drop_line_number(r.text));
  return out;
}

LogRecord syslog_find_line(const std::string &function, const std::string &message) {
  const std::string want = function + ": " + message;
  for (auto &r : syslog_records())
    if (drop_line_number(r.text) == want && r.text.rfind(function + "[", 0) == 0) return r;
  return LogRecord{};
}

bool syslog_has_line(const std::string &function, const std::string &message) {
  return syslog_find_line(function, message).priority != -1;
}

} // namespace zvtest
