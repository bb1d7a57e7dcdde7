// Who the module applies to: the bypass group and the mfa_groups list, read from the system's
// user and group databases (groups.cpp). Not exported.
#pragma once

#include <grp.h>

#include "common/own.h"
#include "config/params.h"

// The largest buffer a user or group entry is looked up with; a larger entry counts as a failed
// lookup.
#define ZV_NSS_BUFFER_MAX (1u << 20)

namespace zv {

enum class Lookup { found, missing, failed, no_memory };

// A group entry and the buffer its strings live in.
struct GroupEntry {
  group grp{};
  HeapPtr<char> buf;
};

// Looks `name` up with getgrnam_r, first with a buffer of `first_size` bytes, then with one twice
// as large each time the entry does not fit, up to ZV_NSS_BUFFER_MAX.
Lookup find_group(const char *name, size_t first_size, GroupEntry *out);

enum class Bypass { no, yes, error };
// Whether the account `user` names is listed in the member list of bypass_group_name (error: no
// buffer at all).
Bypass check_bypass_group(const module_params *params, const char *user);

// Whether the account `user` names is outside mfa_groups: in none of its groups, or in one of its
// "!" groups. Without a list, and whenever a lookup fails, the answer is no (the user goes through
// the module); a failed lookup is logged.
bool outside_mfa_groups(const module_params *params, const char *user);

// The account's own name for `user` (pw_name) when the passwd database knows it, else `user`
// itself; copied into out (size bytes). False when it does not fit or memory ran out.
bool account_name(const char *user, char *out, size_t size);

} // namespace zv
