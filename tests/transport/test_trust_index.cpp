// The trust store decodes only the certificates a chain needs, yet every verdict, count and
// failure is that of a store that loaded the whole file. Verdicts are compared on a PKI of the
// test's own (re-keyed and cross-signed roots, issuer names spelled otherwise than the subject,
// trust settings, CRLs), failures on damaged files, counts on the system bundle; then end to
// end: a replaced file, concurrent requests, the unloaded module.
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "transport/transport.h"
#include "transport/trust_store_int.h"
#include "transport_fixture.h"

using namespace zvtest;
using zv::transport::StorePtr;
using zv::transport::TrustIndex;

namespace {

using KeyPtr = zv::UniquePtr<EVP_PKEY>;
using CertPtr = zv::UniquePtr<X509>;
using NamePtr = zv::UniquePtr<X509_NAME>;
using CrlPtr = zv::UniquePtr<X509_CRL>;
using BioPtr = zv::UniquePtr<BIO>;

const char kBundle[] = "/etc/ssl/certs/ca-certificates.crt";
const char kBody[] = "{\"user\":\"alice\"}";
constexpr long kDay = 24L * 60 * 60;

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes a new file and renames it over `path`: a new inode at the same path.
void replace_file(const std::string &path, const std::string &text) {
  const std::string tmp = path + ".new";
  std::ofstream(tmp, std::ios::binary) << text;
  ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0) << path;
}

// Rewrites the file's bytes in place (same inode, same modification time).
void rewrite_in_place(const std::string &path, const std::string &text) {
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0) << path;
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0) << path;
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
  EXPECT_EQ(futimens(fd, times), 0);
  close(fd);
}

// --- A PKI of the test's own --------------------------------------------------------------------

struct Attr {
  int nid;
  int type; // V_ASN1_* string type; the text is stored as given
  std::string text;
  bool same_rdn = false; // joins the previous attribute's RDN
};

NamePtr make_name(std::initializer_list<Attr> attrs) {
  NamePtr name(X509_NAME_new());
  for (const Attr &a : attrs)
    X509_NAME_add_entry_by_NID(name.get(), a.nid, a.type,
                               reinterpret_cast<const unsigned char *>(a.text.data()),
                               static_cast<int>(a.text.size()), -1, a.same_rdn ? -1 : 0);
  return name;
}

void add_ext(X509 *cert, X509 *issuer, int nid, const char *value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  ASSERT_NE(ext, nullptr) << value;
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

struct Issued {
  KeyPtr key;
  CertPtr cert;
};

// A certificate for `subject` valid from now+from to now+to days, signed by `issuer` (itself
// when null). `issuer_name` overrides the issuer's subject as the certificate's issuer field;
// `key` reuses a key.
Issued issue(const X509_NAME *subject, const Issued *issuer, bool ca, long from = -1,
             long to = 3650, const X509_NAME *issuer_name = nullptr, EVP_PKEY *key = nullptr) {
  static long serial = 1;
  Issued out{KeyPtr(key != nullptr ? (EVP_PKEY_up_ref(key), key) : EVP_EC_gen("P-256")),
             CertPtr(X509_new())};
  X509 *cert = out.cert.get();
  X509 *signer = issuer != nullptr ? issuer->cert.get() : cert;
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), from * kDay);
  X509_gmtime_adj(X509_getm_notAfter(cert), to * kDay);
  X509_set_subject_name(cert, subject);
  X509_set_issuer_name(cert, issuer_name != nullptr ? issuer_name : X509_get_subject_name(signer));
  X509_set_pubkey(cert, out.key.get());
  add_ext(cert, signer, NID_subject_key_identifier, "hash");
  add_ext(cert, signer, NID_authority_key_identifier, "keyid:always");
  add_ext(cert, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
  if (!ca) add_ext(cert, signer, NID_subject_alt_name, "DNS:localhost");
  EXPECT_NE(X509_sign(cert, issuer != nullptr ? issuer->key.get() : out.key.get(), EVP_sha256()),
            0);
  return out;
}

std::string pem(const X509 *cert) {
  BioPtr out(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(out.get(), cert);
  char *data = nullptr;
  const long len = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<size_t>(len));
}

