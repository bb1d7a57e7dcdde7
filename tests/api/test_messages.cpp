// Request builders (exact bytes), reply parsers, their free functions, remove_json_cr_nl and
// the folding of operation statuses into PAM codes.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <security/pam_modules.h>
#include <string>
#include <vector>

#include "api/api.h"

namespace {

// Builders only read the record; text fields point at literals and are never released here.
module_params make_params() {
  module_params params{};
  params.offline_codes_reserve = 5;
  params.push_app_name = const_cast<char *>("Linux");
  params.push_reason = const_cast<char *>("Login");
  return params;
}

std::string take(char *text) {
  EXPECT_NE(text, nullptr);
  if (text == nullptr) return "<null>";
  std::string out(text);
  free(text);
  return out;
}

std::vector<std::string> codes_of(const validate_otp_response &r) {
  std::vector<std::string> out;
  for (size_t i = 0; i < r.offlineCodesCount; i++) out.emplace_back(r.offlineCodesArray[i]);
  return out;
}

std::vector<std::string> parse_codes(int reserve, const char *json) {
  module_params params = make_params();
  params.offline_codes_reserve = reserve;
  validate_otp_response r{};
  parse_validate_otp_response_json(&params, json, &r);
  EXPECT_NE(r.root, nullptr);
  auto out = codes_of(r);
  free_validate_otp_response_json(&r);
  return out;
}

const char *const kTenCodes =
    R"({"errorCode": 0, "offlineCodes": "1000000001,1000000002,1000000003,1000000004,)"
    R"(1000000005,1000000006,1000000007,1000000008,1000000009,1000000010"})";

} // namespace

TEST(Builders, ValidateUserExactText) {
  const module_params params = make_params();
  EXPECT_EQ(take(get_validate_user_json(&params, "user1", "pa ss\"w\\rd")),
            "{\n"
            "  \"type\": \"validate_user\",\n"
            "  \"username\": \"user1\",\n"
            "  \"pw\": \"pa ss\\\"w\\\\rd\"\n"
            "}");
}

TEST(Builders, ValidateOathOtpCarriesOcodesOnlyWithOfflineCodes) {
  module_params params = make_params();
  EXPECT_EQ(take(get_validate_oath_opt_json(&params, "user1", "123456")),
            "{\n"
            "  \"type\": \"validate_oath_otp\",\n"
            "  \"username\": \"user1\",\n"
            "  \"otp\": \"123456\"\n"
            "}");
  params.offline_codes = 1;
  EXPECT_EQ(take(get_validate_oath_opt_json(&params, "user1", "123456")),
            "{\n"
            "  \"type\": \"validate_oath_otp\",\n"
            "  \"username\": \"user1\",\n"
            "  \"otp\": \"123456\",\n"
            "  \"ocodes\": -1\n"
            "}");
}

TEST(Builders, SendOathOtpMapsTheDeliveryMethodExactly) {
  module_params params = make_params();
  const std::pair<const char *, int> cases[] = {
      {"sms", 0}, {"email", 1}, {"voice", 2}, {"Voice", 0}, {"EMAIL", 0}, {"fax", 0}, {"", 0}};
  for (const auto &[method, number] : cases) {
    params.send_otp_method = const_cast<char *>(method);
    EXPECT_EQ(take(get_send_oath_otp_json(&params, "user1")), "{\n"
                                                              "  \"type\": \"send_oath_otp\",\n"
                                                              "  \"username\": \"user1\",\n"
                                                              "  \"deliveryMethod\": " +
                                                                  std::to_string(number) + "\n}")
        << method;
  }
  params.send_otp_method = nullptr;
  EXPECT_EQ(get_send_oath_otp_json(&params, "user1"), nullptr);
}

TEST(Builders, SendPushMessageCarriesTheUserTwice) {
  module_params params = make_params();
  params.push_app_name = const_cast<char *>("sshd on host");
  EXPECT_EQ(take(get_send_push_message_json(&params, "user1", "pushsmsquestion")),
            "{\n"
            "  \"type\": \"send_push_message\",\n"
            "  \"deliveryMethod\": \"pushsmsquestion\",\n"
            "  \"username\": \"user1\",\n"
            "  \"authnAccount\": \"user1\",\n"
            "  \"appName\": \"sshd on host\",\n"
            "  \"authnReason\": \"Login\"\n"
            "}");
}

