// One login through the installed module and the real libpam, with the terminal as the
// conversation: messages to standard output (errors to standard error), answers read from
// standard input, unechoed where the module asks so and standard input is a terminal.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <security/pam_appl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "check.h"
#include "common/own.h"
#include "pam/log.h"

namespace zvcheck {
namespace {

// The built-in stack's service name, in a private directory of its own.
constexpr const char kService[] = "zelvane-check";

// One answer line from standard input, without its line end; null at the end of input. With
// `hidden` and a terminal, the typing is not echoed.
char *read_answer(bool hidden) {
  termios saved{};
  const bool terminal = isatty(STDIN_FILENO) == 1;
  const bool quiet = hidden && terminal && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (quiet) {
    termios off = saved;
    off.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &off);
  }
  char *line = nullptr;
  size_t size = 0;
  const ssize_t n = getline(&line, &size, stdin);
  if (quiet) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  // The line end that an echoed answer would have shown.
  if (quiet || !terminal) std::putchar('\n');
  if (n < 0) {
    zv::wipe_free(line);
    return nullptr;
  }
  line[std::strcspn(line, "\r\n")] = '\0';
  return line;
}

int converse(int count, const pam_message **msgs, pam_response **out, void *) {
  *out = nullptr;
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  auto *resp =
      static_cast<pam_response *>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (resp == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; i++) {
    const pam_message *m = msgs[i];
    const char *text = m->msg != nullptr ? m->msg : "";
    switch (m->msg_style) {
    case PAM_PROMPT_ECHO_OFF:
    case PAM_PROMPT_ECHO_ON:
      std::fputs(text, stdout);
      std::fflush(stdout);
      resp[i].resp = read_answer(m->msg_style == PAM_PROMPT_ECHO_OFF);
      if (resp[i].resp == nullptr) {
        for (int j = 0; j < i; j++) zv::wipe_free(resp[j].resp);
        std::free(resp);
        return PAM_CONV_ERR;
      }
      break;
    case PAM_ERROR_MSG:
      std::fprintf(stderr, "%s\n", text);
      break;
    default:
      std::printf("%s\n", text);
      break;
    }
  }
  std::fflush(stdout);
  *out = resp;
  return PAM_SUCCESS;
}

// A private directory holding the built-in stack: the installed module alone. Nothing is
// written to /etc/pam.d.
class BuiltInStack {
public:
  bool create() {
    std::snprintf(dir_, sizeof dir_, "/tmp/zelvane-check.XXXXXX");
    if (mkdtemp(dir_) == nullptr) return false;
    std::snprintf(file_, sizeof file_, "%s/%s", dir_, kService);
    zv::UniquePtr<FILE> f(std::fopen(file_, "wx"));
    if (!f) return false;
    std::fprintf(f.get(), "auth required %s/pam_zelvane.so\n", ZV_PAM_MODULE_DIR);
    return std::fclose(f.release()) == 0;
  }
  const char *dir() const { return dir_; }
  BuiltInStack() = default;
  BuiltInStack(const BuiltInStack &) = delete;
  BuiltInStack &operator=(const BuiltInStack &) = delete;
  ~BuiltInStack() {
    if (file_[0] != '\0') unlink(file_);
    if (dir_[0] != '\0') rmdir(dir_);
  }

private:
  char dir_[64] = {};
  char file_[128] = {};
};

} // namespace

int run_login(const char *user, const char *service) {
  const pam_conv conv{converse, nullptr};
  pam_handle_t *pamh = nullptr;
  BuiltInStack stack;
  int rc = PAM_SUCCESS;
  if (service != nullptr) {
    rc = pam_start(service, user, &conv, &pamh);
  } else if (!stack.create()) {
    std::fprintf(stderr, "zelvane-check: cannot write the built-in stack: %s\n",
                 std::strerror(errno));
    return 2;
  } else {
    rc = pam_start_confdir(kService, user, &conv, stack.dir(), &pamh);
  }
  if (rc != PAM_SUCCESS) {
    std::printf("error login: pam_start: %s (%d)\n", pam_strerror(pamh, rc), rc);
    return 2;
  }
  rc = pam_authenticate(pamh, 0);
  std::printf("%s login: %s, service %s: %s (%d)\n", rc == PAM_SUCCESS ? "ok" : "error",
              zv::LogText::user(user).c_str(), service != nullptr ? service : "built-in stack",
              pam_strerror(pamh, rc), rc);
  pam_end(pamh, rc);
  return rc == PAM_SUCCESS ? 0 : 2;
}

} // namespace zvcheck
