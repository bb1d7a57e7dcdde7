// The CONNECT tunnel through an HTTP proxy (proxy.cpp), for the transport's own files and tests.
#pragma once

#include <cstddef>
#include <openssl/bio.h>

#include "config/params.h"

namespace zv::transport {

// proxy_connect with its wait on the proxy bounded by `io_timeout_secs` instead of
// kIoTimeoutSecs.
BIO *open_proxy_tunnel(const module_params *params, int io_timeout_secs);

// Reads a proxy's answer to CONNECT into buf (size bytes, NUL-terminated) until it holds the
// empty line that ends the header, or size - 1 bytes. Returns the number of bytes held, or -1
// when a read ends (0 or less) before that.
long read_proxy_reply(BIO *bio, char *buf, size_t size);

} // namespace zv::transport
