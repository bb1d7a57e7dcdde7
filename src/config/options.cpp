// The option language shared by the module arguments and the configuration file: flags that are
// a bare key, and "key = value" options whose value is text, a decimal integer or one character.
// A bad option is logged and skipped; nothing here can stop an authentication.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "config/params.h"
#include "pam/log.h"
#include "pam/util.h"

namespace {

// Longer integer tokens are refused before conversion; no valid 32-bit number needs more.
constexpr size_t kMaxIntToken = 63;

// The standard white-space set, spelled out so that the host's locale cannot change it.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The start of the value when `arg` reads `key` = value, with white space allowed before the
// key, around the "=" and before the value; null when it is not that key.
const char *match_key(const char *arg, const char *key) {
  if (arg == nullptr || key == nullptr) return nullptr;
  const char *p = skip_whitespace(arg);
  const size_t n = std::strlen(key);
  if (std::strncmp(p, key, n) != 0) return nullptr;
  p = skip_whitespace(p + n);
  if (*p != '=') return nullptr;
  return skip_whitespace(p + 1);
}

// Length of the run of characters up to the first white space or the end.
size_t token_length(const char *s) {
  size_t n = 0;
  while (s[n] != '\0' && !is_space(s[n])) n++;
  return n;
}

struct FlagOption {
  const char *key;
  int module_params::*field;
  int value;
};

constexpr FlagOption kFlags[] = {
    {"debug", &module_params::debug, 1},
    {"auth_mode_1fa", &module_params::auth_mode, auth_mode_1fa},
    {"auth_mode_2fa", &module_params::auth_mode, auth_mode_2fa},
    {"auth_mode_1fa_2fa", &module_params::auth_mode, auth_mode_1fa_2fa},
    {"prompt_pass", &module_params::first_pass_mode, prompt_pass},
    {"try_first_pass", &module_params::first_pass_mode, try_first_pass},
    {"use_first_pass", &module_params::first_pass_mode, use_first_pass},
    {"allow_bypass_mfa_server", &module_params::allow_bypass_mfa_server, 1},
    {"allow_single_factor", &module_params::allow_bypass_mfa_server, 1},
    {"allow_push_authentication", &module_params::allow_push_authentication, 1},
    {"echo_verification_code", &module_params::echo_verification_code, PAM_PROMPT_ECHO_ON},
    {"offline_codes", &module_params::offline_codes, 1},
    {"offline_codes_show_remaining", &module_params::offline_codes_show_remaining, 1},
};

enum class Kind { text, integer, character };

struct ValuedOption {
  const char *key;
  Kind kind;
  char *module_params::*text;
  int module_params::*integer;
  char module_params::*character;
  int fallback;
};

constexpr ValuedOption text(const char *key, char *module_params::*field) {
  return {key, Kind::text, field, nullptr, nullptr, 0};
}
constexpr ValuedOption integer(const char *key, int module_params::*field, int fallback) {
  return {key, Kind::integer, nullptr, field, nullptr, fallback};
}
constexpr ValuedOption character(const char *key, char module_params::*field) {
  return {key, Kind::character, nullptr, nullptr, field, 0};
}

constexpr ValuedOption kValued[] = {
    text("application_key_id", &module_params::application_key_id),
    text("application_key", &module_params::application_key),
    text("zv_account", &module_params::application_key_id),
    text("zv_account_key", &module_params::application_key),
    text("host", &module_params::host),
    text("port", &module_params::port),
    integer("connection_timeout_secs", &module_params::connection_timeout_secs, 0),
    text("path", &module_params::path),
    text("ca_cert_file", &module_params::ca_cert_file),
    text("proxy_server", &module_params::proxy_server),
    text("proxy_port", &module_params::proxy_port),
    text("proxy_username", &module_params::proxy_username),
    text("proxy_password", &module_params::proxy_password),
    text("push_app_name", &module_params::push_app_name),
    text("push_reason", &module_params::push_reason),
    integer("max_push_wait_secs", &module_params::max_push_wait_secs, 300),
    text("send_otp_method", &module_params::send_otp_method),
    text("prompt_password", &module_params::prompt_password),
    text("prompt_otp", &module_params::prompt_otp),
    text("prompt_method", &module_params::prompt_method),
    text("prompt_otp_and_method", &module_params::prompt_otp_and_method),
    text("prompt_push", &module_params::prompt_push),
    character("password_otp_delimiter_char", &module_params::password_otp_delimiter_char),
    text("bypass_group_name", &module_params::bypass_group_name),
    integer("offline_codes_reserve", &module_params::offline_codes_reserve, 5),
    text("allowed_2fa_methods", &module_params::allowed_2fa_methods),
    text("otp_sms_value", &module_params::otp_sms_value),
    text("otp_email_value", &module_params::otp_email_value),
    text("otp_voice_value", &module_params::otp_voice_value),
    text("push_app_value", &module_params::push_app_value),
    text("push_sms_value", &module_params::push_sms_value),
    text("push_voice_value", &module_params::push_voice_value),
    text("otp_sms_message", &module_params::otp_sms_message),
    text("otp_email_message", &module_params::otp_email_message),
    text("otp_voice_message", &module_params::otp_voice_message),
    text("push_app_message", &module_params::push_app_message),
    text("push_sms_message", &module_params::push_sms_message),
    text("push_voice_message", &module_params::push_voice_message),
};

// Keys whose values are credentials. An entry that begins with one of them is never logged
// whole, even when it is not a valid option: a typo must not put a key or password in the log.
constexpr const char *kCredentialKeys[] = {"application_key", "zv_account", "proxy_username",
                                           "proxy_password"};

const char *credential_key(const char *entry) {
  const char *p = skip_whitespace(entry);
  for (const char *key : kCredentialKeys)
    if (std::strncmp(p, key, std::strlen(key)) == 0) return key;
  return nullptr;
}

bool apply_flag(const char *entry, module_params *params) {
  for (const FlagOption &flag : kFlags) {
    if (std::strcmp(entry, flag.key) == 0) {
      params->*flag.field = flag.value;
      return true;
    }
  }
  return false;
}

bool apply_valued(const char *entry, module_params *params) {
  for (const ValuedOption &option : kValued) {
    int matched = 0;
    switch (option.kind) {
    case Kind::text:
      matched = get_string_value(entry, option.key, &(params->*option.text));
      break;
    case Kind::integer:
      matched = get_int_value(entry, option.key, option.fallback, &(params->*option.integer));
      break;
    case Kind::character:
      matched = get_char_value(entry, option.key, &(params->*option.character));
      break;
    }
    if (matched == 1) return true;
  }
  return false;
}

} // namespace

