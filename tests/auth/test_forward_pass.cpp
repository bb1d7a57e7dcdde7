// forward_pass through the real libpam: one answer (or a stacked password) split at its last
// delimiter, the password part left in PAM_AUTHTOK for the module below (pam_get_items.so), the
// part after it checked as a code or taken as a menu choice, with no second prompt.
#include <cstdlib>
#include <cstring>
#include <map>

extern "C" {
#include <libpamtest.h>
}

#include "login_fixture.h"

using namespace zvtest;

namespace {

using Strings = std::vector<std::string>;

constexpr const char *kCodeSent =
    "Code sent. Log in again with your password, then \",\" and the code.";
constexpr const char *kPush = R"({"errorCode": 0, "authnUserReqId": "r1"})";

struct Row {
  const char *name;
  Strings options;     // after forward_pass
  const char *stacked; // PAM_AUTHTOK set by pam_set_items.so above, or null
  const char *answer;  // to the password prompt, or null when none may come
  const char *reply;   // a send_push_message or validate_oath_otp reply to queue, or null
  int rc;
  const char *authtok; // PAM_AUTHTOK below the module, or null for none
  Strings requests;
  const char *otp;   // the code the server received, or null
  const char *error; // the one error message, or null
};

const Strings kMenu = {"allowed_2fa_methods=otp_token,otp_sms,push_app", "push_wait_prompt"};
const Strings kAutoPush = {"allowed_2fa_methods=auto_push_app,otp_token"};
const Strings kLegacyPush = {"allow_push_authentication"};

// clang-format off
const Row kRows[] = {
    {"code", kMenu, nullptr, "s3cret,123456", nullptr, PAM_SUCCESS, "s3cret",
     {"validate_oath_otp"}, "123456", nullptr},
    {"wrong code", kMenu, nullptr, "s3cret,654321", R"({"errorCode": 9003})", PAM_AUTH_ERR,
     "s3cret", {"validate_oath_otp"}, "654321", nullptr},
    {"push", kMenu, nullptr, "s3cret,PA", kPush, PAM_SUCCESS, "s3cret",
     {"send_push_message", "validate_oath_otp"}, "r1", nullptr},
    {"delivery", kMenu, nullptr, "s3cret,os", nullptr, PAM_AUTH_ERR, "s3cret", {"send_oath_otp"},
     nullptr, kCodeSent},
    {"no delimiter", kMenu, nullptr, "s3cret", nullptr, PAM_AUTH_ERR, "s3cret", {}, nullptr,
     "Verification code was not entered."},
    {"no delimiter, automatic push", kAutoPush, nullptr, "s3cret", kPush, PAM_SUCCESS, "s3cret",
     {"send_push_message", "validate_oath_otp"}, "r1", nullptr},
    {"no delimiter, automatic delivery", {"allowed_2fa_methods=auto_otp_sms"}, nullptr, "s3cret",
     nullptr, PAM_AUTH_ERR, "s3cret", {"send_oath_otp"}, nullptr, kCodeSent},
    {"delimiter in the password", kMenu, nullptr, "pa,ss,123456", nullptr, PAM_SUCCESS, "pa,ss",
     {"validate_oath_otp"}, "123456", nullptr},
    {"stacked, split", kMenu, "pa,ss,123456", nullptr, nullptr, PAM_SUCCESS, "pa,ss",
     {"validate_oath_otp"}, "123456", nullptr},
    {"stacked, no delimiter", kAutoPush, "s3cret", nullptr, kPush, PAM_SUCCESS, "s3cret",
     {"send_push_message", "validate_oath_otp"}, "r1", nullptr},
    {"legacy, empty code pushes", kLegacyPush, nullptr, "s3cret,", kPush, PAM_SUCCESS, "s3cret",
     {"send_push_message", "validate_oath_otp"}, "r1", nullptr},
    {"wrong mode", {"auth_mode_1fa_2fa"}, nullptr, nullptr, nullptr, PAM_AUTH_ERR, nullptr, {},
     nullptr, "Configuration error. Please contact support."},
};
// clang-format on

class ForwardPass : public LoginTest {
protected:
  void TearDown() override { unsetenv("PAM_AUTHTOK"); }
};

} // namespace

TEST_F(ForwardPass, OneAnswerSplitAtTheLastDelimiter) {
  for (const Row &row : kRows) {
    SCOPED_TRACE(row.name);
    Strings options = row.options;
    options.insert(options.begin(), {"forward_pass", "max_push_wait_secs=5"});
    configure(options);
    fake.clear();
    syslog_capture_start();
    if (row.reply != nullptr)
      fake.queue_json(std::strstr(row.reply, "authnUserReqId") != nullptr ? "send_push_message"
                                                                          : "validate_oath_otp",
                      row.reply);
    if (row.stacked != nullptr)
      setenv("PAM_AUTHTOK", row.stacked, 1);
    else
      unsetenv("PAM_AUTHTOK");

    conv = Conversation{};
    if (row.answer != nullptr) conv.answers = {row.answer};
    std::map<std::string, std::string> items;
    EXPECT_EQ(pam_run_env(kStackedItemsService, "alice", conv, row.rc, &items), row.rc);

    // One question at most: the password prompt, and none when a password was stacked.
    EXPECT_EQ(conv.prompt_texts(), row.answer != nullptr ? Strings{kPasswordPrompt} : Strings{});
    if (row.authtok != nullptr)
      EXPECT_EQ(items["PAM_AUTHTOK"], row.authtok);
    else
      EXPECT_EQ(items.count("PAM_AUTHTOK"), 0u);
    EXPECT_EQ(request_types(), row.requests);
    if (row.otp != nullptr) {
      const std::vector<ZvRequest> checks = fake.requests("validate_oath_otp");
      ASSERT_FALSE(checks.empty());
      EXPECT_EQ(checks.back().otp, row.otp);
    }
    EXPECT_EQ(conv.errors(), row.error != nullptr ? Strings{row.error} : Strings{});
    // Neither part of the answer is ever logged.
    for (const LogRecord &r : syslog_records())
      for (const char *secret : {"s3cret", "pa,ss", "123456"})
        EXPECT_EQ(r.text.find(secret), std::string::npos) << r.text;
  }
  EXPECT_TRUE(logged({LOG_ERR, "pam_sm_authenticate: forward_pass needs auth_mode_2fa: "
                               "pam_zelvane configurations error."}));
}
