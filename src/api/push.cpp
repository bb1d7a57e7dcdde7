// Push authentication: asks the server to send the user a confirmation request, then polls for
// the answer once a second with the OTP validation operation, the request's id in place of a code.
#include <cerrno>
#include <ctime>
#include <security/pam_modules.h>
#include <syslog.h>

#include "api/api.h"
#include "api/exchange_int.h"
#include "common/call.h"
#include "pam/log.h"
#include "transport/transport.h"

namespace {

using namespace zv::api;

// The waiting notices and the time-out speak for this operation.
constexpr const char *kName = "send_push_message";
// An unusable reply is logged on a line of its own and tells the user nothing.
constexpr Operation kOp{kName, false, false, true, false};

constexpr int kNoticeEvery = 10;

timespec now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

bool before(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// A second's pause, even when a signal interrupts the sleep (the server sees at most one poll a
// second per waiting user), but never past the end of the wait.
void pause_until_next_poll(const timespec &end) {
  timespec next = now();
  next.tv_sec += 1;
  if (before(end, next)) next = end;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
  }
}

bool is_refusal(int status) { return status == ZV_ERR_PUSH_DENIED || status == ZV_ERR_9111; }

// Polls until the user confirms or refuses, or max_push_wait_secs seconds have passed since the
// push was sent (slow and failed polls count against them). The polls ask the server that took
// the push: it alone knows the request.
int wait_for_answer(const module_params *params, const char *username, const char *request_id,
                    const timespec &sent) {
  timespec end = sent;
  end.tv_sec += params->max_push_wait_secs;
  zv::transport::pin_answering_server(params);
  int result = -1;
  for (int poll = 0; result < 0 && before(now(), end); poll++) {
    const int status = validate_oath_otp_error_code(params, username, request_id);
    if (status == 0) {
      result = PAM_SUCCESS;
    } else if (is_refusal(status)) {
      result = PAM_AUTH_ERR;
    } else {
      // Anything else, a failed poll included, only means that no answer is known yet.
      if (poll % kNoticeEvery == 0)
        send_message(params->pamh, PAM_ERROR_MSG, "%s",
                     "Waiting for you to confirm the authentication request...");
      pause_until_next_poll(end);
    }
  }
  zv::transport::unpin_server(params);
  if (result >= 0) return result;
  ZV_LOG_AS(kName, params, LOG_ERR, "Push authentication timed out after %d seconds",
            params->max_push_wait_secs);
  send_message(params->pamh, PAM_ERROR_MSG, "%s", "Push authentication request timed out.");
  return PAM_AUTH_ERR;
}

} // namespace

extern "C" int send_push_message(const module_params *params, const char *username,
                                 const char *delivery_method) {
  note_road(params->call, zv::road::push);
  zv::Secret body(get_send_push_message_json(params, username, delivery_method));
  if (!body) return PAM_BUF_ERR;
  send_message(params->pamh, PAM_TEXT_INFO, "%s", "Sending push authentication request.");
  const timespec sent = now();

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
  return wait_for_answer(params, username, response.authnUserReqId, sent);
}