// The certificate as a "TRUSTED CERTIFICATE" that trusts it for servers, or rejects it.
std::string trusted_pem(X509 *cert, bool reject) {
  CertPtr copy(X509_dup(cert));
  ASN1_OBJECT *use = OBJ_nid2obj(NID_server_auth);
  reject ? X509_add1_reject_object(copy.get(), use) : X509_add1_trust_object(copy.get(), use);
  BioPtr out(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509_AUX(out.get(), copy.get());
  char *data = nullptr;
  const long len = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<size_t>(len));
}

// A certificate that d2i_X509 refuses although its subject is `subject`: a public-key algorithm
// identifier longer than 586 bytes, or an issuer name larger than 1 MiB.
std::string undecodable_pem(const X509_NAME *subject, bool long_algorithm) {
  Issued c = issue(subject, nullptr, true);
  if (long_algorithm) {
    std::string oid = "1.2";
    for (int i = 0; i < 600; i++) oid += ".1";
    unsigned char *key = nullptr;
    const int len = i2d_PublicKey(c.key.get(), &key);
    X509_PUBKEY_set0_param(X509_get_X509_PUBKEY(c.cert.get()), OBJ_txt2obj(oid.c_str(), 1),
                           V_ASN1_UNDEF, nullptr, key, len);
  } else {
    const std::string big((1 << 20) + 1, 'a'); // added in place: X509_set_issuer_name copies
    X509_NAME_add_entry_by_NID(
        X509_get_issuer_name(c.cert.get()), NID_organizationName, V_ASN1_UTF8STRING,
        reinterpret_cast<const unsigned char *>(big.data()), static_cast<int>(big.size()), -1,
        0); // through d2i, which refuses it
  }
  X509_sign(c.cert.get(), c.key.get(), EVP_sha256());
  return pem(c.cert.get());
}

// DER bytes as a "CERTIFICATE" block, written as they are.
std::string pem_of(const std::string &der) {
  BioPtr b64(BIO_new(BIO_f_base64())), mem(BIO_new(BIO_s_mem()));
  BIO *chain = BIO_push(b64.release(), mem.release());
  BIO_write(chain, der.data(), static_cast<int>(der.size()));
  (void)BIO_flush(chain);
  char *data = nullptr;
  const long n = BIO_get_mem_data(BIO_next(chain), &data);
  std::string text = "-----BEGIN CERTIFICATE-----\n" + std::string(data, static_cast<size_t>(n)) +
                     "-----END CERTIFICATE-----\n";
  BIO_free_all(chain);
  return text;
}

// A CRL of `issuer` that revokes `revoked`.
std::string crl_pem(const Issued &issuer, const X509 *revoked) {
  CrlPtr crl(X509_CRL_new());
  X509_CRL_set_version(crl.get(), 1);
  X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.cert.get()));
  ASN1_TIME *now = ASN1_TIME_adj(nullptr, time(nullptr), -1, 0);
  ASN1_TIME *next = ASN1_TIME_adj(nullptr, time(nullptr), 30, 0);
  X509_CRL_set1_lastUpdate(crl.get(), now);
  X509_CRL_set1_nextUpdate(crl.get(), next);
  X509_REVOKED *entry = X509_REVOKED_new();
  X509_REVOKED_set_serialNumber(entry, const_cast<ASN1_INTEGER *>(X509_get0_serialNumber(revoked)));
  X509_REVOKED_set_revocationDate(entry, now);
  X509_CRL_add0_revoked(crl.get(), entry);
  ASN1_TIME_free(now);
  ASN1_TIME_free(next);
  EXPECT_NE(X509_CRL_sign(crl.get(), issuer.key.get(), EVP_sha256()), 0);
  BioPtr out(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509_CRL(out.get(), crl.get());
  char *data = nullptr;
  const long len = BIO_get_mem_data(out.get(), &data);
  return std::string(data, static_cast<size_t>(len));
}

// --- Verdicts -----------------------------------------------------------------------------------

