// What the server operations share when they judge a reply: the texts shown to the user, the
// check that a reply states its outcome, and the log records of unusable replies.
#pragma once

#include <jansson.h>

#include "config/params.h"
#include "pam/util.h"

inline constexpr const char *kServerErrorMessage = "Server error. Please contact support.";
inline constexpr const char *kInvalidResponseMessage =
    "Invalid server response. Please contact support.";
inline constexpr const char *kConfigurationErrorMessage =
    "Configuration error. Please contact support.";

// Posts `body` with post_json_request, then wipes and releases it. Returns the transport's
// result (non-zero when the exchange was carried out); `reply` receives the reply body or null.
int zv_post(const module_params *params, zv::SecretPtr &body, zv::SecretPtr &reply);

// 1 when `root` is a JSON object whose "errorCode" is an integer within the range of the
// status type, else 0. A validation must not pass on a reply that does not state its outcome.
int zv_reply_states_outcome(const json_t *root);

// The reply came without a body: tells the user and logs "error MISSING json response!" under
// `function` and `line`.
void zv_report_missing_reply(const module_params *params, const char *function, int line);

// The reply could not be used: turns its line breaks into blanks (in place), logs it under
// `function` and `line`, and, when `tell_user`, shows the server error message.
void zv_report_unusable_reply(const module_params *params, const char *function, int line,
                              char *reply, bool tell_user);

// Logs "error_message: %s (%d)" for a server failure; "(none)" stands for an absent message.
void zv_report_server_error(const module_params *params, const char *function, int line,
                            const char *error_message, int error_code);
