// validate_oath_otp against the loopback fake server: each row of its table, the storing of
// offline codes, the offline fallback, and replies that do not state their outcome.
#include "op_fixture.h"

#include <openssl/evp.h>
#include <sstream>
#include <unistd.h>

using namespace zvtest;

namespace {

// The name the operation logs under.
const char *const kOp = "validate_oath_otp_error_code";

const char *const kFile = "/etc/zelvane.d/alice.offline";
const char *const kBang = "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!";

std::vector<std::string> read_lines(const char *path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string sha512_hex(const std::string &data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha512(), nullptr);
  std::string out;
  char hex[3];
  for (unsigned int i = 0; i < size; i++) {
    snprintf(hex, sizeof hex, "%02x", digest[i]);
    out += hex;
  }
  return out;
}

// Checks that `line` is "$6$<16-char salt>$<sha512(code salt)>" and returns the salt.
std::string check_line(const std::string &line, const std::string &code) {
  EXPECT_EQ(line.size(), 3u + 16u + 1u + 128u) << line;
  EXPECT_EQ(line.rfind("$6$", 0), 0u) << line;
  if (line.size() != 148) return "";
  const std::string salt = line.substr(3, 16);
  EXPECT_EQ(line[19], '$') << line;
  EXPECT_EQ(
      salt.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
      std::string::npos)
      << line;
  EXPECT_EQ(line.substr(20), sha512_hex(code + salt)) << "code " << code;
  return salt;
}

std::string code_list(int first, int count) {
  std::string out;
  for (int i = 0; i < count; i++) out += (i ? "," : "") + std::to_string(first + i);
  return out;
}

std::string otp_reply(int code, const std::string &codes) {
  return "{\"errorCode\": " + std::to_string(code) + ", \"offlineCodes\": \"" + codes + "\"}";
}

class ValidateOtp : public OperationTest {
protected:
  void SetUp() override {
    OperationTest::SetUp();
    unlink(kFile);
  }
  int run(Reply reply, const char *otp = "123456") {
    fake.queue("validate_oath_otp", std::move(reply));
    return validate_oath_otp_error_code(params.get(), "alice", otp);
  }
  int run_json(const std::string &json) { return run(http_reply(200, json)); }
  // The cases with alice's code 123456: the status of validate_oath_otp_error_code, and the PAM
  // code of validate_oath_otp when `pam` is set.
  void expect(const std::vector<ReplyCase> &cases, bool pam = false) {
    expect_cases("validate_oath_otp", cases, validate_oath_otp_error_code,
                 pam ? validate_oath_otp : nullptr, "123456");
  }
  // A stock of codes 100001.. stored through an accepted online validation.
  void store_stock(int count) {
    ASSERT_EQ(run_json(otp_reply(0, code_list(100001, count))), 0);
    ASSERT_EQ(read_lines(kFile).size(), static_cast<size_t>(count));
    said.clear();
    syslog_clear();
  }
  PamMessages no_codes_banner() const {
    return {info(kBang), info("!!! There are no offline codes available.                     !!!"),
            info("!!! Reconnect to the network to replenish your offline codes. !!!"), info(kBang)};
  }
};

} // namespace

TEST_F(ValidateOtp, BodyCarriesOcodesOnlyWithOfflineCodes) {
  EXPECT_EQ(validate_oath_otp(params.get(), "alice", "123456"), PAM_SUCCESS);
  configure({"offline_codes"});
  EXPECT_EQ(validate_oath_otp(params.get(), "alice", "654321"), PAM_SUCCESS);
  EXPECT_EQ(bodies(), (std::vector<std::string>{json_body({{"type", R"("validate_oath_otp")"},
                                                           {"username", R"("alice")"},
                                                           {"otp", R"("123456")"}}),
                                                json_body({{"type", R"("validate_oath_otp")"},
                                                           {"username", R"("alice")"},
                                                           {"otp", R"("654321")"},
                                                           {"ocodes", "-1"}})}));
  EXPECT_TRUE(said.empty());
}

