// A CA file as a trust store that decodes only the certificates a chain needs.
//
// A host that runs every login in a process of its own (sshd, sudo, su) loads the module for
// the login and unloads it at pam_end, so nothing parsed survives from one login to the next.
// Decoding the ~145 certificates of the system bundle costs some 15 to 30 ms of CPU in OpenSSL 3
// (about 100 us each, most of it their public keys): many times the rest of a request, for the
// one or two certificates a chain uses.
//
// So the file is read once per request by OpenSSL's own PEM reader, with the flags and on the
// kind of stream a full load uses (X509_STORE_load_file reads it the same way), so the blocks,
// their bytes and where reading stops are those of a full load by construction. That reader
// costs some 80 instructions a byte, so a file in the canonical form of bundles, which it is
// certain to read one way, is read here instead: printable ASCII lines ending in "\n" or "\r\n"
// (the last may end the file); outside blocks, short lines (OpenSSL takes each whole) that do
// not begin with "-----"; blocks from "-----BEGIN CERTIFICATE-----" (or TRUSTED CERTIFICATE) to
// their END line, with no header, of lines of 4 to 64 Base64 digits, a multiple of 4 each, "="
// only at the block's end. OpenSSL frames it into the same blocks and decodes their digits to
// the same bytes (fuzz_trust_store holds the two readers to that); any other file is read by
// OpenSSL's reader from the start. Of each
// certificate only the short way to its subject is walked, and the certificate is indexed by a
// key of that name. The store carries an X509_LOOKUP whose get_by_subject, asked by the
// verifier for an issuer, decodes every certificate of the file whose key matches and adds it to
// the store, as OpenSSL's hashed-directory lookup (by_dir.c) adds the files of a hash. The
// verifier then picks among them exactly as in a store that holds the whole file:
//  - the key is a function of what X509_NAME_cmp compares (the names' canonical form: case and
//    white space folded, string types made UTF-8), only coarser, so two names OpenSSL deems
//    equal always share a key; names that share a key but differ cost one decoding too many;
//  - all certificates of one key enter the store together and in file order, so every
//    certificate of a subject is offered, duplicates keep the first as a full load does, and
//    OpenSSL's own lookup in the store (which asks the lookup only while it holds no
//    certificate of the name) finds them all;
//  - CRLs are few and decoded at once; partial chains are allowed as before.
//
// A file the reader refuses, and any layout the index does not take (a header, a key or other
// block, a certificate whose subject it cannot reach or key), goes to OpenSSL's own loader
// instead (it reads the file again from the start, on the stream already open), which accepts
// or refuses it exactly as before, with its own errors. Whether each certificate decodes is left
// to the decoder, when a chain needs it: one that the index vouched for and that then fails to
// decode (a full load would have refused the whole file) makes every verification with the
// store fail, so nothing is trusted that a full load would not trust.
//
// The store, its lookup method and the index belong to one request: nothing is shared between
// requests or threads, and nothing outlives the module.
#include "transport/transport.h"
#include "transport/trust_store_int.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "common/own.h"

#if OPENSSL_VERSION_NUMBER >= 0x30000000L
using LookupName = const X509_NAME *;
#else
using LookupName = X509_NAME *;
#endif

