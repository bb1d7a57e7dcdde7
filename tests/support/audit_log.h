// The audit records that pam_sm_authenticate writes, one per call, read from the captured log
// and cut into their key=value fields.
#pragma once

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "syslog_reader.h"

namespace zvtest {

struct AuditRecord {
  int priority = -1;
  std::string ident;
  std::vector<std::string> keys;             // in the order written
  std::map<std::string, std::string> fields; // user, service, rhost, road, result, server, ms
  std::string operator[](const std::string &key) const {
    const auto it = fields.find(key);
    return it != fields.end() ? it->second : "(absent)";
  }
};

// Every audit record captured since the last clear, in order.
inline std::vector<AuditRecord> audit_records() {
  static const std::string kPrefix = "pam_sm_authenticate[";
  std::vector<AuditRecord> out;
  for (const LogRecord &r : syslog_records()) {
    const size_t colon = r.text.find("]: user=");
    if (r.text.compare(0, kPrefix.size(), kPrefix) != 0 || colon == std::string::npos) continue;
    AuditRecord a;
    a.priority = r.priority;
    a.ident = r.ident;
    std::istringstream in(r.text.substr(colon + 3));
    for (std::string field; in >> field;) {
      const size_t eq = field.find('=');
      a.keys.push_back(field.substr(0, eq));
      a.fields[field.substr(0, eq)] = eq == std::string::npos ? "" : field.substr(eq + 1);
    }
    out.push_back(a);
  }
  return out;
}

} // namespace zvtest
