// Choice and loading of the CA file, and the draining of OpenSSL's error queue. The system CA
// files are written and removed in the test's private /etc.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include "transport/transport.h"
#include "transport_fixture.h"

using namespace zvtest;

namespace {

const char *const kSystemFiles[] = {"/etc/ssl/certs/ca-certificates.crt",
                                    "/etc/pki/tls/certs/ca-bundle.crt", "/etc/ssl/ca-bundle.pem",
                                    "/etc/pki/tls/cacert.pem", "/etc/ssl/cert.pem"};

void write_file(const std::string &path, const std::string &text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

class TrustStore : public TransportTest {
protected:
  void SetUp() override {
    TransportTest::SetUp();
    ASSERT_EQ(std::string(std::getenv("ZV_IN_NS") ? std::getenv("ZV_IN_NS") : ""), "1")
        << "must run inside tests/support/ns-run: it rewrites /etc/ssl";
    for (const char *f : kSystemFiles) unlink(f);
    set(&module_params::ca_cert_file, nullptr);
  }
};

TEST_F(TrustStore, SystemFilesAreTriedInOrder) {
  params->debug = 1;
  EXPECT_EQ(get_ca_certificates_path(params.get()), nullptr);
  EXPECT_EQ(log_lines(), (LogLines{{LOG_ERR, "get_ca_certificates_path: No CA certificate file "
                                             "found in common locations."}}));
  // Added from the last to the first: each newly added one wins.
  for (int i = 4; i >= 0; i--) {
    write_file(kSystemFiles[i], "x");
    syslog_clear();
    EXPECT_STREQ(get_ca_certificates_path(params.get()), kSystemFiles[i]);
    EXPECT_EQ(log_lines(), (LogLines{{LOG_DEBUG, "get_ca_certificates_path: Using CA certificate "
                                                 "file from system path: " +
                                                     std::string(kSystemFiles[i])}}));
  }
}

TEST_F(TrustStore, ConfiguredFileWinsAndIsNeverReplaced) {
  write_file(kSystemFiles[0], "x");
  set(&module_params::ca_cert_file, test_pki().root_ca);
  params->debug = 1;
  EXPECT_EQ(get_ca_certificates_path(params.get()), params->ca_cert_file) << "not a copy";
  EXPECT_EQ(log_lines(), (LogLines{{LOG_DEBUG, "get_ca_certificates_path: Using CA certificate "
                                               "file from parameters: " +
                                                   test_pki().root_ca}}));

  set(&module_params::ca_cert_file, "/nonexistent/ca.pem");
  params->debug = 0;
  syslog_clear();
  EXPECT_EQ(get_ca_certificates_path(params.get()), nullptr);
  EXPECT_EQ(log_lines(), (LogLines{{LOG_ERR, "get_ca_certificates_path: ca_cert_file does not "
                                             "exist or is not readable: /nonexistent/ca.pem"}}));
}

// Readability is judged with the effective IDs, as a set-user-ID host would read the file.
TEST_F(TrustStore, ReadabilityUsesEffectiveIds) {
  const std::string path = test_pki().dir + "/root-only.pem";
  write_file(path, "x");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  set(&module_params::ca_cert_file, path);

  ASSERT_EQ(setresuid(65534, 0, 0), 0); // real nobody, effective root
  const char *as_setuid = get_ca_certificates_path(params.get());
  ASSERT_EQ(setresuid(0, 65534, 0), 0); // effective nobody
  const char *as_nobody = get_ca_certificates_path(params.get());
  ASSERT_EQ(setresuid(0, 0, 0), 0);
  EXPECT_EQ(as_setuid, params->ca_cert_file);
  EXPECT_EQ(as_nobody, nullptr);
  EXPECT_EQ(log_lines(), (LogLines{{LOG_ERR, "get_ca_certificates_path: ca_cert_file does not "
                                             "exist or is not readable: " +
                                                 path}}));
}

TEST_F(TrustStore, ContextTrustsTheFileWithPartialChains) {
  set(&module_params::ca_cert_file, test_pki().root_and_intermediate);
  SSL_CTX *ctx = create_ssl_context(params.get());
  ASSERT_NE(ctx, nullptr);
  EXPECT_TRUE(log_lines().empty()) << "debug off: a successful load is silent";
  EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), TLS1_2_VERSION);
  EXPECT_EQ(SSL_CTX_get_max_proto_version(ctx), 0);
  EXPECT_EQ(SSL_CTX_get_verify_mode(ctx), SSL_VERIFY_PEER);
  X509_STORE *store = SSL_CTX_get_cert_store(ctx);
  EXPECT_NE(X509_VERIFY_PARAM_get_flags(X509_STORE_get0_param(store)) & X509_V_FLAG_PARTIAL_CHAIN,
            0u);
  SSL_CTX_free(ctx);

