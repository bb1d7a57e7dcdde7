// The development server as its users meet it: the built binary started as a child process with
// a fresh state directory and port 0, spoken to over TLS (verified against its own ca.pem and the
// name localhost), steered through its console, its control command and its options.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <jansson.h>
#include <liboath/oath.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_files.h"

namespace {

using zvtest::read_file;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char kDemoSecret[] = "JBSWY3DPEHPK3PXP";
const char kPath[] = "/AuthServer/REST/OATH/OathServer.aspx";

// Starts `args` with stdin and stdout on pipes and stderr into `log`; returns the pid.
pid_t spawn(const std::vector<std::string> &args, int *in_fd, int *out_fd, const std::string &log) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL); // no server outlives a test binary that was killed
    dup2(in[0], 0);
    dup2(out[1], 1);
    const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (err >= 0) dup2(err, 2);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  *in_fd = in[1];
  *out_fd = out[0];
  return pid;
}

// Waits for the child at most `limit`; returns its exit status, or -1 if it did not end.
int wait_exit(pid_t pid, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  int status = 0;
  while (Clock::now() < end) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(10ms);
  }
  return -1;
}

struct HttpResult {
  int status = -1;
  std::string head, body;
};

// One TLS connection to 127.0.0.1:port, verified against `ca` for the name localhost; sends
// `request` as it stands and reads the reply until the server closes.
HttpResult exchange(int port, const std::string &ca, const std::string &request) {
  HttpResult result;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                        SSL_CTX_free);
  if (!ctx || SSL_CTX_load_verify_locations(ctx.get(), ca.c_str(), nullptr) != 1) return result;
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{8, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
      SSL_set_fd(ssl.get(), fd) == 1 && SSL_set1_host(ssl.get(), "localhost") == 1 &&
      SSL_set_tlsext_host_name(ssl.get(), "localhost") == 1 && SSL_connect(ssl.get()) == 1 &&
      SSL_get_verify_result(ssl.get()) == X509_V_OK &&
      SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) ==
          static_cast<int>(request.size())) {
    std::string raw;
    char buf[4096];
    for (int n; (n = SSL_read(ssl.get(), buf, sizeof buf)) > 0;) raw.append(buf, n);
    const size_t split = raw.find("\r\n\r\n");
    if (raw.starts_with("HTTP/1.1 ") && split != std::string::npos) {
      result.status = std::atoi(raw.c_str() + 9);
      result.head = raw.substr(0, split);
      result.body = raw.substr(split + 4);
    }
  }
  close(fd);
  return result;
}

std::string post_request(const std::string &body, const std::string &auth = "") {
  return std::string("POST ") + kPath +
         " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nAccept: application/json\r\n"
         "Content-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" +
         (auth.empty() ? "" : "Authorization: Basic " + auth + "\r\n") + "\r\n" + body;
}

// A member of a JSON reply: the integer as text, the string, or "" when absent.
std::string member(const std::string &json, const char *key) {
  json_t *root = json_loads(json.c_str(), 0, nullptr);
  json_t *v = json_object_get(root, key);
  std::string out = json_is_integer(v)  ? std::to_string(json_integer_value(v))
                    : json_is_string(v) ? json_string_value(v)
                                        : "";
  json_decref(root);
  return out;
}

std::string totp(const char *secret_base32, time_t at) {
  char *key = nullptr;
  size_t len = 0;
  char code[7] = "";
  EXPECT_EQ(oath_base32_decode(secret_base32, strlen(secret_base32), &key, &len), OATH_OK);
  EXPECT_EQ(oath_totp_generate(key, len, at, 30, 0, 6, code), OATH_OK);
  free(key);
  return code;
}

