// The TLS client context of one request: the trust store (one CA file, every certificate in it
// a trust anchor, read for this request and decoded as far as chains need it), peer
// verification and TLS 1.2 as the lowest version. Also the one routine that drains OpenSSL's
// error queue into the debug log.
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <syslog.h>
#include <unistd.h>

#include "common/own.h"
#include "pam/log.h"
#include "transport/channel_int.h"
#include "transport/tls_context_int.h"
#include "transport/transport.h"
#include "transport/trust_store_int.h"

namespace {

using zv::transport::StorePtr;

// Tried in this order when no ca_cert_file is configured. Fixed on purpose: the trust store of
// an authentication module must not be movable through the environment.
constexpr const char *kSystemCaFiles[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/tls/cacert.pem",
    "/etc/ssl/cert.pem",
};

// With the effective IDs: a set-user-ID host reads the file with those.
bool readable(const char *path) { return faccessat(AT_FDCWD, path, R_OK, AT_EACCESS) == 0; }

// The same anchors, flags and verdicts as loading the file into this context, without decoding
// the certificates no chain needs (see trust_store.cpp).
bool load_trust_store(const module_params *params, SSL_CTX *ctx, const char *path,
                      bool *exhausted) {
  ZV_LOG_AS("create_ssl_context", params, LOG_DEBUG, "Loading CA certificates from: %s", path);
  int count = 0;
  StorePtr store(zv::transport::trust_store_from_file(path, &count));
  if (!store) {
    *exhausted = zv::transport::drain_ssl_errors(params, "create_ssl_context", __LINE__,
                                                 "SSL_CTX_load_verify_locations");
    return false;
  }
  SSL_CTX_set_cert_store(ctx, store.release()); // the context owns it from here
  ZV_LOG_AS("create_ssl_context", params, LOG_DEBUG, "Loaded %d CA certificate(s) from %s", count,
            path);
  return true;
}

} // namespace

extern "C" const char *get_ca_certificates_path(const module_params *params) {
  if (params->ca_cert_file != nullptr) {
    // An administrator's explicit choice is never replaced by a system file.
    if (!readable(params->ca_cert_file)) {
      ZV_LOG(params, LOG_ERR, "ca_cert_file does not exist or is not readable: %s",
             params->ca_cert_file);
      return nullptr;
    }
    ZV_LOG(params, LOG_DEBUG, "Using CA certificate file from parameters: %s",
           params->ca_cert_file);
    return params->ca_cert_file;
  }
  for (const char *path : kSystemCaFiles) {
    if (readable(path)) {
      ZV_LOG(params, LOG_DEBUG, "Using CA certificate file from system path: %s", path);
      return path;
    }
  }
  ZV_LOG(params, LOG_ERR, "No CA certificate file found in common locations.");
  return nullptr;
}

SSL_CTX *zv::transport::new_ssl_context(const module_params *params, const char *path,
                                        bool *exhausted) {
  bool ignored = false;
  if (exhausted == nullptr) exhausted = &ignored;
  *exhausted = false;
  OPENSSL_init_ssl(0, nullptr);
  zv::UniquePtr<SSL_CTX> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    ZV_LOG_AS("create_ssl_context", params, LOG_ERR, "Failed to create SSL context");
    *exhausted = drain_ssl_errors(params, "create_ssl_context", __LINE__, "SSL_CTX_new");
    return nullptr;
  }
  if (!load_trust_store(params, ctx.get(), path, exhausted)) return nullptr;
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1) {
    ZV_LOG_AS("create_ssl_context", params, LOG_ERR,
              "Failed to set minimum protocol version to TLS 1.2");
    log_ssl_errors(params, "create_ssl_context", __LINE__, "SSL_CTX_set_min_proto_version");
    return nullptr;
  }
  // Replies carry offline codes: decrypted records are wiped before their buffers are freed.
  SSL_CTX_set_options(ctx.get(), SSL_OP_CLEANSE_PLAINTEXT);
  // Records are read as they come, many in one read(), instead of a header and a body each: some
  // twenty fewer system calls per request. The socket carries nothing but TLS once the
  // handshake starts (a proxy's answer to CONNECT is read before), so nothing is read too early.
  SSL_CTX_set_read_ahead(ctx.get(), 1);
  return ctx.release();
}

extern "C" SSL_CTX *create_ssl_context(const module_params *params) {
  const char *path = get_ca_certificates_path(params);
  if (path == nullptr) {
    ZV_LOG(params, LOG_ERR, "FAILED: get_ca_certificates_path");
    return nullptr;
  }
  return zv::transport::new_ssl_context(params, path);
}

bool zv::transport::drain_ssl_errors(const module_params *params, const char *function, int line,
                                     const char *operation) noexcept {
  if (function == nullptr) function = "";
  if (operation == nullptr) operation = "";
  if (ERR_peek_error() == 0) {
    syslog_message(params, LOG_DEBUG, "%s[%d]: ERROR: %s FAILED", function, line, operation);
    return false;
  }
  // Drained whether or not the lines are written, so they cannot attach to a later failure.
  bool exhausted = false;
  unsigned long err;
  while ((err = ERR_get_error()) != 0) {
    if (ERR_SYSTEM_ERROR(err) ? is_exhaustion(ERR_GET_REASON(err))
                              : ERR_GET_REASON(err) == ERR_R_MALLOC_FAILURE)
      exhausted = true;
    char text[256];
    ERR_error_string_n(err, text, sizeof text);
    syslog_message(params, LOG_DEBUG, "%s[%d]: ERROR: %s: %s", function, line, operation, text);
  }
  return exhausted;
}

extern "C" void log_ssl_errors(const module_params *params, const char *function, int line,
                               const char *operation) {
  (void)zv::transport::drain_ssl_errors(params, function, line, operation);
}
