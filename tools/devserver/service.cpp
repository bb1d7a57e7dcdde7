#include "service.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <jansson.h>
#include <liboath/oath.h>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <utility>

#include "common/own.h"

namespace devserver {
namespace {

using JsonPtr = zv::UniquePtr<json_t>;

constexpr int kTotpStepSecs = 30;
constexpr size_t kTotpWindow = 1;
constexpr int kOfflineCodes = 10;
// Memory stays bounded however many pushes or codes a client asks for.
constexpr size_t kMaxPushes = 1000;
constexpr size_t kMaxCodesPerUser = 10;
constexpr int64_t kPushLifetimeMs = 15 * 60 * 1000;

const char *const kChannels[] = {"sms", "email", "voice"};
const char *const kPushMethods[] = {"pushapp", "pushsmsquestion", "pushvoice"};

// A uniformly drawn number below `bound` (rejection sampling: no modulo bias).
uint32_t random_below(uint32_t bound) {
  const uint32_t limit = UINT32_MAX - UINT32_MAX % bound;
  for (;;) {
    uint32_t v = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char *>(&v), sizeof v) != 1) abort();
    if (v < limit) return v % bound;
  }
}

std::string random_digits(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += static_cast<char>('0' + random_below(10));
  return out;
}

std::string random_id() {
  unsigned char bytes[8];
  if (RAND_bytes(bytes, sizeof bytes) != 1) abort();
  std::string out;
  char hex[3];
  for (unsigned char b : bytes) {
    snprintf(hex, sizeof hex, "%02x", b);
    out += hex;
  }
  return out;
}

