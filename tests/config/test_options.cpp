// The option language: key matching, text/integer/character values, flags, the parse loop's
// logging, and the small string helpers.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
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

class OptionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    zvtest::syslog_capture_start();
    ASSERT_EQ(set_params_defaults(params.get()), 0);
  }
  // parse_args over literal entries.
  void parse(std::vector<const char *> entries) {
    EXPECT_EQ(parse_args(static_cast<int>(entries.size()), entries.data(), params.get()), 0);
  }
  zv::ParamsScope params;
};

std::string text_value(const char *arg, const char *key, int *matched) {
  char *field = nullptr;
  *matched = get_string_value(arg, key, &field);
  std::string out = field != nullptr ? field : "<null>";
  std::free(field);
  return out;
}

TEST(StringValue, KeyMatchingAndUnquotedValues) {
  struct Case {
    const char *arg;
    const char *key;
    int matched;
    const char *value;
  } cases[] = {
      {"host=mfa1", "host", 1, "mfa1"},
      {"host = mfa1", "host", 1, "mfa1"},
      {" \thost\t=\t mfa1", "host", 1, "mfa1"},
      {"host=a b", "host", 1, "a"},
      {"host=mfa1\r", "host", 1, "mfa1"},
      {"host=mfa1 # primary", "host", 1, "mfa1"},
      {"host=", "host", 1, ""},
      {"host =  ", "host", 1, ""},
      {"host=a=b", "host", 1, "a=b"},
      {"hostname=x", "host", 0, "<null>"},
      {"host", "host", 0, "<null>"},
      {"host x", "host", 0, "<null>"},
      {"Host=x", "host", 0, "<null>"},
      {"application_key_id=x", "application_key", 0, "<null>"},
      {"x host=y", "host", 0, "<null>"},
  };
  for (const Case &c : cases) {
    int matched = -1;
    EXPECT_EQ(text_value(c.arg, c.key, &matched), c.value) << c.arg;
    EXPECT_EQ(matched, c.matched) << c.arg;
  }
}

TEST(StringValue, QuotedValues) {
  struct Case {
    const char *arg;
    const char *value;
  } cases[] = {
      {"prompt_otp='Code: '", "Code: "},
      {"prompt_otp=\"Code: \"", "Code: "},
      {"prompt_otp=\"abc", "abc"},
      {"prompt_otp=''", ""},
      {"prompt_otp=\"\"", ""},
      {"prompt_otp=\"it's\"", "it's"},
      {"prompt_otp='say \"hi\"'", "say \"hi\""},
      {"prompt_otp='x' and the rest", "x"},
      {"prompt_otp = '  padded\t'", "  padded\t"},
  };
  for (const Case &c : cases) {
    int matched = -1;
    EXPECT_EQ(text_value(c.arg, "prompt_otp", &matched), c.value) << c.arg;
    EXPECT_EQ(matched, 1) << c.arg;
  }
}

TEST(StringValue, NullInputsLeaveFieldAlone) {
  char *field = strdup("keep");
  EXPECT_EQ(get_string_value(nullptr, "host", &field), 0);
  EXPECT_EQ(get_string_value("host=x", nullptr, &field), 0);
  EXPECT_EQ(get_string_value("port=x", "host", &field), 0);
  EXPECT_STREQ(field, "keep");
  EXPECT_EQ(get_string_value("host=x", "host", nullptr), 0);
  // A match replaces the earlier copy.
  EXPECT_EQ(get_string_value("host=new", "host", &field), 1);
  EXPECT_STREQ(field, "new");
  std::free(field);
}

TEST(IntValue, ConversionFallbacksAndRefusals) {
  struct Case {
    const char *arg;
    int matched;
    int value; // field after the call; starts at 42
  } cases[] = {
      {"max_push_wait_secs=60", 1, 60},
      {"max_push_wait_secs=+60", 1, 60},
      {"max_push_wait_secs = 60 secs", 1, 60},
      {"max_push_wait_secs=007", 1, 7},
      {"max_push_wait_secs=0", 1, 0},
      {"max_push_wait_secs=-0", 1, 0},
      {"max_push_wait_secs=2147483647", 1, INT_MAX},
      {"max_push_wait_secs=-1", 1, 300},
      {"max_push_wait_secs=-2147483648", 1, 300},
      {"max_push_wait_secs=60s", 0, 42},
      {"max_push_wait_secs=0x10", 0, 42},
      {"max_push_wait_secs=2147483648", 0, 42},
      {"max_push_wait_secs=-2147483649", 0, 42},
      {"max_push_wait_secs=99999999999999999999", 0, 42},
      {"max_push_wait_secs=", 0, 42},
      {"max_push_wait_secs=-", 0, 42},
      {"max_push_wait_secs=+", 0, 42},
      {"max_push_wait_secs='60'", 0, 42},
      {"max_push_wait_secs", 0, 42},
      {"max_push_wait_secs_x=1", 0, 42},
  };
  for (const Case &c : cases) {
    int field = 42;
    EXPECT_EQ(get_int_value(c.arg, "max_push_wait_secs", 300, &field), c.matched) << c.arg;
    EXPECT_EQ(field, c.value) << c.arg;
  }
}

