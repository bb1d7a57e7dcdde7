#include "test_offline_util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <openssl/sha.h>
#include <security/pam_appl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "syslog_reader.h"

namespace offtest {

namespace {

bool sleep_until(const std::function<bool()> &done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

} // namespace

std::string code_file(const std::string &user) {
  return std::string(kDir) + "/" + user + ".offline";
}

std::string sha512_hex(const std::string &input) {
  unsigned char md[SHA512_DIGEST_LENGTH];
  SHA512(reinterpret_cast<const unsigned char *>(input.data()), input.size(), md);
  char hex[2 * SHA512_DIGEST_LENGTH + 1];
  for (int i = 0; i < SHA512_DIGEST_LENGTH; i++) snprintf(hex + 2 * i, 3, "%02x", md[i]);
  return hex;
}

std::string openssl_sha512(const std::string &input) {
  // Inputs are letters, digits, '+' and '/': safe inside single quotes.
  const std::string cmd = "printf '%s' '" + input + "' | openssl dgst -sha512";
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "";
  char buf[512] = {};
  const size_t n = fread(buf, 1, sizeof buf - 1, p);
  pclose(p);
  std::string out(buf, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  const size_t space = out.rfind(' ');
  return space == std::string::npos ? out : out.substr(space + 1);
}

std::string make_line(const std::string &code, const std::string &salt, int kind) {
  return "$" + std::to_string(kind) + "$" + salt + "$" + sha512_hex(code + salt) + "\n";
}

std::string salt_for(int i) {
  std::string digits = std::to_string(i % 1000000);
  return "Salt+/salt" + std::string(6 - digits.size(), '0') + digits;
}

std::string code_for(int i) { return std::to_string(100000 + 7 * i); }

std::string make_stock(int count) {
  std::string out;
  for (int i = 0; i < count; i++) out += make_line(code_for(i), salt_for(i));
  return out;
}

void write_file(const std::string &path, const std::string &content, mode_t mode) {
  unlink(path.c_str());
  {
    std::ofstream f(path, std::ios::binary);
    f << content;
  }
  chmod(path.c_str(), mode);
}

std::vector<std::string> split_lines(const std::string &content) {
  std::vector<std::string> out;
  std::stringstream ss(content);
  std::string line;
  while (std::getline(ss, line)) out.push_back(line + "\n");
  return out;
}

std::vector<std::string> listing(const std::string &dir) {
  std::vector<std::string> out;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

bool well_formed(const std::string &line) {
  static const std::string salt_chars =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (line.size() != 149 || line.compare(0, 3, "$6$") != 0 || line[19] != '$' ||
      line.back() != '\n')
    return false;
  for (size_t i = 3; i < 19; i++)
    if (salt_chars.find(line[i]) == std::string::npos) return false;
  for (size_t i = 20; i < 148; i++)
    if (!isdigit(static_cast<unsigned char>(line[i])) && (line[i] < 'a' || line[i] > 'f'))
      return false;
  return true;
}

int code_index(const std::string &line, const std::vector<std::string> &codes) {
  if (!well_formed(line)) return -1;
  const std::string salt = line.substr(3, 16);
  const std::string hash = line.substr(20, 128);
  for (size_t i = 0; i < codes.size(); i++)
    if (sha512_hex(codes[i] + salt) == hash) return static_cast<int>(i);
  return -1;
}

bool wait_until_blocked_on_lock(pid_t pid, ino_t ino) {
  // /proc/locks lists a waiter as "N: -> FLOCK  ADVISORY  WRITE <pid> <maj>:<min>:<inode> ...".
  return sleep_until(
      [&] {
        std::ifstream locks("/proc/locks");
        std::string line;
        while (std::getline(locks, line)) {
          std::istringstream fields(line);
          std::string number, arrow, kind, advisory, type, who, where;
          fields >> number >> arrow >> kind >> advisory >> type >> who >> where;
          if (arrow == "->" && kind == "FLOCK" && who == std::to_string(pid) &&
              where.substr(where.rfind(':') + 1) == std::to_string(ino))
            return true;
        }
        return false;
      },
      5000);
}

int wait_child(pid_t pid, int timeout_ms) {
  int status = 0;
  const bool done = sleep_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
  if (!done) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void OfflineFixture::SetUp() {
  zvtest::syslog_capture_start();
  for (const auto &name : listing(kDir)) unlink((std::string(kDir) + "/" + name).c_str());
  write_file("/etc/pam.d/zv-offline", "auth required pam_permit.so\n", 0644);
  pam_conv conv{zvtest::record_messages, &seen};
  ASSERT_EQ(pam_start("zv-offline", "alice", &conv, &pamh), PAM_SUCCESS);
  params.pamh = pamh;
  params.offline_codes = 1;
}

void OfflineFixture::TearDown() { pam_end(pamh, PAM_SUCCESS); }

} // namespace offtest
