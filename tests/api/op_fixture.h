// Fixture for the server operations: a loopback fake server, a real libpam handle whose
// conversation records what the module tells the user, and the captured system log.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <security/pam_appl.h>
#include <string>
#include <syslog.h>
#include <utility>
#include <vector>

#include "api/api.h"
#include "fake_server.h"
#include "syslog_reader.h"

namespace zvtest {

struct Said {
  int style;
  std::string text;
  bool operator==(const Said &o) const { return style == o.style && text == o.text; }
};

inline void PrintTo(const Said &s, std::ostream *os) {
  *os << "{" << s.style << ", \"" << s.text << "\"}";
}

inline int record_conversation(int n, const pam_message **msg, pam_response **resp, void *data) {
  auto *said = static_cast<std::vector<Said> *>(data);
  for (int i = 0; i < n; i++) said->push_back({msg[i]->msg_style, msg[i]->msg});
  *resp = static_cast<pam_response *>(calloc(static_cast<size_t>(n), sizeof(pam_response)));
  return *resp != nullptr ? PAM_SUCCESS : PAM_BUF_ERR;
}

class OperationTest : public ::testing::Test {
protected:
  void SetUp() override {
    syslog_capture_start();
    std::ofstream("/etc/pam.d/zv-api", std::ios::trunc) << "auth required pam_permit.so\n";
    conv_ = pam_conv{record_conversation, &said};
    ASSERT_EQ(pam_start("zv-api", "alice", &conv_, &pamh), PAM_SUCCESS);
    configure({});
  }
  void TearDown() override {
    if (pamh != nullptr) pam_end(pamh, PAM_SUCCESS);
  }

  // Fresh settings for direct calls: the fake server's connection plus `extra` options.
  void configure(const std::vector<std::string> &extra) {
    free_params(params.get());
    params.params = module_params{};
    ASSERT_EQ(fake.fill_params(params.get(), pamh, extra), 0);
  }

  // Records of LOG_ERR and above, as "function: message" (source lines dropped).
  static std::vector<std::string> error_lines() {
    std::vector<std::string> out;
    const std::vector<LogRecord> records = syslog_records();
    const std::vector<std::string> lines = syslog_lines();
    for (size_t i = 0; i < records.size() && i < lines.size(); i++)
      if (records[i].priority <= LOG_ERR) out.push_back(lines[i]);
    return out;
  }

  static Said error(const std::string &text) { return {PAM_ERROR_MSG, text}; }
  static Said info(const std::string &text) { return {PAM_TEXT_INFO, text}; }

  FakeZelvane fake;
  ScopedParams params;
  std::vector<Said> said;
  pam_conv conv_{};
  pam_handle_t *pamh = nullptr;
};

inline const char *const kServerError = "Server error. Please contact support.";
inline const char *const kInvalidResponse = "Invalid server response. Please contact support.";
inline const char *const kConfigurationError = "Configuration error. Please contact support.";

} // namespace zvtest
