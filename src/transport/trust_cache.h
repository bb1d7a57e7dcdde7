// Parsed CA files shared between requests, so that the system bundle is not parsed for each one.
// Hidden from the module's exported interface.
#pragma once

#include <memory>
#include <openssl/x509_vfy.h>

#include "common/own.h"

namespace zv::transport {

using StorePtr = zv::UniquePtr<X509_STORE>;

// The trust store of the CA file at `path` as the file is at this moment: every certificate in
// it a trust anchor (X509_V_FLAG_PARTIAL_CHAIN), as if the file had just been loaded. Returns a
// new reference (release it with X509_STORE_free) to a store that other requests may share and
// that must never be changed, and sets *count to the number of certificates in it. Null (with
// *count 0) when the file cannot be read or holds no certificate or CRL; OpenSSL's error queue
// then says why, as it would after SSL_CTX_load_verify_locations.
X509_STORE *acquire_trust_store(const char *path, int *count);

} // namespace zv::transport
