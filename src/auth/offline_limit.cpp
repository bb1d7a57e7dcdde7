// The limit on failed offline code checks. sshd runs a process per connection, so the count
// lives in a file per user, with the care of the code files: 0600, never through a symbolic link
// or as anything but a regular file, and changed only under an exclusive flock. It is rewritten
// in place rather than replaced, so that its lock stays on one file: concurrent failures then
// queue on that lock and each one counts.
#include "auth/offline_limit_int.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/offline_file_int.h"
#include "config/option_table.h"
#include "pam/groups_int.h"
#include "pam/log.h"

namespace zv::offline {
namespace {

// "<count> <time>\n" needs far less; anything larger is not a file of ours.
constexpr size_t kMaxRecord = 64;

// The count file of the account `username` names, under the account's own name, so that every
// spelling of one account shares one count. False when that name cannot form the file's name.
bool failures_file_name(char *buf, size_t size, const char *username) {
  char account[ZV_OFFLINE_NAME_SIZE];
  if (!account_name(username, account, sizeof account) || offline_username_ok(account) == 0)
    return false;
  const int len = snprintf(buf, size, ZV_CONFIG_DIR "/%s" ZV_FAILURES_SUFFIX, account);
  return len > 0 && static_cast<size_t>(len) < size;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads "<count> <time>\n" exactly.
bool parse_record(const char *text, int *count, long long *last) {
  if (!is_digit(text[0])) return false;
  errno = 0;
  char *end = nullptr;
  const long long n = std::strtoll(text, &end, 10);
  if (errno != 0 || n > INT_MAX || *end != ' ' || !is_digit(end[1])) return false;
  const long long when = std::strtoll(end + 1, &end, 10);
  if (errno != 0 || std::strcmp(end, "\n") != 0) return false;
  *count = static_cast<int>(n);
  *last = when;
  return true;
}

// Replaces the content of the locked file in place. False after logging under `who`.
bool rewrite(const module_params *params, const char *who, const Failures &failures,
             const char *text, size_t len) {
  if (rewrite_in_place(failures.file.get(), text, len)) return true;
  ZV_LOG_AS(who, params, LOG_ERR, "Failed to write offline failure count file: %s",
            LogText(failures.name).c_str());
  return false;
}

void log_unavailable(const module_params *params, const char *who, Opened how, const char *name) {
  // The name carries the user's.
  const LogText shown(name);
  if (how == Opened::not_regular)
    ZV_LOG_AS(who, params, LOG_ERR, "Offline failure count file is not a regular file: %s",
              shown.c_str());
  else if (how == Opened::unstable)
    ZV_LOG_AS(who, params, LOG_ERR, "Offline failure count file kept changing while locking: %s",
              shown.c_str());
  else
    ZV_LOG_AS(who, params, LOG_ERR, "Failed to lock offline failure count file: %s", shown.c_str());
}

} // namespace

int lock_failures(const module_params *params, const char *who, const char *username, time_t now,
                  Failures *out) {
  if (!failures_file_name(out->name, sizeof out->name, username)) {
    ZV_LOG_AS(who, params, LOG_ERR, "No offline failure count file for user name: %s",
              LogText::user(username).c_str());
    return -1;
  }
  bool created = false;
  const Opened how = open_locked(out->name, true, &out->file, &created, true);
  if (how != Opened::locked) {
    log_unavailable(params, who, how, out->name);
    return -1;
  }
  Secret text;
  struct stat st {};
  if (read_whole(out->file.get(), kMaxRecord, &text) != 0 || fstat(out->file.get(), &st) != 0) {
    ZV_LOG_AS(who, params, LOG_ERR, "Failed to read offline failure count file: %s",
              LogText(out->name).c_str());
    return -1;
  }
  out->count = 0;
  out->last = 0;
  if (text.size() > 0 && !parse_record(text.get(), &out->count, &out->last)) {
    // A record that cannot be read counts as a full one from its last change: checks wait out
    // one lockout rather than go unlimited.
    ZV_LOG_AS(who, params, LOG_ERR, "Unreadable offline failure count file: %s",
              LogText(out->name).c_str());
    out->count = INT_MAX;
    out->last = st.st_mtime;
  }
  // A last failure in the future (a clock that ran ahead and was set back) is one just now, and
  // is put on record so: the lockout must not wait for that time to come round.
  if (out->last > now) {
    out->last = now;
    char record[kMaxRecord];
    const int len =
        snprintf(record, sizeof record, "%d %lld\n", out->count, static_cast<long long>(now));
    if (len > 0) (void)rewrite(params, who, *out, record, static_cast<size_t>(len)); // logged
  }
  return 0;
}

int current_failures(const module_params *params, const Failures &failures, time_t now) {
  const int lockout = int_setting(params, "offline_codes_lockout_secs");
  // A last failure in the future (the clock was set back) counts as one just now.
  const long long elapsed = std::max(0LL, static_cast<long long>(now) - failures.last);
  return elapsed >= lockout ? 0 : failures.count;
}

bool locked_out(const module_params *params, const Failures &failures, time_t now) {
  return current_failures(params, failures, now) >=
         int_setting(params, "offline_codes_max_failures");
}

bool add_failure(const module_params *params, const char *who, Failures *failures, time_t now) {
  const int count = current_failures(params, *failures, now);
  const int next = count < INT_MAX ? count + 1 : count;
  char text[kMaxRecord];
  const int len = snprintf(text, sizeof text, "%d %lld\n", next, static_cast<long long>(now));
  if (len <= 0 || !rewrite(params, who, *failures, text, static_cast<size_t>(len))) return false;
  failures->count = next;
  failures->last = now;
  return true;
}

void clear_failures(const module_params *params, const char *who, Failures *failures) {
  if (failures->count == 0 && failures->last == 0) return;
  if (!rewrite(params, who, *failures, "", 0)) return;
  failures->count = 0;
  failures->last = 0;
}

void reset_failures(const module_params *params, const char *who, const char *username) {
  Failures failures;
  if (!failures_file_name(failures.name, sizeof failures.name, username)) return;
  bool created = false;
  const Opened how = open_locked(failures.name, false, &failures.file, &created, true);
  if (how == Opened::missing) return;
  if (how != Opened::locked) {
    log_unavailable(params, who, how, failures.name);
    return;
  }
  (void)rewrite(params, who, failures, "", 0); // logged there
}

} // namespace zv::offline
