// Allocation failures on demand, for the tests of code that must survive them. Linking
// alloc_fault.cpp into a test program replaces strdup and, outside the sanitizer builds, the C
// allocator of that program (malloc, calloc, realloc, free; glibc routes its own strndup and
// asprintf through them). The module's code is linked in statically, so its calls come here too.
//
// The sanitizer builds own the allocator: there only strdup is replaced, and a test that counts
// the allocator's calls skips itself when allocator_replaced() is false.
#pragma once

#include <cstddef>
#include <string>

namespace zvtest {

// Which calls count as allocations.
enum AllocCalls : unsigned {
  kStrdupCalls = 1u << 0,    // strdup
  kAllocatorCalls = 1u << 1, // malloc, calloc, realloc
  kAnyAllocation = kStrdupCalls | kAllocatorCalls,
};

// True when malloc, calloc, realloc and free are replaced in this build.
bool allocator_replaced();

// From now on the `calls` are counted, and the `nth` of them (1 = the next one) fails with
// ENOMEM; only that one. With nth <= 0 nothing fails.
void fail_allocation(int nth, unsigned calls = kAnyAllocation);
// Stops counting; every allocation succeeds again.
void allow_allocations();
// Calls counted since the last fail_allocation.
int allocations_counted();

// When `block` is freed, its first `size` bytes (at most 64) are copied just before. Needs
// allocator_replaced().
void watch_free(const void *block, size_t size);
// The bytes copied when the watched block was freed; empty until it is.
std::string freed_bytes();

} // namespace zvtest
