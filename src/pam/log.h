// Conversation with the user and the system log: every word the module says to the user and
// every record it writes to the system log passes through these five functions.
#pragma once

#include <cstddef>
#include <security/pam_modules.h>

#include "config/params.h"

#define ZV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

ZV_API_BEGIN

// One message, one call of the application's conversation function. When `answer` is given it
// receives a heap copy of the response text (or null); the caller owns and wipes it.
// Returns the PAM code of the conversation (PAM_SUCCESS when no response came back).
ZV_API int converse(pam_handle_t *pamh, int style, const char *text, char **answer);

// Formats like printf and sends the result as one message of `style`. Failures are silent.
// A configured text that is not a format must be passed as send_message(pamh, style, "%s", text).
ZV_API void send_message(pam_handle_t *pamh, int style, const char *format, ...) ZV_PRINTF(3, 4);

// Asks one question; returns a heap copy of the answer (caller wipes and frees), or null when
// the conversation failed, gave no response, or the response had no text.
ZV_API char *prompt_user(pam_handle_t *pamh, int style, const char *prompt);

// Shows `count` info lines (PAM_TEXT_INFO) and the prompt in one conversation call; returns the
// answer to the prompt as prompt_user does. With no lines it is exactly prompt_user.
ZV_API char *prompt_user_with_info(pam_handle_t *pamh, int style, const char *prompt,
                                   const char *const *info_lines, int count);

// Writes one record to the system log (facility LOG_AUTH, with the process ID) under the
// record's logname, or "pam_zelvane(unknown)" without one, straight to the log socket: the
// host's openlog settings are left as they are. LOG_DEBUG records are written only when
// params->debug.
ZV_API void syslog_message(const module_params *params, int priority, const char *format, ...)
    ZV_PRINTF(3, 4);

ZV_API_END

// Log with the "%s[%d]: " prefix naming the calling function and the source line.
#define ZV_LOG(params, priority, fmt, ...)                                                         \
  syslog_message((params), (priority), "%s[%d]: " fmt, __func__,                                   \
                 __LINE__ __VA_OPT__(, ) __VA_ARGS__)
// The same, under an explicit name (for records a step writes in another function's name).
#define ZV_LOG_AS(name, params, priority, fmt, ...)                                                \
  syslog_message((params), (priority), "%s[%d]: " fmt, (name), __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace zv {

// A text from outside (a server's reply or message, a user name, a host) made fit for one log
// record: control characters, DEL and backslashes escaped as \xHH, at most the first
// kLogTextMax bytes of it, and " ... (N bytes)" noted when it was cut. Null shows as "(null)".
// As a `field` of a key=value record it has its blanks escaped too, so that it stays one field.
class LogText {
public:
  static constexpr size_t kLogTextMax = 1024;
  explicit LogText(const char *text, bool field = false) noexcept;
  // The first `len` bytes of `text` (which need not be NUL-terminated there).
  LogText(const char *text, size_t len, bool field = false) noexcept;
  // A user name: a code typed after its last colon (the "name:code" form) shows as "***".
  static LogText user(const char *name, bool field = false) noexcept {
    return LogText(MaskCode{}, name, field);
  }
  LogText(const LogText &) = delete;
  LogText &operator=(const LogText &) = delete;
  const char *c_str() const noexcept { return buf_; }

private:
  struct MaskCode {};
  LogText(MaskCode, const char *name, bool field) noexcept;
  char buf_[kLogTextMax * 4 + 48];
};

} // namespace zv
