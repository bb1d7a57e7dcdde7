// validate_user against the loopback fake server: every row of its failure table, the request
// the server received, and replies that do not state their outcome.
#include "op_fixture.h"

using namespace zvtest;

namespace {

class ValidateUser : public OperationTest {
protected:
  // Runs one validation against a scripted reply; returns {status, PAM code of a second call
  // with the same reply}.
  std::pair<int, int> run(Reply reply, const char *user = "alice", const char *pw = "s3cret") {
    fake.queue("validate_user", reply);
    fake.queue("validate_user", reply);
    const int status = validate_user_error_code(params.get(), user, pw);
    said.clear();
    syslog_clear();
    const int pam = validate_user(params.get(), user, pw);
    return {status, pam};
  }
  std::pair<int, int> run_json(const std::string &json) { return run(http_reply(200, json)); }
};

} // namespace

TEST_F(ValidateUser, AcceptedPasswordSendsTheExactBody) {
  EXPECT_EQ(run_json(R"({"errorCode": 0})"), std::make_pair(0, PAM_SUCCESS));
  EXPECT_TRUE(said.empty());
  EXPECT_TRUE(error_lines().empty());
  const auto requests = fake.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].body, "{\n"
                              "  \"type\": \"validate_user\",\n"
                              "  \"username\": \"alice\",\n"
                              "  \"pw\": \"s3cret\"\n"
                              "}");
}

TEST_F(ValidateUser, ServerCodesByTable) {
  // 9001: a plain rejection, neither shown nor logged.
  EXPECT_EQ(run_json(R"({"errorCode": 9001, "errorMessage": "Invalid credentials"})"),
            std::make_pair(9001, PAM_AUTH_ERR));
  EXPECT_TRUE(said.empty());
  EXPECT_TRUE(error_lines().empty());

  EXPECT_EQ(run_json(R"({"errorCode": 9131, "errorMessage": "no such tenant"})"),
            std::make_pair(9131, PAM_AUTH_ERR));
  EXPECT_EQ(said, std::vector<Said>{error(kConfigurationError)});
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{
                "validate_user_error_code: pam_zelvane configuration error. (9131)"});

  EXPECT_EQ(run_json(R"({"errorCode": 9002, "errorMessage": "Account locked"})"),
            std::make_pair(9002, PAM_AUTH_ERR));
  EXPECT_EQ(said, std::vector<Said>{error(kServerError)});
  EXPECT_EQ(error_lines(), std::vector<std::string>{
                               "validate_user_error_code: error_message: Account locked (9002)"});

  EXPECT_EQ(run_json(R"({"errorCode": 9003, "errorMessage": 17})"),
            std::make_pair(9003, PAM_AUTH_ERR));
  EXPECT_EQ(said, std::vector<Said>{error(kServerError)});
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{"validate_user_error_code: error_message: (none) (9003)"});
}

// A server's negative code is a refusal like any other: never one of the module's own statuses
// (-9 would read as "unavailable", which a fail-open stack skips; -25 as PAM_IGNORE).
TEST_F(ValidateUser, NegativeServerCodesAreRefusals) {
  for (const char *code : {"-9", "-10", "-25", "-2147483648"}) {
    said.clear();
    syslog_clear();
    EXPECT_EQ(run_json(std::string(R"({"errorMessage": "down", "errorCode": )") + code + "}"),
              std::make_pair(ZV_STATUS_NEGATIVE_CODE, PAM_AUTH_ERR));
    EXPECT_EQ(said, std::vector<Said>{error(kServerError)});
    EXPECT_EQ(error_lines(), std::vector<std::string>{"validate_user_error_code: error_message: "
                                                      "down (" +
                                                      std::string(code) + ")"});
  }
}

// A member given twice leaves the outcome open: the reply is unusable, whichever copy says 0.
TEST_F(ValidateUser, RepeatedMembersMakeAReplyUnusable) {
  for (const char *json : {R"({"errorCode": 9001, "errorCode": 0})",
                           R"({"errorCode": 0, "errorMessage": "a", "errorMessage": "b"})"}) {
    EXPECT_EQ(run_json(json), std::make_pair(ZV_STATUS_BAD_REPLY, PAM_AUTH_ERR)) << json;
  }
}