TEST(Builders, NonAsciiUserNamesGoOutUnescaped) {
  module_params params = make_params();
  params.send_otp_method = const_cast<char *>("email");
  EXPECT_EQ(take(get_validate_user_json(&params, "jürgen", "pw")),
            "{\n  \"type\": \"validate_user\",\n  \"username\": \"jürgen\",\n  \"pw\": \"pw\"\n}");
  EXPECT_EQ(take(get_send_oath_otp_json(&params, "Ελένη")),
            "{\n  \"type\": \"send_oath_otp\",\n  \"username\": \"Ελένη\",\n"
            "  \"deliveryMethod\": 1\n}");
  // Control characters are escaped, not sent raw.
  EXPECT_EQ(take(get_validate_oath_opt_json(&params, "a\tb\x01", "1")),
            "{\n  \"type\": \"validate_oath_otp\",\n  \"username\": \"a\\tb\\u0001\",\n"
            "  \"otp\": \"1\"\n}");
}

TEST(Builders, RefuseInvalidUtf8AndMissingValues) {
  module_params params = make_params();
  params.send_otp_method = const_cast<char *>("sms");
  params.offline_codes = 1;
  const char *bad = "us\xff"
                    "er";
  EXPECT_EQ(get_validate_user_json(&params, bad, "pw"), nullptr);
  EXPECT_EQ(get_validate_user_json(&params, "user1", "p\xc3"), nullptr);
  EXPECT_EQ(get_validate_oath_opt_json(&params, bad, "123456"), nullptr);
  EXPECT_EQ(get_send_oath_otp_json(&params, bad), nullptr);
  EXPECT_EQ(get_send_push_message_json(&params, bad, "pushapp"), nullptr);
  EXPECT_EQ(get_validate_user_json(&params, "user1", nullptr), nullptr);
  EXPECT_EQ(get_validate_oath_opt_json(&params, nullptr, "1"), nullptr);
  EXPECT_EQ(get_send_push_message_json(&params, "user1", nullptr), nullptr);
  params.push_reason = nullptr;
  EXPECT_EQ(get_send_push_message_json(&params, "user1", "pushapp"), nullptr);
  EXPECT_EQ(get_validate_user_json(nullptr, "user1", "pw"), nullptr);
}

// Both reply parsers over the same replies: each member is read only when it has the right type,
// and the push parser reads the request's id as well.
TEST(Parsers, RepliesReadOnlyMembersOfTheRightType) {
  struct Case {
    const char *json;
    int code;
    const char *message, *type, *request_id; // null: not read
  } cases[] = {
      {R"({"errorCode": 9001, "errorMessage": "Invalid password", "type": "validate_user"})", 9001,
       "Invalid password", "validate_user", nullptr},
      {R"({"errorCode": "9001", "errorMessage": 12, "type": null})", 0, nullptr, nullptr, nullptr},
      {R"({"errorCode": 9001.0, "errorMessage": "x"})", 0, "x", nullptr, nullptr},
      {R"({"errorCode": -7})", -7, nullptr, nullptr, nullptr},
      // An errorCode keeps its low 32 bits: 2^32 + 9001.
      {R"({"errorCode": 4294976297})", 9001, nullptr, nullptr, nullptr},
      {R"({"errorCode": 0, "authnUserReqId": "req-42", "errorMessage": "ok"})", 0, "ok", nullptr,
       "req-42"},
      {R"({"errorCode": 5, "authnUserReqId": 42})", 5, nullptr, nullptr, nullptr},
      {R"(["authnUserReqId"])", 0, nullptr, nullptr, nullptr},
  };
  const auto text = [](const char *s) { return std::string(s != nullptr ? s : "<null>"); };
  for (const Case &c : cases) {
    // What both records have in common.
    const auto expect_common = [&](const auto &r) {
      ASSERT_NE(r.root, nullptr) << c.json;
      EXPECT_EQ(r.errorCode, c.code) << c.json;
      EXPECT_EQ(text(r.errorMessage), text(c.message)) << c.json;
      EXPECT_EQ(text(r.type), text(c.type)) << c.json;
    };
    server_response r{};
    parse_server_response_json(c.json, &r);
    expect_common(r);
    free_server_response_json(&r);
    EXPECT_EQ(r.root, nullptr);
    free_server_response_json(&r); // twice is harmless

    send_push_message_response push{};
    parse_send_push_message_response_json(c.json, &push);
    expect_common(push);
    EXPECT_EQ(text(push.authnUserReqId), text(c.request_id)) << c.json;
    free_send_push_message_response_json(&push);
    EXPECT_EQ(push.root, nullptr);
    EXPECT_EQ(push.authnUserReqId, nullptr);
    free_send_push_message_response_json(&push);
  }
}

