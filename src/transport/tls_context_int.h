// The TLS client context (tls_context.cpp), for the transport's own files.
#pragma once

#include <openssl/ssl.h>

#include "config/params.h"

namespace zv::transport {

// create_ssl_context for a CA file already chosen with get_ca_certificates_path. The caller
// frees the context; null on failure (logged), with *exhausted (when given) true when it failed
// because memory or descriptors ran out on this side rather than because of the file.
SSL_CTX *new_ssl_context(const module_params *params, const char *path, bool *exhausted = nullptr);

} // namespace zv::transport
