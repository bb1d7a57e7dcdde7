// How long a login takes when the server is dead or slow, through the real libpam and the built
// module, against loopback servers in a private network namespace where nft drops the SYNs of
// chosen ports. Run as root, from the build directory:
//
//   ../tests/support/ns-run ../tests/support/netns-run bench/bench_outage
//
// Each scenario prints its wall time against its bound and the PAM result.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <security/pam_appl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fake_server.h"
#include "tls_server.h"

using namespace zvtest;

namespace {

constexpr const char *kService = "zv-outage";
constexpr const char *kFailOpenService = "zv-outage-fail-open";

struct Answers {
  std::vector<std::string> list;
  size_t next = 0;
};

int conversation(int n, const pam_message **msg, pam_response **resp, void *data) {
  auto *answers = static_cast<Answers *>(data);
  *resp = static_cast<pam_response *>(calloc(static_cast<size_t>(n), sizeof(pam_response)));
  if (*resp == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < n; i++) {
    const int style = msg[i]->msg_style;
    if ((style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) &&
        answers->next < answers->list.size())
      (*resp)[i].resp = strdup(answers->list[answers->next++].c_str());
  }
  return PAM_SUCCESS;
}

// One pam_authenticate; returns its seconds and stores its result.
double login(const char *service, std::vector<std::string> answers, int *result) {
  Answers a{std::move(answers), 0};
  pam_conv conv{conversation, &a};
  pam_handle_t *pamh = nullptr;
  const auto start = std::chrono::steady_clock::now();
  *result = pam_start(service, "alice", &conv, &pamh);
  if (*result == PAM_SUCCESS) *result = pam_authenticate(pamh, 0);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  pam_end(pamh, *result);
  return secs;
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::trunc) << text;
}

void configure(const std::string &hosts, const std::vector<std::string> &extra) {
  std::string text = "host=" + hosts + "\nca_cert_file=" + test_pki().root_ca + "\n";
  for (const std::string &line : extra) text += line + "\n";
  write_file("/etc/zelvane.d/pam_zelvane.conf", text);
}

bool drop_syns(int port) {
  const std::string rules = "nft add table inet zv 2>/dev/null; "
                            "nft 'add chain inet zv in { type filter hook input priority 0; }' "
                            "2>/dev/null; nft add rule inet zv in tcp dport " +
                            std::to_string(port) + " tcp flags syn drop";
  return std::system(rules.c_str()) == 0;
}

void report(const char *scenario, double secs, double bound, int result, int expected) {
  std::printf("%-52s", scenario);
  if (bound > 0)
    std::printf(" %6.2f s (bound %4.1f s: %s)", secs, bound, secs <= bound ? "held" : "EXCEEDED");
  std::printf("  result %d (%s)\n", result, result == expected ? "as expected" : "UNEXPECTED");
}

int closed_port() {
  TlsServer gone;
  return gone.port();
}

} // namespace

int main() {
  if (geteuid() != 0 || std::getenv("ZV_IN_NETNS") == nullptr ||
      std::getenv("ZV_IN_NS") == nullptr) {
    std::fprintf(stderr, "run as root under tests/support/ns-run tests/support/netns-run\n");
    return 2;
  }
  const std::string module = ZV_MODULE_PATH;
  mkdir("/etc/zelvane.d", 0700);
  write_file("/etc/pam.d/other", "auth required pam_deny.so\n");
  write_file(std::string("/etc/pam.d/") + kService, "auth required " + module + "\n");
  write_file(std::string("/etc/pam.d/") + kFailOpenService,
             "auth [success=ok authinfo_unavail=ignore default=die] " + module +
                 "\nauth required pam_permit.so\n");
  int result = 0;
  const double kTimeout = 15; // request_timeout_secs, its default

  // Every server drops SYNs: the password check times out, the code check fails at once.
  const int dead = closed_port(), dead2 = dead + 1;
  if (!drop_syns(dead) || !drop_syns(dead2)) return 1;
  configure("127.0.0.1:" + std::to_string(dead) + ",localhost:" + std::to_string(dead2),
            {"auth_mode_1fa_2fa", "allowed_2fa_methods=otp_token"});
  double secs = login(kService, {"s3cret", "123456"}, &result);
  report("every server drops SYNs, 1fa_2fa, typed code", secs, kTimeout + 2, result,
         PAM_AUTHINFO_UNAVAIL);

  // A server that drips its reply, a byte every 2 s.
  {
    TlsServer drip;
    drip.set_handler([](const Received &) {
      Reply r{http_reply(200, std::string(64, ' ') + "{\"errorCode\": 0}").bytes};
      r.chunk = 1;
      r.chunk_delay_ms = 2000;
      return r;
    });
    configure("127.0.0.1:" + drip.port_str(),
              {"auth_mode_1fa_2fa", "allowed_2fa_methods=otp_token"});
    secs = login(kService, {"s3cret", "123456"}, &result);
    report("a dripping server, 1fa_2fa, typed code", secs, kTimeout + 2, result,
           PAM_AUTHINFO_UNAVAIL);
  }

  // The first of two servers drops SYNs: the login goes through the second.
  {
    FakeZelvane good;
    configure("127.0.0.1:" + std::to_string(dead) + ",127.0.0.1:" + good.port_str(),
              {"auth_mode_1fa_2fa", "allowed_2fa_methods=otp_token"});
    secs = login(kService, {"s3cret", "123456"}, &result);
    report("first of two servers drops SYNs, good login", secs, 6, result, PAM_SUCCESS);
  }

  // A push whose server stops answering mid-wait.
  {
    FakeZelvane server;
    server.queue_json("send_push_message", R"({"errorCode": 0, "authnUserReqId": "r1"})");
    server.set_default_json("validate_oath_otp", R"({"errorCode": 9003})");
    configure("127.0.0.1:" + server.port_str(),
              {"allowed_2fa_methods=auto_push_app", "max_push_wait_secs=10"});
    std::thread stall([&] {
      std::this_thread::sleep_for(std::chrono::seconds(3));
      drop_syns(server.port());
    });
    secs = login(kService, {}, &result);
    stall.join();
    report("push, server stops answering after 3 s (wait 10 s)", secs, 10 + kTimeout + 1, result,
           PAM_AUTH_ERR);
  }

  // Under the fail-open stack, only an outage lets the login through.
  {
    FakeZelvane server;
    for (int status : {400, 413, 500, 503}) {
      server.queue("validate_oath_otp", http_reply(status, ""));
      configure("127.0.0.1:" + server.port_str(), {"allowed_2fa_methods=otp_token"});
      login(kFailOpenService, {"123456"}, &result);
      const std::string what = "fail-open stack, HTTP " + std::to_string(status);
      report(what.c_str(), 0, 0, result, status == 503 ? PAM_SUCCESS : PAM_AUTH_ERR);
    }
    login(kFailOpenService, {std::string(513, '7')}, &result);
    report("fail-open stack, a 513-byte code", 0, 0, result, PAM_AUTH_ERR);
    std::printf("server requests for the oversized code: %zu (0 expected after the four above)\n",
                server.requests().size() - 4);
  }
  return 0;
}
