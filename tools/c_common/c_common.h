/*
 * Common runtime shared by the package's native modules: fixed-width type
 * aliases, the fatal check `ensure`, the trace log, a monotonic clock, a
 * start-up self check, bounds-checked tables of fixed-size rows (Tab), an
 * open-addressing hash of 64-bit keys (Hash) and float64 array views (F64Arr).
 *
 * Plain C ABI; usable from C (C11) and C++. Every function marked
 * C_COMMON_EXPORT is part of the shared library's interface; nothing else
 * leaves the library.
 */
#ifndef C_COMMON_H
#define C_COMMON_H

#include <pthread.h>
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
 * Otherwise does nothing. The message has no prefix of its own. The line
 * goes out in one write, so messages of several threads never share a line;
 * when checks fail in several threads at once, each writes its line and one
 * of them ends the process (the others wait for the end). */
C_COMMON_EXPORT void ensure(int condition, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* ---- trace log ---------------------------------------------------------- */

/* The trace log stream: null until the first `_trace` opens the log file
 * (truncating it); never closed. Stays null if the file cannot be opened or
 * is not a regular file (a FIFO, a device): such a path is never written. */
C_COMMON_EXPORT extern FILE *_log;

/* Writes "@file:line " and the formatted message to the log (then flushes
 * it) and, identically, to stderr. Adds no newline. Each record is formatted
 * once and written to each stream in one write, so records of several
 * threads never interleave (the dumps' bodies, written value by value to
 * `_log`, are not records and may). Opens the log on first use, once per
 * process even when several threads race, without blocking: a log path that
 * is a FIFO or a device counts as unavailable. If the log is unavailable,
 * the record still goes to stderr. Always returns, 0. */
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

/* ---- tables ------------------------------------------------------------- */

/* A block of equal-sized rows with bound-checked access. Row r starts at
 * base + r * n_bytes_per_row; rows 0 .. n_rows - 1 are accessible.
 *
 * Two kinds, chosen by TAB_FLAGS_GROWABLE at construction:
 *  - fixed: n_rows == n_max_rows from the start; rows are read and overwritten;
 *  - growable: starts empty over zeroed memory; rows are appended by tab_add.
 * A column table is one whose n_cols and n_bytes_per_col are both nonzero
 * (the caller fills them in; no constructor does); column c of row r starts
 * at base + r * n_bytes_per_row + c * n_bytes_per_col.
 *
 * The record is a value of seven 64-bit words: copies share the memory but
 * not the row counter. Every broken contract ends the process through
 * `ensure`; the position-taking operations name the caller's "@file:line". */
typedef struct Tab {
    void *base;             /* row 0 */
    Uint64 n_bytes_per_row; /* bytes per row, never 0 */
    Uint64 n_max_rows;      /* whole rows that the memory holds */
    Uint64 n_rows;          /* rows in use */
    Uint64 n_cols;          /* columns of a column table, else 0 */
    Uint64 n_bytes_per_col; /* bytes per column element of a column table, else 0 */
    Uint64 flags;           /* TAB_FLAGS_* and any bits of the caller's, as passed */
} Tab;

/* Growable: constructed empty over zeroed memory; tab_add is allowed. */
#define TAB_FLAGS_GROWABLE UINT64_C(0x02)
/* Array table (set by tab_by_arr, tab_malloc_by_arr). In the request flags
 * of tab_get the same bit asks for elements, allowed on array tables only. */
#define TAB_FLAGS_ARRAY UINT64_C(0x20)

/* A view of the caller's n_bytes at `base`, nothing allocated or freed.
 * n_max_rows = n_bytes / n_bytes_per_row (a trailing remainder belongs to no
 * row). Growable: all n_bytes are zeroed and n_rows = 0; otherwise the memory
 * is untouched and n_rows = n_max_rows. n_cols = n_bytes_per_col = 0, flags
 * as passed. A zero n_bytes_per_row ends the process with
 * "tab_by_size: n_bytes_per_row must be nonzero". */
C_COMMON_EXPORT Tab tab_by_size(void *base, Uint64 n_bytes, Uint64 n_bytes_per_row, Uint64 flags);

/* As tab_by_size over a new zeroed block of n_bytes from the C heap (at
 * least one byte is requested, so a zero size is no failure); the caller
 * releases it with tab_free. The row size is checked first
 * ("tab_malloc_by_size: n_bytes_per_row must be nonzero"), then an
 * allocation failure ends the process with "malloc failed". */
C_COMMON_EXPORT Tab tab_malloc_by_size(Uint64 n_bytes, Uint64 n_bytes_per_row, Uint64 flags);

/* tab_by_size / tab_malloc_by_size of n_rows * n_bytes_per_row bytes. Zero
 * row size: "<name>: n_bytes_per_row must be nonzero" with the function's
 * own name. A product beyond 64 bits, which would wrap to a smaller table,
 * ends tab_by_n_rows with "tab_by_n_rows: size exceeds 64 bits" and
 * tab_malloc_by_n_rows with "malloc failed", as a block the heap refuses. */
C_COMMON_EXPORT Tab tab_by_n_rows(void *base, Uint64 n_rows, Uint64 n_bytes_per_row, Uint64 flags);
C_COMMON_EXPORT Tab tab_malloc_by_n_rows(Uint64 n_rows, Uint64 n_bytes_per_row, Uint64 flags);

/* A table of n_rows rows of n_cols elements of n_bytes_per_elem bytes: rows
 * of n_cols * n_bytes_per_elem bytes, flags | TAB_FLAGS_ARRAY. The table's
 * own n_cols and n_bytes_per_col stay 0. Checked in this order, each with the
 * function's name: "<name>: n_cols must be nonzero", "<name>:
 * n_bytes_per_elem must be nonzero", then the row size and the table size:
 * a product beyond 64 bits ends tab_by_arr with "tab_by_arr: size exceeds
 * 64 bits" and tab_malloc_by_arr with "malloc failed", as does a block the
 * heap refuses. */
C_COMMON_EXPORT Tab tab_by_arr(void *base, Uint64 n_rows, Uint64 n_cols, Uint64 n_bytes_per_elem,
                               Uint64 flags);
C_COMMON_EXPORT Tab tab_malloc_by_arr(Uint64 n_rows, Uint64 n_cols, Uint64 n_bytes_per_elem, Uint64 flags);

/* Releases the block of an allocating constructor and sets tab->base to
 * null; the other fields keep their values. Copies and subsets of the
 * record still hold the old address and must not be used afterwards. */
C_COMMON_EXPORT void tab_free(Tab *tab);

/* A view of rows row_i .. row_i + n_rows - 1 of `src` (owning nothing, with
 * src's row size and flags, n_max_rows = n_rows = the count). Fails with
 * "tab_subset @%s:%d has illegal row_i %lu" unless row_i < src->n_rows, then
 * with "tab_subset @%s:%d has illegal row_i %lu beyond end" unless the rows
 * end within src->n_rows (a sum that wraps past 2^64 fails there too). */
C_COMMON_EXPORT Tab _tab_subset(const Tab *src, Uint64 row_i, Uint64 n_rows, const char *file, int line);

/* The start of row row_i. Fails with "tab_get outside bounds @%s:%d
 * requested=%lu n_rows=%lu n_bytes_per_row=%lu" unless row_i < n_rows, then,
 * when `flags` has TAB_FLAGS_ARRAY but the table does not, with "requesting
 * elems on a non-array tab @%s:%d". */
C_COMMON_EXPORT void *_tab_get(const Tab *tab, Uint64 row_i, Uint64 flags, const char *file, int line);

/* Copies n_bytes_per_row bytes from `src` (if not null) over row row_i.
 * Fails with "tab_set outside bounds @%s:%d row_i=%lu n_rows=%lu
 * n_bytes_per_row=%lu" unless row_i < n_rows. */
C_COMMON_EXPORT void _tab_set(const Tab *tab, Uint64 row_i, const void *src, const char *file, int line);

/* Copies n_bytes_per_col bytes from `src` (if not null) over column col_i of
 * row row_i. Checks, in order: "tab_set outside rouw bounds @%s:%d row_i=%lu
 * n_rows=%lu n_bytes_per_row=%lu", "tab_set outside col bounds @%s:%d
 * col_i=%lu n_cols=%lu", "tab_set_col outside on non-column tab @%s:%d". */
C_COMMON_EXPORT void _tab_set_col(const Tab *tab, Uint64 row_i, Uint64 col_i, const void *src,
                                  const char *file, int line);

/* Appends a row to a growable table and returns its index: reserves index
 * n_rows and advances tab->n_rows, then copies n_bytes_per_row bytes from
 * `src` into it (a null `src` leaves the row's bytes as they are). With a
 * mutex, only the reservation runs under it, so appenders sharing one mutex
 * get distinct consecutive indices and copy in parallel. Fails with
 * "Attempting to grow to a un-growable table @%s:%d" (nothing changed), with
 * "tab_add @%s:%d could not lock the mutex", or, after the counter has
 * advanced, with "Table overflow @%s:%d. n_max_rows=%lu". */
C_COMMON_EXPORT Uint64 _tab_add(Tab *tab, const void *src, pthread_mutex_t *mutex, const char *file,
                                int line);

/* Passes if base <= ptr < base + n_bytes_per_row * n_rows (any address
 * inside the rows in use), else fails with "Tab ptr invalid @%s:%d.
 * n_max_rows=%lu" (the capacity is reported; the test is against n_rows). */
C_COMMON_EXPORT void _tab_validate(const Tab *tab, const void *ptr, const char *file, int line);

/* Prints "table <name>:" and the lines base, n_bytes_per_row, n_max_rows,
 * n_rows and flags (hex) to stdout. */
C_COMMON_EXPORT void tab_dump(const Tab *tab, const char *name);

/* Self test of the table operations; returns when every check passes and
 * otherwise ends the process with the failed check's message. */
C_COMMON_EXPORT void tab_tests(void);

/* The position-taking operations with the caller's source position. */
#define tab_subset(src, row_i, n_rows) _tab_subset((src), (row_i), (n_rows), __FILE__, __LINE__)
#define tab_get(tab, row_i, flags) _tab_get((tab), (row_i), (flags), __FILE__, __LINE__)
#define tab_set(tab, row_i, src) _tab_set((tab), (row_i), (src), __FILE__, __LINE__)
#define tab_set_col(tab, row_i, col_i, src) _tab_set_col((tab), (row_i), (col_i), (src), __FILE__, __LINE__)
#define tab_add(tab, src, mutex) _tab_add((tab), (src), (mutex), __FILE__, __LINE__)
#define tab_validate(tab, ptr) _tab_validate((tab), (ptr), __FILE__, __LINE__)

/* ---- hash --------------------------------------------------------------- */

/* One slot: key 0 marks an empty slot, so 0 is never a key. `val` belongs
 * to the caller; the hash never reads or writes it. */
typedef struct HashRec {
    Uint64 key;
    void *val;
} HashRec;

/* Fixed-capacity open-addressing table with linear probing over the
 * caller's array of n_max_recs slots; never allocates, grows or frees.
 * Passed by value. n_recs is set to 0 by hash_init and left to the caller. */
typedef struct Hash {
    HashRec *recs;
    Uint64 n_max_recs;
    Uint64 n_recs;
} Hash;

/* Zeroes all n_max_recs slots at `recs` and returns the table over them.
 * Zero slots end the process with "hash_init: n_max_recs must be nonzero". */
C_COMMON_EXPORT Hash hash_init(HashRec *recs, Uint64 n_max_recs);

/* Find-or-place: the slot holding `key`, else the empty slot where it
 * belongs (its key is 0; the caller stores key and value there before it
 * places any other key), else null when the table is full. Probing starts at
 * key % n_max_recs and wraps to slot 0. Writes nothing. A zero key ends the
 * process with "Invalid hashkey"; then a table without slots with
 * "hash_get: n_max_recs must be nonzero". Not safe against concurrent
 * inserts: callers hold their own lock across the get and the store. */
C_COMMON_EXPORT HashRec *hash_get(Hash hash, Uint64 key);

/* Prints one line per slot to stdout: "%08ld: %016lX %p" (index, key, val). */
C_COMMON_EXPORT void hash_dump(Hash hash);

/* ---- float64 arrays ----------------------------------------------------- */

/* A dense row-major view of Float64 values with 1 to 4 dimensions. The
 * element (i0, i1, i2, i3) is base[i0 * pitch[0] + ... + i3 * pitch[3]];
 * pitches count elements, pitch[n_dims - 1] = 1, and the shape and pitch
 * entries from n_dims on are 0. Ten 64-bit words, passed by value. */
typedef struct F64Arr {
    Float64 *base;
    Uint64 n_dims;
    Uint64 shape[4];
    Uint64 pitch[4];
} F64Arr;

/* Sets n_dims, shape (from the caller's first n_dims extents) and dense
 * pitches; leaves base alone. n_dims outside 1..4 ends the process with
 * "Illegal n_dims for F64Arr" (no extent is read then). Extents whose
 * element count or any pitch, in bytes, does not fit in 64 bits would give
 * wrapped pitches and addresses: they end it with "F64Arr size exceeds 64
 * bits". */
C_COMMON_EXPORT void f64arr_set_shape(F64Arr *arr, Uint64 n_dims, const Uint64 *shape);

/* A view of the caller's memory at `base`; nothing is allocated or touched.
 * Checks as f64arr_set_shape. */
C_COMMON_EXPORT F64Arr f64arr(Float64 *base, Uint64 n_dims, const Uint64 *shape);

/* Slice i along axis 0 (i is not checked against shape[0]), with one
 * dimension fewer and pitches recomputed as for a dense array. A
 * one-dimensional source ends the process with "Illegal n_dims for F64Arr". */
C_COMMON_EXPORT F64Arr f64arr_subset(const F64Arr *src, Uint64 i);

/* A new zeroed array from the C heap, released with f64arr_free. Checked in
 * this order: n_dims outside 1..4 ends the process with "Illegal n_dims for
 * F64Arr" before any extent is read (so a wrong count never reads past the
 * caller's extents, even when the size is impossible too); then a size that
 * does not fit in 64 bits (as for f64arr_set_shape, where the element count
 * times 8 would wrap to a small block) and a block the heap refuses both end
 * it with "malloc failed". An array with a zero extent has no elements but
 * still gets a (one-byte) block, so it never fails for want of memory and
 * f64arr_free releases it like any other. */
C_COMMON_EXPORT F64Arr f64arr_malloc(Uint64 n_dims, const Uint64 *shape);

/* Releases the block of f64arr_malloc. arr->base keeps the old address;
 * neither the record nor its copies may be used afterwards. */
C_COMMON_EXPORT void f64arr_free(F64Arr *arr);

/* Address of an element; no index or dimension check (extra indices on a
 * record with fewer dimensions meet a zero pitch and are ignored). */
C_COMMON_EXPORT Float64 *f64arr_ptr1(const F64Arr *arr, Uint64 i);
C_COMMON_EXPORT Float64 *f64arr_ptr2(const F64Arr *arr, Uint64 i, Uint64 j);
C_COMMON_EXPORT Float64 *f64arr_ptr3(const F64Arr *arr, Uint64 i, Uint64 j, Uint64 k);
C_COMMON_EXPORT Float64 *f64arr_ptr4(const F64Arr *arr, Uint64 i, Uint64 j, Uint64 k, Uint64 l);

#ifdef __cplusplus
}
#endif

#endif /* C_COMMON_H */
