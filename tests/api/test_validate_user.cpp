// validate_user against the loopback fake server: every row of its table of replies, the
// request the server received, and replies that do not state their outcome.
#include <climits>

#include "op_fixture.h"

using namespace zvtest;

namespace {

// The name the operation logs under.
const char *const kOp = "validate_user_error_code";

class ValidateUser : public OperationTest {
protected:
  // The cases with alice's password: the status of validate_user_error_code, then the PAM code
  // of validate_user.
  void expect(const std::vector<ReplyCase> &cases) {
    expect_cases("validate_user", cases, validate_user_error_code, validate_user, "s3cret");
  }
};

} // namespace

TEST_F(ValidateUser, AcceptedPasswordSendsTheExactBody) {
  expect({{json_reply(R"({"errorCode": 0})"), 0, PAM_SUCCESS, {}, {}}});
  const std::string body = json_body(
      {{"type", R"("validate_user")"}, {"username", R"("alice")"}, {"pw", R"("s3cret")"}});
  EXPECT_EQ(bodies(), (std::vector<std::string>{body, body}));
}

TEST_F(ValidateUser, ServerCodesByTable) {
  expect({
      // 9001: a plain rejection, neither shown nor logged.
      {json_reply(R"({"errorCode": 9001, "errorMessage": "Invalid credentials"})"),
       9001,
       PAM_AUTH_ERR,
       {},
       {}},
      {json_reply(R"({"errorCode": 9131, "errorMessage": "no such tenant"})"),
       9131,
       PAM_AUTH_ERR,
       {error(kConfigurationError)},
       {{LOG_ERR, "validate_user_error_code: pam_zelvane configuration error. (9131)"}}},
      {json_reply(R"({"errorCode": 9002, "errorMessage": "Account locked"})"),
       9002,
       PAM_AUTH_ERR,
       {error(kServerError)},
       {{LOG_ERR, "validate_user_error_code: error_message: Account locked (9002)"}}},
      {json_reply(R"({"errorCode": 9003, "errorMessage": 17})"),
       9003,
       PAM_AUTH_ERR,
       {error(kServerError)},
       {{LOG_ERR, "validate_user_error_code: error_message: (none) (9003)"}}},
      // A negative code is a refusal like any other, never one of the module's own statuses
      // (-9 would read as "unavailable", which a fail-open stack skips; -25 as PAM_IGNORE).
      {json_reply(R"({"errorCode": -9, "errorMessage": "down"})"),
       ZV_STATUS_NEGATIVE_CODE,
       PAM_AUTH_ERR,
       {error(kServerError)},
       {{LOG_ERR, "validate_user_error_code: error_message: down (-9)"}}},
      {json_reply(R"({"errorCode": -25})"),
       ZV_STATUS_NEGATIVE_CODE,
       PAM_AUTH_ERR,
       {error(kServerError)},
       {{LOG_ERR, "validate_user_error_code: error_message: (none) (-25)"}}},
      {json_reply(R"({"errorCode": -2147483648})"),
       ZV_STATUS_NEGATIVE_CODE,
       PAM_AUTH_ERR,
       {error(kServerError)},
       {{LOG_ERR, "validate_user_error_code: error_message: (none) (-2147483648)"}}},
  });
}

TEST_F(ValidateUser, ReplyThatIsNotAnAnswerNeverAccepts) {
  expect({
      // Not JSON: logged on one line.
      unreadable(kOp, "<html>\r\n<b>oops</b>\n</html>", "<html>  <b>oops</b> </html>"),
      // No integer errorCode.
      unreadable(kOp, R"({"errorMessage": "fine"})", R"({"errorMessage": "fine"})"),
      unreadable(kOp, R"({"errorCode": "0"})", R"({"errorCode": "0"})"),
      unreadable(kOp, "{\"errorCode\": \"9001\",\r\n \"x\": 1}",
                 "{\"errorCode\": \"9001\",   \"x\": 1}"),
      unreadable(kOp, R"({"errorCode": 0.0})", R"({"errorCode": 0.0})"),
      unreadable(kOp, R"({"errorCode": null})", R"({"errorCode": null})"),
      unreadable(kOp, R"([{"errorCode": 0}])", R"([{"errorCode": 0}])"),
      unreadable(kOp, "[]", "[]"),
      unreadable(kOp, R"({"errorCode": 4294967296})",
                 R"({"errorCode": 4294967296})"), // low 32 bits 0
      // A member given twice leaves the outcome open, whichever copy says 0.
      unreadable(kOp, R"({"errorCode": 9001, "errorCode": 0})",
                 R"({"errorCode": 9001, "errorCode": 0})"),
      unreadable(kOp, R"({"errorCode": 0, "errorMessage": "a", "errorMessage": "b"})",
                 R"({"errorCode": 0, "errorMessage": "a", "errorMessage": "b"})"),
      // No body at all.
      {json_reply(""),
       ZV_STATUS_BAD_REPLY,
       PAM_AUTH_ERR,
       {error(kInvalidResponse)},
       {{LOG_ERR, "validate_user_error_code: error MISSING json response!"}}},
  });
}

TEST_F(ValidateUser, FailedRequestIsUnavailableAndSilent) {
  expect({
      // An HTTP error is the server's answer; only 502, 503 and 504 are an outage.
      {http_reply(400, R"({"errorCode": 0})"),
       ZV_STATUS_BAD_REPLY,
       PAM_AUTH_ERR,
       {error(kServerError)},
       {{LOG_ERR, "post_json_request: HTTP 400 response from server"}}},
      {http_reply(503, R"({"errorCode": 0})"),
       ZV_STATUS_UNREACHABLE,
       PAM_AUTHINFO_UNAVAIL,
       {},
       {{LOG_ERR, "post_json_request: HTTP 503 response from server"}}},
      {dropped(), ZV_STATUS_UNREACHABLE, PAM_AUTHINFO_UNAVAIL, {}, {}},
  });
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
  // (the fake server accepts by default)
  EXPECT_EQ(validate_user_error_code(params.get(), "jürgen", "pässwörd"), 0);
  EXPECT_EQ(validate_user(params.get(), "jürgen", "pässwörd"), PAM_SUCCESS);
  const auto requests = fake.requests("validate_user");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].username, "jürgen");
  EXPECT_EQ(requests[0].pw, "pässwörd");
  EXPECT_NE(requests[0].body.find("\"jürgen\""), std::string::npos);
}

TEST_F(ValidateUser, FakeServerSettingsWorkFromTheConfigurationFileAndByName) {
  fake.write_config({"debug"}, "localhost");
  zv::ParamsScope from_file;
  ASSERT_EQ(read_params(pamh, 0, nullptr, from_file.get()), 0);
  EXPECT_STREQ(from_file->host, "localhost");
  EXPECT_EQ(from_file->debug, 1);
  fake.queue_json("validate_user", R"({"errorCode": 9001})");
  EXPECT_EQ(validate_user_error_code(from_file.get(), "alice", "pw"), ZV_ERR_BAD_PASSWORD);
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0].pw, "pw");
}
