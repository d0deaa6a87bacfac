// Common runtime: fatal checks, the trace log, the clock and the self check.

#include "c_common.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#ifndef C_COMMON_TRACE_LOG_PATH
#define C_COMMON_TRACE_LOG_PATH "/ovisk/pelmar/_c_common.log"
#endif

extern "C" {

FILE *_log = nullptr;

void ensure(int condition, const char *format, ...) {
    if (condition) return;
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
    exit(1);
}

}  // extern "C"

namespace {

std::once_flag log_once;

// Opens the trace log exactly once per process. On failure `_log` stays
// null and records go to stderr only.
void open_log_once() {
    std::call_once(log_once, [] { _log = fopen(C_COMMON_TRACE_LOG_PATH, "wt"); });
}

}  // namespace

extern "C" {

int _trace(const char *file, int line, const char *format, ...) {
    open_log_once();
    va_list args;
    va_start(args, format);
    if (_log != nullptr) {
        va_list copy;
        va_copy(copy, args);
        fprintf(_log, "@%s:%d ", file, line);
        vfprintf(_log, format, copy);
        fflush(_log);
        va_end(copy);
    }
    fprintf(stderr, "@%s:%d ", file, line);
    vfprintf(stderr, format, args);
    va_end(args);
    return 0;
}

Uint64 now(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return static_cast<Uint64>(ts.tv_sec) * 1000000u + static_cast<Uint64>(ts.tv_nsec) / 1000u;
}

int sanity_check(void) {
    ensure(sizeof(Uint8) == 1, "Wrong size: Uint8");
    ensure(sizeof(Uint16) == 2, "Wrong size: Uint16");
    ensure(sizeof(Uint32) == 4, "Wrong size: Uint32");
    ensure(sizeof(Uint64) == 8, "Wrong size: Uint64");
    ensure(sizeof(Uint128) == 16, "Wrong size: Uint128");
    ensure(sizeof(Sint8) == 1, "Wrong size: Sint8");
    ensure(sizeof(Sint16) == 2, "Wrong size: Sint16");
    ensure(sizeof(Sint32) == 4, "Wrong size: Sint32");
    ensure(sizeof(Sint64) == 8, "Wrong size: Sint64");
    ensure(sizeof(Sint128) == 16, "Wrong size: Sint128");
    ensure(sizeof(Float32) == 4, "Wrong size: Float32");
    ensure(sizeof(Float64) == 8, "Wrong size: Float64");
    const Uint64 all_ones = ~static_cast<Uint64>(0);
    ensure(all_ones == UINT64_MAX, "Failed sanity check: UINT64_MAX");
    ensure(N_MAX_CYCLES > 0 && N_MAX_CYCLES <= N_MAX_CYCLES_LIMIT, "Failed sanity check: N_MAX_CYCLES");
    return 0;
}

}  // extern "C"
