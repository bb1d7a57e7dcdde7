// Shared pieces of the offline code store tests: code files written and read independently of the
// module (hashes from libcrypto or the openssl command line), a PAM handle whose conversation
// records what the user is told, and bounded waits on child processes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <vector>

#include "config/params.h"
#include "pam_harness.h"
#include "test_files.h"

namespace offtest {

constexpr const char *kDir = "/etc/zelvane.d";

std::string code_file(const std::string &user);
// SHA-512 of `input` as 128 lower-case hex digits, from libcrypto.
std::string sha512_hex(const std::string &input);
// The same from the openssl command line (an implementation that shares nothing with ours).
std::string openssl_sha512(const std::string &input);
// "$6$<salt>$<hash of code+salt>\n".
std::string make_line(const std::string &code, const std::string &salt, int kind = 6);
// A distinct 16-character salt for index i.
std::string salt_for(int i);
// Code i of a test stock, and a file of `count` such lines (line i holds code i).
std::string code_for(int i);
std::string make_stock(int count);

void write_file(const std::string &path, const std::string &content, mode_t mode = 0600);
using zvtest::read_file;
std::vector<std::string> split_lines(const std::string &content);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> listing(const std::string &dir);
// True when `line` is a line this module writes ("$6$" 16 salt characters "$" 128 hex digits).
bool well_formed(const std::string &line);
// Index of the code in `codes` whose hash the line holds, or -1.
int code_index(const std::string &line, const std::vector<std::string> &codes);

// Waits (bounded) until process `pid` is blocked waiting for a flock on inode `ino`.
bool wait_until_blocked_on_lock(pid_t pid, ino_t ino);
// Waits (bounded) for a child and returns its exit code; kills it and returns -1 on timeout.
int wait_child(pid_t pid, int timeout_ms = 10000);

// A real libpam handle whose conversation records every message, and a record with offline
// codes on. Each test starts with an empty /etc/zelvane.d.
class OfflineFixture : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  module_params params{};
  pam_handle_t *pamh = nullptr;
  zvtest::PamMessages seen;
};

} // namespace offtest
