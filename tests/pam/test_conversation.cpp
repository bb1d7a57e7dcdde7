// The conversation helpers and the system log, driven through a real libpam handle.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <security/pam_appl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "alloc_fault.h"
#include "config/params.h"
#include "pam/log.h"
#include "pam_harness.h"
#include "syslog_reader.h"

using namespace zvtest;

namespace {

int recording_conv(int n, const pam_message **msg, pam_response **resp, void *appdata) {
  auto *conv = static_cast<Conversation *>(appdata);
  conv->call_sizes.push_back(n);
  *resp = nullptr;
  if (conv->fail_at_prompt == conv->prompts) {
    conv->prompts++;
    return PAM_CONV_ERR;
  }
  auto *r = static_cast<pam_response *>(calloc(static_cast<size_t>(n), sizeof(pam_response)));
  for (int i = 0; i < n; i++) {
    conv->seen.push_back({msg[i]->msg_style, msg[i]->msg != nullptr ? msg[i]->msg : "<null>"});
    const bool prompt =
        msg[i]->msg_style == PAM_PROMPT_ECHO_OFF || msg[i]->msg_style == PAM_PROMPT_ECHO_ON;
    if (!prompt) continue;
    const int index = conv->prompts++;
    if (index == conv->no_response_at_prompt) {
      free(r);
      return PAM_SUCCESS;
    }
    if (index != conv->null_text_at_prompt && conv->next_answer < conv->answers.size())
      r[i].resp = strdup(conv->answers[conv->next_answer++].c_str());
  }
  *resp = r;
  return PAM_SUCCESS;
}

class ConversationTest : public ::testing::Test {
protected:
  void SetUp() override {
    syslog_capture_start();
    write_service("zv-conv", "auth required pam_permit.so\n");
    pam_conv c{recording_conv, &conv};
    ASSERT_EQ(pam_start("zv-conv", "alice", &c, &pamh), PAM_SUCCESS);
  }
  void TearDown() override { pam_end(pamh, PAM_SUCCESS); }
  Conversation conv;
  pam_handle_t *pamh = nullptr;
};

} // namespace

TEST_F(ConversationTest, PromptReturnsAHeapCopyOfTheAnswer) {
  conv.answers = {"s3cret"};
  char *answer = prompt_user(pamh, PAM_PROMPT_ECHO_OFF, "Zelvane Password: ");
  ASSERT_NE(answer, nullptr);
  EXPECT_STREQ(answer, "s3cret");
  free(answer);
  ASSERT_EQ(conv.seen.size(), 1u);
  EXPECT_EQ(conv.seen[0].style, PAM_PROMPT_ECHO_OFF);
  EXPECT_EQ(conv.seen[0].text, "Zelvane Password: ");
}

TEST_F(ConversationTest, PromptGivesNullOnFailureNoResponseOrNoText) {
  conv.fail_at_prompt = 0;
  conv.no_response_at_prompt = 1;
  conv.null_text_at_prompt = 2;
  conv.answers = {"x", "y", "z"};
  EXPECT_EQ(prompt_user(pamh, PAM_PROMPT_ECHO_ON, "a"), nullptr);
  EXPECT_EQ(prompt_user(pamh, PAM_PROMPT_ECHO_ON, "b"), nullptr);
  EXPECT_EQ(prompt_user(pamh, PAM_PROMPT_ECHO_ON, "c"), nullptr);
  const char *lines[] = {"one"};
  conv.null_text_at_prompt = 3;
  EXPECT_EQ(prompt_user_with_info(pamh, PAM_PROMPT_ECHO_ON, "d", lines, 1), nullptr);
}

TEST_F(ConversationTest, InfoLinesAndPromptGoInOneCall) {
  conv.answers = {"os"};
  const char *lines[] = {"os - OTP via SMS", "oe - OTP via Email",
                         "pa - Push Application Confirmation"};
  char *answer = prompt_user_with_info(pamh, PAM_PROMPT_ECHO_ON, "Select: ", lines, 3);
  ASSERT_NE(answer, nullptr);
  EXPECT_STREQ(answer, "os");
  free(answer);
  EXPECT_EQ(conv.call_sizes, std::vector<int>{4});
  ASSERT_EQ(conv.seen.size(), 4u);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(conv.seen[i].style, PAM_TEXT_INFO);
    EXPECT_EQ(conv.seen[i].text, lines[i]);
  }
  EXPECT_EQ(conv.seen[3].style, PAM_PROMPT_ECHO_ON);
  EXPECT_EQ(conv.seen[3].text, "Select: ");
}

