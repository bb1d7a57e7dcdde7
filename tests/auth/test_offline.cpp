// The offline code store in one process: hashes, salts, file names, consumption with its notices,
// storing, file modes, planted links and hostile user names.
#include <gtest/gtest.h>

#include <cstring>
#include <security/pam_appl.h>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/offline.h"
#include "syslog_reader.h"
#include "test_offline_util.h"

using namespace offtest;
using zvtest::info;
using zvtest::logged;
using zvtest::PamMessage;
using zvtest::PamMessages;

namespace {

const PamMessage kBangs = info(std::string(65, '!'));
const PamMessage kReconnect =
    info("!!! Reconnect to the network to replenish your offline codes. !!!");
const PamMessages kNoCodes = {
    kBangs, info("!!! There are no offline codes available.                     !!!"), kReconnect,
    kBangs};

PamMessages low_banner(int n) {
  return {kBangs,
          info("!!! There are only " + std::to_string(n) +
               " offline codes remaining.                 !!!"),
          kReconnect, kBangs};
}

mode_t mode_of(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mode;
}

class OfflineTest : public OfflineFixture {
protected:
  int consume(const std::string &code, const char *user = "alice") {
    return has_matching_offline_otp(&params, user, code.c_str());
  }
  int store(std::vector<std::string> codes, const char *user = "alice") {
    std::vector<char *> ptrs;
    for (auto &c : codes) ptrs.push_back(c.data());
    return store_offline_codes(&params, user, ptrs.data(), ptrs.size());
  }
  // A fresh stock of ten lines (line i holds code_for(i)) and no messages seen yet.
  void fresh() {
    write_file(path, stock);
    seen.clear();
  }
  std::string tail(size_t from) const {
    std::string out;
    for (size_t i = from; i < lines.size(); i++) out += lines[i];
    return out;
  }

  const std::string path = code_file("alice");
  const std::string stock = make_stock(10);
  const std::vector<std::string> lines = split_lines(stock);
  const std::string target = "/etc/zv-offline-target";
};

} // namespace

TEST(OfflineHash, AgreesWithTheOpensslCommandLine) {
  struct Case {
    const char *code, *salt;
    size_t salt_len;
  };
  const Case cases[] = {{"123456", "ABCDEFGHIJKLMNOP", 16},
                        {"0987654321", "a+/b9Zz0Yy1Xx2Ww", 16},
                        {"42", "ABCDEFGHIJKLMNOP", 5}, // only the given length of the salt
                        {"", "onlysaltonlysalt", 16}};
  module_params params{};
  for (const Case &c : cases) {
    char out[ZV_SHA512_HEX_LEN + 1];
    memset(out, 'x', sizeof out);
    generate_salted_sha512(&params, c.code, c.salt, c.salt_len, out);
    EXPECT_EQ(out, openssl_sha512(std::string(c.code) + std::string(c.salt, c.salt_len))) << c.code;
  }
}

TEST(OfflineSalt, DrawsSixteenFreshCharactersOfTheWholeAlphabet) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::set<char> used;
  std::set<std::string> salts;
  for (int i = 0; i < 300; i++) {
    char salt[ZV_SALT_LEN + 1];
    memset(salt, 'x', sizeof salt);
    generate_salt(salt, ZV_SALT_LEN);
    ASSERT_EQ(strlen(salt), 16u);
    for (char ch : std::string(salt)) ASSERT_NE(alphabet.find(ch), std::string::npos);
    used.insert(salt, salt + 16);
    salts.insert(salt);
  }
  EXPECT_EQ(used.size(), 64u); // every character reachable (96 random bits per salt)
  EXPECT_EQ(salts.size(), 300u);
  char none[1] = {'x'};
  generate_salt(none, 0);
  EXPECT_EQ(none[0], '\0');
}

