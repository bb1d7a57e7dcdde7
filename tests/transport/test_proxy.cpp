// The CONNECT tunnel: against a real tinyproxy (started and stopped by the test, by its own
// PID), and against a scripted fake proxy for the exact request bytes and odd answers.
#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tinyproxy.h"
#include "transport/channel_int.h"
#include "transport/proxy_int.h"
#include "transport/transport.h"
#include "transport_fixture.h"

using namespace zvtest;

namespace {

class Proxy : public TransportTest {
protected:
  void SetUp() override {
    TransportTest::SetUp();
    server = std::make_unique<TlsServer>();
    set(&module_params::port, server->port_str());
    set(&module_params::proxy_server, "127.0.0.1");
  }
  void TearDown() override { tinyproxy.reset(); }
  void start_tinyproxy(int port, const std::string &extra = "") {
    tinyproxy = std::make_unique<TinyProxy>(port, extra);
    ASSERT_TRUE(tinyproxy->running()) << "tinyproxy did not come up on port " << port;
    set(&module_params::proxy_port, std::to_string(port));
  }
  int post() {
    char *out = nullptr;
    int rc = post_json_request(params.get(), "{\"a\":1}", &out);
    reply = out != nullptr ? out : "<null>";
    std::free(out);
    return rc;
  }
  std::unique_ptr<TlsServer> server;
  std::unique_ptr<TinyProxy> tinyproxy;
  std::string reply;
};

TEST_F(Proxy, TunnelThroughTinyproxy) {
  ASSERT_NO_FATAL_FAILURE(start_tinyproxy(free_port()));
  params->connection_timeout_secs = 2; // the proxy is what the pre-check tests
  EXPECT_EQ(post(), 1);
  EXPECT_EQ(reply, "{\"errorCode\":0}");
  auto got = server->received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].header("Host"), "localhost") << "the request inside the tunnel is unchanged";
  EXPECT_TRUE(log_lines().empty());

  // The certificate is checked through the tunnel as on the direct path.
  TlsServer other({test_pki().other_name_chain, test_pki().other_name_key});
  set(&module_params::port, other.port_str());
  EXPECT_EQ(post(), 0);
  EXPECT_TRUE(other.received().empty());
  EXPECT_EQ(log_lines(), (LogLines{{LOG_ERR, "post_json_request: ERROR: SSL_get_verify_result: "
                                             "hostname mismatch"}}));
}

TEST_F(Proxy, TinyproxyWithBasicAuth) {
  // (tinyproxy's grammar takes letters and digits here)
  ASSERT_NO_FATAL_FAILURE(start_tinyproxy(free_port(), "BasicAuth zvproxy Pr0xyPass\n"));
  set(&module_params::proxy_username, "zvproxy");
  set(&module_params::proxy_password, "Pr0xyPass");
  EXPECT_EQ(post(), 1);
  EXPECT_EQ(server->received().size(), 1u);
  EXPECT_TRUE(log_lines().empty());

  // tinyproxy answers wrong credentials with 401 and missing ones with 407; an empty password
  // sends none at all. Either way the call fails without a retry.
  const std::pair<const char *, int> refusals[] = {{"wrong", 401}, {"", 407}};
  for (auto [password, status] : refusals) {
    set(&module_params::proxy_password, password);
    syslog_clear();
    EXPECT_EQ(post(), 0);
    EXPECT_EQ(log_lines(), (LogLines{{LOG_ERR, "proxy_connect: Proxy CONNECT failed with HTTP " +
                                                   std::to_string(status)}}));
  }
  EXPECT_EQ(server->received().size(), 1u);
}

TEST_F(Proxy, DefaultProxyPort8080) {
  if (port_accepts(8080)) GTEST_SKIP() << "127.0.0.1:8080 is in use on this machine";
  ASSERT_NO_FATAL_FAILURE(start_tinyproxy(8080));
  set(&module_params::proxy_port, "8080");
  // the default value
  EXPECT_EQ(post(), 1);
  EXPECT_EQ(server->received().size(), 1u);
}

TEST_F(Proxy, ExactConnectRequests) {
  TlsServerOptions plain;
  plain.plain = true;
  TlsServer fake(plain);
  fake.set_handler([](const Received &) { return http_reply(407, ""); });
  set(&module_params::proxy_port, fake.port_str());
  const std::string target = "localhost:" + server->port_str();
  const char *logins[][2] = {{nullptr, nullptr}, {"user", ""}, {"", "pass"}, {"user", "pass"}};
  for (auto &login : logins) {
    set(&module_params::proxy_username, login[0]);
    set(&module_params::proxy_password, login[1]);
    EXPECT_EQ(proxy_connect(params.get()), nullptr);
  }
  auto got = fake.received();
  ASSERT_EQ(got.size(), 4u);
  const std::string bare = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
  for (int i = 0; i < 3; i++) EXPECT_EQ(got[i].raw, bare);
  EXPECT_EQ(got[3].raw, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target +
                            "\r\nProxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n");
}

