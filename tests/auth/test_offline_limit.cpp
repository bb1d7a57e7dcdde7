// The limit on failed offline code checks while the server is down: guesses up to the limit,
// the refusal that spares the code, the end of the lockout, what clears the count, push polls,
// the safety of the count file, and failures of many processes at once.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <sys/stat.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

#include "api/api.h"
#include "auth/offline.h"
#include "fake_server.h"
#include "syslog_reader.h"
#include "test_offline_util.h"

using namespace offtest;

namespace {

const std::string kPath = code_file("alice");
const std::string kCount = kPath + ".fail";
const std::string kWrong = "99999999";

// The count of a "<count> <time>\n" record; -1 when the file holds something else.
int stored_count(const std::string &text) {
  std::smatch m;
  static const std::regex record(R"(([0-9]+) ([0-9]+)\n)");
  return std::regex_match(text, m, record) ? std::stoi(m[1]) : -1;
}

std::string tail(int from) {
  std::string out;
  const auto lines = split_lines(make_stock(10));
  for (size_t i = static_cast<size_t>(from); i < lines.size(); i++) out += lines[i];
  return out;
}

// Code checks against the fake server, which is down for them until a test says otherwise.
class OfflineLimit : public OfflineFixture {
protected:
  void SetUp() override {
    OfflineFixture::SetUp();
    ASSERT_EQ(fake.fill_params(&params, pamh,
                               {"offline_codes", "offline_codes_max_failures=3",
                                "offline_codes_lockout_secs=3"}),
              0);
    fake.set_default("validate_oath_otp", zvtest::Reply{.close_without_reply = true});
    write_file(kPath, make_stock(10));
  }
  void TearDown() override {
    free_params(&params);
    OfflineFixture::TearDown();
  }
  int check(const std::string &code) { return validate_oath_otp(&params, "alice", code.c_str()); }

  zvtest::FakeZelvane fake;
};

} // namespace

TEST_F(OfflineLimit, RefusedWithoutComparingUntilTheLockoutHasPassed) {
  // The last failure as counted, and stamped a day ahead (a clock that ran ahead and was set
  // back), which is read as now: the lockout ends as long after it either way.
  for (const long long ahead : {0LL, 86400LL}) {
    write_file(kPath, make_stock(10));
    write_file(kCount, "");
    zvtest::syslog_clear();
    for (int i = 1; i <= 3; i++) {
      EXPECT_EQ(check(kWrong), PAM_AUTH_ERR);
      EXPECT_EQ(stored_count(read_file(kCount)), i);
    }
    if (ahead != 0) write_file(kCount, "3 " + std::to_string(time(nullptr) + ahead) + "\n");
    // The right code is refused and stays in the file.
    EXPECT_EQ(check(code_for(0)), PAM_AUTH_ERR) << ahead;
    EXPECT_EQ(read_file(kPath), make_stock(10));
    EXPECT_EQ(stored_count(read_file(kCount)), 3);
    EXPECT_TRUE(zvtest::logged(
        {LOG_WARNING,
         "has_matching_offline_otp: Offline code check refused for alice after 3 failed checks"}));
    EXPECT_FALSE(zvtest::syslog_contains(code_for(0)));
    EXPECT_FALSE(zvtest::syslog_contains(kWrong));

    std::this_thread::sleep_for(std::chrono::milliseconds(3100));
    EXPECT_EQ(check(code_for(0)), PAM_SUCCESS) << ahead;
    EXPECT_EQ(read_file(kPath), tail(1));
    EXPECT_EQ(read_file(kCount), "");
    EXPECT_EQ(check(code_for(0)), PAM_AUTH_ERR); // once
    EXPECT_EQ(stored_count(read_file(kCount)), 1);
  }
}

