// The audit record of whole logins through the real libpam: one per pam_sm_authenticate, naming
// the road that decided it (password, typed code, delivered code, push, offline code, both
// factors), its result and the server that answered, with outside text escaped and no secret.
#include <functional>
#include <unistd.h>

#include "audit_log.h"
#include "login_fixture.h"

using namespace zvtest;

namespace {

struct Case {
  const char *name;
  std::vector<std::string> options;
  std::vector<std::string> answers;
  std::function<void(FakeZelvane &)> script; // replies beyond the default {"errorCode": 0}
  int rc;
  const char *road, *result;
  bool answered; // a server answered (server=127.0.0.1:<port>), else server=-
};

const std::string kPushAccepted = R"({"errorCode": 0, "authnUserReqId": "req-7"})";
const std::string kStock =
    R"({"errorCode": 0, "offlineCodes": "11111111,22222222,3,4,5,6,7"})"; // keeps 2 codes

void unreachable(FakeZelvane &fake, const char *type) {
  fake.queue(type, Reply{.close_without_reply = true});
}

class Audit : public LoginTest {
protected:
  void SetUp() override {
    LoginTest::SetUp();
    unlink("/etc/zelvane.d/alice.offline");
  }
  void TearDown() override { unsetenv("PAM_RHOST"); }

  AuditRecord only_record() {
    const std::vector<AuditRecord> records = audit_records();
    EXPECT_EQ(records.size(), 1u);
    return records.empty() ? AuditRecord{} : records[0];
  }
};

} // namespace

TEST_F(Audit, EveryRoadIsNamedWithItsResult) {
  const Case cases[] = {
      {"password",
       {"auth_mode_1fa"},
       {"s3cret"},
       nullptr,
       PAM_SUCCESS,
       "password",
       "success",
       true},
      {"wrong password",
       {"auth_mode_1fa"},
       {"wrong"},
       [](FakeZelvane &f) { f.queue_json("validate_user", R"({"errorCode": 9001})"); },
       PAM_AUTH_ERR,
       "password",
       "failure",
       true},
      {"typed code", {}, {"123456"}, nullptr, PAM_SUCCESS, "code", "success", true},
      {"code in the user name",
       {"mfa_groups=wheel", "debug"},
       {},
       nullptr,
       PAM_SUCCESS,
       "code",
       "success",
       true},
      {"code by SMS",
       {"allowed_2fa_methods=otp_sms"},
       {"os", "123456"},
       nullptr,
       PAM_SUCCESS,
       "sms",
       "success",
       true},
      {"code by e-mail before the prompt",
       {"allowed_2fa_methods=auto_otp_email"},
       {"123456"},
       nullptr,
       PAM_SUCCESS,
       "email",
       "success",
       true},
      {"refused push",
       {"allowed_2fa_methods=auto_push_app"},
       {},
       [](FakeZelvane &f) {
         f.queue_json("send_push_message", kPushAccepted);
         f.queue_json("validate_oath_otp", R"({"errorCode": 9030})");
       },
       PAM_AUTH_ERR,
       "push",
       "failure",
       true},
      {"code at the push's wait prompt",
       {"allowed_2fa_methods=auto_push_app", "push_wait_prompt"},
       {"123456"},
       [](FakeZelvane &f) { f.queue_json("send_push_message", kPushAccepted); },
       PAM_SUCCESS,
       "code",
       "success",
       true},
      {"password and code",
       {"auth_mode_1fa_2fa"},
       {"s3cret", "123456"},
       nullptr,
       PAM_SUCCESS,
       "password+code",
       "success",
       true},
      {"password with its code in one answer",
       {"auth_mode_1fa_2fa"},
       {"s3cret,123456"},
       nullptr,
       PAM_SUCCESS,
       "password+code",
       "success",
       true},
      {"server down",
       {},
       {"123456"},
       [](FakeZelvane &f) { unreachable(f, "validate_oath_otp"); },
       PAM_AUTHINFO_UNAVAIL,
       "code",
       "unavailable",
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    configure(c.options);
    fake.clear();
    if (c.script) c.script(fake);
    syslog_clear();
    const std::string user =
        std::string(c.name) == "code in the user name" ? "alice:123456" : "alice";
    EXPECT_EQ(login(user, c.answers), c.rc);
    const AuditRecord a = only_record();
    // A code after a colon in the user name is not shown.
    EXPECT_EQ(a["user"], user == "alice" ? "alice" : "alice:***");
    EXPECT_EQ(a["road"], c.road);
    EXPECT_EQ(a["result"], c.result);
    EXPECT_EQ(a["server"], c.answered ? "127.0.0.1:" + fake.port_str() : "-");
    EXPECT_EQ(a.priority, c.rc == PAM_SUCCESS ? LOG_NOTICE : LOG_WARNING);
    // No secret in any record.
    for (const LogRecord &r : syslog_records())
      for (const char *secret : {"s3cret", "123456"})
        EXPECT_EQ(r.text.find(secret), std::string::npos) << r.text;
  }
}

TEST_F(Audit, OfflineAcceptanceWhileTheServerIsDown) {
  configure({"offline_codes"});
  fake.queue_json("validate_oath_otp", kStock);
  ASSERT_EQ(login("alice", {"123456"}), PAM_SUCCESS);
  syslog_clear();
  unreachable(fake, "validate_oath_otp");
  EXPECT_EQ(login("alice", {"11111111"}), PAM_SUCCESS);
  const AuditRecord a = only_record();
  EXPECT_EQ(a["road"], "offline");
  EXPECT_EQ(a["result"], "success");
  EXPECT_EQ(a["server"], "-");
  EXPECT_EQ(syslog_contains("11111111"), false);
}

TEST_F(Audit, UserAndRemoteHostAreEscaped) {
  configure({"auth_mode_1fa"});
  service = kStackedService; // pam_set_items.so sets PAM_RHOST from the environment
  setenv("PAM_RHOST", "evil host\nfake=1", 1);
  EXPECT_EQ(login("al ice\x7f", {"s3cret"}), PAM_SUCCESS);
  const AuditRecord a = only_record();
  EXPECT_EQ(a.keys, (std::vector<std::string>{"user", "service", "rhost", "road", "result",
                                              "server", "ms"}));
  EXPECT_EQ(a["user"], "al\\x20ice\\x7f");
  EXPECT_EQ(a["rhost"], "evil\\x20host\\x0afake=1");
  EXPECT_EQ(a["service"], kStackedService);
}