bool same_secret(const std::string &a, const std::string &b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool is_digits(const std::string &s, size_t count) {
  return s.size() == count &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

const User *find_user(const Service &service, const std::string &name) {
  for (const User &u : service.users)
    if (u.name == name) return &u;
  return nullptr;
}

struct Answer {
  int code = 0;
  const char *message = nullptr; // sent only with a non-zero code
  std::vector<std::pair<const char *, std::string>> extra;
};

std::string to_json(const Answer &a) {
  JsonPtr obj(json_object());
  json_object_set_new(obj.get(), "errorCode", json_integer(a.code));
  if (a.code != 0 && a.message != nullptr)
    json_object_set_new(obj.get(), "errorMessage", json_string(a.message));
  for (const auto &[key, value] : a.extra)
    json_object_set_new(obj.get(), key, json_string(value.c_str()));
  zv::HeapPtr<char> text(json_dumps(obj.get(), JSON_COMPACT | JSON_PRESERVE_ORDER));
  return text ? std::string(text.get()) : std::string("{\"errorCode\":9999}");
}

// A string member, or nullptr when absent or not a string.
const char *string_member(json_t *obj, const char *key) {
  return json_string_value(json_object_get(obj, key));
}

std::string offline_stock() {
  std::string out;
  for (int i = 0; i < kOfflineCodes; ++i) {
    if (i > 0) out += ',';
    out += random_digits(8);
  }
  return out;
}

Answer validate_user(Service &service, const std::string &name, const std::string &pw) {
  const User *user = find_user(service, name);
  // Compare even for an unknown user, so timing does not tell which names exist.
  const bool ok =
      same_secret(user != nullptr ? user->password : std::string(), pw) && user != nullptr;
  if (ok) return {};
  return {kBadPassword, "Invalid user name or password", {}};
}

// A push id in "otp" is a poll for that push's outcome.
bool poll_push(Service &service, const std::string &name, const std::string &id, Answer *out) {
  auto it = std::find_if(service.pushes.begin(), service.pushes.end(),
                         [&](const Push &p) { return p.id == id; });
  if (it == service.pushes.end()) return false;
  if (it->user != name) {
    *out = {kBadCode, "Invalid code", {}};
  } else if (it->state == PushState::pending) {
    *out = {kPushPending, "Push pending", {}};
  } else if (it->state == PushState::denied) {
    *out = {kPushDenied, "Push denied", {}};
  } else {
    service.pushes.erase(it); // an approval logs in once
    *out = {};
  }
  return true;
}

bool use_sent_code(Service &service, const std::string &name, const std::string &code,
                   const Now &at) {
  auto it = std::find_if(service.codes.begin(), service.codes.end(), [&](const SentCode &c) {
    return c.user == name && c.expires_ms > at.mono_ms && same_secret(c.code, code);
  });
  if (it == service.codes.end()) return false;
  service.codes.erase(it); // single use
  return true;
}

Answer validate_otp(Service &service, json_t *req, const std::string &name, const std::string &otp,
                    const Now &at) {
  Answer a{kBadCode, "Invalid code", {}};
  const User *user = find_user(service, name);
  if (user == nullptr) return a;
  if (!poll_push(service, name, otp, &a)) {
    if (use_sent_code(service, name, otp, at)) {
      a = {};
    } else if (!user->totp_key.empty() && is_digits(otp, 6) &&
               oath_totp_validate(user->totp_key.data(), user->totp_key.size(), at.wall,
                                  kTotpStepSecs, 0, kTotpWindow, otp.c_str()) >= 0) {
      a = {};
    }
  }
  json_t *ocodes = json_object_get(req, "ocodes");
  if (a.code == 0 && json_is_integer(ocodes) && json_integer_value(ocodes) == -1)
    a.extra.emplace_back("offlineCodes", offline_stock());
  return a;
}

Answer send_otp(Service &service, json_t *req, const std::string &name, const Now &at) {
  json_t *method = json_object_get(req, "deliveryMethod");
  if (!json_is_integer(method) || json_integer_value(method) < 0 || json_integer_value(method) > 2)
    return {kBadRequest, "deliveryMethod must be 0, 1 or 2", {}};
  if (find_user(service, name) == nullptr) return {kBadPassword, "Unknown user", {}};

  auto mine = [&](const SentCode &c) { return c.user == name; };
  while (std::count_if(service.codes.begin(), service.codes.end(), mine) >=
         static_cast<std::ptrdiff_t>(kMaxCodesPerUser))
    service.codes.erase(std::find_if(service.codes.begin(), service.codes.end(), mine));
  SentCode sent{name, random_digits(6),
                at.mono_ms + int64_t{service.settings.code_ttl_secs} * 1000};
  const std::string line = std::string("DELIVERED ") + kChannels[json_integer_value(method)] +
                           " code " + sent.code + " for " + name;
  service.codes.push_back(std::move(sent));
  service.announce(line);
  service.log(line);
  return {};
}

Answer send_push(Service &service, json_t *req, const std::string &name, const Now &at) {
  const char *method = string_member(req, "deliveryMethod");
  if (method == nullptr || std::none_of(std::begin(kPushMethods), std::end(kPushMethods),
                                        [&](const char *m) { return std::strcmp(m, method) == 0; }))
    return {kBadRequest, "deliveryMethod must be pushapp, pushsmsquestion or pushvoice", {}};
  if (find_user(service, name) == nullptr) return {kBadPassword, "Unknown user", {}};

  if (service.pushes.size() >= kMaxPushes) service.pushes.erase(service.pushes.begin());
  Push push;
  do {
    push.id = random_id();
  } while (std::any_of(service.pushes.begin(), service.pushes.end(),
                       [&](const Push &p) { return p.id == push.id; }));
  push.user = name;
  push.method = method;
  push.created_ms = at.mono_ms;
  if (service.settings.push_auto != PushAuto::none)
    push.auto_at_ms = at.mono_ms + int64_t{service.settings.push_delay_secs} * 1000;
  const char *app = string_member(req, "appName");
  const char *reason = string_member(req, "authnReason");
  service.announce("PUSH " + push.id + " " + push.method + " for " + name);
  service.log("push " + push.id + " app=" + printable(app != nullptr ? app : "") +
              " reason=" + printable(reason != nullptr ? reason : ""));
  Answer a;
  a.extra.emplace_back("authnUserReqId", push.id);
  service.pushes.push_back(std::move(push));
  return a;
}

void settle(Service &service, Push &push, bool approve) {
  push.state = approve ? PushState::approved : PushState::denied;
  service.announce(std::string(approve ? "APPROVED " : "DENIED ") + push.id + " for " + push.user);
}

} // namespace

Now now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return {time(nullptr), int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000};
}

User demo_user() {
  User u{"alice", "alice-password", {}};
  char *key = nullptr;
  size_t len = 0;
  if (oath_base32_decode("JBSWY3DPEHPK3PXP", 16, &key, &len) == OATH_OK)
    u.totp_key.assign(key, len);
  free(key);
  return u;
}

