// The trust store of a CA file, for this folder (and its tests) only: the file's certificates
// indexed by subject and decoded when a chain needs them. Hidden from the module's exported
// interface.
#pragma once

#include <cstddef>
#include <memory>
#include <openssl/x509_vfy.h>

#include "common/own.h"

namespace zv::transport {

using StorePtr = zv::UniquePtr<X509_STORE>;

// The index behind a store built from the bytes of a CA file (owned by the store).
struct TrustIndex;

// The trust store of the CA file at `path`, read once, now: every certificate in it a trust
// anchor (X509_V_FLAG_PARTIAL_CHAIN), and every verdict that of a store that loaded the whole
// file. Returns a new store (the caller frees it) and sets *count to the number of distinct
// certificates in the file. Null (with *count 0) when the file cannot be read or holds no
// certificate or CRL, or a block a full load would refuse; OpenSSL's error queue then says why,
// as after SSL_CTX_load_verify_locations. A certificate of the file that a chain reaches but
// that does not decode (a full load would refuse the file) fails every verification.
X509_STORE *trust_store_from_file(const char *path, int *count);

// The same from the `len` bytes of a CA file (copied as far as the store needs them). *index
// (when given) receives the store's index, or null when the file was parsed whole instead:
// a layout the index does not take (a private key, a header, a certificate whose subject it
// cannot reach) is loaded exactly as OpenSSL loads it. With `canonical` false, a canonical file
// is read by OpenSSL's PEM reader all the same.
X509_STORE *trust_store_from_text(const char *data, size_t len, int *count, TrustIndex **index,
                                  bool canonical = true);

// Whether the index was read by the reader of canonical files rather than OpenSSL's.
bool trust_index_canonical(const TrustIndex *index);

// Whether two indexes hold the same blocks, in the same order, with the same keys and bytes.
bool trust_index_same(const TrustIndex *a, const TrustIndex *b);

// Decodes every certificate of the index that no chain has needed yet, into its store. False
// when one of them does not decode (the store then verifies nothing).
bool trust_index_load_all(TrustIndex *index);

} // namespace zv::transport
