#include "syslog_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zvtest {

namespace {

// Records are kept as they come, each as its length and its bytes, in one fixed arena: the
// reader thread must not allocate, since allocation-failure tests count the allocator's calls.
constexpr size_t kArenaSize = size_t{16} << 20;
constexpr size_t kDatagramMax = 65536;

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
int g_socket = -1;
bool g_started = false;
bool g_overflowed = false;
size_t g_used = 0;
char g_arena[kArenaSize];
char g_datagram[kDatagramMax];

// Moves every record waiting on the socket into the arena. Called with g_lock held, so that a
// record is either still queued or already in the arena whenever the test looks.
void drain_locked() {
  if (g_socket < 0) return;
  for (;;) {
    const ssize_t n = recv(g_socket, g_datagram, sizeof g_datagram, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    const auto len = static_cast<uint32_t>(n);
    if (g_used + sizeof len + len > kArenaSize) {
      g_overflowed = true;
      continue;
    }
    std::memcpy(g_arena + g_used, &len, sizeof len);
    std::memcpy(g_arena + g_used + sizeof len, g_datagram, len);
    g_used += sizeof len + len;
  }
}

// Keeps the socket's short queue (net.unix.max_dgram_qlen) from filling while the test runs.
void *reader(void *) {
  for (;;) {
    pollfd p{g_socket, POLLIN, 0};
    if (poll(&p, 1, -1) < 0 && errno != EINTR) return nullptr;
    pthread_mutex_lock(&g_lock);
    drain_locked();
    pthread_mutex_unlock(&g_lock);
  }
}

std::string link_of(const char *path) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(path, buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Binding over /dev/log is only ever done in a private mount namespace (tests/support/ns-run).
bool in_private_namespace() {
  const char *flag = std::getenv("ZV_IN_NS");
  const std::string mine = link_of("/proc/self/ns/mnt");
  return flag != nullptr && std::strcmp(flag, "1") == 0 && !mine.empty() &&
         mine != link_of("/proc/1/ns/mnt");
}

void open_capture() {
  // The first local time of a process reads the time zone, with allocations; done here, before
  // any test counts them.
  tzset();
  if (!in_private_namespace()) {
    ADD_FAILURE() << "the system log is captured only in a private mount namespace: run the "
                     "test through tests/support/ns-run";
    return;
  }
  const char *scratch = std::getenv("ZV_NS_SCRATCH");
  const std::string path = std::string(scratch != nullptr ? scratch : "/tmp") + "/syslog." +
                           std::to_string(getpid()) + ".sock";
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  const int size = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  // Writable by all, so that records still arrive while a test runs as another user.
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
      chmod(path.c_str(), 0666) != 0 ||
      mount(path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
    ADD_FAILURE() << "cannot bind a log socket over /dev/log: " << std::strerror(errno);
    if (fd >= 0) close(fd);
    return;
  }
  g_socket = fd;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, reader, nullptr) == 0) pthread_detach(thread);
}

// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT" (a stream socket's records end with a NUL).
LogRecord parse_record(std::string raw) {
  if (!raw.empty() && raw.back() == '\0') raw.pop_back();
  LogRecord r;
  r.raw = raw;
  constexpr size_t kTimestamp = 16; // "Mmm dd hh:mm:ss "
  const size_t close = raw.find('>');
  if (raw.empty() || raw[0] != '<' || close == std::string::npos) {
    r.text = raw;
    return r;
  }
  const int pri = std::atoi(raw.substr(1, close - 1).c_str());
  r.priority = pri & 7;
  r.facility = pri >> 3;
  const size_t tag = close + 1 + kTimestamp;
  const size_t colon = raw.find(": ", tag);
  if (tag > raw.size() || colon == std::string::npos) {
    r.text = raw.substr(tag < raw.size() ? tag : raw.size());
    return r;
  }
  r.ident = raw.substr(tag, colon - tag);
  r.text = raw.substr(colon + 2);
  const size_t open = r.ident.rfind('[');
  if (open != std::string::npos && r.ident.back() == ']' && open + 2 < r.ident.size()) {
    const std::string digits = r.ident.substr(open + 1, r.ident.size() - open - 2);
    if (digits.find_first_not_of("0123456789") == std::string::npos) {
      r.pid = std::atoi(digits.c_str());
      r.ident.resize(open);
    }
  }
  return r;
}

// "name[123]: message" -> "name: message"; any other text is returned unchanged.
std::string drop_line_number(const std::string &text) {
  const size_t open = text.find('[');
  if (open == std::string::npos) return text;
  size_t i = open + 1;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') i++;
  if (i == open + 1 || text.compare(i, 3, "]: ") != 0) return text;
  return text.substr(0, open) + ": " + text.substr(i + 3);
}

} // namespace

void PrintTo(const LogLine &line, std::ostream *os) {
  *os << "{" << line.priority << ", \"" << line.text << "\"}";
}

void syslog_capture_start() {
  if (!g_started) {
    g_started = true;
    open_capture();
  }
  syslog_clear();
}

void syslog_clear() {
  pthread_mutex_lock(&g_lock);
  drain_locked();
  g_used = 0;
  g_overflowed = false;
  pthread_mutex_unlock(&g_lock);
}

std::vector<LogRecord> syslog_records() {
  std::vector<LogRecord> out;
  pthread_mutex_lock(&g_lock);
  drain_locked();
  for (size_t at = 0; at < g_used;) {
    uint32_t len = 0;
    std::memcpy(&len, g_arena + at, sizeof len);
    out.push_back(parse_record(std::string(g_arena + at + sizeof len, len)));
    at += sizeof len + len;
  }
  const bool overflowed = g_overflowed;
  pthread_mutex_unlock(&g_lock);
  if (overflowed) ADD_FAILURE() << "more records than the log capture holds; some were dropped";
  return out;
}

bool syslog_contains(const std::string &part) {
  for (auto &r : syslog_records())
    if (r.text.find(part) != std::string::npos) return true;
  return false;
}

LogLine log_line(const LogRecord &record) {
  return {record.priority, drop_line_number(record.text)};
}

LogLines log_lines() {
  LogLines out;
  for (const LogRecord &r : syslog_records()) out.push_back(log_line(r));
  return out;
}

LogLines log_lines_up_to(int priority) {
  LogLines out;
  for (const LogLine &l : log_lines())
    if (l.priority <= priority) out.push_back(l);
  return out;
}

bool logged(const LogLine &line) { return find_record(line).priority != -1; }

size_t count_logged(int priority, const std::string &prefix) {
  size_t n = 0;
  for (const LogLine &l : log_lines()) n += l.priority == priority && l.text.rfind(prefix, 0) == 0;
  return n;
}

LogRecord find_record(const LogLine &line) {
  for (const LogRecord &r : syslog_records())
    if (log_line(r) == line) return r;
  return LogRecord{};
}

} // namespace zvtest
