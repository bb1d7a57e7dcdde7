// The limit on push requests. A phone flooded with requests is how a stolen password beats the
// second factor, so the count is kept across processes with the care of the offline failure
// counts: one 0600 file per user, never through a symbolic link or as anything but a regular
// file, read and rewritten in place under an exclusive flock, so that concurrent logins queue
// on it and each push counts. The lock is not held while the push goes out.
#include "auth/push_limit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <syslog.h>

#include "auth/offline.h"
#include "auth/offline_file_int.h"
#include "config/option_table.h"
#include "pam/groups_int.h"
#include "pam/log.h"

namespace zv {
namespace {

using offline::Opened;

// Records of this module speak for the push operation.
constexpr const char *kWho = "send_push_message";
constexpr const char *kPaused = "Push requests are paused for this account. Please enter a code.";
constexpr const char *kUnavailable =
    "Push requests are unavailable. Please enter a code or contact support.";
// Each number takes at most 20 digits and a separator.
constexpr size_t kMaxRecord = size_t{ZV_MAX_PUSH_LIMIT + 1} * 21;

// One user's pushes, held under the lock of their file while the record lives.
struct Counter {
  Fd file;
  char name[ZV_OFFLINE_NAME_SIZE] = {};
  long long paused_until = 0;
  long long sent[ZV_MAX_PUSH_LIMIT] = {}; // oldest first
  int count = 0;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads "<paused until> <sent> ...\n" exactly.
bool parse_record(const char *text, Counter *c) {
  long long numbers[ZV_MAX_PUSH_LIMIT + 1];
  int n = 0;
  const char *p = text;
  while (n < ZV_MAX_PUSH_LIMIT + 1 && is_digit(*p)) {
    errno = 0;
    char *end = nullptr;
    numbers[n++] = std::strtoll(p, &end, 10);
    if (errno != 0) return false;
    if (*end == '\n') {
      if (end[1] != '\0') return false;
      c->paused_until = numbers[0];
      c->count = n - 1;
      std::copy(numbers + 1, numbers + n, c->sent);
      return true;
    }
    if (*end != ' ') return false;
    p = end + 1;
  }
  return false;
}

void log_unavailable(const module_params *params, Opened how, const char *name) {
  const LogText shown(name);
  if (how == Opened::not_regular)
    ZV_LOG_AS(kWho, params, LOG_ERR, "Push counter file is not a regular file: %s", shown.c_str());
  else if (how == Opened::unstable)
    ZV_LOG_AS(kWho, params, LOG_ERR, "Push counter file kept changing while locking: %s",
              shown.c_str());
  else
    ZV_LOG_AS(kWho, params, LOG_ERR, "Failed to lock push counter file: %s", shown.c_str());
}

// Opens (creating it empty), locks and reads the user's counter as it stands at `now`: pushes
// older than the window are gone, and times in the future (the clock was set back) count as
// `now`. Returns 0, or -1 after logging why the count cannot be had.
int load(const module_params *params, const char *username, time_t now, int window, Counter *c) {
  // Kept under the account's own name, so that every spelling of one account shares one count.
  char key[ZV_OFFLINE_NAME_SIZE];
  if (!account_name(username, key, sizeof key) || offline_username_ok(key) == 0) {
    ZV_LOG_AS(kWho, params, LOG_ERR, "Refusing push counter file for user name: %s",
              LogText::user(username).c_str());
    return -1;
  }
  // offline_username_ok guarantees that the name fits whole.
  if (snprintf(c->name, sizeof c->name, ZV_CONFIG_DIR "/%s" ZV_PUSH_SUFFIX, key) < 0) return -1;
  bool created = false;
  const Opened how = offline::open_locked(c->name, true, &c->file, &created, true);
  if (how != Opened::locked) {
    log_unavailable(params, how, c->name);
    return -1;
  }
  Secret text;
  struct stat st {};
  if (offline::read_whole(c->file.get(), kMaxRecord, &text) != 0 ||
      fstat(c->file.get(), &st) != 0) {
    ZV_LOG_AS(kWho, params, LOG_ERR, "Failed to read push counter file: %s",
              LogText(c->name).c_str());
    return -1;
  }
  if (text.size() > 0 && !parse_record(text.get(), c)) {
    // A record that cannot be read pauses pushes for one window from its last change rather
    // than leave them unlimited; the next push after that writes a fresh one.
    ZV_LOG_AS(kWho, params, LOG_ERR, "Unreadable push counter file: %s", LogText(c->name).c_str());
    c->count = 0;
    c->paused_until = static_cast<long long>(st.st_mtime) + window;
  }
  const long long at = now;
  c->paused_until = std::min(c->paused_until, at + window);
  int kept = 0;
  for (int i = 0; i < c->count; i++) {
    const long long when = std::min(c->sent[i], at);
    if (at - when < window) c->sent[kept++] = when;
  }
  c->count = kept;
  return 0;
}

bool save(const module_params *params, const Counter &c) {
  char text[kMaxRecord + 1];
  size_t len = static_cast<size_t>(snprintf(text, sizeof text, "%lld", c.paused_until));
  for (int i = 0; i < c.count; i++)
    len += static_cast<size_t>(snprintf(text + len, sizeof text - len, " %lld", c.sent[i]));
  text[len++] = '\n';
  if (offline::rewrite_in_place(c.file.get(), text, len)) return true;
  ZV_LOG_AS(kWho, params, LOG_ERR, "Failed to write push counter file: %s",
            LogText(c.name).c_str());
  return false;
}

int refuse(const module_params *params, const char *message) {
  send_message(params->pamh, PAM_ERROR_MSG, "%s", message);
  return PAM_AUTH_ERR;
}

} // namespace

int take_push(const module_params *params, const char *username) {
  const int window = int_setting(params, "push_limit_window_secs");
  const int limit = std::min(int_setting(params, "push_limit"), ZV_MAX_PUSH_LIMIT);
  const time_t now = time(nullptr);
  Counter c;
  if (load(params, username, now, window, &c) != 0) return refuse(params, kUnavailable);
  if (c.paused_until > now) {
    ZV_LOG_AS(kWho, params, LOG_WARNING,
              "Push request for %s held back: pushes are paused for %lld seconds after a "
              "refused push",
              LogText::user(username).c_str(), c.paused_until - now);
    return refuse(params, kPaused);
  }
  if (c.count >= limit) {
    ZV_LOG_AS(kWho, params, LOG_WARNING,
              "Push request for %s held back: %d push requests within %d seconds",
              LogText::user(username).c_str(), c.count, window);
    return refuse(params, kPaused);
  }
  c.sent[c.count++] = now;
  return save(params, c) ? PAM_SUCCESS : refuse(params, kUnavailable);
}

void pause_pushes(const module_params *params, const char *username) {
  const int window = int_setting(params, "push_limit_window_secs");
  const time_t now = time(nullptr);
  Counter c;
  if (load(params, username, now, window, &c) != 0) return;
  c.paused_until = static_cast<long long>(now) + window;
  if (save(params, c))
    ZV_LOG_AS(kWho, params, LOG_WARNING, "Push refused by %s: pushes paused for %d seconds",
              LogText::user(username).c_str(), window);
}

} // namespace zv
