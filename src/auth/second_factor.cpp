// Second-factor driver: the first road that applies decides the factor, with exactly one
// prompt and no retry. Roads in order: already validated with the password, the push command
// user name, a code after a colon in the user name, the legacy prompt, and the method list
// (automatic deliveries and pushes, then a menu and the user's choice).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <security/pam_modules.h>
#include <strings.h>
#include <syslog.h>

#include "api/api.h"
#include "auth/auth.h"
#include "pam/log.h"
#include "pam/util.h"

namespace {

constexpr size_t kPushPrefixLen = sizeof(ZV_PUSH_COMMAND_PREFIX) - 1;

// A method that the menu can offer and the user can choose.
struct MenuMethod {
  const char *token;
  const char *auto_token; // an automatic delivery of the same code hides the line
  const char *delivery;
  char *module_params::*value;
  char *module_params::*message;
  const char *chosen; // debug line for a chosen push; code deliveries log their own
};

constexpr MenuMethod kMenuMethods[] = {
    {"otp_sms", "auto_otp_sms", "sms", &module_params::otp_sms_value,
     &module_params::otp_sms_message, nullptr},
    {"otp_email", "auto_otp_email", "email", &module_params::otp_email_value,
     &module_params::otp_email_message, nullptr},
    {"otp_voice", "auto_otp_voice", "voice", &module_params::otp_voice_value,
     &module_params::otp_voice_message, nullptr},
    {"push_app", nullptr, "pushapp", &module_params::push_app_value,
     &module_params::push_app_message, "User selected Push App method"},
    {"push_sms", nullptr, "pushsmsquestion", &module_params::push_sms_value,
     &module_params::push_sms_message, "User selected Push SMS method"},
    {"push_voice", nullptr, "pushvoice", &module_params::push_voice_value,
     &module_params::push_voice_message, "User selected Push Voice method"},
};

// A method that runs before the prompt.
struct AutoMethod {
  const char *token;
  const char *delivery;
  bool push;
};

constexpr AutoMethod kAutoMethods[] = {
    {"auto_otp_sms", "sms", false},
    {"auto_otp_email", "email", false},
    {"auto_otp_voice", "voice", false},
    {"auto_push_app", "pushapp", true},
    {"auto_push_sms", "pushsmsquestion", true},
    {"auto_push_voice", "pushvoice", true},
};

// Tokens under which a typed code is accepted. An automatic delivery counts too: a code that
// the module itself sent before the prompt must be enterable at that prompt.
constexpr const char *kCodeTokens[] = {"otp_token",     "otp_sms",      "otp_email",
                                       "otp_voice",     "auto_otp_sms", "auto_otp_email",
                                       "auto_otp_voice"};

// Calls fn(item) for every comma-separated item of `list` (cut in place), trimmed, in order,
// until fn returns true.
template <class Fn> void walk_tokens(char *list, Fn &&fn) {
  char *save = nullptr;
  for (char *tok = strtok_r(list, ",", &save); tok != nullptr;
       tok = strtok_r(nullptr, ",", &save)) {
    char *item = trim_whitespace(tok);
    if (item != nullptr && fn(item)) return;
  }
}

const MenuMethod *find_menu_method(const char *token) {
  for (const MenuMethod &m : kMenuMethods)
    if (std::strcmp(token, m.token) == 0) return &m;
  return nullptr;
}

const AutoMethod *find_auto_method(const char *token) {
  for (const AutoMethod &m : kAutoMethods)
    if (std::strcmp(token, m.token) == 0) return &m;
  return nullptr;
}

// The menu lines of one prompt, freed with it.
struct MenuLines {
  char *lines[ZV_MAX_MENU_LINES] = {};
  int count = 0;
  MenuLines() = default;
  MenuLines(const MenuLines &) = delete;
  MenuLines &operator=(const MenuLines &) = delete;
  ~MenuLines() {
    for (int i = 0; i < count; i++) std::free(lines[i]);
  }
  void add(const char *value, const char *text) {
    if (count >= ZV_MAX_MENU_LINES) return;
    char *line = nullptr;
    // A line that cannot be formatted is left out; the prompt still follows.
    if (asprintf(&line, "%s - %s", value != nullptr ? value : "", text != nullptr ? text : "") < 0)
      return;
    lines[count++] = line;
  }
};

bool answer_selects(const module_params *params, const MenuMethod &m, const char *answer) {
  const char *value = params->*m.value;
  return value != nullptr && strcasecmp(answer, value) == 0 &&
         is_allowed_method(params, params->allowed_2fa_methods, m.token) != 0;
}

bool codes_accepted(const module_params *params) {
  for (const char *token : kCodeTokens)
    if (is_allowed_method(params, params->allowed_2fa_methods, token) != 0) return true;
  return false;
}

} // namespace

extern "C" int is_allowed_method(const module_params *params, const char *list, const char *token) {
  if (list == nullptr || token == nullptr) return 0;
  zv::CharPtr copy(strdup(list));
  if (!copy) {
    ZV_LOG(params, LOG_ERR, "Memory allocation failed for allowed_methods");
    return 0;
  }
  bool found = false;
  walk_tokens(copy.get(), [&](const char *item) { return found = std::strcmp(item, token) == 0; });
  return found ? 1 : 0;
}

