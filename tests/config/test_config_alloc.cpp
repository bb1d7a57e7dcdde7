// Allocation failures in the configuration code, injected through the replaced C allocator of
// this test process (support/alloc_fault.h), and the wiping of secrets before they are freed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

#include "alloc_fault.h"
#include "config/option_table.h"
#include "config/params.h"
#include "config_test_util.h"
#include "syslog_reader.h"

using zvtest::allow_allocations;
using zvtest::fail_allocation;
using zvtest::log_lines;
using zvtest::LogLines;

namespace {

// The text rows of the option table that set a field of their own (no aliases).
std::vector<const zv::Option *> text_rows() {
  std::vector<const zv::Option *> out;
  for (const zv::Option &o : zv::options())
    if (o.kind == zv::OptionKind::text && (o.traits & zv::kAlias) == 0) out.push_back(&o);
  return out;
}

// The number of text fields with a default, each one copy.
int text_defaults() {
  int n = 0;
  for (const zv::Option *o : text_rows()) n += o->initial_text != nullptr;
  return n;
}

class AllocTest : public cfgtest::ConfigTest {
protected:
  void SetUp() override {
    if (!zvtest::allocator_replaced()) GTEST_SKIP() << "the sanitizer owns the allocator";
    ConfigTest::SetUp();
  }
  void TearDown() override {
    allow_allocations();
    zvtest::watch_free(nullptr, 0);
    ConfigTest::TearDown();
  }
  zv::ParamsScope params;
};

TEST_F(AllocTest, EachFailedDefaultCopy) {
  zv::ParamsScope complete;
  ASSERT_EQ(set_params_defaults(complete.get()), 0);
  const std::string all = cfgtest::describe(complete.params);
  // The fields with a text default, in the order they are copied: each field the table gives a
  // default is set.
  std::vector<std::string> copies, with_default;
  for (const zv::Option *o : text_rows()) {
    if (zv::text_of(complete.get(), *o) != nullptr) copies.push_back(o->field);
    if (o->initial_text != nullptr) with_default.push_back(o->field);
  }
  ASSERT_EQ(copies, with_default);
  ASSERT_GE(copies.size(), 3u);
  // port, path and proxy_port are vital (and copied first); the push descriptions fail without
  // a message.
  EXPECT_EQ(std::vector<std::string>(copies.begin(), copies.begin() + 3),
            (std::vector<std::string>{"port", "path", "proxy_port"}));
  for (size_t i = 0; i < copies.size(); i++) {
    const std::string &name = copies[i];
    const bool critical = i < 3;
    const bool reported =
        name != "push_app_message" && name != "push_sms_message" && name != "push_voice_message";
    zv::ParamsScope p;
    zvtest::syslog_clear();
    fail_allocation(static_cast<int>(i) + 1);
    EXPECT_EQ(set_params_defaults(p.get()), critical ? -1 : 0) << name;
    allow_allocations();
    // Exactly that field is missing; the step went on with the others.
    std::string want_fields = all;
    const size_t at = want_fields.find("\n" + name + "='") + 1;
    want_fields.replace(at, want_fields.find('\n', at) - at, name + "=null");
    EXPECT_EQ(cfgtest::describe(p.params), want_fields);
    LogLines want;
    if (reported) want.push_back({LOG_ERR, "Memory allocation failed for " + name});
    if (critical)
      want.push_back(
          {LOG_ERR, "set_params_defaults: Critical memory allocation failed in defaults"});
    EXPECT_EQ(log_lines(), want) << name;
  }
}

TEST_F(AllocTest, FailedDefaultsReleaseTheRecord) {
  cfgtest::write_config("host=x\n");
  const char *argv[] = {"port=9"};
  fail_allocation(3); // logname, port, then path
  EXPECT_EQ(read_params(nullptr, 1, argv, params.get()), -1);
  allow_allocations();
  EXPECT_EQ(params->logname, nullptr);
  EXPECT_EQ(params->port, nullptr);
  EXPECT_EQ(params->prompt_otp, nullptr);
  EXPECT_EQ(params->host, nullptr);
  EXPECT_EQ(
      log_lines(),
      (LogLines{{LOG_ERR, "Memory allocation failed for path"},
                {LOG_ERR, "set_params_defaults: Critical memory allocation failed in defaults"},
                {LOG_ERR, "read_params: Failed to set default parameters"}}));
}

TEST_F(AllocTest, MissingLognameIsNotFatal) {
  cfgtest::write_config("host=x\n");
  fail_allocation(1);
  EXPECT_EQ(read_params(nullptr, 0, nullptr, params.get()), 0);
  allow_allocations();
  EXPECT_EQ(params->logname, nullptr);
  EXPECT_STREQ(params->host, "x");
  const auto records = zvtest::syslog_records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ident, "pam_zelvane(unknown)");
  EXPECT_EQ(records[0].priority, LOG_ERR);
  EXPECT_EQ(records[0].text, "Memory allocation failed for logname");
}

