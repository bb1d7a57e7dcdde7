// What the four server operations share (exchange.cpp): one exchange with the server, the
// reading of its reply and the verdict on its errorCode, each reported with the messages and log
// lines that the operation's own table asks for. For the operations' files only.
#pragma once

#include <span>

#include "api/api.h"
#include "common/own.h"

namespace zv::api {

inline constexpr const char *kServerErrorMessage = "Server error. Please contact support.";
inline constexpr const char *kInvalidResponseMessage =
    "Invalid server response. Please contact support.";
inline constexpr const char *kConfigurationErrorMessage =
    "Configuration error. Please contact support.";

// How one exchange ended.
enum class Exchange {
  unreachable, // no server answered (network, time-out, TLS, 502/503/504, unusable response)
  failed,      // this side failed (memory or descriptors ran out): never an outage
  refused,     // a server answered with an HTTP error status
  no_reply,    // a 2xx response without a body
  reply,       // a reply body to read
};

// How an operation treats a reply it cannot use.
struct Operation {
  const char *name;         // the function name of its log lines
  bool tell_unusable;       // an unusable reply shows kServerErrorMessage
  bool needs_error_code;    // a reply without an integer "errorCode" is unusable
  bool newline_before_text; // log "error parsing json response:\n%s" (else ": %s")
  bool hide_offline_codes;  // log an unusable reply only up to its "offlineCodes" member
};

// What the reply's errorCode means to an operation: 0 passes, and codes without a rule are
// server errors.
enum class Verdict {
  pass,          // returned as it is, without a word (0, and quiet refusals)
  configuration, // "Configuration error" to the user, "pam_zelvane configuration error. (%d)"
  server_error,  // "Server error" to the user, "error_message: %s (%d)"
};
struct CodeRule {
  int code;
  Verdict verdict;
};

// Posts `body` (wiped and released here) with post_json_request. On Exchange::reply, *reply
// holds the reply body.
Exchange exchange(const module_params *params, Secret body, Secret *reply);

// The status of an exchange that brought no reply: ZV_STATUS_UNREACHABLE, or
// ZV_STATUS_LOCAL_FAILURE when this side failed; for an HTTP error,
// ZV_STATUS_BAD_REPLY after showing the server error message (the transport logged the status);
// for a missing body, ZV_STATUS_BAD_REPLY after telling the user and logging "error MISSING json
// response!".
int failed_exchange(const module_params *params, const Operation &op, Exchange how);

// True when `root` (the parsed reply) is usable by `op`; otherwise the reply text is logged as
// the operation says (its line breaks turned into blanks, in place) and false is returned.
bool reply_usable(const module_params *params, const Operation &op, const json_t *root,
                  Secret *reply);

// Tells the user and logs what `rules` say of `code` and returns the status: the code, but for
// a negative one (a refusal like any other, which must never pass for a local status), which
// becomes ZV_STATUS_NEGATIVE_CODE.
int judge(const module_params *params, const Operation &op, int code, const char *error_message,
          std::span<const CodeRule> rules);

// Reads the body of a completed exchange into *response with `parse` (a zeroed record that the
// caller releases). Returns 0 when the reply is usable, else ZV_STATUS_BAD_REPLY after reporting.
template <class Reply, class Parse>
int read_reply(const module_params *params, const Operation &op, Secret *reply, Reply *response,
               Parse parse) {
  parse(reply->get(), response);
  return reply_usable(params, op, response->root, reply) ? 0 : ZV_STATUS_BAD_REPLY;
}

// Sends `body` and reads the reply into *response: 0, or the status of the failure.
template <class Reply, class Parse>
int send_and_read(const module_params *params, const Operation &op, Secret body, Reply *response,
                  Parse parse) {
  Secret reply;
  const Exchange how = exchange(params, std::move(body), &reply);
  if (how != Exchange::reply) return failed_exchange(params, op, how);
  return read_reply(params, op, &reply, response, parse);
}

// A whole operation whose reply is a plain server_response: sends `body` (null: it could not be
// built), reads the reply and judges its errorCode by `rules`. Returns the operation status.
int plain_request(const module_params *params, const Operation &op, Secret body,
                  std::span<const CodeRule> rules);

} // namespace zv::api
