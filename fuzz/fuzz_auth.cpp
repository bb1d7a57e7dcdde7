// Drives pam_sm_authenticate end to end, as a PAM application would through libpam, with a
// scripted conversation and canned server replies. The input is split at NUL bytes into
//   1. the module arguments, one a line;
//   2. the user name (its first line) and, on the lines after it, a password that a module
//      earlier in the stack left as PAM_AUTHTOK;
//   3. the answers to the prompts, one a line (a line of byte 0x02 is a response without text;
//      once they run out the conversation fails);
//   4. and each further part: the server's reply to one request, in order. A part that starts
//      with byte 0x01 is a request that fails; once the parts run out every request fails.
// Neither libpam nor the network is involved: the PAM functions the module calls and the
// transport's requests are replaced here. The module's clock is replaced too: its pauses pass at
// once and move the clock on, so a push wait (cut to a few seconds by an argument after the
// fuzzed ones) costs no real time.
//
// Besides the sanitizers' checks, every run checks the result: never a code that would make the
// stack skip or resume the module, and success only for the probe, for a member of a group (the
// bypass), or after the server answered at least once (offline codes, too, are stored from an
// answer of the same run).
//
// The configuration file has a fixed path: LLVMFuzzerInitialize writes it, and a member of the
// bypass group into /etc/group, so the target refuses to run outside tests/support/ns-run.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <grp.h>
#include <map>
#include <security/pam_appl.h>
#include <security/pam_modules.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "config/params.h"
#include "pam/pam_zelvane.h"
#include "transport/transport.h"

namespace {

// After the fuzzed arguments, so that it wins: a push waits for at most this many polls.
constexpr const char *kPushWaitCap = "max_push_wait_secs=12";
constexpr size_t kMaxArguments = 64;
constexpr char kFailedRequest = '\x01';
constexpr const char *kNoText = "\x02";

std::vector<std::string> split(const std::string &text, char separator) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return out;
    start = end + 1;
  }
}

// Reads every byte of a text the module handed over, so that the sanitizers check it.
size_t touch(const char *text) {
  size_t sum = 0;
  for (const char *p = text; p != nullptr && *p != '\0'; p++) sum += static_cast<unsigned char>(*p);
  return sum;
}

// The state of one PAM transaction: what the application and the other modules provide, and
// what the module stored in the handle.
struct Transaction {
  std::string user;
  bool has_authtok = false;
  std::string authtok;
  std::vector<std::string> answers;
  size_t next_answer = 0;
  std::vector<std::string> replies;
  size_t next_reply = 0;
  size_t answered = 0; // requests that got a reply
  pam_conv conv{};
  struct Data {
    void *data;
    void (*cleanup)(pam_handle_t *, void *, int);
  };
  std::map<std::string, Data> data;
  size_t seen = 0; // a sum over every text the module handed over
};

Transaction *g_transaction = nullptr;
std::set<std::string> *g_group_members = nullptr; // every member of every group in /etc/group
volatile size_t g_seen = 0;
thread_local bool t_in_module = false;

pam_handle_t *handle() { return reinterpret_cast<pam_handle_t *>(g_transaction); }

int conversation(int num_msg, const pam_message **msg, pam_response **resp, void *appdata) {
  auto *t = static_cast<Transaction *>(appdata);
  *resp = nullptr;
  if (num_msg <= 0) return PAM_CONV_ERR;
  auto *replies =
      static_cast<pam_response *>(std::calloc(static_cast<size_t>(num_msg), sizeof(pam_response)));
  if (replies == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < num_msg; i++) {
    t->seen += touch(msg[i]->msg);
    if (msg[i]->msg_style != PAM_PROMPT_ECHO_OFF && msg[i]->msg_style != PAM_PROMPT_ECHO_ON)
      continue;
    if (t->next_answer >= t->answers.size()) {
      for (int j = 0; j < i; j++) std::free(replies[j].resp);
      std::free(replies);
      return PAM_CONV_ERR;
    }
    const std::string &answer = t->answers[t->next_answer++];
    if (answer != kNoText) replies[i].resp = strdup(answer.c_str());
  }
  *resp = replies;
  return PAM_SUCCESS;
}

