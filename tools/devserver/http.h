// The HTTP/1.1 framing the module uses: one POST per connection, a Content-Length body, a reply
// and a close. Strict on purpose: anything else is refused with a status rather than guessed at.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devserver {

constexpr size_t kMaxHead = 16 * 1024;
constexpr size_t kMaxBody = 64 * 1024;

struct Request {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers; // as sent, values trimmed
  size_t head_length = 0;    // bytes up to and including the empty line
  size_t content_length = 0; // body bytes that follow the head
  // The first header of that name (case-insensitive), or nullptr.
  const std::string *header(std::string_view name) const;
};

// Parses the request head at the start of `data` into *out. Returns 0 when the head is complete
// and acceptable, 1 when more bytes are needed, or the HTTP status (400 and up) to refuse with.
int parse_head(std::string_view data, Request *out);

// The whole reply: status line, Content-Type, Content-Length, Connection: close, then `json`.
std::string http_reply(int status, const std::string &json);

// Standard Base64 with padding, no line breaks.
std::string base64(std::string_view bytes);

// True when `authorization` (the header's value) is Basic with exactly `expected` (Base64 of
// "ID:KEY"). Compared in constant time.
bool basic_matches(const std::string *authorization, const std::string &expected);

} // namespace devserver
