// SPDX-License-Identifier: MIT
// Counts calls of the heap and of pthread_mutex_lock made on one thread while counting is armed.
// The counting functions replace malloc, free, operator new and delete and pthread_mutex_lock in
// the plughost executable, which exports them, so a plug-in loaded into it binds to them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plughost::validate {

struct AllocationCounts {
   uint64_t allocations = 0; // malloc, calloc, realloc, aligned allocation, operator new
   uint64_t frees = 0;       // free, operator delete
   uint64_t locks = 0;       // pthread_mutex_lock
   uint64_t total() const { return allocations + frees + locks; }
};

// False where a sanitizer owns the heap and its functions cannot be replaced; the reason is a
// short sentence.
bool allocationCountingAvailable();
const char* allocationCountingUnavailableReason();

// Starts counting on the calling thread from zero.
void armAllocationCounting();
// Stops counting on the calling thread and returns what it saw since arming.
AllocationCounts disarmAllocationCounting();

// Bytes the heap currently holds for the program (the allocator's own statistics).
size_t heapBytesInUse();

} // namespace plughost::validate
