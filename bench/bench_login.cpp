// Whole logins through the real libpam against zelvane-devserver on loopback: N logins with the
// module (password, then a TOTP code at its own prompt), and in the same run N logins done by
// pam_exec running bench/diy_login.sh, which makes the same two requests with curl. Each login
// is a fresh PAM handle (pam_start, pam_authenticate, pam_end), as a host makes one per user.
//
//   bench_login [N]     (default 200; needs root)
//
// It re-executes itself in a private mount namespace with a private copy of /etc
// (tests/support/ns-run), where it writes /etc/zelvane.d/pam_zelvane.conf, the services
// zv-bench and zv-bench-diy and a minimal "other" service, starts the development server with its
// state in a temporary folder and stops it at the end. Every login must succeed, or the benchmark
// stops with an error.
//
// Prints per-login medians of wall time and of CPU time of this process and its children (the
// shell and curl processes of pam_exec count; the server does not) and their ratios; then runs
// 2N more module logins alone and prints the RSS of this process (before, after, peak) and the
// heap in use before, halfway and after, which would keep growing if the module left something
// behind.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <liboath/oath.h>
#include <malloc.h>
#include <poll.h>
#include <security/pam_appl.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char kUser[] = "alice";
const char kPassword[] = "alice-password";
const char kTotpSecret[] = "JBSWY3DPEHPK3PXP"; // base32, the development server's demo user
const char kPath[] = "/AuthServer/REST/OATH/OathServer.aspx"; // the module's default path
const char kModuleService[] = "zv-bench";
const char kDiyService[] = "zv-bench-diy";
const int kWarmup = 5;

[[noreturn]] void die(const std::string &what) {
  std::fprintf(stderr, "bench_login: %s\n", what.c_str());
  std::exit(1);
}

double now_us(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// CPU of the children that have ended and been waited for: pam_exec waits for the script, the
// script for its curl processes.
double children_cpu_us() {
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  auto us = [](const timeval &tv) {
    return static_cast<double>(tv.tv_sec) * 1e6 + static_cast<double>(tv.tv_usec);
  };
  return us(ru.ru_utime) + us(ru.ru_stime);
}

// A "Key:   123 kB" line of /proc/self/status, in KiB.
long status_kib(const char *key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(in, line))
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  return -1;
}

// Bytes handed out by malloc and not yet freed, in every arena and in mmapped blocks.
size_t heap_in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Starts the high-water mark of the RSS afresh from the current RSS (Linux 4.0 and later).
bool reset_peak_rss() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string &path, const std::string &text, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) die(path + ": " + std::strerror(errno));
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                  fchmod(fd, mode) == 0;
  if (close(fd) != 0 || !ok) die(path + ": write failed");
}

int remove_entry(const char *path, const struct stat *, int, FTW *) { return remove(path); }

