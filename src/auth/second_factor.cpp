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
#include "common/call.h"
#include "common/own.h"
#include "pam/log.h"

namespace {

constexpr size_t kPushPrefixLen = sizeof(ZV_PUSH_COMMAND_PREFIX) - 1;
constexpr const char *kInvalidChoice = ZV_INVALID_CHOICE;

// What a token of allowed_2fa_methods is.
enum class MethodKind {
  token,     // codes from a token: permits typed codes, shapes the prompt
  otp,       // a code delivered on request: a menu line
  push,      // a push on request: a menu line
  auto_otp,  // a code delivered before the prompt (hides the line of its otp method)
  auto_push, // a push before any prompt
};

struct Method {
  const char *token;
  MethodKind kind;
  const char *delivery;          // send_otp_method text, or a push's deliveryMethod
  char *module_params::*value;   // menu value (otp, push)
  char *module_params::*message; // menu text (otp, push)
  const char *hides;             // auto_otp: the token whose menu line it hides
  const char *chosen;            // push: the debug line when the user picks it
};

using P = module_params;
constexpr Method kMethods[] = {
    {"otp_token", MethodKind::token, nullptr, nullptr, nullptr, nullptr, nullptr},
    {"otp_sms", MethodKind::otp, "sms", &P::otp_sms_value, &P::otp_sms_message, nullptr, nullptr},
    {"otp_email", MethodKind::otp, "email", &P::otp_email_value, &P::otp_email_message, nullptr,
     nullptr},
    {"otp_voice", MethodKind::otp, "voice", &P::otp_voice_value, &P::otp_voice_message, nullptr,
     nullptr},
    {"push_app", MethodKind::push, "pushapp", &P::push_app_value, &P::push_app_message, nullptr,
     "User selected Push App method"},
    {"push_sms", MethodKind::push, "pushsmsquestion", &P::push_sms_value, &P::push_sms_message,
     nullptr, "User selected Push SMS method"},
    {"push_voice", MethodKind::push, "pushvoice", &P::push_voice_value, &P::push_voice_message,
     nullptr, "User selected Push Voice method"},
    {"auto_otp_sms", MethodKind::auto_otp, "sms", nullptr, nullptr, "otp_sms", nullptr},
    {"auto_otp_email", MethodKind::auto_otp, "email", nullptr, nullptr, "otp_email", nullptr},
    {"auto_otp_voice", MethodKind::auto_otp, "voice", nullptr, nullptr, "otp_voice", nullptr},
    {"auto_push_app", MethodKind::auto_push, "pushapp", nullptr, nullptr, nullptr, nullptr},
    {"auto_push_sms", MethodKind::auto_push, "pushsmsquestion", nullptr, nullptr, nullptr, nullptr},
    {"auto_push_voice", MethodKind::auto_push, "pushvoice", nullptr, nullptr, nullptr, nullptr},
};

bool on_menu(const Method &m) { return m.kind == MethodKind::otp || m.kind == MethodKind::push; }

// A typed code is accepted under these kinds. An automatic delivery counts too: a code that the
// module itself sent before the prompt must be enterable at that prompt.
bool takes_codes(const Method &m) {
  return m.kind == MethodKind::token || m.kind == MethodKind::otp || m.kind == MethodKind::auto_otp;
}

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

const Method *find_method(const char *token) {
  for (const Method &m : kMethods)
    if (std::strcmp(token, m.token) == 0) return &m;
  return nullptr;
}

bool listed(const module_params *params, const char *token) {
  return is_allowed_method(params, params->allowed_2fa_methods, token) != 0;
}

// The automatic delivery that hides the menu line of `m`, when listed.
bool hidden_by_auto(const module_params *params, const Method &m) {
  for (const Method &a : kMethods)
    if (a.hides != nullptr && std::strcmp(a.hides, m.token) == 0 && listed(params, a.token))
      return true;
  return false;
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

bool answer_selects(const module_params *params, const Method &m, const char *answer) {
  const char *value = params->*m.value;
  return value != nullptr && strcasecmp(answer, value) == 0 && listed(params, m.token);
}

bool codes_accepted(const module_params *params) {
  for (const Method &m : kMethods)
    if (takes_codes(m) && listed(params, m.token)) return true;
  return false;
}

// An answer longer than any conversation may give is refused before any request.
bool refuse_oversized(const module_params *params, const char *answer) {
  if (std::strlen(answer) <= PAM_MAX_RESP_SIZE) return false;
  send_message(params->pamh, PAM_ERROR_MSG, "%s", kInvalidChoice);
  return true;
}

// Asks the server to send a code by params->send_otp_method; once sent, the code's channel is
// the road (the server sends anything but e-mail and voice as SMS).
int deliver_code(const module_params *params, const char *working_name) {
  const int rc = send_oath_otp(params, working_name);
  if (rc != PAM_SUCCESS) return rc;
  const char *channel = params->send_otp_method != nullptr ? params->send_otp_method : "";
  note_road(params->call, std::strcmp(channel, "email") == 0   ? zv::road::email
                          : std::strcmp(channel, "voice") == 0 ? zv::road::voice
                                                               : zv::road::sms);
  return rc;
}

// A typed code keeps the road of a code that the module delivered before the prompt.
void note_typed_code(const module_params *params) {
  if (params->call != nullptr && params->call->road == nullptr)
    note_road(params->call, zv::road::code);
}

// forward_pass: the one answer of a host that asks one question, cut at its last delimiter.
// Its first part is the password of the modules below, the part after the delimiter (null
// without one) the second factor. Both are wiped with the buffer.
struct Forwarded {
  zv::Secret answer;
  const char *factor = nullptr;
};

// Takes the password that an earlier module stacked, else asks the password prompt, splits it
// and hands the password part on in PAM_AUTHTOK. Returns a PAM code.
int take_forwarded_answer(module_params *params, Forwarded *out) {
  bool stacked = true;
  out->answer.reset(get_stack_password(params));
  if (!out->answer) {
    stacked = false;
    out->answer.reset(prompt_user(params->pamh, PAM_PROMPT_ECHO_OFF, params->prompt_password));
  }
  if (!out->answer) return PAM_AUTH_ERR;
  const char delimiter = params->password_otp_delimiter_char;
  char *cut = delimiter != '\0' ? std::strrchr(out->answer.get(), delimiter) : nullptr;
  if (cut != nullptr) {
    *cut = '\0';
    out->factor = cut + 1;
  } else if (stacked) {
    return PAM_SUCCESS; // the stacked item already is the password
  }
  // libpam keeps its own copy (and wipes it); the modules below read it with use_first_pass.
  const int rc = pam_set_item(params->pamh, PAM_AUTHTOK, out->answer.get());
  if (rc != PAM_SUCCESS) {
    ZV_LOG(params, LOG_ERR, "Cannot hand the password on in PAM_AUTHTOK: %s",
           pam_strerror(params->pamh, rc));
    return PAM_SYSTEM_ERR;
  }
  ZV_LOG(params, LOG_DEBUG, "Password handed on (%s), second factor %s",
         stacked ? "stacked" : "prompted", out->factor != nullptr ? "given" : "absent");
  return PAM_SUCCESS;
}

// A code delivered under forward_pass cannot be asked for: the host answers every question
// with the same field. The user logs in again with it.
int code_sent(const module_params *params) {
  ZV_LOG(params, LOG_DEBUG, "Code sent; the user logs in again with it (forward_pass)");
  send_message(params->pamh, PAM_ERROR_MSG,
               "Code sent. Log in again with your password, then \"%c\" and the code.",
               params->password_otp_delimiter_char);
  return PAM_AUTH_ERR;
}

int not_entered(const module_params *params) {
  send_message(params->pamh, PAM_ERROR_MSG, "%s", "Verification code was not entered.");
  return PAM_AUTH_ERR;
}

// Legacy mode under forward_pass: a given part is the typed code; an empty one after the
// delimiter is the empty answer that starts a push; otherwise the configured delivery sends a
// code for the next login.
int forwarded_legacy(module_params *params, const char *working_name, const char *factor) {
  ZV_LOG(params, LOG_DEBUG, "Using legacy 2FA logic");
  if (factor != nullptr && factor[0] != '\0') {
    if (refuse_oversized(params, factor)) return PAM_AUTH_ERR;
    ZV_LOG(params, LOG_DEBUG, "Using legacy OTP validation");
    note_typed_code(params);
    return validate_oath_otp(params, working_name, factor);
  }
  if (factor != nullptr && params->allow_push_authentication != 0) {
    ZV_LOG(params, LOG_DEBUG, "Sending legacy push authentication");
    return send_push_message(params, working_name, "pushapp");
  }
  if (params->send_otp_method == nullptr) return not_entered(params);
  const int rc = deliver_code(params, working_name);
  return rc != PAM_SUCCESS ? rc : code_sent(params);
}

bool auto_delivery_listed(const module_params *params) {
  for (const Method &m : kMethods)
    if (m.kind == MethodKind::auto_otp && listed(params, m.token)) return true;
  return false;
}

// The method list under forward_pass with no second factor given: only what needs no answer
// runs. An automatic push decides; automatic deliveries send a code for the next login.
int forwarded_automatic(module_params *params, const char *working_name) {
  int handled = 0;
  const int rc = process_auto_methods(params, working_name, &handled);
  if (rc != PAM_SUCCESS || handled != 0) return rc;
  if (auto_delivery_listed(params)) return code_sent(params);
  ZV_LOG(params, LOG_DEBUG, "Verification code not entered - modern mode");
  return not_entered(params);
}

} // namespace

extern "C" int is_allowed_method(const module_params *params, const char *list, const char *token) {
  if (list == nullptr || token == nullptr) return 0;
  zv::HeapPtr<char> copy(strdup(list));
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
  note_road(params->call, zv::road::code);
  const int rc = validate_oath_otp(params, working_name, code);
  zv::wipe(code); // the working name is freed without it once cut
  if (rc == PAM_SUCCESS) ZV_LOG(params, LOG_DEBUG, "END - Legacy OTP validation successful");
  return rc;
}

extern "C" int handle_legacy_2fa(module_params *params, const char *working_name) {
  ZV_LOG(params, LOG_DEBUG, "Using legacy 2FA logic");
  if (params->send_otp_method != nullptr) {
    const int rc = deliver_code(params, working_name);
    if (rc != PAM_SUCCESS) return rc;
  }
  if (params->allow_push_authentication != 0)
    send_message(params->pamh, PAM_TEXT_INFO, "%s", params->prompt_push);

  zv::Secret answer(prompt_user(params->pamh, params->echo_verification_code, params->prompt_otp));
  if (!answer || refuse_oversized(params, answer.get())) return PAM_AUTH_ERR;
  if (answer.get()[0] != '\0') {
    ZV_LOG(params, LOG_DEBUG, "Using legacy OTP validation");
    note_typed_code(params);
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
  return deliver_code(params, working_name);
}

extern "C" int process_auto_push_method(module_params *params, const char *working_name,
                                        const char *token, const char *delivery) {
  ZV_LOG(params, LOG_DEBUG, "Processing %s method", token);
  return send_push_message(params, working_name, delivery);
}

extern "C" int process_auto_methods(module_params *params, const char *working_name, int *handled) {
  *handled = 0;
  zv::HeapPtr<char> list(zv::dup(params->allowed_2fa_methods));
  if (!list) {
    ZV_LOG(params, LOG_ERR, "Memory allocation failed for allowed_2fa_methods");
    return PAM_SYSTEM_ERR;
  }
  int rc = PAM_SUCCESS;
  walk_tokens(list.get(), [&](const char *token) {
    const Method *m = find_method(token);
    if (m == nullptr || (m->kind != MethodKind::auto_otp && m->kind != MethodKind::auto_push))
      return false;
    if (m->kind == MethodKind::auto_push) {
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
  zv::HeapPtr<char> list(zv::dup(params->allowed_2fa_methods));
  if (!list) {
    ZV_LOG(params, LOG_ERR, "Memory allocation failed for allowed_2fa_methods");
    return nullptr;
  }
  MenuLines menu;
  bool token_flag = false;
  bool method_flag = false;
  walk_tokens(list.get(), [&](const char *token) {
    const Method *m = find_method(token);
    if (m == nullptr) return false;
    if (m->kind == MethodKind::token) token_flag = true;
    if (!on_menu(*m) || hidden_by_auto(params, *m)) return false;
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
  rc = deliver_code(params, working_name);
  if (rc != PAM_SUCCESS) return rc;
  if (params->forward_pass != 0) return code_sent(params);
  zv::Secret answer(prompt_user(params->pamh, params->echo_verification_code, params->prompt_otp));
  if (!answer || refuse_oversized(params, answer.get())) return PAM_AUTH_ERR;
  return validate_oath_otp(params, working_name, answer.get());
}

extern "C" int process_interactive_methods(module_params *params, const char *working_name,
                                           const char *answer) {
  ZV_LOG(params, LOG_DEBUG, "Checking user input against allowed 2FA methods");
  for (const Method &m : kMethods) {
    if (!on_menu(m) || !answer_selects(params, m, answer)) continue;
    if (m.kind == MethodKind::otp)
      return handle_interactive_otp_method(params, working_name, m.delivery);
    ZV_LOG(params, LOG_DEBUG, "%s", m.chosen);
    return send_push_message(params, working_name, m.delivery);
  }
  if (codes_accepted(params) && is_otp_str(answer) != 0) {
    ZV_LOG(params, LOG_DEBUG, "User entered OTP token, validating");
    note_typed_code(params);
    const int rc = validate_oath_otp(params, working_name, answer);
    if (rc == PAM_SUCCESS)
      ZV_LOG(params, LOG_DEBUG, "OTP validation succeeded");
    else
      ZV_LOG(params, LOG_DEBUG, "OTP validation failed");
    return rc;
  }
  ZV_LOG(params, LOG_DEBUG, "Invalid authentication method or code entered");
  send_message(params->pamh, PAM_ERROR_MSG, "%s", kInvalidChoice);
  return PAM_AUTH_ERR;
}

extern "C" int second_factor(module_params *params, const char *username) {
  ZV_LOG(params, LOG_DEBUG, "START");
  // The password goes on to the modules below whatever becomes of the second factor.
  Forwarded forwarded;
  if (params->forward_pass != 0) {
    const int rc = take_forwarded_answer(params, &forwarded);
    if (rc != PAM_SUCCESS) return rc;
    // A host with one question would answer the push's wait prompt with the same field.
    params->push_wait_prompt = 0;
  }
  const void *marker = nullptr;
  if (pam_get_data(params->pamh, ZV_VALIDATED_KEY, &marker) == PAM_SUCCESS && marker != nullptr &&
      std::strcmp(static_cast<const char *>(marker), "true") == 0) {
    ZV_LOG(params, LOG_DEBUG, "2FA already validated for user: %s",
           zv::LogText::user(username).c_str());
    note_road(params->call, zv::road::validated);
    return PAM_SUCCESS;
  }
  ZV_LOG(params, LOG_DEBUG, "2FA not yet validated, proceeding with authentication");

  // The name may carry a code after a colon: wiped with the copy.
  zv::Secret working(zv::dup(username));
  if (!working) {
    ZV_LOG(params, LOG_ERR, "Memory allocation failed for username copy");
    return PAM_SYSTEM_ERR;
  }

  int handled = 0;
  int rc = handle_push_command(params, working.get(), &handled);
  if (handled != 0) return rc;
  rc = parse_legacy_otp(params, working.get(), &handled);
  if (handled != 0) return rc;

  const char *factor = forwarded.factor;
  if (params->allowed_2fa_methods == nullptr)
    return params->forward_pass != 0 ? forwarded_legacy(params, working.get(), factor)
                                     : handle_legacy_2fa(params, working.get());
  ZV_LOG(params, LOG_DEBUG, "Processing allowed 2FA methods: %s", params->allowed_2fa_methods);

  // Under forward_pass a given second factor is the answer to the menu: the automatic methods,
  // which run before the menu, would send a new code in place of the one typed.
  zv::Secret prompted;
  const char *answer = factor;
  if (params->forward_pass != 0) {
    if (factor == nullptr || factor[0] == '\0') return forwarded_automatic(params, working.get());
  } else {
    rc = process_auto_methods(params, working.get(), &handled);
    if (rc != PAM_SUCCESS) return rc;
    if (handled != 0) {
      // A confirmed automatic push is the second factor; no menu follows.
      ZV_LOG(params, LOG_DEBUG, "END - 2FA authentication successful");
      return PAM_SUCCESS;
    }
    prompted.reset(display_2fa_method_prompts(params));
    answer = prompted.get();
    if (answer == nullptr || answer[0] == '\0') {
      ZV_LOG(params, LOG_DEBUG, "No OTP/method provided by user");
      ZV_LOG(params, LOG_DEBUG, "Verification code not entered - modern mode");
      return not_entered(params);
    }
  }
  ZV_LOG(params, LOG_DEBUG, "OTP/method received from user, processing");
  rc = process_interactive_methods(params, working.get(), answer);
  if (rc == PAM_SUCCESS) ZV_LOG(params, LOG_DEBUG, "END - 2FA authentication successful");
  return rc;
}
