// Placeholder until the transport lands; every request fails.
#include "transport/transport.h"
extern "C" {
int post_json_request(const module_params *, const char *, char **) { return 0; }
int is_server_reachable(const module_params *) { return 0; }
SSL_CTX *create_ssl_context(const module_params *) { return nullptr; }
const char *get_ca_certificates_path(const module_params *) { return nullptr; }
void log_ssl_errors(const module_params *, const char *, int, const char *) {}
BIO *proxy_connect(const module_params *) { return nullptr; }
int parse_http_response(const module_params *, const char *, int *, const char **) { return -1; }
}
