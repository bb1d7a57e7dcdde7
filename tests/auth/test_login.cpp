// Whole logins in the combined mode (password, then second factor) through the real libpam:
// the typical two-factor login step by step, the marker left by a password that carried a
// code, a failed first factor, and conversation faults at every prompt.
#include <algorithm>
#include <fstream>
#include <regex>
#include <unistd.h>

extern "C" {
#include <libpamtest.h>
}

#include "login_fixture.h"

using namespace zvtest;

namespace {

using Strings = std::vector<std::string>;

class Login : public LoginTest {
protected:
  void SetUp() override {
    LoginTest::SetUp();
    unlink("/etc/zelvane.d/alice.offline");
    configure({"auth_mode_1fa_2fa"});
  }
};

std::vector<std::string> file_lines(const std::string &path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

} // namespace

TEST_F(Login, TypicalTwoFactorLoginStepByStep) {
  configure({"auth_mode_1fa_2fa", "offline_codes",
             "allowed_2fa_methods=otp_token,otp_sms,otp_email,push_app"});
  fake.queue_json("validate_oath_otp",
                  R"({"errorCode": 0, "offlineCodes": "11111111,22222222,33333333,44444444,)"
                  R"(55555555,66666666,77777777"})");
  EXPECT_EQ(login("alice", {"s3cret", "os", "123456"}), PAM_SUCCESS);

  // What the user saw, call by call: the password prompt; the menu with its prompt in one
  // call; the delivery notice; the code prompt.
  EXPECT_EQ(conv.call_sizes, (std::vector<int>{1, 4, 1, 1}));
  EXPECT_EQ(conv.seen,
            (std::vector<PamMessage>{
                hidden(kPasswordPrompt), info("os - OTP via SMS"), info("oe - OTP via Email"),
                info("pa - Push Application Confirmation"), hidden(kOtpOrMethodPrompt),
                info("Sent OTP sms message.\n"), hidden(kOtpPrompt)}));

  // What the server received, request by request.
  const std::vector<ZvRequest> requests = fake.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].keys, (Strings{"type", "username", "pw"}));
  EXPECT_EQ(requests[0].type, "validate_user");
  EXPECT_EQ(requests[0].username, "alice");
  EXPECT_EQ(requests[0].pw, "s3cret");
  EXPECT_EQ(requests[1].keys, (Strings{"type", "username", "deliveryMethod"}));
  EXPECT_EQ(requests[1].type, "send_oath_otp");
  EXPECT_EQ(requests[1].deliveryMethod, "0");
  EXPECT_EQ(requests[2].keys, (Strings{"type", "username", "otp", "ocodes"}));
  EXPECT_EQ(requests[2].type, "validate_oath_otp");
  EXPECT_EQ(requests[2].username, "alice");
  EXPECT_EQ(requests[2].otp, "123456");
  EXPECT_TRUE(requests[2].has_ocodes);
  EXPECT_EQ(requests[2].ocodes, -1);

  // The offline codes of the reply, less the reserve of 5, replaced the user's file.
  const Strings lines = file_lines("/etc/zelvane.d/alice.offline");
  ASSERT_EQ(lines.size(), 2u);
  const std::regex format(R"(\$6\$[A-Za-z0-9+/]{16}\$[0-9a-f]{128})");
  for (const std::string &line : lines) EXPECT_TRUE(std::regex_match(line, format)) << line;

  // The trace of the flow, in order.
  const LogLines trace = log_lines();
  const Strings expected = {"second_factor: START",
                            "second_factor: 2FA not yet validated, proceeding with authentication",
                            "second_factor: Processing allowed 2FA methods: "
                            "otp_token,otp_sms,otp_email,push_app",
                            "second_factor: Displaying 2FA method prompts to user",
                            "second_factor: OTP/method received from user, processing",
                            "process_interactive_methods: Checking user input against allowed 2FA "
                            "methods",
                            "handle_interactive_otp_method: User selected sms method",
                            "second_factor: END - 2FA authentication successful"};
  auto at = trace.begin();
  for (const std::string &line : expected) {
    at = std::find(at, trace.end(), LogLine{LOG_DEBUG, line});
    EXPECT_NE(at, trace.end()) << "missing or out of order: " << line;
  }
  for (const LogRecord &r : syslog_records()) {
    EXPECT_EQ(r.ident, "pam_zelvane(zv-auth)");
    EXPECT_EQ(r.text.find("s3cret"), std::string::npos) << r.text;
    EXPECT_EQ(r.text.find("123456"), std::string::npos) << r.text;
  }
}