TEST_F(ConversationTest, NoInfoLinesIsAPlainPrompt) {
  conv.answers = {"123456"};
  char *answer = prompt_user_with_info(pamh, PAM_PROMPT_ECHO_OFF, "Code: ", nullptr, 0);
  ASSERT_NE(answer, nullptr);
  EXPECT_STREQ(answer, "123456");
  free(answer);
  EXPECT_EQ(conv.call_sizes, std::vector<int>{1});
}

TEST_F(ConversationTest, AMissingTextNeverReachesTheApplicationAsNull) {
  // A configured prompt whose copy could not be allocated is null; many conversation functions
  // print or copy the text without a check.
  conv.answers = {"a", "b"};
  char *answer = prompt_user(pamh, PAM_PROMPT_ECHO_OFF, nullptr);
  EXPECT_STREQ(answer, "a");
  free(answer);
  const char *lines[] = {nullptr, "pa - Push Application Confirmation"};
  answer = prompt_user_with_info(pamh, PAM_PROMPT_ECHO_ON, nullptr, lines, 2);
  EXPECT_STREQ(answer, "b");
  free(answer);
  EXPECT_EQ(converse(pamh, PAM_TEXT_INFO, nullptr, nullptr), PAM_SUCCESS);
  ASSERT_EQ(conv.seen.size(), 5u);
  const std::vector<std::pair<int, std::string>> expected = {
      {PAM_PROMPT_ECHO_OFF, ""},
      {PAM_TEXT_INFO, ""},
      {PAM_TEXT_INFO, "pa - Push Application Confirmation"},
      {PAM_PROMPT_ECHO_ON, ""},
      {PAM_TEXT_INFO, ""}};
  for (size_t i = 0; i < expected.size(); i++) {
    EXPECT_EQ(conv.seen[i].style, expected[i].first) << i;
    EXPECT_EQ(conv.seen[i].text, expected[i].second) << i;
  }
}

TEST_F(ConversationTest, SendMessageFormatsOnceAndKeepsPercentSignsOfPlainTexts) {
  send_message(pamh, PAM_TEXT_INFO, "Sent OTP %s message.\n", "email");
  send_message(pamh, PAM_ERROR_MSG, "%s", "100% sure\nsecond line");
  ASSERT_EQ(conv.seen.size(), 2u);
  EXPECT_EQ(conv.seen[0].style, PAM_TEXT_INFO);
  EXPECT_EQ(conv.seen[0].text, "Sent OTP email message.\n");
  EXPECT_EQ(conv.seen[1].style, PAM_ERROR_MSG);
  EXPECT_EQ(conv.seen[1].text, "100% sure\nsecond line");
  EXPECT_EQ(conv.call_sizes, (std::vector<int>{1, 1}));
}

TEST_F(ConversationTest, MissingConversationIsAFailure) {
  pam_handle_t *bare = nullptr;
  pam_conv none{nullptr, nullptr};
  ASSERT_EQ(pam_start("zv-conv", "alice", &none, &bare), PAM_SUCCESS);
  char *answer = reinterpret_cast<char *>(1);
  EXPECT_NE(converse(bare, PAM_PROMPT_ECHO_OFF, "x", &answer), PAM_SUCCESS);
  EXPECT_EQ(answer, nullptr);
  EXPECT_EQ(prompt_user(bare, PAM_PROMPT_ECHO_OFF, "x"), nullptr);
  send_message(bare, PAM_ERROR_MSG, "%s", "nobody hears this");
  pam_end(bare, PAM_SUCCESS);
}

TEST(SyslogMessage, IdentityPriorityFacilityAndDebugGate) {
  syslog_capture_start();
  module_params params{};
  syslog_message(nullptr, LOG_DEBUG, "%s[%d]: hidden", "f", 1);
  syslog_message(&params, LOG_DEBUG, "%s[%d]: hidden too", "f", 2);
  syslog_message(nullptr, LOG_ERR, "%s[%d]: no record", "f", 3);
  char empty[] = "";
  params.logname = empty;
  syslog_message(&params, LOG_WARNING, "%s[%d]: empty logname", "f", 4);
  char name[] = "pam_zelvane(sshd)";
  params.logname = name;
  params.debug = 1;
  syslog_message(&params, LOG_DEBUG, "%s[%d]: traced %s", "f", 5, "now");
  const auto records = syslog_records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].ident, "pam_zelvane(unknown)");
  EXPECT_EQ(records[0].priority, LOG_ERR);
  EXPECT_EQ(records[0].text, "f[3]: no record");
  EXPECT_EQ(records[1].ident, "pam_zelvane(unknown)");
  EXPECT_EQ(records[1].priority, LOG_WARNING);
  EXPECT_EQ(records[2].ident, "pam_zelvane(sshd)");
  EXPECT_EQ(records[2].priority, LOG_DEBUG);
  EXPECT_EQ(records[2].text, "f[5]: traced now");
  for (const auto &r : records) {
    EXPECT_EQ(r.facility, LOG_AUTH >> 3);
    EXPECT_EQ(r.pid, getpid());
  }
}

