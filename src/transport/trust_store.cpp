// A CA file as a trust store that decodes only the certificates a chain needs.
//
// A host that runs every login in a process of its own (sshd, sudo, su) loads the module for
// the login and unloads it at pam_end, so nothing parsed survives from one login to the next.
// Decoding the ~145 certificates of the system bundle costs some 15 to 30 ms of CPU in OpenSSL 3
// (about 100 us each, most of it their public keys): many times the rest of a request, for the
// one or two certificates a chain uses.
//
// So the file is read once per request, through a small buffer, and each PEM block is decoded
// from Base64 and checked here, without OpenSSL's certificate decoder; the certificates are
// indexed by a key of their subject name. The store carries an X509_LOOKUP whose get_by_subject,
// asked by the verifier for an issuer, decodes every certificate of the file whose key matches and
// adds it to the store, as OpenSSL's hashed-directory lookup (by_dir.c) adds the files of a hash.
// The verifier then picks among them exactly as in a store that holds the whole file:
//  - the key is a function of what X509_NAME_cmp compares (the names' canonical form: case and
//    white space folded, string types made UTF-8), only coarser, so two names OpenSSL deems
//    equal always share a key; names that share a key but differ cost one decoding too many;
//  - all certificates of one key enter the store together and in file order, so every
//    certificate of a subject is offered, duplicates keep the first as a full load does, and
//    OpenSSL's own lookup in the store (which asks the lookup only while it holds no
//    certificate of the name) finds them all;
//  - CRLs are few and decoded at once; partial chains are allowed as before.
//
// A block counts as malformed when a full load would refuse the file for it. Every block is
// checked in full before the store is used: the PEM framing, the Base64, and the DER of each
// certificate, field by field, in a form strict enough that OpenSSL is sure to decode it. Any
// block outside that form - and any layout this index does not take (a key, a header, a line
// of unusual length or white space, a certificate encoded unusually) - sends the whole file to
// OpenSSL's own loader instead (it reads the file again from the start, on the descriptor
// already open), which accepts or refuses it exactly as before, with its own errors. So the index
// is never more lenient than a full load, and a file it takes is trusted for exactly what a full
// load trusts. (A certificate that still failed to decode when needed would be left out of the
// store, not trusted.)
//
// The store, its lookup method and the index belong to one request: nothing is shared between
// requests or threads, and nothing outlives the module.
#include "transport/transport.h"
#include "transport/trust_store_int.h"

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
#include <sys/stat.h>
#include <unistd.h>

#include "common/own.h"

#if OPENSSL_VERSION_NUMBER >= 0x30000000L
using LookupName = const X509_NAME *;
#else
using LookupName = X509_NAME *;
#endif