TEST(Parsers, ArraysAndNonJsonLeaveEveryFieldZero) {
  server_response r{};
  parse_server_response_json(R"([{"errorCode": 9001, "errorMessage": "x"}])", &r);
  ASSERT_NE(r.root, nullptr);
  EXPECT_TRUE(json_is_array(r.root));
  EXPECT_EQ(r.errorCode, 0);
  EXPECT_EQ(r.errorMessage, nullptr);
  free_server_response_json(&r);

  for (const char *text : {"", "not json", "{\"errorCode\": 1} trailing",
                           "{\"errorCode\": ", "9001", "\"text\"", "<html>\r\n</html>"}) {
    r.errorCode = 42;
    parse_server_response_json(text, &r);
    EXPECT_EQ(r.root, nullptr) << text;
    EXPECT_EQ(r.errorCode, 0) << text;
  }
  parse_server_response_json(nullptr, &r);
  EXPECT_EQ(r.root, nullptr);
}

TEST(Parsers, OfflineCodesHonourTheReserve) {
  const std::vector<std::string> all = {"1000000001", "1000000002", "1000000003", "1000000004",
                                        "1000000005", "1000000006", "1000000007", "1000000008",
                                        "1000000009", "1000000010"};
  const std::vector<std::string> first5(all.begin(), all.begin() + 5);
  const std::vector<std::string> first1(all.begin(), all.begin() + 1);
  EXPECT_EQ(parse_codes(0, kTenCodes), all);
  EXPECT_EQ(parse_codes(5, kTenCodes), first5);
  EXPECT_EQ(parse_codes(9, kTenCodes), first1);
  EXPECT_EQ(parse_codes(10, kTenCodes), all);
  EXPECT_EQ(parse_codes(11, kTenCodes), all);
  EXPECT_EQ(parse_codes(-1, kTenCodes), all);
}

TEST(Parsers, OfflineCodeFieldsSplitLikeStrtok) {
  // Four fields (the empty one and the one after the last comma count), two codes.
  const char *sparse = R"({"errorCode": 0, "offlineCodes": "111,,222,"})";
  EXPECT_EQ(parse_codes(0, sparse), (std::vector<std::string>{"111", "222"}));
  EXPECT_EQ(parse_codes(2, sparse), (std::vector<std::string>{"111", "222"}));
  EXPECT_EQ(parse_codes(3, sparse), (std::vector<std::string>{"111"}));
  // Leading commas are skipped; blanks are part of a code.
  EXPECT_EQ(parse_codes(0, R"({"offlineCodes": ",, 333 ,444"})"),
            (std::vector<std::string>{" 333 ", "444"}));
  EXPECT_EQ(parse_codes(0, R"({"offlineCodes": ",,,"})"), std::vector<std::string>{});
}

