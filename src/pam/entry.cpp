// The six PAM service functions. Only authentication does work: it builds the settings of the
// call, reads the user name, answers the probe, applies the bypass group and runs the factors
// in the order auth_mode gives. The record is released exactly once on every path, and every
// authentication leaves one audit record.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <grp.h>
#include <jansson.h>
#include <security/pam_appl.h>
#include <security/pam_modules.h>
#include <syslog.h>
#include <unistd.h>

#include "auth/auth.h"
#include "common/call.h"
#include "common/own.h"
#include "pam/log.h"
#include "pam/pam_zelvane.h"

namespace {

size_t group_buffer_size() {
  const long n = sysconf(_SC_GETGR_R_SIZE_MAX);
  const auto size = static_cast<unsigned long>(n);
  return size <= ZV_BYPASS_BUFFER_MAX ? size : ZV_BYPASS_BUFFER_DEFAULT;
}

// Sends {"allowPush": true|false} as one info message.
void answer_probe(const module_params *params) {
  zv::UniquePtr<json_t> obj(json_object());
  if (!obj) return;
  json_object_set_new(obj.get(), "allowPush",
                      params->allow_push_authentication ? json_true() : json_false());
  zv::HeapPtr<char> text(json_dumps(obj.get(), 0));
  if (text) send_message(params->pamh, PAM_TEXT_INFO, "%s", text.get());
}

enum class Bypass { no, yes, error };

// Whether `user` is listed in the member list of the bypass group.
Bypass check_bypass_group(const module_params *params, const char *user) {
  if (params->bypass_group_name == nullptr || params->bypass_group_name[0] == '\0')
    return Bypass::no;
  const size_t size = group_buffer_size();
  zv::HeapPtr<char> buf(static_cast<char *>(std::malloc(size)));
  if (!buf) return Bypass::error;
  group grp{};
  group *result = nullptr;
  if (getgrnam_r(params->bypass_group_name, &grp, buf.get(), size, &result) != 0 ||
      result == nullptr || result->gr_mem == nullptr)
    return Bypass::no;
  for (char **member = result->gr_mem; *member != nullptr; member++)
    if (std::strcmp(*member, user) == 0) return Bypass::yes;
  return Bypass::no;
}

// What one call's audit record tells besides its result.
struct Audit {
  const char *user = nullptr; // as PAM holds it (borrowed)
  const char *road = nullptr; // a fixed text, or road_text
  bool error = false;         // the call failed before any factor (settings, user name, memory)
  char road_text[48] = {};
  zv_call call;
};

int run_factors(module_params *params, const char *user, Audit *audit) {
  zv_call &call = audit->call;
  switch (params->auth_mode) {
  case auth_mode_1fa: {
    const int rc = first_factor(params, user);
    audit->road = call.road;
    return rc;
  }
  case auth_mode_2fa: {
    const int rc = second_factor(params, user);
    audit->road = call.road;
    return rc;
  }
  default: {
    // The second factor runs even after a failed first one, so that a failure does not tell
    // which factor was wrong; the first factor's failure wins.
    const int first = first_factor(params, user);
    const char *first_road = call.road;
    call.road = nullptr;
    const int second = second_factor(params, user);
    // Both roads, the password's first; a second factor that the password's code already passed
    // adds nothing.
    if (first_road == nullptr || call.road == nullptr ||
        std::strcmp(call.road, zv::road::validated) == 0) {
      audit->road = first_road != nullptr ? first_road : call.road;
    } else {
      (void)std::snprintf(audit->road_text, sizeof audit->road_text, "%s+%s", first_road,
                          call.road);
      audit->road = audit->road_text;
    }
    return first != PAM_SUCCESS ? first : second;
  }
  }
}

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

// The user name for the record. A code typed after its last colon is a secret: it shows as
// "***". The copy, which may hold that code, is wiped.
class AuditUser {
public:
  explicit AuditUser(const char *user) {
    (void)std::snprintf(buf_, sizeof buf_, "%s", user != nullptr ? user : "-");
    char *colon = std::strrchr(buf_, ':');
    if (colon != nullptr && is_otp_str(colon + 1) != 0) {
      zv::wipe(colon + 1);
      std::memcpy(colon + 1, "***", 4);
    }
  }
  AuditUser(const AuditUser &) = delete;
  AuditUser &operator=(const AuditUser &) = delete;
  ~AuditUser() { zv::wipe(buf_, sizeof buf_); }
  const char *c_str() const { return buf_; }

private:
  char buf_[zv::LogText::kLogTextMax + 1];
};

// The one record of every authentication: who, from where, by which road, with what result,
// through which server, in how long. Outside text is escaped; no secret is ever in it. Written
// under the service's identity even when the settings could not be read.
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
  const AuditUser shown_user(user);
  const zv::LogText user_text(shown_user.c_str(), true);
  const zv::LogText rhost_text(rhost != nullptr ? rhost : "-", true);
  const zv::LogText server_text(server != nullptr ? server : "-", true);
  const zv::LogText service_text(service != nullptr ? service : "-", true);
  ZV_LOG_AS("pam_sm_authenticate", &record, rc == PAM_SUCCESS ? LOG_NOTICE : LOG_WARNING,
            "user=%s service=%s rhost=%s road=%s result=%s server=%s ms=%ld", user_text.c_str(),
            service_text.c_str(), rhost_text.c_str(), audit.road != nullptr ? audit.road : "-",
            audit.error ? "error" : result_text(rc), server_text.c_str(), elapsed_ms(start));
}

