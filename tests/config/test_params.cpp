// The settings record: pure defaults, the log identity, precedence of the module arguments over
// the file, when debug starts to count, release, and the debug dump.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <security/pam_appl.h>
#include <sstream>
#include <string>
#include <syslog.h>
#include <vector>

#include "config/option_table.h"
#include "config/params.h"
#include "config_test_util.h"
#include "syslog_reader.h"

using zvtest::log_lines;
using zvtest::LogLines;

namespace {

const char *const kPureDefaults = R"(debug=0
auth_mode=1
first_pass_mode=0
application_key_id=null
application_key=null
host=null
port='443'
connection_timeout_secs=0
path='/AuthServer/REST/OATH/OathServer.aspx'
ca_cert_file=null
proxy_server=null
proxy_port='8080'
proxy_username=null
proxy_password=null
allow_push_authentication=0
max_push_wait_secs=300
push_app_name='Linux'
push_reason='Login'
echo_verification_code=1
send_otp_method=null
prompt_password='Zelvane Password: '
prompt_otp='Zelvane verification code: '
prompt_method='Select an authentication method: '
prompt_otp_and_method='Enter a Zelvane verification code or select an authentication method: '
prompt_push='Enter a verification code or press return to receive a push authentication request.'
password_otp_delimiter_char=44
allow_bypass_mfa_server=0
bypass_group_name='zelvane-bypass'
offline_codes=0
offline_codes_reserve=5
offline_codes_show_remaining=0
allowed_2fa_methods=null
otp_sms_value='os'
otp_email_value='oe'
otp_voice_value='ov'
push_app_value='pa'
push_sms_value='ps'
push_voice_value='pv'
otp_sms_message='OTP via SMS'
otp_email_message='OTP via Email'
otp_voice_message='OTP via Voice Call'
push_app_message='Push Application Confirmation'
push_sms_message='Push SMS Confirmation'
push_voice_message='Push Voice Call Confirmation'
)";

// The settings of the record that kPureDefaults lists, described as it describes them: the
// options added since are checked against their documented defaults (test_docs, the sample).
std::string described_pure(const module_params &p) {
  std::istringstream in(cfgtest::describe(p));
  const std::string pure = kPureDefaults;
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (pure.find(line.substr(0, line.find('=') + 1)) != std::string::npos) out += line + "\n";
  return out;
}

// Every text field is null (the state after a release).
bool all_text_null(const module_params &p) {
  module_params zero{};
  zero.pamh = p.pamh;
  for (const zv::Option &o : zv::options()) {
    if (o.number != nullptr) zero.*o.number = p.*o.number;
    if (o.character != nullptr) zero.*o.character = p.*o.character;
  }
  return p.logname == nullptr && cfgtest::describe(p) == cfgtest::describe(zero);
}

class ParamsTest : public cfgtest::ConfigTest {
protected:
  int read(std::vector<const char *> args, pam_handle_t *pamh = nullptr) {
    return read_params(pamh, static_cast<int>(args.size()), args.data(), params.get());
  }
  zv::ParamsScope params;
};

TEST_F(ParamsTest, EmptyFileAndNoArgumentsGiveThePureDefaults) {
  cfgtest::write_config("");
  params->debug = 1; // read_params starts from debug off whatever the caller left
  ASSERT_EQ(read({}), 0);
  EXPECT_EQ(described_pure(params.params), kPureDefaults);
  EXPECT_STREQ(params->logname, "pam_zelvane(unknown)");
  EXPECT_EQ(params->pamh, nullptr);
  EXPECT_EQ(log_lines(), LogLines{});
}

TEST_F(ParamsTest, LognameNamesThePamService) {
  cfgtest::write_config("bogus\n");
  static const pam_conv conv{nullptr, nullptr};
  pam_handle_t *pamh = nullptr;
  ASSERT_EQ(pam_start("zvtest", "alice", &conv, &pamh), PAM_SUCCESS);
  ASSERT_EQ(read({}, pamh), 0);
  EXPECT_EQ(params->pamh, pamh);
  EXPECT_STREQ(params->logname, "pam_zelvane(zvtest)");
  const auto records = zvtest::syslog_records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ident, "pam_zelvane(zvtest)");
  EXPECT_EQ(records[0].facility, LOG_AUTH >> 3);
  EXPECT_EQ(records[0].priority, LOG_WARNING);
  free_params(params.get());
  pam_end(pamh, PAM_SUCCESS);
}

TEST_F(ParamsTest, MissingFileFailsBeforeTheModuleArguments) {
  ASSERT_EQ(read({"bogus", "debug"}), -1);
  EXPECT_TRUE(all_text_null(params.params));
  EXPECT_EQ(params->debug, 0);
  EXPECT_EQ(log_lines(), (LogLines{{LOG_ERR, "parse_config_file_params: Unable to open "
                                             "configuration file: /etc/zelvane.d/pam_zelvane.conf"},
                                   {LOG_ERR, "read_params: Failed to parse configuration file"}}));
  const auto records = zvtest::syslog_records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].ident, "pam_zelvane(unknown)");
}

