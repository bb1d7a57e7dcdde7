// The offline code store across processes: a consumer or writer that waited for the lock while
// the file was replaced, and many consumers racing a writer of new stocks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <linux/close_range.h>
#include <new>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/offline.h"
#include "syslog_reader.h"
#include "test_offline_util.h"

using namespace offtest;

namespace {

class OfflineRace : public OfflineFixture {
protected:
  void SetUp() override {
    OfflineFixture::SetUp();
    child_params = params;
    child_params.pamh = nullptr; // children tell nobody anything
  }
  // Runs `fn` in a child process that exits with its result. The child must not inherit the
  // test's locked descriptors: a lock lives as long as any copy of its descriptor.
  static pid_t spawn(const std::function<int()> &fn) {
    const pid_t pid = fork();
    if (pid == 0) {
      close_range(3, ~0U, 0);
      _exit(fn());
    }
    return pid;
  }
  // Exit 0 when the child accepted `code`, 1 when it was refused, 2 otherwise.
  pid_t spawn_consumer(const std::string &code) {
    return spawn([this, code] {
      const int rc = has_matching_offline_otp(&child_params, "bob", code.c_str());
      return rc == 0 ? 0 : rc == 9003 ? 1 : 2;
    });
  }
  int lock(const std::string &p) {
    const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX), 0);
    return fd;
  }
  // What another process does: a new file renamed over the name.
  void replace(const std::string &content) {
    write_file(path + ".other", content);
    ASSERT_EQ(rename((path + ".other").c_str(), path.c_str()), 0);
  }
  ino_t inode() const {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_ino;
  }
  std::string lines_from(const std::string &content, size_t from) {
    std::string out;
    const auto all = split_lines(content);
    for (size_t i = from; i < all.size(); i++) out += all[i];
    return out;
  }

  module_params child_params{};
  const std::string path = code_file("bob");
};

} // namespace

TEST_F(OfflineRace, ConsumerThatWaitedWhileTheFileWasReplacedReadsTheNewFile) {
  const std::string stock = make_stock(6);
  const std::string after = lines_from(stock, 3); // another login used code 2 meanwhile
  write_file(path, stock);
  int old_lock = lock(path);
  const pid_t child = spawn_consumer(code_for(2));
  ASSERT_TRUE(wait_until_blocked_on_lock(child, inode()));
  replace(after);
  const int new_lock = lock(path);
  close(old_lock);
  // It must notice the name moved on and wait for the new file's lock, not read the old one.
  EXPECT_TRUE(wait_until_blocked_on_lock(child, inode()));
  EXPECT_EQ(read_file(path), after);
  close(new_lock);
  EXPECT_EQ(wait_child(child), 1); // code 2 was used: refused
  EXPECT_EQ(read_file(path), after);

  // A code still in the new file is taken from the new file.
  old_lock = lock(path);
  const pid_t second = spawn_consumer(code_for(4));
  ASSERT_TRUE(wait_until_blocked_on_lock(second, inode()));
  replace(lines_from(stock, 4));
  close(old_lock);
  EXPECT_EQ(wait_child(second), 0);
  EXPECT_EQ(read_file(path), lines_from(stock, 5));
}

TEST_F(OfflineRace, ConsumerGivesUpOnAFileThatKeepsChanging) {
  write_file(path, make_stock(3));
  int held = lock(path);
  const pid_t child = spawn_consumer(code_for(0));
  for (int round = 0; round < 10; round++) {
    ASSERT_TRUE(wait_until_blocked_on_lock(child, inode())) << round;
    replace(make_stock(3));
    const int next = lock(path);
    close(held);
    held = next;
  }
  EXPECT_EQ(wait_child(child), 1);
  close(held);
  EXPECT_EQ(read_file(path), make_stock(3));
  EXPECT_TRUE(
      zvtest::syslog_contains("]: Offline codes file kept changing while locking: " + path));
}

TEST_F(OfflineRace, WriterThatWaitedWhileTheFileWasReplacedLocksTheNewFile) {
  const std::string stock = make_stock(4);
  write_file(path, stock);
  const int old_lock = lock(path);
  const pid_t child = spawn([this] {
    char code[] = "555555";
    char *codes[] = {code};
    return store_offline_codes(&child_params, "bob", codes, 1) == 0 ? 0 : 1;
  });
  ASSERT_TRUE(wait_until_blocked_on_lock(child, inode()));
  replace(lines_from(stock, 1));
  const int new_lock = lock(path);
  close(old_lock);
  EXPECT_TRUE(wait_until_blocked_on_lock(child, inode()));
  EXPECT_EQ(read_file(path), lines_from(stock, 1)); // nothing written under our lock
  close(new_lock);
  EXPECT_EQ(wait_child(child), 0);
  const auto stored = split_lines(read_file(path));
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(code_index(stored[0], {"555555"}), 0);
}

// A check that comes while a new stock is stored counts against the new stock: the writer
// forgets the old stock's failures before the new file takes the name, so no reset erases it.
TEST_F(OfflineRace, CheckDuringARefillCountsAgainstTheNewStock) {
  const std::string count = path + ".fail";
  write_file(path, make_stock(4));
  write_file(count, "1 " + std::to_string(time(nullptr)) + "\n");
  const int count_lock = lock(count);
  const pid_t writer = spawn([this] {
    char code[] = "555555";
    char *codes[] = {code};
    return store_offline_codes(&child_params, "bob", codes, 1) == 0 ? 0 : 1;
  });
  struct stat st {};
  ASSERT_EQ(stat(count.c_str(), &st), 0);
  ASSERT_TRUE(wait_until_blocked_on_lock(writer, st.st_ino)); // resetting the count
  EXPECT_EQ(read_file(path), make_stock(4)) << "the new stock took the name before the reset";
  const pid_t checker = spawn_consumer("99999999");
  EXPECT_TRUE(wait_until_blocked_on_lock(checker, inode())); // on the old file, held by the writer
  close(count_lock);
  EXPECT_EQ(wait_child(writer), 0);
  EXPECT_EQ(wait_child(checker), 1);
  EXPECT_EQ(read_file(count).substr(0, 2), "1 ");
  EXPECT_EQ(split_lines(read_file(path)).size(), 1u);
}