TEST(IntValue, TokenLengthLimit) {
  // 63 characters are converted, 64 are refused even though the number is small.
  const std::string ok = "offline_codes_reserve=" + std::string(61, '0') + "12";
  const std::string too_long = "offline_codes_reserve=" + std::string(62, '0') + "12";
  int field = 42;
  EXPECT_EQ(get_int_value(ok.c_str(), "offline_codes_reserve", 5, &field), 1);
  EXPECT_EQ(field, 12);
  field = 42;
  EXPECT_EQ(get_int_value(too_long.c_str(), "offline_codes_reserve", 5, &field), 0);
  EXPECT_EQ(field, 42);
  EXPECT_EQ(get_int_value("offline_codes_reserve=1", "offline_codes_reserve", 5, nullptr), 0);
}

TEST(CharValue, OneCharacterOnly) {
  struct Case {
    const char *arg;
    int matched;
    char value; // starts as '#'
  } cases[] = {
      {"password_otp_delimiter_char=;", 1, ';'},
      {"password_otp_delimiter_char = ; trailing", 1, ';'},
      {"password_otp_delimiter_char==", 1, '='},
      {"password_otp_delimiter_char=:\r", 1, ':'},
      {"password_otp_delimiter_char=::", 0, '#'},
      {"password_otp_delimiter_char=';'", 0, '#'},
      {"password_otp_delimiter_char=", 0, '#'},
      {"password_otp_delimiter_char=  ", 0, '#'},
      {"password_otp_delimiter_char", 0, '#'},
  };
  for (const Case &c : cases) {
    char field = '#';
    EXPECT_EQ(get_char_value(c.arg, "password_otp_delimiter_char", &field), c.matched) << c.arg;
    EXPECT_EQ(field, c.value) << c.arg;
  }
}

TEST_F(OptionsTest, EveryFlagHasItsEffect) {
  // Each flag in turn, and the setting it leaves.
  const std::pair<const char *, const char *> cases[] = {
      {"auth_mode_1fa", "auth_mode=0"},
      {"auth_mode_2fa", "auth_mode=1"},
      {"auth_mode_1fa_2fa", "auth_mode=2"},
      {"try_first_pass", "first_pass_mode=1"},
      {"use_first_pass", "first_pass_mode=2"},
      {"prompt_pass", "first_pass_mode=0"},
      {"allow_bypass_mfa_server", "allow_bypass_mfa_server=1"},
      {"allow_push_authentication", "allow_push_authentication=1"},
      {"echo_verification_code", "echo_verification_code=2"},
      {"offline_codes", "offline_codes=1"},
      {"offline_codes_show_remaining", "offline_codes_show_remaining=1"},
      {"debug", "debug=1"},
  };
  for (const auto &[flag, setting] : cases) {
    parse({flag});
    EXPECT_NE(("\n" + cfgtest::describe(params.params)).find("\n" + std::string(setting) + "\n"),
              std::string::npos)
        << flag;
  }
  zv::ParamsScope other;
  ASSERT_EQ(set_params_defaults(other.get()), 0);
  parse_args(1, std::vector<const char *>{"allow_single_factor"}.data(), other.get());
  EXPECT_EQ(other->allow_bypass_mfa_server, 1);
  // Every flag was recognised, and debug came after the last START line.
  EXPECT_EQ(log_lines(), LogLines{});
}

TEST_F(OptionsTest, ModesKeepTheLastOneSeen) {
  parse({"auth_mode_2fa", "auth_mode_1fa"});
  EXPECT_EQ(params->auth_mode, auth_mode_1fa);
  parse({"use_first_pass", "try_first_pass"});
  EXPECT_EQ(params->first_pass_mode, try_first_pass);
}

