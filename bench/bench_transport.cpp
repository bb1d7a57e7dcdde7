// post_json_request of the built module against two clients that pay only for the connection:
// libcurl, and a plain OpenSSL client that loads its trust store once and reuses one SSL_CTX.
// N sequential requests each, same loopback TLS server, same body and TLS versions; for every
// client neither connection nor session reuse, so each request pays for a full handshake as the
// module does.
//
// The module (pam_zelvane.so, loaded with dlopen as libpam loads it) is measured in four cells:
// with the system bundle (ca_cert_file unset, so "/etc/ssl/certs/ca-certificates.crt", about 145
// certificates) and with a one-certificate CA file, each
//   - loaded afresh for every request and unloaded after it, as a host that runs every login in
//     a process of its own (sshd, sudo, su) loads it at pam_start and unloads it at pam_end;
//   - loaded once, every request through the same handle, as a long-lived host keeps it.
// The benchmark enters a private mount namespace of its own and bind-mounts, over the system
// bundle, a copy that holds the system certificates plus the test root, so the host's file is
// never touched. Needs root.
//
//   bench_transport [N]     (default 200)
//   bench_transport --profile CLIENT [N]
//
// The second form runs N requests of one client only (CLIENT: fresh-bundle, fresh-file,
// handle-bundle, handle-file, baseline, curl), after the same warm-up, inside one function for
// a profiler to count, and prints nothing but failures. Instruction counts per request:
//   valgrind --tool=callgrind --toggle-collect='*profiled_requests*'
//            bench/bench_transport --profile handle-file 50
// (the server's threads run outside that function and are not counted).
//
// Prints per-request medians of wall time and of the calling thread's CPU time (the server runs
// in other threads of this process and is not counted; loading and unloading the module are),
// their ratios, and the peak RSS.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <curl/curl.h>
#include <dlfcn.h>
#include <fstream>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <vector>

#include "config/params.h"
#include "tls_server.h"

namespace {

const char kBody[] = "{\"userName\":\"alice\",\"password\":\"correct horse\",\"tenant\":\"bench\"}";
const char kPath[] = "/AuthServer/REST/OATH/OathServer.aspx";
const char kReply[] = "{\"errorCode\":0}";
const char kSystemBundle[] = "/etc/ssl/certs/ca-certificates.crt";

double now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

struct Samples {
  const char *name;
  std::vector<double> wall, cpu; // microseconds
  static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  }
  double wall_median() const { return median(wall); }
  double cpu_median() const { return median(cpu); }
};

template <class F> bool measure(Samples &s, F request) {
  const double w0 = now(CLOCK_MONOTONIC), c0 = now(CLOCK_THREAD_CPUTIME_ID);
  const bool ok = request();
  s.cpu.push_back(now(CLOCK_THREAD_CPUTIME_ID) - c0);
  s.wall.push_back(now(CLOCK_MONOTONIC) - w0);
  return ok;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A private mount namespace in which the system bundle is `bundle`. Must run before any thread
// exists (unshare(CLONE_NEWNS) refuses a multi-threaded caller).
bool enter_private_namespace() {
  if (unshare(CLONE_NEWNS) != 0) {
    std::fprintf(stderr, "unshare(CLONE_NEWNS): %s (run as root)\n", std::strerror(errno));
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    std::fprintf(stderr, "mount --make-rprivate /: %s\n", std::strerror(errno));
    return false;
  }
  return true;
}

bool mount_bundle(const std::string &bundle) {
  if (mount(bundle.c_str(), kSystemBundle, nullptr, MS_BIND, nullptr) != 0) {
    std::fprintf(stderr, "bind mount over %s: %s\n", kSystemBundle, std::strerror(errno));
    return false;
  }
  return true;
}

size_t collect(char *data, size_t size, size_t n, void *out) {
  static_cast<std::string *>(out)->append(data, size * n);
  return size * n;
}

bool curl_request(const std::string &url, const std::string &ca) {
  CURL *curl = curl_easy_init();
  if (curl == nullptr) return false;
  curl_slist *headers = curl_slist_append(nullptr, "Accept: application/json");
  headers = curl_slist_append(headers, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Connection: close");
  std::string reply;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kBody);
  curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
  curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  long status = 0;
  const bool ok = curl_easy_perform(curl) == CURLE_OK &&
                  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                  status == 200 && reply == kReply;
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return ok;
}

// The baseline: what a request costs when the trust store is already loaded. One context for
// every request; each request still opens a new connection, verifies the chain and the name,
// and takes no session from an earlier one (no session is ever set on a new SSL).
SSL_CTX *baseline_context(const char *ca_file) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return nullptr;
  if (SSL_CTX_load_verify_locations(ctx, ca_file, nullptr) != 1 ||
      SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  X509_STORE_set_flags(SSL_CTX_get_cert_store(ctx), X509_V_FLAG_PARTIAL_CHAIN);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  return ctx;
}

bool baseline_request(SSL_CTX *ctx, const std::string &port) {
  BIO *chain = BIO_new_ssl_connect(ctx);
  if (chain == nullptr) return false;
  SSL *ssl = nullptr;
  BIO_get_ssl(chain, &ssl);
  SSL_set_mode(ssl, SSL_MODE_AUTO_RETRY);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  BIO_set_conn_hostname(chain, "localhost");
  BIO_set_conn_port(chain, port.c_str());
  BIO_set_conn_mode(chain, BIO_SOCK_NODELAY);
  char request[512];
  const int len = std::snprintf(request, sizeof request,
                                "POST %s HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                                "Accept: application/json\r\nContent-Type: application/json\r\n"
                                "Content-Length: %zu\r\n\r\n%s",
                                kPath, std::strlen(kBody), kBody);
  bool ok = BIO_do_connect(chain) == 1 && BIO_do_handshake(chain) == 1 &&
            SSL_get_verify_result(ssl) == X509_V_OK && BIO_write(chain, request, len) == len;
  std::string response;
  char buf[4096];
  int n = 0;
  while (ok && (n = BIO_read(chain, buf, sizeof buf)) > 0) response.append(buf, n);
  BIO_free_all(chain);
  ERR_clear_error();
  const size_t body = response.find("\r\n\r\n");
  return ok && response.rfind("HTTP/1.1 200 ", 0) == 0 && body != std::string::npos &&
         response.substr(body + 4) == kReply;
}

using PostFn = int (*)(const module_params *, const char *, char **);

// A copy of the built module for the fresh loads: a library already loaded from the same file
// (the handle of the one-handle cells) would be shared instead of loaded afresh.
std::string fresh_module_path;

// The module at `path`, loaded as libpam loads it; null (with a message) when that fails.
void *load_module(const char *path) {
  void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) std::fprintf(stderr, "dlopen: %s\n", dlerror());
  return module;
}