TEST(OfflineFileName, FormsThePathAndRefusesNamesThatLeaveTheDirectoryOrGetCut) {
  char buf[ZV_OFFLINE_NAME_SIZE];
  generate_offline_codes_filename(buf, sizeof buf, "alice");
  EXPECT_STREQ(buf, "/etc/zelvane.d/alice.offline");
  char small[10];
  generate_offline_codes_filename(small, sizeof small, "alice");
  EXPECT_STREQ(small, "/etc/zelv");

  for (const char *bad : {"", ".", "..", "a/b", "../x", "/", "alice/"})
    EXPECT_EQ(offline_username_ok(bad), 0) << bad;
  EXPECT_EQ(offline_username_ok(nullptr), 0);
  for (const char *good : {"alice", "...", ".alice", "a.b", "user@example.com"})
    EXPECT_EQ(offline_username_ok(good), 1) << good;
  // "/etc/zelvane.d/" + name + ".offline.fail.new" must fit 255 characters whole.
  EXPECT_EQ(offline_username_ok(std::string(223, 'u').c_str()), 1);
  EXPECT_EQ(offline_username_ok(std::string(224, 'u').c_str()), 0);
}

TEST_F(OfflineTest, RemainingCountIsToldByNoticeOrBanner) {
  fresh();
  EXPECT_EQ(consume(code_for(3)), 0);
  EXPECT_EQ(read_file(path), tail(4));
  EXPECT_TRUE(seen.empty()); // six left, notice not asked for

  fresh();
  params.offline_codes_show_remaining = 1;
  EXPECT_EQ(consume(code_for(3)), 0);
  EXPECT_EQ(seen, PamMessages{info("There are 6 offline codes remaining.")});

  for (int show : {0, 1}) { // four left: the banner whatever the setting
    fresh();
    params.offline_codes_show_remaining = show;
    EXPECT_EQ(consume(code_for(5)), 0);
    EXPECT_EQ(read_file(path), tail(6));
    EXPECT_EQ(seen, low_banner(4));
  }
  for (const auto &line : seen) EXPECT_EQ(line.text.size(), 65u);
}

TEST_F(OfflineTest, FirstAndLastLine) {
  fresh();
  EXPECT_EQ(consume(code_for(0)), 0);
  EXPECT_EQ(read_file(path), tail(1));
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(consume(code_for(9)), 0);
  EXPECT_EQ(read_file(path), "");
  EXPECT_TRUE(S_ISREG(mode_of(path)));
  EXPECT_EQ(seen, low_banner(0));
  // The failure count stays, empty.
  EXPECT_EQ(listing(kDir), (std::vector<std::string>{"alice.offline", "alice.offline.fail"}));
  EXPECT_EQ(read_file(path + ".fail"), "");
}

TEST_F(OfflineTest, UsedAndUnknownCodesAreRefusedSilently) {
  fresh();
  ASSERT_EQ(consume(code_for(3)), 0);
  for (int i = 0; i <= 3; i++) EXPECT_EQ(consume(code_for(i)), 9003) << i;
  EXPECT_EQ(consume("999999"), 9003);
  EXPECT_EQ(consume(""), 9003);
  EXPECT_EQ(has_matching_offline_otp(&params, "alice", nullptr), 9003);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(read_file(path), tail(4));
}

TEST_F(OfflineTest, MalformedLinesNeverMatchButAreUsedUpWithTheLinesAbove) {
  const std::string code = "314159";
  const std::string s15 = "ABCDEFGHIJKLMNO";
  std::string cr = make_line(code, salt_for(2));
  cr.insert(cr.size() - 1, "\r");
  std::string upper = make_line(code, salt_for(3));
  for (size_t i = 20; i < 148; i++) upper[i] = static_cast<char>(toupper(upper[i]));
  const std::string bad = make_line(code, salt_for(1), 5) + cr + upper +
                          // a 15-character salt, padded to full length; hashes over the salt with
                          // or without the zero that ends it
                          "$06$" + s15 + "$" + sha512_hex(code + s15 + std::string(1, '\0')) +
                          "\n" + "$06$" + s15 + "$" + sha512_hex(code + s15) + "\n" +
                          make_line(code, salt_for(4)).substr(0, 100) + "\n" +
                          make_line(code, salt_for(5)).substr(0, 148) + "trailing\n";
  const std::string rest = make_line("777777", salt_for(8)) + make_line("888888", salt_for(9));
  write_file(path, bad + make_line("271828", salt_for(6)) + rest);

  EXPECT_EQ(consume(code), 9003);
  EXPECT_EQ(read_file(path), bad + make_line("271828", salt_for(6)) + rest);
  EXPECT_EQ(consume("271828"), 0);
  EXPECT_EQ(read_file(path), rest);
}

