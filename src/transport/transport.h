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

namespace zv::transport {

// How a request ended, for the server operations.
enum class Posted {
  ok,          // a 2xx response; *json_response holds its body (a heap copy) or null
  refused,     // the server answered with an HTTP error status: an answer, not an outage
  unreachable, // no server answered (network, time-out, TLS, 502/503/504, unusable response)
  failed,      // this side failed (memory or descriptors ran out): no server is at fault
};

// post_json_request, telling a server's HTTP error apart from an outage. Tries the servers of
// `host` in order (see transport/servers_int.h), all within one deadline of
// request_timeout_secs; within a pam_sm_authenticate call (params->call) a server that failed is
// tried after the others, and one that timed out is not tried again. A failure on this side
// ends the request at once as Posted::failed: the next server would fare no better.
Posted post(const module_params *params, const char *body, char **json_response);

// Within the call, later requests go only to the server that answered the last one (the polls
// of a push stay with the server that took it), until unpin_server.
void pin_answering_server(const module_params *params);
void unpin_server(const module_params *params);

// What the check command learns of one server of `host`: each step of a connection with its
// time, and the certificate the server presented.
struct ServerCheck {
  char server[272]; // "name:port"
  char address[48]; // the address connected to (the proxy's, through a proxy)
  double resolve_ms = -1, connect_ms = -1, handshake_ms = -1; // -1: not reached (or proxied)
  bool ok = false;        // connected, handshake done, certificate verified and naming the server
  const char *stage = ""; // the step that failed
  const char *failure = "";
  int proxy_status = 0; // the status of the proxy's answer to CONNECT (0: none came)
  char subject[256];    // the server certificate's subject, one line
  char not_after[32];   // its expiry, "YYYY-MM-DD HH:MM:SS UTC"
};

// The trust store of the CA file at `path` with every certificate in it decoded (the check
// command reports their expiry); null when it cannot be used. The caller frees it; *count is the
// number of certificates, as "Loaded %d CA certificate(s)" gives it.
X509_STORE *trust_store_decoded(const char *path, int *count);

// The number of usable servers in params->host.
int count_servers(const module_params *params);
// Connects to the `index`-th server as a request would (proxy, TLS, certificate and name check),
// within request_timeout_secs, and fills *out. Returns out->ok.
bool check_server(const module_params *params, int index, ServerCheck *out);

} // namespace zv::transport
