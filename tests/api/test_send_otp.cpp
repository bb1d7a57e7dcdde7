// send_oath_otp against the loopback fake server: every row of its failure table, the
// confirmation text and the delivery method the server received.
#include "op_fixture.h"

using namespace zvtest;

namespace {

class SendOtp : public OperationTest {
protected:
  int run(Reply reply) {
    fake.queue("send_oath_otp", std::move(reply));
    return send_oath_otp(params.get(), "alice");
  }
  int run_json(const std::string &json) { return run(http_reply(200, json)); }
};

} // namespace

TEST_F(SendOtp, ConfirmsWithTheMethodText) {
  configure({"send_otp_method=email", "debug"});
  EXPECT_EQ(run_json(R"({"errorCode": 0})"), PAM_SUCCESS);
  EXPECT_EQ(said, std::vector<Said>{info("Sent OTP email message.\n")});
  EXPECT_TRUE(syslog_has_line("send_oath_otp", "START"));
  EXPECT_TRUE(error_lines().empty());
  const auto requests = fake.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, "{\n"
                              "  \"type\": \"send_oath_otp\",\n"
                              "  \"username\": \"alice\",\n"
                              "  \"deliveryMethod\": 1\n"
                              "}");
}

TEST_F(SendOtp, DeliveryMethodMapping) {
  const std::pair<const char *, const char *> cases[] = {
      {"sms", "0"}, {"email", "1"}, {"voice", "2"}, {"Voice", "0"}, {"pigeon", "0"}};
  for (const auto &[method, number] : cases) {
    configure({std::string("send_otp_method=") + method});
    said.clear();
    EXPECT_EQ(run_json(R"({"errorCode": 0})"), PAM_SUCCESS);
    EXPECT_EQ(said, std::vector<Said>{info(std::string("Sent OTP ") + method + " message.\n")});
    EXPECT_EQ(fake.requests().back().deliveryMethod, number) << method;
  }
  EXPECT_FALSE(syslog_has_line("send_oath_otp", "START")); // debug is off
}

TEST_F(SendOtp, FailureTable) {
  configure({"send_otp_method=sms"});
  // Every non-zero code is a server error, the configuration code included.
  EXPECT_EQ(run_json(R"({"errorCode": 9131, "errorMessage": "no tenant"})"), PAM_AUTH_ERR);
  EXPECT_EQ(said, std::vector<Said>{error(kServerError)});
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{"send_oath_otp: error_message: no tenant (9131)"});
  said.clear();
  syslog_clear();

  EXPECT_EQ(run_json(R"({"errorCode": 17})"), PAM_AUTH_ERR);
  EXPECT_EQ(said, std::vector<Said>{error(kServerError)});
  EXPECT_EQ(error_lines(), std::vector<std::string>{"send_oath_otp: error_message: (none) (17)"});
  said.clear();
  syslog_clear();

  // Not JSON: logged on one line, nothing for the user.
  EXPECT_EQ(run(http_reply(200, "bad\r\ngateway\n")), PAM_AUTH_ERR);
  EXPECT_TRUE(said.empty());
  EXPECT_EQ(error_lines(),
            std::vector<std::string>{"send_oath_otp: error parsing json response: bad  gateway "});
  syslog_clear();

  EXPECT_EQ(run(http_reply(200, "")), PAM_AUTH_ERR);
  EXPECT_EQ(said, std::vector<Said>{error(kInvalidResponse)});
  EXPECT_EQ(error_lines(), std::vector<std::string>{"send_oath_otp: error MISSING json response!"});
  said.clear();
  syslog_clear();

  // An HTTP error is the server's answer; only 502, 503 and 504 are an outage.
  EXPECT_EQ(run(http_reply(404, R"({"errorCode": 0})")), PAM_AUTH_ERR);
  EXPECT_EQ(said, std::vector<Said>{error(kServerError)});
  said.clear();
  EXPECT_EQ(run(http_reply(503, R"({"errorCode": 0})")), PAM_AUTHINFO_UNAVAIL);
  EXPECT_TRUE(said.empty());
}

TEST_F(SendOtp, ReplyWithoutErrorCodeCountsAsSent) {
  configure({"send_otp_method=voice"});
  EXPECT_EQ(run_json(R"({"errorMessage": "queued"})"), PAM_SUCCESS);
  EXPECT_EQ(run_json("[]"), PAM_SUCCESS);
  EXPECT_EQ(said, std::vector<Said>(2, info("Sent OTP voice message.\n")));
}

TEST_F(SendOtp, BodyThatCannotBeBuiltSendsNothing) {
  EXPECT_EQ(send_oath_otp(params.get(), "alice"), PAM_BUF_ERR); // no method chosen
  configure({"send_otp_method=sms"});
  EXPECT_EQ(send_oath_otp(params.get(), "\xfe"), PAM_BUF_ERR);
  EXPECT_TRUE(said.empty());
  EXPECT_TRUE(fake.requests().empty());
}
