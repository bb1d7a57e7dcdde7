// The limit on failed offline code checks (offline_limit.cpp). Per account, the file
// "/etc/zelvane.d/<account>.offline.fail", named by the account's own name whatever spelling was
// typed, holds the failed checks that still count and the time of the last one, as
// "<count> <seconds since the epoch>\n"; empty (or missing) means none. It is read and written in
// place under its exclusive lock, which the checker takes while it holds the lock of the user's
// code file (always in that order). Not exported.
#pragma once

#include <ctime>

#include "auth/offline.h"
#include "common/own.h"
#include "config/params.h"

#define ZV_FAILURES_SUFFIX ".offline.fail"

namespace zv::offline {

// One user's failed checks, held under the lock of their file while the record lives.
struct Failures {
  Fd file;
  char name[ZV_OFFLINE_NAME_SIZE] = {};
  int count = 0;      // as stored
  long long last = 0; // time of the last failure
};

// Opens the account's failure file (creating it empty, 0600), locks it and reads it; a last
// failure later than `now` is read, and put on record, as one at `now`. Returns 0, or -1 after
// logging under `who` why it cannot be had: the check must then be refused.
// `username` must pass offline_username_ok.
int lock_failures(const module_params *params, const char *who, const char *username, time_t now,
                  Failures *out);
// The failures that still count at `now`: none once offline_codes_lockout_secs have passed
// since the last one.
int current_failures(const module_params *params, const Failures &failures, time_t now);
// Whether checks are refused at `now`: offline_codes_max_failures failures still count.
bool locked_out(const module_params *params, const Failures &failures, time_t now);
// Records one more failure at `now`; false when it could not be put on record.
bool add_failure(const module_params *params, const char *who, Failures *failures, time_t now);
// Forgets every failure on record.
void clear_failures(const module_params *params, const char *who, Failures *failures);
// Forgets the account's failures when there is a file (a fresh stock of codes arrived).
void reset_failures(const module_params *params, const char *who, const char *username);

} // namespace zv::offline