namespace zv::transport {

// One certificate or CRL of the file.
struct Block {
  unsigned char *der; // from OpenSSL's PEM reader: the certificate, and trust settings
  size_t len;
  size_t cert_len; // the certificate alone
  uint64_t key;    // subject_key of its subject (certificates)
  bool trusted;    // "TRUSTED CERTIFICATE": decoded with its trust settings
  bool crl;        // "X509 CRL"
  bool loaded;     // in the store (or tried)
};

struct TrustIndex {
  X509_LOOKUP_METHOD *method; // the method of the store's lookup, released with the index
  X509_STORE *store;          // borrowed: the store owns the index through its lookup
  Block *blocks;
  size_t count, capacity;
  bool failed;    // a certificate it vouched for did not decode: nothing verifies
  bool canonical; // read by read_canonical
};

namespace {

using FilePtr = UniquePtr<FILE>;
using CrlPtr = UniquePtr<X509_CRL>;
using InfosPtr = UniquePtr<STACK_OF(X509_INFO)>;

struct FreeOpenssl {
  void operator()(void *p) const noexcept { OPENSSL_free(p); }
};
template <class T> using OpensslPtr = std::unique_ptr<T, FreeOpenssl>;

// The store's slot for its index: the application's own (0, which X509_STORE_get_ex_new_index
// never hands out), free since the store is this request's alone.
constexpr int kIndexSlot = 0;
// A CA file larger than this is refused (the system bundle is 220 KB).
constexpr off_t kMaxFileSize = 64 << 20;

void free_index(TrustIndex *index) {
  if (index == nullptr) return;
  for (size_t i = 0; i < index->count; i++) OPENSSL_free(index->blocks[i].der);
  std::free(index->blocks);
  X509_LOOKUP_meth_free(index->method);
  std::free(index);
}

struct FreeIndex {
  void operator()(TrustIndex *index) const noexcept { free_index(index); }
};
using IndexPtr = std::unique_ptr<TrustIndex, FreeIndex>;

// --- The whole file through OpenSSL -------------------------------------------------------------

// Every certificate of the file is an anchor: a file holding only the issuing intermediate, or
// the server's own certificate, is enough.
X509_STORE *new_store() {
  StorePtr store(X509_STORE_new());
  if (!store || X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1) return nullptr;
  return store.release();
}

// The certificates among the store's objects (CRLs are not counted).
int count_certificates(X509_STORE *store) {
  int count = 0;
  STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); i++)
    if (X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_X509) count++;
  return count;
}

// OpenSSL's own loading by path, for what cannot be read here (a file that cannot be opened, a
// directory): it fails, or succeeds, exactly as a full load.
X509_STORE *load_by_path(const char *path, int *count) {
  StorePtr store(new_store());
  if (!store || X509_STORE_load_file(store.get(), path) != 1) return nullptr;
  *count = count_certificates(store.get());
  return store.release();
}

// What X509_STORE_load_file does with a PEM file, on the file already open: the same stdio
// reading, the same parser, the same errors queued when it fails.
X509_STORE *load_whole(FILE *file, int *count) {
  UniquePtr<BIO> in(file != nullptr ? BIO_new_fp(file, BIO_NOCLOSE) : nullptr);
  if (!in) {
    ERR_raise(ERR_LIB_X509, ERR_R_SYS_LIB);
    return nullptr;
  }
  // An empty passphrase, as OpenSSL's loader gives: an encrypted block must never prompt.
  char no_passphrase[] = "";
  InfosPtr infos(
      PEM_X509_INFO_read_bio_ex(in.get(), nullptr, nullptr, no_passphrase, nullptr, nullptr));
  if (!infos) {
    ERR_raise(ERR_LIB_X509, ERR_R_PEM_LIB);
    return nullptr;
  }
  StorePtr store(new_store());
  if (!store) return nullptr;
  int found = 0;
  for (int i = 0; i < sk_X509_INFO_num(infos.get()); i++) {
    const X509_INFO *info = sk_X509_INFO_value(infos.get(), i);
    if (info->x509 != nullptr) {
      if (X509_STORE_add_cert(store.get(), info->x509) != 1) return nullptr;
      found++;
    }
    if (info->crl != nullptr) {
      if (X509_STORE_add_crl(store.get(), info->crl) != 1) return nullptr;
      found++;
    }
  }
  if (found == 0) {
    ERR_raise(ERR_LIB_X509, X509_R_NO_CERTIFICATE_OR_CRL_FOUND);
    return nullptr;
  }
  *count = count_certificates(store.get());
  return store.release();
}

// --- DER ----------------------------------------------------------------------------------------

enum : unsigned char {
  kInteger = 0x02,
  kBitString = 0x03,
  kNull = 0x05,
  kOid = 0x06,
  kUtf8 = 0x0c,
  kPrintable = 0x13,
  kT61 = 0x14,
  kIa5 = 0x16,
  kVisible = 0x1a,
  kUniversal = 0x1c,
  kBmp = 0x1e,
  kSequence = 0x30,
  kSet = 0x31,
  kContext0 = 0xa0, // [0], constructed
};

