// Runs code on a thread with a stack of a chosen size, in a forked child, and
// measures how much of that stack it used: for the stack bounds of the fits
// and the solver.
#pragma once

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "child_process.h"

// Whether frames have the sizes of the optimised build: sanitizers and
// unoptimised builds take more stack, and bounds measured on the optimised
// build do not hold there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
constexpr bool kOptimisedFrames = false;
#else
constexpr bool kOptimisedFrames = true;
#endif

struct StackRun {
    bool completed = false;  // the body ran to its end and returned true
    long used = -1;          // bytes of the stack touched, the thread's own start included
};

// The body runs on a thread whose stack is `bytes` long (rounded up to whole
// pages), with a guard page below it, so that an overflow ends the child by
// SIGSEGV instead of writing past the stack. The stack is filled with a
// pattern first; the deepest byte that lost it measures the use.
inline StackRun run_on_small_stack(long bytes, const std::function<bool()> &body) {
    const long page = sysconf(_SC_PAGESIZE);
    const long size = (bytes + page - 1) / page * page;
    constexpr unsigned char kPattern = 0xA5;
    const ChildResult child = run_in_child([&] {
        void *region = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (region == MAP_FAILED || mprotect(region, page, PROT_NONE) != 0) _exit(4);
        unsigned char *stack = static_cast<unsigned char *>(region) + page;
        std::memset(stack, kPattern, size);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        if (pthread_attr_setstack(&attr, stack, size) != 0) _exit(5);
        struct Call {
            const std::function<bool()> *body;
            bool ok;
        } call{&body, false};
        pthread_t thread;
        auto run = [](void *arg) -> void * {
            Call *c = static_cast<Call *>(arg);
            c->ok = (*c->body)();
            return nullptr;
        };
        if (pthread_create(&thread, &attr, run, &call) != 0) _exit(6);
        pthread_join(thread, nullptr);
        long untouched = 0;
        while (untouched < size && stack[untouched] == kPattern) untouched++;
        std::fprintf(stderr, "%ld\n", size - untouched);
        _exit(call.ok ? 0 : 3);
    });
    StackRun result;
    result.completed = child.exit_code == 0;
    if (child.exit_code == 0 || child.exit_code == 3) result.used = std::stol(child.err);
    return result;
}
