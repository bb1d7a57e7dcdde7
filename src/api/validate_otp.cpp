// OTP validation: asks the server whether a one-time code is valid for a user, falls back to
// the offline code store while the server cannot be reached, and stores the fresh offline codes
// that a reply carries.
#include <cstdio>
#include <cstring>
#include <memory>
#include <security/pam_modules.h>
#include <syslog.h>

#include "api/api.h"
#include "api/replies.h"
#include "auth/offline.h"
#include "pam/log.h"
#include "pam/util.h"

namespace {

using OtpResponseGuard =
    std::unique_ptr<validate_otp_response, zv::Free<free_validate_otp_response_json>>;

// Results after which the server still hands out a valid stock of offline codes.
bool keeps_offline_codes(int code) {
  return code == 0 || code == ZV_ERR_9111 || code == ZV_ERR_9116 || code == ZV_ERR_PUSH_DENIED;
}

// A reply that cannot be used may still carry a stock of offline codes, and they must never
// reach the log: the reply is logged only up to the name of its "offlineCodes" member, with a
// note in place of the rest. The cut-off rest is wiped; the reply is unusable anyway.
void report_unusable_reply(const module_params *params, int line, char *reply) {
  static constexpr char kKey[] = "offlineCodes";
  char *key = std::strstr(reply, kKey);
  if (key == nullptr) {
    zv_report_unusable_reply(params, "validate_oath_otp_error_code", line, reply, true);
    return;
  }
  char *rest = key + sizeof kKey - 1;
  explicit_bzero(rest, std::strlen(rest));
  char *shown = nullptr;
  if (asprintf(&shown, "%s (offline codes not logged)", reply) < 0) shown = nullptr;
  zv::CharPtr owned(shown);
  zv_report_unusable_reply(params, "validate_oath_otp_error_code", line,
                           owned ? owned.get() : reply, true);
}

} // namespace

extern "C" int validate_oath_otp_error_code(const module_params *params, const char *username,
                                            const char *otp) {
  zv::SecretPtr body(get_validate_oath_opt_json(params, username, otp));
  if (!body) return ZV_STATUS_BUILD_FAILED;

  zv::SecretPtr reply; // may carry offline codes
  const int sent = zv_post(params, body, reply);
  if (sent == 0) {
    if (params->offline_codes != 0) return has_matching_offline_otp(params, username, otp);
    send_message(params->pamh, PAM_ERROR_MSG, "%s",
                 "Unable to connect to the server. Please contact support.");
    return ZV_STATUS_UNREACHABLE;
  }
  if (!reply) {
    if (params->offline_codes != 0) return has_matching_offline_otp(params, username, otp);
    zv_report_missing_reply(params, __func__, __LINE__);
    return ZV_STATUS_BAD_REPLY;
  }

  validate_otp_response response{};
  OtpResponseGuard release(&response);
  parse_validate_otp_response_json(params, reply.get(), &response);
  // A reply without an integer errorCode would read as 0: never let it accept a code. The
  // server answered, so the offline store is not consulted either.
  if (zv_reply_states_outcome(response.root) == 0) {
    report_unusable_reply(params, __LINE__, reply.get());
    return ZV_STATUS_BAD_REPLY;
  }
  reply.reset();

  const int code = response.errorCode;
  if (keeps_offline_codes(code)) {
    if (response.offlineCodesArray != nullptr && response.offlineCodesCount >= 1) {
      // The store logs its own failures; they never change the outcome of the validation.
      store_offline_codes(params, username, response.offlineCodesArray, response.offlineCodesCount);
    }
    return code;
  }
  if (code == ZV_ERR_BAD_OTP) return code;
  if (code == ZV_ERR_CONFIGURATION) {
    ZV_LOG(params, LOG_ERR, "pam_zelvane configuration error. (%d)", code);
    send_message(params->pamh, PAM_ERROR_MSG, "%s", kConfigurationErrorMessage);
    return code;
  }
  zv_report_server_error(params, __func__, __LINE__, response.errorMessage, code);
  send_message(params->pamh, PAM_ERROR_MSG, "%s", kServerErrorMessage);
  return code;
}

extern "C" int validate_oath_otp(const module_params *params, const char *username,
                                 const char *otp) {
  return zv_status_to_pam(validate_oath_otp_error_code(params, username, otp));
}