TEST_F(ValidateOtp, StatusesThatStoreTheOfflineCodes) {
  configure({"offline_codes", "offline_codes_reserve=0"});
  int first = 200000;
  for (int code : {0, 9111, 9116, 9030}) {
    const std::string codes = code_list(first, 3);
    EXPECT_EQ(run_json(otp_reply(code, codes)), code);
    fake.queue_json("validate_oath_otp", otp_reply(code, codes));
    EXPECT_EQ(validate_oath_otp(params.get(), "alice", "x"),
              code == 0 ? PAM_SUCCESS : PAM_AUTH_ERR);
    const auto lines = read_lines(kFile);
    ASSERT_EQ(lines.size(), 3u) << code;
    for (int i = 0; i < 3; i++) check_line(lines[i], std::to_string(first + i));
    EXPECT_TRUE(said.empty()) << code;
    EXPECT_TRUE(log_lines_up_to(LOG_ERR).empty()) << code;
    first += 10;
  }
}

TEST_F(ValidateOtp, StatusesThatLeaveTheFileAlone) {
  configure({"offline_codes", "offline_codes_reserve=0"});
  store_stock(2);
  const auto before = read_lines(kFile);
  const std::string codes = code_list(300000, 4);

  expect({
      {json_reply(otp_reply(9003, codes)), 9003, 0, {}, {}},
      {json_reply(R"({"errorCode": 9131, "errorMessage": "bad key", "offlineCodes": "1,2"})"),
       9131,
       0,
       {error(kConfigurationError)},
       {{LOG_ERR, "validate_oath_otp_error_code: pam_zelvane configuration error. (9131)"}}},
      {json_reply(R"({"errorCode": 9020, "errorMessage": "Token locked", "offlineCodes": "1"})"),
       9020,
       0,
       {error(kServerError)},
       {{LOG_ERR, "validate_oath_otp_error_code: error_message: Token locked (9020)"}}},
      {json_reply(R"({"errorCode": 9021})"),
       9021,
       0,
       {error(kServerError)},
       {{LOG_ERR, "validate_oath_otp_error_code: error_message: (none) (9021)"}}},
      // Accepted, but no codes to store.
      {json_reply(R"({"errorCode": 0})"), 0, 0, {}, {}},
      {json_reply(R"({"errorCode": 0, "offlineCodes": ""})"), 0, 0, {}, {}},
      {json_reply(R"({"errorCode": 0, "offlineCodes": ",,"})"), 0, 0, {}, {}},
      {json_reply(R"({"errorCode": 0, "offlineCodes": ["1", "2"]})"), 0, 0, {}, {}},
  });
  EXPECT_EQ(read_lines(kFile), before);
}

TEST_F(ValidateOtp, ReserveLimitsTheStoredCodes) {
  const std::pair<const char *, size_t> cases[] = {{"offline_codes_reserve=5", 7},
                                                   {"offline_codes_reserve=0", 12},
                                                   {"offline_codes_reserve=12", 12},
                                                   {"offline_codes_reserve=13", 12}};
  for (const auto &[option, stored] : cases) {
    configure({"offline_codes", option});
    EXPECT_EQ(run_json(otp_reply(0, code_list(400001, 12))), 0);
    const auto lines = read_lines(kFile);
    ASSERT_EQ(lines.size(), stored) << option;
    for (size_t i = 0; i < stored; i++) check_line(lines[i], std::to_string(400001 + i));
  }
}

TEST_F(ValidateOtp, TheSameCodesStoredTwiceGiveDifferentLines) {
  configure({"offline_codes"}); // reserve 5 is not below the 2 codes: both are kept
  const std::string reply = otp_reply(0, "111111,222222");
  EXPECT_EQ(run_json(reply), 0);
  const auto first = read_lines(kFile);
  EXPECT_EQ(run_json(reply), 0);
  const auto second = read_lines(kFile);
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(second.size(), 2u);
  for (size_t i = 0; i < 2; i++) {
    const std::string code = i == 0 ? "111111" : "222222";
    EXPECT_NE(check_line(first[i], code), check_line(second[i], code));
    EXPECT_NE(first[i], second[i]);
  }
}

