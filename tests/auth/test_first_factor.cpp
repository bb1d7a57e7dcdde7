// The first factor through the real libpam: where the password comes from, how one answer is
// split into password and code, and what the split leaves for the second factor.
#include <cstdlib>
#include <cstring>
#include <map>

extern "C" {
#include <libpamtest.h>
}

#include "login_fixture.h"

using namespace zvtest;

namespace {

class FirstFactor : public LoginTest {
protected:
  void SetUp() override {
    LoginTest::SetUp();
    configure({"auth_mode_1fa"});
  }
  void TearDown() override { unsetenv("PAM_AUTHTOK"); }

  // The module below pam_set_items.so, which sets PAM_AUTHTOK from the environment.
  void stack_password(const std::string &password) {
    setenv("PAM_AUTHTOK", password.c_str(), 1);
    service = kStackedService;
  }

  std::vector<std::string> passwords_sent() const {
    std::vector<std::string> out;
    for (const ZvRequest &r : fake.requests("validate_user")) out.push_back(r.pw);
    return out;
  }
  std::vector<std::string> codes_sent() const {
    std::vector<std::string> out;
    for (const ZvRequest &r : fake.requests("validate_oath_otp")) out.push_back(r.otp);
    return out;
  }
};

using Strings = std::vector<std::string>;

} // namespace

TEST_F(FirstFactor, PromptModeAsksOnceWithTheHiddenPasswordPrompt) {
  EXPECT_EQ(login("alice", {"s3cret"}), PAM_SUCCESS);
  EXPECT_EQ(conv.seen, std::vector<PamMessage>{hidden(kPasswordPrompt)});
  ASSERT_EQ(fake.requests().size(), 1u);
  const ZvRequest r = fake.requests()[0];
  EXPECT_EQ(r.type, "validate_user");
  EXPECT_EQ(r.username, "alice");
  EXPECT_EQ(r.pw, "s3cret");

  fake.queue_json("validate_user", R"({"errorCode": 9001})");
  EXPECT_EQ(login("alice", {"wrong"}), PAM_AUTH_ERR);
  EXPECT_TRUE(conv.errors().empty()); // a wrong password is not announced
}

// Where the password comes from, by first_pass_mode and by what an earlier module stacked.
TEST_F(FirstFactor, PasswordSourceByTable) {
  const Reply rejected = http_reply(200, R"({"errorCode": 9001})");
  const Reply dropped = Reply{.close_without_reply = true};
  struct Case {
    std::string mode;           // a first_pass_mode flag, or "" for the default
    const char *stacked;        // PAM_AUTHTOK from an earlier module, or null
    std::vector<Reply> replies; // to the password checks, in order (then acceptance)
    int rc;
    int prompts;  // password prompts shown
    Strings sent; // passwords the server received
  } cases[] = {
      // The default prompts, and never reads a stacked password.
      {"", "stacked", {}, PAM_SUCCESS, 1, {"typed"}},
      // An unreachable server is passed on.
      {"", nullptr, {dropped}, PAM_AUTHINFO_UNAVAIL, 1, {"typed"}},
      // try_first_pass uses the stacked password without a prompt...
      {"try_first_pass", "stacked", {}, PAM_SUCCESS, 0, {"stacked"}},
      // ...prompts after any failure of it (an unreachable server too; the answer decides)...
      {"try_first_pass", "stacked", {rejected}, PAM_SUCCESS, 1, {"stacked", "typed"}},
      {"try_first_pass", "stacked", {dropped, rejected}, PAM_AUTH_ERR, 1, {"stacked", "typed"}},
      // ...and prompts once without one.
      {"try_first_pass", nullptr, {}, PAM_SUCCESS, 1, {"typed"}},
      // use_first_pass never prompts: without a stacked password there is no request at all,
      // and an unreachable server is a plain failure, not PAM_AUTHINFO_UNAVAIL.
      {"use_first_pass", nullptr, {}, PAM_AUTH_ERR, 0, {}},
      {"use_first_pass", "stacked", {}, PAM_SUCCESS, 0, {"stacked"}},
      {"use_first_pass", "stacked", {rejected}, PAM_AUTH_ERR, 0, {"stacked"}},
      {"use_first_pass", "stacked", {dropped}, PAM_AUTH_ERR, 0, {"stacked"}},
  };
  for (const Case &c : cases) {
    const std::string what = c.mode + (c.stacked != nullptr ? " stacked" : " nothing stacked") +
                             " " + std::to_string(c.replies.size()) + " replies";
    configure(c.mode.empty() ? Strings{"auth_mode_1fa"} : Strings{"auth_mode_1fa", c.mode});
    if (c.stacked != nullptr) {
      stack_password(c.stacked);
    } else {
      unsetenv("PAM_AUTHTOK");
      service = kService;
    }
    fake.clear();
    for (const Reply &reply : c.replies) fake.queue("validate_user", reply);
    EXPECT_EQ(login("alice", {"typed"}), c.rc) << what;
    EXPECT_EQ(conv.prompt_texts(), Strings(c.prompts, kPasswordPrompt)) << what;
    EXPECT_EQ(passwords_sent(), c.sent) << what;
    EXPECT_EQ(request_types(), Strings(c.sent.size(), "validate_user")) << what;
  }
}