struct Der {
  const unsigned char *p, *end;
  size_t size() const { return static_cast<size_t>(end - p); }
  bool empty() const { return p == end; }
  bool peek(unsigned char tag) const { return p != end && *p == tag; }
};

// Takes the next element off `d`, in DER's form only: a one-byte tag and a definite length in
// the fewest bytes.
inline bool take_any(Der &d, unsigned char *tag, Der *content) {
  if (d.size() < 2 || (d.p[0] & 0x1f) == 0x1f) return false;
  const unsigned char *q = d.p + 2;
  size_t len = d.p[1];
  if (len & 0x80) {
    const size_t bytes = len & 0x7f;
    if (bytes == 0 || bytes > 3 || static_cast<size_t>(d.end - q) < bytes || q[0] == 0)
      return false;
    len = 0;
    for (size_t i = 0; i < bytes; i++) len = len << 8 | q[i];
    q += bytes;
    if (len < 0x80) return false;
  }
  if (static_cast<size_t>(d.end - q) < len) return false;
  *tag = d.p[0];
  *content = Der{q, q + len};
  d.p = q + len;
  return true;
}

inline bool take(Der &d, unsigned char tag, Der *content) {
  Der rest = d;
  unsigned char found = 0;
  if (!take_any(rest, &found, content) || found != tag) return false;
  d = rest;
  return true;
}

// --- Subject keys -------------------------------------------------------------------------------

constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ull;

uint64_t mix_byte(uint64_t h, unsigned char b) { return (h ^ b) * 0x100000001b3ull; }

uint64_t mix_bytes(uint64_t h, Der c) {
  for (const unsigned char *q = c.p; q != c.end; q++) h = mix_byte(h, *q);
  return h;
}

uint64_t finish(uint64_t h) {
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebull;
  return h ^ (h >> 31);
}

// String types that X509_NAME_cmp compares by their text (as UTF-8, case and white space
// folded), with the width of one character; 0 for the rest, compared as they are.
size_t text_width(unsigned char tag) {
  switch (tag) {
  case kUtf8:
  case kPrintable:
  case kT61:
  case kIa5:
  case kVisible:
    return 1;
  case kBmp:
    return 2;
  case kUniversal:
    return 4;
  default:
    return 0;
  }
}

// The key of a Name (the content of its SEQUENCE). OpenSSL compares names by a canonical form
// in which every text value is UTF-8 with ASCII letters in lower case and runs of white space
// made one (none at the ends), and every other value is kept as it is. The key hashes each
// attribute's type with, for text, only the ASCII letters and digits of its characters
// (lower-cased; what canonicalisation changes is all dropped), or else the value's tag and
// bytes; the attributes' hashes are added, so neither their order nor their grouping into
// RDNs matters. Equal canonical forms therefore give equal keys.
// False for an encoding whose canonical form it cannot foresee: a certificate's subject then
// sends the file to a full load, and a name the verifier asks for loads every certificate.
bool subject_key(Der name, uint64_t *key) {
  uint64_t sum = 0;
  while (!name.empty()) {
    Der rdn{};
    if (!take(name, kSet, &rdn) || rdn.empty()) return false;
    while (!rdn.empty()) {
      Der ava{}, type{}, value{};
      unsigned char tag = 0;
      if (!take(rdn, kSequence, &ava) || !take(ava, kOid, &type) || !take_any(ava, &tag, &value) ||
          !ava.empty())
        return false;
      uint64_t h = mix_bytes(kFnvBasis, type);
      const size_t width = text_width(tag);
      if (width > 0) {
        if (value.size() % width != 0) return false;
        h = mix_byte(h, 't');
        for (const unsigned char *q = value.p; q != value.end; q += width) {
          // A character is ASCII when its code fits in its last byte and is below 0x80 (in
          // UTF-8 every byte of a longer character is 0x80 or above).
          unsigned char c = q[width - 1];
          for (size_t i = 0; i + 1 < width; i++)
            if (q[i] != 0) c = 0x80;
          if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
          if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) h = mix_byte(h, c);
        }
      } else {
        // Universal-class values only (as OpenSSL takes them); a constructed one other than a
        // SEQUENCE would be compared by content reassembled from its parts, a BIT STRING with
        // its unused bits cleared.
        if ((tag & 0xc0) != 0 || ((tag & 0x20) != 0 && tag != kSequence) || tag == kBitString)
          return false;
        h = mix_bytes(mix_byte(mix_byte(h, 'v'), tag), value);
      }
      sum += finish(h);
    }
  }
  *key = sum;
  return true;
}