int authenticate(pam_handle_t *pamh, int argc, const char **argv, Audit *audit) {
  zv::ParamsScope scope;
  module_params &params = scope.params;
  if (read_params(pamh, argc, argv, &params) != 0) {
    send_message(pamh, PAM_ERROR_MSG, "%s", "Configuration error. Please contact support.");
    ZV_LOG_AS("pam_sm_authenticate", nullptr, LOG_ERR, "pam_zelvane configurations error.");
    audit->error = true;
    return PAM_AUTH_ERR;
  }
  params.call = &audit->call;

  const char *user = get_username(&params);
  if (user == nullptr) {
    send_message(pamh, PAM_ERROR_MSG, "%s", "Cannot determine the user's name.");
    ZV_LOG_AS("pam_sm_authenticate", &params, LOG_ERR, "Cannot determine the user's name.");
    audit->error = true;
    return PAM_AUTH_ERR;
  }
  audit->user = user;

  if (std::strcmp(user, ZV_PROBE_USER) == 0) {
    audit->road = "probe";
    answer_probe(&params);
    return PAM_SUCCESS;
  }

  switch (check_bypass_group(&params, user)) {
  case Bypass::yes:
    audit->road = "bypass";
    return PAM_SUCCESS;
  case Bypass::error:
    send_message(pamh, PAM_ERROR_MSG, "%s", "Memory allocation error. Please contact support.");
    ZV_LOG_AS("pam_sm_authenticate", &params, LOG_ERR, "malloc() failed.");
    audit->error = true;
    return PAM_AUTH_ERR;
  case Bypass::no:
    break;
  }
  return run_factors(&params, user, audit);
}

} // namespace

extern "C" const char *get_username(module_params *params) {
  const char *user = nullptr;
  const int rc = pam_get_user(params->pamh, &user, nullptr);
  if (rc != PAM_SUCCESS || user == nullptr || user[0] == '\0') {
    ZV_LOG(params, LOG_ERR, "pam_get_user() failed to get the user's name.");
    return nullptr;
  }
  return user;
}

extern "C" void free_pam_data(pam_handle_t *, void *data, int) { std::free(data); }

extern "C" ZV_API int pam_sm_authenticate(pam_handle_t *pamh, int, int argc, const char **argv) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  Audit audit;
  const int rc = authenticate(pamh, argc, argv, &audit);
  write_audit(pamh, audit, rc, start);
  return rc;
}

extern "C" ZV_API int pam_sm_setcred(pam_handle_t *, int, int, const char **) {
  return PAM_SUCCESS;
}

extern "C" ZV_API int pam_sm_acct_mgmt(pam_handle_t *, int, int, const char **) {
  return PAM_SUCCESS;
}

extern "C" ZV_API int pam_sm_open_session(pam_handle_t *, int, int, const char **) {
  return PAM_SUCCESS;
}

extern "C" ZV_API int pam_sm_close_session(pam_handle_t *, int, int, const char **) {
  return PAM_SUCCESS;
}

extern "C" ZV_API int pam_sm_chauthtok(pam_handle_t *, int, int, const char **) {
  return PAM_IGNORE;
}
