// zelvane-devserver: plays the authentication server on loopback so the module can be tried
// without the real service. One process, one thread: an event loop over the HTTPS listener, the
// control socket, the console on standard input and a self-pipe for SIGINT/SIGTERM.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <liboath/oath.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "common/own.h"
#include "http.h"
#include "pki.h"
#include "service.h"

namespace devserver {
namespace {

using CtxPtr = zv::UniquePtr<SSL_CTX>;
using SslPtr = zv::UniquePtr<SSL>;

constexpr int64_t kIoTimeoutMs = 5000;
constexpr int64_t kControlTimeoutMs = 2000;
constexpr size_t kMaxCommandLine = 256;
constexpr int64_t kDrainMs = 1000;
constexpr size_t kMaxDrain = 1024 * 1024;

volatile sig_atomic_t g_stop = 0;
int g_signal_pipe = -1; // write end

const char kUsage[] =
    "usage: zelvane-devserver --state DIR [--listen ADDR] [--port N] [--users FILE]\n"
    "                         [--basic ID:KEY] [--push-auto approve|deny] [--push-delay SECS]\n"
    "                         [--code-ttl SECS]\n"
    "       zelvane-devserver --state DIR approve [ID] | deny [ID] | list\n";

const char kConsoleHelp[] = "commands: approve [ID], deny [ID] (latest pending push without an "
                            "ID), list, help";

struct Options {
  std::string state;
  std::string listen = "127.0.0.1";
  int port = 8443;
  std::string users;
  std::string basic_id, basic_key;
  Settings settings;
  std::vector<std::string> command; // approve/deny/list and its argument: talk to a server
};

void say(const std::string &line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void log_line(const std::string &line) {
  char stamp[32] = "";
  const time_t t = time(nullptr);
  struct tm tm {};
  if (localtime_r(&t, &tm) != nullptr) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::fprintf(stderr, "%s zelvane-devserver: %s\n", stamp, line.c_str());
}

int fail(const std::string &why) {
  std::fprintf(stderr, "zelvane-devserver: %s\n", why.c_str());
  return 1;
}

int64_t mono_ms() { return now().mono_ms; }

// Whole decimal number in [lo, hi]; false for anything else.
bool parse_int(const char *text, int lo, int hi, int *out) {
  char *end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

bool has_control_or_blank(const std::string &s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
}

// Returns 0, or 2 after printing what is wrong.
int parse_options(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    const bool is_option = arg.starts_with("--");
    if (is_option && arg != "--help") {
      if (const size_t eq = arg.find('='); eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        std::fprintf(stderr, "zelvane-devserver: %s needs a value\n%s", arg.c_str(), kUsage);
        return 2;
      }
    }
    bool ok = true;
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (!is_option) {
      o->command.push_back(arg);
    } else if (arg == "--state") {
      o->state = value;
      ok = !value.empty();
    } else if (arg == "--listen") {
      o->listen = value;
    } else if (arg == "--port") {
      ok = parse_int(value.c_str(), 0, 65535, &o->port);
    } else if (arg == "--users") {
      o->users = value;
    } else if (arg == "--basic") {
      const size_t colon = value.find(':');
      ok = colon != std::string::npos && colon > 0 && colon + 1 < value.size() &&
           !has_control_or_blank(value);
      if (ok) {
        o->basic_id = value.substr(0, colon);
        o->basic_key = value.substr(colon + 1);
      }
    } else if (arg == "--push-auto") {
      ok = value == "approve" || value == "deny";
      o->settings.push_auto = value == "approve" ? PushAuto::approve : PushAuto::deny;
    } else if (arg == "--push-delay") {
      ok = parse_int(value.c_str(), 0, 86400, &o->settings.push_delay_secs);
    } else if (arg == "--code-ttl") {
      ok = parse_int(value.c_str(), 1, 86400, &o->settings.code_ttl_secs);
    } else {
      std::fprintf(stderr, "zelvane-devserver: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "zelvane-devserver: bad value for %s: %s\n%s", arg.c_str(),
                   value.c_str(), kUsage);
      return 2;
    }
  }
  const bool command_ok =
      o->command.empty() ||
      ((o->command[0] == "approve" || o->command[0] == "deny") && o->command.size() <= 2) ||
      (o->command[0] == "list" && o->command.size() == 1);
  if (o->state.empty() || !command_ok) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return 0;
}

void on_signal(int) {
  g_stop = 1;
  const char byte = 1;
  const int saved = errno;
  if (write(g_signal_pipe, &byte, 1) < 0) { /* the flag alone still stops the loop */
  }
  errno = saved;
}

// Waits until `fd` is ready for `events`; false on time-out, stop request or error.
bool wait_fd(int fd, short events, int64_t deadline_ms) {
  for (;;) {
    const int64_t left = deadline_ms - mono_ms();
    if (g_stop || left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// Runs one TLS operation on a non-blocking socket until it completes or the deadline passes.
// Returns the operation's positive result, 0 on a clean close by the peer, -1 on failure.
template <class Op> int drive(SSL *ssl, int fd, int64_t deadline_ms, Op op) {
  for (;;) {
    const int r = op();
    if (r > 0) return r;
    switch (SSL_get_error(ssl, r)) {
    case SSL_ERROR_WANT_READ:
      if (!wait_fd(fd, POLLIN, deadline_ms)) return -1;
      break;
    case SSL_ERROR_WANT_WRITE:
      if (!wait_fd(fd, POLLOUT, deadline_ms)) return -1;
      break;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    default:
      return -1;
    }
  }
}

std::string error_json(const char *message) {
  return std::string("{\"errorCode\":9999,\"errorMessage\":\"") + message + "\"}";
}

// After refusing a request whose body was not read, read what the client still sends for a
// moment: closing with unread input makes the kernel reset the connection, and the reset can
// destroy the refusal before the client has read it.
void drain_then_close(int fd) {
  shutdown(fd, SHUT_WR);
  const int64_t deadline = mono_ms() + kDrainMs;
  char buf[4096];
  size_t total = 0;
  while (total < kMaxDrain && wait_fd(fd, POLLIN, deadline)) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0 && !(n < 0 && (errno == EINTR || errno == EAGAIN))) break;
    if (n > 0) total += static_cast<size_t>(n);
  }
}

void send_reply(SSL *ssl, int fd, const std::string &reply) {
  const int64_t deadline = mono_ms() + kIoTimeoutMs;
  size_t done = 0;
  while (done < reply.size()) {
    const int n = drive(ssl, fd, deadline, [&] {
      return SSL_write(ssl, reply.data() + done, static_cast<int>(reply.size() - done));
    });
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
  SSL_shutdown(ssl); // one close_notify, not waited for: the client reads until the close
}

struct Server {
  Options options;
  std::string dir; // absolute state directory
  std::string expected_basic;
  CtxPtr ctx;
  Service service;
  int listen_fd = -1;
  int control_fd = -1;
  std::string control_path;
  bool console_open = true;
  std::string console_buffer;
};

void serve_connection(Server &server, int fd) {
  SslPtr ssl(SSL_new(server.ctx.get()));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return;
  // One deadline for the whole request: a client that trickles bytes cannot hold the server.
  const int64_t deadline = mono_ms() + kIoTimeoutMs;
  if (drive(ssl.get(), fd, deadline, [&] { return SSL_accept(ssl.get()); }) <= 0) {
    char why[256] = "timed out or closed";
    if (const unsigned long e = ERR_peek_last_error(); e != 0)
      ERR_error_string_n(e, why, sizeof why);
    log_line(std::string("TLS handshake failed: ") + why);
    ERR_clear_error();
    return;
  }
  std::string data;
  Request request;
  int status = 1;
  char buf[4096];
  while (status == 1 || data.size() < request.head_length + request.content_length) {
    const int n = drive(ssl.get(), fd, deadline,
                        [&] { return SSL_read(ssl.get(), buf, static_cast<int>(sizeof buf)); });
    if (n <= 0) {
      log_line(n == 0 ? "client closed before a whole request"
                      : "no whole request within 5 seconds; connection dropped");
      ERR_clear_error();
      return;
    }
    data.append(buf, static_cast<size_t>(n));
    if (status == 1) status = parse_head(data, &request);
    if (status > 1) {
      log_line("refused a request with HTTP " + std::to_string(status));
      send_reply(ssl.get(), fd, http_reply(status, error_json("Bad HTTP request")));
      drain_then_close(fd);
      return;
    }
  }
  if (!server.expected_basic.empty() &&
      !basic_matches(request.header("Authorization"), server.expected_basic)) {
    log_line("refused a request without the right Basic credentials (HTTP 401)");
    send_reply(ssl.get(), fd, http_reply(401, error_json("Unauthorized")));
    return;
  }
  const std::string body = data.substr(request.head_length, request.content_length);
  send_reply(ssl.get(), fd, http_reply(200, handle_request(server.service, body, now())));
  ERR_clear_error();
}

// One console or control command; the answer starts with "OK " or "ERR ".
std::string run_command(Server &server, const std::string &line) {
  std::vector<std::string> words;
  for (size_t pos = 0; pos < line.size();) {
    const size_t start = line.find_first_not_of(" \t\r", pos);
    if (start == std::string::npos) break;
    const size_t end = std::min(line.find_first_of(" \t\r", start), line.size());
    words.push_back(line.substr(start, end - start));
    pos = end;
  }
  expire(server.service, now());
  if (!words.empty() && (words[0] == "approve" || words[0] == "deny") && words.size() <= 2) {
    std::string message;
    const int rc = decide_push(server.service, words.size() == 2 ? words[1] : std::string(),
                               words[0] == "approve", &message);
    return (rc == 0 ? "OK " : "ERR ") + message;
  }
  if (words.size() == 1 && words[0] == "list") {
    std::string out = "OK";
    for (const Push &p : server.service.pushes)
      if (p.state == PushState::pending) out += " " + p.id + "(" + p.user + ")";
    return out == "OK" ? "OK no pending push" : out;
  }
  return std::string("ERR ") + kConsoleHelp;
}

void read_console(Server &server) {
  char buf[1024];
  const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    server.console_open = false; // no console (e.g. </dev/null): keep serving
    return;
  }
  server.console_buffer.append(buf, static_cast<size_t>(n));
  for (size_t eol; (eol = server.console_buffer.find('\n')) != std::string::npos;) {
    const std::string line = server.console_buffer.substr(0, eol);
    server.console_buffer.erase(0, eol + 1);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    const std::string answer = run_command(server, line);
    // Approvals are announced by the service itself; only failures and lists need a line here.
    if (!answer.starts_with("OK approved") && !answer.starts_with("OK denied")) say(answer);
  }
  if (server.console_buffer.size() > kMaxCommandLine) server.console_buffer.clear();
}

void serve_control(Server &server) {
  const int fd = accept4(server.control_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  const int64_t deadline = mono_ms() + kControlTimeoutMs;
  std::string line;
  char c = 0;
  while (line.size() < kMaxCommandLine && wait_fd(fd, POLLIN, deadline)) {
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0 || c == '\n') break;
    line += c;
  }
  const std::string answer = run_command(server, line) + "\n";
  if (wait_fd(fd, POLLOUT, deadline) && write(fd, answer.data(), answer.size()) < 0)
    log_line("control client went away before the answer");
  close(fd);
}

int open_listener(Server &server) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo *found = nullptr;
  const std::string port = std::to_string(server.options.port);
  if (const int rc = getaddrinfo(server.options.listen.c_str(), port.c_str(), &hints, &found);
      rc != 0)
    return fail("--listen " + server.options.listen + ": " + gai_strerror(rc) +
                " (a numeric address is expected)");
  zv::UniquePtr<addrinfo> guard(found);
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 64) != 0) {
    const int saved = errno;
    if (fd >= 0) close(fd);
    return fail("cannot listen on " + server.options.listen + " port " + port + ": " +
                strerror(saved));
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
  server.options.port =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                        : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
  server.listen_fd = fd;
  return 0;
}

bool make_unix_address(const std::string &path, sockaddr_un *addr) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

int open_control(Server &server) {
  sockaddr_un addr;
  if (!make_unix_address(server.control_path, &addr)) {
    log_line("state directory path too long for " + server.control_path +
             "; approve/deny only from the console");
    return 0;
  }
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool taken =
      probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  if (probe >= 0) close(probe);
  if (taken) return fail("another server is running on " + server.dir);
  unlink(server.control_path.c_str()); // left by a server that did not stop cleanly
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const mode_t old_mask = umask(0077);
  const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
                  listen(fd, 8) == 0;
  umask(old_mask);
  if (!ok) {
    const int saved = errno;
    if (fd >= 0) close(fd);
    return fail(server.control_path + ": " + strerror(saved));
  }
  server.control_fd = fd;
  return 0;
}

bool is_loopback_or_any(const std::string &address) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    const uint32_t a = ntohl(v4.s_addr);
    return (a >> 24) == 127 || a == 0;
  }
  return inet_pton(AF_INET6, address.c_str(), &v6) == 1 &&
         (IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6));
}