extern "C" int parse_args(int argc, const char **argv, module_params *params) {
  ZV_LOG(params, LOG_DEBUG, "START");
  if (argc < 0) {
    ZV_LOG(params, LOG_ERR, "Invalid argc: %d", argc);
    return 0;
  }
  if (params == nullptr) return 0;
  for (int i = 0; i < argc; i++) {
    const char *entry = argv != nullptr ? argv[i] : nullptr;
    if (entry == nullptr) {
      ZV_LOG(params, LOG_ERR, "NULL argv at index %d", i);
      continue;
    }
    if (apply_flag(entry, params) || apply_valued(entry, params)) continue;
    if (const char *key = credential_key(entry))
      ZV_LOG(params, LOG_WARNING, "Unrecognized option ignored: %s (value hidden)", key);
    else
      ZV_LOG(params, LOG_WARNING, "Unrecognized option ignored: %s", entry);
  }
  return 0;
}

extern "C" int get_string_value(const char *arg, const char *key, char **field) {
  if (field == nullptr) return 0;
  const char *value = match_key(arg, key);
  if (value == nullptr) return 0;
  size_t len = 0;
  if (*value == '"' || *value == '\'') {
    const char quote = *value++;
    const char *end = std::strchr(value, quote);
    len = end != nullptr ? static_cast<size_t>(end - value) : std::strlen(value);
  } else {
    len = token_length(value);
  }
  // The old value may be a key or a password.
  zv::wipe_free(*field);
  *field = strndup(value, len);
  return *field != nullptr ? 1 : 0;
}

extern "C" int get_int_value(const char *arg, const char *key, int fallback, int *field) {
  if (field == nullptr) return 0;
  const char *value = match_key(arg, key);
  if (value == nullptr) return 0;
  const size_t len = token_length(value);
  if (len == 0 || len > kMaxIntToken) return 0;
  char token[kMaxIntToken + 1];
  std::memcpy(token, value, len);
  token[len] = '\0';
  errno = 0;
  char *end = nullptr;
  const long number = std::strtol(token, &end, 10);
  if (end == token || *end != '\0' || errno == ERANGE || number < INT_MIN || number > INT_MAX)
    return 0;
  *field = number < 0 ? fallback : static_cast<int>(number);
  return 1;
}

extern "C" int get_char_value(const char *arg, const char *key, char *field) {
  if (field == nullptr) return 0;
  const char *value = match_key(arg, key);
  if (value == nullptr || *value == '\0') return 0;
  if (value[1] != '\0' && !is_space(value[1])) return 0;
  *field = value[0];
  return 1;
}

extern "C" const char *skip_whitespace(const char *s) {
  if (s == nullptr) return nullptr;
  while (is_space(*s)) s++;
  return s;
}

extern "C" char *trim_whitespace(char *s) {
  if (s == nullptr) return nullptr;
  while (is_blank(*s)) s++;
  size_t len = std::strlen(s);
  while (len > 1 && is_blank(s[len - 1])) s[--len] = '\0';
  return s;
}

extern "C" int is_whitespace_only(const char *s) {
  if (s == nullptr) return 1;
  for (; *s != '\0'; s++)
    if (*s != ' ' && *s != '\t' && *s != '\n' && *s != '\r') return 0;
  return 1;
}

extern "C" char *strdup_trimmed(const char *s) {
  if (s == nullptr) return nullptr;
  zv::SecretPtr copy(strdup(s));
  if (!copy) return nullptr;
  return strdup(trim_whitespace(copy.get()));
}
