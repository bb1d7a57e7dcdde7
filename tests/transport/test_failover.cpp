// Deadlines and failover, in a private network namespace where packet filter rules (nft) can
// make a loopback port drop connection attempts: a dead server costs one time-out per call, only
// an outage moves on to the next server, and a push's polls stay with the server that took it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "api/api.h"
#include "common/call.h"
#include "config/params.h"
#include "fake_server.h"
#include "syslog_reader.h"
#include "tls_server.h"
#include "transport/transport.h"

using namespace zvtest;

namespace {

// Makes the port drop every connection attempt (SYN) from now on.
void drop_syns(int port) {
  const std::string rules = "nft add table inet zv 2>/dev/null; "
                            "nft 'add chain inet zv in { type filter hook input priority 0; }'; "
                            "nft add rule inet zv in tcp dport " +
                            std::to_string(port) + " tcp flags syn drop";
  ASSERT_EQ(std::system(rules.c_str()), 0) << "nft (needs a private network namespace)";
}

class Failover : public ::testing::Test {
protected:
  void SetUp() override {
    syslog_capture_start();
    ASSERT_EQ(set_params_defaults(params.get()), 0);
    set(&module_params::ca_cert_file, test_pki().root_ca);
    params->call = &call;
  }
  void set(char *module_params::*field, const std::string &value) {
    std::free(params.get()->*field);
    params.get()->*field = strdup(value.c_str());
  }
  void hosts(const std::vector<std::string> &list) {
    std::string text;
    for (const std::string &h : list) text += (text.empty() ? "" : ",") + h;
    set(&module_params::host, text);
  }
  // One request of the call; *reply receives the body or "<none>".
  zv::transport::Posted post(std::string *reply = nullptr) {
    char *out = nullptr;
    const zv::transport::Posted posted = zv::transport::post(params.get(), "{}", &out);
    if (reply != nullptr) *reply = out != nullptr ? out : "<none>";
    std::free(out);
    return posted;
  }
  // Records at LOG_WARNING and above, as "function: message".
  static std::vector<std::string> warnings() {
    std::vector<std::string> out;
    for (const LogLine &line : log_lines_up_to(LOG_WARNING)) out.push_back(line.text);
    return out;
  }

  zv::ParamsScope params;
  zv_call call;
};

std::string local(int port) { return "127.0.0.1:" + std::to_string(port); }

} // namespace

using zv::transport::Posted;

TEST_F(Failover, TheDeadlineEndsEveryStage) {
  params->request_timeout_secs = 1;
  const int dropped = free_port();
  drop_syns(dropped);
  TlsServer dripping;
  const std::string whole = http_reply(200, std::string(4000, 'x')).bytes;
  dripping.set_handler([&](const Received &) {
    Reply r{whole};
    r.chunk = 100;
    r.chunk_delay_ms = 200; // the whole reply would take 8 s
    return r;
  });
  const struct {
    int port;
    const char *stage;
  } cases[] = {{dropped, "connecting"}, {dripping.port(), "reading the reply"}};
  for (const auto &c : cases) {
    syslog_clear();
    call = zv_call{};
    hosts({local(c.port)});
    EXPECT_EQ(post(), Posted::unreachable) << c.stage;
    EXPECT_EQ(warnings(),
              std::vector<std::string>{"post_json_request: Server (" + local(c.port) +
                                       ") did not answer within 1 seconds (" + c.stage + ")."});
  }
}

// Each way a first server can fail that is an outage moves the request on to the second, and
// later requests of the call go to the second first.
TEST_F(Failover, OutagesMoveOnAndAreRemembered) {
  TlsServer good;
  good.set_handler([](const Received &) { return http_reply(200, "{\"errorCode\":0}"); });
  TlsServer other_name({test_pki().other_name_chain, test_pki().other_name_key});
  TlsServer unavailable;
  unavailable.set_handler([](const Received &) { return http_reply(503, ""); });
  const int dropped = free_port();
  drop_syns(dropped);
  const struct {
    int port;
    std::string reason, first_line; // first_line: the step's own record, if any
    const TlsServer *server;        // to count the connections it saw, if any
  } cases[] = {
      {free_port(), "connection refused", "", nullptr},
      {other_name.port(), "TLS failure", "ERROR: SSL_get_verify_result: IP address mismatch",
       &other_name},
      {unavailable.port(), "HTTP 503", "HTTP 503 response from server", &unavailable},
      // After the 5 s that one address may take.
      {dropped, "timed out",
       "Server (" + local(dropped) + ") did not answer within 5 seconds (connecting).", nullptr},
  };
  for (const auto &c : cases) {
    call = zv_call{};
    hosts({local(c.port), "localhost:" + good.port_str()});
    const size_t seen = c.server != nullptr ? c.server->connections() : 0;
    for (int request = 0; request < 2; request++) {
      syslog_clear();
      std::string reply;
      EXPECT_EQ(post(&reply), Posted::ok) << c.reason;
      EXPECT_EQ(reply, "{\"errorCode\":0}");
      std::vector<std::string> expected;
      if (request == 0 && !c.first_line.empty())
        expected.push_back("post_json_request: " + c.first_line);
      if (request == 0)
        expected.push_back("post_json_request: Server (" + local(c.port) + ") failed: " + c.reason);
      EXPECT_EQ(warnings(), expected) << c.reason;
    }
    const size_t now_seen = c.server != nullptr ? c.server->connections() : 1;
    EXPECT_EQ(now_seen, seen + 1) << c.reason << ": the failed server is not asked again";
    EXPECT_STREQ(call.server, ("localhost:" + good.port_str()).c_str());
  }
}