TEST_F(OfflineLimit, SuccessAndRefillClearTheCountAndPushPollsDoNotCount) {
  for (const bool refill : {false, true}) {
    write_file(kCount, "");
    EXPECT_EQ(check(kWrong), PAM_AUTH_ERR);
    EXPECT_EQ(check(kWrong), PAM_AUTH_ERR);
    // A push poll falls back with the request's id: neither counted nor refused.
    for (int i = 0; i < 4; i++) EXPECT_EQ(validate_push_poll(&params, "alice", "request-17"), 9003);
    EXPECT_EQ(stored_count(read_file(kCount)), 2) << refill;
    if (refill) {
      fake.queue_json("validate_oath_otp", R"({"errorCode": 0, "offlineCodes": "1,2,3,4,5,6"})");
      EXPECT_EQ(check("123456"), PAM_SUCCESS);
      EXPECT_EQ(split_lines(read_file(kPath)).size(), 1u);
    } else {
      write_file(kPath, make_stock(10));
      EXPECT_EQ(check(code_for(4)), PAM_SUCCESS);
    }
    EXPECT_EQ(read_file(kCount), "") << refill;
  }
}

TEST_F(OfflineLimit, CountFileIsOwnerOnlyAndNeverFollowedOrTrustedWhenOdd) {
  const mode_t old = umask(0);
  EXPECT_EQ(check(kWrong), PAM_AUTH_ERR);
  umask(old);
  struct stat st {};
  ASSERT_EQ(lstat(kCount.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  const std::string target = "/etc/zv-count-target";
  struct Case {
    const char *what;
    std::function<void()> plant;
    std::string logged;
  } cases[] = {
      {"link", [&] { ASSERT_EQ(symlink(target.c_str(), kCount.c_str()), 0); },
       "Offline failure count file is not a regular file: " + kCount},
      {"fifo", [&] { ASSERT_EQ(mkfifo(kCount.c_str(), 0600), 0); },
       "Offline failure count file is not a regular file: " + kCount},
      {"directory", [&] { ASSERT_EQ(mkdir(kCount.c_str(), 0700), 0); },
       "Offline failure count file is not a regular file: " + kCount},
      {"junk", [&] { write_file(kCount, "junk\n"); },
       "Unreadable offline failure count file: " + kCount},
  };
  for (const Case &c : cases) {
    unlink(kCount.c_str());
    rmdir(kCount.c_str());
    write_file(target, "precious\n");
    zvtest::syslog_clear();
    c.plant();
    // Refused: the right code is not taken, and nothing is written through the plant.
    EXPECT_EQ(check(code_for(0)), PAM_AUTH_ERR) << c.what;
    EXPECT_EQ(read_file(kPath), make_stock(10)) << c.what;
    EXPECT_EQ(read_file(target), "precious\n") << c.what;
    EXPECT_TRUE(zvtest::syslog_contains("]: " + c.logged)) << c.what;
  }
  unlink(kCount.c_str());
  unlink(target.c_str());
}

// Many processes failing at once: each failure counts, and none compares past the limit.
TEST_F(OfflineFixture, ConcurrentFailuresEachCountAndStopAtTheLimit) {
  constexpr int kProcesses = 16;
  for (const int limit : {100, 5}) {
    write_file(kPath, make_stock(10));
    unlink(kCount.c_str());
    params.offline_codes_max_failures = limit;
    params.offline_codes_lockout_secs = 900;
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < kProcesses; i++) {
      const pid_t pid = fork();
      if (pid == 0) {
        close(gate[1]);
        char c = 0;
        if (read(gate[0], &c, 1) != 0) _exit(2); // every child goes when the gate closes
        params.pamh = nullptr;
        _exit(has_matching_offline_otp(&params, "alice", kWrong.c_str()) == 9003 ? 0 : 1);
      }
      children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : children) EXPECT_EQ(wait_child(pid), 0) << limit;
    EXPECT_EQ(stored_count(read_file(kCount)), std::min(limit, kProcesses)) << limit;
    EXPECT_EQ(read_file(kPath), make_stock(10));
  }
}