TEST_F(OptionsTest, EveryValuedKeySetsItsField) {
  // The two account aliases set the first names.
  parse({"zv_account=alias-id", "zv_account_key=alias-key"});
  EXPECT_STREQ(params->application_key_id, "alias-id");
  EXPECT_STREQ(params->application_key, "alias-key");
  parse({"connection_timeout_secs=7", "max_push_wait_secs=8", "offline_codes_reserve=9",
         "password_otp_delimiter_char=|"});
  EXPECT_EQ(params->connection_timeout_secs, 7);
  EXPECT_EQ(params->max_push_wait_secs, 8);
  EXPECT_EQ(params->offline_codes_reserve, 9);
  EXPECT_EQ(params->password_otp_delimiter_char, '|');
  EXPECT_EQ(log_lines(), LogLines{});
}

// Every row of the option table, as pam-u2f tests its configuration: one option line that sets a
// value other than the field holds changes that field and nothing else, without a log record,
// and free_params releases what it set.
TEST(OptionTable, EveryRowSetsItsOwnFieldOnly) {
  zvtest::syslog_capture_start();
  for (const zv::Option &o : zv::options()) {
    zv::ParamsScope before, after;
    ASSERT_EQ(set_params_defaults(before.get()), 0);
    ASSERT_EQ(set_params_defaults(after.get()), 0);
    std::string line = o.key, value;
    switch (o.kind) {
    case zv::OptionKind::flag:
      // A flag that sets the default is seen acting on a field that holds something else.
      if (before.params.*o.number == o.set) before.params.*o.number = o.set + 100;
      after.params.*o.number = before.params.*o.number;
      value = std::to_string(o.set);
      break;
    case zv::OptionKind::text:
      line += std::string("=v-") + o.key;
      value = std::string("'v-") + o.key + "'";
      break;
    case zv::OptionKind::integer:
      line += "=" + std::to_string(o.initial + 7);
      value = std::to_string(o.initial + 7);
      break;
    case zv::OptionKind::character:
      line += o.initial == '|' ? "=#" : "=|";
      value = std::to_string(o.initial == '|' ? '#' : '|');
      break;
    }
    const char *arg = line.c_str();
    EXPECT_EQ(parse_args(1, &arg, after.get()), 0);
    std::string want;
    for (const zv::Option &row : zv::options()) {
      if ((row.traits & zv::kAlias) != 0) continue;
      want += std::strcmp(row.field, o.field) == 0 ? std::string(row.field) + "=" + value
                                                   : cfgtest::describe(before.params, row);
      want += "\n";
    }
    EXPECT_EQ(cfgtest::describe(after.params), want) << line;
    free_params(after.get());
    if (o.kind == zv::OptionKind::text) {
      EXPECT_EQ(zv::text_of(after.get(), o), nullptr) << line;
    }
  }
  EXPECT_EQ(log_lines(), LogLines{});
}

TEST_F(OptionsTest, NegativeIntegersTakeTheirFallbacks) {
  parse({"max_push_wait_secs=10", "connection_timeout_secs=10", "offline_codes_reserve=10"});
  parse({"max_push_wait_secs=-1", "connection_timeout_secs=-5", "offline_codes_reserve=-2"});
  EXPECT_EQ(params->max_push_wait_secs, 300);
  EXPECT_EQ(params->connection_timeout_secs, 0);
  EXPECT_EQ(params->offline_codes_reserve, 5);
  // No time limit, no guess limit and no lockout are not on offer: 0 gives the default as well.
  const struct {
    const char *key;
    int fallback;
    int module_params::*field;
  } zero_is_default[] = {
      {"request_timeout_secs", 15, &module_params::request_timeout_secs},
      {"offline_codes_max_failures", 5, &module_params::offline_codes_max_failures},
      {"offline_codes_lockout_secs", 900, &module_params::offline_codes_lockout_secs},
      {"push_limit", 5, &module_params::push_limit},
      {"push_limit_window_secs", 600, &module_params::push_limit_window_secs},
  };
  for (const auto &c : zero_is_default) {
    for (const char *value : {"0", "-1"}) {
      const std::string three = std::string(c.key) + "=3", other = std::string(c.key) + "=" + value;
      parse({three.c_str()});
      parse({other.c_str()});
      EXPECT_EQ(params.get()->*c.field, c.fallback) << c.key << "=" << value;
    }
  }
}