  params->debug = 1;
  ctx = create_ssl_context(params.get());
  ASSERT_NE(ctx, nullptr);
  SSL_CTX_free(ctx);
  const std::string file = test_pki().root_and_intermediate;
  EXPECT_EQ(
      log_lines(),
      (LogLines{{LOG_DEBUG,
                 "get_ca_certificates_path: Using CA certificate file from parameters: " + file},
                {LOG_DEBUG, "create_ssl_context: Loading CA certificates from: " + file},
                {LOG_DEBUG, "create_ssl_context: Loaded 2 CA certificate(s) from " + file}}));
}

TEST_F(TrustStore, UnusableFilesGiveNoContext) {
  const std::string empty = test_pki().dir + "/empty.pem";
  const std::string garbage = test_pki().dir + "/garbage.pem";
  const std::string fifo = test_pki().dir + "/fifo.pem"; // nobody writes: read, not waited on
  write_file(empty, "");
  write_file(garbage,
             "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  params->debug = 1;
  for (const std::string &file : {empty, garbage, fifo}) {
    syslog_clear();
    set(&module_params::ca_cert_file, file);
    EXPECT_EQ(create_ssl_context(params.get()), nullptr) << file;
    EXPECT_GE(
        count_logged(LOG_DEBUG, "create_ssl_context: ERROR: SSL_CTX_load_verify_locations: error:"),
        1u)
        << file;
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
  syslog_clear();
  set(&module_params::ca_cert_file, nullptr);
  EXPECT_EQ(create_ssl_context(params.get()), nullptr);
  EXPECT_EQ(log_lines(),
            (LogLines{{LOG_ERR, "get_ca_certificates_path: No CA certificate file found in common "
                                "locations."},
                      {LOG_ERR, "create_ssl_context: FAILED: get_ca_certificates_path"}}));
}

TEST_F(TrustStore, SslErrorsAreDrainedOldestFirst) {
  params->debug = 1;
  log_ssl_errors(params.get(), "caller", 42, "SSL_frobnicate");
  EXPECT_EQ(log_lines(), (LogLines{{LOG_DEBUG, "caller: ERROR: SSL_frobnicate FAILED"}}));
  EXPECT_EQ(syslog_records().at(0).text, "caller[42]: ERROR: SSL_frobnicate FAILED");

  const int reasons[] = {SSL_R_NO_SHARED_CIPHER, SSL_R_WRONG_VERSION_NUMBER,
                         SSL_R_CERTIFICATE_VERIFY_FAILED};
  LogLines expected;
  for (int reason : reasons) {
    ERR_raise(ERR_LIB_SSL, reason);
    char text[256];
    ERR_error_string_n(ERR_peek_last_error(), text, sizeof text);
    expected.push_back({LOG_DEBUG, std::string("caller: ERROR: BIO_read: ") + text});
  }
  syslog_clear();
  log_ssl_errors(params.get(), "caller", 7, "BIO_read");
  EXPECT_EQ(log_lines(), expected);
  EXPECT_NE(expected[0].text.find("no shared cipher"), std::string::npos);
  EXPECT_EQ(ERR_peek_error(), 0u);

  // Without debug nothing is written, yet the queue is emptied all the same.
  params->debug = 0;
  ERR_raise(ERR_LIB_SSL, SSL_R_NO_SHARED_CIPHER);
  syslog_clear();
  log_ssl_errors(params.get(), "caller", 7, "BIO_read");
  EXPECT_TRUE(log_lines().empty());
  EXPECT_EQ(ERR_peek_error(), 0u);
}

} // namespace
