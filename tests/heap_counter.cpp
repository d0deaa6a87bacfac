// Counts the heap allocations of the whole test executable, for the tests
// that prove the solver and the fits allocate nothing.
#include "heap_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

// ---- Heap accounting -------------------------------------------------------
// Every global operator new of this executable is counted; without a
// sanitizer (which owns malloc) malloc and its relatives are counted too, by
// wrapping glibc's own entry points.

namespace {
constinit std::atomic<long> g_heap_calls{0};
void *counted(std::size_t size, std::size_t align = 0) noexcept {
    g_heap_calls.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    if (align == 0) return std::malloc(size);
    return std::aligned_alloc(align, (size + align - 1) / align * align);
}
// Out of line, so that no inlined delete is seen freeing what new returned.
[[gnu::noinline]] void release(void *p) noexcept { std::free(p); }
void *or_throw(void *p) {
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

void *operator new(std::size_t s) { return or_throw(counted(s)); }
void *operator new[](std::size_t s) { return or_throw(counted(s)); }
void *operator new(std::size_t s, const std::nothrow_t &) noexcept { return counted(s); }
void *operator new[](std::size_t s, const std::nothrow_t &) noexcept { return counted(s); }
void *operator new(std::size_t s, std::align_val_t a) { return or_throw(counted(s, std::size_t(a))); }
void *operator new[](std::size_t s, std::align_val_t a) { return or_throw(counted(s, std::size_t(a))); }
void *operator new(std::size_t s, std::align_val_t a, const std::nothrow_t &) noexcept {
    return counted(s, std::size_t(a));
}
void *operator new[](std::size_t s, std::align_val_t a, const std::nothrow_t &) noexcept {
    return counted(s, std::size_t(a));
}
void operator delete(void *p) noexcept { release(p); }
void operator delete[](void *p) noexcept { release(p); }
void operator delete(void *p, std::size_t) noexcept { release(p); }
void operator delete[](void *p, std::size_t) noexcept { release(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { release(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { release(p); }
void operator delete(void *p, std::align_val_t) noexcept { release(p); }
void operator delete[](void *p, std::align_val_t) noexcept { release(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { release(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { release(p); }

#if GAUSS2_HEAP_COUNTS_MALLOC
extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
void __libc_free(void *);
void *malloc(std::size_t s) noexcept {
    g_heap_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(s);
}
void *calloc(std::size_t k, std::size_t s) noexcept {
    g_heap_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(k, s);
}
void *realloc(void *p, std::size_t s) noexcept {
    g_heap_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, s);
}
void *aligned_alloc(std::size_t a, std::size_t s) noexcept {
    g_heap_calls.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(a, s);
}
void free(void *p) noexcept { __libc_free(p); }
}
#endif

long heap_calls() { return g_heap_calls.load(); }