// Each input starts without offline codes: the files the module wrote go with the run (all but
// the configuration in its directory).
void remove_offline_codes() {
  DIR *dir = opendir(ZV_CONFIG_DIR);
  if (dir == nullptr) return;
  while (const dirent *entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "pam_zelvane.conf")
      unlinkat(dirfd(dir), name.c_str(), 0);
  }
  closedir(dir);
}

// Ends the transaction as pam_end would: every datum's cleanup runs.
void end_transaction(Transaction *t) {
  for (auto &[name, d] : t->data)
    if (d.cleanup != nullptr) d.cleanup(handle(), d.data, PAM_SUCCESS);
  t->data.clear();
}

} // namespace

// --- The PAM library, as far as the module uses it --------------------------------------------

extern "C" int pam_get_user(pam_handle_t *pamh, const char **user, const char *) {
  if (pamh != handle()) std::abort();
  *user = g_transaction->user.c_str();
  return PAM_SUCCESS;
}

extern "C" int pam_get_item(const pam_handle_t *pamh, int item_type, const void **item) {
  if (pamh != handle() || item == nullptr) std::abort();
  switch (item_type) {
  case PAM_SERVICE:
    *item = "fuzz";
    return PAM_SUCCESS;
  case PAM_USER:
    *item = g_transaction->user.c_str();
    return PAM_SUCCESS;
  case PAM_CONV:
    *item = &g_transaction->conv;
    return PAM_SUCCESS;
  case PAM_AUTHTOK:
    *item = g_transaction->has_authtok ? g_transaction->authtok.c_str() : nullptr;
    return PAM_SUCCESS;
  default:
    *item = nullptr;
    return PAM_BAD_ITEM;
  }
}

extern "C" int pam_set_item(pam_handle_t *pamh, int item_type, const void *item) {
  if (pamh != handle()) std::abort();
  if (item_type != PAM_AUTHTOK) return PAM_BAD_ITEM;
  g_transaction->has_authtok = item != nullptr;
  g_transaction->authtok = item != nullptr ? static_cast<const char *>(item) : "";
  return PAM_SUCCESS;
}

extern "C" int pam_get_data(const pam_handle_t *pamh, const char *name, const void **data) {
  if (pamh != handle()) std::abort();
  const auto it = g_transaction->data.find(name);
  if (it == g_transaction->data.end()) return PAM_NO_MODULE_DATA;
  *data = it->second.data;
  return PAM_SUCCESS;
}

extern "C" int pam_set_data(pam_handle_t *pamh, const char *name, void *data,
                            void (*cleanup)(pam_handle_t *, void *, int)) {
  if (pamh != handle()) std::abort();
  const auto it = g_transaction->data.find(name);
  if (it != g_transaction->data.end()) {
    if (it->second.cleanup != nullptr) it->second.cleanup(pamh, it->second.data, PAM_DATA_REPLACE);
    g_transaction->data.erase(it);
  }
  g_transaction->data[name] = {data, cleanup};
  return PAM_SUCCESS;
}

// --- The server -------------------------------------------------------------------------------

zv::transport::Posted zv::transport::post(const module_params *params, const char *body,
                                          char **json_response) {
  if (params == nullptr || body == nullptr || json_response == nullptr) std::abort();
  g_transaction->seen += touch(body);
  *json_response = nullptr;
  if (g_transaction->next_reply >= g_transaction->replies.size()) return Posted::unreachable;
  const std::string &reply = g_transaction->replies[g_transaction->next_reply++];
  if (!reply.empty() && reply[0] == kFailedRequest) return Posted::unreachable;
  if (!reply.empty()) *json_response = strdup(reply.c_str());
  g_transaction->answered++;
  return Posted::ok;
}

extern "C" int post_json_request(const module_params *params, const char *body,
                                 char **json_response) {
  return zv::transport::post(params, body, json_response) == zv::transport::Posted::ok ? 1 : 0;
}

void zv::transport::pin_answering_server(const module_params *) {}
void zv::transport::unpin_server(const module_params *) {}

