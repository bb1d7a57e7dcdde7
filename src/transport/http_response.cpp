// The status line and body of an HTTP/1.x response: shared by the server's reply and the
// proxy's answer to CONNECT. No header is interpreted; the first empty line ends the head.
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "pam/log.h"
#include "transport/transport.h"

extern "C" int parse_http_response(const module_params *params, const char *response, int *status,
                                   const char **body) {
  *status = 0;
  *body = nullptr;
  if (response == nullptr || std::strncmp(response, "HTTP/1.", 7) != 0) {
    ZV_LOG(params, LOG_ERR, "Response does not start with HTTP/1.x");
    return -1;
  }
  const char *space = std::strchr(response, ' ');
  if (space == nullptr) {
    ZV_LOG(params, LOG_ERR, "Malformed HTTP status line");
    return -1;
  }
  char *end = nullptr;
  const long code = std::strtol(space + 1, &end, 10);
  if (end == space + 1 || code < 100 || code > 599) {
    ZV_LOG(params, LOG_ERR, "Invalid HTTP status code");
    return -1;
  }
  *status = static_cast<int>(code);
  const char *blank = std::strstr(response, "\r\n\r\n");
  if (blank != nullptr && blank[4] != '\0') *body = blank + 4;
  return 0;
}