TEST_F(Proxy, AnswersOfAScriptedProxy) {
  TlsServerOptions plain;
  plain.plain = true;
  TlsServer fake(plain);
  set(&module_params::proxy_port, fake.port_str());
  const std::string pad = "X-Pad: " + std::string(5000, 'a');
  const LogLine read_failed{LOG_ERR, "proxy_connect: Failed to read CONNECT response from proxy"};
  struct Case {
    std::string answer;
    size_t chunk;
    bool close_early;
    LogLines logged;  // empty: the tunnel is handed back
    std::string rest; // what the tunnel then carries
  } cases[] = {
      {"HTTP/1.1 200 Connection established\r\n\r\n", 0, false, {}},
      {"HTTP/1.0 200 Connection established\r\nProxy-agent: x\r\n\r\n", 1, false, {}},
      // 4095 bytes without an empty line: the status line alone decides.
      {"HTTP/1.1 200 OK\r\n" + pad, 0, false, {}, pad.substr(4095 - 17)},
      // Interim answers are skipped; the tunnel starts right after the empty line.
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n\x16\x03\x03tunnel",
       7,
       false,
       {},
       "\x16\x03\x03tunnel"},
      {"HTTP/1.1 407 Proxy Authentication Required\r\n" + pad,
       0,
       false,
       {{LOG_ERR, "proxy_connect: Proxy CONNECT failed with HTTP 407"}}},
      {"HTTP/1.1 204 No Content\r\n\r\n",
       0,
       false,
       {{LOG_ERR, "proxy_connect: Proxy CONNECT failed with HTTP 204"}}},
      {"HTTP/1.1 200 OK\r\n", 0, false, {read_failed}}, // closes before the empty line
      {"", 0, true, {read_failed}},
      {"SSH-2.0-OpenSSH_9.2\r\n\r\n",
       0,
       false,
       {{LOG_ERR, "parse_http_response: Response does not start with HTTP/1.x"},
        {LOG_ERR, "proxy_connect: Failed to parse proxy CONNECT response"}}},
  };
  for (const auto &c : cases) {
    fake.set_handler([&](const Received &) {
      Reply r{c.answer, c.chunk, c.close_early};
      return r;
    });
    syslog_clear();
    BIO *tunnel = proxy_connect(params.get());
    EXPECT_EQ(tunnel != nullptr, c.logged.empty()) << c.answer.substr(0, 40);
    EXPECT_EQ(log_lines(), c.logged) << c.answer.substr(0, 40);
    std::string rest;
    char buf[4096];
    for (int n; tunnel != nullptr && (n = BIO_read(tunnel, buf, sizeof buf)) > 0;)
      rest.append(buf, n);
    EXPECT_EQ(rest, c.rest) << c.answer.substr(0, 40);
    BIO_free_all(tunnel);
  }
}

// A proxy that takes the connection and never answers CONNECT fails the request within the
// time limit on waiting for it.
TEST_F(Proxy, ASilentProxyFailsWithinTheTimeLimit) {
  MuteListener mute;
  ASSERT_NE(mute.port, 0);
  set(&module_params::proxy_port, std::to_string(mute.port));
  params->request_timeout_secs = 1;
  BIO *tunnel = nullptr;
  EXPECT_LT(seconds_taken([&] { tunnel = proxy_connect(params.get()); }), 10);
  EXPECT_EQ(tunnel, nullptr);
  BIO_free_all(tunnel);
  char *out = nullptr;
  int rc = -1;
  EXPECT_LT(seconds_taken([&] { rc = post_json_request(params.get(), "{}", &out); }), 10);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, nullptr);
  const LogLine failed{LOG_ERR, "proxy_connect: Failed to read CONNECT response from proxy"};
  EXPECT_EQ(log_lines(),
            (LogLines{failed,
                      failed,
                      {LOG_WARNING, "post_json_request: Server (localhost:" + server->port_str() +
                                        ") did not answer within 1 seconds (opening "
                                        "the proxy tunnel)."}}));
  EXPECT_TRUE(server->received().empty());
}

TEST_F(Proxy, ProxyNotListening) {
  const std::string port = std::to_string(free_port());
  set(&module_params::proxy_port, port);
  params->debug = 1;
  EXPECT_EQ(post(), 0);
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[3],
            (LogLine{LOG_ERR, "proxy_connect: Failed to connect to proxy 127.0.0.1:" + port}));
  EXPECT_EQ(lines.size() - 4,
            count_logged(LOG_DEBUG, "proxy_connect: ERROR: BIO_do_connect (proxy): "));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

} // namespace