TEST_F(ValidateOtp, ReplyThatIsNotJsonNeverFallsBack) {
  configure({"offline_codes", "offline_codes_reserve=0"});
  store_stock(6);
  expect({unreadable(kOp, "Service\r\nUnavailable\n", "Service  Unavailable ")});
  // The stored stock was not consulted: a stored code is refused the same way.
  said.clear();
  fake.queue("validate_oath_otp", http_reply(200, "<html>"));
  EXPECT_EQ(validate_oath_otp(params.get(), "alice", "100001"), PAM_AUTH_ERR);
  EXPECT_EQ(said, PamMessages{error(kServerError)});
  EXPECT_EQ(read_lines(kFile).size(), 6u);
}

TEST_F(ValidateOtp, ReplyWithoutAnIntegerErrorCodeNeverAccepts) {
  configure({"offline_codes", "offline_codes_reserve=0"});
  store_stock(3);
  const auto before = read_lines(kFile);
  expect({
      unreadable(kOp, R"({"offlineCodes": "7,8"})", R"({"offlineCodes (offline codes not logged))"),
      unreadable(kOp, R"({"errorCode": "9003"})", R"({"errorCode": "9003"})"),
      unreadable(kOp, R"({"errorCode": false})", R"({"errorCode": false})"),
      unreadable(kOp, R"([{"errorCode": 0}])", R"([{"errorCode": 0}])"),
      unreadable(kOp, R"({"errorCode": 4294967296, "offlineCodes": "9"})",
                 R"({"errorCode": 4294967296, "offlineCodes (offline codes not logged))"),
  });
  fake.queue_json("validate_oath_otp", R"({"errorMessage": "ok"})");
  EXPECT_EQ(validate_oath_otp(params.get(), "alice", "100001"), PAM_AUTH_ERR);
  EXPECT_EQ(read_lines(kFile), before);
}

TEST_F(ValidateOtp, OfflineCodesOfAnUnusableReplyNeverReachTheLog) {
  configure({"offline_codes", "offline_codes_reserve=0", "debug"});
  // A stock behind a string errorCode, a cut-off reply, and one that is not JSON at all.
  for (const char *reply : {"{\"errorCode\": \"0\", \"offlineCodes\": \"314159,271828\"}",
                            "{\"errorCode\": 0, \"offlineCodes\": \"314159,271828",
                            "codes follow\r\nofflineCodes=314159,271828\r\n"}) {
    syslog_clear();
    EXPECT_EQ(run_json(reply), ZV_STATUS_BAD_REPLY) << reply;
    const auto records = syslog_records();
    ASSERT_FALSE(records.empty()) << reply;
    for (const auto &record : records) {
      EXPECT_EQ(record.text.find("314159"), std::string::npos) << record.text;
      EXPECT_EQ(record.text.find("271828"), std::string::npos) << record.text;
    }
  }
  EXPECT_EQ(log_lines_up_to(LOG_ERR),
            (LogLines{{LOG_ERR, "validate_oath_otp_error_code: error parsing json response: codes "
                                "follow  offlineCodes (offline codes not logged)"}}));
  EXPECT_FALSE(std::ifstream(kFile).good()) << "no stock is stored from an unusable reply";
}

TEST_F(ValidateOtp, MissingReplyOrServerWithoutOfflineCodes) {
  const PamMessages unreachable = {
      error("Unable to connect to the server. Please contact support.")};
  expect(
      {
          {json_reply(""),
           ZV_STATUS_BAD_REPLY,
           PAM_AUTH_ERR,
           {error(kInvalidResponse)},
           {{LOG_ERR, "validate_oath_otp_error_code: error MISSING json response!"}}},
          {http_reply(204, ""),
           ZV_STATUS_BAD_REPLY,
           PAM_AUTH_ERR,
           {error(kInvalidResponse)},
           {{LOG_ERR, "validate_oath_otp_error_code: error MISSING json response!"}}},
          // An HTTP error is the server's answer; only 502, 503 and 504 are an outage.
          {http_reply(500, R"({"errorCode": 0})"),
           ZV_STATUS_BAD_REPLY,
           PAM_AUTH_ERR,
           {error(kServerError)},
           {{LOG_ERR, "post_json_request: HTTP 500 response from server"}}},
          {http_reply(502, ""),
           ZV_STATUS_UNREACHABLE,
           PAM_AUTHINFO_UNAVAIL,
           unreachable,
           {{LOG_ERR, "post_json_request: HTTP 502 response from server"}}},
      },
      true);
}

