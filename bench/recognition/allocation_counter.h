// Heap allocations counted per thread in this process. The program interposes malloc,
// calloc, realloc and the aligned allocators (forwarding to glibc's own), so every call from
// any library in the process counts, the plugin and gRPC included; the C++ library's
// operator new allocates through malloc, so it counts once, as one allocation.
//
// Threads: every thread counts its own allocations (a relaxed store to a slot only it
// writes); AllocationsByThread() may be called from any thread at any time.
#pragma once

#include <cstdint>
#include <map>

namespace ZephBench {

// Allocations made so far, by thread id; a thread that ended keeps its count (threads past
// the registry's capacity are added up under id -1).
std::map<long, uint64_t> AllocationsByThread();

// False when the counting is not in effect (malloc or operator new did not count).
bool AllocationCountingWorks();

}  // namespace ZephBench
