// Push authentication: asks the server to send the user a confirmation request, then polls for
// the answer once a second with the OTP validation operation, the request's id in place of a code.
// Pushes are limited per user (auth/push_limit.h). With push_wait_prompt the user is asked to
// press Enter once approved (or to type a code) instead of being shown waiting notices.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <security/pam_modules.h>
#include <syslog.h>

#include "api/api.h"
#include "api/exchange_int.h"
#include "auth/auth.h"
#include "auth/push_limit.h"
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
constexpr const char *kWaitPrompt = "Approve the request on your phone, then press Enter:";

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
// the push: it alone knows the request. After the wait prompt the user has said that the push
// is approved: the first poll is made even when the time is up, and no notice follows.
int wait_for_answer(const module_params *params, const char *username, const char *request_id,
                    const timespec &sent, bool prompted) {
  timespec end = sent;
  end.tv_sec += params->max_push_wait_secs;
  zv::transport::pin_answering_server(params);
  int result = -1;
  for (int poll = 0; result < 0 && ((prompted && poll == 0) || before(now(), end)); poll++) {
    const int status = validate_push_poll(params, username, request_id);
    if (status == 0) {
      result = PAM_SUCCESS;
    } else if (is_refusal(status)) {
      // The owner said no: the next login uses a code.
      zv::pause_pushes(params, username);
      result = PAM_AUTH_ERR;
    } else {
      // Anything else, a failed poll included, only means that no answer is known yet.
      if (!prompted && poll % kNoticeEvery == 0)
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

// The wait prompt: sshd's keyboard-interactive shows messages only together with a prompt, so a
// user waiting for a push would see nothing. True when the answer decided the factor (*rc
// holds the result): no answer, or a typed code, checked as a code. An empty answer (Enter)
// leaves the push to decide.
bool answered_at_wait_prompt(const module_params *params, const char *username, int *rc) {
  zv::Secret answer(prompt_user(params->pamh, PAM_PROMPT_ECHO_OFF, kWaitPrompt));
  *rc = PAM_AUTH_ERR;
  if (!answer) return true;
  if (answer.get()[0] == '\0') return false;
  // Only a code goes to the server: a password typed here by mistake must not.
  if (std::strlen(answer.get()) > PAM_MAX_RESP_SIZE || is_otp_str(answer.get()) == 0) {
    send_message(params->pamh, PAM_ERROR_MSG, "%s", ZV_INVALID_CHOICE);
    return true;
  }
  note_road(params->call, zv::road::code);
  *rc = validate_oath_otp(params, username, answer.get());
  return true;
}

} // namespace

extern "C" int send_push_message(const module_params *params, const char *username,
                                 const char *delivery_method) {
  note_road(params->call, zv::road::push);
  zv::Secret body(get_send_push_message_json(params, username, delivery_method));
  if (!body) return PAM_BUF_ERR;
  if (zv::take_push(params, username) != PAM_SUCCESS) return PAM_AUTH_ERR;
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
  const bool prompted = params->push_wait_prompt != 0;
  int rc = PAM_AUTH_ERR;
  if (prompted && answered_at_wait_prompt(params, username, &rc)) return rc;
  return wait_for_answer(params, username, response.authnUserReqId, sent, prompted);
}