TEST_F(FirstFactor, AnswerIsSplitAtTheLastDelimiterWhenACodeFollows) {
  struct Case {
    std::string answer, password, code;
  } cases[] = {
      {"pw,123456", "pw", "123456"},
      {"a,b,c,123456", "a,b,c", "123456"}, // only the last delimiter counts
      {",123456", "", "123456"},           // an empty password goes to the server as it is
      {"pw,,123", "pw,", "123"},           // three digits are a code
      {"pw,1234567890", "pw", "1234567890"},
  };
  for (const Case &c : cases) {
    fake.clear();
    EXPECT_EQ(login("alice", {c.answer}), PAM_SUCCESS) << c.answer;
    EXPECT_EQ(request_types(), (Strings{"validate_user", "validate_oath_otp"})) << c.answer;
    EXPECT_EQ(passwords_sent(), Strings{c.password}) << c.answer;
    EXPECT_EQ(codes_sent(), Strings{c.code}) << c.answer;
    for (const ZvRequest &r : fake.requests("validate_oath_otp")) EXPECT_EQ(r.username, "alice");
  }
}

TEST_F(FirstFactor, AnswerWithoutAValidCodeTailIsOnePassword) {
  for (const std::string answer :
       {"pw,12", "pw,12345678901", "pw,12a456", "pw,", "pw,123456 ", "pw;123456", "123456"}) {
    fake.clear();
    EXPECT_EQ(login("alice", {answer}), PAM_SUCCESS) << answer;
    EXPECT_EQ(passwords_sent(), Strings{answer});
    EXPECT_TRUE(codes_sent().empty()) << answer;
  }
}

TEST_F(FirstFactor, ConfiguredDelimiterReplacesTheComma) {
  configure({"auth_mode_1fa", "password_otp_delimiter_char=#"});
  EXPECT_EQ(login("alice", {"p,w#123456"}), PAM_SUCCESS);
  EXPECT_EQ(passwords_sent(), Strings{"p,w"});
  EXPECT_EQ(codes_sent(), Strings{"123456"});
}

TEST_F(FirstFactor, StackedPasswordIsSplitToo) {
  configure({"auth_mode_1fa", "use_first_pass"});
  stack_password("pw,654321");
  EXPECT_EQ(login("alice", {}), PAM_SUCCESS);
  EXPECT_EQ(passwords_sent(), Strings{"pw"});
  EXPECT_EQ(codes_sent(), Strings{"654321"});
}

TEST_F(FirstFactor, RejectedPasswordKeepsTheCodeBack) {
  fake.queue_json("validate_user", R"({"errorCode": 9001})");
  EXPECT_EQ(login("alice", {"pw,123456"}), PAM_AUTH_ERR);
  EXPECT_EQ(request_types(), Strings{"validate_user"});

  fake.clear();
  fake.queue("validate_user", Reply{.close_without_reply = true});
  EXPECT_EQ(login("alice", {"pw,123456"}), PAM_AUTHINFO_UNAVAIL);
  EXPECT_EQ(request_types(), Strings{"validate_user"});
}

TEST_F(FirstFactor, RejectedCodeFailsTheFactor) {
  fake.queue_json("validate_oath_otp", R"({"errorCode": 9003})");
  EXPECT_EQ(login("alice", {"pw,123456"}), PAM_AUTH_ERR);
  EXPECT_EQ(request_types(), (Strings{"validate_user", "validate_oath_otp"}));
}

TEST_F(FirstFactor, EmptyOrMissingAnswerFailsWithoutARequest) {
  EXPECT_EQ(login("alice", {""}), PAM_AUTH_ERR);
  for (int fault = 0; fault < 3; fault++) {
    conv = Conversation{};
    conv.answers = {"s3cret"};
    (fault == 0   ? conv.fail_at_prompt
     : fault == 1 ? conv.no_response_at_prompt
                  : conv.null_text_at_prompt) = 0;
    EXPECT_EQ(pam_run(kService, "alice", conv), PAM_AUTH_ERR) << fault;
    EXPECT_TRUE(conv.errors().empty()) << fault;
  }
  EXPECT_TRUE(fake.requests().empty());
}

// What the password check leaves in the PAM handle, read by a module stacked below.
class PasswordItem : public FirstFactor {
protected:
  // Runs pam_authenticate and then returns the PAM environment, into which pam_get_items.so
  // (below the module) copied every item it could read.
  std::map<std::string, std::string> items_after_login(const char *stack, const std::string &answer,
                                                       int *rc) {
    const char *answers[] = {answer.c_str(), nullptr};
    pamtest_conv_data data{};
    data.in_echo_off = answers;
    pam_testcase cases[] = {pam_test(PAMTEST_AUTHENTICATE, PAM_SUCCESS),
                            pam_test(PAMTEST_GETENVLIST, PAM_SUCCESS)};
    const pamtest_err err = _pamtest(stack, "alice", &data, cases, 2, nullptr);
    EXPECT_TRUE(err == PAMTEST_ERR_OK || err == PAMTEST_ERR_CASE) << err;
    *rc = cases[0].op_rv;
    std::map<std::string, std::string> env;
    for (char **e = cases[1].case_out.envlist; e != nullptr && *e != nullptr; e++) {
      const char *eq = std::strchr(*e, '=');
      if (eq != nullptr) env[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    pamtest_free_env(cases[1].case_out.envlist);
    return env;
  }
};

TEST_F(PasswordItem, TypedPasswordIsNeverStoredAsAuthtok) {
  int rc = -1;
  auto items = items_after_login(kItemsService, "s3cret,123456", &rc);
  EXPECT_EQ(rc, PAM_SUCCESS);
  EXPECT_EQ(items.count("PAM_USER"), 1u); // the probe module did run
  EXPECT_EQ(items.count("PAM_AUTHTOK"), 0u);

  // A stacked password stays what the earlier module set.
  setenv("PAM_AUTHTOK", "stacked", 1);
  items = items_after_login(kStackedItemsService, "s3cret", &rc);
  EXPECT_EQ(rc, PAM_SUCCESS);
  EXPECT_EQ(items["PAM_AUTHTOK"], "stacked");
  EXPECT_EQ(passwords_sent(), (Strings{"s3cret", "s3cret"}));
}