struct Verdict {
  int ok = -1, error = 0, depth = 0;
  std::vector<std::string> chain; // DER, leaf first
  bool operator==(const Verdict &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Verdict &v) {
  return out << "ok " << v.ok << ", error " << v.error << " ("
             << X509_verify_cert_error_string(v.error) << "), depth " << v.depth << ", chain of "
             << v.chain.size();
}

// The verification a TLS client runs on a server's chain.
Verdict verify(X509_STORE *store, X509 *leaf, const std::vector<X509 *> &sent,
               unsigned long flags) {
  STACK_OF(X509) *untrusted = sk_X509_new_null();
  for (X509 *c : sent) sk_X509_push(untrusted, c);
  X509_STORE_CTX *ctx = X509_STORE_CTX_new();
  Verdict v;
  if (X509_STORE_CTX_init(ctx, store, leaf, untrusted) == 1) {
    X509_STORE_CTX_set_default(ctx, "ssl_server");
    X509_STORE_CTX_set_flags(ctx, flags);
    v.ok = X509_verify_cert(ctx);
    v.error = X509_STORE_CTX_get_error(ctx);
    v.depth = X509_STORE_CTX_get_error_depth(ctx);
    STACK_OF(X509) *chain = X509_STORE_CTX_get0_chain(ctx);
    for (int i = 0; i < sk_X509_num(chain); i++) {
      unsigned char *der = nullptr;
      const int len = i2d_X509(sk_X509_value(chain, i), &der);
      v.chain.emplace_back(reinterpret_cast<char *>(der), static_cast<size_t>(len));
      OPENSSL_free(der);
    }
  }
  X509_STORE_CTX_free(ctx);
  sk_X509_free(untrusted);
  ERR_clear_error();
  return v;
}

// The certificates of a store as DER texts.
std::multiset<std::string> anchors(X509_STORE *store) {
  std::multiset<std::string> out;
  STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); i++) {
    X509 *cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    unsigned char *der = nullptr;
    const int len = cert != nullptr ? i2d_X509(cert, &der) : 0;
    if (len > 0) out.emplace(reinterpret_cast<char *>(der), static_cast<size_t>(len));
    OPENSSL_free(der);
  }
  return out;
}

// OpenSSL's errors queued so far, oldest first (the queue is emptied).
std::vector<std::string> take_errors() {
  std::vector<std::string> out;
  for (unsigned long e; (e = ERR_get_error()) != 0;) {
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    out.emplace_back(text);
  }
  return out;
}

// A store loaded as SSL_CTX_load_verify_locations loads one, and the one the module builds, of
// the same text; with their counts, errors, and whether the module indexed the file.
struct Stores {
  StorePtr full, lazy;
  int full_count = 0, lazy_count = 0;
  std::vector<std::string> full_errors, lazy_errors;
  TrustIndex *index = nullptr;

  explicit Stores(const std::string &text) {
    static int n = 0;
    const std::string path = test_pki().dir + "/stores-" + std::to_string(n++) + ".pem";
    std::ofstream(path, std::ios::binary) << text;
    ERR_clear_error();
    full.reset(X509_STORE_new());
    X509_STORE_set_flags(full.get(), X509_V_FLAG_PARTIAL_CHAIN);
    if (X509_STORE_load_file(full.get(), path.c_str()) == 1) {
      STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(full.get());
      for (int i = 0; i < sk_X509_OBJECT_num(objects); i++)
        full_count += X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_X509;
    } else {
      full.reset();
    }
    full_errors = take_errors();
    lazy.reset(zv::transport::trust_store_from_text(text.data(), text.size(), &lazy_count, &index));
    lazy_errors = take_errors();
  }
};

