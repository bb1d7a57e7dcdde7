// The module loaded by the real libpam: probe, bypass group, missing configuration and the
// service functions that do no work, and the audit record each authentication leaves.
#include <algorithm>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>
#include <regex>
#include <security/pam_appl.h>
#include <syslog.h>
#include <unistd.h>

extern "C" {
#include <libpamtest.h>
}

#include "audit_log.h"
#include "pam_harness.h"
#include "syslog_reader.h"

using namespace zvtest;

namespace {

const std::string kProbe = "<zelvane.module.loaded>";
const char *const kModes[] = {"auth_mode_1fa", "auth_mode_2fa", "auth_mode_1fa_2fa"};

class Entry : public ::testing::Test {
protected:
  void SetUp() override {
    syslog_capture_start();
    // Nothing listens here: a factor that reached for the server would fail, never hang.
    write_config("host=127.0.0.1\nport=9\n");
    // pam_wrapper reads the service files once per process: define every stack up front.
    write_service("zv", module_stack());
    // A module result of PAM_IGNORE falls through to pam_permit; any other ends the stack.
    write_service("zv-fallthrough", "auth [ignore=ignore default=die] " + module_path() +
                                        "\nauth required pam_permit.so\n");
    for (const char *mode : kModes) {
      write_service(std::string("zv-") + mode, module_stack(mode));
      write_service(std::string("zv-") + mode + "-push",
                    module_stack(std::string(mode) + " allow_push_authentication"));
    }
  }
};

// nss_wrapper group and passwd databases for the bypass tests.
void use_nss_files() {
  static bool done = false;
  if (done) return;
  done = true;
  const std::string passwd = "/tmp/zv-nss-passwd." + std::to_string(getpid());
  const std::string group = "/tmp/zv-nss-group." + std::to_string(getpid());
  std::ofstream(passwd) << "root:x:0:0:root:/root:/bin/sh\n"
                           "alice:x:1001:1001:Alice:/home/alice:/bin/sh\n"
                           "carol:x:1003:5000:Carol:/home/carol:/bin/sh\n"
                           "dave:x:1004:1004:Dave:/home/dave:/bin/sh\n"
                           "erin:x:1005:6000:Erin:/home/erin:/bin/sh\n"
                           "frank:x:1006:1006:Frank:/home/frank:/bin/sh\n"
                           "zed:x:1007:1007:Zed:/home/zed:/bin/sh\n"
                           "gina:x:1008:1008:Gina:/home/gina:/bin/sh\n";
  // "crowd" has 3000 members, zed last: far more than a first lookup buffer holds.
  std::string crowd = "crowd:x:7000:";
  for (int i = 0; i < 2999; i++) crowd += "member" + std::to_string(i) + ",";
  std::ofstream(group) << "root:x:0:\n"
                          "zelvane-bypass:x:5000:alice,bob,gina\n"
                          "admins:x:5001:dave\n"
                          "empty:x:5002:\n"
                          "mfa-users:x:6000:alice,frank,gina\n"
                          "mfa-exempt:x:6001:frank\n"
                       << crowd << "zed\n";
  setenv("NSS_WRAPPER_PASSWD", passwd.c_str(), 1);
  setenv("NSS_WRAPPER_GROUP", group.c_str(), 1);
}

} // namespace

TEST_F(Entry, ProbeAnswersInEveryModeWithoutContactingTheServer) {
  for (const char *mode : kModes) {
    for (const char *push : {"", "-push"}) {
      const std::string service = std::string("zv-") + mode + push;
      Conversation conv;
      EXPECT_EQ(pam_run(service, kProbe, conv), PAM_SUCCESS) << service;
      const std::string want = *push ? "{\"allowPush\": true}" : "{\"allowPush\": false}";
      EXPECT_EQ(conv.infos(), std::vector<std::string>{want}) << service;
      EXPECT_TRUE(conv.errors().empty());
      EXPECT_EQ(conv.prompts, 0);
    }
  }
}

TEST_F(Entry, ProbeAnswersFromTheConfigurationFileAndBeforeTheBypassGroup) {
  use_nss_files();
  write_config(
      "host=127.0.0.1\nport=9\nallow_push_authentication\nbypass_group_name=zelvane-bypass\n");
  Conversation conv;
  EXPECT_EQ(pam_run("zv", kProbe, conv), PAM_SUCCESS);
  EXPECT_EQ(conv.infos(), std::vector<std::string>{"{\"allowPush\": true}"});
}

