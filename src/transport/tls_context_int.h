// The TLS client context (tls_context.cpp), for the transport's own files.
#pragma once

#include <openssl/ssl.h>

#include "config/params.h"

namespace zv::transport {

// create_ssl_context for a CA file already chosen with get_ca_certificates_path. The caller
// frees the context; null on failure (logged).
SSL_CTX *new_ssl_context(const module_params *params, const char *path);

} // namespace zv::transport
