// Server operations: the JSON messages of the server's REST interface and the four operations
// built on them.
#pragma once

#include <jansson.h>
#include <stddef.h>

#include "common/own.h"
#include "config/params.h"

// Operation statuses of the four server operations (besides 0 and the server's errorCode).
// Memory or descriptors ran out on this side during the exchange (PAM_SYSTEM_ERR): never an
// outage, so a fail-open stack cannot be made to skip the factor by starving the host.
#define ZV_STATUS_LOCAL_FAILURE (-4)
#define ZV_STATUS_BUILD_FAILED (-5)
#define ZV_STATUS_BAD_REPLY (-7)
#define ZV_STATUS_UNREACHABLE (-9)
// The status of a reply whose errorCode is negative: a refusal, returned as a positive status so
// that it can never pass for one of the module's own negative statuses.
#define ZV_STATUS_NEGATIVE_CODE 2147483647

// Server error codes the module treats specially.
#define ZV_ERR_BAD_PASSWORD 9001
#define ZV_ERR_BAD_OTP 9003
#define ZV_ERR_PUSH_DENIED 9030
#define ZV_ERR_9111 9111
#define ZV_ERR_9116 9116
#define ZV_ERR_CONFIGURATION 9131

// Parsed replies. Text fields are borrowed from `root` and die with it.
typedef struct server_response {
  json_t *root;
  int errorCode;
  const char *errorMessage;
  const char *type;
} server_response;

typedef struct send_push_message_response {
  json_t *root;
  int errorCode;
  const char *errorMessage;
  const char *type;
  const char *authnUserReqId;
} send_push_message_response;

typedef struct validate_otp_response {
  json_t *root;
  int errorCode;
  const char *errorMessage;
  const char *type;
  const char *offlineCodes;
  char **offlineCodesArray; // owned, each entry owned
  size_t offlineCodesCount;
} validate_otp_response;

ZV_API_BEGIN

// Request builders: a new JSON text (indent 2) that the caller sends, wipes and frees, or null.
ZV_API char *get_validate_user_json(const module_params *params, const char *username,
                                    const char *password);
ZV_API char *get_validate_oath_opt_json(const module_params *params, const char *username,
                                        const char *otp);
ZV_API char *get_send_oath_otp_json(const module_params *params, const char *username);
ZV_API char *get_send_push_message_json(const module_params *params, const char *username,
                                        const char *delivery_method);

// Reply parsers: fill a zeroed record; success is record->root != null. The record does not
// point into `json`.
ZV_API void parse_server_response_json(const char *json, server_response *response);
ZV_API void parse_send_push_message_response_json(const char *json,
                                                  send_push_message_response *response);
ZV_API void parse_validate_otp_response_json(const module_params *params, const char *json,
                                             validate_otp_response *response);
// Release what the record owns; safe on a zeroed record and when called twice.
ZV_API void free_server_response_json(server_response *response);
ZV_API void free_send_push_message_response_json(send_push_message_response *response);
ZV_API void free_validate_otp_response_json(validate_otp_response *response);

// Replaces every CR, then every LF, of `text` by a blank, in place.
ZV_API void remove_json_cr_nl(char *text);

// validate_user: status (0, the server's errorCode, -4, -5, -7, -9) and its PAM wrapper.
ZV_API int validate_user_error_code(const module_params *params, const char *username,
                                    const char *password);
ZV_API int validate_user(const module_params *params, const char *username, const char *password);

// validate_oath_otp: status (0, errorCode or 9003 offline, -4, -5, -7, -9) and its PAM wrapper.
ZV_API int validate_oath_otp_error_code(const module_params *params, const char *username,
                                        const char *otp);
ZV_API int validate_oath_otp(const module_params *params, const char *username, const char *otp);

// Asks the server to send a code by params->send_otp_method. Returns a PAM code.
ZV_API int send_oath_otp(const module_params *params, const char *username);

// Sends a push by `delivery_method` and polls for the answer once a second. Returns a PAM code.
ZV_API int send_push_message(const module_params *params, const char *username,
                             const char *delivery_method);

ZV_API_END

// validate_oath_otp_error_code for a push poll, with the request's id in place of a code: while
// the server cannot be reached, the offline fallback compares it but a miss is not counted as a
// failed check, nor is the poll refused by the limit on them.
int validate_push_poll(const module_params *params, const char *username, const char *request_id);

// The size of a push request's application name or reason, its NUL included.
#define ZV_PUSH_TEXT_SIZE 257
// `pattern` (push_app_name or push_reason) for a push to `username` with its placeholders filled
// in, into `out` (ZV_PUSH_TEXT_SIZE bytes): %u the user name, %s the PAM service, %h this host's
// name, %r the remote host ("local" without one), %t the terminal ("-" without one), %% a percent
// sign; any other "%" stays as typed. Each value loses its control characters, DEL and invalid
// UTF-8 and is cut to 64 bytes, the whole text to 256, never inside a character. Returns `out`,
// or null for a null pattern.
const char *expand_push_text(const module_params *params, const char *username, const char *pattern,
                             char *out);

// Folds an operation status into a PAM code: 0 -> PAM_SUCCESS, negative n -> -n, positive ->
// PAM_AUTH_ERR.
int zv_status_to_pam(int status);

namespace zv {
// Guards that release a reply record's contents (the record itself lives on the stack).
ZV_MAKE_DELETER(server_response, free_server_response_json)
ZV_MAKE_DELETER(send_push_message_response, free_send_push_message_response_json)
ZV_MAKE_DELETER(validate_otp_response, free_validate_otp_response_json)
} // namespace zv
