// The limit on push requests (push_limit.cpp): at most push_limit pushes for one user name on
// this host within push_limit_window_secs, and none for that long after the user refused one,
// counted across processes (sshd forks one per connection). Per user the file
// "/etc/zelvane.d/<user>.push" holds "<paused until> <time of a push> ...\n", in seconds since the
// epoch, the pushes oldest first; empty (or missing) means none. Not exported.
#pragma once

#include <cstddef>

#include "config/params.h"

#define ZV_PUSH_SUFFIX ".push"
// Pushes on record at the most: a larger push_limit counts as this many.
#define ZV_MAX_PUSH_LIMIT 100

namespace zv {

// Counts a push for `username` that is about to be sent. PAM_SUCCESS when it may go out;
// otherwise PAM_AUTH_ERR after telling the user and logging why: pushes are paused or past the
// limit, or the count cannot be kept (a user name unfit for a file name, a file that cannot be
// locked, read or written).
int take_push(const module_params *params, const char *username);

// Holds back pushes for `username` for push_limit_window_secs: the user refused one. A count
// that cannot be kept is logged.
void pause_pushes(const module_params *params, const char *username);

} // namespace zv
