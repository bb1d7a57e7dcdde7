// Fixture for the server operations: a loopback fake server, a real libpam handle whose
// conversation records what the module tells the user, and the captured system log. Most tests
// are tables of scripted replies and what the operation makes of each.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <security/pam_appl.h>
#include <string>
#include <syslog.h>
#include <utility>
#include <vector>

#include "api/api.h"
#include "fake_server.h"
#include "pam_harness.h"
#include "syslog_reader.h"

namespace zvtest {

inline const char *const kServerError = "Server error. Please contact support.";
inline const char *const kInvalidResponse = "Invalid server response. Please contact support.";
inline const char *const kConfigurationError = "Configuration error. Please contact support.";

// A reply of HTTP 200 with `json` as its body.
inline Reply json_reply(const std::string &json) { return http_reply(200, json); }
// A connection closed before any reply.
inline Reply dropped() { return Reply{.close_without_reply = true}; }

// A request body as the module sends it: one member a line, indented by two blanks, each value
// given as JSON text.
inline std::string json_body(const std::vector<std::pair<std::string, std::string>> &members) {
  std::string out = "{";
  const char *separator = "\n";
  for (const auto &[key, value] : members) {
    out += separator + ("  \"" + key + "\": " + value);
    separator = ",\n";
  }
  return out + "\n}";
}

// One scripted reply and what the operation makes of it: its status, the PAM code of a second
// call with the same reply (when the operation has one), what the user is told and the records
// of LOG_ERR and worse.
struct ReplyCase {
  Reply reply;
  int status;
  int pam;
  PamMessages said;
  LogLines errors;
};

// A reply that `operation` cannot read as an answer: the server error for the user, and the reply
// on one line in the log.
inline ReplyCase unreadable(const std::string &operation, const std::string &reply,
                            const std::string &logged) {
  return {json_reply(reply),
          ZV_STATUS_BAD_REPLY,
          PAM_AUTH_ERR,
          {error(kServerError)},
          {{LOG_ERR, operation + ": error parsing json response: " + logged}}};
}

class OperationTest : public ::testing::Test {
protected:
  void SetUp() override {
    syslog_capture_start();
    std::ofstream("/etc/pam.d/zv-api", std::ios::trunc) << "auth required pam_permit.so\n";
    conv_ = pam_conv{record_messages, &said};
    ASSERT_EQ(pam_start("zv-api", "alice", &conv_, &pamh), PAM_SUCCESS);
    configure({});
  }
  void TearDown() override {
    if (pamh != nullptr) pam_end(pamh, PAM_SUCCESS);
  }

  // Fresh settings for direct calls: the fake server's connection plus `extra` options.
  void configure(const std::vector<std::string> &extra) {
    free_params(params.get());
    params.params = module_params{};
    ASSERT_EQ(fake.fill_params(params.get(), pamh, extra), 0);
  }

  // Runs every case: its reply is queued for requests of `type`, `status` is called, and then,
  // with the same reply queued again, `pam` (unless null). What the user was told and what was
  // logged are those of the last call.
  void expect_cases(const std::string &type, const std::vector<ReplyCase> &cases,
                    const std::function<int()> &status, const std::function<int()> &pam = {}) {
    for (const ReplyCase &c : cases) {
      // The status line and the body, for the failure messages.
      const size_t body = c.reply.bytes.find("\r\n\r\n");
      const std::string what = body == std::string::npos ? c.reply.bytes
                                                         : c.reply.bytes.substr(0, 12) + " " +
                                                               c.reply.bytes.substr(body + 4);
      said.clear();
      syslog_clear();
      fake.queue(type, c.reply);
      EXPECT_EQ(status(), c.status) << what;
      if (pam) {
        said.clear();
        syslog_clear();
        fake.queue(type, c.reply);
        EXPECT_EQ(pam(), c.pam) << what;
      }
      EXPECT_EQ(said, c.said) << what;
      EXPECT_EQ(log_lines_up_to(LOG_ERR), c.errors) << what;
    }
  }

  // The same for an operation on alice's `secret` (a password or a code): `status` and then,
  // when given, `pam` are that operation's two functions.
  using Call = int (*)(const module_params *, const char *, const char *);
  void expect_cases(const std::string &type, const std::vector<ReplyCase> &cases, Call status,
                    Call pam, const char *secret) {
    expect_cases(
        type, cases, [=, this] { return status(params.get(), "alice", secret); },
        pam != nullptr
            ? std::function<int()>([=, this] { return pam(params.get(), "alice", secret); })
            : std::function<int()>());
  }

  // The bodies of the requests the server received, in order.
  std::vector<std::string> bodies() const {
    std::vector<std::string> out;
    for (const ZvRequest &r : fake.requests()) out.push_back(r.body);
    return out;
  }

  FakeZelvane fake;
  zv::ParamsScope params;
  PamMessages said;
  pam_conv conv_{};
  pam_handle_t *pamh = nullptr;
};

} // namespace zvtest