TEST_F(Entry, MissingConfigurationFailsWithConfigurationError) {
  remove_config();
  Conversation conv;
  EXPECT_EQ(pam_run("zv", kProbe, conv), PAM_AUTH_ERR);
  EXPECT_EQ(conv.errors(),
            std::vector<std::string>{"Configuration error. Please contact support."});
  EXPECT_TRUE(conv.infos().empty());
  const LogRecord open_failed =
      find_record({LOG_ERR, "parse_config_file_params: Unable to open configuration file: "
                            "/etc/zelvane.d/pam_zelvane.conf"});
  EXPECT_EQ(open_failed.priority, LOG_ERR); // found
  EXPECT_EQ(open_failed.ident, "pam_zelvane(zv)");
  EXPECT_EQ(open_failed.facility, LOG_AUTH >> 3);
  EXPECT_TRUE(logged({LOG_ERR, "read_params: Failed to parse configuration file"}));
  // The final record is written without the record, so under the fallback identity.
  const LogRecord final_line =
      find_record({LOG_ERR, "pam_sm_authenticate: pam_zelvane configurations error."});
  EXPECT_EQ(final_line.priority, LOG_ERR); // found
  EXPECT_EQ(final_line.ident, "pam_zelvane(unknown)");
}

// The host's own syslog(3) settings are the host's before and after a login: its identity,
// options and facility. The module's records carry theirs, in the same form as the host's.
TEST_F(Entry, HostLogSettingsStayTheHosts) {
  remove_config(); // a failing login that writes records
  struct Host {
    const char *ident;
    int options;
    int facility;
    int pid; // in the host's records
  };
  for (const Host &host : {Host{"vpnd", LOG_PID, LOG_AUTHPRIV, getpid()},
                           Host{"quietd", LOG_NDELAY, LOG_DAEMON, -1}}) {
    syslog_clear();
    openlog(host.ident, host.options, host.facility);
    syslog(LOG_NOTICE, "before");
    Conversation conv;
    EXPECT_EQ(pam_run("zv", kProbe, conv), PAM_AUTH_ERR);
    syslog(LOG_NOTICE, "after");
    closelog();
    std::vector<std::string> host_texts;
    size_t module_records = 0;
    const std::regex form(R"(<\d+>[A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d [^ ]+: [^]*)");
    for (const LogRecord &r : syslog_records()) {
      EXPECT_TRUE(std::regex_match(r.raw, form)) << r.raw;
      if (r.ident.rfind("pam_zelvane(", 0) == 0) {
        module_records++;
        EXPECT_EQ(r.facility, LOG_AUTH >> 3) << r.raw;
        EXPECT_EQ(r.pid, getpid()) << r.raw;
        continue;
      }
      host_texts.push_back(r.text);
      EXPECT_EQ(r.ident, host.ident) << r.raw;
      EXPECT_EQ(r.facility, host.facility >> 3) << r.raw;
      EXPECT_EQ(r.pid, host.pid) << r.raw;
    }
    EXPECT_GE(module_records, 3u) << host.ident;
    EXPECT_EQ(host_texts, (std::vector<std::string>{"before", "after"})) << host.ident;
  }
}

TEST_F(Entry, OversizedConfigurationFailsTheSameWay) {
  write_config(std::string(51201, '#'));
  Conversation conv;
  EXPECT_EQ(pam_run("zv", kProbe, conv), PAM_AUTH_ERR);
  EXPECT_EQ(conv.errors(),
            std::vector<std::string>{"Configuration error. Please contact support."});
}

TEST_F(Entry, ListedMemberOfTheBypassGroupPassesSilently) {
  use_nss_files();
  write_config("host=127.0.0.1\nport=9\nbypass_group_name=zelvane-bypass\n");
  Conversation conv;
  EXPECT_EQ(pam_run("zv", "alice", conv), PAM_SUCCESS);
  EXPECT_TRUE(conv.seen.empty());
  // Nothing but the audit record.
  ASSERT_EQ(syslog_records().size(), 1u);
  ASSERT_EQ(audit_records().size(), 1u);
  EXPECT_EQ(audit_records()[0]["road"], "bypass");
  // "bob" is listed but has no passwd entry: only the member list counts. "GINA" is gina to a
  // passwd source that ignores case.
  for (const char *user : {"bob", "GINA"}) {
    Conversation other;
    EXPECT_EQ(pam_run("zv", user, other), PAM_SUCCESS) << user;
  }
}

