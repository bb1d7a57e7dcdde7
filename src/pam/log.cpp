// Conversation with the user through the application's PAM conversation function, and records
// to the system log. Responses may hold passwords or codes: they are wiped before being freed.
#include "pam/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <security/pam_appl.h>
#include <syslog.h>

#include "auth/auth.h"
#include "common/own.h"
#include "pam/log_socket_int.h"

namespace {

constexpr const char *kFallbackIdent = "pam_zelvane(unknown)";
constexpr const char *kVasprintfFailed = "send_message: vasprintf() failed to allocate memory.";

const pam_conv *get_conv(pam_handle_t *pamh, int *rc) {
  // libpam declares the handle non-null; without one there is nobody to talk to.
  if (pamh == nullptr) {
    *rc = PAM_SYSTEM_ERR;
    return nullptr;
  }
  const void *item = nullptr;
  *rc = pam_get_item(pamh, PAM_CONV, &item);
  if (*rc != PAM_SUCCESS) return nullptr;
  const auto *conv = static_cast<const pam_conv *>(item);
  if (conv == nullptr || conv->conv == nullptr) {
    *rc = PAM_CONV_ERR;
    return nullptr;
  }
  return conv;
}

// A text for the host's conversation function, which need not expect a null one (a configured
// prompt is null when its copy could not be allocated).
const char *shown(const char *text) { return text != nullptr ? text : ""; }

void write_record(int facility_priority, const char *ident, const char *format, ...)
    ZV_PRINTF(3, 4);
void write_record(int facility_priority, const char *ident, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  zv::write_log_record(facility_priority, ident, format, ap);
  va_end(ap);
}

// Wipes and frees `count` responses and the array.
void free_responses(pam_response *resp, int count) {
  if (resp == nullptr) return;
  for (int i = 0; i < count; i++) zv::wipe_free(resp[i].resp);
  std::free(resp);
}

} // namespace

extern "C" int converse(pam_handle_t *pamh, int style, const char *text, char **answer) {
  if (answer != nullptr) *answer = nullptr;
  int rc = PAM_SUCCESS;
  const pam_conv *conv = get_conv(pamh, &rc);
  if (conv == nullptr) return rc;

  pam_message msg{style, shown(text)};
  const pam_message *msgp = &msg;
  pam_response *resp = nullptr;
  rc = conv->conv(1, &msgp, &resp, conv->appdata_ptr);
  if (rc != PAM_SUCCESS) {
    free_responses(resp, 1);
    return rc;
  }
  if (resp == nullptr) return PAM_SUCCESS;
  if (resp->resp != nullptr && answer != nullptr) *answer = strdup(resp->resp);
  free_responses(resp, 1);
  return PAM_SUCCESS;
}

extern "C" void send_message(pam_handle_t *pamh, int style, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  char *text = nullptr;
  int n = vasprintf(&text, format, ap);
  va_end(ap);
  if (n < 0) {
    converse(pamh, PAM_ERROR_MSG, kVasprintfFailed, nullptr);
    converse(pamh, style, format, nullptr);
    // Under the program's own name: this record stands outside the module's records.
    write_record(LOG_AUTH | LOG_ERR, program_invocation_short_name, "%s", kVasprintfFailed);
    return;
  }
  zv::HeapPtr<char> owned(text);
  converse(pamh, style, owned.get(), nullptr);
}

extern "C" char *prompt_user(pam_handle_t *pamh, int style, const char *prompt) {
  char *answer = nullptr;
  converse(pamh, style, prompt, &answer);
  return answer;
}

extern "C" char *prompt_user_with_info(pam_handle_t *pamh, int style, const char *prompt,
                                       const char *const *info_lines, int count) {
  if (count < 1 || info_lines == nullptr) return prompt_user(pamh, style, prompt);
  int rc = PAM_SUCCESS;
  const pam_conv *conv = get_conv(pamh, &rc);
  if (conv == nullptr) return nullptr;

  const size_t n = static_cast<size_t>(count) + 1;
  zv::HeapPtr<pam_message> msgs(static_cast<pam_message *>(std::calloc(n, sizeof(pam_message))));
  zv::HeapPtr<const pam_message *> ptrs(
      static_cast<const pam_message **>(std::calloc(n, sizeof(const pam_message *)))); // NOLINT
  if (!msgs || !ptrs) return nullptr;
  for (size_t i = 0; i < n; i++) {
    const bool last = i + 1 == n;
    msgs.get()[i].msg_style = last ? style : PAM_TEXT_INFO;
    msgs.get()[i].msg = shown(last ? prompt : info_lines[i]);
    ptrs.get()[i] = &msgs.get()[i];
  }
  pam_response *resp = nullptr;
  rc = conv->conv(count + 1, ptrs.get(), &resp, conv->appdata_ptr);
  if (rc != PAM_SUCCESS || resp == nullptr) {
    free_responses(resp, count + 1);
    return nullptr;
  }
  char *answer = resp[count].resp != nullptr ? strdup(resp[count].resp) : nullptr;
  free_responses(resp, count + 1);
  return answer;
}

extern "C" void syslog_message(const module_params *params, int priority, const char *format, ...) {
  if (priority == LOG_DEBUG && (params == nullptr || params->debug == 0)) return;
  const char *ident = kFallbackIdent;
  if (params != nullptr && params->logname != nullptr && params->logname[0] != '\0')
    ident = params->logname;
  // Straight to the log socket: openlog/closelog would change the host's own identity.
  va_list ap;
  va_start(ap, format);
  zv::write_log_record(LOG_AUTH | (priority & LOG_PRIMASK), ident, format, ap);
  va_end(ap);
}

zv::LogText::LogText(const char *text, bool field) noexcept
    : LogText(text, text != nullptr ? std::strlen(text) : 0, field) {}

zv::LogText::LogText(const char *text, size_t len, bool field) noexcept {
  if (text == nullptr) {
    (void)std::snprintf(buf_, sizeof buf_, "(null)");
    return;
  }
  const size_t shown = len < kLogTextMax ? len : kLogTextMax;
  size_t out = 0;
  for (size_t i = 0; i < shown; i++) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f || c == '\\' || (field && c == ' ')) {
      static constexpr char kHex[] = "0123456789abcdef";
      buf_[out++] = '\\';
      buf_[out++] = 'x';
      buf_[out++] = kHex[c >> 4];
      buf_[out++] = kHex[c & 0x0f];
    } else {
      buf_[out++] = static_cast<char>(c);
    }
  }
  buf_[out] = '\0';
  if (shown < len) (void)std::snprintf(buf_ + out, sizeof buf_ - out, " ... (%zu bytes)", len);
}

namespace {

// How much of a user name may be shown: all of it, or up to and with its last colon when a code
// follows that colon.
size_t shown_name_length(const char *name) noexcept {
  if (name == nullptr) return 0;
  const char *colon = std::strrchr(name, ':');
  if (colon != nullptr && is_otp_str(colon + 1) != 0) return static_cast<size_t>(colon - name) + 1;
  return std::strlen(name);
}

} // namespace

zv::LogText::LogText(MaskCode, const char *name, bool field) noexcept
    : LogText(name, shown_name_length(name), field) {
  const size_t shown = shown_name_length(name);
  // A name cut before its colon shows no code anyway.
  if (name != nullptr && name[shown] != '\0' && shown <= kLogTextMax) {
    const size_t used = std::strlen(buf_);
    (void)std::snprintf(buf_ + used, sizeof buf_ - used, "***");
  }
}
