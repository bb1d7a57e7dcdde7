// The settings record of one authentication call: its built-in defaults, the order in which the
// configuration file and the module arguments refine them, its release and its debug dump.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <security/pam_appl.h>
#include <syslog.h>

#include "config/params.h"
#include "pam/log.h"
#include "pam/util.h"

namespace {

constexpr const char *kUnknownLogname = "pam_zelvane(unknown)";

struct TextField {
  char *module_params::*field;
  const char *name;
  const char *value; // built-in default; null for none
  bool report;       // log a failed copy of the default (the push descriptions are quiet)
};

// Every text field after logname, in declaration order, with its default.
constexpr TextField kTextFields[] = {
    {&module_params::application_key_id, "application_key_id", nullptr, true},
    {&module_params::application_key, "application_key", nullptr, true},
    {&module_params::host, "host", nullptr, true},
    {&module_params::port, "port", "443", true},
    {&module_params::path, "path", "/AuthServer/REST/OATH/OathServer.aspx", true},
    {&module_params::ca_cert_file, "ca_cert_file", nullptr, true},
    {&module_params::proxy_server, "proxy_server", nullptr, true},
    {&module_params::proxy_port, "proxy_port", "8080", true},
    {&module_params::proxy_username, "proxy_username", nullptr, true},
    {&module_params::proxy_password, "proxy_password", nullptr, true},
    {&module_params::push_app_name, "push_app_name", "Linux", true},
    {&module_params::push_reason, "push_reason", "Login", true},
    {&module_params::send_otp_method, "send_otp_method", nullptr, true},
    {&module_params::prompt_password, "prompt_password", "Zelvane Password: ", true},
    {&module_params::prompt_otp, "prompt_otp", "Zelvane verification code: ", true},
    {&module_params::prompt_method, "prompt_method", "Select an authentication method: ", true},
    {&module_params::prompt_otp_and_method, "prompt_otp_and_method",
     "Enter a Zelvane verification code or select an authentication method: ", true},
    {&module_params::prompt_push, "prompt_push",
     "Enter a verification code or press return to receive a push authentication request.", true},
    {&module_params::bypass_group_name, "bypass_group_name", "zelvane-bypass", true},
    {&module_params::allowed_2fa_methods, "allowed_2fa_methods", nullptr, true},
    {&module_params::otp_sms_value, "otp_sms_value", "os", true},
    {&module_params::otp_email_value, "otp_email_value", "oe", true},
    {&module_params::otp_voice_value, "otp_voice_value", "ov", true},
    {&module_params::push_app_value, "push_app_value", "pa", true},
    {&module_params::push_sms_value, "push_sms_value", "ps", true},
    {&module_params::push_voice_value, "push_voice_value", "pv", true},
    {&module_params::otp_sms_message, "otp_sms_message", "OTP via SMS", true},
    {&module_params::otp_email_message, "otp_email_message", "OTP via Email", true},
    {&module_params::otp_voice_message, "otp_voice_message", "OTP via Voice Call", true},
    {&module_params::push_app_message, "push_app_message", "Push Application Confirmation", false},
    {&module_params::push_sms_message, "push_sms_message", "Push SMS Confirmation", false},
    {&module_params::push_voice_message, "push_voice_message", "Push Voice Call Confirmation",
     false},
};

// "pam_zelvane(<service>)", or the fallback identity when the service is unknown; null only
// when the text cannot be allocated.
char *make_logname(pam_handle_t *pamh) {
  const void *item = nullptr;
  if (pamh != nullptr && pam_get_item(pamh, PAM_SERVICE, &item) == PAM_SUCCESS && item != nullptr &&
      *static_cast<const char *>(item) != '\0') {
    char *name = nullptr;
    if (asprintf(&name, "pam_zelvane(%s)", static_cast<const char *>(item)) < 0) return nullptr;
    return name;
  }
  return strdup(kUnknownLogname);
}

const char *shown(const char *s) { return s != nullptr ? s : "(unset)"; }

} // namespace

