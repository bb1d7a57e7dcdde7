// Status line and body of HTTP/1.x responses (server replies and proxy answers alike).
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

} // namespace
