// A scriptable TLS server on 127.0.0.1 for tests, and the test PKI it serves from.
// Every wait inside is bounded; the server stops and joins its thread in the destructor.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zvtest {

// A PKI generated once per test process into a temporary directory (PEM files).
struct TestPki {
  std::string dir;
  std::string root_ca;               // root CA certificate
  std::string intermediate_ca;       // intermediate CA certificate (issued by the root)
  std::string root_and_intermediate; // both CA certificates in one file
  // Leaf for DNS localhost and IP 127.0.0.1, issued by the intermediate: cert, key, and
  // cert+intermediate chain file.
  std::string leaf_cert, leaf_key, leaf_chain;
  std::string other_name_chain, other_name_key;  // leaf for "other.example" (same CA)
  std::string expired_chain, expired_key;        // leaf for localhost, expired
  std::string future_chain, future_key;          // leaf for localhost, not yet valid
  std::string self_signed_cert, self_signed_key; // self-signed localhost certificate
  std::string untrusted_chain, untrusted_key;    // localhost leaf from an unrelated root
  std::string untrusted_root;                    // that unrelated root
};
const TestPki &test_pki();

// One HTTP request as the server received it.
struct Received {
  std::string raw;    // every byte received, headers and body
  std::string method; // "POST"
  std::string target; // "/AuthServer/REST/OATH/OathServer.aspx"
  std::vector<std::pair<std::string, std::string>> headers; // in order, as sent
  std::string body;                                  // Content-Length bytes after the empty line
  bool resumed = false;                              // the TLS session was a resumed one
  std::string header(const std::string &name) const; // first match, case-insensitive; "" if none
};

// What the server sends back for one request.
struct Reply {
  std::string bytes;                // sent verbatim
  size_t chunk = 0;                 // >0: write in pieces of this many bytes
  bool close_without_reply = false; // close the connection right after reading the request
  bool reset = false;               // abort the connection with a TCP reset instead of replying
  int chunk_delay_ms = 0;           // pause between pieces when `chunk` is set
  bool keep_open = false; // after the reply, hold the connection until the client closes it
};

// A loopback port with nothing listening (0 when none could be had).
int free_port();
// True when something accepts connections on 127.0.0.1:port.
bool port_accepts(int port);

// "HTTP/1.1 <status> <reason>\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n<body>"
Reply http_reply(int status, const std::string &body);

struct TlsServerOptions {
  std::string cert_chain; // PEM chain file served (default: test_pki().leaf_chain)
  std::string key;        // matching key (default: test_pki().leaf_key)
  int min_version = 0;    // e.g. TLS1_2_VERSION; 0 = library default
  int max_version = 0;    // e.g. TLS1_1_VERSION to offer only old versions; 0 = no cap
  bool plain = false;     // no TLS at all (plain TCP), e.g. to test garbage handshakes
  // >0: once this many request bytes (headers and body) have arrived, abort the connection
  // with a TCP reset without calling the handler (a peer that resets during a large write).
  size_t reset_after_bytes = 0;
  int io_timeout_ms = 10000; // bound on reading one request and on writing one reply
  bool ipv6 = false;         // listen on [::1] instead of 127.0.0.1
};

class TlsServer {
public:
  explicit TlsServer(TlsServerOptions options = {});
  ~TlsServer();
  TlsServer(const TlsServer &) = delete;
  TlsServer &operator=(const TlsServer &) = delete;

  int port() const { return port_; }
  std::string port_str() const { return std::to_string(port_); }
  // Called once per request on the server thread; the default answers 200 with {"errorCode":0}.
  void set_handler(std::function<Reply(const Received &)> handler);
  // Requests received so far, in order.
  std::vector<Received> received() const;
  size_t connections() const; // TCP connections accepted so far
  void stop();

private:
  void run();
  void serve(int fd);
  TlsServerOptions options_;
  int listen_fd_ = -1;
  int port_ = 0;
  int wake_fd_[2] = {-1, -1};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::function<Reply(const Received &)> handler_;
  std::vector<Received> received_;
  size_t connections_ = 0;
  void *ctx_ = nullptr; // SSL_CTX
  std::atomic<bool> stopping_{false};
  std::atomic<int> active_{0}; // connection threads still running; stop() waits for them
};

} // namespace zvtest
