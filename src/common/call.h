// What one pam_sm_authenticate call learns on its way, beyond its settings: which servers failed
// (so that a dead server costs one time-out per call, not one per request), the TLS context and
// sessions it reuses, the server that push polls stay with, the server that answered, and the
// road the login took (for the call's audit record). It
// lives in pam_sm_authenticate's frame and module_params::call points to it; outside a call (a
// direct call of a working function) that pointer is null and every request stands alone.
#pragma once

#include <sys/types.h>
#include <time.h>

#include "common/own.h"

#define ZV_MAX_SERVERS 8
#define ZV_SERVER_TEXT_SIZE 272 /* "[" name "]:" port */

struct zv_call {
  unsigned failed = 0;    // servers (bit i: the i-th of the host list) that failed in this call
  unsigned timed_out = 0; // those of them that failed by running out of time
  int pinned = -1;        // the one server later requests go to (a push's polls), or -1
  int answered = -1;      // the server that answered the last request, or -1
  char server[ZV_SERVER_TEXT_SIZE] = {}; // that server as "name:port" ("" before any answer)
  int http_status = 0;                   // the HTTP status of that answer (0 before any answer)

  // The road that decided the factor under way, a fixed text ("password", "code", "sms",
  // "email", "voice", "push", "offline", ...), set by the factor code where the road is taken;
  // null while none is. See note_road.
  const char *road = nullptr;

  // One TLS context for the call while its CA file stays the same file, and one session per
  // server to resume.
  zv::UniquePtr<SSL_CTX> ctx;
  zv::HeapPtr<char> ctx_ca_path;
  dev_t ctx_dev = 0;
  ino_t ctx_ino = 0;
  off_t ctx_size = 0;
  timespec ctx_mtime{}, ctx_ctime{};
  zv::UniquePtr<SSL_SESSION> sessions[ZV_MAX_SERVERS];
};

// The roads of the audit record: how the factor that decided a login was passed (or failed).
namespace zv::road {
inline constexpr const char password[] = "password"; // the first factor's password
inline constexpr const char code[] = "code";         // a typed code (token, user name, prompt)
inline constexpr const char sms[] = "sms";           // a code the server sent, by its channel
inline constexpr const char email[] = "email";
inline constexpr const char voice[] = "voice";
inline constexpr const char push[] = "push";           // a push confirmation
inline constexpr const char offline[] = "offline";     // a code the offline store accepted
inline constexpr const char validated[] = "validated"; // passed earlier with the password's code
} // namespace zv::road

// Records the road the factor under way takes (a fixed text). Harmless outside a call.
inline void note_road(zv_call *call, const char *road) {
  if (call != nullptr) call->road = road;
}
