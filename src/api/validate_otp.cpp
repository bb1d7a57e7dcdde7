// OTP validation: asks the server whether a one-time code is valid for a user, falls back to
// the offline code store while the server cannot be reached, and stores the fresh offline codes
// that a reply carries.
#include <security/pam_modules.h>

#include "api/api.h"
#include "api/exchange_int.h"
#include "auth/offline.h"
#include "common/call.h"
#include "pam/log.h"

namespace {

using namespace zv::api;

// A reply without an integer errorCode would read as 0 and accept the code; an unusable reply
// may carry offline codes, which must not reach the log.
constexpr Operation kOp{"validate_oath_otp_error_code", true, true, false, true};
// 9003 is a wrong code: a plain refusal, announced to nobody. After 9111, 9116 and 9030 (and 0)
// the reply still carries a valid stock of offline codes.
constexpr CodeRule kRules[] = {
    {ZV_ERR_9111, Verdict::pass},
    {ZV_ERR_9116, Verdict::pass},
    {ZV_ERR_PUSH_DENIED, Verdict::pass},
    {ZV_ERR_BAD_OTP, Verdict::pass},
    {ZV_ERR_CONFIGURATION, Verdict::configuration},
};

bool keeps_offline_codes(int code) {
  return code == 0 || code == ZV_ERR_9111 || code == ZV_ERR_9116 || code == ZV_ERR_PUSH_DENIED;
}

// The operation for a typed code or a push poll; they differ only in how the offline fallback
// treats a miss.
int validate(const module_params *params, const char *username, const char *otp,
             OfflineAttempt attempt) {
  zv::Secret body(get_validate_oath_opt_json(params, username, otp));
  if (!body) return ZV_STATUS_BUILD_FAILED;
  zv::Secret reply; // may carry offline codes
  const Exchange how = exchange(params, std::move(body), &reply);
  if (how != Exchange::reply) {
    // While no server can be reached the offline codes decide; a server's HTTP error is an
    // answer, and a failure on this side is no outage.
    if (params->offline_codes != 0 && how != Exchange::refused && how != Exchange::failed) {
      const int status = check_offline_code(params, username, otp, attempt);
      if (status == 0 && attempt == OfflineAttempt::typed)
        note_road(params->call, zv::road::offline);
      return status;
    }
    if (how == Exchange::unreachable)
      send_message(params->pamh, PAM_ERROR_MSG, "%s",
                   "Unable to connect to the server. Please contact support.");
    return failed_exchange(params, kOp, how);
  }

  validate_otp_response response{};
  zv::UniquePtr<validate_otp_response> release(&response);
  // The server answered: the offline store is not consulted, whatever the reply is worth.
  const int status = read_reply(params, kOp, &reply, &response,
                                [params](const char *json, validate_otp_response *r) {
                                  parse_validate_otp_response_json(params, json, r);
                                });
  if (status != 0) return status;
  reply.reset();

  const int code = response.errorCode;
  // The store logs its own failures; they never change the outcome of the validation.
  if (keeps_offline_codes(code) && response.offlineCodesArray != nullptr &&
      response.offlineCodesCount >= 1)
    store_offline_codes(params, username, response.offlineCodesArray, response.offlineCodesCount);
  return judge(params, kOp, code, response.errorMessage, kRules);
}

} // namespace

extern "C" int validate_oath_otp_error_code(const module_params *params, const char *username,
                                            const char *otp) {
  return validate(params, username, otp, OfflineAttempt::typed);
}

int validate_push_poll(const module_params *params, const char *username, const char *request_id) {
  return validate(params, username, request_id, OfflineAttempt::poll);
}

extern "C" int validate_oath_otp(const module_params *params, const char *username,
                                 const char *otp) {
  return zv_status_to_pam(validate_oath_otp_error_code(params, username, otp));
}
