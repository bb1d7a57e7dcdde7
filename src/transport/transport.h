// Server transport: one HTTPS POST of a JSON body over a fresh, verified TLS 1.2+ connection,
// directly or through an HTTP CONNECT proxy tunnel, and the return of the reply body.
#pragma once

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include "config/params.h"

#define ZV_RESPONSE_INITIAL 4096
#define ZV_RESPONSE_MAX 1048577 /* buffer cap; at most 1,048,575 bytes are accepted */
#define ZV_PROXY_REPLY_SIZE 4096

ZV_API_BEGIN

// Posts `body` to params->path on host:port. Returns 1 when a 2xx response was received; then
// *json_response holds a heap copy of the body (caller frees) or null when there was none.
// Returns 0 on every failure. *json_response is set to null when the TLS phase begins.
// The server certificate must chain to the trust store and name `host`; a missing or empty
// `host` fails before any connection. SIGPIPE from a peer that resets is never delivered.
ZV_API int post_json_request(const module_params *params, const char *body, char **json_response);

// 1 when the proxy (if configured) or the server accepts a TCP connection within
// connection_timeout_secs, else 0.
ZV_API int is_server_reachable(const module_params *params);

// A TLS client context that trusts the chosen CA file (partial chains allowed), verifies the
// peer and refuses anything below TLS 1.2; null on failure. The caller frees it, before the
// module is unloaded: its certificate store decodes the file's certificates as chains need
// them.
ZV_API SSL_CTX *create_ssl_context(const module_params *params);

// The CA file to trust: ca_cert_file when set (and readable), else the first readable system
// file; null when none. Not a new allocation.
ZV_API const char *get_ca_certificates_path(const module_params *params);

// Writes OpenSSL's queued errors of this thread at LOG_DEBUG and empties the queue.
ZV_API void log_ssl_errors(const module_params *params, const char *function, int line,
                           const char *operation);

// Opens a plain connection to the proxy and a CONNECT tunnel to host:port through it.
// Returns the channel (caller owns it) or null.
ZV_API BIO *proxy_connect(const module_params *params);

// Checks an HTTP/1.x status line and finds the body. Returns 0 with *status set and *body
// pointing into `response` (or null when there is none), or -1 (status 0, body null).
ZV_API int parse_http_response(const module_params *params, const char *response, int *status,
                               const char **body);

ZV_API_END
