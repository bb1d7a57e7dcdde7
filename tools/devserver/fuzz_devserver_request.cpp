// Feeds arbitrary bytes through what the server does with a connection's request: the HTTP head
// parser, the Basic check and, when the head is acceptable, the JSON dispatcher.
#include <cstddef>
#include <cstdint>
#include <liboath/oath.h>
#include <string>
#include <string_view>

#include "http.h"
#include "service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool ready = oath_init() == OATH_OK;
  if (!ready) return 0;
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  devserver::Request request;
  const int status = devserver::parse_head(bytes, &request);
  if (status > 1) return static_cast<int>(devserver::http_reply(status, "{}").size() == 0);
  devserver::basic_matches(request.header("Authorization"), devserver::base64("id:key"));

  // Without a complete head, take the whole input as a body: the dispatcher sees it either way.
  std::string_view body = bytes;
  if (status == 0) body = bytes.substr(request.head_length);
  devserver::Service service;
  service.settings.push_auto = devserver::PushAuto::approve;
  service.settings.push_delay_secs = 0;
  service.users.push_back(devserver::demo_user());
  service.announce = [](const std::string &) {};
  service.log = [](const std::string &) {};
  devserver::Now at{1700000000, 1000};
  devserver::handle_request(service, body, at);
  // A second request in the same state reaches the push and code paths the first one set up.
  at.mono_ms += 1000;
  devserver::handle_request(service, body, at);
  return 0;
}