bool module_request(void *module, const module_params *params) {
  auto post = reinterpret_cast<PostFn>(dlsym(module, "post_json_request"));
  if (post == nullptr) return false;
  char *reply = nullptr;
  const bool ok =
      post(params, kBody, &reply) == 1 && reply != nullptr && std::string(reply) == kReply;
  std::free(reply);
  return ok;
}

// One login of a host that loads the module for it and unloads it afterwards.
bool fresh_module_request(const module_params *params) {
  void *module = load_module(fresh_module_path.c_str());
  if (module == nullptr) return false;
  const bool ok = module_request(module, params);
  return dlclose(module) == 0 && ok;
}

// The requests a profiler counts (see the usage above).
[[gnu::noinline]] bool profiled_requests(int n, bool (*request)(const void *), const void *arg) {
  for (int i = 0; i < n; i++) {
    if (!request(arg)) return false;
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  const char *profile = nullptr;
  if (argc > 2 && std::strcmp(argv[1], "--profile") == 0) {
    profile = argv[2];
    argv += 2;
    argc -= 2;
  }
  const int n = argc > 1 ? std::atoi(argv[1]) : 200;
  if (n < 1) {
    std::fprintf(stderr, "usage: %s [--profile CLIENT] [N]\n", argv[0]);
    return 2;
  }
  if (!enter_private_namespace()) return 1;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const zvtest::TestPki &pki = zvtest::test_pki();
  const std::string system_certs = read_file(kSystemBundle);
  if (system_certs.empty()) {
    std::fprintf(stderr, "cannot read %s\n", kSystemBundle);
    return 1;
  }
  const std::string bundle = pki.dir + "/bundle.crt";
  std::ofstream(bundle, std::ios::binary) << system_certs << read_file(pki.root_ca);
  if (!mount_bundle(bundle)) return 1;
  zvtest::TlsServer server;

  std::string host = "localhost", port = server.port_str(), path = kPath, ca = pki.root_ca;
  module_params with_bundle{};
  with_bundle.host = host.data();
  with_bundle.port = port.data();
  with_bundle.path = path.data();
  module_params with_file = with_bundle;
  with_file.ca_cert_file = ca.data();
  const std::string url = "https://localhost:" + port + kPath;
  SSL_CTX *baseline = baseline_context(kSystemBundle);
  if (baseline == nullptr) {
    std::fprintf(stderr, "baseline context failed\n");
    return 1;
  }
  fresh_module_path = pki.dir + "/pam_zelvane-fresh.so";
  std::ofstream(fresh_module_path, std::ios::binary) << read_file(ZV_MODULE_PATH);
  // A module that stayed mapped after dlclose would make every fresh load a reuse.
  void *probe = load_module(fresh_module_path.c_str());
  if (probe == nullptr || dlclose(probe) != 0 ||
      dlopen(fresh_module_path.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr) {
    std::fprintf(stderr, "the module stays loaded after dlclose\n");
    return 1;
  }
  // The handle of the one-handle cells: loaded before the first request, kept to the end.
  void *handle = load_module(ZV_MODULE_PATH);
  if (handle == nullptr) return 1;

  Samples fresh_bundle{"fresh load, system bundle", {}, {}};
  Samples fresh_file{"fresh load, one-cert file", {}, {}};
  Samples mod_bundle{"one handle, system bundle", {}, {}};
  Samples mod_file{"one handle, one-cert file", {}, {}};
  Samples base{"baseline (store loaded once)", {}, {}};
  Samples crl{"libcurl, one-cert file", {}, {}};
  struct Client {
    const char *key; // for --profile
    Samples *samples;
    bool (*request)(const void *);
    const void *arg;
  };
  struct Handle {
    void *module;
    const module_params *params;
  } handle_bundle{handle, &with_bundle}, handle_file{handle, &with_file};
  struct Curl {
    const std::string &url, &ca;
  } curl_arg{url, ca};
  struct Base {
    SSL_CTX *ctx;
    const std::string &port;
  } base_arg{baseline, port};
  auto fresh = [](const void *a) {
    return fresh_module_request(static_cast<const module_params *>(a));
  };
  auto kept = [](const void *a) {
    const auto *h = static_cast<const Handle *>(a);
    return module_request(h->module, h->params);
  };
  const Client clients[] = {
      {"fresh-bundle", &fresh_bundle, fresh, &with_bundle},
      {"fresh-file", &fresh_file, fresh, &with_file},
      {"handle-bundle", &mod_bundle, kept, &handle_bundle},
      {"handle-file", &mod_file, kept, &handle_file},
      {"baseline", &base,
       [](const void *a) {
         const auto *b = static_cast<const Base *>(a);
         return baseline_request(b->ctx, b->port);
       },
       &base_arg},
      {"curl", &crl,
       [](const void *a) {
         const auto *c = static_cast<const Curl *>(a);
         return curl_request(c->url, c->ca);
       },
       &curl_arg},
  };
  constexpr int kClients = sizeof clients / sizeof clients[0];

  // Warm-up: page in every code path and the server's.
  for (int i = 0; i < 5; i++) {
    for (const Client &c : clients) {
      if ((profile == nullptr || std::strcmp(profile, c.key) == 0) && !c.request(c.arg)) {
        std::fprintf(stderr, "warm-up request failed (%s)\n", c.samples->name);
        return 1;
      }
    }
  }
  if (profile != nullptr) {
    for (const Client &c : clients) {
      if (std::strcmp(profile, c.key) != 0) continue;
      const bool ok = profiled_requests(n, c.request, c.arg);
      if (!ok) std::fprintf(stderr, "a request failed (%s)\n", c.samples->name);
      SSL_CTX_free(baseline);
      dlclose(handle);
      curl_global_cleanup();
      return ok ? 0 : 1;
    }
    std::fprintf(stderr, "no client %s\n", profile);
    return 2;
  }
  // Interleaved, and the order rotated, so that drift in machine load and the work one request
  // leaves behind (the server thread of the last connection winding down) hit every client alike.
  for (int i = 0; i < n; i++) {
    for (int k = 0; k < kClients; k++) {
      const Client &c = clients[(i + k) % kClients];
      if (!measure(*c.samples, [&] { return c.request(c.arg); })) {
        std::fprintf(stderr, "request %d failed (%s)\n", i, c.samples->name);
        return 1;
      }
    }
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  SSL_CTX_free(baseline);
  dlclose(handle);

  std::printf("requests per client     %d (TLS 1.2+, new connection and session each)\n", n);
  std::printf("system bundle           %s: system certificates plus the test root\n",
              kSystemBundle);
  std::printf("%-30s %12s %12s\n", "median per request", "wall (us)", "cpu (us)");
  for (const Samples *s : {&fresh_bundle, &fresh_file, &mod_bundle, &mod_file, &base, &crl})
    std::printf("%-30s %12.0f %12.0f\n", s->name, s->wall_median(), s->cpu_median());
  auto ratio = [](const char *name, const Samples &a, const Samples &b, const char *target) {
    std::printf("%-30s %12.3f %12.3f   %s\n", name, a.wall_median() / b.wall_median(),
                a.cpu_median() / b.cpu_median(), target);
  };
  ratio("ratio fresh: bundle/one-cert", fresh_bundle, fresh_file, "(target: cpu <= 1.250)");
  ratio("ratio handle: bundle/one-cert", mod_bundle, mod_file, "(target: cpu <= 1.250)");
  ratio("ratio bundle/baseline", mod_bundle, base, "(target: cpu <= 1.500)");
  ratio("ratio one-cert/baseline", mod_file, base, "");
  ratio("ratio one-cert/curl", mod_file, crl, "(target <= 1.100)");
  std::printf("peak RSS                %ld KiB\n", usage.ru_maxrss);
  curl_global_cleanup();
  return 0;
}
