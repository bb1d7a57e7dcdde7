// Trust stores parsed once and shared between requests: whatever happens to the CA file takes
// effect at the next request, the shared store is the one a fresh load gives, concurrent
// requests all verify, and the module releases its stores when it is unloaded. Two servers on
// loopback: A's chain ends in the test root, B's in an unrelated root; a CA file that holds one
// of the two roots decides which server is accepted.
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "test_files.h"
#include "transport/transport.h"
#include "transport_fixture.h"

using namespace zvtest;

namespace {

const char kBundle[] = "/etc/ssl/certs/ca-certificates.crt";
const char kBody[] = "{\"user\":\"alice\"}";

// Writes a new file and renames it over `path`: a new inode at the same path.
void replace_file(const std::string &path, const std::string &text) {
  const std::string tmp = path + ".new";
  std::ofstream(tmp, std::ios::binary) << text;
  ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0) << path;
}

// Rewrites the file's bytes in place (same inode), then gives it back its old modification
// time: only the size (if it differs) and the change time tell that it changed.
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

// The two roots padded to one length (text after a PEM block is ignored), so that a rewrite
// from one to the other keeps the size.
struct Roots {
  std::string a, b;
  Roots() : a(read_file(test_pki().root_ca)), b(read_file(test_pki().untrusted_root)) {
    const size_t n = std::max(a.size(), b.size());
    a.resize(n, '\n');
    b.resize(n, '\n');
  }
};

TlsServerOptions server_b_options() {
  TlsServerOptions o;
  o.cert_chain = test_pki().untrusted_chain;
  o.key = test_pki().untrusted_key;
  return o;
}

// The private /etc's system bundle as it was before any test here changed it.
const std::string &system_certs() {
  static const std::string certs = read_file(kBundle);
  return certs;
}

class TrustCache : public TransportTest {
protected:
  void SetUp() override {
    TransportTest::SetUp();
    ASSERT_STREQ(std::getenv("ZV_IN_NS"), "1") << "must run inside tests/support/ns-run";
    ASSERT_FALSE(system_certs().empty());
    replace_file(kBundle, system_certs());
    // In the private /etc, where every component is open to other users (see the test that
    // drops privileges).
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

  // Waits (boundedly) until the configured file's store is kept: two contexts share one store.
  bool kept() {
    for (int i = 0; i < 300; i++) {
      SSL_CTX *x = create_ssl_context(params.get()), *y = create_ssl_context(params.get());
      const bool same =
          x != nullptr && y != nullptr && SSL_CTX_get_cert_store(x) == SSL_CTX_get_cert_store(y);
      SSL_CTX_free(x);
      SSL_CTX_free(y);
      if (same) return true;
      usleep(10000);
    }
    return false;
  }

  const std::string dir = "/etc/zv-trust-cache";
  Roots roots;
  TlsServer server_a;
  TlsServer server_b{server_b_options()};
};

// The certificates of a store as DER texts.
std::multiset<std::string> anchors(X509_STORE *store) {
  std::multiset<std::string> out;
  STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); i++) {
    X509 *cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    unsigned char *der = nullptr;
    const int len = cert != nullptr ? i2d_X509(cert, &der) : -1;
    if (len > 0) out.insert(std::string(reinterpret_cast<char *>(der), len));
    OPENSSL_free(der);
  }
  return out;
}