TEST_F(ParamsTest, ModuleArgumentsWinOverTheFile) {
  cfgtest::write_config("host=filehost\nauth_mode_1fa_2fa\nmax_push_wait_secs=10\ndebug\n"
                        "prompt_otp='File: '\noffline_codes\nport=1\n");
  ASSERT_EQ(read({"host=arghost", "auth_mode_1fa", "max_push_wait_secs=-1", "port=2"}), 0);
  EXPECT_STREQ(params->host, "arghost");
  EXPECT_EQ(params->auth_mode, auth_mode_1fa);
  EXPECT_EQ(params->max_push_wait_secs, 300);
  EXPECT_STREQ(params->port, "2");
  // What the arguments do not touch stays as the file set it; no flag is switched back off.
  EXPECT_STREQ(params->prompt_otp, "File: ");
  EXPECT_EQ(params->debug, 1);
  EXPECT_EQ(params->offline_codes, 1);
}

TEST_F(ParamsTest, DebugInTheFileTracesTheModuleArguments) {
  cfgtest::write_config("debug\n");
  ASSERT_EQ(read({"host=x"}), 0);
  EXPECT_EQ(log_lines(), (LogLines{{LOG_DEBUG, "parse_args: START"}}));
}

TEST_F(ParamsTest, DebugOnlyAmongTheArgumentsTracesNothingBeforeIt) {
  cfgtest::write_config("host=x\n");
  ASSERT_EQ(read({"debug"}), 0);
  EXPECT_EQ(params->debug, 1);
  EXPECT_EQ(log_lines(), LogLines{});
}

TEST_F(ParamsTest, EmptyHostIsAnEmptyText) {
  cfgtest::write_config("host=\n");
  ASSERT_EQ(read({}), 0);
  ASSERT_NE(params->host, nullptr);
  EXPECT_STREQ(params->host, "");
}

TEST_F(ParamsTest, FreeParamsIsIdempotent) {
  cfgtest::write_config("host=h\napplication_key=k\nproxy_password=p\n");
  ASSERT_EQ(read({}), 0);
  free_params(params.get());
  EXPECT_TRUE(all_text_null(params.params));
  free_params(params.get());
  EXPECT_TRUE(all_text_null(params.params));

  module_params zeroed{};
  free_params(&zeroed);
  EXPECT_TRUE(all_text_null(zeroed));
  free_params(nullptr);
}

TEST_F(ParamsTest, DefaultsReplaceEarlierValues) {
  params->host = strdup("old");
  params->port = strdup("1");
  params->auth_mode = auth_mode_1fa;
  ASSERT_EQ(set_params_defaults(params.get()), 0);
  EXPECT_EQ(described_pure(params.params), kPureDefaults);
}

TEST_F(ParamsTest, DumpShowsConnectionAndMethodSettingsOnly) {
  cfgtest::write_config("debug\nhost=mfa1\nconnection_timeout_secs=3\n"
                        "allowed_2fa_methods=otp_sms,push_app\n"
                        "application_key_id=ID-SENTINEL\napplication_key=KEY-SENTINEL\n"
                        "proxy_server=PROXY-SENTINEL\nproxy_username=USER-SENTINEL\n"
                        "proxy_password=PASS-SENTINEL\nprompt_otp=PROMPT-SENTINEL\n");
  ASSERT_EQ(read({}), 0);
  zvtest::syslog_clear();
  dump_params(params.get());
  LogLines want;
  for (const char *line :
       {"START", "host: mfa1", "port: 443", "connection_timeout_secs: 3",
        "path: /AuthServer/REST/OATH/OathServer.aspx", "ca_cert_file: (unset)",
        "allowed_2fa_methods: otp_sms,push_app", "otp_sms_value: os", "otp_email_value: oe",
        "otp_voice_value: ov", "push_app_value: pa", "push_sms_value: ps", "push_voice_value: pv",
        "otp_sms_message: OTP via SMS", "otp_email_message: OTP via Email",
        "otp_voice_message: OTP via Voice Call", "push_app_message: Push Application Confirmation",
        "push_sms_message: Push SMS Confirmation",
        "push_voice_message: Push Voice Call Confirmation"})
    want.push_back({LOG_DEBUG, std::string("dump_params: ") + line});
  EXPECT_EQ(log_lines(), want);
  EXPECT_TRUE(cfgtest::log_free_of("SENTINEL"));

  zvtest::syslog_clear();
  params->debug = 0;
  dump_params(params.get());
  dump_params(nullptr);
  EXPECT_EQ(log_lines(), LogLines{});
}

} // namespace
