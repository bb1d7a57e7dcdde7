// Drives the option language with arbitrary bytes: once as a module-argument vector (the input
// split at NUL bytes) and once as the text of a configuration file, cut by the file's line
// splitter. The whitespace helpers get the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/own.h"
#include "config/config_lines_int.h"
#include "config/params.h"
#include "fuzz_support.h"

namespace {

using BytesPtr = zv::HeapPtr<char>;
using zvfuzz::copy_input;
using ArgvPtr = zv::HeapPtr<const char *>;

void parse_as_arguments(const uint8_t *data, size_t size, module_params *params) {
  BytesPtr buf = copy_input(data, size);
  if (!buf) return;
  size_t count = 1;
  for (size_t i = 0; i < size; i++)
    if (buf.get()[i] == '\0') count++;
  ArgvPtr argv(static_cast<const char **>(std::calloc(count, sizeof(char *))));
  if (!argv) return;
  size_t n = 0;
  argv.get()[n++] = buf.get();
  for (size_t i = 0; i < size; i++)
    if (buf.get()[i] == '\0') argv.get()[n++] = buf.get() + i + 1;
  parse_args(static_cast<int>(count), argv.get(), params);
}

void parse_as_file(const uint8_t *data, size_t size, module_params *params) {
  BytesPtr buf = copy_input(data, size);
  if (!buf) return;
  const char **argv = nullptr;
  int argc = 0;
  if (zv::split_config_lines(buf.get(), size, &argv, &argc) != 0) return;
  ArgvPtr owned(argv);
  parse_args(argc, owned.get(), params);
}

void whitespace_helpers(const uint8_t *data, size_t size) {
  BytesPtr buf = copy_input(data, size);
  if (!buf) return;
  (void)is_whitespace_only(buf.get());
  (void)skip_whitespace(buf.get());
  std::free(strdup_trimmed(buf.get()));
  (void)trim_whitespace(buf.get());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 2 * ZV_CONFIG_MAX_SIZE) return 0;
  module_params params{};
  if (set_params_defaults(&params) == 0) {
    parse_as_arguments(data, size, &params);
    parse_as_file(data, size, &params);
  }
  free_params(&params);
  whitespace_helpers(data, size);
  return 0;
}
