// zelvane-check: what an administrator runs to see whether the module's configuration works. It
// uses the module's own code (the option table and parser, the transport, the trust store, the
// offline store) through the static core library, never copies of it.
#pragma once

#include <cstdarg>

namespace zvcheck {

// Findings, one line each, fit for a monitoring check: "ok|warning|error AREA: text", and the
// effective settings as "setting key=value". The exit status is that of the worst finding: 0
// all well, 1 warnings only, 2 an error.
class Report {
public:
  enum Level { ok = 0, warning = 1, error = 2 };
  void say(Level level, const char *area, const char *format, ...)
      __attribute__((format(printf, 4, 5)));
  void setting(const char *key, const char *value);
  void summary() const;
  int exit_status() const { return worst_; }

private:
  int worst_ = ok;
  int counts_[3] = {};
};

// The configuration file, the effective settings, the CA file and every server (one request for
// a user that no account can have).
void check_configuration(Report &report);

// One login for `user` through the installed module and libpam, the terminal as conversation,
// with /etc/pam.d/SERVICE or (service null) a one-line stack of the installed module. Returns the
// exit status: 0 when PAM_SUCCESS, else 2.
int run_login(const char *user, const char *service);

// How many offline codes each user (or `user` alone) has left; counts only.
void count_offline_codes(Report &report, const char *user);

} // namespace zvcheck