TEST_F(ValidateOtp, FallsBackToTheOfflineStoreWhenTheServerIsDownOrSilent) {
  configure({"offline_codes", "offline_codes_reserve=0"});
  // No stock yet: the store's banner, and a plain rejection rather than "unavailable".
  EXPECT_EQ(run(http_reply(503, "")), ZV_ERR_BAD_OTP);
  EXPECT_EQ(said, no_codes_banner());
  said.clear();
  EXPECT_EQ(run(http_reply(200, "")), ZV_ERR_BAD_OTP);
  EXPECT_EQ(said, no_codes_banner());

  store_stock(8);
  Reply dropped;
  dropped.close_without_reply = true;
  EXPECT_EQ(run(dropped, "100002"), 0); // uses up 100001 and 100002
  EXPECT_EQ(read_lines(kFile).size(), 6u);
  EXPECT_EQ(run(http_reply(200, ""), "100004"), 0);
  EXPECT_EQ(read_lines(kFile).size(), 4u);
  said.clear();
  for (const char *used : {"100001", "100004", "999999"})
    EXPECT_EQ(run(http_reply(503, ""), used), ZV_ERR_BAD_OTP) << used;
  EXPECT_TRUE(said.empty());
  for (const LogLine &line : log_lines_up_to(LOG_ERR))
    EXPECT_EQ(line.text.find("validate_oath_otp_error_code"), std::string::npos) << line.text;

  // With the server gone altogether.
  fake.server().stop();
  EXPECT_EQ(validate_oath_otp(params.get(), "alice", "100005"), PAM_SUCCESS);
  EXPECT_EQ(validate_oath_otp(params.get(), "alice", "100005"), PAM_AUTH_ERR);
}

TEST_F(ValidateOtp, BodyThatCannotBeBuiltSendsNothing) {
  configure({"offline_codes"});
  EXPECT_EQ(validate_oath_otp_error_code(params.get(), "al\xc0ice", "123456"),
            ZV_STATUS_BUILD_FAILED);
  EXPECT_EQ(validate_oath_otp(params.get(), "alice", "12\xff"), PAM_BUF_ERR);
  EXPECT_EQ(validate_oath_otp(params.get(), "alice", nullptr), PAM_BUF_ERR);
  EXPECT_TRUE(said.empty());
  EXPECT_TRUE(fake.requests().empty());
}

// Any HTTP status but 2xx, 502, 503 and 504 is the server's answer: a server error, never the
// offline codes, never "unavailable" (which a fail-open stack skips).
TEST_F(ValidateOtp, HttpErrorsAreAnswersNotOutages) {
  configure({"offline_codes", "offline_codes_reserve=0"});
  store_stock(6);
  for (int status : {400, 413, 500}) {
    said.clear();
    EXPECT_EQ(run(http_reply(status, ""), "100001"), ZV_STATUS_BAD_REPLY) << status;
    EXPECT_EQ(said, PamMessages{error(kServerError)}) << status;
  }
  EXPECT_EQ(read_lines(kFile).size(), 6u) << "the offline store was not consulted";
  EXPECT_EQ(run(http_reply(503, ""), "100001"), 0) << "an outage: the offline codes decide";
}

TEST_F(ValidateOtp, NegativeCodesAndRepeatedMembersAreRefusals) {
  for (const char *json : {R"({"errorCode": -5})", R"({"errorCode": -9})", R"({"errorCode": -25})",
                           R"({"errorCode": 9003, "errorCode": 0})"}) {
    fake.queue_json("validate_oath_otp", json);
    EXPECT_EQ(validate_oath_otp(params.get(), "alice", "1"), PAM_AUTH_ERR) << json;
  }
}
