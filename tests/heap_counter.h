// Heap accounting for tests: every global operator new of the test
// executable is counted; without a sanitizer (which owns malloc), malloc and
// its relatives are counted too.
#pragma once

#include <cstdlib>  // defines __GLIBC__

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define GAUSS2_HEAP_COUNTS_MALLOC 1
#else
#define GAUSS2_HEAP_COUNTS_MALLOC 0
#endif

constexpr bool kMallocCounted = GAUSS2_HEAP_COUNTS_MALLOC;

// Allocations so far.
long heap_calls();

// Whether an impossible allocation returns null (glibc) rather than ending
// the process (a sanitizer's heap).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool huge_malloc_returns_null = false;
#else
constexpr bool huge_malloc_returns_null = true;
#endif