// --- Certificates -------------------------------------------------------------------------------

// The outer AlgorithmIdentifier and signature in the forms OpenSSL keeps byte for byte (an OID
// with no parameters, NULL, an OID or a SEQUENCE; no bits set beyond the string's end), so that
// certificates it deems identical are identical bytes here too.
bool take_algorithm(Der &d) {
  Der alg{}, oid{}, params{};
  unsigned char tag = 0;
  if (!take(d, kSequence, &alg) || !take(alg, kOid, &oid)) return false;
  if (alg.empty()) return true;
  if (!take_any(alg, &tag, &params) || !alg.empty()) return false;
  return (tag == kNull && params.empty()) || tag == kOid || tag == kSequence;
}

bool take_bits(Der &d) {
  Der c{};
  if (!take(d, kBitString, &c) || c.empty() || c.p[0] > 7) return false;
  return c.size() == 1 ? c.p[0] == 0 : (c.end[-1] & ((1u << c.p[0]) - 1)) == 0;
}

// The short walk to a certificate's subject: *key gets the subject's key, *cert_len the length
// of the certificate without the trust settings that may follow it. False (the file then goes to
// a full load) off DER's definite lengths on the way, for a subject that cannot be keyed, or for
// bytes after the certificate (one SEQUENCE of trust settings aside). Whether the rest decodes is
// for the decoder to say.
bool index_certificate(const unsigned char *p, size_t len, bool trusted, size_t *cert_len,
                       uint64_t *key) {
  Der whole{p, p + len}, cert{}, tbs{}, field{}, subject{};
  if (!take(whole, kSequence, &cert) || !take(cert, kSequence, &tbs) ||
      (tbs.peek(kContext0) && !take(tbs, kContext0, &field)))
    return false;
  // Serial number, signature algorithm, issuer, validity, subject.
  if (!take(tbs, kInteger, &field) || !take(tbs, kSequence, &field) ||
      !take(tbs, kSequence, &field) || !take(tbs, kSequence, &field) ||
      !take(tbs, kSequence, &subject) || !subject_key(subject, key) || !take_algorithm(cert) ||
      !take_bits(cert) || !cert.empty())
    return false;
  *cert_len = static_cast<size_t>(whole.p - p);
  Der aux{};
  return whole.empty() || (trusted && take(whole, kSequence, &aux) && whole.empty());
}

bool add_block(TrustIndex *index, const Block &block) {
  if (index->count == index->capacity) {
    const size_t capacity = index->capacity == 0 ? 64 : index->capacity * 2;
    auto *grown = static_cast<Block *>(std::realloc(index->blocks, capacity * sizeof(Block)));
    if (grown == nullptr) return false;
    index->blocks = grown;
    index->capacity = capacity;
  }
  index->blocks[index->count++] = block;
  return true;
}

enum class Scan { kIndexed, kWhole, kNoMemory, kNotCanonical };

// --- Canonical files ----------------------------------------------------------------------------

constexpr size_t kMaxOutside = 128; // a line outside blocks (OpenSSL reads up to 254 bytes)

// Base64 digit values shifted into place for each position of a group of four; "=" is 0, and
// bit 24 marks everything else that is not a digit.
struct Base64Digits {
  uint32_t at[4][256];
  constexpr Base64Digits() : at() {
    const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int pos = 0; pos < 4; pos++) {
      for (uint32_t &v : at[pos]) v = 1u << 24;
      at[pos][static_cast<unsigned char>('=')] = 0;
      for (uint32_t i = 0; i < 64; i++)
        at[pos][static_cast<unsigned char>(digits[i])] = i << (18 - 6 * pos);
    }
  }
};
constexpr Base64Digits kDigits;