int publish_configuration(Server &server) {
  const bool local = is_loopback_or_any(server.options.listen);
  if (!local)
    log_line("warning: listening on " + server.options.listen +
             "; the certificate names only localhost and 127.0.0.1");
  std::vector<std::string> lines = {
      "# pam_zelvane settings for zelvane-devserver (add them to /etc/zelvane.d/pam_zelvane.conf)",
      "host=" + (local ? std::string("localhost") : server.options.listen),
      "port=" + std::to_string(server.options.port), "ca_cert_file=" + server.dir + "/ca.pem"};
  if (!server.options.basic_id.empty()) {
    lines.push_back("application_key_id=" + server.options.basic_id);
    lines.push_back("application_key=" + server.options.basic_key);
  }
  std::string text;
  for (const std::string &line : lines) {
    say(line);
    text += line + "\n";
  }
  std::string error;
  // 0600: the snippet may hold the application key.
  if (write_file(server.dir + "/pam_zelvane.conf.snippet", text, 0600, &error) != 0)
    return fail(error);
  return 0;
}

int prepare_state_dir(Server &server) {
  const std::string &dir = server.options.state;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return fail(dir + ": " + strerror(errno));
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail(dir + ": not a directory");
  if ((st.st_mode & 0022) != 0)
    log_line("warning: " + dir + " is writable by others, who could replace its certificates");
  zv::HeapPtr<char> real(realpath(dir.c_str(), nullptr));
  if (!real) return fail(dir + ": " + strerror(errno));
  server.dir = real.get();
  server.control_path = server.dir + "/control.sock";
  return 0;
}

