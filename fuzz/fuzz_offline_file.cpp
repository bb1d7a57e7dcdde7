// Runs the offline code file matcher over arbitrary file contents: the seed holds a line for the
// code "123456", so mutations reach both the matching and the counting of the kept lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "auth/offline_file_int.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // An exact-size copy, so that a read past the end of the file is caught.
  char *content = static_cast<char *>(std::malloc(size > 0 ? size : 1));
  if (content == nullptr) return 0;
  if (size > 0) std::memcpy(content, data, size);

  module_params params{};
  const size_t all = offline_count_lines(content, size);
  for (const char *code : {"123456", "0", ""}) {
    size_t rest = 0;
    if (offline_find_code(&params, content, size, code, &rest) == 0) {
      if (rest != 0) std::abort();
      continue;
    }
    // A match ends a whole line: its line feed, or the end of the file.
    if (code[0] == '\0' || rest < 148 || rest > size) std::abort();
    if (rest < size && content[rest - 1] != '\n') std::abort();
    if (offline_count_lines(content + rest, size - rest) >= all) std::abort();
  }
  std::free(content);
  return 0;
}