void remove_tree(const std::string &dir) {
  if (!dir.empty()) nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// --- The private /etc ---------------------------------------------------------------------------

std::string mount_namespace() {
  char link[64] = "";
  const ssize_t len = readlink("/proc/self/ns/mnt", link, sizeof link - 1);
  return len > 0 ? std::string(link, static_cast<size_t>(len)) : std::string();
}

// Re-executes the program under ns-run, which gives it a private mount namespace and a private
// copy of /etc. Since this program writes /etc/pam.d, it checks that it got them: the namespace
// must differ from the one it was started in, and /etc must be a mount point there.
void enter_private_etc(int argc, char **argv) {
  const char *outer = std::getenv("ZV_BENCH_OUTER_NS");
  if (outer == nullptr) {
    const std::string ns = mount_namespace();
    char self[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (ns.empty() || len <= 0) die(std::string("/proc/self: ") + std::strerror(errno));
    self[len] = '\0';
    setenv("ZV_BENCH_OUTER_NS", ns.c_str(), 1);
    // A ZV_IN_NS=1 left in the environment would make ns-run skip the unshare.
    unsetenv("ZV_IN_NS");
    std::vector<char *> args = {const_cast<char *>(ZV_BENCH_NS_RUN), self};
    for (int i = 1; i < argc; i++) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(ZV_BENCH_NS_RUN, args.data());
    die(std::string(ZV_BENCH_NS_RUN) + ": " + std::strerror(errno));
  }
  bool etc_mounted = false;
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, dev, root, point;
    fields >> id >> parent >> dev >> root >> point;
    if (point == "/etc") etc_mounted = true;
  }
  const std::string ns = mount_namespace();
  if (ns.empty() || ns == outer || !etc_mounted)
    die("not in a private mount namespace with its own /etc; refusing to write /etc/pam.d");
}

// --- The development server ---------------------------------------------------------------------

struct Server {
  pid_t pid = -1;
  std::string dir;   // temporary folder of the run, removed at the end
  std::string state; // its --state folder
  std::string log;   // its standard error
};

void stop_server(Server &server) {
  if (server.pid <= 0) return;
  kill(server.pid, SIGTERM);
  for (int i = 0; i < 50; i++) { // 5 s, then it is killed
    if (waitpid(server.pid, nullptr, WNOHANG) == server.pid) {
      server.pid = -1;
      return;
    }
    usleep(100 * 1000);
  }
  kill(server.pid, SIGKILL);
  waitpid(server.pid, nullptr, 0);
  server.pid = -1;
}

// The running server, stopped (and its folder removed) by an exit on any path.
Server *g_server = nullptr;

void clean_up() {
  if (g_server == nullptr) return;
  stop_server(*g_server);
  remove_tree(g_server->dir);
  g_server = nullptr;
}

[[noreturn]] void fail_with_server(Server &server, const std::string &what) {
  stop_server(server);
  const std::string log = read_file(server.log);
  die(what + "\n--- server log (last lines) ---\n" +
      log.substr(log.size() > 2000 ? log.size() - 2000 : 0));
}

// Starts the server on a free loopback port and waits (at most 15 s) for its "READY <port>".
void start_server(Server &server, const std::string &dir) {
  server.dir = dir;
  g_server = &server;
  if (std::atexit(clean_up) != 0) die("atexit failed");
  server.state = dir + "/server";
  server.log = dir + "/server.log";
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) die("pipe failed");
  const pid_t parent = getpid();
  server.pid = fork();
  if (server.pid < 0) die("fork failed");
  if (server.pid == 0) {
    // The server must not outlive a benchmark that dies without stopping it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    const int null = open("/dev/null", O_RDONLY);
    const int log = open(server.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null < 0 || log < 0 || dup2(null, 0) < 0 || dup2(out[1], 1) < 0 || dup2(log, 2) < 0)
      _exit(127);
    execl(ZV_BENCH_DEVSERVER, "zelvane-devserver", "--state", server.state.c_str(), "--port", "0",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string printed;
  const double deadline = now_us(CLOCK_MONOTONIC) + 15e6;
  bool ready = false;
  while (!ready) {
    const double left_ms = (deadline - now_us(CLOCK_MONOTONIC)) / 1e3;
    if (left_ms <= 0) break;
    pollfd pfd{out[0], POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left_ms) + 1) <= 0) continue;
    char buf[512];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break; // the server ended
    printed.append(buf, static_cast<size_t>(n));
    const size_t at = printed.find("READY ");
    ready = at != std::string::npos && printed.find('\n', at) != std::string::npos;
  }
  // Nothing more is read: the server prints only deliveries and pushes, which these logins
  // never cause, and it ignores SIGPIPE.
  close(out[0]);
  if (!ready) fail_with_server(server, "the development server did not start:\n" + printed);
}

// Occurrences of a line ending in `tail` (the server's log lines begin with a time stamp).
long count(const std::string &text, const std::string &tail) {
  long found = 0;
  for (size_t at = text.find(tail); at != std::string::npos; at = text.find(tail, at + 1))
    if (at > 0 && text[at - 1] == ' ') found++;
  return found;
}