extern "C" int read_params(pam_handle_t *pamh, int argc, const char **argv, module_params *params) {
  if (params == nullptr) return -1;
  // Nothing is traced until a debug option has been read.
  params->debug = 0;
  params->logname = make_logname(pamh);
  if (params->logname == nullptr)
    syslog_message(params, LOG_ERR, "Memory allocation failed for logname");
  params->pamh = pamh;

  if (set_params_defaults(params) != 0) {
    ZV_LOG(params, LOG_ERR, "Failed to set default parameters");
    free_params(params);
    return -1;
  }
  if (parse_config_file_params(pamh, params) != 0) {
    ZV_LOG(params, LOG_ERR, "Failed to parse configuration file");
    free_params(params);
    return -1;
  }
  // Module arguments come last so that they win over the file; a bad one is only logged.
  parse_args(argc, argv, params);
  return 0;
}

extern "C" int set_params_defaults(module_params *params) {
  if (params == nullptr) return -1;
  params->auth_mode = auth_mode_2fa;
  params->first_pass_mode = prompt_pass;
  params->connection_timeout_secs = 0;
  params->allow_push_authentication = 0;
  params->max_push_wait_secs = 300;
  params->echo_verification_code = PAM_PROMPT_ECHO_OFF;
  params->password_otp_delimiter_char = ',';
  params->allow_bypass_mfa_server = 0;
  params->offline_codes = 0;
  params->offline_codes_reserve = 5;
  params->offline_codes_show_remaining = 0;

  for (const TextField &text : kTextFields) {
    char *&field = params->*text.field;
    zv::wipe_free(field);
    field = nullptr;
    if (text.value == nullptr) continue;
    field = strdup(text.value);
    if (field == nullptr && text.report)
      syslog_message(params, LOG_ERR, "Memory allocation failed for %s", text.name);
  }

  // Without these the transport cannot even name the server or the proxy.
  if (params->port == nullptr || params->path == nullptr || params->proxy_port == nullptr) {
    ZV_LOG(params, LOG_ERR, "Critical memory allocation failed in defaults");
    return -1;
  }
  return 0;
}

extern "C" void free_params(module_params *params) {
  if (params == nullptr) return;
  zv::wipe_free(params->logname);
  params->logname = nullptr;
  for (const TextField &text : kTextFields) {
    // Several fields hold keys and passwords.
    zv::wipe_free(params->*text.field);
    params->*text.field = nullptr;
  }
}

extern "C" void dump_params(const module_params *params) {
  if (params == nullptr) return;
  ZV_LOG(params, LOG_DEBUG, "START");
  ZV_LOG(params, LOG_DEBUG, "host: %s", shown(params->host));
  ZV_LOG(params, LOG_DEBUG, "port: %s", shown(params->port));
  ZV_LOG(params, LOG_DEBUG, "connection_timeout_secs: %d", params->connection_timeout_secs);
  ZV_LOG(params, LOG_DEBUG, "path: %s", shown(params->path));
  ZV_LOG(params, LOG_DEBUG, "ca_cert_file: %s", shown(params->ca_cert_file));
  ZV_LOG(params, LOG_DEBUG, "allowed_2fa_methods: %s", shown(params->allowed_2fa_methods));
  ZV_LOG(params, LOG_DEBUG, "otp_sms_value: %s", shown(params->otp_sms_value));
  ZV_LOG(params, LOG_DEBUG, "otp_email_value: %s", shown(params->otp_email_value));
  ZV_LOG(params, LOG_DEBUG, "otp_voice_value: %s", shown(params->otp_voice_value));
  ZV_LOG(params, LOG_DEBUG, "push_app_value: %s", shown(params->push_app_value));
  ZV_LOG(params, LOG_DEBUG, "push_sms_value: %s", shown(params->push_sms_value));
  ZV_LOG(params, LOG_DEBUG, "push_voice_value: %s", shown(params->push_voice_value));
  ZV_LOG(params, LOG_DEBUG, "otp_sms_message: %s", shown(params->otp_sms_message));
  ZV_LOG(params, LOG_DEBUG, "otp_email_message: %s", shown(params->otp_email_message));
  ZV_LOG(params, LOG_DEBUG, "otp_voice_message: %s", shown(params->otp_voice_message));
  ZV_LOG(params, LOG_DEBUG, "push_app_message: %s", shown(params->push_app_message));
  ZV_LOG(params, LOG_DEBUG, "push_sms_message: %s", shown(params->push_sms_message));
  ZV_LOG(params, LOG_DEBUG, "push_voice_message: %s", shown(params->push_voice_message));
}
