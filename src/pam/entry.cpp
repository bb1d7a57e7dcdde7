// The six PAM service functions. Only authentication does work: it builds the settings of the
// call, reads the user name, answers the probe, applies the bypass group and runs the factors
// in the order auth_mode gives. The record is released exactly once on every path.
#include <cstdlib>
#include <cstring>
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

int run_factors(module_params *params, const char *user) {
  switch (params->auth_mode) {
  case auth_mode_1fa:
    return first_factor(params, user);
  case auth_mode_2fa:
    return second_factor(params, user);
  default: {
    // The second factor runs even after a failed first one, so that a failure does not tell
    // which factor was wrong; the first factor's failure wins.
    const int first = first_factor(params, user);
    const int second = second_factor(params, user);
    return first != PAM_SUCCESS ? first : second;
  }
  }
}

int authenticate(pam_handle_t *pamh, int argc, const char **argv) {
  zv::ParamsScope scope;
  module_params &params = scope.params;
  if (read_params(pamh, argc, argv, &params) != 0) {
    send_message(pamh, PAM_ERROR_MSG, "%s", "Configuration error. Please contact support.");
    ZV_LOG_AS("pam_sm_authenticate", nullptr, LOG_ERR, "pam_zelvane configurations error.");
    return PAM_AUTH_ERR;
  }
  zv_call call;
  params.call = &call;

  const char *user = get_username(&params);
  if (user == nullptr) {
    send_message(pamh, PAM_ERROR_MSG, "%s", "Cannot determine the user's name.");
    ZV_LOG_AS("pam_sm_authenticate", &params, LOG_ERR, "Cannot determine the user's name.");
    return PAM_AUTH_ERR;
  }

  if (std::strcmp(user, ZV_PROBE_USER) == 0) {
    answer_probe(&params);
    return PAM_SUCCESS;
  }

  switch (check_bypass_group(&params, user)) {
  case Bypass::yes:
    return PAM_SUCCESS;
  case Bypass::error:
    send_message(pamh, PAM_ERROR_MSG, "%s", "Memory allocation error. Please contact support.");
    ZV_LOG_AS("pam_sm_authenticate", &params, LOG_ERR, "malloc() failed.");
    return PAM_AUTH_ERR;
  case Bypass::no:
    break;
  }
  return run_factors(&params, user);
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
  return authenticate(pamh, argc, argv);
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
