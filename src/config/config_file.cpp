// The site configuration file: one option per line in the module-argument language, read whole
// on every authentication and applied before the module arguments.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "config/config_lines.h"
#include "config/params.h"
#include "pam/log.h"
#include "pam/util.h"

namespace {

// Group writes and any access by others.
constexpr mode_t kInsecureDirBits = 027;

// Closes a descriptor on every path out.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) close(fd);
  }
};

using ArgvPtr = std::unique_ptr<const char *, zv::Free<std::free>>;

// Calls `visit(start, end)` for each option line of buf[0, len), end being its newline or len.
template <class Visit> void for_each_option_line(const char *buf, size_t len, Visit visit) {
  size_t start = 0;
  while (start < len) {
    const auto *nl = static_cast<const char *>(std::memchr(buf + start, '\n', len - start));
    const size_t end = nl != nullptr ? static_cast<size_t>(nl - buf) : len;
    if (end > start && buf[start] != '#') visit(start, end);
    start = end + 1;
  }
}

void warn_insecure_directory(const module_params *params) {
  struct stat st {};
  if (stat(ZV_CONFIG_DIR, &st) != 0) return;
  if ((st.st_mode & kInsecureDirBits) != 0)
    ZV_LOG_AS("parse_config_file_params", params, LOG_WARNING,
              "Config directory " ZV_CONFIG_DIR " has insecure permissions: %04o",
              static_cast<unsigned>(st.st_mode & 07777));
}

} // namespace

namespace zv {

int split_config_lines(char *buf, size_t len, const char ***argv, int *argc) {
  *argv = nullptr;
  *argc = 0;
  size_t count = 0;
  for_each_option_line(buf, len, [&count](size_t, size_t) { count++; });
  if (count > INT_MAX) return -1;
  ArgvPtr vec(static_cast<const char **>(std::calloc(count > 0 ? count : 1, sizeof(char *))));
  if (!vec) return -1;
  size_t n = 0;
  for_each_option_line(buf, len, [&](size_t start, size_t end) {
    vec.get()[n++] = buf + start;
    buf[end] = '\0'; // the newline, or the terminating NUL after the last line
  });
  *argc = static_cast<int>(count);
  *argv = vec.release();
  return 0;
}

} // namespace zv

extern "C" int parse_config_file_params(pam_handle_t *, module_params *params) {
  ZV_LOG(params, LOG_DEBUG, "START");
  warn_insecure_directory(params);

  // Symbolic links are followed on purpose: administrators may link the file elsewhere.
  // O_NONBLOCK keeps a FIFO in its place from blocking the login; only a regular file is read.
  FdGuard file{open(ZV_CONFIG_FILE, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
  struct stat st {};
  if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ZV_LOG(params, LOG_ERR, "Unable to open configuration file: %s", ZV_CONFIG_FILE);
    return -1;
  }
  if (st.st_size > ZV_CONFIG_MAX_SIZE) {
    ZV_LOG(params, LOG_ERR, "The configuration file exceeds the maximum size (%d): %s",
           ZV_CONFIG_MAX_SIZE, ZV_CONFIG_FILE);
    return -1;
  }
  const auto size = static_cast<size_t>(st.st_size);
  // The file holds keys and passwords.
  zv::SecretBuffer buf(static_cast<char *>(std::malloc(size + 1)), zv::WipeBytes{size + 1});
  if (!buf) {
    ZV_LOG(params, LOG_ERR, "Failed to allocate %d+1 bytes for orig_stat", static_cast<int>(size));
    return -1;
  }
  // One read suffices: the file is regular and small.
  const ssize_t got = read(file.fd, buf.get(), size);
  if (got < 0 || static_cast<size_t>(got) != size) {
    ZV_LOG(params, LOG_ERR, "Could not read the configuration file: %s", ZV_CONFIG_FILE);
    return -1;
  }
  close(file.fd);
  file.fd = -1;
  buf.get()[size] = '\0';

  const char **argv = nullptr;
  int argc = 0;
  if (zv::split_config_lines(buf.get(), size, &argv, &argc) != 0) {
    ZV_LOG(params, LOG_WARNING, "Failed to allocate argv.");
    return -1;
  }
  ArgvPtr vec(argv);
  parse_args(argc, vec.get(), params);
  return 0;
}
