// The CA file reader against OpenSSL's own loader: whatever file the index takes, a full load
// takes too, with the same number of certificates, and every certificate the index vouched for
// decodes, so that the two stores end up holding the same objects; or else a certificate the
// index vouched for does not decode (and the store then verifies nothing). The reader of
// canonical files against OpenSSL's PEM reader: the same index (the same blocks in the same
// order, with the same keys and bytes) or none either way, and the same count. An input that begins
// with 'C' or 'T' is the DER of one certificate, given in a "CERTIFICATE" or "TRUSTED CERTIFICATE"
// block after a valid one (mutations then reach the DER checks directly); one that begins with
// 'E' is edits of two valid blocks, each three bytes putting a character that matters to the
// framing at a place (mutations then reach the edges of the canonical form); any other input is
// the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <set>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "transport/trust_store_int.h"

namespace {

// A valid certificate, so that a damaged one after it is not alone in the file.
const char kValid[] = "-----BEGIN CERTIFICATE-----\n"
                      "MIIBfjCCASOgAwIBAgIUC+EYNOwU3p9yv/c2J5cBmA8AfPMwCgYIKoZIzj0EAwIw\n"
                      "FDESMBAGA1UEAwwJRnV6eiBSb290MB4XDTI2MTIwODA5NDk1NloXDTM2MTIwNTA5\n"
                      "NDk1NlowFDESMBAGA1UEAwwJRnV6eiBSb290MFkwEwYHKoZIzj0CAQYIKoZIzj0D\n"
                      "AQcDQgAELn0aTqS1IjTWoMjZD+FcTKRl4ASIQPAKy36eCHp13RrA+ltGpzOSpAvH\n"
                      "VtwArt+CET6f7d+WlG0mFIf4ys0CT6NTMFEwHQYDVR0OBBYEFCwyIW+Npo2Us7Wa\n"
                      "ADNmK+tlGgxwMB8GA1UdIwQYMBaAFCwyIW+Npo2Us7WaADNmK+tlGgxwMA8GA1Ud\n"
                      "EwEB/wQFMAMBAf8wCgYIKoZIzj0EAwIDSQAwRgIhAPOQDDVtXWcrCn/GLBTgIwpM\n"
                      "vvqqX0Iy1SSdIP4DG0/DAiEAitU+Wnw9r1n4pg904/VcM1AGmu1USrpBtVpd08aA\n"
                      "C4s=\n"
                      "-----END CERTIFICATE-----\n";

std::string pem_block(const char *label, const uint8_t *der, size_t len) {
  std::string out = std::string("-----BEGIN ") + label + "-----\n";
  unsigned char line[65 + 1];
  for (size_t at = 0; at < len; at += 48) {
    const size_t n = len - at < 48 ? len - at : 48;
    const int chars = EVP_EncodeBlock(line, der + at, static_cast<int>(n));
    out.append(reinterpret_cast<char *>(line), static_cast<size_t>(chars));
    out += '\n';
  }
  return out + "-----END " + label + "-----\n";
}

// Every object of the store as text: certificates and CRLs by their DER.
std::multiset<std::string> objects(X509_STORE *store) {
  std::multiset<std::string> out;
  STACK_OF(X509_OBJECT) *all = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(all); i++) {
    X509_OBJECT *object = sk_X509_OBJECT_value(all, i);
    unsigned char *der = nullptr;
    int len = -1;
    if (X509_OBJECT_get_type(object) == X509_LU_X509)
      len = i2d_X509(X509_OBJECT_get0_X509(object), &der);
    else if (X509_OBJECT_get_type(object) == X509_LU_CRL)
      len = i2d_X509_CRL(X509_OBJECT_get0_X509_CRL(object), &der);
    out.emplace(std::string(1, static_cast<char>(X509_OBJECT_get_type(object))) +
                std::string(reinterpret_cast<char *>(der), len > 0 ? static_cast<size_t>(len) : 0));
    OPENSSL_free(der);
  }
  return out;
}

// The text loaded by OpenSSL as SSL_CTX_load_verify_locations loads a file; null on failure.
X509_STORE *full_load(const std::string &text) {
  const int fd = memfd_create("ca-file", MFD_CLOEXEC);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  X509_STORE *store = X509_STORE_new();
  if (X509_STORE_load_file(store, path.c_str()) != 1) {
    X509_STORE_free(store);
    store = nullptr;
  }
  close(fd);
  return store;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text;
  if (size > 0 && (data[0] == 'C' || data[0] == 'T'))
    text = kValid +
           pem_block(data[0] == 'C' ? "CERTIFICATE" : "TRUSTED CERTIFICATE", data + 1, size - 1);
  else if (size > 0 && data[0] == 'E') {
    text = std::string(kValid) + kValid;
    const char marks[] = "=\n\r -A:\t#\0\xef";
    for (size_t i = 1; i + 2 < size; i += 3) {
      const size_t at = (data[i] << 8 | data[i + 1]) % (text.size() + 1);
      const char mark = marks[(data[i + 2] & 0x7f) % (sizeof marks - 1)];
      if (data[i + 2] & 0x80)
        text.insert(at, 1, mark);
      else if (at < text.size())
        text[at] = mark;
    }
  } else {
    text.assign(reinterpret_cast<const char *>(data), size);
  }

  int count = 0;
  zv::transport::TrustIndex *index = nullptr;
  zv::transport::StorePtr lazy(
      zv::transport::trust_store_from_text(text.data(), text.size(), &count, &index));
  ERR_clear_error();
  int read_count = 0;
  zv::transport::TrustIndex *read = nullptr;
  zv::transport::StorePtr by_reader(
      zv::transport::trust_store_from_text(text.data(), text.size(), &read_count, &read, false));
  ERR_clear_error();
  if (!lazy != !by_reader || (index == nullptr) != (read == nullptr) || count != read_count ||
      (index != nullptr && !zv::transport::trust_index_same(index, read)))
    abort();
  if (index == nullptr) return 0; // OpenSSL's loader had the whole file
  zv::transport::StorePtr full(full_load(text));
  ERR_clear_error();
  // A file that a full load refuses is taken only for a certificate that does not decode.
  const bool all = zv::transport::trust_index_load_all(index);
  ERR_clear_error();
  if (all != (full != nullptr)) abort();
  if (!full) return 0;
  int full_count = 0;
  for (const std::string &object : objects(full.get())) full_count += object[0] == X509_LU_X509;
  if (count != full_count) abort();
  if (objects(lazy.get()) != objects(full.get())) abort();
  ERR_clear_error();
  return 0;
}
