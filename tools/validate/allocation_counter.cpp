// SPDX-License-Identifier: MIT
#include "tools/validate/allocation_counter.h"

#include <new>

#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define PLUGHOST_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define PLUGHOST_SANITIZED_HEAP 1
#endif
#endif

#ifdef PLUGHOST_SANITIZED_HEAP
// From the sanitizer runtime's allocator interface (not every compiler ships its header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace plughost::validate {
namespace {

// Plain data with constant initialisation, in the executable's static TLS block: reading it
// from inside malloc allocates nothing and needs no guard.
struct Counter {
   bool armed;
   AllocationCounts counts;
};
__attribute__((tls_model("initial-exec"))) thread_local Counter tCounter{};

} // namespace

#ifdef PLUGHOST_SANITIZED_HEAP

bool allocationCountingAvailable() {
   return false;
}
const char* allocationCountingUnavailableReason() {
   return "this build runs under a sanitizer that owns malloc, so calls cannot be counted";
}
size_t heapBytesInUse() {
   return __sanitizer_get_current_allocated_bytes();
}

#else

bool allocationCountingAvailable() {
   return true;
}
const char* allocationCountingUnavailableReason() {
   return "";
}
size_t heapBytesInUse() {
   const struct mallinfo2 info = mallinfo2();
   return info.uordblks + info.hblkhd;
}

#endif

void armAllocationCounting() {
   tCounter.counts = {};
   tCounter.armed = true;
}

AllocationCounts disarmAllocationCounting() {
   tCounter.armed = false;
   return tCounter.counts;
}

} // namespace plughost::validate

#ifndef PLUGHOST_SANITIZED_HEAP

// --- The replacements. Each counts when armed and forwards to the C library's allocator.

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {

using plughost::validate::tCounter;

inline void countAllocation() {
   if (tCounter.armed) ++tCounter.counts.allocations;
}
inline void countFree() {
   if (tCounter.armed) ++tCounter.counts.frees;
}

void* allocateOrThrow(size_t size) {
   void* p = __libc_malloc(size == 0 ? 1 : size);
   if (!p) throw std::bad_alloc();
   return p;
}

void* allocateAlignedOrThrow(size_t size, std::align_val_t alignment) {
   void* p = __libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size);
   if (!p) throw std::bad_alloc();
   return p;
}

using MutexLock = int (*)(pthread_mutex_t*);

MutexLock realMutexLock() {
   static MutexLock real = nullptr;
   MutexLock f = __atomic_load_n(&real, __ATOMIC_ACQUIRE);
   if (!f) {
      f = reinterpret_cast<MutexLock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
      __atomic_store_n(&real, f, __ATOMIC_RELEASE);
   }
   return f;
}

// Resolve before any thread starts.
__attribute__((constructor(101))) void resolveMutexLock() {
   realMutexLock();
}

} // namespace

#define PLUGHOST_EXPORT __attribute__((visibility("default")))

extern "C" {

PLUGHOST_EXPORT void* malloc(size_t size) {
   countAllocation();
   return __libc_malloc(size);
}

PLUGHOST_EXPORT void* calloc(size_t count, size_t size) {
   countAllocation();
   return __libc_calloc(count, size);
}

PLUGHOST_EXPORT void* realloc(void* p, size_t size) {
   countAllocation();
   return __libc_realloc(p, size);
}

PLUGHOST_EXPORT void free(void* p) {
   if (p) countFree();
   __libc_free(p);
}

PLUGHOST_EXPORT void* aligned_alloc(size_t alignment, size_t size) {
   countAllocation();
   return __libc_memalign(alignment, size);
}

PLUGHOST_EXPORT int posix_memalign(void** out, size_t alignment, size_t size) {
   countAllocation();
   if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return 22; // EINVAL
   void* p = __libc_memalign(alignment, size);
   if (!p) return 12; // ENOMEM
   *out = p;
   return 0;
}

PLUGHOST_EXPORT int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
   if (tCounter.armed) ++tCounter.counts.locks;
   return realMutexLock()(mutex);
}

} // extern "C"

PLUGHOST_EXPORT void* operator new(size_t size) {
   countAllocation();
   return allocateOrThrow(size);
}
PLUGHOST_EXPORT void* operator new[](size_t size) {
   countAllocation();
   return allocateOrThrow(size);
}
PLUGHOST_EXPORT void* operator new(size_t size, const std::nothrow_t&) noexcept {
   countAllocation();
   return __libc_malloc(size == 0 ? 1 : size);
}
PLUGHOST_EXPORT void* operator new[](size_t size, const std::nothrow_t&) noexcept {
   countAllocation();
   return __libc_malloc(size == 0 ? 1 : size);
}
PLUGHOST_EXPORT void* operator new(size_t size, std::align_val_t alignment) {
   countAllocation();
   return allocateAlignedOrThrow(size, alignment);
}
PLUGHOST_EXPORT void* operator new[](size_t size, std::align_val_t alignment) {
   countAllocation();
   return allocateAlignedOrThrow(size, alignment);
}
PLUGHOST_EXPORT void* operator new(size_t size, std::align_val_t alignment,
                                   const std::nothrow_t&) noexcept {
   countAllocation();
   return __libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size);
}
PLUGHOST_EXPORT void* operator new[](size_t size, std::align_val_t alignment,
                                     const std::nothrow_t&) noexcept {
   countAllocation();
   return __libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size);
}

PLUGHOST_EXPORT void operator delete(void* p) noexcept {
   if (p) countFree();
   __libc_free(p);
}
PLUGHOST_EXPORT void operator delete[](void* p) noexcept {
   if (p) countFree();
   __libc_free(p);
}
PLUGHOST_EXPORT void operator delete(void* p, size_t) noexcept {
   if (p) countFree();
   __libc_free(p);
}
PLUGHOST_EXPORT void operator delete[](void* p, size_t) noexcept {
   if (p) countFree();
   __libc_free(p);
}
PLUGHOST_EXPORT void operator delete(void* p, const std::nothrow_t&) noexcept {
   if (p) countFree();
   __libc_free(p);
}
PLUGHOST_EXPORT void operator delete[](void* p, const std::nothrow_t&) noexcept {
   if (p) countFree();
   __libc_free(p);
}
PLUGHOST_EXPORT void operator delete(void* p, std::align_val_t) noexcept {
   if (p) countFree();
   __libc_free(p);
}
PLUGHOST_EXPORT void operator delete[](void* p, std::align_val_t) noexcept {
   if (p) countFree();
   __libc_free(p);
}
PLUGHOST_EXPORT void operator delete(void* p, size_t, std::align_val_t) noexcept {
   if (p) countFree();
   __libc_free(p);
}
PLUGHOST_EXPORT void operator delete[](void* p, size_t, std::align_val_t) noexcept {
   if (p) countFree();
   __libc_free(p);
}

#endif // PLUGHOST_SANITIZED_HEAP
