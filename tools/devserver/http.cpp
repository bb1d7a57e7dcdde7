#include "http.h"

#include <algorithm>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <strings.h>

namespace devserver {
namespace {

bool is_tchar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_token(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), is_tchar);
}

std::string_view trim_ows(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Content-Length as decimal digits only; -1 for anything else.
long long parse_length(std::string_view s) {
  if (s.empty() || s.size() > 12) return -1;
  long long n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

const char *reason(int status) {
  switch (status) {
  case 200:
    return "OK";
  case 400:
    return "Bad Request";
  case 401:
    return "Unauthorized";
  case 405:
    return "Method Not Allowed";
  case 408:
    return "Request Timeout";
  case 411:
    return "Length Required";
  case 413:
    return "Content Too Large";
  case 431:
    return "Request Header Fields Too Large";
  case 501:
    return "Not Implemented";
  case 505:
    return "HTTP Version Not Supported";
  default:
    return "Error";
  }
}

int parse_request_line(std::string_view line, Request *out) {
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos) return 400;
  const std::string_view method = line.substr(0, sp1);
  const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string_view version = line.substr(sp2 + 1);
  if (!is_token(method) || target.empty() || target.find(' ') != std::string_view::npos) return 400;
  if (version != "HTTP/1.1" && version != "HTTP/1.0")
    return version.starts_with("HTTP/") ? 505 : 400;
  out->method = method;
  out->target = target;
  return method == "POST" ? 0 : 405;
}

} // namespace

const std::string *Request::header(std::string_view name) const {
  for (const auto &[key, value] : headers)
    if (iequals(key, name)) return &value;
  return nullptr;
}

int parse_head(std::string_view data, Request *out) {
  *out = Request{};
  const size_t end = data.find("\r\n\r\n");
  if (end == std::string_view::npos) return data.size() >= kMaxHead ? 431 : 1;
  if (end + 4 > kMaxHead) return 431;
  const std::string_view head = data.substr(0, end + 2); // every line ends in CRLF
  out->head_length = end + 4;

  long long length = -1;
  size_t pos = 0;
  for (bool first = true; pos < head.size(); first = false) {
    const size_t eol = head.find("\r\n", pos);
    const std::string_view line = head.substr(pos, eol - pos);
    pos = eol + 2;
    // Bare CR or LF and other control bytes are how request smuggling starts: refuse them.
    if (std::any_of(line.begin(), line.end(), [](char c) {
          return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
        }))
      return 400;
    if (first) {
      if (const int status = parse_request_line(line, out); status != 0) return status;
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !is_token(line.substr(0, colon))) return 400;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trim_ows(line.substr(colon + 1));
    if (iequals(name, "Transfer-Encoding")) return 501;
    if (iequals(name, "Content-Length")) {
      const long long n = parse_length(value);
      if (n < 0 || (length >= 0 && n != length)) return 400;
      length = n;
    }
    out->headers.emplace_back(name, value);
  }
  if (length < 0) return 411;
  if (static_cast<unsigned long long>(length) > kMaxBody) return 413;
  out->content_length = static_cast<size_t>(length);
  return 0;
}

std::string http_reply(int status, const std::string &json) {
  std::string extra;
  if (status == 401) extra = "WWW-Authenticate: Basic realm=\"zelvane-devserver\"\r\n";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(json.size()) +
         "\r\n" + extra + "Connection: close\r\n\r\n" + json;
}

std::string base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                reinterpret_cast<const unsigned char *>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

bool basic_matches(const std::string *authorization, const std::string &expected) {
  if (authorization == nullptr) return false;
  std::string_view v = *authorization;
  const size_t sp = v.find(' ');
  if (sp == std::string_view::npos || !iequals(v.substr(0, sp), "Basic")) return false;
  const std::string_view token = trim_ows(v.substr(sp + 1));
  return token.size() == expected.size() &&
         CRYPTO_memcmp(token.data(), expected.data(), token.size()) == 0;
}

} // namespace devserver
