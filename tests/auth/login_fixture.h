// Fixture for whole logins: the built module loaded by the real libpam (pam_wrapper), the
// loopback fake authentication server, the recording conversation and the captured system log.
#pragma once

#include <gtest/gtest.h>

#include <security/pam_appl.h>
#include <string>
#include <syslog.h>
#include <vector>

#include "fake_server.h"
#include "pam_harness.h"
#include "syslog_reader.h"

namespace zvtest {

inline constexpr const char *kPasswordPrompt = "Zelvane Password: ";
inline constexpr const char *kOtpPrompt = "Zelvane verification code: ";
inline constexpr const char *kMethodPrompt = "Select an authentication method: ";
inline constexpr const char *kOtpOrMethodPrompt =
    "Enter a Zelvane verification code or select an authentication method: ";
inline constexpr const char *kPushNotice =
    "Enter a verification code or press return to receive a push authentication request.";
inline constexpr const char *kNotEntered = "Verification code was not entered.";
inline constexpr const char *kInvalidChoice = "Invalid authentication method or code.";
inline constexpr const char *kSendingPush = "Sending push authentication request.";
inline constexpr const char *kWaiting = "Waiting for you to confirm the authentication request...";
inline constexpr const char *kTimedOut = "Push authentication request timed out.";
inline constexpr const char *kUnreachable =
    "Unable to connect to the server. Please contact support.";

// pam_wrapper copies the service files once, at the first transaction of the process: every
// stack a test binary uses is written before that, under a name of its own.
inline constexpr const char *kService = "zv-auth";                // the module alone
inline constexpr const char *kStackedService = "zv-auth-stacked"; // pam_set_items.so first
inline constexpr const char *kItemsService = "zv-auth-items";     // pam_get_items.so after
inline constexpr const char *kStackedItemsService = "zv-auth-stacked-items"; // both

inline void write_auth_services() {
  const std::string modules = std::string("auth required ") + ZV_PAM_WRAPPER_MODULES + "/";
  const std::string set_items = modules + "pam_set_items.so\n";
  const std::string get_items = modules + "pam_get_items.so\n";
  write_service(kService, module_stack());
  write_service(kStackedService, set_items + module_stack());
  write_service(kItemsService, module_stack() + get_items);
  write_service(kStackedItemsService, set_items + module_stack() + get_items);
}

class LoginTest : public ::testing::Test {
protected:
  void SetUp() override {
    syslog_capture_start();
    write_auth_services();
  }

  // Writes the configuration: the fake server's connection, debug, then `options`.
  void configure(std::vector<std::string> options) {
    options.insert(options.begin(), "debug");
    fake.write_config(options);
  }

  // One pam_authenticate for `user` with the given answers to the prompts.
  int login(const std::string &user, std::vector<std::string> answers) {
    conv = Conversation{};
    conv.answers = std::move(answers);
    return pam_run(service, user, conv);
  }

  // The types of the requests the server received, in order.
  std::vector<std::string> request_types() const {
    std::vector<std::string> out;
    for (const ZvRequest &r : fake.requests()) out.push_back(r.type);
    return out;
  }

  FakeZelvane fake;
  Conversation conv;
  std::string service = kService;
};

} // namespace zvtest
