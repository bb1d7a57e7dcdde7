// send_oath_otp against the loopback fake server: every row of its table of replies, the
// confirmation text and the delivery method the server received.
#include "op_fixture.h"

using namespace zvtest;

namespace {

class SendOtp : public OperationTest {
protected:
  void expect(const std::vector<ReplyCase> &cases) {
    expect_cases("send_oath_otp", cases, [this] { return send_oath_otp(params.get(), "alice"); });
  }
};

} // namespace

TEST_F(SendOtp, ConfirmsWithTheMethodText) {
  configure({"send_otp_method=email", "debug"});
  expect({{json_reply(R"({"errorCode": 0})"),
           PAM_SUCCESS,
           0,
           {info("Sent OTP email message.\n")},
           {}}});
  EXPECT_TRUE(logged({LOG_DEBUG, "send_oath_otp: START"}));
  EXPECT_EQ(bodies(), std::vector<std::string>{json_body({{"type", R"("send_oath_otp")"},
                                                          {"username", R"("alice")"},
                                                          {"deliveryMethod", "1"}})});
}

TEST_F(SendOtp, DeliveryMethodMapping) {
  const std::pair<const char *, const char *> cases[] = {
      {"sms", "0"}, {"email", "1"}, {"voice", "2"}, {"Voice", "0"}, {"pigeon", "0"}};
  for (const auto &[method, number] : cases) {
    configure({std::string("send_otp_method=") + method});
    expect({{json_reply(R"({"errorCode": 0})"),
             PAM_SUCCESS,
             0,
             {info(std::string("Sent OTP ") + method + " message.\n")},
             {}}});
    EXPECT_EQ(fake.requests().back().deliveryMethod, number) << method;
    EXPECT_EQ(count_logged(LOG_DEBUG, "send_oath_otp: START"), 0u); // debug is off
  }
}

TEST_F(SendOtp, EveryReplyByTable) {
  configure({"send_otp_method=voice"});
  const PamMessages sent = {info("Sent OTP voice message.\n")};
  expect({
      // Every non-zero code is a server error, the configuration code included.
      {json_reply(R"({"errorCode": 9131, "errorMessage": "no tenant"})"),
       PAM_AUTH_ERR,
       0,
       {error(kServerError)},
       {{LOG_ERR, "send_oath_otp: error_message: no tenant (9131)"}}},
      {json_reply(R"({"errorCode": 17})"),
       PAM_AUTH_ERR,
       0,
       {error(kServerError)},
       {{LOG_ERR, "send_oath_otp: error_message: (none) (17)"}}},
      // Not JSON: logged on one line, nothing for the user.
      {json_reply("bad\r\ngateway\n"),
       PAM_AUTH_ERR,
       0,
       {},
       {{LOG_ERR, "send_oath_otp: error parsing json response: bad  gateway "}}},
      // Text from the server is logged escaped and cut after 1024 bytes, its length noted: a
      // deeply nested reply, and an error message with control characters.
      {json_reply(std::string(100000, '[')),
       PAM_AUTH_ERR,
       0,
       {},
       {{LOG_ERR, "send_oath_otp: error parsing json response: " + std::string(1024, '[') +
                      " ... (100000 bytes)"}}},
      {json_reply("\x1b[2Jbad\\\x7f\r\n"),
       PAM_AUTH_ERR,
       0,
       {},
       {{LOG_ERR, "send_oath_otp: error parsing json response: \\x1b[2Jbad\\x5c\\x7f  "}}},
      {json_reply(R"({"errorCode": 18, "errorMessage": "two\nlines\u001b[0m"})"),
       PAM_AUTH_ERR,
       0,
       {error(kServerError)},
       {{LOG_ERR, "send_oath_otp: error_message: two\\x0alines\\x1b[0m (18)"}}},
      {json_reply(R"({"errorCode": 19, "errorMessage": ")" + std::string(5000, 'm') + R"("})"),
       PAM_AUTH_ERR,
       0,
       {error(kServerError)},
       {{LOG_ERR,
         "send_oath_otp: error_message: " + std::string(1024, 'm') + " ... (5000 bytes) (19)"}}},
      {json_reply(""),
       PAM_AUTH_ERR,
       0,
       {error(kInvalidResponse)},
       {{LOG_ERR, "send_oath_otp: error MISSING json response!"}}},
      // An HTTP error is the server's answer; only 502, 503 and 504 are an outage.
      {http_reply(404, R"({"errorCode": 0})"),
       PAM_AUTH_ERR,
       0,
       {error(kServerError)},
       {{LOG_ERR, "post_json_request: HTTP 404 response from server"}}},
      {http_reply(503, R"({"errorCode": 0})"),
       PAM_AUTHINFO_UNAVAIL,
       0,
       {},
       {{LOG_ERR, "post_json_request: HTTP 503 response from server"}}},
      // A reply without an error code counts as sent.
      {json_reply(R"({"errorMessage": "queued"})"), PAM_SUCCESS, 0, sent, {}},
      {json_reply("[]"), PAM_SUCCESS, 0, sent, {}},
  });
}

TEST_F(SendOtp, BodyThatCannotBeBuiltSendsNothing) {
  EXPECT_EQ(send_oath_otp(params.get(), "alice"), PAM_BUF_ERR); // no method chosen
  configure({"send_otp_method=sms"});
  EXPECT_EQ(send_oath_otp(params.get(), "\xfe"), PAM_BUF_ERR);
  EXPECT_TRUE(said.empty());
  EXPECT_TRUE(fake.requests().empty());
}
