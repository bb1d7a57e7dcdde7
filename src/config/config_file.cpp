// The site configuration file: one option per line in the module-argument language, read whole
// on every authentication and applied before the module arguments.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/own.h"
#include "config/config_lines_int.h"
#include "config/params.h"
#include "pam/log.h"

namespace {

// Group writes and any access by others.
constexpr mode_t kInsecureDirBits = 027;

void warn_insecure_directory(const module_params *params) {
  struct stat st {};
  if (stat(ZV_CONFIG_DIR, &st) != 0) return;
  if ((st.st_mode & kInsecureDirBits) != 0)
    ZV_LOG_AS("parse_config_file_params", params, LOG_WARNING,
              "Config directory " ZV_CONFIG_DIR " has insecure permissions: %04o",
              static_cast<unsigned>(st.st_mode & 07777));
}

} // namespace

extern "C" int parse_config_file_params(pam_handle_t *, module_params *params) {
  ZV_LOG(params, LOG_DEBUG, "START");
  warn_insecure_directory(params);

  // Symbolic links are followed on purpose: administrators may link the file elsewhere.
  // O_NONBLOCK keeps a FIFO in its place from blocking the login; only a regular file is read.
  zv::Fd file(open(ZV_CONFIG_FILE, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat st {};
  if (!file.valid() || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
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
  zv::Secret buf = zv::Secret::with_capacity(size + 1);
  if (!buf) {
    ZV_LOG(params, LOG_ERR, "Failed to allocate %d+1 bytes for orig_stat", static_cast<int>(size));
    return -1;
  }
  // One read suffices: the file is regular and small.
  const ssize_t got = read(file.get(), buf.get(), size);
  if (got < 0 || static_cast<size_t>(got) != size) {
    ZV_LOG(params, LOG_ERR, "Could not read the configuration file: %s", ZV_CONFIG_FILE);
    return -1;
  }
  file.reset();
  buf.get()[size] = '\0';

  const char **argv = nullptr;
  int argc = 0;
  if (zv::split_config_lines(buf.get(), size, &argv, &argc) != 0) {
    ZV_LOG(params, LOG_WARNING, "Failed to allocate argv.");
    return -1;
  }
  zv::HeapPtr<const char *> vec(argv);
  parse_args(argc, vec.get(), params);
  return 0;
}