namespace zv::transport {

// One PEM block of the file, decoded.
struct Block {
  const unsigned char *der; // what the decoder is given: the certificate, and trust settings
  size_t len;
  size_t cert_len; // the certificate alone
  uint64_t key;    // subject_key of its subject (certificates)
  bool trusted;    // "TRUSTED CERTIFICATE": decoded with its trust settings
  bool crl;        // "X509 CRL"
  bool loaded;     // in the store (or tried)
};

// The blocks' DER, written one after another into chunks.
struct Chunk {
  Chunk *next; // the chunk filled before this one
  size_t size, used;
  unsigned char *data() { return reinterpret_cast<unsigned char *>(this + 1); }
};

struct TrustIndex {
  X509_LOOKUP_METHOD *method; // the method of the store's lookup, released with the index
  X509_STORE *store;          // borrowed: the store owns the index through its lookup
  Block *blocks;
  size_t count, capacity;
  Chunk *chunks; // the one being filled first
};

namespace {

using FilePtr = UniquePtr<FILE>;
using CrlPtr = UniquePtr<X509_CRL>;

// A CA file larger than this is refused (the system bundle is 220 KB).
constexpr size_t kMaxFileSize = 64u << 20;
// The file is read through a buffer of this size, not held whole, and its DER is kept in chunks
// of this size: both stay below the size from which the allocator hands out fresh pages (and
// takes them back) on every request.
constexpr size_t kReadBuffer = 64u << 10;
constexpr size_t kChunk = 64u << 10;
// Lines longer than this, inside or outside a block, are left to OpenSSL, whose reader splits
// lines at 254 bytes.
constexpr size_t kMaxLine = 200;

using InfosPtr = UniquePtr<STACK_OF(X509_INFO)>;

void free_index(TrustIndex *index) {
  if (index == nullptr) return;
  for (Chunk *chunk = index->chunks; chunk != nullptr;) {
    Chunk *next = chunk->next;
    std::free(chunk);
    chunk = next;
  }
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
  kBoolean = 0x01,
  kInteger = 0x02,
  kBitString = 0x03,
  kOctetString = 0x04,
  kNull = 0x05,
  kOid = 0x06,
  kUtf8 = 0x0c,
  kNumeric = 0x12,
  kPrintable = 0x13,
  kT61 = 0x14,
  kIa5 = 0x16,
  kUtcTime = 0x17,
  kGeneralizedTime = 0x18,
  kVisible = 0x1a,
  kUniversal = 0x1c,
  kBmp = 0x1e,
  kSequence = 0x30,
  kSet = 0x31,
  kContext0 = 0xa0, // [0], constructed
  kContext1 = 0xa1,
  kContext3 = 0xa3,
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

// Shortest two's complement, as OpenSSL requires.
bool valid_integer(Der c) {
  if (c.empty()) return false;
  return c.size() == 1 ||
         !((c.p[0] == 0x00 && (c.p[1] & 0x80) == 0) || (c.p[0] == 0xff && (c.p[1] & 0x80) != 0));
}

bool valid_oid(Der c) {
  if (c.empty() || (c.end[-1] & 0x80) != 0) return false;
  for (const unsigned char *q = c.p; q != c.end; q++)
    if (*q == 0x80 && (q == c.p || (q[-1] & 0x80) == 0)) return false; // padded sub-identifier
  return true;
}

// At most 7 unused bits, all zero (so that re-encoding the string gives the same bytes).
bool valid_bits(Der c) {
  if (c.empty() || c.p[0] > 7) return false;
  if (c.size() == 1) return c.p[0] == 0;
  return (c.end[-1] & ((1u << c.p[0]) - 1)) == 0;
}

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

bool take_time(Der &d) {
  unsigned char tag = 0;
  Der c{};
  if (!take_any(d, &tag, &c)) return false;
  const size_t digits = tag == kUtcTime ? 12 : tag == kGeneralizedTime ? 14 : 0;
  if (digits == 0 || c.size() != digits + 1 || c.end[-1] != 'Z') return false;
  for (size_t i = 0; i < digits; i++)
    if (!is_digit(c.p[i])) return false;
  return true;
}

// Well-formed UTF-8 of Unicode scalar values, in the shortest form.
bool valid_utf8(Der c) {
  for (const unsigned char *q = c.p; q != c.end;) {
    const unsigned b = *q;
    if (b < 0x80) {
      q++;
      continue;
    }
    size_t more = 0;
    uint32_t cp = 0, min = 0;
    if ((b & 0xe0) == 0xc0) {
      more = 1, cp = b & 0x1f, min = 0x80;
    } else if ((b & 0xf0) == 0xe0) {
      more = 2, cp = b & 0x0f, min = 0x800;
    } else if ((b & 0xf8) == 0xf0) {
      more = 3, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (static_cast<size_t>(c.end - q) <= more) return false;
    for (size_t i = 1; i <= more; i++) {
      if ((q[i] & 0xc0) != 0x80) return false;
      cp = cp << 6 | (q[i] & 0x3fu);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    q += more + 1;
  }
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

// The types a certificate's name may use for the index to take it: text types whose
// conversion OpenSSL cannot refuse once checked here, and NumericString.
bool indexable_value(unsigned char tag, Der value) {
  switch (tag) {
  case kPrintable:
  case kT61:
  case kIa5:
  case kNumeric:
    return true;
  case kUtf8:
    return valid_utf8(value);
  case kBmp:
    if (value.size() % 2 != 0) return false;
    for (const unsigned char *q = value.p; q != value.end; q += 2)
      if (q[0] >= 0xd8 && q[0] <= 0xdf) return false; // a surrogate
    return true;
  case kUniversal:
    if (value.size() % 4 != 0) return false;
    for (const unsigned char *q = value.p; q != value.end; q += 4) {
      const uint32_t cp = uint32_t{q[0]} << 24 | uint32_t{q[1]} << 16 | uint32_t{q[2]} << 8 | q[3];
      if (cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    }
    return true;
  default:
    return false;
  }
}

// The key of a Name (the content of its SEQUENCE). OpenSSL compares names by a canonical form
// in which every text value is UTF-8 with ASCII letters in lower case and runs of white space
// made one (none at the ends), and every other value is kept as it is. The key hashes each
// attribute's type with, for text, only the ASCII letters and digits of its characters
// (lower-cased; what canonicalisation changes is all dropped), or else the value's tag and
// bytes; the attributes' hashes are added, so neither their order nor their grouping into
// RDNs matters. Equal canonical forms therefore give equal keys.
//
// `strict` (a certificate in the file) also checks every value as the index requires, and
// fails outside that form; otherwise (a name the verifier asks for) it fails only for an
// encoding whose canonical form it cannot foresee, and the caller then loads everything.
bool subject_key(Der name, bool strict, uint64_t *key) {
  const bool hashing = key != nullptr;
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
      if (strict && (!valid_oid(type) || !indexable_value(tag, value))) return false;
      if (!hashing) continue;
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
          if ((c >= 'a' && c <= 'z') || is_digit(c)) h = mix_byte(h, c);
        }
      } else {
        // Universal-class values only (as OpenSSL takes them); a constructed one other than a
        // SEQUENCE would be compared by content reassembled from its parts.
        if ((tag & 0xc0) != 0 || ((tag & 0x20) != 0 && tag != kSequence)) return false;
        h = mix_bytes(mix_byte(mix_byte(h, 'v'), tag), value);
      }
      sum += finish(h);
    }
  }
  if (hashing) *key = sum;
  return true;
}

// --- Certificates -------------------------------------------------------------------------------

// AlgorithmIdentifier: an OID and no parameters, NULL, an OID, or a SEQUENCE (which OpenSSL
// keeps as it is).
bool take_algorithm(Der &d) {
  Der alg{}, oid{}, params{};
  unsigned char tag = 0;
  if (!take(d, kSequence, &alg) || !take(alg, kOid, &oid) || !valid_oid(oid)) return false;
  if (alg.empty()) return true;
  if (!take_any(alg, &tag, &params) || !alg.empty()) return false;
  return (tag == kNull && params.empty()) || (tag == kOid && valid_oid(params)) || tag == kSequence;
}

bool take_bits(Der &d) {
  Der bits{};
  return take(d, kBitString, &bits) && valid_bits(bits);
}

// Extension: OID, critical (TRUE when present, as DER has it), OCTET STRING.
bool take_extension(Der &d) {
  Der ext{}, oid{}, flag{}, value{};
  if (!take(d, kSequence, &ext) || !take(ext, kOid, &oid) || !valid_oid(oid)) return false;
  if (ext.peek(kBoolean) && (!take(ext, kBoolean, &flag) || flag.size() != 1 || flag.p[0] != 0xff))
    return false;
  return take(ext, kOctetString, &value) && ext.empty();
}

// One or more OIDs.
bool valid_oids(Der d) {
  if (d.empty()) return false;
  while (!d.empty()) {
    Der oid{};
    if (!take(d, kOid, &oid) || !valid_oid(oid)) return false;
  }
  return true;
}

// The trust settings after a "TRUSTED CERTIFICATE" (X509_CERT_AUX): trusted and rejected
// uses, alias, key id, other settings; each optional, in this order.
bool valid_aux(Der aux) {
  Der part{};
  if (aux.peek(kSequence) && (!take(aux, kSequence, &part) || !valid_oids(part))) return false;
  if (aux.peek(kContext0) && (!take(aux, kContext0, &part) || !valid_oids(part))) return false;
  if (aux.peek(kUtf8) && (!take(aux, kUtf8, &part) || !valid_utf8(part))) return false;
  if (aux.peek(kOctetString) && !take(aux, kOctetString, &part)) return false;
  if (aux.peek(kContext1)) {
    if (!take(aux, kContext1, &part) || part.empty()) return false;
    while (!part.empty())
      if (!take_algorithm(part)) return false;
  }
  return aux.empty();
}

// Checks a certificate (the content of its SEQUENCE) field by field, in a form OpenSSL is sure
// to decode, and finds its subject (for the caller to check): a v3 certificate, or a v1 one
// without extensions.
bool valid_certificate(Der cert, Der *subject) {
  Der tbs{}, serial{}, issuer{}, validity{}, spki{};
  if (!take(cert, kSequence, &tbs)) return false;
  bool v3 = false;
  if (tbs.peek(kContext0)) {
    Der version{}, number{};
    if (!take(tbs, kContext0, &version) || !take(version, kInteger, &number) || !version.empty() ||
        number.size() != 1 || number.p[0] != 2)
      return false;
    v3 = true;
  }
  if (!take(tbs, kInteger, &serial) || !valid_integer(serial) || serial.size() > 64 ||
      !take_algorithm(tbs) || !take(tbs, kSequence, &issuer) || !take(tbs, kSequence, &validity) ||
      !take_time(validity) || !take_time(validity) || !validity.empty() ||
      !take(tbs, kSequence, subject) || !take(tbs, kSequence, &spki) || !take_algorithm(spki) ||
      !take_bits(spki) || !spki.empty())
    return false;
  // The subject is checked by the caller; a root's issuer is the same bytes.
  const bool same =
      issuer.size() == subject->size() && std::memcmp(issuer.p, subject->p, issuer.size()) == 0;
  if (!same && !subject_key(issuer, true, nullptr)) return false;
  if (v3 && tbs.peek(kContext3)) {
    Der wrapper{}, extensions{};
    if (!take(tbs, kContext3, &wrapper) || !take(wrapper, kSequence, &extensions) ||
        !wrapper.empty() || extensions.empty())
      return false;
    while (!extensions.empty())
      if (!take_extension(extensions)) return false;
  }
  return tbs.empty() && take_algorithm(cert) && take_bits(cert) && cert.empty();
}

// --- PEM ----------------------------------------------------------------------------------------

// The labels of the blocks the index takes.
constexpr const char kCertificateLabel[] = "CERTIFICATE";
constexpr const char kOldCertificateLabel[] = "X509 CERTIFICATE";
constexpr const char kTrustedLabel[] = "TRUSTED CERTIFICATE";
constexpr const char kCrlLabel[] = "X509 CRL";

// The known label `s` (as a constant text), or null.
const char *known_label(const char *s, size_t n) {
  for (const char *label : {kCertificateLabel, kOldCertificateLabel, kTrustedLabel, kCrlLabel})
    if (n == std::strlen(label) && std::memcmp(s, label, n) == 0) return label;
  return nullptr;
}

// The lines of a CA file, without their "\n" or "\r\n": from memory, or read from a descriptor
// through a buffer of kReadBuffer bytes. A line is valid until the next one is asked for; one
// longer than the buffer comes out cut, but longer than kMaxLine all the same.
struct LineReader {
  const char *p = nullptr, *end = nullptr; // what is not handed out yet
  int fd = -1;                             // reading from here when not negative
  char *buf = nullptr;
  size_t total = 0; // bytes read from fd
  int error = 0;    // errno of a failed read (EFBIG beyond kMaxFileSize)
  bool eof = false;

  // A body line of 64 characters, the usual width, is taken without looking for its end: its
  // caller checks that all 64 are Base64 digits (else the file goes to OpenSSL's loader).
  bool next_body(const char **line, size_t *len) {
    const size_t left = static_cast<size_t>(end - p);
    const size_t crlf = left > 65 && p[64] == '\r' ? 1 : 0;
    if (left <= 64 + crlf || p[64 + crlf] != '\n' || p[0] == '-') return next(line, len);
    *line = p;
    *len = 64;
    p += 65 + crlf;
    return true;
  }

  bool next(const char **line, size_t *len) {
    for (;;) {
      const size_t left = static_cast<size_t>(end - p);
      const char *nl = left > 0 ? static_cast<const char *>(std::memchr(p, '\n', left)) : nullptr;
      if (nl != nullptr || fd < 0 || eof || left > kMaxLine) {
        if (left == 0) return false;
        const char *stop = nl != nullptr ? nl : end;
        *line = p;
        p = nl != nullptr ? nl + 1 : end;
        if (stop != *line && stop[-1] == '\r') stop--;
        *len = static_cast<size_t>(stop - *line);
        return true;
      }
      if (!fill(left)) return false;
    }
  }

  // Moves the `left` bytes of a started line to the front of the buffer and reads more.
  bool fill(size_t left) {
    std::memmove(buf, p, left);
    p = buf;
    end = buf + left;
    ssize_t n = 0;
    do {
      n = read(fd, buf + left, kReadBuffer - left);
    } while (n < 0 && errno == EINTR);
    if (n < 0 || (total += static_cast<size_t>(n)) > kMaxFileSize) {
      error = n < 0 ? errno : EFBIG;
      return false;
    }
    eof = n == 0;
    end += n;
    return true;
  }
};

// "-----<word> <label>-----" exactly: the label, or false.
bool marker(const char *line, size_t len, const char *word, const char **label, size_t *label_len) {
  const size_t head = 5 + std::strlen(word) + 1;
  if (len < head + 5 || std::memcmp(line, "-----", 5) != 0 ||
      std::memcmp(line + 5, word, head - 6) != 0 || line[head - 1] != ' ' ||
      std::memcmp(line + len - 5, "-----", 5) != 0)
    return false;
  *label = line + head;
  *label_len = len - head - 5;
  return true;
}

// Base64 digit values, and the same shifted into place for each position of a group of four
// (bit 24 marks everything that is not a digit).
struct Base64Table {
  unsigned char value[256];
  uint32_t at[4][256];
  constexpr Base64Table() : value(), at() {
    for (unsigned char &v : value) v = 0x40;
    const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (unsigned char i = 0; i < 64; i++) value[static_cast<unsigned char>(digits[i])] = i;
    for (int pos = 0; pos < 4; pos++)
      for (int c = 0; c < 256; c++)
        at[pos][c] = value[c] == 0x40 ? 1u << 24 : uint32_t{value[c]} << (18 - 6 * pos);
  }
};
constexpr Base64Table kBase64;

// The DER of the block being read, written at the end of the index's current chunk; a block
// that outgrows the chunk moves to a new one.
struct DerWriter {
  TrustIndex *index;
  size_t size = 0; // written so far

  unsigned char *data() const { return index->chunks->data() + index->chunks->used; }
  bool reserve(size_t more) {
    Chunk *head = index->chunks;
    if (head != nullptr && head->used + size + more <= head->size) return true;
    const size_t want = size + more;
    const size_t room = want > kChunk / 2 ? 2 * want : kChunk - sizeof(Chunk);
    auto *fresh = static_cast<Chunk *>(std::malloc(sizeof(Chunk) + room));
    if (fresh == nullptr) return false;
    *fresh = Chunk{head, room, 0};
    // Bytes written so far live in the head chunk, so there is one whenever size > 0.
    if (size > 0 && head != nullptr) std::memcpy(fresh->data(), head->data() + head->used, size);
    index->chunks = fresh;
    return true;
  }
  // The block is complete: the next one starts after it.
  const unsigned char *keep() {
    const unsigned char *der = data();
    index->chunks->used += size;
    size = 0;
    return der;
  }
};

enum class Body { kDone, kNotPlain, kNoMemory };

// Decodes a block's body - lines of Base64, "=" padding at the very end as needed, then the END
// line of `label` - into `out`.
Body decode_body(LineReader &lines, const char *label, DerWriter &out) {
  size_t held = 0, pad = 0;
  uint32_t acc = 0;
  const char *line = nullptr;
  size_t len = 0;
  while (lines.next_body(&line, &len)) {
    if (len > kMaxLine) return Body::kNotPlain;
    if (len > 0 && line[0] == '-') {
      const char *end_label = nullptr;
      size_t end_len = 0;
      if (out.size == 0 && held == 0) return Body::kNotPlain; // no body
      if (!marker(line, len, "END", &end_label, &end_len) ||
          known_label(end_label, end_len) != label)
        return Body::kNotPlain;
      if (!out.reserve(2)) return Body::kNoMemory;
      unsigned char *o = out.data() + out.size;
      if (held == 2 && pad == 2) {
        o[0] = static_cast<unsigned char>(acc >> 4);
        out.size += 1;
      } else if (held == 3 && pad == 1) {
        o[0] = static_cast<unsigned char>(acc >> 10);
        o[1] = static_cast<unsigned char>(acc >> 2);
        out.size += 2;
      } else if (held != 0 || pad != 0) {
        return Body::kNotPlain;
      }
      return Body::kDone;
    }
    if (len == 0 || pad != 0) return Body::kNotPlain;
    if (!out.reserve(len)) return Body::kNoMemory;
    const auto *s = reinterpret_cast<const unsigned char *>(line);
    unsigned char *const start = out.data();
    unsigned char *o = start + out.size;
    size_t i = 0;
    // Whole groups of four while none is held over from the last line, all checked at once
    // at the end (and decoded again one by one when one was not a digit). Each group writes a
    // fourth byte that the next overwrites: reserve() left room for it.
    if (held == 0) {
      const size_t groups = len / 4;
      uint32_t seen = 0;
      for (size_t g = 0; g < groups; g++) {
        const unsigned char *q = s + 4 * g;
        const uint32_t v =
            kBase64.at[0][q[0]] | kBase64.at[1][q[1]] | kBase64.at[2][q[2]] | kBase64.at[3][q[3]];
        seen |= v;
        const uint32_t bytes = std::endian::native == std::endian::little
                                   ? __builtin_bswap32(v << 8)
                                   : v << 8; // the three bytes first, in order
        std::memcpy(o + 3 * g, &bytes, 4);
      }
      if (seen >> 24 == 0) {
        i = 4 * groups;
        o += 3 * groups;
      }
    }
    for (; i < len; i++) {
      if (s[i] == '=') {
        pad++;
        continue;
      }
      const unsigned v = kBase64.value[s[i]];
      if ((v & 0x40) != 0 || pad != 0) return Body::kNotPlain;
      acc = (acc << 6 | v) & 0xffffff;
      if (++held == 4) {
        o[0] = static_cast<unsigned char>(acc >> 16);
        o[1] = static_cast<unsigned char>(acc >> 8);
        o[2] = static_cast<unsigned char>(acc);
        o += 3;
        held = 0;
      }
    }
    out.size = static_cast<size_t>(o - start);
  }
  return Body::kNotPlain; // no END line
}

// The certificate block's DER checked; *cert_len gets the length of the certificate without
// trust settings, *key its subject's key.
bool index_certificate(const unsigned char *p, size_t len, bool trusted, size_t *cert_len,
                       uint64_t *key) {
  Der whole{p, p + len}, cert{}, subject{};
  if (!take(whole, kSequence, &cert) || !valid_certificate(cert, &subject) ||
      !subject_key(subject, true, key))
    return false;
  *cert_len = static_cast<size_t>(whole.p - p);
  if (!trusted || whole.empty()) return whole.empty();
  Der aux{};
  return take(whole, kSequence, &aux) && valid_aux(aux) && whole.empty();
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

enum class Scan { kIndexed, kNotPlain, kNoMemory, kReadError };

// Reads the file's blocks into the index: kNotPlain when the file is not in the plain form the
// index takes (OpenSSL's loader is then given the whole file).
Scan scan(LineReader &lines, TrustIndex *index) {
  DerWriter der{index};
  const char *line = nullptr;
  size_t len = 0;
  bool first = true;
  while (lines.next(&line, &len)) {
    // OpenSSL drops a byte order mark at the start, and then can see a block here.
    if (first && len >= 3 && std::memcmp(line, "\xef\xbb\xbf", 3) == 0) return Scan::kNotPlain;
    first = false;
    if (len > kMaxLine) return Scan::kNotPlain;
    // OpenSSL skips every line outside a block that does not begin one.
    if (len == 0 || line[0] != '-') continue;
    const char *text = nullptr;
    size_t text_len = 0;
    if (!marker(line, len, "BEGIN", &text, &text_len)) return Scan::kNotPlain;
    const char *label = known_label(text, text_len);
    if (label == nullptr) return Scan::kNotPlain;
    const Body body = decode_body(lines, label, der);
    if (body != Body::kDone) return body == Body::kNoMemory ? Scan::kNoMemory : Scan::kNotPlain;
    Block block{der.data(), der.size, 0, 0, label == kTrustedLabel, label == kCrlLabel, false};
    if (!block.crl &&
        !index_certificate(block.der, block.len, block.trusted, &block.cert_len, &block.key))
      return Scan::kNotPlain;
    der.keep();
    if (!add_block(index, block)) return Scan::kNoMemory;
  }
  return lines.error != 0 ? Scan::kReadError : Scan::kIndexed;
}

// --- The store ----------------------------------------------------------------------------------

// Decodes a certificate block and adds it to the store (which keeps the first of identical
// certificates, as a full load does).
bool load_block(TrustIndex *index, Block &block) {
  block.loaded = true;
  const unsigned char *p = block.der;
  const long len = static_cast<long>(block.len);
  UniquePtr<X509> cert(block.trusted ? d2i_X509_AUX(nullptr, &p, len) : d2i_X509(nullptr, &p, len));
  return cert && X509_STORE_add_cert(index->store, cert.get()) == 1;
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
    every = !take(encoded, kSequence, &content) || !encoded.empty() ||
            !subject_key(content, false, &key);
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

enum class Built { kDone, kNotPlain, kFailed };

// The store of an indexed file: its CRLs decoded, its certificates behind the lookup, which
// takes the index over.
Built build_store(IndexPtr &owned, StorePtr *out, int *count) {
  TrustIndex *index = owned.get();
  if (index->count == 0) return Built::kNotPlain; // the full load says what is missing
  StorePtr store(new_store());
  if (!store) return Built::kFailed;
  for (size_t i = 0; i < index->count; i++) {
    Block &block = index->blocks[i];
    if (!block.crl) continue;
    const unsigned char *p = block.der;
    CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(block.len)));
    if (!crl) return Built::kNotPlain; // the full load says why
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
  if (lookup == nullptr) return Built::kFailed;
  index->store = store.get();
  X509_LOOKUP_set_method_data(lookup, owned.release()); // the lookup owns the index from here
  *count = distinct;
  *out = std::move(store);
  return Built::kDone;
}

// The store of the file that `lines` reads, indexed when the file is plain. Otherwise null with
// *whole set, and the caller gives OpenSSL the whole file.
X509_STORE *indexed_store(LineReader &lines, int *count, TrustIndex **index, bool *whole) {
  *whole = false;
  IndexPtr owned(static_cast<TrustIndex *>(std::calloc(1, sizeof(TrustIndex))));
  TrustIndex *const built = owned.get();
  const Scan scanned = owned ? scan(lines, built) : Scan::kNoMemory;
  StorePtr store;
  const Built result = scanned == Scan::kIndexed    ? build_store(owned, &store, count)
                       : scanned == Scan::kNotPlain ? Built::kNotPlain
                                                    : Built::kFailed;
  if (result == Built::kDone) {
    if (index != nullptr) *index = built;
    return store.release();
  }
  if (result == Built::kNotPlain) {
    *whole = true;
  } else if (scanned == Scan::kReadError) {
    ERR_raise_data(ERR_LIB_SYS, lines.error, "reading the CA file");
    ERR_raise(ERR_LIB_X509, ERR_R_SYS_LIB);
  } else {
    ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
  }
  return nullptr;
}

} // namespace

X509_STORE *trust_store_from_text(const char *data, size_t len, int *count, TrustIndex **index) {
  *count = 0;
  if (index != nullptr) *index = nullptr;
  LineReader lines;
  lines.p = data;
  lines.end = data + len;
  bool whole = false;
  X509_STORE *store = indexed_store(lines, count, index, &whole);
  if (!whole) return store;
  static char no_bytes[1];
  FilePtr file(fmemopen(len > 0 ? const_cast<char *>(data) : no_bytes, len, "r"));
  return load_whole(file.get(), count);
}

bool trust_index_load_all(TrustIndex *index) {
  bool all = true;
  for (size_t i = 0; i < index->count; i++) {
    Block &block = index->blocks[i];
    if (!block.loaded) all = load_block(index, block) && all;
  }
  return all;
}

namespace {

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
  LineReader lines;
  lines.fd = fd;
  lines.buf = static_cast<char *>(std::malloc(kReadBuffer));
  lines.p = lines.end = lines.buf;
  bool whole = false;
  X509_STORE *store = nullptr;
  if (lines.buf == nullptr) {
    ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
  } else {
    store = indexed_store(lines, count, index, &whole);
  }
  std::free(lines.buf);
  if (!whole) {
    close(fd);
    return store;
  }
  // Read again from the start, by OpenSSL's loader this time.
  FilePtr file(lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "r") : nullptr);
  if (!file) {
    ERR_raise_data(ERR_LIB_SYS, errno, "reading %s", path);
    close(fd);
    ERR_raise(ERR_LIB_X509, ERR_R_SYS_LIB);
    return nullptr;
  }
  return load_whole(file.get(), count);
}

} // namespace

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
