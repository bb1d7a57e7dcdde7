// The six PAM service functions. Only authentication does work: it builds the settings of the
// call, reads the user name, answers the probe, refuses user name commands when told to,
// applies the bypass group and mfa_groups, and runs the factors in the order auth_mode gives. The
// record is released exactly once on every path, and every authentication leaves one audit
// record.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <jansson.h>
#include <security/pam_appl.h>
#include <security/pam_modules.h>
#include <syslog.h>

#include "auth/auth.h"
#include "common/call.h"
#include "common/own.h"
#include "pam/audit_int.h"
#include "pam/groups_int.h"
#include "pam/log.h"
#include "pam/pam_zelvane.h"

namespace {

// Sends {"allowPush": true|false} as one info message.
void answer_probe(const module_params *params) {
  zv::UniquePtr<json_t> obj(json_object());
  if (!obj) return;
  json_object_set_new(obj.get(), "allowPush",
                      params->allow_push_authentication ? json_true() : json_false());
  zv::HeapPtr<char> text(json_dumps(obj.get(), 0));
  if (text) send_message(params->pamh, PAM_TEXT_INFO, "%s", text.get());
}

constexpr size_t kPushPrefixLen = sizeof(ZV_PUSH_COMMAND_PREFIX) - 1;

// A user name that carries the push command or a code ("name:code") makes the module act for
// another name. With no_username_commands such a name is refused before anything is asked or
// sent; a colon is never part of an account name.
bool refuse_username_command(const module_params *params, const char *user) {
  if (params->no_username_commands == 0) return false;
  const bool push = std::strncmp(user, ZV_PUSH_COMMAND_PREFIX, kPushPrefixLen) == 0;
  if (!push && std::strchr(user, ':') == nullptr) return false;
  // Only the name is logged: what follows a colon may be a code.
  const char *name = push ? user + kPushPrefixLen : user;
  zv::HeapPtr<char> cut(strndup(name, std::strcspn(name, ":")));
  const char *shown = cut ? cut.get() : "";
  if (push)
    ZV_LOG_AS("pam_sm_authenticate", params, LOG_WARNING,
              "Refused the push command user name for %s (no_username_commands)",
              zv::LogText(shown).c_str());
  else
    ZV_LOG_AS("pam_sm_authenticate", params, LOG_WARNING,
              "Refused a user name with a colon for %s (no_username_commands)",
              zv::LogText(shown).c_str());
  return true;
}

int run_factors(module_params *params, const char *user, zv::Audit *audit) {
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
    zv::join_roads(audit, first_road, call.road);
    return first != PAM_SUCCESS ? first : second;
  }
  }
}

int authenticate(pam_handle_t *pamh, int argc, const char **argv, zv::Audit *audit) {
  zv::ParamsScope scope;
  module_params &params = scope.params;
  if (read_params(pamh, argc, argv, &params) != 0) {
    send_message(pamh, PAM_ERROR_MSG, "%s", "Configuration error. Please contact support.");
    ZV_LOG_AS("pam_sm_authenticate", nullptr, LOG_ERR, "pam_zelvane configurations error.");
    audit->error = true;
    return PAM_AUTH_ERR;
  }
  params.call = &audit->call;
  // forward_pass takes the answer that carries the password: only auth_mode_2fa, where no
  // first factor asks for it, has such an answer to split.
  if (params.forward_pass != 0 && params.auth_mode != auth_mode_2fa) {
    send_message(pamh, PAM_ERROR_MSG, "%s", "Configuration error. Please contact support.");
    ZV_LOG_AS("pam_sm_authenticate", &params, LOG_ERR,
              "forward_pass needs auth_mode_2fa: pam_zelvane configurations error.");
    audit->error = true;
    return PAM_AUTH_ERR;
  }

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

  if (refuse_username_command(&params, user)) return PAM_AUTH_ERR;

  // The bypass group comes first: its listed members pass whatever mfa_groups says.
  switch (zv::check_bypass_group(&params, user)) {
  case zv::Bypass::yes:
    audit->road = "bypass";
    return PAM_SUCCESS;
  case zv::Bypass::error:
    send_message(pamh, PAM_ERROR_MSG, "%s", "Memory allocation error. Please contact support.");
    ZV_LOG_AS("pam_sm_authenticate", &params, LOG_ERR, "malloc() failed.");
    audit->error = true;
    return PAM_AUTH_ERR;
  case zv::Bypass::no:
    break;
  }
  if (zv::outside_mfa_groups(&params, user)) {
    ZV_LOG_AS("pam_sm_authenticate", &params, LOG_INFO,
              "User %s is outside mfa_groups: the module is ignored",
              zv::LogText::user(user).c_str());
    audit->road = "mfa_groups";
    return PAM_IGNORE;
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
  zv::Audit audit;
  const int rc = authenticate(pamh, argc, argv, &audit);
  zv::write_audit(pamh, audit, rc, start);
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