TEST_F(OfflineTest, MissingFileShowsTheNoCodesBannerAndOffTouchesNothing) {
  EXPECT_EQ(consume(code_for(0)), 9003);
  EXPECT_EQ(seen, kNoCodes);
  for (const auto &line : seen) EXPECT_EQ(line.text.size(), 65u);
  EXPECT_TRUE(listing(kDir).empty());

  fresh();
  params.offline_codes = 0;
  struct stat before {
  }, after{};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  EXPECT_EQ(consume(code_for(0)), 9003);
  EXPECT_EQ(consume("123456", "nobody"), 9003);
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(read_file(path), stock);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_TRUE(seen.empty());
}

TEST_F(OfflineTest, StoresOneSaltedLinePerCodeAndEachIsUsableOnce) {
  const std::vector<std::string> codes = {"111111", "222222", "333333", "444444",
                                          "555555", "666666", "777777"};
  ASSERT_EQ(store(codes), 0);
  const auto first = split_lines(read_file(path));
  ASSERT_EQ(first.size(), codes.size());
  for (size_t i = 0; i < first.size(); i++) EXPECT_EQ(code_index(first[i], codes), int(i));
  EXPECT_EQ(first[0].substr(20, 128), openssl_sha512("111111" + first[0].substr(3, 16)));

  ASSERT_EQ(store(codes), 0); // the same codes again get fresh salts
  const auto second = split_lines(read_file(path));
  ASSERT_EQ(second.size(), codes.size());
  for (size_t i = 0; i < second.size(); i++) {
    EXPECT_NE(second[i], first[i]);
    EXPECT_EQ(code_index(second[i], codes), int(i));
  }
  EXPECT_EQ(listing(kDir), std::vector<std::string>{"alice.offline"});

  params.offline_codes_show_remaining = 1;
  EXPECT_EQ(consume("111111"), 0);
  EXPECT_EQ(consume("333333"), 0);
  EXPECT_EQ(consume("222222"), 9003);
  EXPECT_EQ(consume("333333"), 9003);
  EXPECT_EQ(consume("777777"), 0);
  EXPECT_EQ(read_file(path), "");
  PamMessages expected = {info("There are 6 offline codes remaining.")};
  for (const auto &line : low_banner(4)) expected.push_back(line);
  for (const auto &line : low_banner(0)) expected.push_back(line);
  EXPECT_EQ(seen, expected);
}

TEST_F(OfflineTest, MissingEntryOrSaltStoresNoLineForIt) {
  char a[] = "111111", c[] = "333333";
  char *codes[] = {a, nullptr, c};
  ASSERT_EQ(store_offline_codes(&params, "alice", codes, 3), 0);
  const auto stored = split_lines(read_file(path));
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(code_index(stored[0], {"111111"}), 0);
  EXPECT_EQ(code_index(stored[1], {"333333"}), 0);
  EXPECT_TRUE(logged({LOG_ERR, "validate_oath_otp_error_code: NULL offline code at index 1"}));

  // A salt device that gives nothing: the salt stays empty, no line is written unsalted, and
  // the stock on disk is kept rather than replaced by nothing.
  const std::string before = read_file(path);
  ASSERT_EQ(mount("/dev/null", "/dev/urandom", nullptr, MS_BIND, nullptr), 0);
  char salt[ZV_SALT_LEN + 1];
  memset(salt, 'x', sizeof salt);
  testing::internal::CaptureStderr();
  generate_salt(salt, ZV_SALT_LEN);
  const int rc = store_offline_codes(&params, "alice", codes, 1);
  const std::string err = testing::internal::GetCapturedStderr();
  umount("/dev/urandom");
  EXPECT_STREQ(salt, "");
  EXPECT_NE(err.find("read /dev/urandom: "), std::string::npos) << err;
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(
      logged({LOG_ERR, "validate_oath_otp_error_code: No salt for offline code at index 0"}));
  EXPECT_EQ(read_file(path), before);
}

