// The configuration file: line rules, size limit, what may stand in the file's place, the
// directory-permission warning, and the shipped sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "config/config_lines_int.h"
#include "config/option_table.h"
#include "config/params.h"
#include "config_test_util.h"
#include "syslog_reader.h"
#include "test_files.h"

using zvtest::log_lines;
using zvtest::LogLines;

namespace {

const std::string kUnableToOpen =
    "parse_config_file_params: Unable to open configuration file: /etc/zelvane.d/pam_zelvane.conf";

class ConfigFileTest : public cfgtest::ConfigTest {
protected:
  void SetUp() override {
    ConfigTest::SetUp();
    ASSERT_EQ(set_params_defaults(params.get()), 0);
  }
  int parse() { return parse_config_file_params(nullptr, params.get()); }
  LogLines unrecognized(std::vector<std::string> entries) {
    LogLines out;
    for (const auto &e : entries)
      out.push_back({LOG_WARNING, "parse_args: Unrecognized option ignored: " + e});
    return out;
  }
  zv::ParamsScope params;
};

TEST_F(ConfigFileTest, CommentsBlankLinesAndHashesElsewhere) {
  cfgtest::write_config("#debug\n\ndebug\n #x\nhost=mfa1 # primary\ndebug # trace\n   \n"
                        "path=/a#b\n");
  EXPECT_EQ(parse(), 0);
  EXPECT_EQ(params->debug, 1);
  EXPECT_STREQ(params->host, "mfa1");
  EXPECT_STREQ(params->path, "/a#b");
  // " #x" is no key: it could be a pasted key or password.
  EXPECT_EQ(log_lines(), unrecognized({"(3 bytes, not shown)", "debug", "   "}));
}

TEST_F(ConfigFileTest, LastLineWithoutNewlineAndFileOrder) {
  cfgtest::write_config("port=1\nhost=a\nport=2");
  EXPECT_EQ(parse(), 0);
  EXPECT_STREQ(params->host, "a");
  EXPECT_STREQ(params->port, "2");
  EXPECT_EQ(log_lines(), LogLines{});
}

TEST_F(ConfigFileTest, NulByteEndsTheLinesOptionText) {
  static const char content[] = "debug\0host=evil\nport=99\n\0tail\n";
  cfgtest::write_config(std::string(content, sizeof content - 1));
  EXPECT_EQ(parse(), 0);
  EXPECT_EQ(params->debug, 1);
  EXPECT_EQ(params->host, nullptr);
  EXPECT_STREQ(params->port, "99");
  // A line that starts with NUL is an (empty) option text, not a blank line.
  EXPECT_EQ(log_lines(), unrecognized({""}));
}

TEST_F(ConfigFileTest, CarriageReturnLineEnds) {
  cfgtest::write_config("host=mfa1\r\ndebug\r\n\r\nport='8443'\r\n");
  EXPECT_EQ(parse(), 0);
  EXPECT_STREQ(params->host, "mfa1");
  EXPECT_STREQ(params->port, "8443");
  EXPECT_EQ(params->debug, 0);
  EXPECT_EQ(log_lines(), unrecognized({"debug", "\\x0d"}));
}

TEST_F(ConfigFileTest, EmptyFileChangesNothing) {
  cfgtest::write_config("");
  params->debug = 1;
  EXPECT_EQ(parse(), 0);
  EXPECT_STREQ(params->port, "443");
  EXPECT_EQ(params->host, nullptr);
  // The option parser still runs, over no entries.
  EXPECT_EQ(log_lines(), (LogLines{{LOG_DEBUG, "parse_config_file_params: START"},
                                   {LOG_DEBUG, "parse_args: START"}}));
}

TEST_F(ConfigFileTest, SizeLimit) {
  // Exactly 51200 bytes, with the option on the very last bytes, is accepted.
  const std::string tail = "port=4242";
  const std::string content =
      "#" + std::string(ZV_CONFIG_MAX_SIZE - tail.size() - 2, 'q') + "\n" + tail;
  ASSERT_EQ(content.size(), 51200u);
  cfgtest::write_config(content);
  EXPECT_EQ(parse(), 0);
  EXPECT_STREQ(params->port, "4242");
  EXPECT_EQ(log_lines(), LogLines{});

  // One byte more and nothing of the file is applied.
  cfgtest::write_config("port=1\n" + content.substr(7) + "\n");
  EXPECT_EQ(parse(), -1);
  EXPECT_STREQ(params->port, "4242");
  EXPECT_EQ(log_lines(),
            (LogLines{{LOG_ERR, "parse_config_file_params: The configuration file exceeds the "
                                "maximum size (51200): /etc/zelvane.d/pam_zelvane.conf"}}));
}

TEST_F(ConfigFileTest, MissingFile) {
  EXPECT_EQ(parse(), -1);
  EXPECT_EQ(log_lines(), (LogLines{{LOG_ERR, kUnableToOpen}}));
}

TEST_F(ConfigFileTest, NonRegularFilesAreRefused) {
  ASSERT_EQ(mkdir(cfgtest::kConfigFile.c_str(), 0700), 0);
  EXPECT_EQ(parse(), -1);
  ASSERT_EQ(rmdir(cfgtest::kConfigFile.c_str()), 0);

  // A FIFO must neither block the login nor be read. The alarm bounds a regression.
  ASSERT_EQ(mkfifo(cfgtest::kConfigFile.c_str(), 0600), 0);
  alarm(10);
  EXPECT_EQ(parse(), -1);
  alarm(0);
  EXPECT_EQ(log_lines(), (LogLines{{LOG_ERR, kUnableToOpen}, {LOG_ERR, kUnableToOpen}}));
}

TEST_F(ConfigFileTest, SymbolicLinkIsFollowed) {
  const std::string real = ZV_CONFIG_DIR "/site.conf";
  {
    std::ofstream out(real);
    out << "host=linked\n";
  }
  ASSERT_EQ(symlink(real.c_str(), cfgtest::kConfigFile.c_str()), 0);
  EXPECT_EQ(parse(), 0);
  EXPECT_STREQ(params->host, "linked");
  unlink(real.c_str());
}

TEST_F(ConfigFileTest, DirectoryPermissionWarning) {
  cfgtest::write_config("");
  struct Case {
    mode_t mode;
    const char *warning; // null: none
  } cases[] = {
      {0700, nullptr}, {0750, nullptr}, {0755, "0755"}, {0770, "0770"}, {02770, "2770"},
      {0701, "0701"},  {0702, "0702"},  {0704, "0704"}, {0720, "0720"},
  };
  for (const Case &c : cases) {
    zvtest::syslog_clear();
    ASSERT_EQ(chmod(ZV_CONFIG_DIR, c.mode), 0);
    EXPECT_EQ(parse(), 0) << std::oct << c.mode;
    LogLines want;
    if (c.warning != nullptr)
      want.push_back({LOG_WARNING, std::string("parse_config_file_params: Config directory "
                                               "/etc/zelvane.d has insecure permissions: ") +
                                       c.warning});
    EXPECT_EQ(log_lines(), want) << std::oct << c.mode;
  }
}

TEST_F(ConfigFileTest, WarningDoesNotStopAMissingFileFailure) {
  ASSERT_EQ(chmod(ZV_CONFIG_DIR, 0777), 0);
  EXPECT_EQ(parse(), -1);
  EXPECT_EQ(log_lines(), (LogLines{{LOG_WARNING, "parse_config_file_params: Config directory "
                                                 "/etc/zelvane.d has insecure permissions: 0777"},
                                   {LOG_ERR, kUnableToOpen}}));
}

// The splitter on its own, as the fuzz target drives it.
TEST(SplitConfigLines, EntriesPointIntoTheBuffer) {
  char buf[] = "#c\n\na\n b\r\nlast";
  const char **argv = nullptr;
  int argc = -1;
  ASSERT_EQ(zv::split_config_lines(buf, sizeof buf - 1, &argv, &argc), 0);
  ASSERT_EQ(argc, 3);
  EXPECT_EQ(argv[0], buf + 4);
  EXPECT_STREQ(argv[0], "a");
  EXPECT_STREQ(argv[1], " b\r");
  EXPECT_STREQ(argv[2], "last");
  std::free(argv);

  char none[] = "#only\n\n";
  ASSERT_EQ(zv::split_config_lines(none, sizeof none - 1, &argv, &argc), 0);
  EXPECT_EQ(argc, 0);
  EXPECT_NE(argv, nullptr);
  std::free(argv);
}

std::string read_doc(const char *name) {
  return zvtest::read_file(std::string(ZV_SOURCE_DIR "/doc/") + name);
}

std::string read_sample() { return read_doc("pam_zelvane.conf.sample"); }

TEST_F(ConfigFileTest, SampleParsesToThePureDefaults) {
  const std::string sample = read_sample();
  ASSERT_FALSE(sample.empty());
  cfgtest::write_config(sample);
  zv::ParamsScope defaults;
  ASSERT_EQ(set_params_defaults(defaults.get()), 0);
  EXPECT_EQ(parse(), 0);
  EXPECT_EQ(log_lines(), LogLines{});
  EXPECT_EQ(cfgtest::describe(params.params), cfgtest::describe(defaults.params));
}

TEST_F(ConfigFileTest, SampleUncommentedIsFullyRecognised) {
  // Every "#key=value" and "#flag" line becomes live; prose comments start with "# ".
  const std::regex option_line("^#([a-z0-9_]+)(=.*)?$");
  std::istringstream in(read_sample());
  std::string line, live;
  std::vector<std::string> keys;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, option_line)) {
      keys.push_back(m[1]);
      live += line.substr(1) + "\n";
    }
  }
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(std::unique(keys.begin(), keys.end()), keys.end()) << "a key is listed twice";
  // Exactly the keys of the option table.
  std::vector<std::string> table;
  for (const zv::Option &o : zv::options()) table.emplace_back(o.key);
  std::sort(table.begin(), table.end());
  EXPECT_EQ(keys, table);
  cfgtest::write_config(live);
  EXPECT_EQ(parse(), 0);
  EXPECT_EQ(log_lines(), LogLines{});

  // The values that the sample gives as defaults are the real defaults.
  zv::ParamsScope defaults;
  ASSERT_EQ(set_params_defaults(defaults.get()), 0);
  // (Every value but the flags', which the sample switches on, and the examples it gives for the
  // texts without a default.)
  for (const zv::Option &o : zv::options()) {
    if (o.kind == zv::OptionKind::flag || (o.kind == zv::OptionKind::text && !o.initial_text))
      continue;
    EXPECT_EQ(cfgtest::describe(params.params, o), cfgtest::describe(defaults.params, o));
  }
  EXPECT_EQ(params->connection_timeout_secs, 0);
  EXPECT_EQ(params->max_push_wait_secs, 300);
  EXPECT_EQ(params->offline_codes_reserve, 5);
  EXPECT_EQ(params->password_otp_delimiter_char, ',');
  EXPECT_EQ(params->debug, 1);
  EXPECT_EQ(params->offline_codes, 1);
}

} // namespace