// The next line of [at, end), without its "\n" or "\r\n"; false at the end.
bool next_line(char *&at, char *end, std::string_view *line) {
  if (at == end) return false;
  auto *nl = static_cast<char *>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
  char *stop = nl != nullptr ? nl : end;
  *line = std::string_view(at, static_cast<size_t>(stop - at) - (stop != at && stop[-1] == '\r'));
  at = nl != nullptr ? nl + 1 : end;
  return true;
}

// Reads a canonical file into the index, as OpenSSL's reader would: kNotCanonical for any other.
// Each block is decoded over its own text (three bytes written where four digits were read, so
// the digits of a group are read before its bytes are written, and a line's text is checked
// before it is decoded).
Scan read_canonical(char *at, char *end, TrustIndex *index) {
  std::string_view line;
  while (next_line(at, end, &line)) {
    const bool trusted = line == "-----BEGIN TRUSTED CERTIFICATE-----";
    if (!trusted && line != "-----BEGIN CERTIFICATE-----") {
      if (line.size() > kMaxOutside || line.starts_with("-----") ||
          std::any_of(line.begin(), line.end(), [](char c) { return c < 0x20 || c > 0x7e; }))
        return Scan::kNotCanonical;
      continue;
    }
    auto *const der = reinterpret_cast<unsigned char *>(at);
    size_t n = 0, pad = 0;
    for (;;) {
      if (!next_line(at, end, &line)) return Scan::kNotCanonical;
      if (line == (trusted ? "-----END TRUSTED CERTIFICATE-----" : "-----END CERTIFICATE-----"))
        break;
      const size_t len = line.size();
      if (pad != 0 || len == 0 || len > 64 || len % 4 != 0) return Scan::kNotCanonical;
      pad = line.ends_with("==") ? 2 : line.ends_with('=') ? 1 : 0; // then the END line
      if (line.find('=') < len - pad) return Scan::kNotCanonical;
      // Each group writes a fourth byte, which the next overwrites.
      const auto *s = reinterpret_cast<const unsigned char *>(line.data());
      uint32_t seen = 0;
      for (size_t i = 0; i < len; i += 4, n += 3) {
        const uint32_t v = kDigits.at[0][s[i]] | kDigits.at[1][s[i + 1]] | kDigits.at[2][s[i + 2]] |
                           kDigits.at[3][s[i + 3]];
        seen |= v;
        const uint32_t bytes =
            std::endian::native == std::endian::little ? __builtin_bswap32(v << 8) : v << 8;
        std::memcpy(der + n, &bytes, 4);
      }
      if (seen >> 24 != 0) return Scan::kNotCanonical;
      n -= pad;
    }
    if (n == 0) return Scan::kNotCanonical;
    OpensslPtr<unsigned char> owned(static_cast<unsigned char *>(OPENSSL_memdup(der, n)));
    Block block{owned.get(), n, 0, 0, trusted, false, false};
    if (!owned) return Scan::kNoMemory;
    if (!index_certificate(block.der, n, trusted, &block.cert_len, &block.key)) return Scan::kWhole;
    if (!add_block(index, block)) return Scan::kNoMemory;
    (void)owned.release(); // the index owns it now
  }
  index->canonical = true;
  return Scan::kIndexed;
}

// Reads the file's blocks into the index with OpenSSL's PEM reader, as a full load reads them
// (PEM_X509_INFO_read_bio_ex asks PEM_read_bio for each block, with these flags): kWhole when a
// full load is to judge the file instead.
Scan scan(BIO *in, TrustIndex *index) {
  for (;;) {
    char *name = nullptr, *header = nullptr;
    unsigned char *data = nullptr;
    long len = 0;
    ERR_set_mark();
    const bool read =
        PEM_read_bio_ex(in, &name, &header, &data, &len, PEM_FLAG_EAY_COMPATIBLE) == 1;
    const OpensslPtr<char> owned_name(name), owned_header(header);
    OpensslPtr<unsigned char> der(data);
    // Where OpenSSL's reading ends (the end of the file, or a line its reader stops at).
    const bool end = !read && ERR_GET_REASON(ERR_peek_last_error()) == PEM_R_NO_START_LINE;
    ERR_pop_to_mark();
    if (!read) return end ? Scan::kIndexed : Scan::kWhole;
    const bool crl = std::strcmp(name, PEM_STRING_X509_CRL) == 0;
    const bool trusted = std::strcmp(name, PEM_STRING_X509_TRUSTED) == 0;
    const bool cert = trusted || std::strcmp(name, PEM_STRING_X509) == 0 ||
                      std::strcmp(name, PEM_STRING_X509_OLD) == 0;
    Block block{der.get(), static_cast<size_t>(len), 0, 0, trusted, crl, false};
    if (header[0] != '\0' || !(cert || crl) ||
        (cert && !index_certificate(block.der, block.len, trusted, &block.cert_len, &block.key)))
      return Scan::kWhole;
    if (!add_block(index, block)) return Scan::kNoMemory;
    (void)der.release(); // the index owns it now
  }
}

