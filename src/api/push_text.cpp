// The application name and reason of a push request, which the phone shows its owner so that
// they can tell their own login from someone else's: push_app_name and push_reason with their
// placeholders filled in. The values come from outside (a remote host name may be anything the
// client's DNS says), so each is cleaned and capped before it reaches the phone.
#include <climits>
#include <cstring>
#include <security/pam_appl.h>
#include <unistd.h>

#include "api/api.h"

namespace {

constexpr size_t kValueMax = 64;
constexpr size_t kTextMax = ZV_PUSH_TEXT_SIZE - 1;

// The length of the UTF-8 character at `s` (`n` bytes left), or 0 when it is not a valid one
// (a stray continuation byte, an overlong form, a surrogate, or past U+10FFFF). *cp gets it.
size_t utf8_char(const unsigned char *s, size_t n, unsigned *cp) {
  const unsigned c = s[0];
  size_t len = 0;
  unsigned min = 0;
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    min = 0x80;
    *cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    min = 0x800;
    *cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    min = 0x10000;
    *cp = c & 0x07;
  } else {
    return 0;
  }
  if (n < len) return 0;
  for (size_t i = 1; i < len; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    *cp = (*cp << 6) | (s[i] & 0x3F);
  }
  const bool surrogate = *cp >= 0xD800 && *cp <= 0xDFFF;
  return *cp >= min && *cp <= 0x10FFFF && !surrogate ? len : 0;
}

bool is_control(unsigned cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

struct Text {
  char *out;
  size_t len = 0;
  bool cut = false;
  void add(const char *s, size_t n) {
    const size_t room = kTextMax - len;
    if (n > room) {
      n = room;
      cut = true;
    }
    std::memcpy(out + len, s, n);
    len += n;
  }
  // A cut may have split a character of the configured text: drop what is left of it.
  void finish() {
    if (cut) {
      size_t start = len;
      while (start > 0 && len - start < 3 &&
             (static_cast<unsigned char>(out[start - 1]) & 0xC0) == 0x80)
        start--;
      unsigned cp = 0;
      if (start > 0 && static_cast<unsigned char>(out[start - 1]) >= 0xC0 &&
          utf8_char(reinterpret_cast<unsigned char *>(out + start - 1), len - start + 1, &cp) == 0)
        len = start - 1;
    }
    out[len] = '\0';
  }
};

// Adds `value` without its control characters, DEL and invalid bytes, whole characters only,
// at most kValueMax bytes of it.
void add_value(Text *text, const char *value) {
  const auto *s = reinterpret_cast<const unsigned char *>(value != nullptr ? value : "");
  size_t n = std::strlen(reinterpret_cast<const char *>(s));
  size_t taken = 0;
  while (n > 0) {
    unsigned cp = 0;
    const size_t len = utf8_char(s, n, &cp);
    if (len == 0) {
      s++;
      n--;
      continue;
    }
    if (!is_control(cp)) {
      if (taken + len > kValueMax) break;
      text->add(reinterpret_cast<const char *>(s), len);
      taken += len;
    }
    s += len;
    n -= len;
  }
}

// A PAM text item, or `fallback` when the host set none (or an empty one).
const char *item_or(const module_params *params, int type, const char *fallback) {
  const void *item = nullptr;
  if (params->pamh == nullptr || pam_get_item(params->pamh, type, &item) != PAM_SUCCESS ||
      item == nullptr || static_cast<const char *>(item)[0] == '\0')
    return fallback;
  return static_cast<const char *>(item);
}

} // namespace

const char *expand_push_text(const module_params *params, const char *username, const char *pattern,
                             char *out) {
  if (pattern == nullptr) return nullptr;
  Text text{out};
  char host[HOST_NAME_MAX + 1] = {};
  for (const char *p = pattern; *p != '\0' && !text.cut; p++) {
    if (p[0] != '%' || p[1] == '\0') {
      text.add(p, 1);
      continue;
    }
    switch (p[1]) {
    case 'u':
      add_value(&text, username);
      break;
    case 's':
      add_value(&text, item_or(params, PAM_SERVICE, "unknown"));
      break;
    case 'h':
      if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
      add_value(&text, host);
      break;
    case 'r':
      add_value(&text, item_or(params, PAM_RHOST, "local"));
      break;
    case 't':
      add_value(&text, item_or(params, PAM_TTY, "-"));
      break;
    case '%':
      text.add("%", 1);
      break;
    default: // not a placeholder: stays as typed
      text.add(p, 2);
      break;
    }
    p++;
  }
  text.finish();
  return out;
}
