// The configuration as the module reads it: the file (owner, modes, line ends, lines that no
// option takes), the effective settings with every secret masked, the CA file, and every server
// of `host`: each step of a connection made as a request makes it, then one request.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include "api/api.h"
#include "check.h"
#include "common/call.h"
#include "common/own.h"
#include "config/config_lines_int.h"
#include "config/option_table.h"
#include "config/params.h"
#include "pam/log.h"
#include "transport/transport.h"

namespace zvcheck {
namespace {

using Level = Report::Level;

// The user of the one request to each server: '/' and ':' can stand in no account name (they
// separate path components and passwd fields) and '<' is refused by useradd, so the server can
// refuse it without any account's failure count growing.
constexpr const char kNoSuchUser[] = "<zelvane.check>/no:account";
constexpr const char kCheckPassword[] = "zelvane-check";

// Reads the whole file (at most one byte more than the module accepts) into *out.
bool read_config(Report &r, zv::Secret *out) {
  // Opened as the module opens it: a link is followed, and O_NONBLOCK keeps a FIFO in its place
  // from blocking the check; only a regular file is read.
  zv::Fd fd(open(ZV_CONFIG_FILE, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    r.say(Report::error, "config", "%s cannot be opened: %s", ZV_CONFIG_FILE, std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    r.say(Report::error, "config", "%s is not a regular file", ZV_CONFIG_FILE);
    return false;
  }
  // One byte more than the module accepts tells a file that is too large.
  *out = zv::Secret::with_capacity(ZV_CONFIG_MAX_SIZE + 2);
  if (!*out) return false;
  while (out->size() <= ZV_CONFIG_MAX_SIZE) {
    const ssize_t n =
        read(fd.get(), out->get() + out->size(), ZV_CONFIG_MAX_SIZE + 1 - out->size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      r.say(Report::error, "config", "%s cannot be read: %s", ZV_CONFIG_FILE, std::strerror(errno));
      return false;
    }
    if (n == 0) break;
    out->grow_size(static_cast<size_t>(n));
  }
  if (out->size() > ZV_CONFIG_MAX_SIZE) {
    r.say(Report::error, "config", "%s is larger than %d bytes", ZV_CONFIG_FILE,
          ZV_CONFIG_MAX_SIZE);
    return false;
  }
  return true;
}

// Owner and mode of the directory and the file: both root's, the directory closed to group
// writes and to others (the module's own rule), the file to group and others (it holds keys).
void check_modes(Report &r) {
  struct stat st {};
  if (stat(ZV_CONFIG_DIR, &st) == 0) {
    const unsigned mode = st.st_mode & 07777;
    if ((mode & 027) != 0)
      r.say(Report::warning, "config",
            "%s has mode %04o: group writes or others allowed (keep 0700)", ZV_CONFIG_DIR, mode);
    if (st.st_uid != 0)
      r.say(Report::warning, "config", "%s is owned by uid %u, not root", ZV_CONFIG_DIR,
            static_cast<unsigned>(st.st_uid));
  }
  // The file the module reads (a link is followed); what is no regular file is reported when
  // it is opened.
  if (stat(ZV_CONFIG_FILE, &st) != 0 || !S_ISREG(st.st_mode)) return;
  const unsigned mode = st.st_mode & 07777;
  if ((mode & 077) != 0)
    r.say(Report::warning, "config", "%s has mode %04o: %s can %s it (keep 0600)", ZV_CONFIG_FILE,
          mode, (mode & 007) != 0 ? "others" : "the group", (mode & 022) != 0 ? "change" : "read");
  if (st.st_uid != 0)
    r.say(Report::warning, "config", "%s is owned by uid %u, not root", ZV_CONFIG_FILE,
          static_cast<unsigned>(st.st_uid));
}

// Lines that no option takes, and carriage returns (DOS line ends spoil flags).
void check_lines(Report &r, const zv::Secret &text) {
  if (std::memchr(text.get(), '\r', text.size()) != nullptr)
    r.say(Report::warning, "config",
          "%s has carriage returns (DOS line ends): a flag followed by one is not recognised",
          ZV_CONFIG_FILE);
  zv::Secret copy = zv::Secret::with_capacity(text.size() + 1);
  if (!copy || !copy.append(text.get(), text.size())) return;
  const char **argv = nullptr;
  int argc = 0;
  if (zv::split_config_lines(copy.get(), copy.size(), &argv, &argc) != 0) return;
  zv::HeapPtr<const char *> lines(argv);
  zv::ParamsScope scratch;
  for (int i = 0; i < argc; i++) {
    if (zv::apply_option(argv[i], scratch.get())) continue;
    int line = 1;
    for (const char *p = copy.get(); p < argv[i]; p++)
      if (*p == '\n' || *p == '\0') line++;
    // Named as the module's log names it, without the leading white space; a line that could
    // be a pasted key or password, or the value of the line before, only by its size.
    const zv::EntryName name = zv::unrecognized_name(argv[i], i > 0 ? argv[i - 1] : nullptr);
    const char *shown_key = name.text != nullptr ? skip_whitespace(name.text) : "";
    const size_t length =
        name.text != nullptr ? name.length - static_cast<size_t>(shown_key - name.text) : 0;
    char key[64];
    (void)std::snprintf(key, sizeof key, "%.*s", static_cast<int>(length), shown_key);
    if (name.credential != nullptr) {
      r.say(Report::warning, "config", "line %d: %s (value hidden) is no option", line,
            name.credential);
    } else if (length > 0) {
      const zv::Option *known = zv::find_option(key);
      const zv::LogText shown(shown_key, length, true);
      if (known == nullptr)
        r.say(Report::warning, "config", "line %d: %s is no option", line, shown.c_str());
      else if (known->kind == zv::OptionKind::flag)
        r.say(Report::warning, "config",
              "line %d: the flag %s is not recognised: it must stand alone on its line", line,
              shown.c_str());
      else
        r.say(Report::warning, "config", "line %d: the value of %s is not valid", line,
              shown.c_str());
    } else {
      r.say(Report::warning, "config", "line %d: not an option (%zu bytes, not shown)", line,
            std::strlen(argv[i]));
    }
  }
}

// The effective settings, one line a field; secrets show only whether they are set.
void print_settings(Report &r, const module_params *params) {
  char value[zv::LogText::kLogTextMax * 4 + 64];
  for (const zv::Option &o : zv::options()) {
    if ((o.traits & zv::kAlias) != 0) continue;
    switch (o.kind) {
    case zv::OptionKind::flag: {
      // A field that several keys set shows the key of its value; others show on or off.
      const zv::Option *named = nullptr;
      bool shared = false;
      for (const zv::Option &a : zv::options()) {
        if (a.number != o.number) continue;
        if (a.set != o.set) shared = true;
        if (a.set == params->*o.number) named = &a;
      }
      if (shared)
        r.setting(o.field, named != nullptr ? named->key : "?");
      else
        r.setting(o.key, params->*o.number == o.set ? "on" : "off");
      break;
    }
    case zv::OptionKind::text: {
      const char *text = zv::text_of(params, o);
      if (text == nullptr) {
        r.setting(o.key, "(not set)");
      } else if ((o.traits & zv::kSecret) != 0) {
        r.setting(o.key, text[0] != '\0' ? "(set, not shown)" : "(empty)");
      } else {
        const zv::LogText shown(text);
        (void)std::snprintf(value, sizeof value, "\"%s\"", shown.c_str());
        r.setting(o.key, value);
      }
      break;
    }
    case zv::OptionKind::integer:
      (void)std::snprintf(value, sizeof value, "%d", params->*o.number);
      r.setting(o.key, value);
      break;
    case zv::OptionKind::character: {
      const char c[2] = {params->*o.character, '\0'};
      const zv::LogText shown(c);
      (void)std::snprintf(value, sizeof value, "\"%s\"", shown.c_str());
      r.setting(o.key, value);
      break;
    }
    }
  }
}

// The trust store the requests use: readable, how many certificates, the earliest expiry.
bool check_ca(Report &r, const module_params *params) {
  const char *path = get_ca_certificates_path(params);
  if (path == nullptr) {
    if (params->ca_cert_file != nullptr)
      r.say(Report::error, "ca", "ca_cert_file %s cannot be read",
            zv::LogText(params->ca_cert_file).c_str());
    else
      r.say(Report::error, "ca", "no system CA file can be read");
    return false;
  }
  int count = 0;
  zv::UniquePtr<X509_STORE> store(zv::transport::trust_store_decoded(path, &count));
  if (!store || count == 0) {
    r.say(Report::error, "ca", "%s holds no certificate", zv::LogText(path).c_str());
    return false;
  }
  const ASN1_TIME *earliest = nullptr;
  const ASN1_TIME *latest = nullptr;
  STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(store.get());
  for (int i = 0; i < sk_X509_OBJECT_num(objects); i++) {
    X509 *cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    if (cert == nullptr) continue;
    const ASN1_TIME *t = X509_get0_notAfter(cert);
    if (earliest == nullptr || ASN1_TIME_compare(t, earliest) < 0) earliest = t;
    if (latest == nullptr || ASN1_TIME_compare(t, latest) > 0) latest = t;
  }
  char when[32] = "?";
  tm parts{};
  if (earliest != nullptr && ASN1_TIME_to_tm(earliest, &parts) == 1)
    (void)std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &parts);
  if (latest != nullptr && X509_cmp_current_time(latest) < 0) {
    r.say(Report::error, "ca", "%s: every one of its %d certificates has expired",
          zv::LogText(path).c_str(), count);
    return false;
  }
  r.say(Report::ok, "ca", "%s: %d certificate%s, the earliest expiring %s",
        zv::LogText(path).c_str(), count, count == 1 ? "" : "s", when);
  return true;
}

// "server <name:port>", the area of a server's findings.
struct ServerArea {
  char text[sizeof(zv::LogText) + 8];
  explicit ServerArea(const char *server) {
    const zv::LogText name(server, true);
    (void)std::snprintf(text, sizeof text, "server %s", name.c_str());
  }
  operator const char *() const { return text; }
};

void print_steps(char *buf, size_t size, const zv::transport::ServerCheck &c, bool proxied) {
  int n = std::snprintf(buf, size, "%s", proxied ? "through the proxy: " : "");
  auto step = [&](const char *what, double ms) {
    if (ms >= 0 && n >= 0 && static_cast<size_t>(n) < size)
      n += std::snprintf(buf + n, size - n, "%s %.1f ms, ", what, ms);
  };
  step("resolved in", c.resolve_ms);
  if (c.connect_ms >= 0 && n >= 0 && static_cast<size_t>(n) < size)
    n += std::snprintf(buf + n, size - n, "connected to %s in %.1f ms, ", c.address, c.connect_ms);
  step("TLS handshake and name check in", c.handshake_ms);
  if (n >= 2 && static_cast<size_t>(n) < size) buf[n - 2] = '\0'; // the last ", "
}

// One validate_user request for a user that no account can have, to this server alone: any
// judgement of the user shows that the server answers and takes the application credentials.
void check_request(Report &r, module_params *params, const char *server) {
  char *all = params->host;
  params->host = strdup(server);
  if (params->host == nullptr) {
    params->host = all;
    return;
  }
  zv_call call;
  params->call = &call;
  timespec start{}, end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const int status = validate_user_error_code(params, kNoSuchUser, kCheckPassword);
  clock_gettime(CLOCK_MONOTONIC, &end);
  params->call = nullptr;
  std::free(params->host);
  params->host = all;
  const double ms = static_cast<double>(end.tv_sec - start.tv_sec) * 1e3 +
                    static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e6;
  const ServerArea area(server);
  if (status == ZV_ERR_BAD_PASSWORD) {
    r.say(Report::ok, area,
          "request %.1f ms: the server answers and accepts the application credentials "
          "(a user that cannot exist refused, %d)",
          ms, status);
  } else if (status == 0) {
    r.say(Report::error, area,
          "request %.1f ms: the server accepted a password for a user that cannot exist", ms);
  } else if (status == ZV_ERR_CONFIGURATION) {
    r.say(Report::error, area,
          "request %.1f ms: the server reports a configuration error (%d): check "
          "application_key_id and application_key",
          ms, status);
  } else if (status == ZV_STATUS_BAD_REPLY &&
             (call.http_status == 401 || call.http_status == 403)) {
    r.say(Report::error, area,
          "request %.1f ms: HTTP %d: the server refuses the application credentials", ms,
          call.http_status);
  } else if (status == ZV_STATUS_BAD_REPLY && call.http_status >= 300) {
    r.say(Report::error, area, "request %.1f ms: HTTP %d (check path)", ms, call.http_status);
  } else if (status == ZV_STATUS_BAD_REPLY) {
    r.say(Report::error, area, "request %.1f ms: the reply is not a usable answer", ms);
  } else if (status < 0) {
    r.say(Report::error, area, "request %.1f ms: no answer", ms);
  } else {
    r.say(Report::warning, area,
          "request %.1f ms: the server answered with error code %d (expected %d for a user "
          "that cannot exist)",
          ms, status == ZV_STATUS_NEGATIVE_CODE ? -1 : status, ZV_ERR_BAD_PASSWORD);
  }
}

void check_servers(Report &r, module_params *params, bool ca_ok) {
  const int count = zv::transport::count_servers(params);
  if (count == 0) {
    r.say(Report::error, "server", "host names no usable server");
    return;
  }
  const bool proxied = params->proxy_server != nullptr && params->proxy_port != nullptr;
  if (proxied)
    r.say(Report::ok, "proxy", "requests go through %s:%s",
          zv::LogText(params->proxy_server).c_str(), zv::LogText(params->proxy_port).c_str());
  bool proxy_refused = false;
  for (int i = 0; i < count; i++) {
    zv::transport::ServerCheck c;
    const bool ok = zv::transport::check_server(params, i, &c);
    const ServerArea area(c.server);
    char steps[512];
    print_steps(steps, sizeof steps, c, proxied);
    // Every server is reached through the proxy: its refusal is said once. (Some proxies answer
    // refused credentials with 401.)
    if ((c.proxy_status == 407 || c.proxy_status == 401) && !proxy_refused) {
      proxy_refused = true;
      const bool sent = params->proxy_username != nullptr && params->proxy_username[0] != '\0' &&
                        params->proxy_password != nullptr && params->proxy_password[0] != '\0';
      r.say(Report::error, "proxy", "%s:%s refused the credentials (HTTP %d): %s",
            zv::LogText(params->proxy_server).c_str(), zv::LogText(params->proxy_port).c_str(),
            c.proxy_status,
            sent ? "check proxy_username and proxy_password"
                 : "it asks for some; set proxy_username and proxy_password");
    }
    if (!ok) {
      r.say(Report::error, area, "%s failed: %s%s%s", c.stage, c.failure, steps[0] ? "; " : "",
            steps);
      continue;
    }
    r.say(Report::ok, area, "%s; certificate %s, expires %s", steps, zv::LogText(c.subject).c_str(),
          c.not_after);
    if (ca_ok) check_request(r, params, c.server);
  }
}

} // namespace

void check_configuration(Report &r) {
  check_modes(r);
  zv::Secret text;
  if (!read_config(r, &text)) return;
  check_lines(r, text);
  text.reset();

  zv::ParamsScope scope;
  if (read_params(nullptr, 0, nullptr, scope.get()) != 0) {
    r.say(Report::error, "config", "the module cannot read %s", ZV_CONFIG_FILE);
    return;
  }
  print_settings(r, scope.get());
  // Only a warning: a module argument on the PAM line may still give auth_mode_2fa.
  if (scope->forward_pass != 0 && scope->auth_mode != auth_mode_2fa)
    r.say(Report::warning, "config",
          "forward_pass works only with auth_mode_2fa: unless the PAM line gives it, every login "
          "fails with a configuration error");
  const bool ca_ok = check_ca(r, scope.get());
  check_servers(r, scope.get(), ca_ok);
}

} // namespace zvcheck
