// Who the module applies to: the members listed in the bypass group pass without a check, and
// with mfa_groups only the users in those groups (and not in a "!" group) go through it. Both
// read the system's databases through NSS; entries larger than the first buffer are read again
// with a larger one. Every doubt leaves the user to the module: it never skips a user because a
// lookup failed. Groups are asked about the account's own name, as pam_modutil_user_in_group
// does: a passwd source that matches names without regard to case (SSSD or winbind in front of a
// directory) makes "ALICE" the account alice, whom /etc/group lists as "alice".
#include "pam/groups_int.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include "pam/log.h"
#include "pam/pam_zelvane.h"

namespace zv {
namespace {

constexpr const char *kEntry = "pam_sm_authenticate";
// Linux's own limit on the groups of one process (NGROUPS_MAX).
constexpr int kMaxGroups = 65536;
constexpr const char *kSeparators = ", \t";

// The size the system suggests for an entry, when it is sensible; else a default.
size_t first_buffer_size(int which) {
  const long n = sysconf(which);
  return n > 0 && static_cast<unsigned long>(n) <= ZV_BYPASS_BUFFER_MAX ? static_cast<size_t>(n)
                                                                        : ZV_BYPASS_BUFFER_DEFAULT;
}

// Runs a get*_r lookup, call(buffer, size, &result) -> 0 or an errno value, with a buffer that
// doubles while the entry does not fit.
template <class Fn> Lookup grow_lookup(size_t size, HeapPtr<char> *buf, Fn &&call) {
  for (;;) {
    HeapPtr<char> fresh(static_cast<char *>(std::malloc(size)));
    if (!fresh) return Lookup::no_memory;
    void *result = nullptr;
    errno = 0;
    int rc = call(fresh.get(), size, &result);
    // Some NSS layers (nss_wrapper among them) return -1 and leave the error in errno.
    if (rc == -1) rc = errno;
    if (rc == 0) {
      *buf = std::move(fresh); // the entry's strings live in it
      return result != nullptr ? Lookup::found : Lookup::missing;
    }
    if (rc == ENOENT || rc == ESRCH) return Lookup::missing;
    if (rc != ERANGE || size >= ZV_NSS_BUFFER_MAX) return Lookup::failed;
    size = std::min<size_t>(size * 2, ZV_NSS_BUFFER_MAX);
  }
}

// A user name as long as any Linux allows (LOGIN_NAME_MAX); a longer one goes through the module.
constexpr size_t kNameSize = 256;

// The user's groups as `id USER` shows them: the primary group and the supplementary ones, and
// the account's own name, which the groups' member lists are read for.
struct UserGroups {
  char account[kNameSize] = {};
  HeapPtr<gid_t> gids;
  int count = 0;
  bool has(gid_t gid) const {
    return std::find(gids.get(), gids.get() + count, gid) != gids.get() + count;
  }
};

Lookup find_user(const char *user, passwd *pw, HeapPtr<char> *buf) {
  return grow_lookup(first_buffer_size(_SC_GETPW_R_SIZE_MAX), buf,
                     [&](char *b, size_t n, void **result) {
                       passwd *r = nullptr;
                       const int rc = getpwnam_r(user, pw, b, n, &r);
                       *result = r;
                       return rc;
                     });
}

Lookup find_user_groups(const char *user, UserGroups *out) {
  passwd pw{};
  HeapPtr<char> buf;
  const Lookup found = find_user(user, &pw, &buf);
  if (found != Lookup::found) return found;
  const size_t len = pw.pw_name != nullptr ? std::strlen(pw.pw_name) : sizeof out->account;
  if (len >= sizeof out->account) return Lookup::failed;
  std::memcpy(out->account, pw.pw_name, len + 1);
  int room = 32;
  for (;;) {
    out->gids.reset(static_cast<gid_t *>(std::calloc(static_cast<size_t>(room), sizeof(gid_t))));
    if (!out->gids) return Lookup::no_memory;
    int n = room;
    if (getgrouplist(out->account, pw.pw_gid, out->gids.get(), &n) >= 0) {
      out->count = std::min(n, room);
      return Lookup::found;
    }
    if (n <= room || n > kMaxGroups) return Lookup::failed;
    room = n;
  }
}

// Whether the list names any group at all ("!" alone names none).
bool names_a_group(const char *list) {
  for (const char *p = list; *p != '\0'; p++)
    if (std::strchr(kSeparators, *p) == nullptr && *p != '!') return true;
  return false;
}

// Whether the group's own member list names the user.
bool names_member(const group &grp, const char *user) {
  if (grp.gr_mem == nullptr) return false;
  for (char **member = grp.gr_mem; *member != nullptr; member++)
    if (std::strcmp(*member, user) == 0) return true;
  return false;
}

} // namespace

Lookup find_group(const char *name, size_t first_size, GroupEntry *out) {
  return grow_lookup(first_size, &out->buf, [&](char *b, size_t n, void **result) {
    group *r = nullptr;
    const int rc = getgrnam_r(name, &out->grp, b, n, &r);
    *result = r;
    return rc;
  });
}

bool account_name(const char *user, char *out, size_t size) {
  passwd pw{};
  HeapPtr<char> buf;
  const Lookup found = find_user(user, &pw, &buf);
  if (found == Lookup::no_memory) return false;
  const char *name = found == Lookup::found && pw.pw_name != nullptr ? pw.pw_name : user;
  const size_t len = std::strlen(name);
  if (len >= size) return false;
  std::memcpy(out, name, len + 1);
  return true;
}

Bypass check_bypass_group(const module_params *params, const char *user) {
  const char *name = params->bypass_group_name;
  if (name == nullptr || name[0] == '\0') return Bypass::no;
  char account[kNameSize];
  if (!account_name(user, account, sizeof account)) return Bypass::no;
  GroupEntry entry;
  const Lookup found = find_group(name, first_buffer_size(_SC_GETGR_R_SIZE_MAX), &entry);
  if (found == Lookup::no_memory) return Bypass::error;
  if (found != Lookup::found || entry.grp.gr_mem == nullptr) return Bypass::no;
  return names_member(entry.grp, account) ? Bypass::yes : Bypass::no;
}

bool outside_mfa_groups(const module_params *params, const char *user) {
  if (params->mfa_groups == nullptr || !names_a_group(params->mfa_groups)) return false;
  HeapPtr<char> list(strdup(params->mfa_groups));
  UserGroups groups;
  const Lookup found = list ? find_user_groups(user, &groups) : Lookup::no_memory;
  if (found == Lookup::missing) {
    ZV_LOG_AS(kEntry, params, LOG_INFO, "mfa_groups: no such user %s; the module applies",
              LogText::user(user).c_str());
    return false;
  }
  if (found != Lookup::found) {
    ZV_LOG_AS(kEntry, params, LOG_WARNING,
              "mfa_groups: cannot look up the groups of %s; the module applies",
              LogText::user(user).c_str());
    return false;
  }

  bool listed = false, in_listed = false, excluded = false, failed = false;
  char *save = nullptr;
  for (char *tok = strtok_r(list.get(), kSeparators, &save); tok != nullptr;
       tok = strtok_r(nullptr, kSeparators, &save)) {
    const bool exclude = tok[0] == '!';
    const char *name = tok + (exclude ? 1 : 0);
    if (name[0] == '\0') continue;
    if (!exclude) listed = true;
    GroupEntry entry;
    const Lookup group = find_group(name, first_buffer_size(_SC_GETGR_R_SIZE_MAX), &entry);
    // A "!" group that does not exist excludes nobody; a listed one that does not exist may be
    // a typing error, which must not let everybody skip the module.
    if (group == Lookup::missing && exclude) continue;
    if (group != Lookup::found) {
      ZV_LOG_AS(kEntry, params, LOG_WARNING,
                "mfa_groups: cannot look up group %s; the module applies to %s",
                LogText(name).c_str(), LogText::user(user).c_str());
      failed = true;
      continue;
    }
    if (groups.has(entry.grp.gr_gid)) (exclude ? excluded : in_listed) = true;
    // The group's own member list too, for a listed group only: a group source that was down
    // while the user's groups were gathered must not take the user out of the module.
    if (!exclude && names_member(entry.grp, groups.account)) in_listed = true;
  }
  if (failed) return false;
  return excluded || (listed && !in_listed);
}

} // namespace zv