// The value of "key=" in the server's configuration snippet.
std::string snippet_value(const std::string &snippet, const std::string &key) {
  std::istringstream lines(snippet);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

// --- Logins -------------------------------------------------------------------------------------

// The user's side of one login: answers the prompts in order and keeps every text PAM showed.
struct Dialogue {
  std::vector<std::string> answers;
  size_t prompts = 0;
  std::string transcript;
};

int converse(int n, const pam_message **msg, pam_response **resp, void *data) {
  auto *d = static_cast<Dialogue *>(data);
  *resp = nullptr;
  if (n <= 0) return PAM_CONV_ERR;
  auto *replies = static_cast<pam_response *>(calloc(static_cast<size_t>(n), sizeof **resp));
  if (replies == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < n; i++) {
    const int style = msg[i]->msg_style;
    d->transcript += std::string(msg[i]->msg != nullptr ? msg[i]->msg : "") + "\n";
    if (style != PAM_PROMPT_ECHO_OFF && style != PAM_PROMPT_ECHO_ON) continue;
    if (d->prompts >= d->answers.size() ||
        (replies[i].resp = strdup(d->answers[d->prompts].c_str())) == nullptr) {
      for (int j = 0; j < i; j++) free(replies[j].resp);
      free(replies);
      return PAM_CONV_ERR;
    }
    d->prompts++;
  }
  *resp = replies;
  return PAM_SUCCESS;
}

int login(const char *service, Dialogue &dialogue) {
  pam_conv conv{converse, &dialogue};
  pam_handle_t *pamh = nullptr;
  int rc = pam_start(service, kUser, &conv, &pamh);
  if (rc != PAM_SUCCESS) return rc;
  rc = pam_authenticate(pamh, 0);
  pam_end(pamh, rc);
  return rc;
}

std::string totp_now() {
  char *key = nullptr;
  size_t key_len = 0;
  if (oath_base32_decode(kTotpSecret, sizeof kTotpSecret - 1, &key, &key_len) != OATH_OK)
    die("oath_base32_decode failed");
  char code[16] = "";
  const int rc = oath_totp_generate(key, key_len, time(nullptr), OATH_TOTP_DEFAULT_TIME_STEP_SIZE,
                                    OATH_TOTP_DEFAULT_START_TIME, 6, code);
  free(key);
  if (rc != OATH_OK) die("oath_totp_generate failed");
  return code;
}

struct Samples {
  std::vector<double> wall, cpu; // microseconds
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Side {
  const char *name;
  const char *service;
  bool combined;  // password and code in one answer
  size_t prompts; // prompts a successful login shows
  Samples samples;
};

// One measured login; a failed one ends the benchmark.
void run_login(Server &server, Side &side, int index, bool record) {
  const std::string code = totp_now();
  Dialogue d;
  if (side.combined)
    d.answers = {std::string(kPassword) + "," + code};
  else
    d.answers = {kPassword, code};
  const double w0 = now_us(CLOCK_MONOTONIC);
  const double c0 = now_us(CLOCK_PROCESS_CPUTIME_ID) + children_cpu_us();
  const int rc = login(side.service, d);
  const double c1 = now_us(CLOCK_PROCESS_CPUTIME_ID) + children_cpu_us();
  const double w1 = now_us(CLOCK_MONOTONIC);
  if (rc != PAM_SUCCESS || d.prompts != side.prompts) {
    char what[256];
    std::snprintf(what, sizeof what, "%s login %d failed: %s (%d), %zu of %zu prompts answered",
                  side.name, index, pam_strerror(nullptr, rc), rc, d.prompts, side.prompts);
    fail_with_server(server, std::string(what) + "\n--- conversation ---\n" + d.transcript);
  }
  if (record) {
    side.samples.wall.push_back(w1 - w0);
    side.samples.cpu.push_back(c1 - c0);
  }
}

int parse_count(int argc, char **argv) {
  if (argc < 2) return 200;
  char *end = nullptr;
  errno = 0;
  const long n = std::strtol(argv[1], &end, 10);
  if (argc > 2 || errno != 0 || end == argv[1] || *end != '\0' || n < 1 || n > 1000000) {
    std::fprintf(stderr, "usage: %s [N]   (logins per side, default 200)\n", argv[0]);
    std::exit(2);
  }
  return static_cast<int>(n);
}

} // namespace

int main(int argc, char **argv) {
  const int n = parse_count(argc, argv);
  if (geteuid() != 0) die("needs root (a private mount namespace for /etc)");
  enter_private_etc(argc, argv);
  if (oath_init() != OATH_OK) die("oath_init failed");

  char tmpl[] = "/tmp/zv-bench-login.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) die("mkdtemp failed");
  const std::string dir = tmpl;
  Server server;
  start_server(server, dir);

  const std::string snippet = read_file(server.state + "/pam_zelvane.conf.snippet");
  const std::string host = snippet_value(snippet, "host"), port = snippet_value(snippet, "port");
  const std::string ca = snippet_value(snippet, "ca_cert_file");
  const std::string url = "https://" + host + ":" + port + kPath;
  // A PAM stack line splits its arguments at white space.
  if (host.empty() || port.empty() || ca.empty() || ca.find_first_of(" \t") != std::string::npos)
    fail_with_server(server, "unexpected configuration snippet:\n" + snippet);
  write_file("/etc/zelvane.d/pam_zelvane.conf", snippet + "auth_mode_1fa_2fa\n", 0600);
  // libpam loads the "other" stack along with every service's; the host's (pam_unix and
  // friends) would add the same fixed cost to both sides.
  write_file("/etc/pam.d/other",
             "auth required pam_deny.so\naccount required pam_deny.so\n"
             "password required pam_deny.so\nsession required pam_deny.so\n",
             0644);
  write_file(std::string("/etc/pam.d/") + kModuleService,
             std::string("auth required ") + ZV_BENCH_MODULE + "\n", 0644);
  write_file(std::string("/etc/pam.d/") + kDiyService,
             std::string("auth required pam_exec.so expose_authtok quiet ") + ZV_BENCH_DIY_SCRIPT +
                 " " + url + " " + ca + "\n",
             0644);

  Side module{"pam_zelvane", kModuleService, false, 2, {}};
  Side diy{"pam_exec + curl", kDiyService, true, 1, {}};

  const long rss_start = status_kib("VmRSS");
  for (int i = 0; i < kWarmup; i++) {
    run_login(server, module, i, false);
    run_login(server, diy, i, false);
  }
  for (Side *side : {&module, &diy}) {
    side->samples.wall.reserve(static_cast<size_t>(n));
    side->samples.cpu.reserve(static_cast<size_t>(n));
  }
  // Interleaved, so that drift in machine load hits both alike, and alternating which goes
  // first, so that what one leaves behind does not always fall on the same side.
  for (int i = 0; i < n; i++) {
    if (i % 2 == 1) run_login(server, diy, i, true);
    run_login(server, module, i, true);
    if (i % 2 == 0) run_login(server, diy, i, true);
  }

  // Memory: 2N more module logins alone. Heap in use that kept growing over the second N would
  // be something the module leaves behind. malloc counts the chunks held in its per-thread cache
  // as in use, and that cache fills over the first few hundred logins; then the figure is flat.
  const long rss_before = status_kib("VmRSS");
  const bool peak_reset = reset_peak_rss();
  size_t heap[3] = {heap_in_use(), 0, 0};
  for (int half = 1; half <= 2; half++) {
    for (int i = 0; i < n; i++) run_login(server, module, i, false);
    heap[half] = heap_in_use();
  }
  const long rss_after = status_kib("VmRSS"), rss_peak = status_kib("VmHWM");

  // The server's own count: every login made both requests and had both accepted.
  stop_server(server);
  const std::string log = read_file(server.log);
  const long logins = 2L * (kWarmup + n) + 2L * n;
  const long users = count(log, std::string("validate_user user=") + kUser + " -> 0\n");
  const long codes = count(log, std::string("validate_oath_otp user=") + kUser + " -> 0\n");
  if (users != logins || codes != logins) {
    char what[160];
    std::snprintf(what, sizeof what,
                  "the server accepted %ld passwords and %ld codes in %ld logins", users, codes,
                  logins);
    fail_with_server(server, what);
  }
  clean_up();
  oath_done();

  const double mw = median(module.samples.wall), mc = median(module.samples.cpu);
  const double dw = median(diy.samples.wall), dc = median(diy.samples.cpu);
  std::printf("logins per side       %d, user %s, after %d warm-up logins each\n", n, kUser,
              kWarmup);
  std::printf("checked               all %ld logins of the run succeeded, and the server accepted "
              "a password\n                      and a code in each\n",
              logins);
  std::printf("pam_zelvane           auth_mode_1fa_2fa: prompt \"Zelvane Password: \", then "
              "\"Zelvane verification code: \" (TOTP)\n");
  std::printf("pam_exec + curl       pam_exec.so expose_authtok running diy_login.sh: its one "
              "prompt is answered\n"
              "                      \"%s,<code>\", split at the last comma; validate_user, "
              "then validate_oath_otp\n",
              kPassword);
  std::printf("each login            pam_start, pam_authenticate, pam_end; devserver %s:%s\n\n",
              host.c_str(), port.c_str());
  std::printf("%-22s %12s %12s\n", "median per login", "wall (ms)", "cpu (ms)");
  std::printf("%-22s %12.2f %12.2f\n", module.name, mw / 1e3, mc / 1e3);
  std::printf("%-22s %12.2f %12.2f\n", diy.name, dw / 1e3, dc / 1e3);
  std::printf("%-22s %12.3f %12.3f\n", "ratio module/DIY", mw / dw, mc / dc);
  std::printf("(cpu: this process and its ended children, the script's shell and curl "
              "processes; not the server)\n\n");
  std::printf("memory of this process, over 2 x %d more module logins alone\n", n);
  std::printf("  RSS before the first login        %ld KiB\n", rss_start);
  std::printf("  RSS before / after / peak         %ld / %ld / %ld KiB%s\n", rss_before, rss_after,
              rss_peak, peak_reset ? "" : " (peak since the start)");
  std::printf("  heap in use before / N / 2N      %zu / %zu / %zu bytes\n", heap[0], heap[1],
              heap[2]);
  for (int half = 1; half <= 2; half++) {
    const double growth = static_cast<double>(heap[half]) - static_cast<double>(heap[half - 1]);
    std::printf("  heap growth over the %s N   %+.0f bytes (%+.1f per login)\n",
                half == 1 ? "first " : "second", growth, growth / n);
  }
  std::printf("  (malloc's per-thread cache counts as in use and fills over the first few hundred\n"
              "   logins; GLIBC_TUNABLES=glibc.malloc.tcache_count=0 leaves it out)\n");
  return 0;
}
