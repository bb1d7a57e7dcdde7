// The test PKI: generated once per test process with the OpenSSL C API into a private temporary
// directory, so no test depends on certificates checked into the tree (which would expire).
// EC P-256 keys keep generation to a few milliseconds.
#include "tls_server.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdexcept>
#include <unistd.h>

#include "common/own.h"

namespace zvtest {
namespace {

using KeyPtr = zv::UniquePtr<EVP_PKEY>;
using CertPtr = zv::UniquePtr<X509>;
using ExtPtr = zv::UniquePtr<X509_EXTENSION>;

constexpr long kDay = 24L * 60 * 60;

struct Issued {
  KeyPtr key;
  CertPtr cert;
};

[[noreturn]] void fail(const std::string &what) { throw std::runtime_error("test PKI: " + what); }

KeyPtr new_key() {
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) fail("EVP_EC_gen");
  return key;
}

void add_ext(X509 *cert, X509 *issuer, int nid, const char *value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) fail("extension " + std::string(value));
}

// Issues a certificate for `cn` valid from now+not_before to now+not_after (seconds). With no
// issuer the certificate signs itself.
Issued issue(const char *cn, const Issued *issuer, bool ca, const char *san, long not_before,
             long not_after) {
  static long serial = 1;
  Issued out{new_key(), CertPtr(X509_new())};
  X509 *cert = out.cert.get();
  if (cert == nullptr) fail("X509_new");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), not_before);
  X509_gmtime_adj(X509_getm_notAfter(cert), not_after);
  X509_NAME *name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("Zelvane Test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(cn),
                             -1, -1, 0);
  X509 *signer_cert = issuer != nullptr ? issuer->cert.get() : cert;
  EVP_PKEY *signer_key = issuer != nullptr ? issuer->key.get() : out.key.get();
  X509_set_issuer_name(cert, X509_get_subject_name(signer_cert));
  X509_set_pubkey(cert, out.key.get());
  add_ext(cert, signer_cert, NID_subject_key_identifier, "hash");
  if (issuer != nullptr) add_ext(cert, signer_cert, NID_authority_key_identifier, "keyid:always");
  if (ca) {
    add_ext(cert, signer_cert, NID_basic_constraints, "critical,CA:TRUE");
    add_ext(cert, signer_cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    add_ext(cert, signer_cert, NID_basic_constraints, "critical,CA:FALSE");
    add_ext(cert, signer_cert, NID_key_usage, "critical,digitalSignature");
    add_ext(cert, signer_cert, NID_ext_key_usage, "serverAuth");
  }
  if (san != nullptr) add_ext(cert, signer_cert, NID_subject_alt_name, san);
  if (X509_sign(cert, signer_key, EVP_sha256()) == 0) fail(std::string("X509_sign ") + cn);
  return out;
}

// Writes the certificates (in order) as one PEM file.
void write_certs(const std::string &path, std::initializer_list<const X509 *> certs) {
  FILE *f = std::fopen(path.c_str(), "w");
  if (f == nullptr) fail("fopen " + path);
  for (const X509 *c : certs) PEM_write_X509(f, c);
  if (std::fclose(f) != 0) fail("fclose " + path);
}

void write_key(const std::string &path, EVP_PKEY *key) {
  FILE *f = std::fopen(path.c_str(), "w");
  if (f == nullptr) fail("fopen " + path);
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  if (std::fclose(f) != 0) fail("fclose " + path);
}

std::string g_dir; // removed at exit

void remove_dir() {
  std::error_code ignored;
  if (!g_dir.empty()) std::filesystem::remove_all(g_dir, ignored);
}

TestPki generate() {
  char tmpl[] = "/tmp/zv-pki.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) fail("mkdtemp");
  TestPki pki;
  pki.dir = tmpl;
  g_dir = pki.dir;
  std::atexit(remove_dir);
  auto path = [&](const char *name) { return pki.dir + "/" + name; };
  const char *local_san = "DNS:localhost,IP:127.0.0.1,IP:::1";

  Issued root = issue("Zelvane Test Root CA", nullptr, true, nullptr, -kDay, 3650 * kDay);
  Issued inter = issue("Zelvane Test Intermediate CA", &root, true, nullptr, -kDay, 3650 * kDay);
  Issued leaf = issue("localhost", &inter, false, local_san, -kDay, 365 * kDay);
  Issued other = issue("other.example", &inter, false, "DNS:other.example", -kDay, 365 * kDay);
  Issued expired = issue("localhost", &inter, false, local_san, -30 * kDay, -kDay);
  Issued future = issue("localhost", &inter, false, local_san, kDay, 30 * kDay);
  Issued self = issue("localhost", nullptr, false, local_san, -kDay, 365 * kDay);
  Issued alien_root = issue("Unrelated Root CA", nullptr, true, nullptr, -kDay, 3650 * kDay);
  Issued alien = issue("localhost", &alien_root, false, local_san, -kDay, 365 * kDay);

  pki.root_ca = path("root-ca.pem");
  write_certs(pki.root_ca, {root.cert.get()});
  pki.intermediate_ca = path("intermediate-ca.pem");
  write_certs(pki.intermediate_ca, {inter.cert.get()});
  pki.root_and_intermediate = path("root-and-intermediate.pem");
  write_certs(pki.root_and_intermediate, {root.cert.get(), inter.cert.get()});

  pki.leaf_cert = path("leaf.pem");
  write_certs(pki.leaf_cert, {leaf.cert.get()});
  pki.leaf_key = path("leaf.key");
  write_key(pki.leaf_key, leaf.key.get());
  pki.leaf_chain = path("leaf-chain.pem");
  write_certs(pki.leaf_chain, {leaf.cert.get(), inter.cert.get()});

  pki.other_name_chain = path("other-chain.pem");
  write_certs(pki.other_name_chain, {other.cert.get(), inter.cert.get()});
  pki.other_name_key = path("other.key");
  write_key(pki.other_name_key, other.key.get());

  pki.expired_chain = path("expired-chain.pem");
  write_certs(pki.expired_chain, {expired.cert.get(), inter.cert.get()});
  pki.expired_key = path("expired.key");
  write_key(pki.expired_key, expired.key.get());

  pki.future_chain = path("future-chain.pem");
  write_certs(pki.future_chain, {future.cert.get(), inter.cert.get()});
  pki.future_key = path("future.key");
  write_key(pki.future_key, future.key.get());

  pki.self_signed_cert = path("self-signed.pem");
  write_certs(pki.self_signed_cert, {self.cert.get()});
  pki.self_signed_key = path("self-signed.key");
  write_key(pki.self_signed_key, self.key.get());

  pki.untrusted_root = path("untrusted-root.pem");
  write_certs(pki.untrusted_root, {alien_root.cert.get()});
  pki.untrusted_chain = path("untrusted-chain.pem");
  write_certs(pki.untrusted_chain, {alien.cert.get(), alien_root.cert.get()});
  pki.untrusted_key = path("untrusted.key");
  write_key(pki.untrusted_key, alien.key.get());
  return pki;
}

} // namespace

const TestPki &test_pki() {
  static const TestPki pki = generate();
  return pki;
}

} // namespace zvtest