class TrustIndexTest : public TransportTest {
protected:
  // Root R, intermediate I under R, leaf L under I; R2, the same name as R with another key;
  // I2, I's name and key issued by R2 (a cross-signed intermediate); R0, R's name and key,
  // expired. Names spelled otherwise in the issuer field than in the subject: C under CR
  // (UTF8String subject, PrintableString issuer in other case and spacing), B under BR
  // (BMPString subject), M under MR (two attributes in one RDN, given in the other order).
  NamePtr root_name = make_name({{NID_organizationName, V_ASN1_UTF8STRING, "Zelvane Verdicts"},
                                 {NID_commonName, V_ASN1_UTF8STRING, "Verdict Root"}});
  Issued R = issue(root_name.get(), nullptr, true);
  Issued R2 = issue(root_name.get(), nullptr, true);
  Issued R0 = issue(root_name.get(), nullptr, true, -30, -1, nullptr, R.key.get());
  NamePtr inter_name = make_name({{NID_commonName, V_ASN1_UTF8STRING, "Verdict Intermediate"}});
  Issued I = issue(inter_name.get(), &R, true);
  Issued I2 = issue(inter_name.get(), &R2, true, -1, 3650, nullptr, I.key.get());
  NamePtr leaf_name = make_name({{NID_commonName, V_ASN1_UTF8STRING, "localhost"}});
  Issued L = issue(leaf_name.get(), &I, false);
  Issued U =
      issue(make_name({{NID_commonName, V_ASN1_UTF8STRING, "Unrelated"}}).get(), nullptr, true);

  NamePtr case_name = make_name({{NID_commonName, V_ASN1_UTF8STRING, "Case  Root"}});
  Issued CR = issue(case_name.get(), nullptr, true);
  Issued C = issue(leaf_name.get(), &CR, false, -1, 365,
                   make_name({{NID_commonName, V_ASN1_PRINTABLESTRING, " case root "}}).get());
  Issued BR = issue(
      make_name({{NID_commonName, V_ASN1_BMPSTRING, std::string("\0B\0M\0P\0 \0R\0o\0o\0t", 16)}})
          .get(),
      nullptr, true);
  Issued B = issue(leaf_name.get(), &BR, false, -1, 365,
                   make_name({{NID_commonName, V_ASN1_UTF8STRING, "BMP Root"}}).get());
  Issued MR = issue(make_name({{NID_organizationName, V_ASN1_UTF8STRING, "Multi"},
                               {NID_commonName, V_ASN1_UTF8STRING, "Valued", true}})
                        .get(),
                    nullptr, true);
  Issued M = issue(leaf_name.get(), &MR, false, -1, 365,
                   make_name({{NID_commonName, V_ASN1_PRINTABLESTRING, "valued"},
                              {NID_organizationName, V_ASN1_PRINTABLESTRING, "MULTI", true}})
                       .get());

  struct Chain {
    const char *name;
    X509 *leaf;
    std::vector<X509 *> sent;
  };
  std::vector<Chain> chains() {
    return {{"L+I", L.cert.get(), {I.cert.get()}},
            {"L+I2", L.cert.get(), {I2.cert.get()}},
            {"L+I+I2", L.cert.get(), {I.cert.get(), I2.cert.get()}},
            {"L", L.cert.get(), {}},
            {"I", I.cert.get(), {}},
            {"C", C.cert.get(), {}},
            {"B", B.cert.get(), {}},
            {"M", M.cert.get(), {}}};
  }
};