TEST_F(OptionsTest, LastOccurrenceWins) {
  parse({"host=first", "host = second", "max_push_wait_secs=1", "max_push_wait_secs=2",
         "password_otp_delimiter_char=;", "password_otp_delimiter_char=:"});
  EXPECT_STREQ(params->host, "second");
  EXPECT_EQ(params->max_push_wait_secs, 2);
  EXPECT_EQ(params->password_otp_delimiter_char, ':');
}

TEST_F(OptionsTest, NearMissesAreLoggedAndSkipped) {
  parse({"Debug", "debug ", " debug", "debug=1", "offline_codes=1", "max_push_wait_secs=60s",
         "password_otp_delimiter_char=::", "hostname=x", "", "host"});
  EXPECT_EQ(params->debug, 0);
  EXPECT_EQ(params->offline_codes, 0);
  EXPECT_EQ(params->max_push_wait_secs, 300);
  EXPECT_EQ(params->password_otp_delimiter_char, ',');
  EXPECT_EQ(params->host, nullptr);
  const auto records = zvtest::syslog_records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].ident, "pam_zelvane(unknown)");
  EXPECT_EQ(records[0].facility, LOG_AUTH >> 3);
  // Only the key part of an entry is logged: never what follows "=", ":" or a blank.
  EXPECT_EQ(
      log_lines(),
      (LogLines{
          {LOG_WARNING, "parse_args: Unrecognized option ignored: Debug"},
          {LOG_WARNING, "parse_args: Unrecognized option ignored: debug"},
          {LOG_WARNING, "parse_args: Unrecognized option ignored:  debug"},
          {LOG_WARNING, "parse_args: Unrecognized option ignored: debug"},
          {LOG_WARNING, "parse_args: Unrecognized option ignored: offline_codes"},
          {LOG_WARNING, "parse_args: Unrecognized option ignored: max_push_wait_secs"},
          {LOG_WARNING, "parse_args: Unrecognized option ignored: password_otp_delimiter_char"},
          {LOG_WARNING, "parse_args: Unrecognized option ignored: hostname"},
          {LOG_WARNING, "parse_args: Unrecognized option ignored: "},
          {LOG_WARNING, "parse_args: Unrecognized option ignored: host"},
      }));
}

// Lines that look like a credential but are not one: commented out, misspelt, miscased, cut
// short, with another separator, or with the value glued on; a value that libpam split from its
// key at the blanks, and words alone that may be a pasted key. No value reaches the log.
TEST_F(OptionsTest, CredentialLookalikesAreLoggedByTheirKeyOnly) {
  parse({"proxy_password: hunter2",
         "application_key hunter3",
         " zv_account_key:hunter4",
         "proxy_username hunter5",
         "  # application_key=hunter6",
         "application-key=hunter7",
         "Application_key=hunter8",
         "proxy_pass=hunter9",
         "application_keyhunter10",
         "\tpush_reason\x1b=hunter11",
         "application_key",
         "=",
         "hunterone",
         "application_key=",
         "huntertwo",
         "proxy_password",
         "hunterthree",
         "debgu",
         "auth_mod_1fa",
         "s3cr3t",
         "QUJDREVGR0g="});
  for (const char *secret : {"hunter", "s3cr3t", "QUJD"})
    EXPECT_TRUE(cfgtest::log_free_of(secret)) << secret;
  const std::string ignored = "parse_args: Unrecognized option ignored: ";
  EXPECT_EQ(log_lines(), (LogLines{
                             {LOG_WARNING, ignored + "proxy_password"},
                             {LOG_WARNING, ignored + "application_key"},
                             {LOG_WARNING, ignored + " zv_account_key"},
                             {LOG_WARNING, ignored + "proxy_username"},
                             {LOG_WARNING, ignored + "  #"},
                             {LOG_WARNING, ignored + "application-key"},
                             {LOG_WARNING, ignored + "Application_key"},
                             {LOG_WARNING, ignored + "proxy_pass"},
                             {LOG_WARNING, ignored + "application_key (value hidden)"},
                             {LOG_WARNING, ignored + "\\x09push_reason\\x1b"},
                             {LOG_WARNING, ignored + "application_key"},
                             {LOG_WARNING, ignored + "(1 bytes, not shown)"},
                             {LOG_WARNING, ignored + "(9 bytes, not shown)"},
                             {LOG_WARNING, ignored + "(9 bytes, not shown)"},
                             {LOG_WARNING, ignored + "proxy_password"},
                             {LOG_WARNING, ignored + "(11 bytes, not shown)"},
                             {LOG_WARNING, ignored + "debgu"},
                             {LOG_WARNING, ignored + "auth_mod_1fa"},
                             {LOG_WARNING, ignored + "(6 bytes, not shown)"},
                             {LOG_WARNING, ignored + "(12 bytes, not shown)"},
                         }));
}

