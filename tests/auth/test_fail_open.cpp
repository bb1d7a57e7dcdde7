// Under the stack that lets users in while the server is down
// ("[success=ok authinfo_unavail=ignore default=die]"), only an outage may be ignored: a server's
// HTTP error and an oversized answer refuse the login, through the real libpam.
#include "login_fixture.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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

// Descriptors running out on this side (a set-user-ID su under a low "ulimit -n") are no outage:
// the login is refused with PAM_SYSTEM_ERR instead of going on without the second factor.
TEST_F(FailOpen, RunningOutOfDescriptorsIsNoOutage) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const struct {
    std::vector<std::string> options, answers;
    int starved_at; // the prompt from which no descriptor is left
  } cases[] = {
      // The CA file of the code check's TLS context cannot be opened.
      {{"allowed_2fa_methods=otp_token"}, {"123456"}, 0},
      // The call's context (from the password check) serves again: socket() fails.
      {{"auth_mode_1fa_2fa", "allowed_2fa_methods=otp_token"}, {"pw", "123456"}, 1},
  };
  for (const auto &c : cases) {
    configure(c.options);
    fake.clear();
    conv = Conversation{};
    conv.answers = c.answers;
    conv.at_prompt = [&](int prompt) {
      if (prompt != c.starved_at) return;
      const int lowest_free = open("/dev/null", O_RDONLY | O_CLOEXEC);
      close(lowest_free);
      rlimit low = saved;
      low.rlim_cur = static_cast<rlim_t>(lowest_free);
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    };
    const int rc = pam_run(service, "alice", conv);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(rc, PAM_SYSTEM_ERR) << c.starved_at;
    for (const ZvRequest &r : fake.requests()) EXPECT_EQ(r.type, "validate_user");
  }
}
