// What a push request tells the phone's owner (the placeholders of push_app_name and
// push_reason), and the limit on pushes per user counted across processes.
#include <fcntl.h>
#include <jansson.h>
#include <sys/wait.h>
#include <unistd.h>

#include "op_fixture.h"

using namespace zvtest;

namespace {

class PushContext : public OperationTest {
protected:
  // The reason of a push to `user`, from `pattern`, with the remote host and terminal set
  // (null: not set).
  std::string reason(const std::string &pattern, const char *rhost, const char *tty,
                     const char *user = "alice") {
    configure({"push_app_name=%u@%h", "push_reason='" + pattern + "'"});
    EXPECT_EQ(pam_set_item(pamh, PAM_RHOST, rhost), PAM_SUCCESS);
    EXPECT_EQ(pam_set_item(pamh, PAM_TTY, tty), PAM_SUCCESS);
    zv::HeapPtr<char> body(get_send_push_message_json(params.get(), user, "pushapp"));
    if (!body) return "(no body)";
    zv::UniquePtr<json_t> root(json_loads(body.get(), 0, nullptr));
    app_name = json_string_value(json_object_get(root.get(), "appName"));
    return json_string_value(json_object_get(root.get(), "authnReason"));
  }
  std::string app_name;
};

std::string times(const std::string &s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

} // namespace

TEST_F(PushContext, PlaceholdersAreFilledCleanedAndCut) {
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const std::string e = "\xc3\xa9"; // two bytes
  struct Row {
    std::string pattern;
    const char *rhost, *tty;
    std::string expected;
  };
  // Remote hosts (the rows keep pointers into them).
  const std::string hostile = "evil\r\n\x1b[2Jhost\x7f\xc2\x85\xff" + std::string(400, 'a');
  const std::string wide = times(e, 40), shifted = "x" + times(e, 40), long_b(64, 'b');
  const std::vector<Row> rows = {
      {"%s login to %h from %r", "203.0.113.9", nullptr,
       std::string("zv-api login to ") + host + " from 203.0.113.9"},
      {"%u on %t from %r", nullptr, nullptr, "alice on - from local"},
      {"%u on %t from %r", "", "pts/3", "alice on pts/3 from local"},
      {"100%% %x %", nullptr, nullptr, "100% %x %"},
      // Control characters, DEL, C1 controls and invalid bytes go; the rest is cut to 64 bytes.
      {"[%r]", hostile.c_str(), nullptr, "[evil[2Jhost" + std::string(53, 'a') + "]"},
      {"%r", wide.c_str(), nullptr, times(e, 32)},
      {"%r", shifted.c_str(), nullptr, "x" + times(e, 31)},
      // The whole text is cut to 256 bytes, never inside a character.
      {"%r%r%r%r%r", long_b.c_str(), nullptr, std::string(256, 'b')},
      {"x" + times(e, 200), nullptr, nullptr, "x" + times(e, 127)},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(reason(row.pattern, row.rhost, row.tty), row.expected) << row.pattern;
    EXPECT_EQ(app_name, std::string("alice@") + host);
  }
}

// sshd forks a process per connection: eight logins at once that each want a push for the
// same user get exactly push_limit of them out.
TEST_F(PushContext, EightProcessesAtOnceSendExactlyTheLimit) {
  configure({"push_limit=3", "max_push_wait_secs=2"});
  fake.set_default_json("send_push_message", R"({"errorCode": 0, "authnUserReqId": "r1"})");
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 8; i++) {
    const pid_t pid = fork();
    if (pid == 0) {
      char go = 0;
      close(gate[1]);
      (void)!read(gate[0], &go, 1); // returns once the parent closes its end
      _exit(send_push_message(params.get(), "carol", "pushapp"));
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  std::map<int, int> results;
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    results[WEXITSTATUS(status)]++;
  }
  EXPECT_EQ(fake.requests("send_push_message").size(), 3u);
  EXPECT_EQ(results, (std::map<int, int>{{PAM_SUCCESS, 3}, {PAM_AUTH_ERR, 5}}));
  EXPECT_EQ(count_logged(LOG_WARNING, "send_push_message: Push request for carol held back: 3 "
                                      "push requests within 600 seconds"),
            5u);
  struct stat st {};
  ASSERT_EQ(lstat("/etc/zelvane.d/carol.push", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // Other users have their own count; a name unfit for a file touches nothing.
  EXPECT_EQ(send_push_message(params.get(), "dave", "pushapp"), PAM_SUCCESS);
  said.clear();
  EXPECT_EQ(send_push_message(params.get(), "../carol", "pushapp"), PAM_AUTH_ERR);
  EXPECT_EQ(said, (PamMessages{error(
                      "Push requests are unavailable. Please enter a code or contact support.")}));
  EXPECT_EQ(fake.requests("send_push_message").size(), 4u);
}