extern "C" int set_otp_method(module_params *params, const char *delivery) {
  char *copy = zv::dup(delivery);
  if (copy == nullptr) {
    ZV_LOG(params, LOG_ERR, "Memory allocation failed for send_otp_method %s", delivery);
    return PAM_SYSTEM_ERR;
  }
  std::free(params->send_otp_method);
  params->send_otp_method = copy;
  return PAM_SUCCESS;
}

extern "C" int handle_push_command(module_params *params, const char *working_name, int *handled) {
  *handled = 0;
  if (std::strncmp(working_name, ZV_PUSH_COMMAND_PREFIX, kPushPrefixLen) != 0) return PAM_SUCCESS;
  *handled = 1;
  ZV_LOG(params, LOG_DEBUG, "Processing special push command username");
  if (params->allow_push_authentication == 0) {
    ZV_LOG(params, LOG_DEBUG, "Push authentication not allowed");
    return PAM_AUTH_ERR;
  }
  ZV_LOG(params, LOG_DEBUG, "Push authentication allowed, sending push message");
  return send_push_message(params, working_name + kPushPrefixLen, "pushapp");
}

extern "C" int parse_legacy_otp(module_params *params, char *working_name, int *handled) {
  *handled = 0;
  char *colon = std::strrchr(working_name, ':');
  if (colon == nullptr || is_otp_str(colon + 1) == 0) return PAM_SUCCESS;
  *handled = 1;
  *colon = '\0';
  char *code = colon + 1;
  const int rc = validate_oath_otp(params, working_name, code);
  zv::wipe(code); // the working name is freed without it once cut
  if (rc == PAM_SUCCESS) ZV_LOG(params, LOG_DEBUG, "END - Legacy OTP validation successful");
  return rc;
}

extern "C" int handle_legacy_2fa(module_params *params, const char *working_name) {
  ZV_LOG(params, LOG_DEBUG, "Using legacy 2FA logic");
  if (params->send_otp_method != nullptr) {
    const int rc = send_oath_otp(params, working_name);
    if (rc != PAM_SUCCESS) return rc;
  }
  if (params->allow_push_authentication != 0)
    send_message(params->pamh, PAM_TEXT_INFO, "%s", params->prompt_push);

  zv::SecretPtr answer(
      prompt_user(params->pamh, params->echo_verification_code, params->prompt_otp));
  if (!answer) return PAM_AUTH_ERR;
  if (answer.get()[0] != '\0') {
    ZV_LOG(params, LOG_DEBUG, "Using legacy OTP validation");
    return validate_oath_otp(params, working_name, answer.get());
  }
  if (params->allow_push_authentication != 0) {
    ZV_LOG(params, LOG_DEBUG, "Sending legacy push authentication");
    return send_push_message(params, working_name, "pushapp");
  }
  send_message(params->pamh, PAM_ERROR_MSG, "%s", "Verification code was not entered.");
  return PAM_AUTH_ERR;
}

extern "C" int process_auto_otp_method(module_params *params, const char *working_name,
                                       const char *token, const char *delivery) {
  ZV_LOG(params, LOG_DEBUG, "Processing %s method", token);
  const int rc = set_otp_method(params, delivery);
  if (rc != PAM_SUCCESS) return rc;
  return send_oath_otp(params, working_name);
}

extern "C" int process_auto_push_method(module_params *params, const char *working_name,
                                        const char *token, const char *delivery) {
  ZV_LOG(params, LOG_DEBUG, "Processing %s method", token);
  return send_push_message(params, working_name, delivery);
}

extern "C" int process_auto_methods(module_params *params, const char *working_name, int *handled) {
  *handled = 0;
  zv::CharPtr list(zv::dup(params->allowed_2fa_methods));
  if (!list) {
    ZV_LOG(params, LOG_ERR, "Memory allocation failed for allowed_2fa_methods");
    return PAM_SYSTEM_ERR;
  }
  int rc = PAM_SUCCESS;
  walk_tokens(list.get(), [&](const char *token) {
    const AutoMethod *m = find_auto_method(token);
    if (m == nullptr) return false;
    if (m->push) {
      // The walk ends at the first push, whatever its outcome.
      *handled = 1;
      rc = process_auto_push_method(params, working_name, token, m->delivery);
      return true;
    }
    rc = process_auto_otp_method(params, working_name, token, m->delivery);
    return rc != PAM_SUCCESS;
  });
  return rc;
}

