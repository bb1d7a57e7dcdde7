// First factor: the user's password, taken from the PAM stack or asked for, checked with the
// server. One answer may carry the password and a one-time code joined by the delimiter; when
// both pass, the second factor of this transaction is marked as done.
#include <cstring>
#include <security/pam_modules.h>
#include <syslog.h>

#include "api/api.h"
#include "auth/auth.h"
#include "common/call.h"
#include "common/own.h"
#include "pam/log.h"

namespace {

// The marker's value lives in the module's read-only data: it is stored without a release
// callback and only ever compared, never freed.
constexpr const char kValidated[] = "true";

// Checks "password<delim>code" cut at `delim`. The caller restores the delimiter afterwards so
// that the whole candidate, code included, is wiped when it is freed.
int check_password_then_code(module_params *params, const char *username, const char *password,
                             const char *code) {
  const int rc = validate_user(params, username, password);
  if (rc != PAM_SUCCESS) return rc; // the code is never sent with a wrong password
  zv_call *call = params->call;
  note_road(call, zv::road::code);
  const int otp_rc = validate_oath_otp(params, username, code);
  // The audit tells both: the password, and how its code was checked.
  note_road(call, call != nullptr && std::strcmp(call->road, zv::road::offline) == 0
                      ? "password+offline"
                      : "password+code");
  if (otp_rc == PAM_SUCCESS)
    pam_set_data(params->pamh, ZV_VALIDATED_KEY, const_cast<char *>(kValidated), nullptr);
  return otp_rc;
}

} // namespace

extern "C" int is_otp_str(const char *s) {
  if (s == nullptr) return 0;
  size_t n = 0;
  for (; s[n] != '\0'; n++) {
    if (n >= 10 || s[n] < '0' || s[n] > '9') return 0;
  }
  return n >= 3 ? 1 : 0;
}

extern "C" char *get_stack_password(const module_params *params) {
  const void *item = nullptr;
  if (pam_get_item(params->pamh, PAM_AUTHTOK, &item) != PAM_SUCCESS || item == nullptr)
    return nullptr;
  char *copy = strdup(static_cast<const char *>(item));
  if (copy == nullptr) ZV_LOG(params, LOG_ERR, "Memory allocation failed for password strdup");
  return copy;
}

extern "C" int validate_password_and_otp(module_params *params, const char *username,
                                         char *candidate) {
  zv::Secret owned(candidate);
  note_road(params->call, zv::road::password);
  // No answer, an empty one, or one longer than any conversation may give (a wrong password in
  // every respect) never reaches the server.
  if (!owned || owned.get()[0] == '\0' || std::strlen(owned.get()) > PAM_MAX_RESP_SIZE)
    return PAM_AUTH_ERR;

  const char delimiter = params->password_otp_delimiter_char;
  char *cut = std::strrchr(owned.get(), delimiter);
  if (delimiter == '\0' || cut == nullptr || is_otp_str(cut + 1) == 0)
    return validate_user(params, username, owned.get());

  *cut = '\0';
  const int rc = check_password_then_code(params, username, owned.get(), cut + 1);
  *cut = delimiter;
  return rc;
}

extern "C" int first_factor(module_params *params, const char *username) {
  // The marker speaks for this attempt only. A host that retries pam_authenticate on the same
  // handle (login does, possibly for another user) must not inherit an earlier attempt's code.
  const void *marker = nullptr;
  if (pam_get_data(params->pamh, ZV_VALIDATED_KEY, &marker) == PAM_SUCCESS && marker != nullptr)
    pam_set_data(params->pamh, ZV_VALIDATED_KEY, nullptr, nullptr);

  switch (params->first_pass_mode) {
  case prompt_pass:
    break;
  case try_first_pass:
  case use_first_pass: {
    const int rc = validate_password_and_otp(params, username, get_stack_password(params));
    if (rc == PAM_SUCCESS) return PAM_SUCCESS;
    // use_first_pass never prompts, and reports every failure alike.
    if (params->first_pass_mode == use_first_pass) return PAM_AUTH_ERR;
    break;
  }
  default:
    return PAM_AUTH_ERR;
  }
  char *answer = prompt_user(params->pamh, PAM_PROMPT_ECHO_OFF, params->prompt_password);
  return validate_password_and_otp(params, username, answer);
}
