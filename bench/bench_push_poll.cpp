// CPU per pending push poll: the OTP validation that a push wait sends about once a second, with
// the call's state (the TLS context kept, the session resumed with the server that took the
// push) against each poll standing alone (a new context and a full handshake), in one run, with
// a one-certificate CA file and with the system bundle. The calling thread's CPU only: the
// loopback server's threads are not counted. Run as root from the build directory (it writes
// nothing outside a temporary directory):
//
//   bench/bench_push_poll [N]      (N polls per case, default 300)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "api/api.h"
#include "common/call.h"
#include "config/params.h"
#include "fake_server.h"
#include "transport/transport.h"

using namespace zvtest;

namespace {

double thread_cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Median CPU ms of `n` pending polls, after a push accepted by the server (which pins it).
double polls(FakeZelvane &server, const std::string &ca, bool with_call, int n) {
  zv::ParamsScope params;
  set_params_defaults(params.get());
  const std::string host = "127.0.0.1:" + server.port_str();
  std::free(params->host);
  params->host = strdup(host.c_str());
  params->ca_cert_file = strdup(ca.c_str());
  zv_call call;
  if (with_call) params->call = &call;
  // The push itself, so that the server is the one that answered.
  char *reply = nullptr;
  zv::transport::post(params.get(), "{}", &reply);
  std::free(reply);
  zv::transport::pin_answering_server(params.get());
  std::vector<double> samples;
  for (int i = 0; i < n; i++) {
    const double start = thread_cpu_ms();
    const int status = validate_oath_otp_error_code(params.get(), "alice", "request-1");
    samples.push_back(thread_cpu_ms() - start);
    if (status != ZV_ERR_BAD_OTP) {
      std::fprintf(stderr, "unexpected poll status %d\n", status);
      std::exit(1);
    }
  }
  return median(samples);
}

} // namespace

int main(int argc, char **argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 300;
  if (n < 1) return 2;
  FakeZelvane server;
  server.set_default_json("validate_oath_otp", R"({"errorCode": 9003})"); // pending
  // The system bundle with the test root appended, so that it verifies the loopback server.
  const std::string bundle = test_pki().dir + "/bundle-with-test-root.pem";
  {
    std::ifstream system("/etc/ssl/certs/ca-certificates.crt"), root(test_pki().root_ca);
    std::ofstream out(bundle, std::ios::trunc);
    out << system.rdbuf() << root.rdbuf();
  }
  std::printf("CPU ms per pending push poll (median of %d, calling thread)\n", n);
  std::printf("%-34s %12s %12s %8s\n", "CA file", "poll alone", "in the call", "ratio");
  for (const auto &[name, ca] :
       {std::pair<const char *, std::string>{"one certificate", test_pki().root_ca},
        {"system bundle + test root", bundle}}) {
    const double alone = polls(server, ca, false, n);
    const double kept = polls(server, ca, true, n);
    std::printf("%-34s %12.3f %12.3f %8.2f\n", name, alone, kept, kept / alone);
  }
  return 0;
}
