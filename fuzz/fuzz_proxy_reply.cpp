// The reader of a proxy's answer to CONNECT, fed by a source that hands out the input in reads of
// varying size (the first input byte picks the size), so the empty line that ends the answer
// falls across read boundaries; it must take no byte after that line (the tunnel's). The answer
// then goes to parse_http_response as in the module.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/own.h"
#include "transport/proxy_int.h"
#include "transport/transport.h"

namespace {

struct Feed {
  const uint8_t *data;
  size_t size, pos, step;
};

long feed_read(void *source, char *out, size_t len, bool peek) {
  auto *feed = static_cast<Feed *>(source);
  size_t n = feed->size - feed->pos;
  if (n > feed->step) n = feed->step;
  if (n > len) n = len;
  if (n == 0) return 0; // the proxy closed
  std::memcpy(out, feed->data + feed->pos, n);
  if (!peek) feed->pos += n;
  return static_cast<long>(n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  Feed feed{data + 1, size - 1, 0, static_cast<size_t>(data[0] % 64) + 1};
  char reply[ZV_PROXY_REPLY_SIZE];
  const long held = zv::transport::read_proxy_reply(feed_read, &feed, reply, sizeof reply);
  if (held < 0) {
    // Only a stream that ended early fails.
    if (feed.pos != feed.size) __builtin_trap();
    return 0;
  }
  const size_t n = static_cast<size_t>(held);
  // The answer is the last head taken, and nothing after it was taken.
  if (n > sizeof reply - 1 || n > feed.pos || reply[n] != '\0') __builtin_trap();
  if (std::memcmp(reply, feed.data + feed.pos - n, n) != 0) __builtin_trap();
  const void *blank = memmem(reply, n, "\r\n\r\n", 4);
  // Short of the cap, reading stops only at the end of the head, and at its first empty line.
  if (n < sizeof reply - 1 &&
      (blank == nullptr || static_cast<const char *>(blank) != reply + n - 4))
    __builtin_trap();

  module_params params{};
  int status = 0;
  const char *body = nullptr;
  parse_http_response(&params, reply, &status, &body);
  return 0;
}