int setup_signals(int pipe_fds[2]) {
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0)
    return fail("pipe: " + std::string(strerror(errno)));
  g_signal_pipe = pipe_fds[1];
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN); // a client or a reader of stdout going away is not fatal
  // Started in the background of an interactive shell, reading the terminal must not stop the
  // server: the read fails instead and the console is closed.
  signal(SIGTTIN, SIG_IGN);
  return 0;
}

void event_loop(Server &server, int signal_fd) {
  while (!g_stop) {
    const int64_t next = next_auto_ms(server.service, now());
    const int timeout = next < 0 ? -1 : static_cast<int>(std::min<int64_t>(next + 1, INT_MAX));
    pollfd fds[4] = {{signal_fd, POLLIN, 0},
                     {server.listen_fd, POLLIN, 0},
                     {server.control_fd, POLLIN, 0},
                     {server.console_open ? STDIN_FILENO : -1, POLLIN, 0}};
    const int n = poll(fds, 4, timeout);
    if (n < 0 && errno != EINTR) {
      log_line(std::string("poll: ") + strerror(errno));
      return;
    }
    expire(server.service, now()); // announces automatic push decisions when due
    if (n <= 0 || g_stop) continue;
    if ((fds[1].revents & POLLIN) != 0) {
      const int fd = accept4(server.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        serve_connection(server, fd);
        close(fd);
      }
    }
    if ((fds[2].revents & POLLIN) != 0) serve_control(server);
    if (fds[3].revents != 0) read_console(server);
  }
}

