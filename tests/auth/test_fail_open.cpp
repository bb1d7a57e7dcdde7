// Under the stack that lets users in while the server is down
// ("[success=ok authinfo_unavail=ignore default=die]"), only an outage may be ignored: a server's
// HTTP error and an oversized answer refuse the login, through the real libpam.
#include "login_fixture.h"

using namespace zvtest;

namespace {

constexpr const char *kFailOpen = "zv-fail-open";
const std::string kTooLong(513, '7'); // one byte over Linux-PAM's PAM_MAX_RESP_SIZE

class FailOpen : public LoginTest {
protected:
  void SetUp() override {
    LoginTest::SetUp();
    write_service(kFailOpen, "auth [success=ok authinfo_unavail=ignore default=die] " +
                                 module_path() + "\nauth required pam_permit.so\n");
    service = kFailOpen;
  }
};

} // namespace

TEST_F(FailOpen, OnlyAnOutageIsIgnored) {
  configure({"allowed_2fa_methods=otp_token"});
  for (int status : {400, 413, 500, 503}) {
    fake.queue("validate_oath_otp", http_reply(status, ""));
    const bool outage = status == 503;
    EXPECT_EQ(login("alice", {"123456"}), outage ? PAM_SUCCESS : PAM_AUTH_ERR) << status;
    EXPECT_EQ(conv.errors(),
              outage ? std::vector<std::string>{kUnreachable}
                     : std::vector<std::string>{"Server error. Please contact support."})
        << status;
  }
}

TEST_F(FailOpen, OversizedAnswersAreRefusedWithoutARequest) {
  const struct {
    std::vector<std::string> options;
    std::vector<std::string> answers;
    std::vector<std::string> errors;
  } cases[] = {
      {{"auth_mode_1fa"}, {kTooLong}, {}}, // a wrong password says nothing
      {{}, {kTooLong}, {kInvalidChoice}},  // the legacy code prompt
      {{"allowed_2fa_methods=otp_sms"}, {"os", kTooLong}, {kInvalidChoice}},
  };
  for (const auto &c : cases) {
    configure(c.options);
    fake.clear();
    EXPECT_EQ(login("alice", c.answers), PAM_AUTH_ERR) << c.options.size();
    EXPECT_EQ(conv.errors(), c.errors);
    for (const ZvRequest &r : fake.requests()) EXPECT_EQ(r.type, "send_oath_otp");
  }
}