TEST_F(TrustIndexTest, VerdictsAreThoseOfAFullLoad) {
  const std::string r = pem(R.cert.get()), r2 = pem(R2.cert.get()), r0 = pem(R0.cert.get()),
                    i = pem(I.cert.get()), l = pem(L.cert.get()), u = pem(U.cert.get());
  const std::string names = pem(CR.cert.get()) + pem(BR.cert.get()) + pem(MR.cert.get());
  const std::string files[] = {
      r,                                         // root
      i,                                         // intermediate only (partial chain)
      l,                                         // the leaf itself
      u,                                         // unrelated
      r0,                                        // expired root only
      r0 + r,                                    // one subject: expired and valid, same key
      r2,                                        // the cross-signing root only
      r + r2 + r0,                               // one subject, three certificates
      r2 + r,                                    // the same, other order
      u + names + r,                             // names spelled otherwise in the issuer
      trusted_pem(R.cert.get(), false),          // trusted for servers
      trusted_pem(R.cert.get(), true),           // rejected for servers
      r + trusted_pem(R.cert.get(), true),       // the first of two identical ones counts
      trusted_pem(R.cert.get(), true) + r,       //   (either way)
      r + crl_pem(R, I.cert.get()),              // a CRL revoking the intermediate
      crl_pem(R, I.cert.get()) + r2 + i + r + u, // the same among others
      u + std::string("\0\n", 2) + r,            // OpenSSL stops reading at a NUL line
      // Refused by a full load: nothing verifies.
      r + undecodable_pem(root_name.get(), true),                          // a long key OID
      r + undecodable_pem(root_name.get(), false),                         // a 1 MiB name
      r + "\xef\xbb\xbf" + u.substr(0, u.find("-----END")) + "# no END\n", // a BOM, no END
  };
  int indexed = 0, refused = 0;
  for (const std::string &file : files) {
    Stores s(file);
    ASSERT_TRUE(s.lazy || !s.full) << file;
    indexed += s.index != nullptr;
    refused += !s.full;
    if (s.full) {
      EXPECT_EQ(s.lazy_count, s.full_count) << file;
    } else if (!s.lazy) {
      EXPECT_EQ(s.lazy_errors, s.full_errors) << file;
    }
    for (const Chain &chain : chains()) {
      for (unsigned long flags : {0ul, static_cast<unsigned long>(X509_V_FLAG_CRL_CHECK)}) {
        const Verdict lazy =
            s.lazy ? verify(s.lazy.get(), chain.leaf, chain.sent, flags) : Verdict{};
        if (s.full) {
          EXPECT_EQ(lazy, verify(s.full.get(), chain.leaf, chain.sent, flags))
              << chain.name << " flags " << flags << " in\n"
              << file;
        } else {
          EXPECT_NE(lazy.ok, 1) << chain.name << " in\n" << file;
        }
      }
    }
  }
  EXPECT_EQ(indexed, static_cast<int>(std::size(files)) - 1) << "all but the unreadable file";
  EXPECT_EQ(refused, 3);
  // The verdicts above differ from one another as they should: a sample.
  Stores rejected(trusted_pem(R.cert.get(), true)), plain(r), names_only(names), crl(files[14]);
  EXPECT_EQ(verify(plain.lazy.get(), L.cert.get(), {I.cert.get()}, 0).ok, 1);
  EXPECT_EQ(verify(rejected.lazy.get(), L.cert.get(), {I.cert.get()}, 0).error,
            X509_V_ERR_CERT_REJECTED);
  EXPECT_EQ(verify(names_only.lazy.get(), C.cert.get(), {}, 0).ok, 1);
  EXPECT_EQ(verify(names_only.lazy.get(), B.cert.get(), {}, 0).ok, 1);
  EXPECT_EQ(verify(names_only.lazy.get(), M.cert.get(), {}, 0).ok, 1);
  EXPECT_EQ(verify(crl.lazy.get(), I.cert.get(), {}, X509_V_FLAG_CRL_CHECK).error,
            X509_V_ERR_CERT_REVOKED);
}

