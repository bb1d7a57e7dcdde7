// The settings of one authentication call: the module_params record, its defaults, the option
// language shared by the module arguments and the configuration file, and the file itself.
#pragma once

#include <security/pam_modules.h>

#include "common/export.h"

#define ZV_CONFIG_DIR "/etc/zelvane.d"
#define ZV_CONFIG_FILE ZV_CONFIG_DIR "/pam_zelvane.conf"
#define ZV_CONFIG_MAX_SIZE 51200

// auth_mode values
enum { auth_mode_1fa = 0, auth_mode_2fa = 1, auth_mode_1fa_2fa = 2 };
// first_pass_mode values
enum { prompt_pass = 0, try_first_pass = 1, use_first_pass = 2 };

// Every text field is a heap copy owned by the record (or null); free_params releases them all.
// Field order is part of the interface: do not reorder.
typedef struct module_params {
  pam_handle_t *pamh; // borrowed
  char *logname;
  int debug;
  int auth_mode;
  int first_pass_mode;
  char *application_key_id;
  char *application_key;
  char *host;
  char *port;
  int connection_timeout_secs;
  char *path;
  char *ca_cert_file;
  char *proxy_server;
  char *proxy_port;
  char *proxy_username;
  char *proxy_password;
  int allow_push_authentication;
  int max_push_wait_secs;
  char *push_app_name;
  char *push_reason;
  int echo_verification_code;
  char *send_otp_method;
  char *prompt_password;
  char *prompt_otp;
  char *prompt_method;
  char *prompt_otp_and_method;
  char *prompt_push;
  char password_otp_delimiter_char;
  int allow_bypass_mfa_server;
  char *bypass_group_name;
  int offline_codes;
  int offline_codes_reserve;
  int offline_codes_show_remaining;
  char *allowed_2fa_methods;
  char *otp_sms_value;
  char *otp_email_value;
  char *otp_voice_value;
  char *push_app_value;
  char *push_sms_value;
  char *push_voice_value;
  char *otp_sms_message;
  char *otp_email_message;
  char *otp_voice_message;
  char *push_app_message;
  char *push_sms_message;
  char *push_voice_message;
  // Settings beyond the original table.
  int request_timeout_secs;
  int offline_codes_max_failures;
  int offline_codes_lockout_secs;
  char *mfa_groups;
  int no_username_commands;
  int push_wait_prompt;
  int forward_pass;
  int push_limit;
  int push_limit_window_secs;
  // Not a setting: the state of the pam_sm_authenticate call (common/call.h), borrowed; null
  // when a working function is called on its own.
  struct zv_call *call;
} module_params;

ZV_API_BEGIN

// Fills a zeroed record: logname, pamh, defaults, configuration file, then module arguments.
// Returns 0 when complete, -1 on failure (the record's strings are then already released).
ZV_API int read_params(pam_handle_t *pamh, int argc, const char **argv, module_params *params);
// Gives every field from auth_mode on its default. Returns 0, or -1 when port, path or
// proxy_port could not be copied.
ZV_API int set_params_defaults(module_params *params);
// Wipes and releases every text field and leaves it null; harmless on a released or zeroed record.
ZV_API void free_params(module_params *params);
// Writes the connection and method settings to the debug log (never credentials).
ZV_API void dump_params(const module_params *params);

// Applies each recognised option of the vector to the record; bad ones are logged and skipped.
// Always returns 0.
ZV_API int parse_args(int argc, const char **argv, module_params *params);
// Returns 1 when `arg` is `key` = text value and *field now holds a heap copy of it, else 0.
ZV_API int get_string_value(const char *arg, const char *key, char **field);
// Returns 1 when `arg` is `key` = a valid 32-bit decimal number (a negative one stores
// `fallback`), else 0 and the field is unchanged.
ZV_API int get_int_value(const char *arg, const char *key, int fallback, int *field);
// Returns 1 when `arg` is `key` = exactly one character, else 0 and the field is unchanged.
ZV_API int get_char_value(const char *arg, const char *key, char *field);
// Returns the first position of `s` that is not white space (isspace set).
ZV_API const char *skip_whitespace(const char *s);
// Trims blanks and tabs at both ends in place; returns the first kept position (null for null).
ZV_API char *trim_whitespace(char *s);
// 1 for null, empty, or only space/tab/newline/carriage return; else 0.
ZV_API int is_whitespace_only(const char *s);
// A new heap copy of `s` trimmed as trim_whitespace does; null for null or on allocation failure.
ZV_API char *strdup_trimmed(const char *s);

// Reads ZV_CONFIG_FILE and applies its option lines. Returns 0, or -1 on any failure.
ZV_API int parse_config_file_params(pam_handle_t *pamh, module_params *params);

ZV_API_END

namespace zv {

// A zeroed record whose strings are released with free_params when the scope ends (harmless
// after read_params has released them itself).
struct ParamsScope {
  module_params params{};
  ParamsScope() = default;
  ParamsScope(const ParamsScope &) = delete;
  ParamsScope &operator=(const ParamsScope &) = delete;
  ~ParamsScope() { free_params(&params); }
  module_params *get() { return &params; }
  module_params *operator->() { return &params; }
};

} // namespace zv