TEST_F(ValidateUser, ReplyThatIsNotJsonIsLoggedOnOneLine) {
  EXPECT_EQ(run(http_reply(200, "<html>\r\n<b>oops</b>\n</html>")),
            std::make_pair(ZV_STATUS_BAD_REPLY, PAM_AUTH_ERR));
  EXPECT_EQ(said, std::vector<Said>{error(kServerError)});
  EXPECT_EQ(error_lines(), std::vector<std::string>{"validate_user_error_code: error parsing json "
                                                    "response: <html>  <b>oops</b> </html>"});
}

TEST_F(ValidateUser, ReplyWithoutAnIntegerErrorCodeNeverAccepts) {
  const std::pair<const char *, const char *> replies[] = {
      {R"({"errorMessage": "fine"})", R"({"errorMessage": "fine"})"},
      {R"({"errorCode": "0"})", R"({"errorCode": "0"})"},
      {"{\"errorCode\": \"9001\",\r\n \"x\": 1}", "{\"errorCode\": \"9001\",   \"x\": 1}"},
      {R"({"errorCode": 0.0})", R"({"errorCode": 0.0})"},
      {R"({"errorCode": null})", R"({"errorCode": null})"},
      {R"([{"errorCode": 0}])", R"([{"errorCode": 0}])"},
      {"[]", "[]"},
      {R"({"errorCode": 4294967296})", R"({"errorCode": 4294967296})"}, // low 32 bits are 0
  };
  for (const auto &[reply, logged] : replies) {
    EXPECT_EQ(run_json(reply), std::make_pair(ZV_STATUS_BAD_REPLY, PAM_AUTH_ERR)) << reply;
    EXPECT_EQ(said, std::vector<Said>{error(kServerError)}) << reply;
    EXPECT_EQ(error_lines(),
              std::vector<std::string>{std::string("validate_user_error_code: error parsing json "
                                                   "response: ") +
                                       logged})
        << reply;
  }
}

TEST_F(ValidateUser, MissingReplyBody) {
  EXPECT_EQ(run(http_reply(200, "")), std::make_pair(ZV_STATUS_BAD_REPLY, PAM_AUTH_ERR));
  EXPECT_EQ(said, std::vector<Said>{error(kInvalidResponse)});
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{"validate_user_error_code: error MISSING json response!"});
}

TEST_F(ValidateUser, FailedRequestIsUnavailableAndSilent) {
  Reply dropped;
  dropped.close_without_reply = true;
  for (const Reply &reply : {http_reply(503, R"({"errorCode": 0})"), dropped}) {
    EXPECT_EQ(run(reply), std::make_pair(ZV_STATUS_UNREACHABLE, PAM_AUTHINFO_UNAVAIL));
    EXPECT_TRUE(said.empty());
    for (const std::string &line : error_lines())
      EXPECT_EQ(line.rfind("validate_user", 0), std::string::npos) << line;
  }
}

TEST_F(ValidateUser, BodyThatCannotBeBuiltSendsNothing) {
  const char *bad_user = "al\xffice";
  EXPECT_EQ(validate_user_error_code(params.get(), bad_user, "pw"), ZV_STATUS_BUILD_FAILED);
  EXPECT_EQ(validate_user(params.get(), bad_user, "pw"), PAM_BUF_ERR);
  EXPECT_EQ(validate_user(params.get(), "alice", nullptr), PAM_BUF_ERR);
  EXPECT_TRUE(said.empty());
  EXPECT_TRUE(fake.requests().empty());
}

TEST_F(ValidateUser, NonAsciiUserNameReachesTheServerIntact) {
  EXPECT_EQ(run(http_reply(200, R"({"errorCode": 0})"), "jürgen", "pässwörd"),
            std::make_pair(0, PAM_SUCCESS));
  const auto requests = fake.requests("validate_user");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].username, "jürgen");
  EXPECT_EQ(requests[0].pw, "pässwörd");
  EXPECT_NE(requests[0].body.find("\"jürgen\""), std::string::npos);
}

TEST_F(ValidateUser, FakeServerSettingsWorkFromTheConfigurationFileAndByName) {
  fake.write_config({"debug"}, "localhost");
  ScopedParams from_file;
  ASSERT_EQ(read_params(pamh, 0, nullptr, from_file.get()), 0);
  EXPECT_STREQ(from_file->host, "localhost");
  EXPECT_EQ(from_file->debug, 1);
  fake.queue_json("validate_user", R"({"errorCode": 9001})");
  EXPECT_EQ(validate_user_error_code(from_file.get(), "alice", "pw"), ZV_ERR_BAD_PASSWORD);
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0].pw, "pw");
}