namespace {

constexpr int kRounds = 25;
constexpr int kCodes = 10;
constexpr int kConsumers = 3;

struct Shared {
  std::atomic<int> round{0};
  std::atomic<int> done{0};
  std::atomic<int> seq{0};
  std::atomic<int> bad_files{0};
  std::atomic<int> store_failures{0};
  std::atomic<int> accepted[kRounds + 1][kCodes];
  // Ticks taken just before the attempt and just after it succeeded.
  std::atomic<int> began[kRounds + 1][kCodes];
  std::atomic<int> ended[kRounds + 1][kCodes];
  std::atomic<int> stored[kRounds + 1]; // tick after each stock was in place
};

std::string stress_code(int round, int i) { return std::to_string(1000000 + round * 100 + i); }

std::vector<std::string> stress_stock(int round) {
  std::vector<std::string> codes;
  for (int i = 0; i < kCodes; i++) codes.push_back(stress_code(round, i));
  return codes;
}

int store_round(const module_params *params, int round) {
  auto codes = stress_stock(round);
  std::vector<char *> ptrs;
  for (auto &c : codes) ptrs.push_back(c.data());
  return store_offline_codes(params, "carol", ptrs.data(), ptrs.size());
}

bool past(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::steady_clock::now() > deadline;
}

} // namespace

// Consumers take codes of the current (and the previous) stock while a writer stores a new stock
// again and again and a reader checks every version of the file it sees.
TEST_F(OfflineRace, ConsumersAndAWriterNeverReuseNorLoseACode) {
  void *mem =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto *shared = new (mem) Shared();
  ASSERT_EQ(store_round(&child_params, 0), 0);
  const std::string file = code_file("carol");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);

  std::vector<pid_t> children;
  children.push_back(spawn([&] {
    for (int k = 1; k <= kRounds && !past(deadline); k++) {
      if (store_round(&child_params, k) != 0) shared->store_failures++;
      shared->stored[k] = ++shared->seq;
      shared->round = k;
      usleep(4000);
    }
    shared->done = 1;
    return 0;
  }));
  for (int c = 0; c < kConsumers; c++) {
    children.push_back(spawn([&, c] {
      unsigned seed = static_cast<unsigned>(c + 1);
      for (int n = 0, extra = 0; n < 20000 && extra < 40 && !past(deadline); n++) {
        const int k = shared->round;
        const int j = (k > 0 && rand_r(&seed) % 3 == 0) ? k - 1 : k;
        const int i = rand_r(&seed) % kCodes;
        const int began = ++shared->seq;
        if (has_matching_offline_otp(&child_params, "carol", stress_code(j, i).c_str()) == 0) {
          shared->accepted[j][i]++;
          shared->began[j][i] = began;
          shared->ended[j][i] = ++shared->seq;
        }
        if (shared->done != 0) extra++;
      }
      return 0;
    }));
  }
  children.push_back(spawn([&] {
    while (shared->done == 0 && !past(deadline)) {
      const std::string content = read_file(file);
      bool ok = access(file.c_str(), F_OK) == 0 && (content.empty() || content.back() == '\n');
      for (const auto &line : split_lines(content)) ok = ok && well_formed(line);
      if (!ok) shared->bad_files++;
      usleep(300);
    }
    return 0;
  }));
  for (pid_t pid : children) EXPECT_EQ(wait_child(pid, 30000), 0);

  EXPECT_EQ(shared->round, kRounds);
  EXPECT_EQ(shared->store_failures, 0);
  EXPECT_EQ(shared->bad_files, 0);
  EXPECT_GT(shared->seq, 0);
  for (int j = 0; j <= kRounds; j++) {
    for (int i = 0; i < kCodes; i++) {
      EXPECT_LE(shared->accepted[j][i], 1) << "stock " << j << " code " << i;
      // Once the next stock is in place, none of this one may be accepted.
      if (j < kRounds && shared->accepted[j][i] > 0) {
        EXPECT_LT(shared->began[j][i], shared->stored[j + 1]) << "stock " << j << " outlived";
      }
      // A code above an accepted one is used up: accepting it in an attempt that began after
      // the later code's acceptance had ended is a reuse.
      for (int later = i + 1; later < kCodes; later++)
        if (shared->accepted[j][i] > 0 && shared->accepted[j][later] > 0) {
          EXPECT_LT(shared->began[j][i], shared->ended[j][later])
              << "stock " << j << ": code " << i << " accepted after code " << later;
        }
    }
  }
  // The final stock: every code is either used (accepted or listed above an accepted one) or
  // still in the file, in order.
  int first_kept = 0;
  for (int i = 0; i < kCodes; i++)
    if (shared->accepted[kRounds][i] > 0) first_kept = i + 1;
  const auto kept = split_lines(read_file(file));
  ASSERT_EQ(kept.size(), static_cast<size_t>(kCodes - first_kept));
  for (size_t n = 0; n < kept.size(); n++)
    EXPECT_EQ(code_index(kept[n], stress_stock(kRounds)), first_kept + static_cast<int>(n));
  munmap(mem, sizeof(Shared));
}