TEST_F(Entry, PrimaryGroupAloneOrAnotherGroupDoesNotBypass) {
  use_nss_files();
  for (const char *group : {"zelvane-bypass", "admins", "no-such-group", "empty"}) {
    write_config(std::string("host=127.0.0.1\nport=9\nbypass_group_name=") + group + "\n");
    Conversation conv; // the second factor prompts; no answer is given
    EXPECT_NE(pam_run("zv", "carol", conv), PAM_SUCCESS) << group;
    EXPECT_EQ(conv.prompts, 1) << group;
  }
}

TEST_F(Entry, EmptyBypassGroupNameTurnsTheBypassOff) {
  use_nss_files();
  write_config("host=127.0.0.1\nport=9\nbypass_group_name=\n");
  Conversation conv;
  EXPECT_NE(pam_run("zv", "alice", conv), PAM_SUCCESS);
  EXPECT_EQ(conv.prompts, 1);
}

TEST_F(Entry, CaseMattersInTheMemberList) {
  use_nss_files();
  write_config("host=127.0.0.1\nport=9\nbypass_group_name=zelvane-bypass\n");
  Conversation conv;
  EXPECT_NE(pam_run("zv", "Alice", conv), PAM_SUCCESS);
}

TEST_F(Entry, OtherServiceFunctionsReturnFixedResults) {
  remove_config(); // they do no work at all, not even reading the configuration
  for (int op : {PAMTEST_SETCRED, PAMTEST_ACCOUNT, PAMTEST_OPEN_SESSION, PAMTEST_CLOSE_SESSION}) {
    Conversation conv;
    EXPECT_EQ(pam_run("zv", "alice", conv, {op}), PAM_SUCCESS) << op;
    EXPECT_TRUE(conv.seen.empty());
  }
  // libpam folds a lone PAM_IGNORE into a failure of its own, so read the module's own answer.
  void *module = dlopen(module_path().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  using Fn = int (*)(pam_handle_t *, int, int, const char **);
  auto chauthtok = reinterpret_cast<Fn>(dlsym(module, "pam_sm_chauthtok"));
  ASSERT_NE(chauthtok, nullptr);
  const char *args[] = {"debug", "bogus"};
  EXPECT_EQ(chauthtok(nullptr, 0, 0, nullptr), PAM_IGNORE);
  EXPECT_EQ(chauthtok(nullptr, PAM_SILENT, 2, args), PAM_IGNORE);
  for (const char *name :
       {"pam_sm_setcred", "pam_sm_acct_mgmt", "pam_sm_open_session", "pam_sm_close_session"}) {
    auto fn = reinterpret_cast<Fn>(dlsym(module, name));
    ASSERT_NE(fn, nullptr) << name;
    EXPECT_EQ(fn(nullptr, 0, 2, args), PAM_SUCCESS) << name;
  }
  dlclose(module);
  EXPECT_TRUE(syslog_records().empty());
}

TEST_F(Entry, BypassGroupTooBigForTheFirstBufferIsReadAgain) {
  use_nss_files();
  // zed passes as the last of 3000 members, also when mfa_groups leaves him out: the bypass
  // comes first.
  for (const char *extra : {"", "mfa_groups=mfa-users\n"}) {
    write_config(std::string("host=127.0.0.1\nport=9\nbypass_group_name=crowd\n") + extra);
    Conversation conv;
    EXPECT_EQ(pam_run("zv", "zed", conv), PAM_SUCCESS) << extra;
    EXPECT_TRUE(conv.seen.empty()) << extra;
  }
}

TEST_F(Entry, MfaGroupsLetsOnlyItsMembersThroughTheModule) {
  use_nss_files();
  struct Case {
    const char *groups;
    const char *user;
    bool ignored;
    const char *logged = nullptr; // why the user went through the module after all
  } cases[] = {
      {"mfa-users", "alice", false},               // supplementary member
      {"mfa-users", "erin", false},                // primary group only
      {"mfa-users", "dave", true},                 // in none
      {"mfa-users,!mfa-exempt", "frank", true},    // the excluded group wins
      {"'mfa-users !mfa-exempt'", "alice", false}, // blanks separate too
      {"!mfa-exempt", "dave", false},              // exclusions alone: everyone else
      {"!mfa-exempt", "frank", true},
      {"crowd", "zed", false}, // a group of 3000 members
      {"crowd", "dave", true},
      {"mfa-users", "nobody-known", false,
       "mfa_groups: no such user nobody-known; the module applies"},
      {"no-such-group,mfa-users", "dave", false,
       "mfa_groups: cannot look up group no-such-group; the module applies to dave"},
      {"", "dave", false},
      // Spelt otherwise, through a passwd source that ignores case: the account's groups.
      {"mfa-users", "GINA", false},
      {"!mfa-exempt", "Frank", true},
  };
  for (const Case &c : cases) {
    write_config(std::string("host=127.0.0.1\nport=9\nbypass_group_name=\nmfa_groups=") + c.groups +
                 "\n");
    syslog_clear();
    Conversation conv; // the module prompts for a code and gets no answer
    const int rc = pam_run("zv-fallthrough", c.user, conv);
    const std::string label = std::string(c.groups) + " " + c.user;
    EXPECT_EQ(rc, c.ignored ? PAM_SUCCESS : PAM_AUTH_ERR) << label;
    EXPECT_EQ(conv.prompts, c.ignored ? 0 : 1) << label;
    const std::string skipped = "pam_sm_authenticate: User " + std::string(c.user) +
                                " is outside mfa_groups: the module is ignored";
    EXPECT_EQ(logged({LOG_INFO, skipped}), c.ignored) << label;
    if (c.logged != nullptr) {
      const std::string line = std::string("pam_sm_authenticate: ") + c.logged;
      const LogLines lines = log_lines();
      EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const LogLine &l) {
        return l.text == line;
      })) << label;
    }
  }
}

