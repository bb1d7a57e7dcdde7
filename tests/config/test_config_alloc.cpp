// Allocation failures in the configuration code, injected by replacing the C allocator of this
// test process (glibc routes its own strdup/asprintf through the replacement), and the wiping of
// secrets before they are freed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <syslog.h>
#include <vector>

#include "config/params.h"
#include "config_test_util.h"
#include "syslog_reader.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZV_ALLOC_HOOKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZV_ALLOC_HOOKS 0
#endif
#endif
#ifndef ZV_ALLOC_HOOKS
#define ZV_ALLOC_HOOKS 1
#endif

using cfgtest::Logged;
using cfgtest::logged;

namespace {

// 0: no failure armed; n: the n-th allocation from now fails (only that one).
int g_fail_countdown = 0;
// A block whose first bytes are copied out just before it is freed.
const void *g_watched = nullptr;
char g_watched_bytes[16];

// Unused where the sanitizer owns the allocator.
[[maybe_unused]] bool fail_now() { return g_fail_countdown > 0 && --g_fail_countdown == 0; }

} // namespace

#if ZV_ALLOC_HOOKS
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
  if (fail_now()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(n);
}
void *calloc(size_t n, size_t size) {
  if (fail_now()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(n, size);
}
void *realloc(void *p, size_t n) {
  if (fail_now()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_realloc(p, n);
}
void free(void *p) {
  if (p != nullptr && p == g_watched) {
    std::memcpy(g_watched_bytes, p, sizeof g_watched_bytes);
    g_watched = nullptr;
  }
  __libc_free(p);
}
}
#endif

namespace {

class AllocTest : public cfgtest::ConfigTest {
protected:
  void SetUp() override {
    if (!ZV_ALLOC_HOOKS) GTEST_SKIP() << "the sanitizer owns the allocator";
    ConfigTest::SetUp();
  }
  void TearDown() override {
    g_fail_countdown = 0;
    g_watched = nullptr;
    ConfigTest::TearDown();
  }
  cfgtest::Params params;
};

TEST_F(AllocTest, EachFailedDefaultCopy) {
  cfgtest::Params complete;
  ASSERT_EQ(set_params_defaults(complete.get()), 0);
  const std::string all = cfgtest::describe(complete.p);
  // The fields with a text default, in the order they are copied.
  std::vector<std::string> copies;
  for (const std::string &name : cfgtest::text_fields())
    if (all.find("\n" + name + "='") != std::string::npos) copies.push_back(name);
  ASSERT_EQ(copies.size(), 23u);
  for (size_t i = 0; i < copies.size(); i++) {
    const std::string &name = copies[i];
    // port, path and proxy_port are vital; the push descriptions fail without a message.
    const bool critical = i < 3, reported = i < copies.size() - 3;
    cfgtest::Params p;
    zvtest::syslog_clear();
    g_fail_countdown = static_cast<int>(i) + 1;
    EXPECT_EQ(set_params_defaults(p.get()), critical ? -1 : 0) << name;
    g_fail_countdown = 0;
    // Exactly that field is missing; the step went on with the others.
    std::string want_fields = all;
    const size_t at = want_fields.find("\n" + name + "='") + 1;
    want_fields.replace(at, want_fields.find('\n', at) - at, name + "=null");
    EXPECT_EQ(cfgtest::describe(p.p), want_fields);
    std::vector<Logged> want;
    if (reported) want.push_back({LOG_ERR, "Memory allocation failed for " + name});
    if (critical)
      want.push_back(
          {LOG_ERR, "set_params_defaults: Critical memory allocation failed in defaults"});
    EXPECT_EQ(logged(), want) << name;
  }
}

TEST_F(AllocTest, FailedDefaultsReleaseTheRecord) {
  cfgtest::write_config("host=x\n");
  const char *argv[] = {"port=9"};
  g_fail_countdown = 3; // logname, port, then path
  EXPECT_EQ(read_params(nullptr, 1, argv, params.get()), -1);
  g_fail_countdown = 0;
  EXPECT_EQ(params->logname, nullptr);
  EXPECT_EQ(params->port, nullptr);
  EXPECT_EQ(params->prompt_otp, nullptr);
  EXPECT_EQ(params->host, nullptr);
  EXPECT_EQ(logged(),
            (std::vector<Logged>{
                {LOG_ERR, "Memory allocation failed for path"},
                {LOG_ERR, "set_params_defaults: Critical memory allocation failed in defaults"},
                {LOG_ERR, "read_params: Failed to set default parameters"}}));
}

TEST_F(AllocTest, MissingLognameIsNotFatal) {
  cfgtest::write_config("host=x\n");
  g_fail_countdown = 1;
  EXPECT_EQ(read_params(nullptr, 0, nullptr, params.get()), 0);
  g_fail_countdown = 0;
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
  g_fail_countdown = 1;
  parse_args(1, argv, params.get());
  g_fail_countdown = 1;
  parse_args(1, argv + 1, params.get());
  g_fail_countdown = 0;
  EXPECT_EQ(params->host, nullptr);
  EXPECT_EQ(params->proxy_password, nullptr);
  EXPECT_TRUE(cfgtest::log_free_of("s3cr3t"));
  EXPECT_EQ(logged(),
            (std::vector<Logged>{{LOG_WARNING, "parse_args: Unrecognized option ignored: host=new"},
                                 {LOG_WARNING, "parse_args: Unrecognized option ignored: "
                                               "proxy_password (value hidden)"}}));
}

TEST_F(AllocTest, FileBufferAndVectorFailures) {
  cfgtest::write_config("host=x\n");
  ASSERT_EQ(set_params_defaults(params.get()), 0);
  g_fail_countdown = 1;
  EXPECT_EQ(parse_config_file_params(nullptr, params.get()), -1);
  g_fail_countdown = 2;
  EXPECT_EQ(parse_config_file_params(nullptr, params.get()), -1);
  g_fail_countdown = 0;
  EXPECT_EQ(params->host, nullptr);
  EXPECT_EQ(logged(),
            (std::vector<Logged>{
                {LOG_ERR, "parse_config_file_params: Failed to allocate 7+1 bytes for orig_stat"},
                {LOG_WARNING, "parse_config_file_params: Failed to allocate argv."}}));
  // Both failures make read_params fail.
  zvtest::syslog_clear();
  cfgtest::Params fresh;
  g_fail_countdown = 26; // logname, 23 defaults, the file buffer, then the vector
  EXPECT_EQ(read_params(nullptr, 0, nullptr, fresh.get()), -1);
  g_fail_countdown = 0;
  EXPECT_EQ(logged(), (std::vector<Logged>{
                          {LOG_WARNING, "parse_config_file_params: Failed to allocate argv."},
                          {LOG_ERR, "read_params: Failed to parse configuration file"}}));
}

TEST_F(AllocTest, StrdupTrimmedFailures) {
  g_fail_countdown = 1;
  EXPECT_EQ(strdup_trimmed(" a "), nullptr);
  g_fail_countdown = 2;
  EXPECT_EQ(strdup_trimmed(" a "), nullptr);
  g_fail_countdown = 0;
}

TEST_F(AllocTest, SecretsAreWipedBeforeRelease) {
  ASSERT_EQ(set_params_defaults(params.get()), 0);
  const char *argv[] = {"proxy_password=p4ssw0rd-long", "application_key=k3y-material"};
  parse_args(2, argv, params.get());
  ASSERT_STREQ(params->proxy_password, "p4ssw0rd-long");

  // Replaced by a later option: the old copy is wiped.
  g_watched = params->proxy_password;
  std::memset(g_watched_bytes, 'x', sizeof g_watched_bytes);
  const char *again[] = {"proxy_password=other"};
  parse_args(1, again, params.get());
  EXPECT_EQ(std::string(g_watched_bytes, 13), std::string(13, '\0'));

  // Released with the record.
  g_watched = params->application_key;
  std::memset(g_watched_bytes, 'x', sizeof g_watched_bytes);
  free_params(params.get());
  EXPECT_EQ(std::string(g_watched_bytes, 12), std::string(12, '\0'));
}

} // namespace
