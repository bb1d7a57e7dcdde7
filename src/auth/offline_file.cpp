// The files of the offline code store. They are secrets (a 10^10 search recovers a code from its
// line): created 0600, never opened through a symbolic link or as anything but a regular file,
// changed only under an exclusive flock and through a companion file that is flushed and renamed
// over them, so that a reader never sees a partial file and a used code never comes back.
#include "auth/offline_file_int.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/offline.h"
#include "pam/log.h"

namespace zv::offline {
namespace {

// A process that waited for the lock may find the file replaced; it tries again this often.
constexpr int kLockAttempts = 10;
constexpr size_t kCompanionCut = ZV_OFFLINE_NAME_SIZE - 5;

int lock_exclusive(int fd) {
  int rc = 0;
  do rc = flock(fd, LOCK_EX);
  while (rc != 0 && errno == EINTR);
  return rc;
}

int open_regular(const char *name, int flags) {
  return open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
}

// A link (O_NOFOLLOW) or a directory opened for writing.
Opened open_failure() {
  return errno == ELOOP || errno == EISDIR ? Opened::not_regular : Opened::missing;
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

// Puts a rename in `name`'s directory on disk, so that a crash cannot bring back the old file
// (and with it a code already used). The rename stands either way.
void sync_directory_of(const char *name) {
  const char *slash = std::strrchr(name, '/');
  char dir[ZV_OFFLINE_NAME_SIZE];
  if (slash == nullptr)
    (void)snprintf(dir, sizeof dir, ".");
  else
    (void)snprintf(dir, sizeof dir, "%.*s", static_cast<int>(slash == name ? 1 : slash - name),
                   name);
  const Fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) (void)fsync(fd.get());
}

} // namespace

Opened open_locked(const char *name, bool create, Fd *out, bool *created, bool writable) {
  *created = false;
  for (int attempt = 0; attempt < kLockAttempts; attempt++) {
    bool made = false;
    Fd fd;
    if (create) {
      fd.reset(open_regular(name, O_RDWR | O_CREAT | O_EXCL));
      made = fd.valid();
      if (!made && errno != EEXIST) return open_failure();
    }
    if (!fd.valid()) fd.reset(open_regular(name, writable ? O_RDWR : O_RDONLY));
    if (!fd.valid()) {
      if (create && errno == ENOENT) continue; // removed between the two opens
      return open_failure();
    }
    struct stat held {};
    if (fstat(fd.get(), &held) != 0) return Opened::missing;
    if (!S_ISREG(held.st_mode)) return Opened::not_regular;
    if (made && fchmod(fd.get(), 0600) != 0) return Opened::missing;
    if (lock_exclusive(fd.get()) != 0) return Opened::lock_failed;
    struct stat named {};
    if (lstat(name, &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      *out = std::move(fd);
      *created = made;
      return Opened::locked;
    }
  }
  return Opened::unstable;
}

int read_whole(int fd, size_t max, Secret *out) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max)
    return -1;
  const auto size = static_cast<size_t>(st.st_size);
  Secret content = Secret::with_capacity(size + 1);
  if (!content) return -1;
  while (content.size() < size) {
    const ssize_t n = read(fd, content.get() + content.size(), size - content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    content.grow_size(static_cast<size_t>(n));
  }
  *out = std::move(content);
  return 0;
}

bool rewrite_in_place(int fd, const char *text, size_t len) {
  return (len == 0 || pwrite(fd, text, len, 0) == static_cast<ssize_t>(len)) &&
         ftruncate(fd, static_cast<off_t>(len)) == 0 && fsync(fd) == 0;
}

int replace_file(const module_params *params, const char *who, const char *name, const char *data,
                 size_t len) {
  char companion[ZV_OFFLINE_NAME_SIZE];
  // Cutting is the point here, so the would-be length is not needed.
  (void)snprintf(companion, sizeof companion, "%.*s.new", static_cast<int>(kCompanionCut), name);
  if (unlink(companion) == 0 || errno == ENOENT) {
    Fd fd(open_regular(companion, O_WRONLY | O_CREAT | O_EXCL));
    if (fd.valid()) {
      const bool written = fchmod(fd.get(), 0600) == 0 && write_all(fd.get(), data, len) == 0 &&
                           fsync(fd.get()) == 0;
      if (fd.close() && written && rename(companion, name) == 0) {
        sync_directory_of(name);
        return 0;
      }
      unlink(companion);
    }
  }
  ZV_LOG_AS(who, params, LOG_ERR, "Failed to rename %s to %s", LogText(companion).c_str(),
            LogText(name).c_str());
  return -1;
}

} // namespace zv::offline

namespace {

constexpr int kHashKind = 6;
// "$6$" + salt + "$" + hash: the only line this module writes, line feed excluded.
constexpr size_t kLineLen = 3 + ZV_SALT_LEN + 1 + ZV_SHA512_HEX_LEN;

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
