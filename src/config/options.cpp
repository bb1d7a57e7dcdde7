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

// The longest text that a word alone may be shown as: longer than every option key.
constexpr size_t kMaxKeyShape = 40;

bool is_lower_or_digit(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

bool is_punctuation(char c) { return c > ' ' && c < 0x7f && !is_lower_or_digit(c) && !is_upper(c); }

// Whether `key` (n bytes) is `option` in any case, compared without the host's locale.
bool same_key_any_case(const char *key, size_t n, const char *option) {
  for (size_t i = 0; i < n; i++) {
    const char c = is_upper(key[i]) ? static_cast<char>(key[i] - 'A' + 'a') : key[i];
    if (c != option[i]) return false;
  }
  return option[n] == '\0';
}

// Whether `key` (n bytes) can be shown although no value follows it. It can when it has the
// shape of an option key: lower-case letters, digits, "_" and "-", a digit only where there is a
// "_" too (auth_mode_1fa); or when it is an option key in other case (Debug), or punctuation
// alone (a comment mark). Anything else ("s3cr3t", "QUJDREVG", a hex key) may be a pasted key
// or password.
bool can_show_alone(const char *key, size_t n) {
  bool shaped = n <= kMaxKeyShape, digit = false, underscore = false, punctuation = n > 0;
  for (size_t i = 0; i < n; i++) {
    const char c = key[i];
    shaped = shaped && (is_lower_or_digit(c) || c == '_' || c == '-');
    digit = digit || (c >= '0' && c <= '9');
    underscore = underscore || c == '_';
    punctuation = punctuation && is_punctuation(c);
  }
  if ((shaped && (!digit || underscore)) || punctuation) return true;
  for (const zv::Option &o : zv::options())
    if (same_key_any_case(key, n, o.key)) return true;
  return false;
}

// Whether `previous` leaves a value to come: it ends with "=" or ":", or it is, alone, the key
// of an option that takes a value (libpam splits "application_key = s3cr3t" at the blanks).
bool leaves_value(const char *previous) {
  if (previous == nullptr) return false;
  const char *p = skip_whitespace(previous);
  size_t n = std::strlen(p);
  while (n > 0 && is_space(p[n - 1])) n--;
  if (n == 0) return false;
  if (p[n - 1] == '=' || p[n - 1] == ':') return true;
  for (const zv::Option &o : zv::options())
    if (o.kind != zv::OptionKind::flag && std::strlen(o.key) == n && std::strncmp(p, o.key, n) == 0)
      return true;
  return false;
}

// An entry that no option took is logged by its key part only, and only when that cannot be a
// secret (zv::unrecognized_name); whatever comes after (a value, perhaps a key or a password in a
// misspelt or commented-out line) never reaches the log.
void log_unrecognized(const module_params *params, const char *entry, const char *previous) {
  const zv::EntryName name = zv::unrecognized_name(entry, previous);
  if (name.credential != nullptr)
    ZV_LOG_AS("parse_args", params, LOG_WARNING, "Unrecognized option ignored: %s (value hidden)",
              name.credential);
  else if (name.text != nullptr)
    ZV_LOG_AS("parse_args", params, LOG_WARNING, "Unrecognized option ignored: %s",
              zv::LogText(name.text, name.length).c_str());
  else
    ZV_LOG_AS("parse_args", params, LOG_WARNING,
              "Unrecognized option ignored: (%zu bytes, not shown)", std::strlen(entry));
}

} // namespace

// A key part followed by "=" or ":" and a value is a misspelt key; anything else without a
// value after it (a word alone, "QUJDREVG==", a word and a comment) is shown only when it cannot
// be a key or password, and never where the entry before it left a value to come.
zv::EntryName zv::unrecognized_name(const char *entry, const char *previous) {
  EntryName name{nullptr, 0, nullptr};
  if (entry == nullptr) return name;
  const char *key = skip_whitespace(entry);
  size_t n = 0;
  while (!ends_key(key[n])) n++;
  name.credential = glued_credential(key, n);
  if (name.credential != nullptr) return name;
  const char *rest = skip_whitespace(key + n);
  const bool separated =
      (*rest == '=' || *rest == ':') && *skip_whitespace(rest + std::strspn(rest, "=:")) != '\0';
  if (!separated && (leaves_value(previous) || !can_show_alone(key, n))) return name;
  name.text = entry;
  name.length = static_cast<size_t>(key - entry) + n;
  return name;
}

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
  const char *previous = nullptr;
  for (int i = 0; i < argc; i++) {
    const char *entry = argv != nullptr ? argv[i] : nullptr;
    if (entry == nullptr) {
      ZV_LOG(params, LOG_ERR, "NULL argv at index %d", i);
      previous = nullptr;
      continue;
    }
    if (!zv::apply_option(entry, params)) log_unrecognized(params, entry, previous);
    previous = entry;
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
