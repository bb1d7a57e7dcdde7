// parse_http_response on arbitrary bytes (a server's reply or a proxy's answer, cut at the
// first NUL as the transport hands it over), with its promises checked on every input; and the
// framing of a reply, fed in reads of varying size (the last input byte picks the size), which
// must come to the same end, with the same bytes, as when the reply comes in one read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/own.h"
#include "fuzz_support.h"
#include "transport/framing_int.h"
#include "transport/transport.h"

namespace {

using namespace zv::transport;

// A small limit, so that inputs of libFuzzer's usual sizes reach it.
constexpr size_t kLimit = 1500;

// Frames data[0..size) arriving `step` bytes at a time; *buf holds what is left of it.
Framed frame_in_steps(const uint8_t *data, size_t size, size_t step, zv::Secret *buf,
                      ResponseFrame *f) {
  *buf = zv::Secret::with_capacity(size + 1);
  if (!*buf) return Framed::unusable;
  Framed r = Framed::more;
  for (size_t at = 0; at < size && r == Framed::more; at += step) {
    const size_t n = size - at < step ? size - at : step;
    std::memcpy(buf->get() + buf->size(), data + at, n);
    buf->grow_size(n);
    r = frame_response(f, buf, kLimit, false);
  }
  if (r == Framed::more) r = frame_response(f, buf, kLimit, true);
  return r;
}

void check_framing(const uint8_t *data, size_t size) {
  if (size == 0) return;
  const size_t step = data[size - 1] % 64 + 1;
  zv::Secret whole, pieces;
  ResponseFrame fw, fp;
  const Framed a = frame_in_steps(data, size - 1, size, &whole, &fw);
  const Framed b = frame_in_steps(data, size - 1, step, &pieces, &fp);
  if (!whole || !pieces) return;
  if (a == Framed::more || a != b) __builtin_trap();
  if (a == Framed::unusable) {
    if (fw.why[0] == '\0' || std::strcmp(fw.why, fp.why) != 0) __builtin_trap();
    return;
  }
  // The same response, never longer than what came, and NUL-terminated.
  if (whole.size() != pieces.size() || whole.size() > size - 1) __builtin_trap();
  if (std::memcmp(whole.get(), pieces.get(), whole.size()) != 0) __builtin_trap();
  if (whole.get()[whole.size()] != '\0') __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  check_framing(data, size);
  zv::HeapPtr<char> text = zvfuzz::copy_input(data, size);
  if (!text) return 0;

  module_params params{};
  int status = -1;
  const char *body = "unset";
  const int rc = parse_http_response(&params, text.get(), &status, &body);
  if (rc == 0) {
    if (status < 100 || status > 599) __builtin_trap();
    if (std::strncmp(text.get(), "HTTP/1.", 7) != 0) __builtin_trap();
    if (body != nullptr) {
      // The body starts right after the first empty line and is never empty.
      const char *blank = std::strstr(text.get(), "\r\n\r\n");
      if (blank == nullptr || body != blank + 4 || *body == '\0') __builtin_trap();
    }
  } else if (rc != -1 || status != 0 || body != nullptr) {
    __builtin_trap();
  }
  return 0;
}