// --- The store ----------------------------------------------------------------------------------

// Decodes a certificate block and adds it to the store (which keeps the first of identical
// certificates, as a full load does). One that cannot be added fails the index.
bool load_block(TrustIndex *index, Block &block) {
  block.loaded = true;
  const unsigned char *p = block.der;
  const long len = static_cast<long>(block.len);
  UniquePtr<X509> cert(block.trusted ? d2i_X509_AUX(nullptr, &p, len) : d2i_X509(nullptr, &p, len));
  const bool added = cert && X509_STORE_add_cert(index->store, cert.get()) == 1;
  if (!added) index->failed = true;
  return added;
}

// The verifier asks for the certificates of a subject that the store does not hold yet: every
// certificate whose key is that of the name enters the store, then the store's own search picks
// the one to answer with, as it would in a store holding the whole file. `ret` borrows it (the
// caller takes its own reference, as for by_dir.c's answers).
int get_by_subject(X509_LOOKUP *lookup, X509_LOOKUP_TYPE type, LookupName name, X509_OBJECT *ret) {
  auto *index = static_cast<TrustIndex *>(X509_LOOKUP_get_method_data(lookup));
  if (type != X509_LU_X509 || index == nullptr || name == nullptr) return 0; // CRLs are all in
  // A name whose key cannot be told (an unusual encoding from the peer) matches everything.
  const unsigned char *der = nullptr;
  size_t der_len = 0;
  uint64_t key = 0;
  bool every = true;
  if (X509_NAME_get0_der(name, &der, &der_len) == 1) {
    Der encoded{der, der + der_len}, content{};
    every = !take(encoded, kSequence, &content) || !encoded.empty() || !subject_key(content, &key);
  }
  for (size_t i = 0; i < index->count; i++) {
    Block &block = index->blocks[i];
    if (!block.crl && !block.loaded && (every || block.key == key)) load_block(index, block);
  }
  X509_STORE *store = index->store;
  if (X509_STORE_lock(store) != 1) return 0;
  X509_OBJECT *found =
      X509_OBJECT_retrieve_by_subject(X509_STORE_get0_objects(store), X509_LU_X509, name);
  X509 *cert = found != nullptr ? X509_OBJECT_get0_X509(found) : nullptr;
  const bool answered = cert != nullptr && X509_OBJECT_set1_X509(ret, cert) == 1;
  X509_STORE_unlock(store);
  if (answered) X509_free(cert); // the store keeps its own reference
  return answered ? 1 : 0;
}

// The store's verify callback (a TLS connection of the module sets none of its own): once a
// certificate the index vouched for has failed to decode, every chain fails, as every chain
// fails with a full load of that file.
int verify_callback(int ok, X509_STORE_CTX *ctx) {
  const auto *index = static_cast<const TrustIndex *>(
      X509_STORE_get_ex_data(X509_STORE_CTX_get0_store(ctx), kIndexSlot));
  if (ok != 1 || index == nullptr || !index->failed) return ok;
  X509_STORE_CTX_set_error(ctx, X509_V_ERR_STORE_LOOKUP);
  return 0;
}

// The lookup is being freed with its store: the index goes with it, and so does the method,
// which OpenSSL no longer touches once this returns.
void free_lookup(X509_LOOKUP *lookup) {
  free_index(static_cast<TrustIndex *>(X509_LOOKUP_get_method_data(lookup)));
}