extern "C" char *display_2fa_method_prompts(module_params *params) {
  ZV_LOG_AS("second_factor", params, LOG_DEBUG, "Displaying 2FA method prompts to user");
  zv::CharPtr list(zv::dup(params->allowed_2fa_methods));
  if (!list) {
    ZV_LOG(params, LOG_ERR, "Memory allocation failed for allowed_2fa_methods");
    return nullptr;
  }
  MenuLines menu;
  bool token_flag = false;
  bool method_flag = false;
  walk_tokens(list.get(), [&](const char *token) {
    if (std::strcmp(token, "otp_token") == 0) {
      token_flag = true;
      return false;
    }
    const MenuMethod *m = find_menu_method(token);
    if (m == nullptr) return false;
    if (m->auto_token != nullptr &&
        is_allowed_method(params, params->allowed_2fa_methods, m->auto_token) != 0)
      return false;
    method_flag = true;
    menu.add(params->*m->value, params->*m->message);
    return false;
  });
  const char *prompt = token_flag && method_flag ? params->prompt_otp_and_method
                       : method_flag             ? params->prompt_method
                                                 : params->prompt_otp;
  return prompt_user_with_info(params->pamh, params->echo_verification_code, prompt, menu.lines,
                               menu.count);
}

extern "C" int handle_interactive_otp_method(module_params *params, const char *working_name,
                                             const char *delivery) {
  ZV_LOG(params, LOG_DEBUG, "User selected %s method", delivery);
  int rc = set_otp_method(params, delivery);
  if (rc != PAM_SUCCESS) return rc;
  rc = send_oath_otp(params, working_name);
  if (rc != PAM_SUCCESS) return rc;
  zv::SecretPtr answer(
      prompt_user(params->pamh, params->echo_verification_code, params->prompt_otp));
  if (!answer) return PAM_AUTH_ERR;
  return validate_oath_otp(params, working_name, answer.get());
}

extern "C" int process_interactive_methods(module_params *params, const char *working_name,
                                           const char *answer) {
  ZV_LOG(params, LOG_DEBUG, "Checking user input against allowed 2FA methods");
  for (const MenuMethod &m : kMenuMethods) {
    if (!answer_selects(params, m, answer)) continue;
    if (m.chosen == nullptr) return handle_interactive_otp_method(params, working_name, m.delivery);
    ZV_LOG(params, LOG_DEBUG, "%s", m.chosen);
    return send_push_message(params, working_name, m.delivery);
  }
  if (codes_accepted(params) && is_otp_str(answer) != 0) {
    ZV_LOG(params, LOG_DEBUG, "User entered OTP token, validating");
    const int rc = validate_oath_otp(params, working_name, answer);
    if (rc == PAM_SUCCESS)
      ZV_LOG(params, LOG_DEBUG, "OTP validation succeeded");
    else
      ZV_LOG(params, LOG_DEBUG, "OTP validation failed");
    return rc;
  }
  ZV_LOG(params, LOG_DEBUG, "Invalid authentication method or code entered");
  send_message(params->pamh, PAM_ERROR_MSG, "%s", "Invalid authentication method or code.");
  return PAM_AUTH_ERR;
}

extern "C" int second_factor(module_params *params, const char *username) {
  ZV_LOG(params, LOG_DEBUG, "START");
  const void *marker = nullptr;
  if (pam_get_data(params->pamh, ZV_VALIDATED_KEY, &marker) == PAM_SUCCESS && marker != nullptr &&
      std::strcmp(static_cast<const char *>(marker), "true") == 0) {
    ZV_LOG(params, LOG_DEBUG, "2FA already validated for user: %s", username);
    return PAM_SUCCESS;
  }
  ZV_LOG(params, LOG_DEBUG, "2FA not yet validated, proceeding with authentication");

  // The name may carry a code after a colon: wiped with the copy.
  zv::SecretPtr working(zv::dup(username));
  if (!working) {
    ZV_LOG(params, LOG_ERR, "Memory allocation failed for username copy");
    return PAM_SYSTEM_ERR;
  }

  int handled = 0;
  int rc = handle_push_command(params, working.get(), &handled);
  if (handled != 0) return rc;
  rc = parse_legacy_otp(params, working.get(), &handled);
  if (handled != 0) return rc;

  if (params->allowed_2fa_methods == nullptr) return handle_legacy_2fa(params, working.get());
  ZV_LOG(params, LOG_DEBUG, "Processing allowed 2FA methods: %s", params->allowed_2fa_methods);

  rc = process_auto_methods(params, working.get(), &handled);
  if (rc != PAM_SUCCESS) return rc;
  if (handled != 0) {
    // A confirmed automatic push is the second factor; no menu follows.
    ZV_LOG(params, LOG_DEBUG, "END - 2FA authentication successful");
    return PAM_SUCCESS;
  }

  zv::SecretPtr answer(display_2fa_method_prompts(params));
  if (!answer || answer.get()[0] == '\0') {
    ZV_LOG(params, LOG_DEBUG, "No OTP/method provided by user");
    ZV_LOG(params, LOG_DEBUG, "Verification code not entered - modern mode");
    send_message(params->pamh, PAM_ERROR_MSG, "%s", "Verification code was not entered.");
    return PAM_AUTH_ERR;
  }
  ZV_LOG(params, LOG_DEBUG, "OTP/method received from user, processing");
  rc = process_interactive_methods(params, working.get(), answer.get());
  if (rc == PAM_SUCCESS) ZV_LOG(params, LOG_DEBUG, "END - 2FA authentication successful");
  return rc;
}