// A socket of the test's own bound over /dev/log (above the capture's) while the object lives.
class LogSocket {
public:
  explicit LogSocket(int type) {
    const std::string dir =
        std::getenv("ZV_NS_SCRATCH") != nullptr ? std::getenv("ZV_NS_SCRATCH") : "/tmp";
    path_ = dir + "/other-log." + std::to_string(getpid());
    unlink(path_.c_str());
    fd_ = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    mounted_ = bind(fd_, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 &&
               (type != SOCK_STREAM || listen(fd_, 4) == 0) &&
               mount(path_.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) == 0;
  }
  ~LogSocket() {
    if (mounted_) umount2("/dev/log", MNT_DETACH);
    close(fd_);
    unlink(path_.c_str());
  }
  bool ok() const { return mounted_; }
  int fd() const { return fd_; }

private:
  std::string path_;
  int fd_ = -1;
  bool mounted_ = false;
};

// Where the system log offers a stream socket, records go over it, each ending with a NUL.
TEST(SyslogMessage, StreamLogSocket) {
  LogSocket stream(SOCK_STREAM);
  ASSERT_TRUE(stream.ok());
  module_params params{};
  char name[] = "pam_zelvane(login)";
  params.logname = name;
  syslog_message(&params, LOG_ERR, "%s[%d]: over a stream", "f", 7);
  const int conn = accept4(stream.fd(), nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(conn, 0);
  std::string got;
  char buf[512];
  for (ssize_t n; (n = read(conn, buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  close(conn);
  const std::regex form("<" + std::to_string(LOG_AUTH | LOG_ERR) +
                        R"(>[A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d pam_zelvane\(login\)\[)" +
                        std::to_string(getpid()) + R"(\]: f\[7\]: over a stream)");
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), '\0');
  EXPECT_TRUE(std::regex_match(got.substr(0, got.size() - 1), form)) << got;
}

// A system log that reads nothing holds no record up for long: once its queue is full, each
// record waits a moment for room and is dropped (syslog(3) would wait for ever).
TEST(SyslogMessage, StalledLogSocketDropsRecords) {
  LogSocket stalled(SOCK_DGRAM);
  ASSERT_TRUE(stalled.ok());
  constexpr int kRecords = 15; // more than the queue holds here (net.unix.max_dgram_qlen 10)
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRecords; i++) syslog_message(nullptr, LOG_ERR, "%s[%d]: %d", "f", 1, i);
  const auto waited = std::chrono::steady_clock::now() - start;
  int queued = 0;
  char buf[512];
  while (recv(stalled.fd(), buf, sizeof buf, MSG_DONTWAIT) > 0) queued++;
  EXPECT_GE(queued, 1);
  EXPECT_LT(waited, std::chrono::seconds(kRecords)) << "a record waited a second or more";
}

// A message that cannot be formatted is still logged, under the program's own name: the one
// record that stands outside the module's identity.
TEST(SendMessage, FormattingFailureIsLoggedUnderTheProgramName) {
  if (!allocator_replaced()) GTEST_SKIP() << "the sanitizers own the allocator";
  syslog_capture_start();
  fail_allocation(1, kAllocatorCalls);
  send_message(nullptr, PAM_TEXT_INFO, "%s and more", "text");
  allow_allocations();
  const auto records = syslog_records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ident, program_invocation_short_name);
  EXPECT_EQ(records[0].pid, getpid());
  EXPECT_EQ(records[0].priority, LOG_ERR);
  EXPECT_EQ(records[0].facility, LOG_AUTH >> 3);
  EXPECT_EQ(records[0].text, "send_message: vasprintf() failed to allocate memory.");
}

TEST(ConversationWithoutHandle, EveryHelperFailsQuietly) {
  char *answer = reinterpret_cast<char *>(1);
  EXPECT_EQ(converse(nullptr, PAM_PROMPT_ECHO_OFF, "x", &answer), PAM_SYSTEM_ERR);
  EXPECT_EQ(answer, nullptr);
  EXPECT_EQ(prompt_user(nullptr, PAM_PROMPT_ECHO_OFF, "x"), nullptr);
  const char *lines[] = {"a"};
  EXPECT_EQ(prompt_user_with_info(nullptr, PAM_PROMPT_ECHO_ON, "x", lines, 1), nullptr);
  send_message(nullptr, PAM_TEXT_INFO, "%s", "dropped");
}