TEST_F(OfflineTest, FilesAreOwnerOnlyWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}}) {
    const mode_t old = umask(mask);
    unlink(path.c_str());
    ASSERT_EQ(store({"111111", "222222", "333333"}), 0);
    EXPECT_EQ(mode_of(path) & 07777, 0600u);
    chmod(path.c_str(), 0644); // a file left wider is narrowed by the next replacement
    ASSERT_EQ(consume("111111"), 0);
    EXPECT_EQ(mode_of(path) & 07777, 0600u);
    chmod(path.c_str(), 0666);
    ASSERT_EQ(store({"444444"}), 0);
    EXPECT_EQ(mode_of(path) & 07777, 0600u);
    umask(old);
  }
}

TEST_F(OfflineTest, LinkOrSpecialFileAtTheCodeFileIsNeverOpened) {
  write_file(target, make_stock(3));
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  EXPECT_EQ(consume(code_for(0)), 9003);
  EXPECT_EQ(seen, kNoCodes);
  EXPECT_EQ(store({"111111"}), -1);
  EXPECT_EQ(read_file(target), make_stock(3));
  EXPECT_TRUE(S_ISLNK(mode_of(path)));
  EXPECT_TRUE(logged(
      {LOG_ERR, "has_matching_offline_otp: Offline codes file is not a regular file: " + path}));
  EXPECT_TRUE(
      logged({LOG_ERR,
              "validate_oath_otp_error_code: Offline codes file is not a regular file: " + path}));

  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); // refused without blocking on the pipe
  EXPECT_EQ(consume(code_for(0)), 9003);
  EXPECT_EQ(store({"111111"}), -1);
  EXPECT_TRUE(S_ISFIFO(mode_of(path)));
}

TEST_F(OfflineTest, LinkAtTheCompanionIsReplacedNeverWrittenThrough) {
  const std::string companion = path + ".new";
  write_file(target, "precious\n");
  fresh();
  ASSERT_EQ(symlink(target.c_str(), companion.c_str()), 0);
  EXPECT_EQ(consume(code_for(0)), 0);
  EXPECT_EQ(read_file(path), tail(1));

  ASSERT_EQ(symlink(target.c_str(), companion.c_str()), 0);
  EXPECT_EQ(store({"111111", "222222"}), 0);
  EXPECT_EQ(split_lines(read_file(path)).size(), 2u);

  EXPECT_EQ(read_file(target), "precious\n");
  EXPECT_TRUE(S_ISREG(mode_of(path)));
  EXPECT_EQ(listing(kDir), (std::vector<std::string>{"alice.offline", "alice.offline.fail"}));
}

TEST_F(OfflineTest, HostileUserNamesTouchNoFile) {
  const std::string too_long(224, 'u');
  // (name, as logged: control characters escaped)
  const std::pair<std::string, std::string> names[] = {{"", ""},
                                                       {".", "."},
                                                       {"..", ".."},
                                                       {"../escape", "../escape"},
                                                       {"a/b", "a/b"},
                                                       {"/tmp/x", "/tmp/x"},
                                                       {too_long, too_long},
                                                       {"a/\x1b[2J\nb", "a/\\x1b[2J\\x0ab"}};
  for (const auto &[name, shown] : names) {
    seen.clear();
    EXPECT_EQ(consume("111111", name.c_str()), 9003) << name;
    EXPECT_EQ(seen, kNoCodes) << name;
    EXPECT_EQ(store({"111111"}, name.c_str()), -1) << name;
    EXPECT_TRUE(logged(
        {LOG_ERR,
         "validate_oath_otp_error_code: Refusing offline codes file for user name: " + shown}))
        << name;
  }
  EXPECT_TRUE(listing(kDir).empty());
  EXPECT_NE(access("/etc/escape.offline", F_OK), 0);

  // The longest name that fits whole works, companion and all.
  const std::string longest(223, 'u');
  ASSERT_EQ(store({"111111", "222222"}, longest.c_str()), 0);
  EXPECT_EQ(code_file(longest).size() + std::strlen(".fail.new"), 255u);
  EXPECT_EQ(consume("000000", longest.c_str()), 9003);
  EXPECT_EQ(consume("111111", longest.c_str()), 0);
  EXPECT_EQ(listing(kDir),
            (std::vector<std::string>{longest + ".offline", longest + ".offline.fail"}));
}