TEST_F(TrustCache, SharedStoreIsWhatAFreshLoadGives) {
  replace_file(kBundle, system_certs() + roots.a);
  set(&module_params::ca_cert_file, nullptr);
  ASSERT_TRUE(kept());

  SSL_CTX *fresh = SSL_CTX_new(TLS_client_method());
  ASSERT_EQ(SSL_CTX_load_verify_locations(fresh, kBundle, nullptr), 1);
  const std::multiset<std::string> expected = anchors(SSL_CTX_get_cert_store(fresh));
  SSL_CTX_free(fresh);
  ASSERT_GT(expected.size(), 100u) << "the system certificates and the test root";

  params->debug = 1;
  for (int i = 0; i < 2; i++) {
    syslog_clear();
    SSL_CTX *ctx = create_ssl_context(params.get());
    ASSERT_NE(ctx, nullptr);
    X509_STORE *store = SSL_CTX_get_cert_store(ctx);
    EXPECT_EQ(anchors(store), expected);
    EXPECT_EQ(X509_VERIFY_PARAM_get_flags(X509_STORE_get0_param(store)),
              static_cast<unsigned long>(X509_V_FLAG_PARTIAL_CHAIN));
    EXPECT_EQ(SSL_CTX_get_verify_mode(ctx), SSL_VERIFY_PEER);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), TLS1_2_VERSION);
    SSL_CTX_free(ctx);
    // Every request chooses, loads and counts, as far as the log can tell.
    EXPECT_EQ(
        log_lines(),
        (LogLines{{LOG_DEBUG, "get_ca_certificates_path: Using CA certificate file from "
                              "system path: " +
                                  std::string(kBundle)},
                  {LOG_DEBUG,
                   "create_ssl_context: Loading CA certificates from: " + std::string(kBundle)},
                  {LOG_DEBUG, "create_ssl_context: Loaded " + std::to_string(expected.size()) +
                                  " CA certificate(s) from " + kBundle}}));
  }
  params->debug = 0;
  EXPECT_EQ(accepted(), 1);
  // The shared store does not stand in for the name check, which stays with each connection.
  TlsServerOptions other;
  other.cert_chain = test_pki().other_name_chain;
  other.key = test_pki().other_name_key;
  TlsServer other_name(other);
  EXPECT_EQ(post(other_name), 0);
}

// What OpenSSL logs for a fresh load of `path` into a new context, as create_ssl_context's lines.
LogLines fresh_load_errors(const std::string &path) {
  LogLines out;
  ERR_clear_error();
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  EXPECT_NE(SSL_CTX_load_verify_locations(ctx, path.c_str(), nullptr), 1) << path;
  SSL_CTX_free(ctx);
  for (unsigned long e; (e = ERR_get_error()) != 0;) {
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    out.push_back(
        {LOG_DEBUG,
         std::string("create_ssl_context: ERROR: SSL_CTX_load_verify_locations: ") + text});
  }
  return out;
}