class DevServer : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(oath_init(), OATH_OK);
    char tmpl[] = "/tmp/zv-devserver.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    state_ = root_ + "/state";
  }

  void TearDown() override {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
    oath_done();
  }

  // Starts the server with these options besides --state and --port 0 and waits for READY.
  void start(std::vector<std::string> options = {}) {
    std::vector<std::string> args = {ZV_DEVSERVER_PATH, "--state", state_, "--port", "0"};
    args.insert(args.end(), options.begin(), options.end());
    pending_.clear();
    pid_ = spawn(args, &in_fd_, &out_fd_, root_ + "/server.log");
    ASSERT_GT(pid_, 0);
    const std::string ready = wait_line("READY ");
    ASSERT_FALSE(ready.empty()) << read_file(root_ + "/server.log");
    port_ = std::atoi(ready.c_str() + 6);
    ASSERT_GT(port_, 0);
  }

  // SIGTERM, then the exit status (-1 if it had to be killed).
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = wait_exit(pid_, 5000ms);
    if (status < 0) {
      kill(pid_, SIGKILL);
      wait_exit(pid_, 5000ms);
    }
    pid_ = -1;
    close(in_fd_);
    close(out_fd_);
    return status;
  }

  // The next stdout line that starts with `prefix` (earlier lines are kept in lines_), or "".
  std::string wait_line(const std::string &prefix, std::chrono::milliseconds limit = 5000ms) {
    const auto end = Clock::now() + limit;
    for (;;) {
      for (size_t eol; (eol = pending_.find('\n')) != std::string::npos;) {
        std::string line = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        lines_.push_back(line);
        if (line.starts_with(prefix)) return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      pollfd p{out_fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char buf[1024];
      const ssize_t n = read(out_fd_, buf, sizeof buf);
      if (n <= 0) return "";
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

  HttpResult post(const std::string &body, const std::string &auth = "") {
    return exchange(port_, state_ + "/ca.pem", post_request(body, auth));
  }
  // Sends one request and returns the reply body after checking it came with HTTP 200.
  std::string call(const std::string &body) {
    HttpResult r = post(body);
    EXPECT_EQ(r.status, 200) << body;
    return r.body;
  }
  std::string poll_push(const std::string &id, const char *user = "alice") {
    return call(std::string("{\"type\":\"validate_oath_otp\",\"username\":\"") + user +
                "\",\"otp\":\"" + id + "\"}");
  }
  std::string send_push(const char *user = "alice") {
    const std::string reply =
        call(std::string("{\"type\":\"send_push_message\",\"deliveryMethod\":\"pushapp\","
                         "\"username\":\"") +
             user + "\",\"authnAccount\":\"" + user + "\",\"appName\":\"Linux\"}");
    EXPECT_EQ(member(reply, "errorCode"), "0");
    return member(reply, "authnUserReqId");
  }
  // Runs `zelvane-devserver --state DIR <words>`; returns the exit status and its stdout.
  int command(const std::vector<std::string> &words, std::string *out) {
    std::vector<std::string> args = {ZV_DEVSERVER_PATH, "--state", state_};
    args.insert(args.end(), words.begin(), words.end());
    int in = -1, fd = -1;
    const pid_t pid = spawn(args, &in, &fd, root_ + "/command.log");
    close(in);
    out->clear();
    char buf[512];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, 5000) > 0 && (n = read(fd, buf, sizeof buf)) > 0;)
      out->append(buf, static_cast<size_t>(n));
    close(fd);
    const int status = wait_exit(pid, 5000ms);
    if (status < 0) kill(pid, SIGKILL);
    return status;
  }
  void write_users(const std::string &json) { std::ofstream(root_ + "/users.json") << json; }

  std::string root_, state_;
  pid_t pid_ = -1;
  int in_fd_ = -1, out_fd_ = -1, port_ = 0;
  std::string pending_;
  std::vector<std::string> lines_;
};

TEST_F(DevServer, FirstStartMakesPkiAndPrintsTheModuleConfiguration) {
  start();
  const std::vector<std::string> expected = {
      "# pam_zelvane settings for zelvane-devserver (add them to /etc/zelvane.d/pam_zelvane.conf)",
      "host=localhost", "port=" + std::to_string(port_),
      "ca_cert_file=" + std::filesystem::canonical(state_).string() + "/ca.pem"};
  std::vector<std::string> printed(lines_.begin(), lines_.end() - 1); // all but READY
  EXPECT_EQ(printed, expected);
  std::string snippet;
  for (const std::string &line : expected) snippet += line + "\n";
  EXPECT_EQ(read_file(state_ + "/pam_zelvane.conf.snippet"), snippet);

  struct stat st {};
  ASSERT_EQ(stat((state_ + "/server.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(stat(state_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  // exchange() verifies the chain against ca.pem and the name localhost; the IP is named too.
  EXPECT_EQ(
      post("{\"type\":\"validate_user\",\"username\":\"alice\",\"pw\":\"alice-password\"}").status,
      200);
  FILE *f = fopen((state_ + "/server.pem").c_str(), "r");
  ASSERT_NE(f, nullptr);
  X509 *cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  fclose(f);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(X509_check_ip_asc(cert, "127.0.0.1", 0), 1);
  EXPECT_EQ(EVP_PKEY_get_base_id(X509_get0_pubkey(cert)), EVP_PKEY_EC);
  X509_free(cert);

  // SIGTERM stops it cleanly; a second start keeps the CA the module was pointed at.
  EXPECT_EQ(stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(state_ + "/control.sock"));
  const std::string ca = read_file(state_ + "/ca.pem");
  start();
  EXPECT_EQ(read_file(state_ + "/ca.pem"), ca);
  EXPECT_EQ(stop(), 0);

  // A damaged certificate is remade under a new CA rather than served.
  std::ofstream(state_ + "/server.pem") << "garbage";
  start();
  EXPECT_NE(read_file(state_ + "/ca.pem"), ca);
  EXPECT_EQ(post("{\"type\":\"validate_user\",\"username\":\"alice\",\"pw\":\"x\"}").status, 200);
}

TEST_F(DevServer, ValidateUserAgainstTheUsersFile) {
  write_users(R"([{"name": "bob", "password": "bob-pw", "totp_secret": "GEZDGNBVGY3TQOJQ"},
                  {"name": "carol", "password": "carol-pw"}])");
  start({"--users", root_ + "/users.json"});
  auto validate = [&](const char *user, const char *pw) {
    return call(std::string("{\"type\":\"validate_user\",\"username\":\"") + user + "\",\"pw\":\"" +
                pw + "\"}");
  };
  EXPECT_EQ(validate("bob", "bob-pw"), "{\"errorCode\":0}");
  EXPECT_EQ(validate("carol", "carol-pw"), "{\"errorCode\":0}");
  EXPECT_EQ(member(validate("bob", "carol-pw"), "errorCode"), "9001");
  EXPECT_FALSE(member(validate("bob", "bob-p"), "errorMessage").empty());
  EXPECT_EQ(member(validate("alice", "alice-password"), "errorCode"), "9001"); // no demo user
  EXPECT_EQ(member(validate("nobody", ""), "errorCode"), "9001");

  const std::string code = totp("GEZDGNBVGY3TQOJQ", time(nullptr));
  EXPECT_EQ(
      member(call("{\"type\":\"validate_oath_otp\",\"username\":\"bob\",\"otp\":\"" + code + "\"}"),
             "errorCode"),
      "0");
  // carol has no token: no six digits pass for her.
  EXPECT_EQ(member(call("{\"type\":\"validate_oath_otp\",\"username\":\"carol\",\"otp\":\"" + code +
                        "\"}"),
                   "errorCode"),
            "9003");
}

TEST_F(DevServer, RefusesAUsersFileItCannotUse) {
  write_users(R"([{"name": "bad name", "password": "x"}])");
  std::string out;
  EXPECT_EQ(command({"--port", "0", "--users", root_ + "/users.json"}, &out), 1);
  EXPECT_NE(read_file(root_ + "/command.log").find("blanks or control characters"),
            std::string::npos);
}

TEST_F(DevServer, TotpCodesAndOfflineCodeStock) {
  start();
  const time_t now = time(nullptr);
  const std::string right = totp(kDemoSecret, now);
  auto validate = [&](const std::string &otp, bool ocodes) {
    return call("{\"type\":\"validate_oath_otp\",\"username\":\"alice\",\"otp\":\"" + otp + "\"" +
                (ocodes ? ",\"ocodes\":-1" : "") + "}");
  };
  EXPECT_EQ(validate(right, false), "{\"errorCode\":0}");
  EXPECT_EQ(member(validate(totp(kDemoSecret, now - 30), false), "errorCode"), "0"); // window

  // A code of a far step, different from every code the window accepts.
  std::string wrong;
  for (time_t step = 10; wrong.empty(); ++step) {
    const std::string c = totp(kDemoSecret, now + 30 * step);
    if (c != right && c != totp(kDemoSecret, now - 30) && c != totp(kDemoSecret, now + 30))
      wrong = c;
  }
  const std::string refused = validate(wrong, true);
  EXPECT_EQ(member(refused, "errorCode"), "9003");
  EXPECT_EQ(member(refused, "offlineCodes"), "");

  const std::string first = member(validate(right, true), "offlineCodes");
  const std::string second = member(validate(right, true), "offlineCodes");
  EXPECT_NE(first, second); // a fresh stock every time
  std::vector<std::string> codes;
  std::stringstream in(first);
  for (std::string c; std::getline(in, c, ',');) codes.push_back(c);
  ASSERT_EQ(codes.size(), 10u) << first;
  for (const std::string &c : codes)
    EXPECT_TRUE(c.size() == 8 && c.find_first_not_of("0123456789") == std::string::npos) << c;
}

TEST_F(DevServer, SentCodesAreDeliveredOnStdoutAndWorkOnce) {
  start();
  const char *channels[] = {"sms", "email", "voice"};
  for (int method = 0; method < 3; ++method) {
    EXPECT_EQ(call("{\"type\":\"send_oath_otp\",\"username\":\"alice\",\"deliveryMethod\":" +
                   std::to_string(method) + "}"),
              "{\"errorCode\":0}");
    const std::string line = wait_line("DELIVERED ");
    const std::string prefix = std::string("DELIVERED ") + channels[method] + " code ";
    ASSERT_TRUE(line.starts_with(prefix) && line.ends_with(" for alice")) << line;
    const std::string code = line.substr(prefix.size(), 6);
    const std::string check =
        "{\"type\":\"validate_oath_otp\",\"username\":\"alice\",\"otp\":\"" + code + "\"}";
    EXPECT_EQ(call(check), "{\"errorCode\":0}");
    EXPECT_EQ(member(call(check), "errorCode"), "9003"); // single use
  }
  EXPECT_NE(read_file(root_ + "/server.log").find("DELIVERED voice code "), std::string::npos);
  EXPECT_EQ(member(call("{\"type\":\"send_oath_otp\",\"username\":\"alice\",\"deliveryMethod\":3}"),
                   "errorCode"),
            "9999");
  EXPECT_EQ(
      member(call("{\"type\":\"send_oath_otp\",\"username\":\"nobody\",\"deliveryMethod\":0}"),
             "errorCode"),
      "9001");
}

TEST_F(DevServer, SentCodesExpire) {
  start({"--code-ttl", "1"});
  call("{\"type\":\"send_oath_otp\",\"username\":\"alice\",\"deliveryMethod\":1}");
  const std::string line = wait_line("DELIVERED email code ");
  ASSERT_FALSE(line.empty());
  std::this_thread::sleep_for(1100ms);
  EXPECT_EQ(member(call("{\"type\":\"validate_oath_otp\",\"username\":\"alice\",\"otp\":\"" +
                        line.substr(21, 6) + "\"}"),
                   "errorCode"),
            "9003");
}

TEST_F(DevServer, PushApprovedByTheCommand) {
  write_users(R"([{"name": "alice", "password": "a"}, {"name": "bob", "password": "b"}])");
  start({"--users", root_ + "/users.json"});
  const std::string id = send_push();
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(wait_line("PUSH "), "PUSH " + id + " pushapp for alice");
  EXPECT_EQ(member(poll_push(id), "errorCode"), "9300");
  EXPECT_EQ(member(poll_push(id, "bob"), "errorCode"), "9003"); // not bob's push

  std::string out;
  EXPECT_EQ(command({"approve", id}, &out), 0);
  EXPECT_EQ(out, "OK approved " + id + " for alice\n");
  EXPECT_EQ(wait_line("APPROVED "), "APPROVED " + id + " for alice");
  EXPECT_EQ(poll_push(id), "{\"errorCode\":0}");
  EXPECT_EQ(member(poll_push(id), "errorCode"), "9003"); // an approval logs in once

  EXPECT_EQ(command({"approve", "0123456789abcdef"}, &out), 1);
  EXPECT_TRUE(out.starts_with("ERR ")) << out;
}

TEST_F(DevServer, PushDeniedFromTheConsole) {
  start();
  const std::string older = send_push();
  const std::string id = send_push();
  ASSERT_EQ(write(in_fd_, "deny\n", 5), 5); // the latest pending push
  EXPECT_EQ(wait_line("DENIED "), "DENIED " + id + " for alice");
  EXPECT_EQ(member(poll_push(id), "errorCode"), "9030");
  EXPECT_EQ(member(poll_push(id), "errorCode"), "9030");
  EXPECT_EQ(member(poll_push(older), "errorCode"), "9300");

  const std::string approve = "approve " + older + "\n";
  ASSERT_EQ(write(in_fd_, approve.data(), approve.size()), static_cast<ssize_t>(approve.size()));
  EXPECT_EQ(wait_line("APPROVED "), "APPROVED " + older + " for alice");
  std::string out;
  EXPECT_EQ(command({"deny", id}, &out), 1); // already decided
}

TEST_F(DevServer, PushDecidedAutomaticallyAfterTheDelay) {
  start({"--push-auto", "approve", "--push-delay", "1"});
  const auto sent = Clock::now();
  const std::string id = send_push();
  EXPECT_EQ(member(poll_push(id), "errorCode"), "9300");
  // Announced by the server's own clock, without a poll to prompt it.
  EXPECT_EQ(wait_line("APPROVED ", 3000ms), "APPROVED " + id + " for alice");
  EXPECT_GE(Clock::now() - sent, 900ms);
  EXPECT_EQ(poll_push(id), "{\"errorCode\":0}");
  EXPECT_EQ(stop(), 0);

  start({"--push-auto", "deny", "--push-delay", "0"});
  EXPECT_EQ(member(poll_push(send_push()), "errorCode"), "9030");
}

TEST_F(DevServer, BasicCredentialsAreEnforcedWhenConfigured) {
  start({"--basic", "app-id:app-key"});
  const std::string body =
      "{\"type\":\"validate_user\",\"username\":\"alice\",\"pw\":\"alice-password\"}";
  EXPECT_EQ(post(body).status, 401);
  EXPECT_EQ(post(body, "YXBwLWlkOndyb25n").status, 401);    // app-id:wrong
  const HttpResult ok = post(body, "YXBwLWlkOmFwcC1rZXk="); // app-id:app-key
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "{\"errorCode\":0}");
  const std::string snippet = read_file(state_ + "/pam_zelvane.conf.snippet");
  EXPECT_TRUE(snippet.ends_with("application_key_id=app-id\napplication_key=app-key\n")) << snippet;
}

TEST_F(DevServer, RepliesAndRefusals) {
  start();
  const HttpResult ok = post("{\"type\":\"validate_user\",\"username\":\"alice\",\"pw\":\"x\"}");
  const std::string json =
      "{\"errorCode\":9001,\"errorMessage\":\"Invalid user name or password\"}";
  EXPECT_EQ(ok.head, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                         std::to_string(json.size()) + "\r\nConnection: close");
  EXPECT_EQ(ok.body, json);

  for (const char *bad : {"{not json", "[1]", "{\"type\":\"delete_user\",\"username\":\"alice\"}",
                          "{\"type\":\"validate_user\",\"pw\":\"x\"}"}) {
    const HttpResult r = post(bad);
    EXPECT_EQ(r.status, 200) << bad;
    EXPECT_EQ(member(r.body, "errorCode"), "9999") << bad;
    EXPECT_FALSE(member(r.body, "errorMessage").empty()) << bad;
  }

  // 64 KiB of body is the most it takes.
  std::string body =
      "{\"type\":\"validate_user\",\"username\":\"alice\",\"pw\":\"alice-password\"}";
  body.resize(64 * 1024, ' ');
  EXPECT_EQ(member(post(body).body, "errorCode"), "0");
  body += ' ';
  EXPECT_EQ(post(body).status, 413);

  const std::string ca = state_ + "/ca.pem";
  EXPECT_EQ(exchange(port_, ca, "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n").status, 405);
  EXPECT_EQ(exchange(port_, ca, "POST / HTTP/1.1\r\nHost: localhost\r\n\r\n").status, 411);
  EXPECT_EQ(
      exchange(port_, ca, "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n").status,
      501);
  EXPECT_EQ(
      exchange(port_, ca, "POST / HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}")
          .status,
      400);
}

TEST_F(DevServer, AStuckClientIsDroppedAfterFiveSeconds) {
  start();
  const int stuck = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(write(stuck, "\x16\x03\x01", 3), 3); // the start of a handshake, then nothing
  const auto begin = Clock::now();

  // The next client is served once the stuck one has had its five seconds.
  EXPECT_EQ(
      member(call("{\"type\":\"validate_user\",\"username\":\"alice\",\"pw\":\"x\"}"), "errorCode"),
      "9001");
  EXPECT_GE(Clock::now() - begin, 4500ms);
  EXPECT_LT(Clock::now() - begin, 8000ms);
  pollfd p{stuck, POLLIN, 0};
  char c;
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_EQ(read(stuck, &c, 1), 0); // closed by the server
  close(stuck);
}

} // namespace