TEST_F(Login, PasswordWithCodeSkipsTheSecondFactor) {
  EXPECT_EQ(login("alice", {"s3cret,123456"}), PAM_SUCCESS);
  EXPECT_EQ(conv.prompt_texts(), Strings{kPasswordPrompt});
  EXPECT_EQ(request_types(), (Strings{"validate_user", "validate_oath_otp"}));
  EXPECT_TRUE(logged({LOG_DEBUG, "second_factor: 2FA already validated for user: alice"}));
}

TEST_F(Login, RejectedCodeInThePasswordLeavesTheSecondFactorToAsk) {
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9003})");
  EXPECT_EQ(login("alice", {"s3cret,123456", "654321"}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.prompt_texts(), (Strings{kPasswordPrompt, kOtpPrompt}));
  EXPECT_EQ(request_types(), (Strings{"validate_user", "validate_oath_otp", "validate_oath_otp"}));
}

TEST_F(Login, MarkerSpeaksForOneAttemptOnly) {
  // A host that retries pam_authenticate on the same handle: the second attempt brings only
  // a password, so its second factor must ask again.
  conv = Conversation{};
  conv.answers = {"s3cret,123456", "s3cret", "654321"};
  EXPECT_EQ(pam_run(kService, "alice", conv, {PAMTEST_AUTHENTICATE, PAMTEST_AUTHENTICATE}),
            PAM_SUCCESS);
  EXPECT_EQ(conv.prompt_texts(), (Strings{kPasswordPrompt, kPasswordPrompt, kOtpPrompt}));
  ASSERT_EQ(request_types(),
            (Strings{"validate_user", "validate_oath_otp", "validate_user", "validate_oath_otp"}));
  EXPECT_EQ(fake.requests()[3].otp, "654321");
}

TEST_F(Login, FailedFirstFactorStillRunsTheSecondAndWins) {
  fake.queue_json("validate_user", R"({"errorCode": 9001})");
  EXPECT_EQ(login("alice", {"wrong", "123456"}), PAM_AUTH_ERR);
  EXPECT_EQ(conv.prompt_texts(), (Strings{kPasswordPrompt, kOtpPrompt}));
  EXPECT_EQ(request_types(), (Strings{"validate_user", "validate_oath_otp"}));

  fake.clear();
  fake.queue("validate_user", Reply{.close_without_reply = true});
  EXPECT_EQ(login("alice", {"s3cret", "123456"}), PAM_AUTHINFO_UNAVAIL);
  EXPECT_EQ(request_types(), (Strings{"validate_user", "validate_oath_otp"}));

  // With the password right, the second factor's failure is the result.
  fake.clear();
  fake.queue("validate_oath_otp", Reply{.close_without_reply = true});
  EXPECT_EQ(login("alice", {"s3cret", "123456"}), PAM_AUTHINFO_UNAVAIL);
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9003})");
  EXPECT_EQ(login("alice", {"s3cret", "123456"}), PAM_AUTH_ERR);
}

TEST_F(Login, FailedFirstFactorStillDeliversAndPushes) {
  configure({"auth_mode_1fa_2fa", "allowed_2fa_methods=auto_otp_sms,auto_push_app",
             "max_push_wait_secs=2"});
  fake.queue_json("validate_user", R"({"errorCode": 9001})");
  fake.queue_json("send_push_message", R"({"errorCode": 0, "authnUserReqId": "r"})");
  EXPECT_EQ(login("alice", {"wrong"}), PAM_AUTH_ERR);
  EXPECT_EQ(request_types(),
            (Strings{"validate_user", "send_oath_otp", "send_push_message", "validate_oath_otp"}));
}

TEST_F(Login, ConversationFaultsAtEveryPromptNeverSucceed) {
  const std::vector<std::vector<std::string>> configs = {
      {"auth_mode_1fa_2fa"},
      {"auth_mode_1fa_2fa", "allowed_2fa_methods=otp_token,otp_email"},
  };
  for (const auto &options : configs) {
    configure(options);
    const size_t prompts = options.size() == 1 ? 2 : 3; // password, [menu,] code
    const std::vector<std::string> answers =
        prompts == 2 ? Strings{"s3cret", "123456"} : Strings{"s3cret", "oe", "123456"};
    for (size_t at = 0; at < prompts; at++) {
      for (int fault = 0; fault < 3; fault++) {
        conv = Conversation{};
        conv.answers = answers;
        (fault == 0   ? conv.fail_at_prompt
         : fault == 1 ? conv.no_response_at_prompt
                      : conv.null_text_at_prompt) = static_cast<int>(at);
        EXPECT_NE(pam_run(kService, "alice", conv), PAM_SUCCESS)
            << options.size() << " prompt " << at << " fault " << fault;
      }
    }
  }
}
