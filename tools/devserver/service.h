// The authentication server's side of the JSON contract: users, delivered codes and pushes, and
// the answer to one request body. No sockets here, so the fuzz target and tests can drive it.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace devserver {

// Answers the server gives besides 0.
constexpr int kBadPassword = 9001;
constexpr int kBadCode = 9003;
constexpr int kPushDenied = 9030;
constexpr int kPushPending = 9300;
constexpr int kBadRequest = 9999;

struct User {
  std::string name;
  std::string password;
  std::string totp_key; // raw key bytes (decoded base32); empty: no TOTP token
};

enum class PushState { pending, approved, denied };
enum class PushAuto { none, approve, deny };

struct Push {
  std::string id;
  std::string user;
  std::string method;
  int64_t created_ms = 0;
  int64_t auto_at_ms = -1; // when --push-auto decides it; -1: never
  PushState state = PushState::pending;
};

struct SentCode {
  std::string user;
  std::string code;
  int64_t expires_ms = 0;
};

struct Settings {
  PushAuto push_auto = PushAuto::none;
  int push_delay_secs = 3;
  int code_ttl_secs = 300;
};

// The clocks a request is judged by: wall time for TOTP steps, a monotonic one for lifetimes.
struct Now {
  time_t wall = 0;
  int64_t mono_ms = 0;
};
Now now();

struct Service {
  Settings settings;
  std::vector<User> users;
  std::vector<SentCode> codes;
  std::vector<Push> pushes; // oldest first
  // Receives the console lines (DELIVERED, PUSH, APPROVED, DENIED); the caller prints them.
  std::function<void(const std::string &)> announce;
  // Receives log lines (request summaries); the caller timestamps them.
  std::function<void(const std::string &)> log;
};

// The user alice / "alice-password" / JBSWY3DPEHPK3PXP, for a server started without --users.
User demo_user();

// Reads the users file: a JSON array of {"name", "password", "totp_secret" (base32, optional)}.
// Returns 0, or -1 with the reason in *error.
int load_users(const char *path, std::vector<User> *users, std::string *error);

// Answers one request body with the JSON text of the reply.
std::string handle_request(Service &service, std::string_view body, const Now &at);

// Lets --push-auto decide the pushes that are due and forgets old pushes and codes.
void expire(Service &service, const Now &at);
// Milliseconds until the next automatic push decision, or -1 when none is waiting.
int64_t next_auto_ms(const Service &service, const Now &at);

// Approves or denies a pending push, the latest pending one when `id` is empty. Returns 0 with
// a line for the operator in *message, or -1 with the reason in *message.
int decide_push(Service &service, const std::string &id, bool approve, std::string *message);

// The text with control characters and non-ASCII bytes shown as \xHH, for log lines.
std::string printable(std::string_view text);

} // namespace devserver
