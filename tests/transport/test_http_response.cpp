// Status line and body of HTTP/1.x responses (server replies and proxy answers alike), and the
// framing of a server's reply read from the loopback TLS server.
#include "transport/transport.h"
#include "transport_fixture.h"

using namespace zvtest;

namespace {

class HttpResponse : public TransportTest {};

TEST_F(HttpResponse, FindsStatusAndBody) {
  struct Case {
    const char *text;
    int status;
    const char *body; // null: no body
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n{\"errorCode\":0}", 200,
       "{\"errorCode\":0}"},
      {"HTTP/1.0 200 Connection established\r\n\r\n", 200, nullptr},
      {"HTTP/1.1 204 No Content\r\n\r\n", 204, nullptr},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nX: y", 407, nullptr}, // no empty line
      {"HTTP/1.1 599", 599, nullptr},
      {"HTTP/1.1 100 Continue\r\n\r\nx", 100, "x"},
      // Only the first empty line separates; headers are never read.
      {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nab\r\n\r\ncd", 200, "ab\r\n\r\ncd"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello", 200, "5\r\nhello"},
      // strtol rules: leading white space and a sign are taken.
      {"HTTP/1.1  +201 Created\r\n\r\n{}", 201, "{}"},
  };
  for (const auto &c : cases) {
    int status = -1;
    const char *body = "unset";
    EXPECT_EQ(parse_http_response(params.get(), c.text, &status, &body), 0) << c.text;
    EXPECT_EQ(status, c.status) << c.text;
    if (c.body == nullptr) {
      EXPECT_EQ(body, nullptr) << c.text;
    } else {
      ASSERT_NE(body, nullptr) << c.text;
      EXPECT_EQ(body, std::strstr(c.text, "\r\n\r\n") + 4) << "body points into the text";
      EXPECT_STREQ(body, c.body);
    }
  }
  EXPECT_TRUE(log_lines().empty());
}

TEST_F(HttpResponse, RejectsMalformedStatusLines) {
  const LogLine no_prefix{LOG_ERR, "parse_http_response: Response does not start with HTTP/1.x"};
  const LogLine no_space{LOG_ERR, "parse_http_response: Malformed HTTP status line"};
  const LogLine bad_code{LOG_ERR, "parse_http_response: Invalid HTTP status code"};
  struct Case {
    const char *text;
    LogLine logged;
  } cases[] = {
      {"HTTP/2 200 OK\r\n\r\n{}", no_prefix},
      {"http/1.1 200 OK\r\n\r\n", no_prefix},
      {"", no_prefix},
      {"HTTP/1.", no_space},
      {"HTTP/1.1\r\n\r\n200", no_space},
      {"HTTP/1.1 600 Odd\r\n\r\n", bad_code},
      {"HTTP/1.1 99 Low\r\n\r\n", bad_code},
      {"HTTP/1.1 OK 200\r\n\r\n", bad_code},
      {"HTTP/1.1 ", bad_code},
      {"HTTP/1.1 -200 X\r\n\r\n", bad_code},
      {"HTTP/1.1 99999999999999999999999 X", bad_code},
  };
  for (const auto &c : cases) {
    syslog_clear();
    int status = -1;
    const char *body = "unset";
    EXPECT_EQ(parse_http_response(params.get(), c.text, &status, &body), -1) << c.text;
    EXPECT_EQ(status, 0) << c.text;
    EXPECT_EQ(body, nullptr) << c.text;
    EXPECT_EQ(log_lines(), LogLines{c.logged}) << c.text;
  }
}

// Where a reply ends: chunks, Content-Length on a connection the server keeps open (the request
// must end without waiting for the close: the time limit would fail it), interim responses, and
// whatever could be read two ways.
TEST_F(HttpResponse, FramingOfTheServersReply) {
  const std::string ok = "HTTP/1.1 200 OK\r\n", te = "Transfer-Encoding: chunked\r\n\r\n";
  const std::string continues = "HTTP/1.1 100 Continue\r\n\r\n";
  std::string interims;
  for (int i = 0; i < 6; i++) interims += continues;
  const std::string too_large = "post_json_request: Response exceeds maximum size (1048576 bytes)";
  struct Case {
    std::string reply;
    size_t chunk;     // written in pieces of this size (0: at once)
    bool keep_open;   // the server holds the connection after the reply
    std::string body; // "<null>": none; "": unusable, with `logged`
    std::string logged;
  } cases[] = {
      {ok + te + "5\r\n{\"a\":\r\n2\r\n1}\r\n0\r\n\r\n", 3, true, "{\"a\":1}", ""},
      {ok + "transfer-encoding:  Chunked \r\n\r\nA;ext=\"v\"\r\n{\"b\":true}\r\n0 ;x\r\nT: "
            "y\r\n\r\nafter",
       0, true, "{\"b\":true}", ""},
      {ok + "Content-Length: 7\r\n\r\n{\"a\":1}left over", 0, true, "{\"a\":1}", ""},
      {ok + "content-length: 2\r\nContent-Length: 2 , 2\r\n\r\n{}", 1, true, "{}", ""},
      {continues + "HTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\n" + ok +
           "Content-Length: 2\r\n\r\n{}",
       5, true, "{}", ""},
      {"HTTP/1.1 204 No Content\r\n\r\n", 0, true, "<null>", ""},
      {ok + "\r\n{\"to\":\"close\"}", 0, false, "{\"to\":\"close\"}", ""},
      {ok + "Content-Length: 20\r\n\r\n{\"a\":1}", 0, false, "",
       "a body shorter than its Content-Length"},
      {ok + te + "5\r\n{\"a\":\r\n", 0, false, "", "the connection closed within the chunked body"},
      {ok + te + "5\r\n{\"a\":1}\r\n0\r\n\r\n", 0, true, "", "chunk data not followed by CRLF"},
      {ok + te + "x5\r\n{\"a\":\r\n0\r\n\r\n", 0, true, "", "a bad chunk size"},
      {ok + te + "5\n{\"a\":\r\n0\r\n\r\n", 0, true, "", "a chunk line that does not end in CRLF"},
      {ok + te + "fffffffffffffffffffff\r\n", 0, true, "", too_large},
      {ok + "Content-Length: 2\r\n" + te + "{}", 0, true, "",
       "both Transfer-Encoding and Content-Length"},
      {ok + "Transfer-Encoding: gzip, chunked\r\n\r\n", 0, true, "",
       "a transfer coding other than chunked"},
      {"HTTP/1.0 200 OK\r\n" + te + "0\r\n\r\n", 0, true, "",
       "Transfer-Encoding in an HTTP/1.0 response"},
      {ok + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}", 0, true, "",
       "Content-Length values that disagree"},
      {ok + "Content-Length : 2\r\n\r\n{}", 0, true, "",
       "white space before the colon of a framing field"},
      {ok + "Content-Length: 99999999999999999999\r\n\r\n{}", 0, true, "", too_large},
      {interims + ok + "\r\n{}", 0, false, "", "too many interim responses"},
      {"HTTP/1.1 101 Switching Protocols\r\n\r\n", 0, true, "",
       "a switch of protocols that was not asked for"},
      {ok + "X: " + std::string(16384, 'h') + "\r\n\r\n{}", 0, false, "",
       "header fields beyond 16384 bytes"},
  };
  TlsServer server;
  set(&module_params::port, server.port_str());
  params->request_timeout_secs = 3; // a request that waits for the close fails
  for (const auto &c : cases) {
    server.set_handler([&](const Received &) {
      Reply r{c.reply, c.chunk};
      r.keep_open = c.keep_open;
      return r;
    });
    syslog_clear();
    char *out = nullptr;
    const int rc = post_json_request(params.get(), "{}", &out);
    const std::string what = c.reply.substr(0, 90);
    EXPECT_EQ(rc, c.body.empty() ? 0 : 1) << what;
    EXPECT_EQ(out != nullptr ? std::string(out) : "<null>", c.body.empty() ? "<null>" : c.body)
        << what;
    std::free(out);
    const std::string logged = c.logged.rfind("post_json", 0) == 0
                                   ? c.logged
                                   : "post_json_request: Unusable HTTP response: " + c.logged;
    EXPECT_EQ(log_lines(), (c.logged.empty() ? LogLines{} : LogLines{{LOG_ERR, logged}})) << what;
  }
}

} // namespace
