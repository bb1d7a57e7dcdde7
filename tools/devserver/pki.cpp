#include "pki.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "common/own.h"

namespace devserver {
namespace {

using BioPtr = zv::UniquePtr<BIO>;
using BnPtr = zv::UniquePtr<BIGNUM>;
using KeyPtr = zv::UniquePtr<EVP_PKEY>;
using NamePtr = zv::UniquePtr<X509_NAME>;
using X509Ptr = zv::UniquePtr<X509>;
using ExtPtr = zv::UniquePtr<X509_EXTENSION>;

constexpr long kCaDays = 3650;
constexpr long kServerDays = 825;
constexpr long kDaySecs = 86400;

std::string ssl_error(const char *what) {
  char buf[256] = "no details";
  if (const unsigned long e = ERR_get_error(); e != 0) ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return std::string(what) + ": " + buf;
}

X509Ptr read_cert(const std::string &path) {
  BioPtr bio(BIO_new_file(path.c_str(), "r"));
  return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool valid_for_a_day(const X509 *cert) {
  time_t tomorrow = time(nullptr) + kDaySecs;
  return X509_cmp_time(X509_get0_notAfter(cert), &tomorrow) > 0 &&
         X509_cmp_current_time(X509_get0_notBefore(cert)) < 0;
}

bool pki_usable(const std::string &dir) {
  X509Ptr ca = read_cert(dir + "/ca.pem");
  X509Ptr server = read_cert(dir + "/server.pem");
  BioPtr bio(BIO_new_file((dir + "/server.key").c_str(), "r"));
  KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  const bool ok = ca && server && key && X509_check_private_key(server.get(), key.get()) == 1 &&
                  X509_verify(server.get(), X509_get0_pubkey(ca.get())) == 1 &&
                  valid_for_a_day(ca.get()) && valid_for_a_day(server.get()) &&
                  X509_check_host(server.get(), "localhost", 0, 0, nullptr) == 1 &&
                  X509_check_ip_asc(server.get(), "127.0.0.1", 0) == 1;
  ERR_clear_error();
  return ok;
}

// A certificate for `key` named `cn`, signed by `issuer_key` (self-signed when `issuer` is null).
X509Ptr make_cert(EVP_PKEY *key, const char *cn, X509 *issuer, EVP_PKEY *issuer_key, long days,
                  std::initializer_list<std::pair<int, const char *>> extensions) {
  X509Ptr cert(X509_new());
  BnPtr serial(BN_new());
  NamePtr name(X509_NAME_new());
  if (!cert || !serial || !name) return nullptr;
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) == nullptr ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * kDaySecs) == nullptr ||
      X509_NAME_add_entry_by_txt(name.get(), "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char *>(cn), -1, -1, 0) != 1 ||
      X509_set_subject_name(cert.get(), name.get()) != 1 ||
      X509_set_issuer_name(cert.get(),
                           issuer != nullptr ? X509_get_subject_name(issuer) : name.get()) != 1 ||
      X509_set_pubkey(cert.get(), key) != 1)
    return nullptr;
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  for (const auto &[nid, value] : extensions) {
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext || X509_add_ext(cert.get(), ext.get(), -1) != 1) return nullptr;
  }
  if (X509_sign(cert.get(), issuer_key, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

template <class F> int pem_text(BIO *bio, F write, std::string *out) {
  if (bio == nullptr || write(bio) != 1) return -1;
  char *data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  out->assign(data, static_cast<size_t>(len));
  return 0;
}

int generate(const std::string &dir, std::string *error) {
  KeyPtr ca_key(EVP_EC_gen("P-256"));
  KeyPtr server_key(EVP_EC_gen("P-256"));
  if (!ca_key || !server_key) {
    *error = ssl_error("EC key generation");
    return -1;
  }
  X509Ptr ca = make_cert(ca_key.get(), "zelvane-devserver CA", nullptr, ca_key.get(), kCaDays,
                         {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                          {NID_key_usage, "critical,keyCertSign,cRLSign"},
                          {NID_subject_key_identifier, "hash"}});
  X509Ptr server =
      ca ? make_cert(server_key.get(), "localhost", ca.get(), ca_key.get(), kServerDays,
                     {{NID_basic_constraints, "critical,CA:FALSE"},
                      {NID_key_usage, "critical,digitalSignature"},
                      {NID_ext_key_usage, "serverAuth"},
                      {NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"},
                      {NID_subject_key_identifier, "hash"},
                      {NID_authority_key_identifier, "keyid:always"}})
         : nullptr;
  if (!ca || !server) {
    *error = ssl_error("certificate generation");
    return -1;
  }
  std::string ca_pem, server_pem, key_pem;
  BioPtr ca_bio(BIO_new(BIO_s_mem()));
  BioPtr server_bio(BIO_new(BIO_s_mem()));
  BioPtr key_bio(BIO_new(BIO_s_secmem())); // cleared when freed
  if (pem_text(
          ca_bio.get(), [&](BIO *b) { return PEM_write_bio_X509(b, ca.get()); }, &ca_pem) != 0 ||
      pem_text(
          server_bio.get(), [&](BIO *b) { return PEM_write_bio_X509(b, server.get()); },
          &server_pem) != 0 ||
      pem_text(
          key_bio.get(),
          [&](BIO *b) {
            return PEM_write_bio_PrivateKey(b, server_key.get(), nullptr, nullptr, 0, nullptr,
                                            nullptr);
          },
          &key_pem) != 0) {
    *error = ssl_error("PEM encoding");
    return -1;
  }
  // Key first and CA last: a run cut short leaves files that fail the check and are remade.
  const int rc = write_file(dir + "/server.key", key_pem, 0600, error) != 0 ||
                         write_file(dir + "/server.pem", server_pem, 0644, error) != 0 ||
                         write_file(dir + "/ca.pem", ca_pem, 0644, error) != 0
                     ? -1
                     : 0;
  OPENSSL_cleanse(key_pem.data(), key_pem.size());
  return rc;
}

} // namespace

int write_file(const std::string &path, std::string_view data, mode_t mode, std::string *error) {
  const std::string tmp = path + ".tmp";
  unlink(tmp.c_str());
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = tmp + ": " + strerror(errno);
    return -1;
  }
  size_t done = 0;
  bool ok = fchmod(fd, mode) == 0;
  while (ok && done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  int err = ok ? 0 : (errno != 0 ? errno : EIO);
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    *error = path + ": " + strerror(err);
    unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

int ensure_pki(const std::string &dir, bool *generated, std::string *error) {
  *generated = false;
  if (pki_usable(dir)) return 0;
  if (generate(dir, error) != 0) return -1;
  if (!pki_usable(dir)) {
    *error = "the generated certificates do not check out";
    return -1;
  }
  *generated = true;
  return 0;
}

SSL_CTX *server_context(const std::string &dir, std::string *error) {
  using CtxPtr = zv::UniquePtr<SSL_CTX>;
  CtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_use_certificate_chain_file(ctx.get(), (dir + "/server.pem").c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), (dir + "/server.key").c_str(), SSL_FILETYPE_PEM) !=
          1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1) {
    *error = ssl_error("TLS server context");
    return nullptr;
  }
  return ctx.release();
}

} // namespace devserver
