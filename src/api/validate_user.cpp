// User validation: asks the server whether a password is right for a user.
#include <memory>
#include <security/pam_modules.h>
#include <syslog.h>

#include "api/api.h"
#include "api/replies.h"
#include "pam/log.h"
#include "pam/util.h"

namespace {
using ServerResponseGuard = std::unique_ptr<server_response, zv::Free<free_server_response_json>>;
} // namespace

extern "C" int validate_user_error_code(const module_params *params, const char *username,
                                        const char *password) {
  zv::SecretPtr body(get_validate_user_json(params, username, password));
  if (!body) return ZV_STATUS_BUILD_FAILED;

  zv::SecretPtr reply;
  const int sent = zv_post(params, body, reply);
  if (sent == 0) return ZV_STATUS_UNREACHABLE;
  if (!reply) {
    zv_report_missing_reply(params, __func__, __LINE__);
    return ZV_STATUS_BAD_REPLY;
  }

  server_response response{};
  ServerResponseGuard release(&response);
  parse_server_response_json(reply.get(), &response);
  // A reply without an integer errorCode would read as 0: never let it accept a password.
  if (zv_reply_states_outcome(response.root) == 0) {
    zv_report_unusable_reply(params, __func__, __LINE__, reply.get(), true);
    return ZV_STATUS_BAD_REPLY;
  }
  reply.reset();

  const int code = response.errorCode;
  if (code == 0 || code == ZV_ERR_BAD_PASSWORD) return code;
  if (code == ZV_ERR_CONFIGURATION) {
    send_message(params->pamh, PAM_ERROR_MSG, "%s", kConfigurationErrorMessage);
    ZV_LOG(params, LOG_ERR, "pam_zelvane configuration error. (%d)", code);
    return code;
  }
  send_message(params->pamh, PAM_ERROR_MSG, "%s", kServerErrorMessage);
  zv_report_server_error(params, __func__, __LINE__, response.errorMessage, code);
  return code;
}

extern "C" int validate_user(const module_params *params, const char *username,
                             const char *password) {
  return zv_status_to_pam(validate_user_error_code(params, username, password));
}