int run_server(Options options) {
  Server server;
  server.options = std::move(options);
  int pipe_fds[2] = {-1, -1};
  if (setup_signals(pipe_fds) != 0 || prepare_state_dir(server) != 0) return 1;

  std::string error;
  if (!server.options.users.empty()) {
    if (load_users(server.options.users.c_str(), &server.service.users, &error) != 0)
      return fail(error);
  } else {
    server.service.users.push_back(demo_user());
    log_line("no --users: demo user alice, password alice-password, TOTP secret "
             "JBSWY3DPEHPK3PXP");
  }
  bool generated = false;
  if (ensure_pki(server.dir, &generated, &error) != 0) return fail(error);
  if (generated) log_line("made a new CA and server certificate in " + server.dir);
  server.ctx.reset(server_context(server.dir, &error));
  if (!server.ctx) return fail(error);
  if (!server.options.basic_id.empty())
    server.expected_basic = base64(server.options.basic_id + ":" + server.options.basic_key);
  server.service.settings = server.options.settings;
  server.service.announce = say;
  server.service.log = log_line;

  int rc = open_listener(server);
  if (rc == 0) rc = open_control(server);
  if (rc == 0) rc = publish_configuration(server);
  if (rc == 0) {
    say("READY " + std::to_string(server.options.port));
    log_line("listening on " + server.options.listen + " port " +
             std::to_string(server.options.port));
    event_loop(server, pipe_fds[0]);
    log_line("stopped");
  }
  if (server.listen_fd >= 0) close(server.listen_fd);
  if (server.control_fd >= 0) {
    close(server.control_fd);
    unlink(server.control_path.c_str());
  }
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  return rc;
}

