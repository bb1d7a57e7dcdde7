// Push authentication: asks the server to send the user a confirmation request, then polls for
// the answer once a second with the OTP validation operation, the request's id in place of a code.
#include <cerrno>
#include <ctime>
#include <security/pam_modules.h>
#include <syslog.h>

#include "api/api.h"
#include "api/exchange_int.h"
#include "pam/log.h"

namespace {

using namespace zv::api;

// The waiting notices and the time-out speak for this operation.
constexpr const char *kName = "send_push_message";
// An unusable reply is logged on a line of its own and tells the user nothing.
constexpr Operation kOp{kName, false, false, true, false};

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
    const int status = validate_push_poll(params, username, request_id);
    if (status == 0) return PAM_SUCCESS;
    if (is_refusal(status)) return PAM_AUTH_ERR;
    // Anything else, a failed poll included, only means that no answer is known yet.
    if (poll % kNoticeEvery == 0)
      send_message(params->pamh, PAM_ERROR_MSG, "%s",
                   "Waiting for you to confirm the authentication request...");
    pause_one_second();
  }
  ZV_LOG_AS(kName, params, LOG_ERR, "Push authentication timed out after %d seconds",
            params->max_push_wait_secs);
  send_message(params->pamh, PAM_ERROR_MSG, "%s", "Push authentication request timed out.");
  return PAM_AUTH_ERR;
}

} // namespace

extern "C" int send_push_message(const module_params *params, const char *username,
                                 const char *delivery_method) {
  zv::Secret body(get_send_push_message_json(params, username, delivery_method));
  if (!body) return PAM_BUF_ERR;
  send_message(params->pamh, PAM_TEXT_INFO, "%s", "Sending push authentication request.");

  send_push_message_response response{};
  zv::UniquePtr<send_push_message_response> release(&response);
  int status =
      send_and_read(params, kOp, std::move(body), &response, parse_send_push_message_response_json);
  if (status == 0) status = judge(params, kOp, response.errorCode, response.errorMessage, {});
  if (status != 0) return zv_status_to_pam(status);
  if (response.authnUserReqId == nullptr || response.authnUserReqId[0] == '\0') {
    // Without the request's id no poll can ever ask for the answer: waiting out the time-out
    // would only keep the user at a notice that confirming on the phone cannot end.
    ZV_LOG(params, LOG_ERR, "error MISSING authnUserReqId in json response!");
    send_message(params->pamh, PAM_ERROR_MSG, "%s", kInvalidResponseMessage);
    return PAM_AUTH_ERR;
  }
  return wait_for_answer(params, username, response.authnUserReqId);
}
