// The status line and body of an HTTP/1.x response: shared by the server's reply and the
// proxy's answer to CONNECT. No header is interpreted; the first empty line ends the head.
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "pam/log.h"
#include "transport/framing_int.h"
#include "transport/transport.h"

int zv::transport::http_status(const char *response) {
  if (response == nullptr || std::strncmp(response, "HTTP/1.", 7) != 0) return kStatusNotHttp;
  const char *space = std::strchr(response, ' ');
  if (space == nullptr) return kStatusNoSpace;
  char *end = nullptr;
  const long code = std::strtol(space + 1, &end, 10);
  if (end == space + 1 || code < 100 || code > 599) return kStatusBadCode;
  return static_cast<int>(code);
}

extern "C" int parse_http_response(const module_params *params, const char *response, int *status,
                                   const char **body) {
  using namespace zv::transport;
  *status = 0;
  *body = nullptr;
  const int code = http_status(response);
  if (code == kStatusNotHttp) {
    ZV_LOG(params, LOG_ERR, "Response does not start with HTTP/1.x");
    return -1;
  }
  if (code == kStatusNoSpace) {
    ZV_LOG(params, LOG_ERR, "Malformed HTTP status line");
    return -1;
  }
  if (code == kStatusBadCode) {
    ZV_LOG(params, LOG_ERR, "Invalid HTTP status code");
    return -1;
  }
  *status = code;
  const char *blank = std::strstr(response, "\r\n\r\n");
  if (blank != nullptr && blank[4] != '\0') *body = blank + 4;
  return 0;
}
