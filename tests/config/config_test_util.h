// Helpers shared by the configuration tests: writing the fixed configuration file and reading
// the captured log as (priority, "function: message") pairs independent of source lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "config/params.h"
#include "syslog_reader.h"

namespace cfgtest {

inline const std::string kConfigFile = ZV_CONFIG_FILE;

struct Logged {
  int priority;
  std::string text;
  bool operator==(const Logged &o) const { return priority == o.priority && text == o.text; }
};
inline void PrintTo(const Logged &l, std::ostream *os) {
  *os << "{" << l.priority << ", \"" << l.text << "\"}";
}

// The text fields after logname, in declaration order (each also the key that sets it).
inline std::vector<std::string> text_fields() {
  std::istringstream in(
      "application_key_id application_key host port path ca_cert_file proxy_server proxy_port "
      "proxy_username proxy_password push_app_name push_reason send_otp_method prompt_password "
      "prompt_otp prompt_method prompt_otp_and_method prompt_push bypass_group_name "
      "allowed_2fa_methods otp_sms_value otp_email_value otp_voice_value push_app_value "
      "push_sms_value push_voice_value otp_sms_message otp_email_message otp_voice_message "
      "push_app_message push_sms_message push_voice_message mfa_groups");
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

// Every captured record as (priority, "function: message"), the source line dropped.
inline std::vector<Logged> logged() {
  const auto records = zvtest::syslog_records();
  const auto lines = zvtest::syslog_lines();
  std::vector<Logged> out;
  for (size_t i = 0; i < records.size() && i < lines.size(); i++)
    out.push_back({records[i].priority, lines[i]});
  return out;
}

// True when no captured record contains `needle` anywhere (text or identity).
inline bool log_free_of(const std::string &needle) {
  for (const auto &r : zvtest::syslog_records())
    if (r.text.find(needle) != std::string::npos || r.ident.find(needle) != std::string::npos)
      return false;
  return true;
}

inline void write_config(const std::string &content) {
  std::ofstream out(kConfigFile, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good());
}

inline void remove_config() {
  ::unlink(kConfigFile.c_str());
  ::rmdir(kConfigFile.c_str());
}

// Every setting of the record (all but pamh and logname) as "name=value" lines, so that two
// records can be compared whole and a difference reads plainly.
inline std::string describe(const module_params &p) {
  std::string out;
  auto text = [&out](const char *name, const char *v) {
    out += std::string(name) + "=" + (v != nullptr ? "'" + std::string(v) + "'" : "null") + "\n";
  };
  auto number = [&out](const char *name, long v) {
    out += std::string(name) + "=" + std::to_string(v) + "\n";
  };
  // clang-format off
#define ZV_T(f) text(#f, p.f)
#define ZV_N(f) number(#f, p.f)
  ZV_N(debug); ZV_N(auth_mode); ZV_N(first_pass_mode);
  ZV_T(application_key_id); ZV_T(application_key); ZV_T(host); ZV_T(port);
  ZV_N(connection_timeout_secs); ZV_T(path); ZV_T(ca_cert_file); ZV_T(proxy_server);
  ZV_T(proxy_port); ZV_T(proxy_username); ZV_T(proxy_password);
  ZV_N(allow_push_authentication); ZV_N(max_push_wait_secs); ZV_T(push_app_name);
  ZV_T(push_reason); ZV_N(echo_verification_code); ZV_T(send_otp_method);
  ZV_T(prompt_password); ZV_T(prompt_otp); ZV_T(prompt_method); ZV_T(prompt_otp_and_method);
  ZV_T(prompt_push); ZV_N(password_otp_delimiter_char); ZV_N(allow_bypass_mfa_server);
  ZV_T(bypass_group_name); ZV_N(offline_codes); ZV_N(offline_codes_reserve);
  ZV_N(offline_codes_show_remaining); ZV_T(allowed_2fa_methods);
  ZV_T(otp_sms_value); ZV_T(otp_email_value); ZV_T(otp_voice_value);
  ZV_T(push_app_value); ZV_T(push_sms_value); ZV_T(push_voice_value);
  ZV_T(otp_sms_message); ZV_T(otp_email_message); ZV_T(otp_voice_message);
  ZV_T(push_app_message); ZV_T(push_sms_message); ZV_T(push_voice_message);
  ZV_N(offline_codes_max_failures); ZV_N(offline_codes_lockout_secs); ZV_T(mfa_groups);
  ZV_N(no_username_commands);
  // clang-format on
#undef ZV_T
#undef ZV_N
  return out;
}

// A record released at the end of the scope.
struct Params {
  module_params p{};
  ~Params() { free_params(&p); }
  module_params *operator->() { return &p; }
  module_params *get() { return &p; }
};

// Resets the configuration directory and the log for one test.
class ConfigTest : public ::testing::Test {
protected:
  void SetUp() override {
    zvtest::syslog_capture_start();
    ::chmod(ZV_CONFIG_DIR, 0700);
    remove_config();
  }
  void TearDown() override {
    ::chmod(ZV_CONFIG_DIR, 0700);
    remove_config();
  }
};

} // namespace cfgtest
