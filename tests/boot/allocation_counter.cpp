// Kept in a translation unit of its own: where the compiler sees both the
// replaced operators and their callers it mistakes malloc/free for a mismatch.
#include "allocation_counter.h"

#include <cstdlib>
#include <new>

namespace boottest {
std::atomic<bool> countAllocations{false};
std::atomic<long> allocations{0};
}  // namespace boottest

// AddressSanitizer brings its own allocator, which a replaced operator new
// would bypass for some allocations and not others; count only without it.
#ifndef __SANITIZE_ADDRESS__
void* operator new(std::size_t size) {
  if (boottest::countAllocations) ++boottest::allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif
