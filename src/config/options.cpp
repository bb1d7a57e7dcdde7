// The option language shared by the module arguments and the configuration file: flags that are
// a bare key, and "key = value" options whose value is text, a decimal integer or one character.
// A bad option is logged and skipped; nothing here can stop an authentication.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "common/own.h"
#include "config/option_table.h"
#include "config/params.h"
#include "pam/log.h"

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

bool ends_key(char c) { return c == '\0' || c == '=' || c == ':' || is_space(c); }

// The credential key that `key` (n characters) runs on from without a separator, as in a value
// typed straight after its key; null when there is none, or when `key` is an option key itself.
const char *glued_credential(const char *key, size_t n) {
  const char *glued = nullptr;
  for (const zv::Option &o : zv::options()) {
    const size_t len = std::strlen(o.key);
    if (len == n && std::strncmp(key, o.key, n) == 0) return nullptr;
    if ((o.traits & zv::kSecret) != 0 && len < n && std::strncmp(key, o.key, len) == 0 &&
        (glued == nullptr || len > std::strlen(glued)))
      glued = o.key;
  }
  return glued;
}

// An entry that no option took is logged by its key part only: its leading white space and what
// follows up to the first "=", ":" or white space. Whatever comes after (a value, perhaps a key
// or a password in a misspelt or commented-out line) never reaches the log.
void log_unrecognized(const module_params *params, const char *entry) {
  const char *key = skip_whitespace(entry);
  size_t n = 0;
  while (!ends_key(key[n])) n++;
  if (const char *credential = glued_credential(key, n)) {
    ZV_LOG_AS("parse_args", params, LOG_WARNING, "Unrecognized option ignored: %s (value hidden)",
              credential);
    return;
  }
  ZV_LOG_AS("parse_args", params, LOG_WARNING, "Unrecognized option ignored: %s",
            zv::LogText(entry, static_cast<size_t>(key - entry) + n).c_str());
}

} // namespace

// Offers the entry to every row; at most one can take it (a key followed by anything but "="
// is not that key), so the order of the rows is not observable.
bool zv::apply_option(const char *entry, module_params *params) {
  for (const zv::Option &o : zv::options()) {
    switch (o.kind) {
    case zv::OptionKind::flag:
      if (std::strcmp(entry, o.key) != 0) break;
      params->*o.number = o.set;
      return true;
    case zv::OptionKind::text:
      if (get_string_value(entry, o.key, &zv::text_of(params, o)) == 1) return true;
      break;
    case zv::OptionKind::integer:
      if (get_int_value(entry, o.key, o.initial, &(params->*o.number)) != 1) break;
      if (params->*o.number < o.minimum) params->*o.number = o.initial;
      return true;
    case zv::OptionKind::character:
      if (get_char_value(entry, o.key, &(params->*o.character)) == 1) return true;
      break;
    }
  }
  return false;
}

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
    if (!zv::apply_option(entry, params)) log_unrecognized(params, entry);
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
  zv::Secret copy(strdup(s));
  if (!copy) return nullptr;
  return strdup(trim_whitespace(copy.get()));
}