// Duplicates are identical certificates (trust settings aside); the store keeps one of each.
// They share a key, so only certificates of one key are compared, in an order sorted by key.
int distinct_certificates(const TrustIndex *index) {
  struct Keyed {
    uint64_t key;
    const Block *block;
  };
  HeapPtr<Keyed[]> sorted(static_cast<Keyed *>(std::malloc(index->count * sizeof(Keyed))));
  if (!sorted) return -1;
  size_t n = 0;
  for (size_t i = 0; i < index->count; i++)
    if (!index->blocks[i].crl) sorted[n++] = Keyed{index->blocks[i].key, &index->blocks[i]};
  std::qsort(sorted.get(), n, sizeof(Keyed), [](const void *a, const void *b) {
    const uint64_t x = static_cast<const Keyed *>(a)->key, y = static_cast<const Keyed *>(b)->key;
    return x < y ? -1 : x > y ? 1 : 0;
  });
  int count = 0;
  for (size_t i = 0; i < n; i++) {
    const Block &a = *sorted[i].block;
    bool repeated = false;
    for (size_t j = i; j-- > 0 && sorted[j].key == a.key && !repeated;)
      repeated = sorted[j].block->cert_len == a.cert_len &&
                 std::memcmp(a.der, sorted[j].block->der, a.cert_len) == 0;
    if (!repeated) count++;
  }
  return count;
}

enum class Built { kDone, kWhole, kFailed };

// The store of an indexed file: its CRLs decoded, its certificates behind the lookup, which
// takes the index over.
Built build_store(IndexPtr &owned, StorePtr *out, int *count) {
  TrustIndex *index = owned.get();
  if (index->count == 0) return Built::kWhole; // the full load says what is missing
  StorePtr store(new_store());
  if (!store) return Built::kFailed;
  for (size_t i = 0; i < index->count; i++) {
    Block &block = index->blocks[i];
    if (!block.crl) continue;
    const unsigned char *p = block.der;
    CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(block.len)));
    if (!crl) return Built::kWhole; // the full load says why
    if (X509_STORE_add_crl(store.get(), crl.get()) != 1) return Built::kFailed;
    block.loaded = true;
  }
  const int distinct = distinct_certificates(index);
  if (distinct < 0) return Built::kFailed;
  index->method = X509_LOOKUP_meth_new("zelvane CA file index");
  if (index->method == nullptr ||
      X509_LOOKUP_meth_set_get_by_subject(index->method, get_by_subject) != 1 ||
      X509_LOOKUP_meth_set_free(index->method, free_lookup) != 1)
    return Built::kFailed;
  X509_LOOKUP *lookup = X509_STORE_add_lookup(store.get(), index->method);
  if (lookup == nullptr || X509_STORE_set_ex_data(store.get(), kIndexSlot, index) != 1)
    return Built::kFailed;
  X509_STORE_set_verify_cb(store.get(), verify_callback);
  index->store = store.get();
  X509_LOOKUP_set_method_data(lookup, owned.release()); // the lookup owns the index from here
  *count = distinct;
  *out = std::move(store);
  return Built::kDone;
}

// The whole stream read into memory and, when canonical, into the index.
Scan read_stream(FILE *file, TrustIndex *index) {
  HeapPtr<char[]> text;
  size_t size = 0;
  for (size_t capacity = 16384;; capacity *= 2) {
    auto *grown = static_cast<char *>(std::realloc(text.get(), capacity));
    if (grown == nullptr) return Scan::kNoMemory;
    (void)text.release();
    text.reset(grown);
    size += std::fread(text.get() + size, 1, capacity - size, file);
    if (size < capacity) break; // the end, or an error
    if (size > static_cast<size_t>(kMaxFileSize)) return Scan::kNotCanonical;
  }
  if (std::ferror(file) != 0) return Scan::kNotCanonical;
  return read_canonical(text.get(), text.get() + size, index);
}

