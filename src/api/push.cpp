// Push authentication: asks the server to send the user a confirmation request, then polls for
// the answer once a second with the OTP validation operation, the request's id in place of a code.
#include <cerrno>
#include <ctime>
#include <memory>
#include <security/pam_modules.h>
#include <syslog.h>

#include "api/api.h"
#include "api/replies.h"
#include "pam/log.h"
#include "pam/util.h"
#include "transport/transport.h"

namespace {

using PushResponseGuard =
    std::unique_ptr<send_push_message_response, zv::Free<free_send_push_message_response_json>>;

constexpr int kNoticeEvery = 10;

// A full second even when a signal interrupts the sleep: the server sees at most one poll a
// second per waiting user.
void pause_one_second() {
  timespec left{1, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

bool is_refusal(int status) { return status == ZV_ERR_PUSH_DENIED || status == ZV_ERR_9111; }

// Polls until the user confirms or refuses, or max_push_wait_secs polls went unanswered.
int wait_for_answer(const module_params *params, const char *username, const char *request_id) {
  for (int poll = 0; poll < params->max_push_wait_secs; poll++) {
    const int status = validate_oath_otp_error_code(params, username, request_id);
    if (status == 0) return PAM_SUCCESS;
    if (is_refusal(status)) return PAM_AUTH_ERR;
    // Anything else, a failed poll included, only means that no answer is known yet.
    if (poll % kNoticeEvery == 0)
      send_message(params->pamh, PAM_ERROR_MSG, "%s",
                   "Waiting for you to confirm the authentication request...");
    pause_one_second();
  }
  ZV_LOG_AS("send_push_message", params, LOG_ERR, "Push authentication timed out after %d seconds",
            params->max_push_wait_secs);
  send_message(params->pamh, PAM_ERROR_MSG, "%s", "Push authentication request timed out.");
  return PAM_AUTH_ERR;
}

} // namespace

extern "C" int send_push_message(const module_params *params, const char *username,
                                 const char *delivery_method) {
  zv::SecretPtr body(get_send_push_message_json(params, username, delivery_method));
  if (!body) return PAM_BUF_ERR;
  send_message(params->pamh, PAM_TEXT_INFO, "%s", "Sending push authentication request.");

  zv::SecretPtr reply;
  const int sent = zv_post(params, body, reply);
  if (sent == 0) return PAM_AUTHINFO_UNAVAIL;
  if (!reply) {
    zv_report_missing_reply(params, __func__, __LINE__);
    return PAM_AUTH_ERR;
  }

  send_push_message_response response{};
  PushResponseGuard release(&response);
  parse_send_push_message_response_json(reply.get(), &response);
  if (response.root == nullptr) {
    remove_json_cr_nl(reply.get());
    ZV_LOG(params, LOG_ERR, "error parsing json response:\n%s", reply.get());
    return PAM_AUTH_ERR;
  }
  reply.reset();

  if (response.errorCode != 0) {
    zv_report_server_error(params, __func__, __LINE__, response.errorMessage, response.errorCode);
    send_message(params->pamh, PAM_ERROR_MSG, "%s", kServerErrorMessage);
    return PAM_AUTH_ERR;
  }
  if (response.authnUserReqId == nullptr || response.authnUserReqId[0] == '\0') {
    // Without the request's id no poll can ever ask for the answer: waiting out the time-out
    // would only keep the user at a notice that confirming on the phone cannot end.
    ZV_LOG(params, LOG_ERR, "error MISSING authnUserReqId in json response!");
    send_message(params->pamh, PAM_ERROR_MSG, "%s", kInvalidResponseMessage);
    return PAM_AUTH_ERR;
  }
  return wait_for_answer(params, username, response.authnUserReqId);
}
