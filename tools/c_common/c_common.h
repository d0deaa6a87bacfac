/*
 * Common runtime shared by the package's native modules: fixed-width type
 * aliases, the fatal check `ensure`, the trace log, a monotonic clock and a
 * start-up self check.
 *
 * Plain C ABI; usable from C (C11) and C++. Every function marked
 * C_COMMON_EXPORT is part of the shared library's interface; nothing else
 * leaves the library.
 */
#ifndef C_COMMON_H
#define C_COMMON_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Marks a function or datum as part of the library's exported interface. */
#define C_COMMON_EXPORT __attribute__((visibility("default")))

/* ---- fixed-width aliases ------------------------------------------------ */

typedef uint8_t Uint8;
typedef uint16_t Uint16;
typedef uint32_t Uint32;
typedef uint64_t Uint64;
__extension__ typedef unsigned __int128 Uint128;
typedef int8_t Sint8;
typedef int16_t Sint16;
typedef int32_t Sint32;
typedef int64_t Sint64;
__extension__ typedef __int128 Sint128;
typedef float Float32;
typedef double Float64;

/* Upper bound on the cycle count of the package's cycle-based modules;
 * `sanity_check` verifies it stays within N_MAX_CYCLES_LIMIT. */
#define N_MAX_CYCLES (1024)
#define N_MAX_CYCLES_LIMIT (0x10000)

/* ---- fatal checks ------------------------------------------------------- */

/* When `condition` is zero: writes the printf-formatted message and one
 * newline to stderr, flushes stderr and ends the process with status 1.
 * Otherwise does nothing. The message has no prefix of its own. */
C_COMMON_EXPORT void ensure(int condition, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* ---- trace log ---------------------------------------------------------- */

/* The trace log stream: null until the first `_trace` opens the log file
 * (truncating it); never closed. Stays null if the file cannot be opened. */
C_COMMON_EXPORT extern FILE *_log;

/* Writes "@file:line " and the formatted message to the log (then flushes
 * it) and, identically, to stderr. Adds no newline. Opens the log on first
 * use, once per process even when several threads race. If the log cannot
 * be opened, the record still goes to stderr. Returns 0. */
C_COMMON_EXPORT int _trace(const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/* `_trace` with the caller's source position. */
#define trace(...) _trace(__FILE__, __LINE__, __VA_ARGS__)

/* ---- clock and self check ---------------------------------------------- */

/* CLOCK_MONOTONIC_RAW in microseconds (s * 1000000 + ns / 1000). */
C_COMMON_EXPORT Uint64 now(void);

/* Checks the sizes of the fixed-width aliases and two constants through
 * `ensure`; returns 0 on a correct build. */
C_COMMON_EXPORT int sanity_check(void);

#ifdef __cplusplus
}
#endif

#endif /* C_COMMON_H */
