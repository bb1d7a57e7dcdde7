// The option table. Rows stand in the order of the fields of module_params, so that the defaults
// step and the debug dump go in that order; an alias follows the row whose field it sets.
#include "config/option_table.h"

#include <cstring>
#include <security/pam_appl.h>

namespace zv {
namespace {

using P = module_params;

constexpr Option flag(const char *key, const char *field, int P::*f, int set, int initial,
                      unsigned traits = 0) {
  return {key, field, OptionKind::flag, f, nullptr, nullptr, set, initial, 0, nullptr, traits};
}
constexpr Option text(const char *key, const char *field, char *P::*f, const char *initial,
                      unsigned traits = 0) {
  return {key, field, OptionKind::text, nullptr, f, nullptr, 0, 0, 0, initial, traits};
}
constexpr Option integer(const char *key, int P::*f, int initial, int minimum = 0,
                         unsigned traits = 0) {
  return {key, key, OptionKind::integer, f, nullptr, nullptr, 0, initial, minimum, nullptr, traits};
}
constexpr Option character(const char *key, char P::*f, char initial) {
  return {key, key, OptionKind::character, nullptr, nullptr, f, 0, initial, 0, nullptr, 0};
}

#define ZV_TEXT(name, initial, ...) text(#name, #name, &P::name, initial __VA_OPT__(, ) __VA_ARGS__)
#define ZV_ALIAS(key, name, ...)                                                                   \
  text(key, #name, &P::name, nullptr, kAlias __VA_OPT__(|) __VA_ARGS__)
#define ZV_FLAG(name, set) flag(#name, #name, &P::name, set, 0)

// clang-format off
constexpr Option kOptions[] = {
    flag("debug", "debug", &P::debug, 1, 0, kNoDefault),
    flag("auth_mode_1fa", "auth_mode", &P::auth_mode, auth_mode_1fa, auth_mode_2fa),
    flag("auth_mode_2fa", "auth_mode", &P::auth_mode, auth_mode_2fa, auth_mode_2fa, kAlias),
    flag("auth_mode_1fa_2fa", "auth_mode", &P::auth_mode, auth_mode_1fa_2fa, auth_mode_2fa, kAlias),
    flag("prompt_pass", "first_pass_mode", &P::first_pass_mode, prompt_pass, prompt_pass),
    flag("try_first_pass", "first_pass_mode", &P::first_pass_mode, try_first_pass, prompt_pass,
         kAlias),
    flag("use_first_pass", "first_pass_mode", &P::first_pass_mode, use_first_pass, prompt_pass,
         kAlias),
    ZV_TEXT(application_key_id, nullptr, kSecret),
    ZV_ALIAS("zv_account", application_key_id, kSecret),
    ZV_TEXT(application_key, nullptr, kSecret),
    ZV_ALIAS("zv_account_key", application_key, kSecret),
    ZV_TEXT(host, nullptr, kDumped),
    ZV_TEXT(port, "443", kDumped),
    integer("connection_timeout_secs", &P::connection_timeout_secs, 0, 0, kDumped),
    ZV_TEXT(path, "/AuthServer/REST/OATH/OathServer.aspx", kDumped),
    ZV_TEXT(ca_cert_file, nullptr, kDumped),
    ZV_TEXT(proxy_server, nullptr),
    ZV_TEXT(proxy_port, "8080"),
    ZV_TEXT(proxy_username, nullptr, kSecret),
    ZV_TEXT(proxy_password, nullptr, kSecret),
    ZV_FLAG(allow_push_authentication, 1),
    integer("max_push_wait_secs", &P::max_push_wait_secs, 300),
    ZV_TEXT(push_app_name, "Linux"),
    ZV_TEXT(push_reason, "Login"),
    flag("echo_verification_code", "echo_verification_code", &P::echo_verification_code,
         PAM_PROMPT_ECHO_ON, PAM_PROMPT_ECHO_OFF),
    ZV_TEXT(send_otp_method, nullptr),
    ZV_TEXT(prompt_password, "Zelvane Password: "),
    ZV_TEXT(prompt_otp, "Zelvane verification code: "),
    ZV_TEXT(prompt_method, "Select an authentication method: "),
    ZV_TEXT(prompt_otp_and_method,
            "Enter a Zelvane verification code or select an authentication method: "),
    ZV_TEXT(prompt_push,
            "Enter a verification code or press return to receive a push authentication request."),
    character("password_otp_delimiter_char", &P::password_otp_delimiter_char, ','),
    ZV_FLAG(allow_bypass_mfa_server, 1),
    flag("allow_single_factor", "allow_bypass_mfa_server", &P::allow_bypass_mfa_server, 1, 0,
         kAlias),
    ZV_TEXT(bypass_group_name, "zelvane-bypass"),
    ZV_FLAG(offline_codes, 1),
    integer("offline_codes_reserve", &P::offline_codes_reserve, 5),
    ZV_FLAG(offline_codes_show_remaining, 1),
    ZV_TEXT(allowed_2fa_methods, nullptr, kDumped),
    ZV_TEXT(otp_sms_value, "os", kDumped),
    ZV_TEXT(otp_email_value, "oe", kDumped),
    ZV_TEXT(otp_voice_value, "ov", kDumped),
    ZV_TEXT(push_app_value, "pa", kDumped),
    ZV_TEXT(push_sms_value, "ps", kDumped),
    ZV_TEXT(push_voice_value, "pv", kDumped),
    ZV_TEXT(otp_sms_message, "OTP via SMS", kDumped),
    ZV_TEXT(otp_email_message, "OTP via Email", kDumped),
    ZV_TEXT(otp_voice_message, "OTP via Voice Call", kDumped),
    ZV_TEXT(push_app_message, "Push Application Confirmation", kDumped | kQuiet),
    ZV_TEXT(push_sms_message, "Push SMS Confirmation", kDumped | kQuiet),
    ZV_TEXT(push_voice_message, "Push Voice Call Confirmation", kDumped | kQuiet),
    integer("request_timeout_secs", &P::request_timeout_secs, 15, 1),
    // 0 would mean no limit at all, or a lockout that ends at once: both give the default.
    integer("offline_codes_max_failures", &P::offline_codes_max_failures, 5, 1),
    integer("offline_codes_lockout_secs", &P::offline_codes_lockout_secs, 900, 1),
    ZV_TEXT(mfa_groups, nullptr),
    ZV_FLAG(no_username_commands, 1),
    ZV_FLAG(push_wait_prompt, 1),
    ZV_FLAG(forward_pass, 1),
    // 0 would mean no push at all, or a window that ends at once: both give the default.
    integer("push_limit", &P::push_limit, 5, 1),
    integer("push_limit_window_secs", &P::push_limit_window_secs, 600, 1),
};
// clang-format on

#undef ZV_TEXT
#undef ZV_ALIAS
#undef ZV_FLAG

} // namespace

std::span<const Option> options() { return kOptions; }

const Option *find_option(const char *key) {
  if (key == nullptr) return nullptr;
  for (const Option &o : kOptions)
    if (std::strcmp(o.key, key) == 0) return &o;
  return nullptr;
}

int int_setting(const module_params *params, const char *key) {
  const Option *o = find_option(key);
  if (o == nullptr || o->kind != OptionKind::integer) return 0;
  const int value = params->*o->number;
  return value >= o->minimum ? value : o->initial;
}

} // namespace zv
