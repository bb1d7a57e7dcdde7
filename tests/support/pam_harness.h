// Runs PAM transactions through the real libpam (under pam_wrapper, via libpamtest) with a
// scripted conversation that records everything the module says.
#pragma once

#include <functional>
#include <map>
#include <ostream>
#include <security/pam_appl.h>
#include <string>
#include <vector>

namespace zvtest {

// One message the module sent through the conversation.
struct PamMessage {
  int style; // PAM_PROMPT_ECHO_OFF, PAM_PROMPT_ECHO_ON, PAM_ERROR_MSG, PAM_TEXT_INFO
  std::string text;
  bool operator==(const PamMessage &o) const { return style == o.style && text == o.text; }
};
void PrintTo(const PamMessage &m, std::ostream *os);
using PamMessages = std::vector<PamMessage>;

// Shorthands for expected messages.
inline PamMessage info(const std::string &text) { return {PAM_TEXT_INFO, text}; }
inline PamMessage error(const std::string &text) { return {PAM_ERROR_MSG, text}; }
inline PamMessage hidden(const std::string &text) { return {PAM_PROMPT_ECHO_OFF, text}; }
inline PamMessage shown(const std::string &text) { return {PAM_PROMPT_ECHO_ON, text}; }

// A conversation function that appends every message to the PamMessages its appdata points at
// and answers nothing (each response has no text).
int record_messages(int num_msg, const pam_message **msg, pam_response **resp, void *appdata);

// The application's side of the conversation.
struct Conversation {
  std::vector<std::string> answers; // answers to prompts (either echo style), in order
  // Fault injection at the Nth prompt (0-based); -1 = never.
  int fail_at_prompt = -1;                   // the conversation function returns PAM_CONV_ERR
  int no_response_at_prompt = -1;            // returns PAM_SUCCESS with no response array
  int null_text_at_prompt = -1;              // a response whose text is null
  std::function<void(int prompt)> at_prompt; // when set, called as each prompt comes
  // What happened:
  std::vector<PamMessage> seen; // every message of every call, in order
  std::vector<int> call_sizes;  // number of messages per conversation call
  int prompts = 0;              // prompts answered (or failed) so far
  size_t next_answer = 0;

  std::vector<std::string> infos() const;  // texts of PAM_TEXT_INFO messages
  std::vector<std::string> errors() const; // texts of PAM_ERROR_MSG messages
  std::vector<std::string> prompt_texts() const;
};

// Path of the built module.
std::string module_path();

// Writes a service file for pam_wrapper (PAM_WRAPPER_SERVICE_DIR is pointed at a private
// directory the first time). `lines` are full stack lines; use module_stack() for ours.
// pam_wrapper copies the service files once, at the first transaction of the process: write
// every service a test binary needs before its first pam_run (e.g. in every SetUp), under
// distinct names, and never change one afterwards.
void write_service(const std::string &service, const std::string &lines);
// "auth required <module> <args>\naccount required <module> <args>\n..." for all four types.
std::string module_stack(const std::string &args = "");

// Writes /etc/zelvane.d/pam_zelvane.conf (the test's private /etc).
void write_config(const std::string &text);
void remove_config();

// Runs pam_authenticate (or the given operations in one transaction) for `user`. Returns the
// result of the last operation. `ops` are libpamtest's PAMTEST_* values.
int pam_run(const std::string &service, const std::string &user, Conversation &conv,
            const std::vector<int> &ops = {});

// One pam_authenticate for `user` that should give `expected`; when it does, *env receives the
// PAM environment afterwards (pam_get_items.so, stacked below, copies the items it reads into
// it). Returns the result of pam_authenticate.
int pam_run_env(const std::string &service, const std::string &user, Conversation &conv,
                int expected, std::map<std::string, std::string> *env);

} // namespace zvtest
