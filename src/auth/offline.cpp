// The offline code store: one file per user of salted SHA-512 hashes of single-use codes, read
// while the authentication server cannot be reached and replaced whole with every new stock.
// The files themselves are handled with the care of offline_file.cpp; every buffer that held
// their lines or a code is wiped.
#include "auth/offline.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/offline_file_int.h"
#include "auth/offline_limit_int.h"
#include "common/own.h"
#include "pam/log.h"

namespace {

constexpr char kSaltAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kHashKind = 6;
constexpr int kRejected = 9003;
// "$6$" + salt + "$" + hash: the only line this module writes, line feed excluded.
constexpr size_t kLineLen = 3 + ZV_SALT_LEN + 1 + ZV_SHA512_HEX_LEN;
constexpr char kFileSuffix[] = ".offline";
// Far beyond any stock the server hands out; keeps a stray file from filling memory.
constexpr size_t kMaxFileSize = 4u << 20;
// The writer serves the OTP validation and logs under its name; the checker logs under its own.
constexpr const char *kWriter = "validate_oath_otp_error_code";
constexpr const char *kChecker = "has_matching_offline_otp";

constexpr const char *kBangs = "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!";
constexpr const char *kNoCodes =
    "!!! There are no offline codes available.                     !!!";
constexpr const char *kReconnect =
    "!!! Reconnect to the network to replenish your offline codes. !!!";

// open_locked that logs, under `who`, why a code file could not be locked.
zv::offline::Opened lock_code_file(const module_params *params, const char *who, const char *name,
                                   bool create, zv::Fd *out, bool *created) {
  using zv::offline::Opened;
  const Opened rc = zv::offline::open_locked(name, create, out, created);
  if (rc == Opened::locked || rc == Opened::missing) return rc;
  const zv::LogText shown(name); // the name carries the user's
  if (rc == Opened::lock_failed && create)
    ZV_LOG_AS(who, params, LOG_ERR, "Failed to lock offline codes file for writing: %s",
              shown.c_str());
  else if (rc == Opened::lock_failed)
    ZV_LOG_AS(who, params, LOG_ERR, "Failed to lock offline codes file: %s", shown.c_str());
  else if (rc == Opened::unstable)
    ZV_LOG_AS(who, params, LOG_ERR, "Offline codes file kept changing while locking: %s",
              shown.c_str());
  else if (rc == Opened::not_regular)
    ZV_LOG_AS(who, params, LOG_ERR, "Offline codes file is not a regular file: %s", shown.c_str());
  return rc;
}

// Without a PAM handle (a caller outside a transaction) there is nobody to tell.
void show_no_codes(pam_handle_t *pamh) {
  if (pamh == nullptr) return;
  send_message(pamh, PAM_TEXT_INFO, "%s", kBangs);
  send_message(pamh, PAM_TEXT_INFO, "%s", kNoCodes);
  send_message(pamh, PAM_TEXT_INFO, "%s", kReconnect);
  send_message(pamh, PAM_TEXT_INFO, "%s", kBangs);
}

void show_remaining(const module_params *params, int remaining) {
  pam_handle_t *pamh = params->pamh;
  if (pamh == nullptr) return;
  if (remaining <= ZV_OFFLINE_LOW_WATER) {
    send_message(pamh, PAM_TEXT_INFO, "%s", kBangs);
    send_message(pamh, PAM_TEXT_INFO,
                 "!!! There are only %d offline codes remaining.                 !!!", remaining);
    send_message(pamh, PAM_TEXT_INFO, "%s", kReconnect);
    send_message(pamh, PAM_TEXT_INFO, "%s", kBangs);
  } else if (params->offline_codes_show_remaining != 0) {
    send_message(pamh, PAM_TEXT_INFO, "There are %d offline codes remaining.", remaining);
  }
}

} // namespace

