// The offline-code extraction when a copy cannot be allocated: the record keeps no codes, stays
// valid for its other members, logs the failure and leaks nothing (the sanitizer build checks).
// Failures are injected into strdup (support/alloc_fault.h), which the sanitizer builds keep.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "alloc_fault.h"
#include "api/api.h"
#include "syslog_reader.h"

namespace {

class OfflineCodeAllocation : public ::testing::Test {
protected:
  void SetUp() override { zvtest::syslog_capture_start(); }
  void TearDown() override { zvtest::allow_allocations(); }

  // Parses a reply of three codes with the `nth` copy failing (none for 0).
  void parse_failing_at(int nth) {
    module_params params{};
    zvtest::fail_allocation(nth, zvtest::kStrdupCalls);
    parse_validate_otp_response_json(
        &params, R"({"errorCode": 9116, "errorMessage": "m", "offlineCodes": "11,22,33"})",
        &response);
    zvtest::allow_allocations();
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
  parse_failing_at(1);
  expect_record_without_codes();
  EXPECT_EQ(zvtest::log_lines(),
            (zvtest::LogLines{{LOG_ERR, "parse_validate_otp_response_json: Memory allocation "
                                        "failed for offlineCodesCopy"}}));
  free_validate_otp_response_json(&response);
}

TEST_F(OfflineCodeAllocation, TokenCopyFailsAfterOthersSucceeded) {
  for (int nth : {2, 4}) { // the first code's copy, the last code's copy
    zvtest::syslog_clear();
    parse_failing_at(nth);
    expect_record_without_codes();
    EXPECT_EQ(zvtest::log_lines(),
              (zvtest::LogLines{{LOG_ERR, "parse_validate_otp_response_json: Memory allocation "
                                          "failed for offlineCodesArray token"}}));
    free_validate_otp_response_json(&response);
  }
}

TEST_F(OfflineCodeAllocation, NoFailureTakesEveryCode) {
  parse_failing_at(0);
  ASSERT_EQ(response.offlineCodesCount, 3u);
  EXPECT_STREQ(response.offlineCodesArray[2], "33");
  EXPECT_EQ(zvtest::allocations_counted(), 4); // the working copy and one per code
  EXPECT_TRUE(zvtest::syslog_records().empty());
  free_validate_otp_response_json(&response);
}