// Offline guesses count against the account whatever its spelling: each spelling keeps its own
// code file, and all share the count of the account's own name.
TEST_F(Entry, OfflineGuessesOfOneAccountShareOneCount) {
  use_nss_files();
  write_config("host=127.0.0.1\nport=9\nbypass_group_name=\noffline_codes\n");
  for (const std::string user : {"GINA", "Gina"}) {
    std::ofstream("/etc/zelvane.d/" + user + ".offline") << "no code here\n";
    Conversation conv;
    conv.answers = {"123456"};
    EXPECT_EQ(pam_run("zv", user, conv), PAM_AUTH_ERR) << user;
  }
  std::string count;
  std::getline(std::ifstream("/etc/zelvane.d/gina.offline.fail"), count, ' ');
  EXPECT_EQ(count, "2");
  EXPECT_NE(access("/etc/zelvane.d/GINA.offline.fail", F_OK), 0);
}

// The one record of each call on the roads that end before any factor: who, which road, what
// result, no server; success at LOG_NOTICE, anything else at LOG_WARNING.
TEST_F(Entry, EveryCallLeavesOneAuditRecord) {
  use_nss_files();
  struct Case {
    const char *config; // null: no configuration file
    std::string user;
    int rc;
    const char *road, *result;
  } cases[] = {
      {"host=127.0.0.1\nport=9\n", kProbe, PAM_SUCCESS, "probe", "success"},
      {"host=127.0.0.1\nport=9\nbypass_group_name=zelvane-bypass\n", "alice", PAM_SUCCESS, "bypass",
       "success"},
      {nullptr, "alice", PAM_AUTH_ERR, "-", "error"},
      {"host=127.0.0.1\nport=9\n", "", PAM_AUTH_ERR, "-", "error"}, // no user name
      // No answer at the code prompt.
      {"host=127.0.0.1\nport=9\n", "carol", PAM_AUTH_ERR, "-", "failure"},
  };
  for (const Case &c : cases) {
    if (c.config != nullptr)
      write_config(c.config);
    else
      remove_config();
    syslog_clear();
    Conversation conv;
    EXPECT_EQ(pam_run("zv", c.user, conv), c.rc) << c.user;
    const std::vector<AuditRecord> audit = audit_records();
    ASSERT_EQ(audit.size(), 1u) << c.user;
    const AuditRecord &a = audit[0];
    EXPECT_EQ(a.keys, (std::vector<std::string>{"user", "service", "rhost", "road", "result",
                                                "server", "ms"}));
    EXPECT_EQ(a["user"], c.user.empty() ? "-" : c.user);
    EXPECT_EQ(a["service"], "zv");
    EXPECT_EQ(a.ident, "pam_zelvane(zv)");
    EXPECT_EQ(a["rhost"], "-");
    EXPECT_EQ(a["road"], c.road) << c.user;
    EXPECT_EQ(a["result"], c.result) << c.user;
    EXPECT_EQ(a["server"], "-");
    const std::string ms = a["ms"];
    EXPECT_TRUE(!ms.empty() && std::all_of(ms.begin(), ms.end(), ::isdigit)) << ms;
    EXPECT_EQ(a.priority, c.rc == PAM_SUCCESS ? LOG_NOTICE : LOG_WARNING);
  }
}
