#include "pam_harness.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <security/pam_appl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libpamtest.h>
}

namespace zvtest {

namespace {

int conversation(int num_msg, const pam_message **msg, pam_response **resp, void *appdata) {
  auto *conv = static_cast<Conversation *>(appdata);
  conv->call_sizes.push_back(num_msg);
  *resp = nullptr;
  if (num_msg <= 0) return PAM_CONV_ERR;
  auto *replies =
      static_cast<pam_response *>(calloc(static_cast<size_t>(num_msg), sizeof(pam_response)));
  if (replies == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < num_msg; i++) {
    const int style = msg[i]->msg_style;
    conv->seen.push_back({style, msg[i]->msg != nullptr ? msg[i]->msg : ""});
    if (style != PAM_PROMPT_ECHO_OFF && style != PAM_PROMPT_ECHO_ON) continue;
    const int index = conv->prompts++;
    if (conv->at_prompt) conv->at_prompt(index);
    if (index == conv->fail_at_prompt) {
      for (int j = 0; j < i; j++) free(replies[j].resp);
      free(replies);
      return PAM_CONV_ERR;
    }
    if (index == conv->no_response_at_prompt) {
      for (int j = 0; j < i; j++) free(replies[j].resp);
      free(replies);
      return PAM_SUCCESS;
    }
    if (index == conv->null_text_at_prompt) continue;
    if (conv->next_answer < conv->answers.size())
      replies[i].resp = strdup(conv->answers[conv->next_answer++].c_str());
  }
  *resp = replies;
  return PAM_SUCCESS;
}

std::string service_dir() {
  const char *dir = getenv("PAM_WRAPPER_SERVICE_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  char tmpl[] = "/tmp/zv-pam-services.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  setenv("PAM_WRAPPER_SERVICE_DIR", tmpl, 1);
  // Libraries preloaded into the test (the sanitizers' runtime, the free scanner) must see the
  // module's calls, so its symbols are resolved through the global scope (this pam_wrapper
  // release reads the variable under uid_wrapper's name).
  setenv("PAM_WRAPPER_DISABLE_DEEPBIND", "1", 1);
  setenv("UID_WRAPPER_DISABLE_DEEPBIND", "1", 1);
  std::ofstream(std::string(tmpl) + "/other")
      << "auth required pam_deny.so\naccount required pam_deny.so\n";
  return tmpl;
}

std::vector<std::string> texts_of(const std::vector<PamMessage> &seen, int style) {
  std::vector<std::string> out;
  for (const auto &m : seen)
    if (m.style == style) out.push_back(m.text);
  return out;
}

} // namespace

void PrintTo(const PamMessage &m, std::ostream *os) {
  *os << "{" << m.style << ", \"" << m.text << "\"}";
}

int record_messages(int num_msg, const pam_message **msg, pam_response **resp, void *appdata) {
  auto *seen = static_cast<PamMessages *>(appdata);
  for (int i = 0; i < num_msg; i++) seen->push_back({msg[i]->msg_style, msg[i]->msg});
  *resp = static_cast<pam_response *>(calloc(static_cast<size_t>(num_msg), sizeof(pam_response)));
  return *resp != nullptr ? PAM_SUCCESS : PAM_BUF_ERR;
}

std::vector<std::string> Conversation::infos() const { return texts_of(seen, PAM_TEXT_INFO); }
std::vector<std::string> Conversation::errors() const { return texts_of(seen, PAM_ERROR_MSG); }
std::vector<std::string> Conversation::prompt_texts() const {
  std::vector<std::string> out;
  for (const auto &m : seen)
    if (m.style == PAM_PROMPT_ECHO_OFF || m.style == PAM_PROMPT_ECHO_ON) out.push_back(m.text);
  return out;
}

std::string module_path() { return ZV_MODULE_PATH; }

void write_service(const std::string &service, const std::string &lines) {
  std::ofstream(service_dir() + "/" + service, std::ios::trunc) << lines;
}

std::string module_stack(const std::string &args) {
  std::string out;
  for (const char *type : {"auth", "account", "password", "session"})
    out +=
        std::string(type) + " required " + module_path() + (args.empty() ? "" : " " + args) + "\n";
  return out;
}

void write_config(const std::string &text) {
  mkdir("/etc/zelvane.d", 0700);
  std::ofstream("/etc/zelvane.d/pam_zelvane.conf", std::ios::trunc) << text;
}

void remove_config() { unlink("/etc/zelvane.d/pam_zelvane.conf"); }

int pam_run(const std::string &service, const std::string &user, Conversation &conv,
            const std::vector<int> &ops) {
  service_dir();
  std::vector<pam_testcase> cases;
  for (int op : ops.empty() ? std::vector<int>{PAMTEST_AUTHENTICATE} : ops)
    cases.push_back(pam_testcase{static_cast<pamtest_ops>(op), 0, 0, 0, {nullptr}});
  const pamtest_err err = _pamtest_conv(service.c_str(), user.c_str(), conversation, &conv,
                                        cases.data(), cases.size(), nullptr);
  if (err != PAMTEST_ERR_OK && err != PAMTEST_ERR_CASE)
    throw std::runtime_error("libpamtest failed to run the transaction: " +
                             std::to_string(static_cast<int>(err)));
  return cases.back().op_rv;
}

int pam_run_env(const std::string &service, const std::string &user, Conversation &conv,
                int expected, std::map<std::string, std::string> *env) {
  service_dir();
  pam_testcase cases[] = {{PAMTEST_AUTHENTICATE, expected, 0, 0, {nullptr}},
                          {PAMTEST_GETENVLIST, PAM_SUCCESS, 0, 0, {nullptr}}};
  const pamtest_err err =
      _pamtest_conv(service.c_str(), user.c_str(), conversation, &conv, cases, 2, nullptr);
  if (err != PAMTEST_ERR_OK && err != PAMTEST_ERR_CASE)
    throw std::runtime_error("libpamtest failed to run the transaction: " +
                             std::to_string(static_cast<int>(err)));
  for (char **e = cases[1].case_out.envlist; e != nullptr && *e != nullptr; e++) {
    const char *eq = std::strchr(*e, '=');
    if (eq != nullptr) (*env)[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  pamtest_free_env(cases[1].case_out.envlist);
  return cases[0].op_rv;
}

} // namespace zvtest
