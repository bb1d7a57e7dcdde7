// Operation statuses turned into PAM codes, and the judging of server replies that the
// operations share.
#include <climits>
#include <security/pam_modules.h>
#include <syslog.h>

#include "api/api.h"
#include "api/replies.h"
#include "pam/log.h"
#include "transport/transport.h"

// A status that names a real PAM failure keeps it; anything else is a plain authentication
// failure. A server's negative errorCode flows through here too, so PAM_IGNORE, PAM_CONV_AGAIN
// and PAM_INCOMPLETE must never come out: they would make the stack skip or resume the module.
int zv_status_to_pam(int status) {
  if (status == 0) return PAM_SUCCESS;
  if (status < 0 && status != INT_MIN) {
    const int code = -status;
    if ((code >= 1 && code < PAM_IGNORE) || (code > PAM_IGNORE && code < PAM_CONV_AGAIN))
      return code;
  }
  return PAM_AUTH_ERR;
}

int zv_post(const module_params *params, zv::SecretPtr &body, zv::SecretPtr &reply) {
  char *received = nullptr;
  const int sent = post_json_request(params, body.get(), &received);
  reply.reset(received);
  body.reset();
  return sent;
}

int zv_reply_states_outcome(const json_t *root) {
  const json_t *code = json_object_get(root, "errorCode");
  if (!json_is_integer(code)) return 0;
  const json_int_t value = json_integer_value(code);
  // The parsers keep the low 32 bits; 4294967296 must not read as 0.
  return value >= INT_MIN && value <= INT_MAX ? 1 : 0;
}

void zv_report_missing_reply(const module_params *params, const char *function, int line) {
  send_message(params->pamh, PAM_ERROR_MSG, "%s", kInvalidResponseMessage);
  syslog_message(params, LOG_ERR, "%s[%d]: error MISSING json response!", function, line);
}

void zv_report_unusable_reply(const module_params *params, const char *function, int line,
                              char *reply, bool tell_user) {
  remove_json_cr_nl(reply);
  syslog_message(params, LOG_ERR, "%s[%d]: error parsing json response: %s", function, line, reply);
  if (tell_user) send_message(params->pamh, PAM_ERROR_MSG, "%s", kServerErrorMessage);
}

void zv_report_server_error(const module_params *params, const char *function, int line,
                            const char *error_message, int error_code) {
  syslog_message(params, LOG_ERR, "%s[%d]: error_message: %s (%d)", function, line,
                 error_message != nullptr ? error_message : "(none)", error_code);
}