// The module's clock: while the module runs, the monotonic clock runs ahead of the real one by
// whatever the module slept, and its sleeps return at once (other threads, libFuzzer's own,
// keep the real clock and sleep for real).
namespace {
long long g_skew_ns = 0;
constexpr long long kNs = 1000000000LL;

long long ns_of(const timespec &t) { return static_cast<long long>(t.tv_sec) * kNs + t.tv_nsec; }
timespec timespec_of(long long ns) {
  return {static_cast<time_t>(ns / kNs), static_cast<long>(ns % kNs)};
}
} // namespace

extern "C" int clock_gettime(clockid_t clock, timespec *now) {
  const int rc = static_cast<int>(syscall(SYS_clock_gettime, clock, now));
  if (rc == 0 && t_in_module && clock == CLOCK_MONOTONIC)
    *now = timespec_of(ns_of(*now) + g_skew_ns);
  return rc;
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec *request,
                               timespec *remaining) {
  if (!t_in_module)
    return static_cast<int>(syscall(SYS_clock_nanosleep, clock, flags, request, remaining));
  timespec now{};
  clock_gettime(clock, &now);
  const long long wait =
      (flags & TIMER_ABSTIME) != 0 ? ns_of(*request) - ns_of(now) : ns_of(*request);
  if (wait > 0) g_skew_ns += wait;
  return 0;
}

extern "C" int nanosleep(const timespec *request, timespec *remaining) {
  return clock_nanosleep(CLOCK_MONOTONIC, 0, request, remaining);
}

// --- The fuzzer ---------------------------------------------------------------------------------

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *in_ns = std::getenv("ZV_IN_NS");
  if (in_ns == nullptr || std::strcmp(in_ns, "1") != 0) {
    std::fprintf(stderr, "fuzz_auth writes /etc: run it inside tests/support/ns-run\n");
    std::exit(1);
  }
  mkdir(ZV_CONFIG_DIR, 0700);
  std::ofstream(ZV_CONFIG_FILE, std::ios::trunc) << "host=zelvane.invalid\n";
  std::ofstream("/etc/group", std::ios::app) << "zelvane-bypass:x:4999:bypass\n";
  g_group_members = new std::set<std::string>;
  setgrent();
  while (const group *g = getgrent())
    for (char **member = g->gr_mem; member != nullptr && *member != nullptr; member++)
      g_group_members->insert(*member);
  endgrent();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::vector<std::string> parts =
      split(std::string(reinterpret_cast<const char *>(data), size), '\0');

  std::vector<std::string> arguments = split(parts[0], '\n');
  if (arguments.size() > kMaxArguments) arguments.resize(kMaxArguments);
  std::vector<const char *> argv;
  for (const std::string &a : arguments) argv.push_back(a.c_str());
  argv.push_back(kPushWaitCap);

  Transaction t;
  if (parts.size() > 1) {
    const std::vector<std::string> user = split(parts[1], '\n');
    t.user = user[0];
    t.has_authtok = user.size() > 1;
    if (t.has_authtok) t.authtok = parts[1].substr(user[0].size() + 1);
  }
  if (parts.size() > 2) t.answers = split(parts[2], '\n');
  for (size_t i = 3; i < parts.size(); i++) t.replies.push_back(parts[i]);
  t.conv = {conversation, &t};

  g_transaction = &t;
  g_skew_ns = 0;
  t_in_module = true;
  const int rc = pam_sm_authenticate(handle(), 0, static_cast<int>(argv.size()), argv.data());
  t_in_module = false;
  if (rc == PAM_IGNORE || rc == PAM_INCOMPLETE || rc == PAM_CONV_AGAIN || rc < 0 ||
      rc >= _PAM_RETURN_VALUES)
    __builtin_trap();
  if (rc == PAM_SUCCESS && t.user != ZV_PROBE_USER && g_group_members->count(t.user) == 0 &&
      t.answered == 0)
    __builtin_trap();
  end_transaction(&t);
  remove_offline_codes();
  g_seen = t.seen;
  g_transaction = nullptr;
  return 0;
}
