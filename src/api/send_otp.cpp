// OTP delivery: asks the server to send the user a one-time code by SMS, e-mail or voice call.
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

extern "C" int send_oath_otp(const module_params *params, const char *username) {
  ZV_LOG(params, LOG_DEBUG, "START");
  zv::SecretPtr body(get_send_oath_otp_json(params, username));
  if (!body) return PAM_BUF_ERR;

  zv::SecretPtr reply;
  const int sent = zv_post(params, body, reply);
  if (sent == 0) return PAM_AUTHINFO_UNAVAIL;
  if (!reply) {
    zv_report_missing_reply(params, __func__, __LINE__);
    return PAM_AUTH_ERR;
  }

  server_response response{};
  ServerResponseGuard release(&response);
  parse_server_response_json(reply.get(), &response);
  if (response.root == nullptr) {
    // The user learns nothing here: the driver decides what follows a failed delivery.
    zv_report_unusable_reply(params, __func__, __LINE__, reply.get(), false);
    return PAM_AUTH_ERR;
  }
  reply.reset();

  if (response.errorCode == 0) {
    release.reset();
    send_message(params->pamh, PAM_TEXT_INFO, "Sent OTP %s message.\n", params->send_otp_method);
    return PAM_SUCCESS;
  }
  zv_report_server_error(params, __func__, __LINE__, response.errorMessage, response.errorCode);
  send_message(params->pamh, PAM_ERROR_MSG, "%s", kServerErrorMessage);
  return PAM_AUTH_ERR;
}
