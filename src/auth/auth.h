// Authentication flow: the first factor (password, optionally with a code), the second-factor
// driver with its five roads, and the offline code store (offline.h).
#pragma once

#include "config/params.h"

#define ZV_VALIDATED_KEY "zv.2fa.validated"
#define ZV_PUSH_COMMAND_PREFIX "zvmfa.sendpush:"
#define ZV_MAX_MENU_LINES 8
// The answer to a code or method prompt that is neither.
#define ZV_INVALID_CHOICE "Invalid authentication method or code."

ZV_API_BEGIN

// First factor: checks the password (stacked or prompted, by first_pass_mode). Returns a PAM code.
ZV_API int first_factor(module_params *params, const char *username);
// A heap copy of the stacked PAM_AUTHTOK (caller wipes and frees), or null.
ZV_API char *get_stack_password(const module_params *params);
// Checks a candidate answer, split at the last delimiter into password and code when the tail is
// a code. Takes ownership of `candidate` and always wipes and frees it. Returns a PAM code.
ZV_API int validate_password_and_otp(module_params *params, const char *username, char *candidate);
// 1 when `s` is 3 to 10 decimal digits, else 0.
ZV_API int is_otp_str(const char *s);

// Second factor: runs the first applicable road. Returns a PAM code.
ZV_API int second_factor(module_params *params, const char *username);
// 1 when the comma-separated `list` holds an item (trimmed) exactly equal to `token`, else 0.
ZV_API int is_allowed_method(const module_params *params, const char *list, const char *token);

// The named steps of second_factor. Each returns a PAM code; `handled` (where present) tells
// whether the road applied (when it is 0 the driver goes on).
ZV_API int handle_push_command(module_params *params, const char *working_name, int *handled);
ZV_API int parse_legacy_otp(module_params *params, char *working_name, int *handled);
ZV_API int handle_legacy_2fa(module_params *params, const char *working_name);
// Runs automatic deliveries and pushes in list order; *handled is set when a push ran.
ZV_API int process_auto_methods(module_params *params, const char *working_name, int *handled);
ZV_API int process_auto_otp_method(module_params *params, const char *working_name,
                                   const char *token, const char *delivery);
ZV_API int process_auto_push_method(module_params *params, const char *working_name,
                                    const char *token, const char *delivery);
// Replaces params->send_otp_method with a copy of `delivery`. Returns PAM_SUCCESS or
// PAM_SYSTEM_ERR.
ZV_API int set_otp_method(module_params *params, const char *delivery);
// Shows the method menu and the prompt in one conversation; returns the answer (caller wipes
// and frees) or null.
ZV_API char *display_2fa_method_prompts(module_params *params);
ZV_API int process_interactive_methods(module_params *params, const char *working_name,
                                       const char *answer);
ZV_API int handle_interactive_otp_method(module_params *params, const char *working_name,
                                         const char *delivery);

ZV_API_END