// Layouts OpenSSL's reader takes, those the index leaves to OpenSSL's loader, and counts: the
// same outcome either way.
TEST_F(TrustIndexTest, LayoutsAndCountsAreThoseOfAFullLoad) {
  const std::string r = pem(R.cert.get()), i = pem(I.cert.get());
  std::string crlf;
  for (char c : r + i) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  std::string old_label = r;
  old_label.replace(old_label.find("BEGIN CERTIFICATE"), 17, "BEGIN X509 CERTIFICATE");
  old_label.replace(old_label.find("END CERTIFICATE"), 15, "END X509 CERTIFICATE");
  // The body in lines of `width` characters.
  const size_t body = r.find('\n') + 1, end = r.find("-----END");
  std::string digits;
  for (size_t at = body; at < end; at++)
    if (r[at] != '\n') digits += r[at];
  const auto rewrapped = [&](size_t width) {
    std::string out = r.substr(0, body);
    for (size_t at = 0; at < digits.size(); at += width) out += digits.substr(at, width) + "\n";
    return out + r.substr(end);
  };
  // Read by the reader of canonical files, by OpenSSL's PEM reader, or loaded whole.
  enum Read { kCanonical, kPem, kWhole };
  const struct {
    std::string text;
    Read read;
  } cases[] = {
      {r + i, kCanonical},
      {crlf, kCanonical},
      {"# comment\n\n" + r + "\n# between\n" + i + "trailing text", kCanonical},
      {old_label, kPem},
      {r + i + r + trusted_pem(I.cert.get(), false), kCanonical}, // repeated: counted once
      {crl_pem(R, I.cert.get()), kPem},                           // a CRL alone: no certificate
      {rewrapped(76), kPem},
      {rewrapped(65), kPem},
      {r.substr(0, r.size() - 1), kCanonical},                  // no newline after END
      {i + std::string("\0\n", 2) + r, kPem},                   // a NUL line ends the file
      {"\xef\xbb\xbf" + r, kPem},                               // a byte order mark
      {std::string(300, '#') + "\n" + r, kPem},                 // a long line
      {r + read_file(test_pki().leaf_key), kWhole},             // a private key
      {r + "-- end of list --\n", kCanonical},                  // dashes outside a block
      {r.substr(0, r.size() - 1) + " \n", kPem},                // a space after END
      {"-----BEGIN CERTIFICATE-----\n\n" + r.substr(28), kPem}, // an empty header
  };
  for (const auto &c : cases) {
    Stores s(c.text);
    ASSERT_TRUE(s.full) << c.text;
    ASSERT_TRUE(s.lazy) << c.text;
    EXPECT_EQ(s.index == nullptr                              ? kWhole
              : zv::transport::trust_index_canonical(s.index) ? kCanonical
                                                              : kPem,
              c.read)
        << c.text;
    EXPECT_EQ(s.lazy_count, s.full_count) << c.text;
    EXPECT_EQ(verify(s.lazy.get(), L.cert.get(), {I.cert.get()}, 0),
              verify(s.full.get(), L.cert.get(), {I.cert.get()}, 0))
        << c.text;
  }
  EXPECT_EQ(Stores(cases[4].text).lazy_count, 2);
  EXPECT_EQ(Stores(cases[5].text).lazy_count, 0);
}

// A block that a full load refuses fails the whole file, needed or not, with OpenSSL's errors.
TEST_F(TrustIndexTest, DamagedFilesFailAsAFullLoad) {
  const std::string r = pem(R.cert.get()), u = pem(U.cert.get());
  const size_t body = u.find('\n') + 1, end = u.find("-----END");
  auto damaged = [&](size_t at, const std::string &with, size_t drop = 1) {
    std::string copy = u;
    copy.replace(at, drop, with);
    return r + copy;
  };
  const std::string cases[] = {
      damaged(body + 70, "!"),                 // not Base64
      damaged(body + 65, "", 65),              // a line missing
      damaged(body + 10, "=", 1),              // padding inside
      damaged(end, "", u.size() - end),        // no END line
      damaged(end + 9, "X509 CRL-----\n", 17), // END of another label
      damaged(body, "", end - body),           // no body
      r + "-----BEGIN CERTIFICATE-----\nMAMCAQA=\n-----END CERTIFICATE-----\n", // not one
      "-----BEGIN CERTIFICATE-----\nProc-Type: 4,MIC-CLEAR\n\n" + u.substr(28), // a header
      "",                                                                       // empty
      "no certificate here\n",                                                  // nothing to load
  };
  for (const std::string &text : cases) {
    Stores s(text);
    EXPECT_FALSE(s.full) << text;
    EXPECT_FALSE(s.lazy) << text;
    EXPECT_FALSE(s.lazy_errors.empty()) << text;
    EXPECT_EQ(s.lazy_errors, s.full_errors) << text;
  }
}