TEST_F(AllocTest, FailedValueCopyLeavesTheFieldEmpty) {
  ASSERT_EQ(set_params_defaults(params.get()), 0);
  params->host = strdup("old");
  params->proxy_password = strdup("older-secret");
  const char *argv[] = {"host=new", "proxy_password=s3cr3t"};
  fail_allocation(1);
  parse_args(1, argv, params.get());
  fail_allocation(1);
  parse_args(1, argv + 1, params.get());
  allow_allocations();
  EXPECT_EQ(params->host, nullptr);
  EXPECT_EQ(params->proxy_password, nullptr);
  EXPECT_TRUE(cfgtest::log_free_of("s3cr3t"));
  EXPECT_EQ(log_lines(),
            (LogLines{{LOG_WARNING, "parse_args: Unrecognized option ignored: host"},
                      {LOG_WARNING, "parse_args: Unrecognized option ignored: proxy_password"}}));
}

TEST_F(AllocTest, FileBufferAndVectorFailures) {
  cfgtest::write_config("host=x\n");
  ASSERT_EQ(set_params_defaults(params.get()), 0);
  fail_allocation(1);
  EXPECT_EQ(parse_config_file_params(nullptr, params.get()), -1);
  fail_allocation(2);
  EXPECT_EQ(parse_config_file_params(nullptr, params.get()), -1);
  allow_allocations();
  EXPECT_EQ(params->host, nullptr);
  EXPECT_EQ(
      log_lines(),
      (LogLines{{LOG_ERR, "parse_config_file_params: Failed to allocate 7+1 bytes for orig_stat"},
                {LOG_WARNING, "parse_config_file_params: Failed to allocate argv."}}));
  // Both failures make read_params fail.
  zvtest::syslog_clear();
  zv::ParamsScope fresh;
  fail_allocation(1 + text_defaults() + 2); // logname, the defaults, the file buffer, the vector
  EXPECT_EQ(read_params(nullptr, 0, nullptr, fresh.get()), -1);
  allow_allocations();
  EXPECT_EQ(log_lines(),
            (LogLines{{LOG_WARNING, "parse_config_file_params: Failed to allocate argv."},
                      {LOG_ERR, "read_params: Failed to parse configuration file"}}));
}

TEST_F(AllocTest, StrdupTrimmedFailures) {
  fail_allocation(1);
  EXPECT_EQ(strdup_trimmed(" a "), nullptr);
  fail_allocation(2);
  EXPECT_EQ(strdup_trimmed(" a "), nullptr);
  allow_allocations();
}

TEST_F(AllocTest, SecretsAreWipedBeforeRelease) {
  ASSERT_EQ(set_params_defaults(params.get()), 0);
  const char *argv[] = {"proxy_password=p4ssw0rd-long"};
  parse_args(1, argv, params.get());
  ASSERT_STREQ(params->proxy_password, "p4ssw0rd-long");

  // Replaced by a later option: the old copy is wiped.
  zvtest::watch_free(params->proxy_password, 13);
  const char *again[] = {"proxy_password=other"};
  parse_args(1, again, params.get());
  EXPECT_EQ(zvtest::freed_bytes(), std::string(13, '\0'));

  // Released with the record: every text, keys and passwords among them.
  for (const zv::Option *o : text_rows()) {
    zv::ParamsScope one;
    const std::string option = std::string(o->key) + "=v-" + o->key;
    const char *arg = option.c_str();
    parse_args(1, &arg, one.get());
    const char *text = zv::text_of(one.get(), *o);
    ASSERT_NE(text, nullptr) << o->key;
    const size_t size = std::strlen(text);
    zvtest::watch_free(text, size);
    free_params(one.get());
    EXPECT_EQ(zvtest::freed_bytes(), std::string(size, '\0')) << o->key;
  }
}

} // namespace
