// The audit record of an authentication. Outside text is escaped, and no secret is ever in it.
#include <cstdio>
#include <cstring>
#include <security/pam_appl.h>
#include <syslog.h>

#include "pam/audit_int.h"
#include "pam/log.h"

namespace zv {
namespace {

const char *result_text(int rc) {
  switch (rc) {
  case PAM_SUCCESS:
    return "success";
  case PAM_AUTH_ERR:
    return "failure";
  case PAM_AUTHINFO_UNAVAIL:
    return "unavailable";
  case PAM_IGNORE:
    return "ignored";
  default:
    return "error";
  }
}

const char *item_text(pam_handle_t *pamh, int type) {
  const void *item = nullptr;
  if (pamh == nullptr || pam_get_item(pamh, type, &item) != PAM_SUCCESS || item == nullptr)
    return nullptr;
  const auto *text = static_cast<const char *>(item);
  return text[0] != '\0' ? text : nullptr;
}

long elapsed_ms(const timespec &start) {
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  return (end.tv_sec - start.tv_sec) * 1000L + (end.tv_nsec - start.tv_nsec) / 1000000L;
}

// The one record of every authentication: who, from where, by which road, with what result,
// through which server, in how long. Outside text is escaped; no secret is ever in it. Written
// under the service's identity even when the settings could not be read.
} // namespace

void write_audit(pam_handle_t *pamh, const Audit &audit, int rc, const timespec &start) {
  char ident[ZV_SERVER_TEXT_SIZE];
  const char *service = item_text(pamh, PAM_SERVICE);
  (void)std::snprintf(ident, sizeof ident, "pam_zelvane(%s)",
                      service != nullptr ? service : "unknown");
  module_params record{};
  record.logname = ident;
  const char *user = audit.user != nullptr ? audit.user : item_text(pamh, PAM_USER);
  const char *rhost = item_text(pamh, PAM_RHOST);
  const char *server = audit.call.server[0] != '\0' ? audit.call.server : nullptr;
  const zv::LogText user_text = zv::LogText::user(user != nullptr ? user : "-", true);
  const zv::LogText rhost_text(rhost != nullptr ? rhost : "-", true);
  const zv::LogText server_text(server != nullptr ? server : "-", true);
  const zv::LogText service_text(service != nullptr ? service : "-", true);
  ZV_LOG_AS("pam_sm_authenticate", &record, rc == PAM_SUCCESS ? LOG_NOTICE : LOG_WARNING,
            "user=%s service=%s rhost=%s road=%s result=%s server=%s ms=%ld", user_text.c_str(),
            service_text.c_str(), rhost_text.c_str(), audit.road != nullptr ? audit.road : "-",
            audit.error ? "error" : result_text(rc), server_text.c_str(), elapsed_ms(start));
}

void join_roads(Audit *audit, const char *first, const char *second) {
  if (first == nullptr || second == nullptr || std::strcmp(second, road::validated) == 0) {
    audit->road = first != nullptr ? first : second;
    return;
  }
  (void)std::snprintf(audit->road_text, sizeof audit->road_text, "%s+%s", first, second);
  audit->road = audit->road_text;
}

} // namespace zv