// Every change of one byte in a certificate's DER (given as valid Base64): when the index takes
// the file, either a full load takes it too and the certificate decodes, or the certificate does
// not decode and then nothing verifies; otherwise both refuse it alike.
TEST_F(TrustIndexTest, EveryOneByteDamageIsJudgedAsAFullLoad) {
  const std::string r = pem(R.cert.get());
  unsigned char *der = nullptr;
  const int len = i2d_X509(I.cert.get(), &der);
  int taken = 0;
  for (int at = 0; at < len; at++) {
    for (const int flip : {0x01, 0x80, 0xff}) {
      std::string copy(reinterpret_cast<char *>(der), static_cast<size_t>(len));
      copy[static_cast<size_t>(at)] = static_cast<char>(copy[static_cast<size_t>(at)] ^ flip);
      SCOPED_TRACE("byte " + std::to_string(at) + " ^ " + std::to_string(flip));
      Stores s(r + pem_of(copy));
      if (s.index != nullptr) {
        taken++;
        EXPECT_EQ(zv::transport::trust_index_load_all(s.index), s.full != nullptr);
        if (!s.full) {
          EXPECT_NE(verify(s.lazy.get(), L.cert.get(), {I.cert.get()}, 0).ok, 1);
          continue;
        }
        EXPECT_EQ(s.lazy_count, s.full_count);
        EXPECT_EQ(anchors(s.lazy.get()), anchors(s.full.get()));
      } else {
        EXPECT_EQ(!s.lazy, !s.full);
        EXPECT_EQ(s.lazy_errors, s.full_errors);
      }
    }
  }
  OPENSSL_free(der);
  EXPECT_GT(taken, len) << "changes inside keys, signatures and names keep the file indexed";
}

// The system bundle is indexed (else every login would decode all of it again), counts as many
// certificates as a full load, and every certificate in it decodes to the same store.
TEST_F(TrustIndexTest, SystemBundleIsIndexedAndComplete) {
  Stores s(read_file(kBundle));
  ASSERT_TRUE(s.full && s.lazy);
  ASSERT_NE(s.index, nullptr) << "the system bundle is parsed whole";
  EXPECT_TRUE(zv::transport::trust_index_canonical(s.index));
  // OpenSSL's PEM reader reads it into the same index.
  const std::string text = read_file(kBundle);
  int count = 0;
  TrustIndex *read = nullptr;
  StorePtr by_reader(
      zv::transport::trust_store_from_text(text.data(), text.size(), &count, &read, false));
  ASSERT_NE(read, nullptr);
  EXPECT_FALSE(zv::transport::trust_index_canonical(read));
  EXPECT_TRUE(zv::transport::trust_index_same(s.index, read));
  EXPECT_GT(s.lazy_count, 100);
  EXPECT_EQ(s.lazy_count, s.full_count);
  EXPECT_TRUE(zv::transport::trust_index_load_all(s.index));
  EXPECT_EQ(anchors(s.lazy.get()), anchors(s.full.get()));
}

// --- End to end ---------------------------------------------------------------------------------

// Two servers on loopback: A's chain ends in the test root, B's in an unrelated root; a CA file
// that holds one of the two roots decides which server is accepted.
class TrustEndToEnd : public TransportTest {
protected:
  static TlsServerOptions server_b_options() {
    TlsServerOptions o;
    o.cert_chain = test_pki().untrusted_chain;
    o.key = test_pki().untrusted_key;
    return o;
  }
  void SetUp() override {
    TransportTest::SetUp();
    ASSERT_STREQ(std::getenv("ZV_IN_NS"), "1") << "must run inside tests/support/ns-run";
    std::filesystem::create_directories(dir);
    chmod(dir.c_str(), 0755);
  }
  int post(const TlsServer &server) {
    set(&module_params::port, server.port_str());
    char *reply = nullptr;
    const int rc = post_json_request(params.get(), kBody, &reply);
    std::free(reply);
    return rc;
  }
  // 1 when A is accepted, 2 when B is, 3 both, 0 neither.
  int accepted() { return post(server_a) + 2 * post(server_b); }

  const std::string dir = "/etc/zv-trust-index";
  // The two roots padded to one length (text after a PEM block is ignored).
  std::string root_a = read_file(test_pki().root_ca), root_b = read_file(test_pki().untrusted_root);
  TlsServer server_a;
  TlsServer server_b{server_b_options()};
};

