// Counts heap allocations while armed (the test program replaces the global
// operator new), to show that the frame engine costs none per frame.
#pragma once

#include <atomic>

namespace boottest {
#ifdef __SANITIZE_ADDRESS__
constexpr bool kCountingAllocations = false;
#else
constexpr bool kCountingAllocations = true;
#endif
extern std::atomic<bool> countAllocations;
extern std::atomic<long> allocations;
}  // namespace boottest