// `zelvane-devserver --state DIR approve ID`: asks the running server over its control socket.
int run_client(const Options &options) {
  zv::HeapPtr<char> real(realpath(options.state.c_str(), nullptr));
  sockaddr_un addr;
  if (!real || !make_unix_address(std::string(real.get()) + "/control.sock", &addr))
    return fail("no control socket in " + options.state);
  std::string line;
  for (const std::string &word : options.command) line += (line.empty() ? "" : " ") + word;
  line += "\n";
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    const int saved = errno;
    if (fd >= 0) close(fd);
    return fail("no server is running on " + options.state + " (" + strerror(saved) + ")");
  }
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
    char buf[512];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
      answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  while (!answer.empty() && answer.back() == '\n') answer.pop_back();
  if (answer.empty()) return fail("the server did not answer");
  say(answer);
  return answer.starts_with("OK") ? 0 : 1;
}

} // namespace
} // namespace devserver

int main(int argc, char **argv) {
  devserver::Options options;
  if (const int rc = devserver::parse_options(argc, argv, &options); rc != 0) return rc;
  if (!options.command.empty()) return devserver::run_client(options);
  if (oath_init() != OATH_OK) return devserver::fail("liboath initialisation failed");
  const int rc = devserver::run_server(std::move(options));
  oath_done();
  return rc;
}
