// SPDX-License-Identifier: MIT
// What the target the tests run on is and offers: pointer width, emulation, heap statistics.
//
// Whether this test build runs under an emulator (qemu-user, wine): the build defines
// TRIMWISE_EMULATED for cross builds that run their tests through one. Emulators distort time
// and heap bookkeeping, and run code many times slower, so tests there run fewer iterations and
// skip assertions on time and heap statistics.
#pragma once

#include "tests/sanitizers.h"

#include <cstddef> // defines __GLIBC__ where glibc is the C library
#include <cstdint>

#if defined(TRIMWISE_EMULATED)
inline constexpr bool kEmulated = true;
#else
inline constexpr bool kEmulated = false;
#endif

// Divides the iteration counts of long randomized or repeated tests.
inline constexpr int kIterationDivisor = kEmulated ? 10 : 1;

// Heap statistics (glibc's mallinfo2) are meaningful in a native glibc build whose allocator no
// sanitizer replaced.
#if defined(__GLIBC__) && !defined(TRIMWISE_EMULATED) && !defined(TRIMWISE_SANITIZED_ALLOCATOR)
#define TRIMWISE_HEAP_STATISTICS 1
#endif

// 2^32 where intptr_t has bits above the low 32: a 64-bit host can set them, and every conversion
// to a 32-bit quantity must drop them. 0 on 32-bit targets, where table rows whose outcome depends
// on such bits are left out with WIDE_ONLY.
#if INTPTR_MAX > INT32_MAX
inline constexpr intptr_t kHigh32 = intptr_t(1) << 32;
#define WIDE_ONLY(...) __VA_ARGS__,
#else
inline constexpr intptr_t kHigh32 = 0;
#define WIDE_ONLY(...)
#endif