// The reachability pre-check tests the server the request would try first; one that fails it
// has failed (timed out, here) and the request goes on to the next. A limit in seconds too large
// for milliseconds in an int still waits.
TEST_F(Failover, APreCheckFailureMovesOn) {
  TlsServer good;
  const int dropped = free_port();
  drop_syns(dropped);
  const struct {
    int connection_timeout_secs;
    std::vector<std::string> hosts;
    std::vector<std::string> warnings; // of the first request; later ones of the call have none
  } cases[] = {
      {1,
       {local(dropped), local(good.port())},
       {"post_json_request: Server (" + local(dropped) + ") failed: timed out"}},
      {INT_MAX, {local(good.port())}, {}},
  };
  for (const auto &c : cases) {
    call = zv_call{};
    params->connection_timeout_secs = c.connection_timeout_secs;
    hosts(c.hosts);
    for (int request = 0; request < 2; request++) {
      syslog_clear();
      EXPECT_EQ(post(), Posted::ok) << c.connection_timeout_secs;
      EXPECT_EQ(warnings(), request == 0 ? c.warnings : std::vector<std::string>{});
    }
    EXPECT_STREQ(call.server, local(good.port()).c_str());
  }
}

TEST_F(Failover, AServersHttpErrorIsAnAnswer) {
  TlsServer first, second;
  first.set_handler([](const Received &) { return http_reply(500, ""); });
  hosts({local(first.port()), local(second.port())});
  EXPECT_EQ(post(), Posted::refused);
  EXPECT_EQ(second.connections(), 0u);
  EXPECT_EQ(warnings(),
            std::vector<std::string>{"post_json_request: HTTP 500 response from server"});
}

TEST_F(Failover, OnceEveryServerTimedOutLaterRequestsFailAtOnce) {
  params->request_timeout_secs = 1;
  const int a = free_port(), b = a + 1;
  drop_syns(a);
  drop_syns(b);
  hosts({local(a), local(b)});
  EXPECT_EQ(post(), Posted::unreachable);
  EXPECT_EQ(call.timed_out, 3u);
  syslog_clear();
  EXPECT_EQ(post(), Posted::unreachable);
  EXPECT_EQ(warnings(), std::vector<std::string>{"post_json_request: No server is tried: every "
                                                 "server timed out earlier in this call."});
}

// The polls of a push ask the server that took it, even while it answers 503.
TEST_F(Failover, PushPollsStayWithTheirServer) {
  FakeZelvane taker, other;
  taker.queue_json("send_push_message", R"({"errorCode": 0, "authnUserReqId": "r1"})");
  taker.queue("validate_oath_otp", http_reply(503, ""));
  taker.queue_json("validate_oath_otp", R"({"errorCode": 0})");
  other.set_default_json("validate_oath_otp", R"({"errorCode": 9030})");
  hosts({local(taker.port()), local(other.port())});
  params->max_push_wait_secs = 10;
  EXPECT_EQ(send_push_message(params.get(), "alice", "pushapp"), PAM_SUCCESS);
  EXPECT_EQ(taker.requests("validate_oath_otp").size(), 2u);
  EXPECT_TRUE(other.requests().empty());
  // The polls resume the TLS session of the push; the push itself had none to resume.
  const std::vector<Received> received = taker.server().received();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_FALSE(received[0].resumed);
  EXPECT_TRUE(received[1].resumed);
  EXPECT_TRUE(received[2].resumed);
  EXPECT_EQ(call.pinned, -1) << "unpinned once the wait is over";
}

// Outside a call nothing is kept: every request makes a full handshake.
TEST_F(Failover, NoSessionOutsideACall) {
  TlsServer server;
  hosts({local(server.port())});
  params->call = nullptr;
  EXPECT_EQ(post(), Posted::ok);
  EXPECT_EQ(post(), Posted::ok);
  ASSERT_EQ(server.received().size(), 2u);
  EXPECT_FALSE(server.received()[1].resumed);
}

TEST_F(Failover, IPv6AddressInBrackets) {
  TlsServerOptions v6;
  v6.ipv6 = true;
  TlsServer server(v6);
  hosts({"[::1]:" + server.port_str()});
  std::string reply;
  EXPECT_EQ(post(&reply), Posted::ok);
  ASSERT_EQ(server.received().size(), 1u);
  EXPECT_EQ(server.received()[0].header("Host"), "[::1]");
  EXPECT_STREQ(call.server, ("[::1]:" + server.port_str()).c_str());
}
