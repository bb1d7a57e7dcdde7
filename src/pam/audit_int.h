// The audit record that every authentication leaves (audit.cpp): who, from where, by which
// road, with what result, through which server, in how long. For the entry points only.
#pragma once

#include <ctime>
#include <security/pam_modules.h>

#include "common/call.h"

namespace zv {

// What one call's audit record tells besides its result.
struct Audit {
  const char *user = nullptr; // as PAM holds it (borrowed)
  const char *road = nullptr; // a fixed text, or road_text
  bool error = false;         // the call failed before any factor (settings, user name, memory)
  char road_text[48] = {};
  zv_call call;
};

// Joins the roads of the combined mode, the password's first; a second factor that the
// password's code already passed adds nothing.
void join_roads(Audit *audit, const char *first, const char *second);

// Writes the record of a call that returned `rc` and began at `start`.
void write_audit(pam_handle_t *pamh, const Audit &audit, int rc, const timespec &start);

} // namespace zv