int load_users(const char *path, std::vector<User> *users, std::string *error) {
  users->clear();
  json_error_t jerr;
  JsonPtr root(json_load_file(path, JSON_REJECT_DUPLICATES, &jerr));
  if (!root) {
    *error = std::string(path) + ":" + std::to_string(jerr.line) + ": " + jerr.text;
    return -1;
  }
  if (!json_is_array(root.get()) || json_array_size(root.get()) == 0) {
    *error = std::string(path) + ": expected a non-empty JSON array of users";
    return -1;
  }
  size_t index = 0;
  json_t *entry = nullptr;
  json_array_foreach(root.get(), index, entry) {
    const std::string where = std::string(path) + ": user " + std::to_string(index + 1) + ": ";
    const char *name = string_member(entry, "name");
    const char *password = string_member(entry, "password");
    json_t *secret = json_object_get(entry, "totp_secret");
    if (name == nullptr || *name == '\0' || password == nullptr || *password == '\0') {
      *error = where + "\"name\" and \"password\" must be non-empty strings";
      return -1;
    }
    // Names appear in console lines that scripts parse: no blanks or control characters.
    if (std::any_of(name, name + strlen(name),
                    [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; })) {
      *error = where + "the name contains blanks or control characters";
      return -1;
    }
    if (std::any_of(users->begin(), users->end(), [&](const User &u) { return u.name == name; })) {
      *error = where + "duplicate name " + name;
      return -1;
    }
    User user{name, password, {}};
    if (secret != nullptr) {
      const char *text = json_string_value(secret);
      char *key = nullptr;
      size_t len = 0;
      if (text == nullptr || oath_base32_decode(text, strlen(text), &key, &len) != OATH_OK ||
          len == 0) {
        free(key);
        *error = where + "\"totp_secret\" must be a base32 string";
        return -1;
      }
      user.totp_key.assign(key, len);
      free(key);
    }
    users->push_back(std::move(user));
  }
  return 0;
}

std::string handle_request(Service &service, std::string_view body, const Now &at) {
  expire(service, at);
  json_error_t jerr;
  JsonPtr req(json_loadb(body.data(), body.size(), JSON_REJECT_DUPLICATES, &jerr));
  if (!req || !json_is_object(req.get())) {
    service.log("malformed request body");
    return to_json({kBadRequest, "Malformed JSON request", {}});
  }
  const char *type = string_member(req.get(), "type");
  const char *name = string_member(req.get(), "username");
  const std::string shown_type = printable(type != nullptr ? type : "(none)");
  Answer a;
  if (type == nullptr) {
    a = {kBadRequest, "Missing request type", {}};
  } else if (std::strcmp(type, "validate_user") != 0 &&
             std::strcmp(type, "validate_oath_otp") != 0 &&
             std::strcmp(type, "send_oath_otp") != 0 &&
             std::strcmp(type, "send_push_message") != 0) {
    a = {kBadRequest, "Unknown request type", {}};
  } else if (name == nullptr) {
    a = {kBadRequest, "Missing username", {}};
  } else if (std::strcmp(type, "validate_user") == 0) {
    const char *pw = string_member(req.get(), "pw");
    a = pw == nullptr ? Answer{kBadRequest, "Missing pw", {}} : validate_user(service, name, pw);
  } else if (std::strcmp(type, "validate_oath_otp") == 0) {
    const char *otp = string_member(req.get(), "otp");
    a = otp == nullptr ? Answer{kBadRequest, "Missing otp", {}}
                       : validate_otp(service, req.get(), name, otp, at);
  } else if (std::strcmp(type, "send_oath_otp") == 0) {
    a = send_otp(service, req.get(), name, at);
  } else {
    a = send_push(service, req.get(), name, at);
  }
  service.log(shown_type + " user=" + printable(name != nullptr ? name : "(none)") + " -> " +
              std::to_string(a.code) + (a.code == 0 || a.message == nullptr ? "" : " ") +
              (a.code == 0 || a.message == nullptr ? "" : a.message));
  return to_json(a);
}

void expire(Service &service, const Now &at) {
  for (Push &p : service.pushes)
    if (p.state == PushState::pending && p.auto_at_ms >= 0 && at.mono_ms >= p.auto_at_ms)
      settle(service, p, service.settings.push_auto == PushAuto::approve);
  std::erase_if(service.pushes,
                [&](const Push &p) { return at.mono_ms - p.created_ms > kPushLifetimeMs; });
  std::erase_if(service.codes, [&](const SentCode &c) { return c.expires_ms <= at.mono_ms; });
}

int64_t next_auto_ms(const Service &service, const Now &at) {
  int64_t next = -1;
  for (const Push &p : service.pushes) {
    if (p.state != PushState::pending || p.auto_at_ms < 0) continue;
    const int64_t wait = std::max<int64_t>(0, p.auto_at_ms - at.mono_ms);
    if (next < 0 || wait < next) next = wait;
  }
  return next;
}

int decide_push(Service &service, const std::string &id, bool approve, std::string *message) {
  Push *push = nullptr;
  for (auto it = service.pushes.rbegin(); it != service.pushes.rend() && push == nullptr; ++it)
    if (id.empty() ? it->state == PushState::pending : it->id == id) push = &*it;
  if (push == nullptr) {
    *message = id.empty() ? "no pending push" : "no push " + printable(id);
    return -1;
  }
  if (push->state != PushState::pending) {
    *message = "push " + push->id + " is already " +
               (push->state == PushState::approved ? "approved" : "denied");
    return -1;
  }
  settle(service, *push, approve);
  *message = std::string(approve ? "approved " : "denied ") + push->id + " for " + push->user;
  return 0;
}

std::string printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b >= 0x7f) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02x", b);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

} // namespace devserver