bool rewind_stream(FILE *file) {
  std::clearerr(file);
  if (std::fseek(file, 0, SEEK_SET) == 0) return true;
  ERR_raise_data(ERR_LIB_SYS, errno, "reading the CA file");
  ERR_raise(ERR_LIB_X509, ERR_R_SYS_LIB);
  return false;
}

// The store of the file that `file` reads (a stdio stream, as a full load reads it): indexed
// (read here when canonical, else by OpenSSL's PEM reader from the start), or else loaded whole
// by OpenSSL's loader, which reads the stream again from the start.
X509_STORE *store_from_stream(FILE *file, int *count, TrustIndex **index, bool canonical) {
  *count = 0;
  if (index != nullptr) *index = nullptr;
  if (file == nullptr) return load_whole(nullptr, count);
  IndexPtr owned(static_cast<TrustIndex *>(std::calloc(1, sizeof(TrustIndex))));
  Scan scanned = !owned      ? Scan::kNoMemory
                 : canonical ? read_stream(file, owned.get())
                             : Scan::kNotCanonical;
  if (scanned == Scan::kNotCanonical) {
    if (!rewind_stream(file)) return nullptr;
    owned.reset(static_cast<TrustIndex *>(std::calloc(1, sizeof(TrustIndex))));
    UniquePtr<BIO> in(BIO_new_fp(file, BIO_NOCLOSE));
    scanned = owned && in ? scan(in.get(), owned.get()) : Scan::kNoMemory;
  }
  TrustIndex *const built = owned.get();
  StorePtr store;
  const Built result = scanned == Scan::kIndexed ? build_store(owned, &store, count)
                       : scanned == Scan::kWhole ? Built::kWhole
                                                 : Built::kFailed;
  if (result == Built::kDone) {
    if (index != nullptr) *index = built;
    return store.release();
  }
  if (result == Built::kFailed) {
    ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  return rewind_stream(file) ? load_whole(file, count) : nullptr;
}

X509_STORE *store_from_file(const char *path, int *count, TrustIndex **index) {
  *count = 0;
  // Non-blocking, so that opening a FIFO cannot hang here; it has no effect on a regular file.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return load_by_path(path, count);
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return load_by_path(path, count);
  }
  FilePtr file(S_ISREG(st.st_mode) && st.st_size > kMaxFileSize ? nullptr : fdopen(fd, "r"));
  if (!file) {
    ERR_raise_data(ERR_LIB_SYS, S_ISREG(st.st_mode) ? EFBIG : errno, "reading %s", path);
    close(fd);
    ERR_raise(ERR_LIB_X509, ERR_R_SYS_LIB);
    return nullptr;
  }
  return store_from_stream(file.get(), count, index, true);
}

} // namespace

X509_STORE *trust_store_from_text(const char *data, size_t len, int *count, TrustIndex **index,
                                  bool canonical) {
  static char no_bytes[1];
  FilePtr file(fmemopen(len > 0 ? const_cast<char *>(data) : no_bytes, len, "r"));
  return store_from_stream(file.get(), count, index, canonical);
}

bool trust_index_canonical(const TrustIndex *index) { return index->canonical; }

bool trust_index_same(const TrustIndex *a, const TrustIndex *b) {
  if (a->count != b->count) return false;
  for (size_t i = 0; i < a->count; i++) {
    const Block &x = a->blocks[i], &y = b->blocks[i];
    if (x.len != y.len || x.cert_len != y.cert_len || x.key != y.key || x.trusted != y.trusted ||
        x.crl != y.crl || std::memcmp(x.der, y.der, x.len) != 0)
      return false;
  }
  return true;
}

bool trust_index_load_all(TrustIndex *index) {
  bool all = true;
  for (size_t i = 0; i < index->count; i++) {
    Block &block = index->blocks[i];
    if (!block.loaded) all = load_block(index, block) && all;
  }
  return all;
}

X509_STORE *trust_store_from_file(const char *path, int *count) {
  return store_from_file(path, count, nullptr);
}

X509_STORE *trust_store_decoded(const char *path, int *count) {
  TrustIndex *index = nullptr;
  StorePtr store(store_from_file(path, count, &index));
  if (store && index != nullptr && !trust_index_load_all(index)) return nullptr;
  return store.release();
}

} // namespace zv::transport
