// The server's own little PKI: a CA made on first start and a certificate for localhost and
// 127.0.0.1 issued by it, kept as PEM files in the state directory.
#pragma once

#include <openssl/ssl.h>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace devserver {

// Makes sure `dir` holds ca.pem, server.pem and server.key (0600) that belong together, name
// localhost and 127.0.0.1, and stay valid for at least another day; otherwise makes a new CA
// (EC P-256) and server certificate. The CA key is never written: nothing else can be issued
// under the CA a user trusts. Returns 0 and sets *generated, or -1 with the reason in *error.
int ensure_pki(const std::string &dir, bool *generated, std::string *error);

// A TLS server context (TLS 1.2 or newer) serving dir/server.pem and dir/server.key, or null
// with the reason in *error. The caller frees it.
SSL_CTX *server_context(const std::string &dir, std::string *error);

// Replaces `path` with `data` through a temporary file and rename, with permissions `mode`.
// Returns 0, or -1 with the reason in *error.
int write_file(const std::string &path, std::string_view data, mode_t mode, std::string *error);

} // namespace devserver
