// parse_http_response on arbitrary bytes (a server's reply or a proxy's answer, cut at the
// first NUL as the transport hands it over), with its promises checked on every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/own.h"
#include "fuzz_support.h"
#include "transport/transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
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