int offline_username_ok(const char *username) {
  if (username == nullptr || username[0] == '\0') return 0;
  if (strcmp(username, ".") == 0 || strcmp(username, "..") == 0) return 0;
  if (strchr(username, '/') != nullptr) return 0;
  // A name that would be cut could share a file with another long name: the longest name
  // formed, the companion of the failure count file, must fit whole.
  const size_t longest =
      sizeof(ZV_CONFIG_DIR "/") - 1 + strlen(username) + sizeof(ZV_FAILURES_SUFFIX ".new") - 1;
  return longest < ZV_OFFLINE_NAME_SIZE ? 1 : 0;
}

extern "C" void generate_offline_codes_filename(char *buf, size_t size, const char *username) {
  if (buf == nullptr || size == 0) return;
  // A name that would be cut is refused before any file is touched (offline_username_ok).
  (void)snprintf(buf, size, ZV_CONFIG_DIR "/%s%s", username != nullptr ? username : "",
                 kFileSuffix);
}

extern "C" void generate_salt(char *buf, size_t len) {
  buf[0] = '\0';
  if (len == 0) return;
  zv::Fd fd(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    perror("open /dev/urandom");
    return;
  }
  size_t got = 0;
  while (got < len) {
    const ssize_t n = read(fd.get(), buf + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      perror("read /dev/urandom");
      OPENSSL_cleanse(buf, got);
      buf[0] = '\0';
      return;
    }
    got += static_cast<size_t>(n);
  }
  for (size_t i = 0; i < len; i++)
    buf[i] = kSaltAlphabet[static_cast<unsigned char>(buf[i]) & 0x3F];
  buf[len] = '\0';
}

extern "C" void generate_salted_sha512(const module_params *params, const char *code,
                                       const char *salt, size_t salt_len, char *out) {
  out[0] = '\0';
  if (code == nullptr || salt == nullptr) return;
  const size_t code_len = strlen(code);
  const size_t size = code_len + salt_len + 1;
  auto *work = static_cast<unsigned char *>(malloc(size));
  if (work == nullptr) {
    ZV_LOG(params, LOG_ERR, "ERROR: Memory allocation failed in generate_salted_sha512");
    return;
  }
  memcpy(work, code, code_len);
  memcpy(work + code_len, salt, salt_len);
  work[size - 1] = 0;
  unsigned char digest[SHA512_DIGEST_LENGTH];
  const bool hashed = SHA512(work, size - 1, digest) != nullptr;
  OPENSSL_cleanse(work, size);
  free(work);
  if (!hashed) return;
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < SHA512_DIGEST_LENGTH; i++) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  out[ZV_SHA512_HEX_LEN] = '\0';
  OPENSSL_cleanse(digest, sizeof digest);
}

int check_offline_code(const module_params *params, const char *username, const char *code,
                       OfflineAttempt attempt) {
  if (params == nullptr || params->offline_codes == 0) return kRejected;
  if (offline_username_ok(username) == 0) {
    show_no_codes(params->pamh);
    return kRejected;
  }
  char name[ZV_OFFLINE_NAME_SIZE];
  generate_offline_codes_filename(name, sizeof name, username);

  using zv::offline::Opened;
  zv::Fd file;
  bool created = false;
  const Opened opened = lock_code_file(params, kChecker, name, false, &file, &created);
  if (opened == Opened::missing || opened == Opened::not_regular) show_no_codes(params->pamh);
  if (opened != Opened::locked) return kRejected;

  // Guesses are limited; the count is held under its lock from here until the outcome is on
  // record, so that concurrent guesses can neither go uncounted nor pass the limit.
  const bool limited = attempt == OfflineAttempt::typed;
  const time_t now = time(nullptr);
  zv::offline::Failures failures;
  if (limited) {
    if (zv::offline::lock_failures(params, kChecker, username, now, &failures) != 0)
      return kRejected;
    if (zv::offline::locked_out(params, failures, now)) {
      ZV_LOG_AS(kChecker, params, LOG_WARNING,
                "Offline code check refused for %s after %d failed checks",
                zv::LogText::user(username).c_str(),
                zv::offline::current_failures(params, failures, now));
      return kRejected;
    }
    // Counted as a failure before the comparison, so that a count that cannot be written (a
    // full disk) refuses the guess instead of leaving it uncounted; a match clears it below.
    if (!zv::offline::add_failure(params, kChecker, &failures, now)) return kRejected;
  }

  zv::Secret content;
  if (zv::offline::read_whole(file.get(), kMaxFileSize, &content) != 0) {
    ZV_LOG_AS(kChecker, params, LOG_ERR, "Failed to read offline codes file: %s",
              zv::LogText(name).c_str());
    show_no_codes(params->pamh);
    return kRejected;
  }
  size_t rest = 0;
  if (offline_find_code(params, content.get(), content.size(), code, &rest) == 0) return kRejected;

  // A code whose line cannot be removed would stay usable, so it is accepted only once the
  // shortened file is in place.
  const char *kept = content.get() + rest;
  const size_t kept_len = content.size() - rest;
  if (zv::offline::replace_file(params, kChecker, name, kept, kept_len) != 0) return kRejected;
  if (limited) zv::offline::clear_failures(params, kChecker, &failures);
  const auto remaining = static_cast<int>(offline_count_lines(kept, kept_len));
  failures.file.reset();
  file.reset();
  show_remaining(params, remaining);
  return 0;
}