TEST_F(TrustEndToEnd, ReplacedFileTakesEffectAtTheNextRequest) {
  const size_t n = std::max(root_a.size(), root_b.size());
  root_a.resize(n, '\n');
  root_b.resize(n, '\n');
  const std::string file = dir + "/ca.pem";
  set(&module_params::ca_cert_file, file);
  for (auto change : {replace_file, rewrite_in_place}) {
    replace_file(file, root_a);
    EXPECT_EQ(accepted(), 1);
    change(file, root_b);
    EXPECT_EQ(accepted(), 2);
    change(file, root_a);
    EXPECT_EQ(accepted(), 1);
  }
  set(&module_params::ca_cert_file, nullptr); // the system bundle
  const std::string system = read_file(kBundle);
  replace_file(kBundle, system + root_b);
  EXPECT_EQ(accepted(), 2);
  replace_file(kBundle, system + root_a);
  EXPECT_EQ(accepted(), 1);
}

// Requests in many threads at once, each with a store of its own.
TEST_F(TrustEndToEnd, ConcurrentRequestsAllSucceed) {
  const char *rounds_env = std::getenv("ZV_TRUST_ROUNDS"); // fewer under helgrind
  const int threads = 8, rounds = rounds_env != nullptr ? std::atoi(rounds_env) : 20;
  std::vector<std::string> files;
  for (int i = 0; i < 3; i++) {
    files.push_back(dir + "/ca" + std::to_string(i) + ".pem");
    replace_file(files.back(), i == 0 ? read_file(test_pki().root_and_intermediate) : root_a);
  }
  // Under helgrind a handshake can take longer than the server's usual 10 seconds.
  TlsServerOptions patient;
  patient.io_timeout_ms = 120 * 1000;
  TlsServer server(patient);
  // glibc loads its name-service modules on the first lookup of the process, under locks that
  // helgrind cannot see; done here, before the threads, it is not mistaken for a race.
  set(&module_params::ca_cert_file, files[0]);
  ASSERT_EQ(post(server), 1);
  std::atomic<int> ok{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; t++) {
    workers.emplace_back([&, t] {
      zv::ParamsScope own;
      set_text(own.get(), &module_params::host, "localhost");
      set_text(own.get(), &module_params::port, server.port_str());
      set_text(own.get(), &module_params::path, params->path);
      for (int r = 0; r < rounds; r++) {
        set_text(own.get(), &module_params::ca_cert_file, files[(t + r) % files.size()]);
        char *reply = nullptr;
        if (post_json_request(own.get(), kBody, &reply) == 1 && reply != nullptr &&
            std::string(reply) == "{\"errorCode\":0}")
          ok++;
        std::free(reply);
      }
    });
  }
  for (auto &w : workers) w.join();
  EXPECT_EQ(ok.load(), threads * rounds);
  EXPECT_EQ(server.received().size(), static_cast<size_t>(threads * rounds) + 1);
  EXPECT_TRUE(log_lines().empty());
}

// Each store carries a lookup method of its own, released with it; a module unloaded after its
// requests leaves nothing behind. Under AddressSanitizer the leak check at exit sees what is
// left; otherwise the heap is compared around a second load, requests and unload (the first
// sets up OpenSSL's own global state).
TEST_F(TrustEndToEnd, UnloadedModuleLeavesNothingBehind) {
  set(&module_params::ca_cert_file, nullptr); // the system bundle, with the test root
  replace_file(kBundle, read_file(kBundle) + root_a);
  auto round = [&] {
    // Its own server, stopped (threads joined) before the heap is looked at.
    TlsServer server;
    set(&module_params::port, server.port_str());
    void *module = dlopen(ZV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto post_fn = reinterpret_cast<int (*)(const module_params *, const char *, char **)>(
        dlsym(module, "post_json_request"));
    ASSERT_NE(post_fn, nullptr);
    for (int i = 0; i < 3; i++) {
      char *reply = nullptr;
      EXPECT_EQ(post_fn(params.get(), kBody, &reply), 1);
      std::free(reply);
    }
    ASSERT_EQ(dlclose(module), 0);
    EXPECT_EQ(dlopen(ZV_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr) << "still loaded";
    server.stop();
  };
  round();
  const size_t before = mallinfo2().uordblks;
  round();
  const size_t after = mallinfo2().uordblks;
#ifndef __SANITIZE_ADDRESS__
  EXPECT_LT(after, before + 16 * 1024) << "before " << before << ", after " << after;
#else
  (void)before;
  (void)after;
#endif
}

} // namespace
