// What the fuzz targets share (fuzz_support.cpp is linked into each of them): a NUL-terminated
// copy of an input, and a system log that formats every record the module writes (so that the
// sanitizers check its arguments) and then drops it: a fuzzing run must not flood the host's log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/own.h"

namespace zvfuzz {

// The input with a NUL after it (null when it cannot be had).
zv::HeapPtr<char> copy_input(const uint8_t *data, size_t size);

} // namespace zvfuzz
