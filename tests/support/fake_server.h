// A scripted Zelvane authentication server on 127.0.0.1 for tests, built on TlsServer.
//
// It answers every request by its JSON "type": first from that type's queue of scripted
// replies (first in, first out), then from the type's default reply. Until a test says
// otherwise every type is answered with HTTP 200 and {"errorCode": 0}. Each request is recorded,
// parsed, in arrival order.
//
//   FakeZelvane fake;
//   fake.queue_json("validate_user", R"({"errorCode": 9001, "errorMessage": "bad"})");
//   fake.queue("validate_oath_otp", http_reply(503, ""));        // transport failure
//   fake.queue("send_oath_otp", Reply{.close_without_reply = true});
//   zv::ParamsScope params;
//   ASSERT_EQ(fake.fill_params(params.get(), pamh, {"offline_codes"}), 0);  // direct unit calls
//   fake.write_config({"auth_mode_1fa_2fa"});                  // or a pam_zelvane.conf for e2e
//   ... requests()[0].username == "alice" ...
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <security/pam_modules.h>
#include <string>
#include <vector>

#include "config/params.h"
#include "tls_server.h"

namespace zvtest {

// One request as the fake server parsed it. Members that are absent (or of another JSON type
// than the one named) read as "" / false.
struct ZvRequest {
  std::string body;                    // the JSON text as received
  bool json_object = false;            // the body parsed as one JSON object
  std::vector<std::string> keys;       // member names in the order they were sent
  std::string type, username, pw, otp; // string members
  std::string authnAccount, appName, authnReason;
  // "deliveryMethod": a string member as it is (push), an integer member as its decimal text.
  std::string deliveryMethod;
  bool has_ocodes = false; // "ocodes" present as an integer
  long long ocodes = 0;
};

class FakeZelvane {
public:
  explicit FakeZelvane(TlsServerOptions options = {});
  FakeZelvane(const FakeZelvane &) = delete;
  FakeZelvane &operator=(const FakeZelvane &) = delete;

  int port() const { return server_.port(); }
  std::string port_str() const { return server_.port_str(); }
  TlsServer &server() { return server_; }

  // Queues the answer to the next request of `type` that finds its queue not empty.
  void queue(const std::string &type, Reply reply);
  // The same for a JSON body under an HTTP status (200 by default).
  void queue_json(const std::string &type, const std::string &json, int http_status = 200);
  // The answer to requests of `type` while its queue is empty.
  void set_default(const std::string &type, Reply reply);
  void set_default_json(const std::string &type, const std::string &json, int http_status = 200);

  // Requests received so far, in order (all of them, or those of one type).
  std::vector<ZvRequest> requests() const;
  std::vector<ZvRequest> requests(const std::string &type) const;
  // Forgets recorded requests and queued replies; defaults stay.
  void clear();

  // The connection settings as option lines: "host=<host>", "port=<port>",
  // "ca_cert_file=<test root CA>". `host` may be "127.0.0.1" or "localhost".
  std::vector<std::string> settings(const std::string &host = "127.0.0.1") const;
  // Writes /etc/zelvane.d/pam_zelvane.conf: settings(host), then `extra`, one option a line.
  void write_config(const std::vector<std::string> &extra = {},
                    const std::string &host = "127.0.0.1") const;
  // Fills a zeroed record for direct calls: set_params_defaults, then parse_args over
  // settings(host) and `extra`, and `pamh`. Returns 0, or -1 when the defaults failed. The
  // caller releases the record with free_params.
  int fill_params(module_params *params, pam_handle_t *pamh = nullptr,
                  const std::vector<std::string> &extra = {},
                  const std::string &host = "127.0.0.1") const;

private:
  Reply answer(const Received &request);

  mutable std::mutex mutex_;
  std::map<std::string, std::deque<Reply>> queued_;
  std::map<std::string, Reply> defaults_;
  std::vector<ZvRequest> requests_;
  TlsServer server_; // last: stopped before the state its handler uses goes away
};

} // namespace zvtest
