// The CONNECT tunnel through an HTTP proxy (proxy.cpp), for the transport's own files and tests.
#pragma once

#include <cstddef>

#include "common/own.h"
#include "config/params.h"
#include "transport/channel_int.h"
#include "transport/servers_int.h"

namespace zv::transport {

// Connects to the proxy and has it open a tunnel to `server`, all before the deadline. Returns
// the connected non-blocking socket, or an invalid one with *why and the failing step in *stage
// (after logging as proxy_connect). *answer (when given) receives the status of the proxy's
// answer, once one came.
Fd open_tunnel(const module_params *params, const Server &server, const Deadline &deadline,
               Failure *why, const char **stage, int *answer);

// Reads a proxy's answer to CONNECT into buf (size bytes, NUL-terminated) until it holds the
// empty line that ends the head, or size - 1 bytes, skipping interim (1xx) answers before it
// (kMaxInterim at most). No byte after the head is taken: the tunnel starts right after it.
// `read` reads up to n bytes into its buffer and returns the count, or 0 or less when the
// stream ends or fails; with `peek` the bytes stay to be read again. Returns the number of bytes
// held, or -1 when a read ends (0 or less) before that.
long read_proxy_reply(long (*read)(void *source, char *buf, size_t n, bool peek), void *source,
                      char *buf, size_t size);

} // namespace zv::transport
