// The reader of a proxy's answer to CONNECT, fed by a BIO that hands out the input in reads of
// varying size (the first input byte picks the size), so the empty line that ends the answer
// falls across read boundaries. The answer then goes to parse_http_response as in the module.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <openssl/bio.h>

#include "common/own.h"
#include "transport/proxy_int.h"
#include "transport/transport.h"

namespace {

struct Feed {
  const uint8_t *data;
  size_t size, pos, step;
};

int feed_read(BIO *bio, char *out, int len) {
  auto *feed = static_cast<Feed *>(BIO_get_data(bio));
  size_t n = feed->size - feed->pos;
  if (n > feed->step) n = feed->step;
  if (n > static_cast<size_t>(len)) n = static_cast<size_t>(len);
  if (n == 0) return 0; // the proxy closed
  std::memcpy(out, feed->data + feed->pos, n);
  feed->pos += n;
  return static_cast<int>(n);
}

const BIO_METHOD *feed_method() {
  static BIO_METHOD *method = [] {
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "fuzz feed");
    BIO_meth_set_read(m, feed_read);
    BIO_meth_set_create(m, [](BIO *b) {
      BIO_set_init(b, 1);
      return 1;
    });
    return m;
  }();
  return method;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  Feed feed{data + 1, size - 1, 0, static_cast<size_t>(data[0] % 64) + 1};
  zv::UniquePtr<BIO> bio(BIO_new(feed_method()));
  if (!bio) return 0;
  BIO_set_data(bio.get(), &feed);

  char reply[ZV_PROXY_REPLY_SIZE];
  const long held = zv::transport::read_proxy_reply(bio.get(), reply, sizeof reply);
  if (held < 0) {
    // Only a stream that ended early fails.
    if (feed.pos != feed.size) __builtin_trap();
    return 0;
  }
  const size_t n = static_cast<size_t>(held);
  if (n > sizeof reply - 1 || n != feed.pos || reply[n] != '\0') __builtin_trap();
  if (std::memcmp(reply, feed.data, n) != 0) __builtin_trap();
  // Short of the cap, reading stops only at the end of the header.
  if (n < sizeof reply - 1 && memmem(reply, n, "\r\n\r\n", 4) == nullptr) __builtin_trap();

  module_params params{};
  int status = 0;
  const char *body = nullptr;
  parse_http_response(&params, reply, &status, &body);
  return 0;
}
