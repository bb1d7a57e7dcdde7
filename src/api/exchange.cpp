// What the four server operations share: the exchange, the reading of a reply, the verdict on
// its errorCode, and the folding of an operation status into a PAM code.
#include "api/exchange_int.h"

#include <climits>
#include <cstring>
#include <security/pam_modules.h>
#include <syslog.h>

#include "pam/log.h"
#include "transport/transport.h"

namespace zv::api {
namespace {

// Only the reply up to the name of its "offlineCodes" member is logged: a stock of offline codes
// must never reach the log. The cut-off rest is wiped; the reply is unusable anyway.
void cut_offline_codes(Secret *reply) {
  static constexpr char kKey[] = "offlineCodes";
  char *key = std::strstr(reply->get(), kKey);
  if (key == nullptr) return;
  char *rest = key + sizeof kKey - 1;
  wipe(rest);
  Secret shown;
  if (shown.append(reply->get()) && shown.append(" (offline codes not logged)"))
    *reply = std::move(shown);
}

bool states_outcome(const json_t *root) {
  const json_t *code = json_object_get(root, "errorCode");
  if (!json_is_integer(code)) return false;
  const json_int_t value = json_integer_value(code);
  // The parsers keep the low 32 bits; 4294967296 must not read as 0.
  return value >= INT_MIN && value <= INT_MAX;
}

} // namespace

Exchange exchange(const module_params *params, Secret body, Secret *reply) {
  char *received = nullptr;
  const transport::Posted posted = transport::post(params, body.get(), &received);
  body.reset();
  reply->reset(received);
  if (posted == transport::Posted::unreachable) return Exchange::unreachable;
  if (posted == transport::Posted::failed) return Exchange::failed;
  if (posted == transport::Posted::refused) return Exchange::refused;
  return *reply ? Exchange::reply : Exchange::no_reply;
}

int failed_exchange(const module_params *params, const Operation &op, Exchange how) {
  if (how == Exchange::unreachable) return ZV_STATUS_UNREACHABLE;
  if (how == Exchange::failed) return ZV_STATUS_LOCAL_FAILURE;
  if (how == Exchange::refused) {
    send_message(params->pamh, PAM_ERROR_MSG, "%s", kServerErrorMessage);
    return ZV_STATUS_BAD_REPLY;
  }
  send_message(params->pamh, PAM_ERROR_MSG, "%s", kInvalidResponseMessage);
  ZV_LOG_AS(op.name, params, LOG_ERR, "error MISSING json response!");
  return ZV_STATUS_BAD_REPLY;
}

bool reply_usable(const module_params *params, const Operation &op, const json_t *root,
                  Secret *reply) {
  // A reply without an integer errorCode would read as 0: a validation must not pass on it.
  if (root != nullptr && (!op.needs_error_code || states_outcome(root))) return true;
  if (op.hide_offline_codes) cut_offline_codes(reply);
  // One line of at most LogText's length, whatever the server sent.
  remove_json_cr_nl(reply->get());
  const LogText shown(reply->get());
  if (op.newline_before_text)
    ZV_LOG_AS(op.name, params, LOG_ERR, "error parsing json response:\n%s", shown.c_str());
  else
    ZV_LOG_AS(op.name, params, LOG_ERR, "error parsing json response: %s", shown.c_str());
  if (op.tell_unusable) send_message(params->pamh, PAM_ERROR_MSG, "%s", kServerErrorMessage);
  return false;
}

int judge(const module_params *params, const Operation &op, int code, const char *error_message,
          std::span<const CodeRule> rules) {
  Verdict verdict = code == 0 ? Verdict::pass : Verdict::server_error;
  // Rules name the server's own codes; a negative code is never one of them.
  for (const CodeRule &rule : rules)
    if (rule.code == code) verdict = rule.verdict;
  switch (verdict) {
  case Verdict::pass:
    break;
  case Verdict::configuration:
    ZV_LOG_AS(op.name, params, LOG_ERR, "pam_zelvane configuration error. (%d)", code);
    send_message(params->pamh, PAM_ERROR_MSG, "%s", kConfigurationErrorMessage);
    break;
  case Verdict::server_error:
    ZV_LOG_AS(op.name, params, LOG_ERR, "error_message: %s (%d)",
              LogText(error_message != nullptr ? error_message : "(none)").c_str(), code);
    send_message(params->pamh, PAM_ERROR_MSG, "%s", kServerErrorMessage);
    break;
  }
  return code < 0 ? ZV_STATUS_NEGATIVE_CODE : code;
}

int plain_request(const module_params *params, const Operation &op, Secret body,
                  std::span<const CodeRule> rules) {
  if (!body) return ZV_STATUS_BUILD_FAILED;
  server_response response{};
  UniquePtr<server_response> release(&response);
  const int status =
      send_and_read(params, op, std::move(body), &response, parse_server_response_json);
  if (status != 0) return status;
  return judge(params, op, response.errorCode, response.errorMessage, rules);
}

} // namespace zv::api

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
