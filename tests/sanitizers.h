// SPDX-License-Identifier: MIT
// Which sanitizer this test build runs under. GCC says so with __SANITIZE_*__ macros, Clang with
// __has_feature. Tests that read heap statistics or count allocations skip themselves where a
// sanitizer replaces the allocator.
#pragma once

#if defined(__has_feature)
#define TRIMWISE_HAS_FEATURE(x) __has_feature(x)
#else
#define TRIMWISE_HAS_FEATURE(x) 0
#endif

#if defined(__SANITIZE_ADDRESS__) || TRIMWISE_HAS_FEATURE(address_sanitizer)
#define TRIMWISE_ADDRESS_SANITIZER 1
#endif
#if defined(__SANITIZE_THREAD__) || TRIMWISE_HAS_FEATURE(thread_sanitizer)
#define TRIMWISE_THREAD_SANITIZER 1
#endif
#if defined(TRIMWISE_ADDRESS_SANITIZER) || defined(TRIMWISE_THREAD_SANITIZER) ||                   \
    TRIMWISE_HAS_FEATURE(memory_sanitizer)
#define TRIMWISE_SANITIZED_ALLOCATOR 1
inline constexpr bool kSanitizedAllocator = true;
#else
inline constexpr bool kSanitizedAllocator = false;
#endif
