// The HTTPS request with a chosen bound on each wait for the server (request.cpp), for the
// transport's own files and its tests.
#pragma once

#include "config/params.h"

namespace zv::transport {

// post_json_request with its wait on the peer bounded by `io_timeout_secs` instead of
// kIoTimeoutSecs.
int post_json(const module_params *params, const char *body, char **json_response,
              int io_timeout_secs);

} // namespace zv::transport
