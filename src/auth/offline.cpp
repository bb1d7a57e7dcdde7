// The offline code store: one file per user of salted SHA-512 hashes of single-use codes, read
// while the authentication server cannot be reached and replaced whole with every new stock.
//
// A 10^10 search recovers a code from its line, so the files are secrets: they are created 0600,
// never opened through a symbolic link or as anything but a regular file, and every buffer that
// held their lines or a code is wiped. Every change happens under an exclusive flock on the code
// file and goes through a companion file that is flushed and renamed over it, so a reader never
// sees a partial stock and a used code never comes back.
#include "auth/offline.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/offline_file.h"
#include "pam/log.h"
#include "pam/util.h"

namespace {

constexpr char kSaltAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kHashKind = 6;
constexpr int kRejected = 9003;
// "$6$" + salt + "$" + hash: the only line this module writes, line feed excluded.
constexpr size_t kLineLen = 3 + ZV_SALT_LEN + 1 + ZV_SHA512_HEX_LEN;
constexpr size_t kCompanionCut = ZV_OFFLINE_NAME_SIZE - 5;
constexpr char kCompanionSuffix[] = ".new";
constexpr char kFileSuffix[] = ".offline";
// A process that waited for the lock may find the file replaced; it tries again this often.
constexpr int kLockAttempts = 10;
// Far beyond any stock the server hands out; keeps a stray file from filling memory.
constexpr size_t kMaxFileSize = 4u << 20;
// The writer serves the OTP validation and logs under its name.
constexpr const char *kWriter = "validate_oath_otp_error_code";

constexpr const char *kBangs = "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!";
constexpr const char *kNoCodes =
    "!!! There are no offline codes available.                     !!!";
constexpr const char *kReconnect =
    "!!! Reconnect to the network to replenish your offline codes. !!!";

// A descriptor closed on scope exit; closing a code file releases its lock.
struct UniqueFd {
  int fd = -1;
  UniqueFd() = default;
  explicit UniqueFd(int f) : fd(f) {}
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  ~UniqueFd() { reset(); }
  void reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

// File content (salts and hashes) on the heap, wiped over its whole size on release.
struct SecretBytes {
  char *data = nullptr;
  size_t size = 0;
  size_t len = 0;
  SecretBytes() = default;
  SecretBytes(const SecretBytes &) = delete;
  SecretBytes &operator=(const SecretBytes &) = delete;
  ~SecretBytes() {
    if (data != nullptr) OPENSSL_cleanse(data, size);
    free(data);
  }
};

// Outcomes of open_code_file.
enum { kLocked = 0, kMissing, kNotRegular, kLockFailed, kUnstable };

int lock_exclusive(int fd) {
  int rc = 0;
  do rc = flock(fd, LOCK_EX);
  while (rc != 0 && errno == EINTR);
  return rc;
}

int open_regular(const char *name, int flags) {
  return open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
}

// Opens and locks the code file. A process that waited for the lock while another replaced the
// file would hold a stock that is gone (and would consume, or write over, the wrong one), so
// after locking the name must still refer to the held file; otherwise it starts over. With
// `create` a missing file is created empty (0600) to carry the lock; *created then says so.
int open_code_file(const char *name, bool create, UniqueFd *out, bool *created) {
  *created = false;
  for (int attempt = 0; attempt < kLockAttempts; attempt++) {
    bool made = false;
    UniqueFd fd;
    if (create) {
      fd.fd = open_regular(name, O_RDWR | O_CREAT | O_EXCL);
      made = fd.fd >= 0;
      if (!made && errno != EEXIST) return errno == ELOOP ? kNotRegular : kMissing;
    }
    if (fd.fd < 0) fd.fd = open_regular(name, O_RDONLY);
    if (fd.fd < 0) {
      if (create && errno == ENOENT) continue; // removed between the two opens
      return errno == ELOOP ? kNotRegular : kMissing;
    }
    struct stat held {};
    if (fstat(fd.fd, &held) != 0) return kMissing;
    if (!S_ISREG(held.st_mode)) return kNotRegular;
    if (made && fchmod(fd.fd, 0600) != 0) return kMissing;
    if (lock_exclusive(fd.fd) != 0) return kLockFailed;
    struct stat named {};
    if (lstat(name, &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      out->fd = fd.fd;
      fd.fd = -1;
      *created = made;
      return kLocked;
    }
  }
  return kUnstable;
}

// open_code_file that logs, under `who`, why the file could not be locked.
int lock_code_file(const module_params *params, const char *who, const char *name, bool create,
                   UniqueFd *out, bool *created) {
  const int rc = open_code_file(name, create, out, created);
  if (rc == kLockFailed && create)
    ZV_LOG_AS(who, params, LOG_ERR, "Failed to lock offline codes file for writing: %s", name);
  else if (rc == kLockFailed)
    ZV_LOG_AS(who, params, LOG_ERR, "Failed to lock offline codes file: %s", name);
  else if (rc == kUnstable)
    ZV_LOG_AS(who, params, LOG_ERR, "Offline codes file kept changing while locking: %s", name);
  else if (rc == kNotRegular)
    ZV_LOG_AS(who, params, LOG_ERR, "Offline codes file is not a regular file: %s", name);
  return rc;
}

// Reads the whole locked file. Returns 0, or -1 when it cannot be read or is far too large.
int read_content(int fd, SecretBytes *out) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < 0 ||
      static_cast<unsigned long long>(st.st_size) > kMaxFileSize)
    return -1;
  out->size = static_cast<size_t>(st.st_size);
  if (out->size == 0) return 0;
  out->data = static_cast<char *>(malloc(out->size));
  if (out->data == nullptr) return -1;
  while (out->len < out->size) {
    const ssize_t n = read(fd, out->data + out->len, out->size - out->len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    out->len += static_cast<size_t>(n);
  }
  return 0;
}

int write_all(int fd, const char *data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// The file name cut to leave room for the suffix, plus ".new".
void companion_name(char *buf, const char *name) {
  // Cutting is the point here, so the would-be length is not needed.
  (void)snprintf(buf, ZV_OFFLINE_NAME_SIZE, "%.*s%s", static_cast<int>(kCompanionCut), name,
                 kCompanionSuffix);
}

// Replaces the locked code file `name` with `len` bytes of `data`: a fresh 0600 companion file
// (whatever was left at its name is removed, never followed), flushed, then renamed over it.
// Returns 0, or -1 after logging under `who`; the code file is then as it was.
int replace_code_file(const module_params *params, const char *who, const char *name,
                      const char *data, size_t len) {
  char companion[ZV_OFFLINE_NAME_SIZE];
  companion_name(companion, name);
  if (unlink(companion) == 0 || errno == ENOENT) {
    UniqueFd fd(open_regular(companion, O_WRONLY | O_CREAT | O_EXCL));
    if (fd.fd >= 0) {
      const bool written =
          fchmod(fd.fd, 0600) == 0 && write_all(fd.fd, data, len) == 0 && fsync(fd.fd) == 0;
      const bool closed = close(fd.fd) == 0;
      fd.fd = -1;
      if (written && closed && rename(companion, name) == 0) return 0;
      unlink(companion);
    }
  }
  ZV_LOG_AS(who, params, LOG_ERR, "Failed to rename %s to %s", companion, name);
  return -1;
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

// One stored line against the entered code. Only a whole "$6$salt$hash" line with a full salt
// counts: a shorter salt, a carriage return or anything after the hash never matches.
bool line_matches(const module_params *params, const char *line, size_t line_len,
                  const char *code) {
  if (line_len != kLineLen) return false;
  char text[kLineLen + 1];
  memcpy(text, line, kLineLen);
  text[kLineLen] = '\0';
  int kind = 0;
  int end = 0;
  char salt[ZV_SALT_LEN + 1] = {};
  char stored[ZV_SHA512_HEX_LEN + 1] = {};
  char computed[ZV_SHA512_HEX_LEN + 1] = {};
  bool match = false;
  if (sscanf(text, "$%d$%16[^$]$%128[^\n]%n", &kind, salt, stored, &end) == 3 &&
      kind == kHashKind && static_cast<size_t>(end) == kLineLen && strlen(salt) == ZV_SALT_LEN &&
      strlen(stored) == ZV_SHA512_HEX_LEN) {
    generate_salted_sha512(params, code, salt, ZV_SALT_LEN, computed);
    match = CRYPTO_memcmp(computed, stored, ZV_SHA512_HEX_LEN) == 0;
  }
  OPENSSL_cleanse(text, sizeof text);
  OPENSSL_cleanse(salt, sizeof salt);
  OPENSSL_cleanse(stored, sizeof stored);
  OPENSSL_cleanse(computed, sizeof computed);
  return match;
}

} // namespace

int offline_find_code(const module_params *params, const char *data, size_t len, const char *code,
                      size_t *rest) {
  *rest = 0;
  if (data == nullptr || code == nullptr || code[0] == '\0') return 0;
  size_t pos = 0;
  while (pos < len) {
    const char *line = data + pos;
    const auto *nl = static_cast<const char *>(memchr(line, '\n', len - pos));
    const size_t line_len = nl != nullptr ? static_cast<size_t>(nl - line) : len - pos;
    const size_t next = pos + line_len + (nl != nullptr ? 1 : 0);
    if (line_matches(params, line, line_len, code)) {
      *rest = next;
      return 1;
    }
    pos = next;
  }
  return 0;
}

size_t offline_count_lines(const char *data, size_t len) {
  size_t lines = 0;
  for (size_t i = 0; i < len; i++)
    if (data[i] == '\n') lines++;
  if (len > 0 && data[len - 1] != '\n') lines++;
  return lines;
}

int offline_username_ok(const char *username) {
  if (username == nullptr || username[0] == '\0') return 0;
  if (strcmp(username, ".") == 0 || strcmp(username, "..") == 0) return 0;
  if (strchr(username, '/') != nullptr) return 0;
  // A name that would be cut could share its file with another long name.
  const size_t full = sizeof(ZV_CONFIG_DIR "/") - 1 + strlen(username) + sizeof kFileSuffix - 1;
  return full < ZV_OFFLINE_NAME_SIZE ? 1 : 0;
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
  UniqueFd fd(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0) {
    perror("open /dev/urandom");
    return;
  }
  size_t got = 0;
  while (got < len) {
    const ssize_t n = read(fd.fd, buf + got, len - got);
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

extern "C" int has_matching_offline_otp(const module_params *params, const char *username,
                                        const char *code) {
  if (params == nullptr || params->offline_codes == 0) return kRejected;
  if (offline_username_ok(username) == 0) {
    show_no_codes(params->pamh);
    return kRejected;
  }
  char name[ZV_OFFLINE_NAME_SIZE];
  generate_offline_codes_filename(name, sizeof name, username);

  UniqueFd file;
  bool created = false;
  const int opened = lock_code_file(params, __func__, name, false, &file, &created);
  if (opened == kMissing || opened == kNotRegular) show_no_codes(params->pamh);
  if (opened != kLocked) return kRejected;

  SecretBytes content;
  if (read_content(file.fd, &content) != 0) {
    ZV_LOG(params, LOG_ERR, "Failed to read offline codes file: %s", name);
    show_no_codes(params->pamh);
    return kRejected;
  }
  size_t rest = 0;
  if (offline_find_code(params, content.data, content.len, code, &rest) == 0) return kRejected;

  // A code whose line cannot be removed would stay usable, so it is accepted only once the
  // shortened file is in place.
  const char *kept = content.data + rest;
  const size_t kept_len = content.len - rest;
  if (replace_code_file(params, __func__, name, kept, kept_len) != 0) return kRejected;
  const auto remaining = static_cast<int>(offline_count_lines(kept, kept_len));
  file.reset();
  show_remaining(params, remaining);
  return 0;
}

int store_offline_codes(const module_params *params, const char *username, char *const *codes,
                        size_t count) {
  if (offline_username_ok(username) == 0) {
    ZV_LOG_AS(kWriter, params, LOG_ERR, "Refusing offline codes file for user name: %s",
              username != nullptr ? username : "(null)");
    return -1;
  }
  if (codes == nullptr || count == 0 || count > kMaxFileSize / (kLineLen + 1)) return -1;

  SecretBytes lines;
  lines.size = count * (kLineLen + 1) + 1;
  lines.data = static_cast<char *>(malloc(lines.size));
  if (lines.data == nullptr) {
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
      const int n = snprintf(lines.data + lines.len, lines.size - lines.len, "$%d$%s$%s\n",
                             kHashKind, salt, hash);
      if (n > 0) lines.len += static_cast<size_t>(n);
    }
    OPENSSL_cleanse(salt, sizeof salt);
    OPENSSL_cleanse(hash, sizeof hash);
  }

  char name[ZV_OFFLINE_NAME_SIZE];
  generate_offline_codes_filename(name, sizeof name, username);
  UniqueFd file;
  bool created = false;
  if (lock_code_file(params, kWriter, name, true, &file, &created) != kLocked) return -1;
  if (replace_code_file(params, kWriter, name, lines.data, lines.len) != 0) {
    // The empty file made only to carry the lock must not pose as a stock.
    if (created) unlink(name);
    return -1;
  }
  return 0;
}