TEST(Parsers, EmptyOrMistypedOfflineCodes) {
  module_params params = make_params();
  validate_otp_response r{};
  parse_validate_otp_response_json(&params, R"({"errorCode": 0, "offlineCodes": ""})", &r);
  EXPECT_STREQ(r.offlineCodes, "");
  EXPECT_NE(r.offlineCodesArray, nullptr);
  EXPECT_EQ(r.offlineCodesCount, 0u);
  free_validate_otp_response_json(&r);
  EXPECT_EQ(r.offlineCodesArray, nullptr);
  EXPECT_EQ(r.root, nullptr);

  for (const char *text :
       {R"({"errorCode": 9111, "offlineCodes": ["1", "2"]})",
        R"({"errorCode": 9111, "offlineCodes": 123})", R"({"errorCode": 9111})"}) {
    parse_validate_otp_response_json(&params, text, &r);
    EXPECT_EQ(r.errorCode, 9111) << text;
    EXPECT_EQ(r.offlineCodes, nullptr) << text;
    EXPECT_EQ(r.offlineCodesArray, nullptr) << text;
    EXPECT_EQ(r.offlineCodesCount, 0u) << text;
    free_validate_otp_response_json(&r);
  }
  parse_validate_otp_response_json(&params, R"([{"offlineCodes": "1,2"}])", &r);
  EXPECT_NE(r.root, nullptr);
  EXPECT_EQ(r.offlineCodesArray, nullptr);
  free_validate_otp_response_json(&r);
  free_validate_otp_response_json(&r);
  validate_otp_response zero{};
  free_validate_otp_response_json(&zero);
}

TEST(Parsers, TheRecordDoesNotPointIntoTheReplyText) {
  module_params params = make_params();
  params.offline_codes_reserve = 0;
  char *text = strdup(R"({"errorCode": 9116, "errorMessage": "m", "offlineCodes": "12,34"})");
  validate_otp_response r{};
  parse_validate_otp_response_json(&params, text, &r);
  memset(text, 'x', strlen(text));
  free(text);
  EXPECT_EQ(r.errorCode, 9116);
  EXPECT_STREQ(r.errorMessage, "m");
  EXPECT_STREQ(r.offlineCodes, "12,34");
  EXPECT_EQ(codes_of(r), (std::vector<std::string>{"12", "34"}));
  free_validate_otp_response_json(&r);
}

TEST(RemoveJsonCrNl, TurnsEveryLineBreakIntoABlank) {
  char text[] = "<html>\r\n<body>\n\rx\r\r</body>\n";
  remove_json_cr_nl(text);
  EXPECT_STREQ(text, "<html>  <body>  x  </body> ");
  char empty[] = "";
  remove_json_cr_nl(empty);
  EXPECT_STREQ(empty, "");
  remove_json_cr_nl(nullptr);
}

TEST(StatusToPam, FoldsStatusesIntoRealFailureCodes) {
  EXPECT_EQ(zv_status_to_pam(0), PAM_SUCCESS);
  EXPECT_EQ(zv_status_to_pam(ZV_STATUS_BUILD_FAILED), PAM_BUF_ERR);
  EXPECT_EQ(zv_status_to_pam(ZV_STATUS_BAD_REPLY), PAM_AUTH_ERR);
  EXPECT_EQ(zv_status_to_pam(ZV_STATUS_UNREACHABLE), PAM_AUTHINFO_UNAVAIL);
  EXPECT_EQ(zv_status_to_pam(ZV_STATUS_LOCAL_FAILURE), PAM_SYSTEM_ERR);
  EXPECT_EQ(zv_status_to_pam(-1), PAM_OPEN_ERR);
  EXPECT_EQ(zv_status_to_pam(-24), 24);
  EXPECT_EQ(zv_status_to_pam(-26), 26);
  EXPECT_EQ(zv_status_to_pam(-29), 29);
  // Codes that would make the stack ignore or resume the module never come out.
  EXPECT_EQ(zv_status_to_pam(-PAM_IGNORE), PAM_AUTH_ERR);
  EXPECT_EQ(zv_status_to_pam(-PAM_CONV_AGAIN), PAM_AUTH_ERR);
  EXPECT_EQ(zv_status_to_pam(-PAM_INCOMPLETE), PAM_AUTH_ERR);
  EXPECT_EQ(zv_status_to_pam(-32), PAM_AUTH_ERR);
  EXPECT_EQ(zv_status_to_pam(INT_MIN), PAM_AUTH_ERR);
  for (int status : {1, 9001, 9003, 9131, INT_MAX})
    EXPECT_EQ(zv_status_to_pam(status), PAM_AUTH_ERR);
}
