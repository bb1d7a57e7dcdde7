// post_json_request against libcurl: N sequential requests each, same loopback TLS server, same
// body, CA file and TLS versions, and for curl neither connection nor session reuse (a new easy
// handle per request), so both pay for a full handshake every time as the module does.
//
//   bench_transport [N]     (default 200)
//
// Prints per-request medians of wall time and of the calling thread's CPU time (the server runs
// in another thread of this process and is not counted), their ratios, and the peak RSS.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <curl/curl.h>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "config/params.h"
#include "tls_server.h"
#include "transport/transport.h"

namespace {

const char kBody[] = "{\"userName\":\"alice\",\"password\":\"correct horse\",\"tenant\":\"bench\"}";
const char kPath[] = "/AuthServer/REST/OATH/OathServer.aspx";

double now(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

struct Samples {
  std::vector<double> wall, cpu; // microseconds
  double median(std::vector<double> v) const {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  }
};

template <class F> bool measure(Samples &s, F request) {
  const double w0 = now(CLOCK_MONOTONIC), c0 = now(CLOCK_THREAD_CPUTIME_ID);
  const bool ok = request();
  s.cpu.push_back(now(CLOCK_THREAD_CPUTIME_ID) - c0);
  s.wall.push_back(now(CLOCK_MONOTONIC) - w0);
  return ok;
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
                  status == 200 && reply == "{\"errorCode\":0}";
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return ok;
}

bool module_request(const module_params *params) {
  char *reply = nullptr;
  const bool ok = post_json_request(params, kBody, &reply) == 1 && reply != nullptr &&
                  std::string(reply) == "{\"errorCode\":0}";
  std::free(reply);
  return ok;
}

} // namespace

int main(int argc, char **argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 200;
  if (n < 1) {
    std::fprintf(stderr, "usage: %s [N]\n", argv[0]);
    return 2;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  const zvtest::TestPki &pki = zvtest::test_pki();
  zvtest::TlsServer server;

  std::string host = "localhost", port = server.port_str(), path = kPath, ca = pki.root_ca;
  module_params params{};
  params.host = host.data();
  params.port = port.data();
  params.path = path.data();
  params.ca_cert_file = ca.data();
  const std::string url = "https://localhost:" + port + kPath;

  // Warm-up: page in both code paths and the server's.
  for (int i = 0; i < 5; i++) {
    if (!module_request(&params) || !curl_request(url, ca)) {
      std::fprintf(stderr, "warm-up request failed\n");
      return 1;
    }
  }
  // Interleaved, so that drift in machine load hits both alike.
  Samples mod, crl;
  for (int i = 0; i < n; i++) {
    // Alternating which goes first, so that work one leaves behind (the server thread of the
    // last connection winding down) does not always fall on the same side.
    const bool curl_first = i % 2 == 1;
    bool ok = true;
    if (curl_first) ok = measure(crl, [&] { return curl_request(url, ca); });
    ok = ok && measure(mod, [&] { return module_request(&params); });
    if (!curl_first) ok = ok && measure(crl, [&] { return curl_request(url, ca); });
    if (!ok) {
      std::fprintf(stderr, "request %d failed\n", i);
      return 1;
    }
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);

  const double mw = mod.median(mod.wall), mc = mod.median(mod.cpu);
  const double cw = crl.median(crl.wall), cc = crl.median(crl.cpu);
  std::printf("requests per client     %d (TLS 1.2+, new connection and session each)\n", n);
  std::printf("%-22s %12s %12s\n", "median per request", "wall (us)", "cpu (us)");
  std::printf("%-22s %12.0f %12.0f\n", "post_json_request", mw, mc);
  std::printf("%-22s %12.0f %12.0f\n", "libcurl", cw, cc);
  std::printf("%-22s %12.3f %12.3f   (target <= 1.100)\n", "ratio module/curl", mw / cw, mc / cc);
  std::printf("peak RSS                %ld KiB\n", usage.ru_maxrss);
  curl_global_cleanup();
  return 0;
}
