// zelvane-check: checks the pam_zelvane configuration and its servers, runs one login through
// the installed module, or counts the users' offline codes. See zelvane-check(8).
#include <cstdio>
#include <cstring>

#include "check.h"

namespace zvcheck {

void Report::say(Level level, const char *area, const char *format, ...) {
  static constexpr const char *kNames[] = {"ok", "warning", "error"};
  if (level > worst_) worst_ = level;
  counts_[level]++;
  std::printf("%s %s: ", kNames[level], area);
  va_list ap;
  va_start(ap, format);
  std::vprintf(format, ap);
  va_end(ap);
  std::putchar('\n');
}

void Report::setting(const char *key, const char *value) {
  std::printf("setting %s=%s\n", key, value);
}

void Report::summary() const {
  std::printf("%s: %d error%s, %d warning%s\n",
              worst_ == error     ? "ERROR"
              : worst_ == warning ? "WARNING"
                                  : "OK",
              counts_[error], counts_[error] == 1 ? "" : "s", counts_[warning],
              counts_[warning] == 1 ? "" : "s");
  std::fflush(stdout);
}

} // namespace zvcheck

namespace {

int usage() {
  std::fputs("usage: zelvane-check\n"
             "       zelvane-check --user NAME [--service SERVICE]\n"
             "       zelvane-check --offline [NAME]\n",
             stderr);
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  const char *user = nullptr;
  const char *service = nullptr;
  bool offline = false;
  const char *offline_user = nullptr;
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (std::strcmp(arg, "--user") == 0 && i + 1 < argc) {
      user = argv[++i];
    } else if (std::strcmp(arg, "--service") == 0 && i + 1 < argc) {
      service = argv[++i];
    } else if (std::strcmp(arg, "--offline") == 0) {
      offline = true;
      if (i + 1 < argc && argv[i + 1][0] != '-') offline_user = argv[++i];
    } else {
      return usage();
    }
  }
  if ((offline && (user != nullptr || service != nullptr)) ||
      (service != nullptr && user == nullptr))
    return usage();
  if (user != nullptr) return zvcheck::run_login(user, service);

  zvcheck::Report report;
  if (offline)
    zvcheck::count_offline_codes(report, offline_user);
  else
    zvcheck::check_configuration(report);
  report.summary();
  return report.exit_status();
}