TEST_F(TrustCache, FilesFailAndCountAsAFreshLoad) {
  const std::string empty = dir + "/empty.pem", garbage = dir + "/garbage.pem",
                    key_only = dir + "/key.pem", directory = dir + "/dir.pem";
  replace_file(empty, "");
  replace_file(garbage, "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
  replace_file(key_only, read_file(test_pki().leaf_key));
  std::filesystem::create_directories(directory);
  params->debug = 1;
  for (const std::string &file : {empty, garbage, key_only, directory}) {
    const LogLines expected = fresh_load_errors(file);
    ASSERT_FALSE(expected.empty()) << file;
    set(&module_params::ca_cert_file, file);
    for (int i = 0; i < 2; i++) {
      syslog_clear();
      EXPECT_EQ(create_ssl_context(params.get()), nullptr) << file;
      const LogLines lines = log_lines();
      ASSERT_EQ(lines.size(), expected.size() + 2) << file;
      EXPECT_EQ(lines[1],
                (LogLine{LOG_DEBUG, "create_ssl_context: Loading CA certificates from: " + file}));
      EXPECT_EQ(LogLines(lines.begin() + 2, lines.end()), expected) << file;
    }
  }
  // Repeated certificates count once, as in a store loaded by OpenSSL itself.
  const std::string repeated = dir + "/repeated.pem";
  replace_file(repeated, roots.a + read_file(test_pki().root_and_intermediate) + roots.a);
  set(&module_params::ca_cert_file, repeated);
  ASSERT_TRUE(kept());
  syslog_clear();
  SSL_CTX *ctx = create_ssl_context(params.get());
  ASSERT_NE(ctx, nullptr);
  EXPECT_EQ(anchors(SSL_CTX_get_cert_store(ctx)).size(), 2u);
  SSL_CTX_free(ctx);
  EXPECT_TRUE(
      logged({LOG_DEBUG, "create_ssl_context: Loaded 2 CA certificate(s) from " + repeated}));
}

TEST_F(TrustCache, ReplacedFileTakesEffectAtTheNextRequest) {
  const std::string file = dir + "/ca.pem";
  set(&module_params::ca_cert_file, file);
  for (auto change : {replace_file, rewrite_in_place}) {
    replace_file(file, roots.a);
    ASSERT_TRUE(kept());
    EXPECT_EQ(accepted(), 1);
    change(file, roots.b);
    EXPECT_EQ(accepted(), 2);
    ASSERT_TRUE(kept());
    EXPECT_EQ(accepted(), 2);
    change(file, roots.a);
    EXPECT_EQ(accepted(), 1);
  }
}

// Where file times are only as fine as the clock tick, two same-size rewrites within one tick
// leave every field of the identity as it was. So a store parsed from a file changed moments ago
// serves its own request but is not kept (40 ms is within the margin the cache allows).
TEST_F(TrustCache, RecentlyChangedFileIsNotKept) {
  const std::string file = dir + "/ca.pem";
  set(&module_params::ca_cert_file, file);
  int checked = 0;
  for (int attempt = 0; attempt < 50 && checked < 5; attempt++) {
    replace_file(file, roots.a);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    SSL_CTX *x = create_ssl_context(params.get()), *y = create_ssl_context(params.get());
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    ASSERT_TRUE(x != nullptr && y != nullptr);
    const double age_ms = static_cast<double>(now.tv_sec - st.st_ctim.tv_sec) * 1e3 +
                          static_cast<double>(now.tv_nsec - st.st_ctim.tv_nsec) / 1e6;
    if (age_ms < 40) {
      checked++;
      EXPECT_NE(SSL_CTX_get_cert_store(x), SSL_CTX_get_cert_store(y)) << age_ms << " ms";
    }
    SSL_CTX_free(x);
    SSL_CTX_free(y);
  }
  EXPECT_GT(checked, 0) << "never within 40 ms of the change";
  // The race itself, which kernels with fine change times never lose.
  for (int round = 0; round < 10; round++) {
    replace_file(file, roots.a);
    ASSERT_TRUE(kept());
    rewrite_in_place(file, roots.b);
    ASSERT_EQ(post(server_b), 1) << round;
    rewrite_in_place(file, roots.a);
    ASSERT_EQ(post(server_b), 0) << round;
    ASSERT_EQ(post(server_a), 1) << round;
  }
}

TEST_F(TrustCache, UnreadableFileFailsTheNextRequest) {
  const std::string file = dir + "/ca.pem";
  set(&module_params::ca_cert_file, file);
  replace_file(file, roots.a);
  ASSERT_TRUE(kept());

  ASSERT_EQ(unlink(file.c_str()), 0);
  syslog_clear();
  EXPECT_EQ(post(server_a), 0);
  EXPECT_EQ(log_lines(),
            (LogLines{{LOG_ERR, "get_ca_certificates_path: ca_cert_file does not exist or is not "
                                "readable: " +
                                    file},
                      {LOG_ERR, "create_ssl_context: FAILED: get_ca_certificates_path"}}));

  ASSERT_EQ(mkdir(file.c_str(), 0755), 0); // readable, but no CA file
  params->debug = 1;
  syslog_clear();
  EXPECT_EQ(post(server_a), 0);
  EXPECT_GE(
      count_logged(LOG_DEBUG, "create_ssl_context: ERROR: SSL_CTX_load_verify_locations: error:"),
      1u);
  ASSERT_EQ(rmdir(file.c_str()), 0);
  params->debug = 0;

  // Readable by root only, while the effective user is another: the kept store is not used.
  replace_file(file, roots.a);
  ASSERT_TRUE(kept());
  ASSERT_EQ(setresuid(0, 65534, 0), 0);
  const int as_nobody_readable = post(server_a);
  ASSERT_EQ(setresuid(0, 0, 0), 0);
  ASSERT_EQ(chmod(file.c_str(), 0600), 0);
  ASSERT_EQ(setresuid(0, 65534, 0), 0);
  const int as_nobody_unreadable = post(server_a);
  ASSERT_EQ(setresuid(0, 0, 0), 0);
  EXPECT_EQ(as_nobody_readable, 1);
  EXPECT_EQ(as_nobody_unreadable, 0);
  EXPECT_EQ(post(server_a), 1);
}

TEST_F(TrustCache, ChangedCaCertFileBetweenCallsIsHonoured) {
  // More files than the cache has places, so some are evicted and parsed again on the way.
  std::vector<std::string> files;
  for (int i = 0; i < 7; i++) {
    files.push_back(dir + "/ca" + std::to_string(i) + ".pem");
    replace_file(files.back(), i % 2 == 0 ? roots.a : roots.b);
  }
  for (int round = 0; round < 3; round++) {
    for (size_t i = 0; i < files.size(); i++) {
      set(&module_params::ca_cert_file, files[i]);
      EXPECT_EQ(accepted(), i % 2 == 0 ? 1 : 2) << files[i];
    }
  }
  set(&module_params::ca_cert_file, files[0]);
  ASSERT_TRUE(kept());
  set(&module_params::ca_cert_file, files[1]);
  ASSERT_TRUE(kept());
  for (int i = 0; i < 4; i++) {
    set(&module_params::ca_cert_file, files[i % 2]);
    EXPECT_EQ(accepted(), i % 2 == 0 ? 1 : 2);
  }
}

TEST_F(TrustCache, SystemBundleIsReloadedWhenChanged) {
  set(&module_params::ca_cert_file, nullptr);
  replace_file(kBundle, system_certs() + roots.a);
  ASSERT_TRUE(kept());
  EXPECT_EQ(accepted(), 1);
  replace_file(kBundle, system_certs() + roots.b);
  EXPECT_EQ(accepted(), 2);
  ASSERT_TRUE(kept());
  rewrite_in_place(kBundle, system_certs() + roots.a);
  EXPECT_EQ(accepted(), 1);
  // Gone: the next system file in the list takes its place at once.
  ASSERT_TRUE(kept());
  ASSERT_EQ(unlink(kBundle), 0);
  for (const char *f : {"/etc/pki/tls/certs/ca-bundle.crt", "/etc/ssl/ca-bundle.pem",
                        "/etc/pki/tls/cacert.pem", "/etc/ssl/cert.pem"})
    unlink(f);
  replace_file("/etc/ssl/cert.pem", roots.b);
  EXPECT_EQ(accepted(), 2);
}

// Requests in many threads at once, spread over more CA files than the cache keeps, so stores
// are evicted and parsed again while other threads still verify with them.
TEST_F(TrustCache, ConcurrentRequestsAllSucceed) {
  const char *rounds_env = std::getenv("ZV_TRUST_ROUNDS"); // fewer under helgrind
  const int threads = 8, rounds = rounds_env != nullptr ? std::atoi(rounds_env) : 20;
  std::vector<std::string> files;
  for (int i = 0; i < 6; i++) {
    files.push_back(dir + "/ca" + std::to_string(i) + ".pem");
    replace_file(files.back(), i == 0 ? read_file(test_pki().root_and_intermediate) : roots.a);
  }
  set(&module_params::ca_cert_file, files[0]);
  ASSERT_TRUE(kept()); // settled: every file is kept from here on
  // glibc loads its name-service modules on the first lookup of the process, under locks that
  // helgrind cannot see; done here, before the threads, it is not mistaken for a race.
  ASSERT_EQ(post(server_a), 1);
  std::atomic<int> ok{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; t++) {
    workers.emplace_back([&, t] {
      zv::ParamsScope own;
      set_text(own.get(), &module_params::logname, "pam_zelvane(test)");
      set_text(own.get(), &module_params::host, "localhost");
      set_text(own.get(), &module_params::port, server_a.port_str());
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
  EXPECT_EQ(server_a.received().size(), static_cast<size_t>(threads * rounds) + 1);
  EXPECT_TRUE(log_lines().empty());
}

// The module keeps parsed stores in static storage; unloading it must release them. Under
// AddressSanitizer the leak check at exit sees what is left; otherwise the heap is compared
// around a second load, request and unload (the first sets up OpenSSL's own global state).
TEST_F(TrustCache, UnloadedModuleLeavesNothingBehind) {
  replace_file(kBundle, system_certs() + roots.a);
  set(&module_params::ca_cert_file, nullptr);
  ASSERT_TRUE(kept()); // settled, so that the module keeps what it parses
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
  // One kept bundle holds far more than this.
  EXPECT_LT(after, before + 64 * 1024) << "before " << before << ", after " << after;
#else
  (void)before;
  (void)after;
#endif
}

} // namespace