TEST_F(OptionsTest, BadCountsAndNullEntries) {
  params->host = strdup("kept");
  const char *argv[] = {"host=changed"};
  EXPECT_EQ(parse_args(-1, argv, params.get()), 0);
  EXPECT_EQ(parse_args(2, nullptr, params.get()), 0);
  const char *with_null[] = {"host=a", nullptr, "port=9"};
  EXPECT_EQ(parse_args(3, with_null, params.get()), 0);
  EXPECT_STREQ(params->host, "a");
  EXPECT_STREQ(params->port, "9");
  EXPECT_EQ(parse_args(0, nullptr, params.get()), 0);
  // A null entry ends what the entry before it left to come.
  const char *after_null[] = {"application_key", nullptr, "debgu"};
  EXPECT_EQ(parse_args(3, after_null, params.get()), 0);
  const std::string ignored = "parse_args: Unrecognized option ignored: ";
  EXPECT_EQ(log_lines(), (LogLines{
                             {LOG_ERR, "parse_args: Invalid argc: -1"},
                             {LOG_ERR, "parse_args: NULL argv at index 0"},
                             {LOG_ERR, "parse_args: NULL argv at index 1"},
                             {LOG_ERR, "parse_args: NULL argv at index 1"},
                             {LOG_WARNING, ignored + "application_key"},
                             {LOG_ERR, "parse_args: NULL argv at index 1"},
                             {LOG_WARNING, ignored + "debgu"},
                         }));
}

TEST_F(OptionsTest, DebugTakesEffectOnceRead) {
  parse({"debug", "bogus"});
  EXPECT_EQ(log_lines(),
            (LogLines{{LOG_WARNING, "parse_args: Unrecognized option ignored: bogus"}}));
  zvtest::syslog_clear();
  parse({});
  EXPECT_EQ(log_lines(), (LogLines{{LOG_DEBUG, "parse_args: START"}}));
}

TEST(TrimWhitespace, BlanksAndTabsOnly) {
  char mixed[] = " \tab c\t ";
  char *r = trim_whitespace(mixed);
  EXPECT_STREQ(r, "ab c");
  EXPECT_EQ(r, mixed + 2); // a position inside the caller's buffer
  char newline[] = "x\n";
  EXPECT_STREQ(trim_whitespace(newline), "x\n");
  char cr[] = "\rx\r";
  EXPECT_STREQ(trim_whitespace(cr), "\rx\r");
  char empty[] = "";
  EXPECT_STREQ(trim_whitespace(empty), "");
  char blanks[] = " \t ";
  r = trim_whitespace(blanks);
  EXPECT_STREQ(r, "");
  EXPECT_EQ(r, blanks + 3);
  char single[] = "a";
  EXPECT_STREQ(trim_whitespace(single), "a");
  EXPECT_EQ(trim_whitespace(nullptr), nullptr);
}

TEST(WhitespaceHelpers, IsWhitespaceOnlyAndSkip) {
  EXPECT_EQ(is_whitespace_only(nullptr), 1);
  EXPECT_EQ(is_whitespace_only(""), 1);
  EXPECT_EQ(is_whitespace_only(" \r\n\t"), 1);
  EXPECT_EQ(is_whitespace_only("\v"), 0);
  EXPECT_EQ(is_whitespace_only("  a "), 0);
  const char *s = " \t\n\v\f\rx ";
  EXPECT_EQ(skip_whitespace(s), s + 6);
  const char *blank = "  ";
  EXPECT_EQ(skip_whitespace(blank), blank + 2);
}

TEST(WhitespaceHelpers, StrdupTrimmed) {
  const char *source = " \t a b \t";
  char *copy = strdup_trimmed(source);
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "a b");
  EXPECT_STREQ(source, " \t a b \t");
  std::free(copy);
  copy = strdup_trimmed("   ");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "");
  std::free(copy);
  EXPECT_EQ(strdup_trimmed(nullptr), nullptr);
}

} // namespace