extern "C" int has_matching_offline_otp(const module_params *params, const char *username,
                                        const char *code) {
  return check_offline_code(params, username, code, OfflineAttempt::typed);
}

int store_offline_codes(const module_params *params, const char *username, char *const *codes,
                        size_t count) {
  if (offline_username_ok(username) == 0) {
    ZV_LOG_AS(kWriter, params, LOG_ERR, "Refusing offline codes file for user name: %s",
              zv::LogText::user(username).c_str());
    return -1;
  }
  if (codes == nullptr || count == 0 || count > kMaxFileSize / (kLineLen + 1)) return -1;

  zv::Secret lines = zv::Secret::with_capacity(count * (kLineLen + 1) + 1);
  if (!lines) {
    ZV_LOG_AS(kWriter, params, LOG_ERR, "Memory allocation failed for offline codes");
    return -1;
  }
  for (size_t i = 0; i < count; i++) {
    char salt[ZV_SALT_LEN + 1];
    generate_salt(salt, ZV_SALT_LEN);
    if (codes[i] == nullptr) {
      ZV_LOG_AS(kWriter, params, LOG_ERR, "NULL offline code at index %zu", i);
      continue;
    }
    // A line without a full salt is weaker and is never matched by the reader anyway.
    if (strlen(salt) != ZV_SALT_LEN) {
      ZV_LOG_AS(kWriter, params, LOG_ERR, "No salt for offline code at index %zu", i);
      continue;
    }
    char hash[ZV_SHA512_HEX_LEN + 1];
    generate_salted_sha512(params, codes[i], salt, ZV_SALT_LEN, hash);
    if (strlen(hash) == ZV_SHA512_HEX_LEN) {
      const size_t room = lines.capacity() - lines.size();
      const int n =
          snprintf(lines.get() + lines.size(), room, "$%d$%s$%s\n", kHashKind, salt, hash);
      if (n > 0 && static_cast<size_t>(n) < room) lines.grow_size(static_cast<size_t>(n));
    }
    OPENSSL_cleanse(salt, sizeof salt);
    OPENSSL_cleanse(hash, sizeof hash);
  }
  // Not one line could be made (no randomness, no hash): the stock on disk, if any, stays.
  if (lines.size() == 0) return -1;

  char name[ZV_OFFLINE_NAME_SIZE];
  generate_offline_codes_filename(name, sizeof name, username);
  zv::Fd file;
  bool created = false;
  if (lock_code_file(params, kWriter, name, true, &file, &created) != zv::offline::Opened::locked)
    return -1;
  // Failed checks of the old stock no longer count against the new one. They are forgotten while
  // the name still leads to the file this lock is on: a check that then finds the new file (and
  // its lock free) counts against it, and no reset comes after to erase that.
  zv::offline::reset_failures(params, kWriter, username);
  if (zv::offline::replace_file(params, kWriter, name, lines.get(), lines.size()) != 0) {
    // The empty file made only to carry the lock must not pose as a stock.
    if (created) unlink(name);
    return -1;
  }
  return 0;
}
