// The offline-code extraction when a copy cannot be allocated: the record keeps no codes, stays
// valid for its other members, logs the failure and leaks nothing (the sanitizer build checks).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "api/api.h"
#include "syslog_reader.h"

namespace {
int strdup_calls = 0;
int fail_strdup_at = -1; // index of the call that fails; -1 never
} // namespace

// Replaces the C library's strdup for the whole test program (the module's code is linked in
// statically), so that the Nth copy can be made to fail.
extern "C" char *strdup(const char *s) noexcept {
  if (strdup_calls++ == fail_strdup_at) return nullptr;
  const size_t size = std::strlen(s) + 1;
  char *copy = static_cast<char *>(std::malloc(size));
  if (copy != nullptr) std::memcpy(copy, s, size);
  return copy;
}

namespace {

class OfflineCodeAllocation : public ::testing::Test {
protected:
  void SetUp() override { zvtest::syslog_capture_start(); }
  void TearDown() override { fail_strdup_at = -1; }

  // Parses a reply of three codes with the `index`th copy failing.
  void parse_failing_at(int index) {
    module_params params{};
    strdup_calls = 0;
    fail_strdup_at = index;
    parse_validate_otp_response_json(
        &params, R"({"errorCode": 9116, "errorMessage": "m", "offlineCodes": "11,22,33"})",
        &response);
    fail_strdup_at = -1;
  }
  void expect_record_without_codes() {
    ASSERT_NE(response.root, nullptr);
    EXPECT_EQ(response.errorCode, 9116);
    EXPECT_STREQ(response.errorMessage, "m");
    EXPECT_STREQ(response.offlineCodes, "11,22,33");
    EXPECT_EQ(response.offlineCodesArray, nullptr);
    EXPECT_EQ(response.offlineCodesCount, 0u);
  }
  validate_otp_response response{};
};

} // namespace

TEST_F(OfflineCodeAllocation, WorkingCopyFails) {
  parse_failing_at(0);
  expect_record_without_codes();
  EXPECT_EQ(zvtest::syslog_lines(),
            std::vector<std::string>{
                "parse_validate_otp_response_json: Memory allocation failed for offlineCodesCopy"});
  EXPECT_EQ(zvtest::syslog_records().at(0).priority, LOG_ERR);
  free_validate_otp_response_json(&response);
}

TEST_F(OfflineCodeAllocation, TokenCopyFailsAfterOthersSucceeded) {
  for (int index : {1, 3}) { // the first code's copy, the last code's copy
    zvtest::syslog_clear();
    parse_failing_at(index);
    expect_record_without_codes();
    EXPECT_EQ(zvtest::syslog_lines(),
              std::vector<std::string>{"parse_validate_otp_response_json: Memory allocation "
                                       "failed for offlineCodesArray token"});
    free_validate_otp_response_json(&response);
  }
}

TEST_F(OfflineCodeAllocation, NoFailureTakesEveryCode) {
  parse_failing_at(-1);
  ASSERT_EQ(response.offlineCodesCount, 3u);
  EXPECT_STREQ(response.offlineCodesArray[2], "33");
  EXPECT_EQ(strdup_calls, 4); // the working copy and one per code
  EXPECT_TRUE(zvtest::syslog_records().empty());
  free_validate_otp_response_json(&response);
}
