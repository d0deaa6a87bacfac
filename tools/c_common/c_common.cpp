// Common runtime: fatal checks, the trace log, the clock, the self check,
// tables, the hash and float64 array views.

#include "c_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <type_traits>

#ifndef C_COMMON_TRACE_LOG_PATH
#define C_COMMON_TRACE_LOG_PATH "/ovisk/pelmar/_c_common.log"
#endif

namespace {

// One record formatted once, so that each stream receives it in a single
// write and records of several threads never interleave: the prefix
// "@file:line " (when `file` is not null), the message of `format`, then
// `tail`. Short records stay on the stack, longer ones take a heap block; if
// that is refused (or the format cannot be rendered) the record is written
// in pieces as before: nothing is lost, only the whole line is not promised.
class Record {
   public:
    // A null format (a caller's slip) is an empty message rather than a crash.
    Record(const char *file, int line, const char *format, va_list args, const char *tail)
        : file_(file), line_(line), format_(format != nullptr ? format : ""), tail_(tail) {
        va_copy(args_, args);
        const size_t n_tail = strlen(tail);
        // Into the stack buffer first; a longer record is formatted again on the heap.
        const int n = format_into(local_, sizeof local_, args);
        if (n < 0) return;
        size_ = static_cast<size_t>(n) + n_tail;
        char *buf = local_;
        if (size_ + 1 > sizeof local_) {
            heap_ = static_cast<char *>(malloc(size_ + 1));
            if (heap_ == nullptr) return;
            buf = heap_;
            format_into(buf, static_cast<size_t>(n) + 1, args);
        }
        memcpy(buf + n, tail, n_tail + 1);
        data_ = buf;
    }
    ~Record() {
        va_end(args_);
        free(heap_);
    }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;

    // One fwrite, which holds the stream's lock for the whole record.
    void write(FILE *stream) const {
        if (data_ != nullptr) {
            fwrite(data_, 1, size_, stream);
            return;
        }
        if (file_ != nullptr) fprintf(stream, "@%s:%d ", file_, line_);
        va_list copy;
        va_copy(copy, args_);
        vfprintf(stream, format_, copy);
        va_end(copy);
        fputs(tail_, stream);
    }

   private:
    // Prefix and message into buf (at most size bytes with the terminating
    // zero); returns the length of the whole text, or -1.
    int format_into(char *buf, size_t size, va_list args) const {
        const int n_head = file_ != nullptr ? snprintf(buf, size, "@%s:%d ", file_, line_) : 0;
        if (n_head < 0) return -1;
        const size_t used = std::min(static_cast<size_t>(n_head), size - 1);
        va_list copy;
        va_copy(copy, args);
        const int n_msg = vsnprintf(buf + used, size - used, format_, copy);
        va_end(copy);
        return n_msg < 0 ? -1 : n_head + n_msg;
    }

    const char *file_;
    int line_;
    const char *format_;
    const char *tail_;
    mutable va_list args_;  // read again by a piecewise write
    char local_[1024];
    char *heap_ = nullptr;
    const char *data_ = nullptr;
    size_t size_ = 0;
};

// Ends the process with status 1 after a failed check. exit() must run in
// one thread only: concurrent calls are not safe in every C library (glibc
// before 2.41 can crash in them, ending the process by a signal). The first
// failed check exits; a check that fails in another thread meanwhile has
// written its message and waits for the end; one that fails in the exiting
// thread itself (in an exit handler) ends the process at once.
std::atomic_flag exit_claimed;  // clear until the first failed check
thread_local bool this_thread_exits = false;

[[noreturn]] void end_process() {
    if (this_thread_exits) _exit(1);
    if (!exit_claimed.test_and_set()) {
        this_thread_exits = true;
        exit(1);
    }
    for (;;) pause();
}

}  // namespace

extern "C" {

FILE *_log = nullptr;

void ensure(int condition, const char *format, ...) {
    if (condition) return;
    va_list args;
    va_start(args, format);
    const Record message(nullptr, 0, format, args, "\n");
    va_end(args);
    message.write(stderr);
    fflush(stderr);
    end_process();
}

}  // extern "C"

namespace {

std::once_flag log_once;

// The trace log, or null when it is unavailable. Only a regular file (or a
// missing one, created here) is a log: a FIFO would block the opening until
// a reader came and kill the process with SIGPIPE once the reader left, and
// a device is nobody's log. The path is looked at before it is opened, so
// that no device sees an open; the opening itself does not block either
// (the path may have changed in between), and its result is checked again.
FILE *open_log_file(const char *path) {
    struct stat st {};
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) return nullptr;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *log = fdopen(fd, "w");
    if (log == nullptr) close(fd);
    return log;
}

// Opens the trace log exactly once per process. On failure `_log` stays
// null and records go to stderr only.
void open_log_once() {
    std::call_once(log_once, [] { _log = open_log_file(C_COMMON_TRACE_LOG_PATH); });
}

}  // namespace

extern "C" {

int _trace(const char *file, int line, const char *format, ...) {
    open_log_once();
    va_list args;
    va_start(args, format);
    const Record record(file, line, format, args, "");
    va_end(args);
    if (_log != nullptr) {
        record.write(_log);
        fflush(_log);
    }
    record.write(stderr);
    return 0;
}

Uint64 now(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return static_cast<Uint64>(ts.tv_sec) * 1000000u + static_cast<Uint64>(ts.tv_nsec) / 1000u;
}

int sanity_check(void) {
    // Each alias's width, checked in this order at run time (the build
    // settles them, so the conditions are constant).
    struct Width {
        size_t size, want;
        const char *name;
    };
    const Width widths[] = {
        {sizeof(Uint8), 1, "Uint8"},      {sizeof(Uint16), 2, "Uint16"},    {sizeof(Uint32), 4, "Uint32"},
        {sizeof(Uint64), 8, "Uint64"},    {sizeof(Uint128), 16, "Uint128"}, {sizeof(Sint8), 1, "Sint8"},
        {sizeof(Sint16), 2, "Sint16"},    {sizeof(Sint32), 4, "Sint32"},    {sizeof(Sint64), 8, "Sint64"},
        {sizeof(Sint128), 16, "Sint128"}, {sizeof(Float32), 4, "Float32"},  {sizeof(Float64), 8, "Float64"},
    };
    for (const Width &w : widths) ensure(w.size == w.want, "Wrong size: %s", w.name);
    const Uint64 all_ones = ~static_cast<Uint64>(0);
    ensure(all_ones == UINT64_MAX, "Failed sanity check: UINT64_MAX");
    ensure(N_MAX_CYCLES > 0 && N_MAX_CYCLES <= N_MAX_CYCLES_LIMIT, "Failed sanity check: N_MAX_CYCLES");
    return 0;
}

}  // extern "C"

// ---- tables -----------------------------------------------------------------

static_assert(std::is_standard_layout_v<Tab> && sizeof(Tab) == 7 * sizeof(Uint64),
              "Tab is seven 64-bit words");
static_assert(offsetof(Tab, base) == 0 && offsetof(Tab, n_bytes_per_row) == 8 &&
              offsetof(Tab, n_max_rows) == 16 && offsetof(Tab, n_rows) == 24 && offsetof(Tab, n_cols) == 32 &&
              offsetof(Tab, n_bytes_per_col) == 40 && offsetof(Tab, flags) == 48);

namespace {

// The messages print 64-bit counts with %lu / %ld.
static_assert(sizeof(unsigned long) == sizeof(Uint64));
inline unsigned long ul(Uint64 v) { return static_cast<unsigned long>(v); }
inline long sl(Uint64 v) { return static_cast<long>(v); }

// Every constructor divides by the row size; a zero row size is refused
// rather than left to trap.
void ensure_row_size(Uint64 n_bytes_per_row, const char *who) {
    ensure(n_bytes_per_row != 0, "%s: n_bytes_per_row must be nonzero", who);
}

void ensure_arr_sizes(Uint64 n_cols, Uint64 n_bytes_per_elem, const char *who) {
    ensure(n_cols != 0, "%s: n_cols must be nonzero", who);
    ensure(n_bytes_per_elem != 0, "%s: n_bytes_per_elem must be nonzero", who);
}

// The size a constructor computes, a * b. A product beyond 64 bits would
// wrap to a small size while the caller believes in the whole table: an
// allocating constructor ends as when the heap refuses the block ("malloc
// failed"), a view, whose memory cannot be that large, with "<who>: size
// exceeds 64 bits".
enum class Sizing { view, allocating };

Uint64 size_product(Uint64 a, Uint64 b, const char *who, Sizing sizing) {
    Uint64 product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        if (sizing == Sizing::allocating) ensure(0, "malloc failed");
        ensure(0, "%s: size exceeds 64 bits", who);
    }
    return product;
}

// The fields of a table over `base`; growable tables start empty over zeroed memory.
Tab tab_over(void *base, Uint64 n_bytes, Uint64 n_bytes_per_row, Uint64 flags) {
    Tab tab{};
    tab.base = base;
    tab.n_bytes_per_row = n_bytes_per_row;
    tab.n_max_rows = n_bytes / n_bytes_per_row;
    if (flags & TAB_FLAGS_GROWABLE) {
        if (n_bytes) memset(base, 0, n_bytes);
        tab.n_rows = 0;
    } else {
        tab.n_rows = tab.n_max_rows;
    }
    tab.flags = flags;
    return tab;
}

// A zeroed block of n_bytes; one byte is requested for an empty block so
// that only a real shortage of memory reads as "malloc failed".
void *zeroed_block(Uint64 n_bytes) {
    void *block = malloc(std::max<Uint64>(n_bytes, 1));
    ensure(block != nullptr, "malloc failed");
    if (n_bytes) memset(block, 0, n_bytes);
    return block;
}

Tab tab_malloc_over(Uint64 n_bytes, Uint64 n_bytes_per_row, Uint64 flags) {
    return tab_over(zeroed_block(n_bytes), n_bytes, n_bytes_per_row, flags);
}

Uint8 *row_start(const Tab *tab, Uint64 row_i) {
    return static_cast<Uint8 *>(tab->base) + row_i * tab->n_bytes_per_row;
}

}  // namespace

extern "C" {

Tab tab_by_size(void *base, Uint64 n_bytes, Uint64 n_bytes_per_row, Uint64 flags) {
    ensure_row_size(n_bytes_per_row, "tab_by_size");
    return tab_over(base, n_bytes, n_bytes_per_row, flags);
}

Tab tab_malloc_by_size(Uint64 n_bytes, Uint64 n_bytes_per_row, Uint64 flags) {
    ensure_row_size(n_bytes_per_row, "tab_malloc_by_size");
    return tab_malloc_over(n_bytes, n_bytes_per_row, flags);
}

Tab tab_by_n_rows(void *base, Uint64 n_rows, Uint64 n_bytes_per_row, Uint64 flags) {
    ensure_row_size(n_bytes_per_row, "tab_by_n_rows");
    const Uint64 n_bytes = size_product(n_rows, n_bytes_per_row, "tab_by_n_rows", Sizing::view);
    return tab_over(base, n_bytes, n_bytes_per_row, flags);
}

Tab tab_malloc_by_n_rows(Uint64 n_rows, Uint64 n_bytes_per_row, Uint64 flags) {
    ensure_row_size(n_bytes_per_row, "tab_malloc_by_n_rows");
    const Uint64 n_bytes = size_product(n_rows, n_bytes_per_row, "tab_malloc_by_n_rows", Sizing::allocating);
    return tab_malloc_over(n_bytes, n_bytes_per_row, flags);
}

// Both factors are nonzero, so a row size that fits is nonzero too.
Tab tab_by_arr(void *base, Uint64 n_rows, Uint64 n_cols, Uint64 n_bytes_per_elem, Uint64 flags) {
    ensure_arr_sizes(n_cols, n_bytes_per_elem, "tab_by_arr");
    const Uint64 n_bytes_per_row = size_product(n_cols, n_bytes_per_elem, "tab_by_arr", Sizing::view);
    const Uint64 n_bytes = size_product(n_rows, n_bytes_per_row, "tab_by_arr", Sizing::view);
    return tab_over(base, n_bytes, n_bytes_per_row, flags | TAB_FLAGS_ARRAY);
}

Tab tab_malloc_by_arr(Uint64 n_rows, Uint64 n_cols, Uint64 n_bytes_per_elem, Uint64 flags) {
    ensure_arr_sizes(n_cols, n_bytes_per_elem, "tab_malloc_by_arr");
    const Uint64 n_bytes_per_row =
        size_product(n_cols, n_bytes_per_elem, "tab_malloc_by_arr", Sizing::allocating);
    const Uint64 n_bytes = size_product(n_rows, n_bytes_per_row, "tab_malloc_by_arr", Sizing::allocating);
    return tab_malloc_over(n_bytes, n_bytes_per_row, flags | TAB_FLAGS_ARRAY);
}

void tab_free(Tab *tab) {
    free(tab->base);
    tab->base = nullptr;
}

Tab _tab_subset(const Tab *src, Uint64 row_i, Uint64 n_rows, const char *file, int line) {
    // No check of the count alone: any unsigned count is a legal request on
    // its own, and the end check below bounds it.
    ensure(row_i < src->n_rows, "tab_subset @%s:%d has illegal row_i %lu", file, line, ul(row_i));
    // row_i + n_rows <= src->n_rows, written so that the sum cannot wrap.
    ensure(n_rows <= src->n_rows - row_i, "tab_subset @%s:%d has illegal row_i %lu beyond end", file, line,
           ul(row_i));
    const Uint64 end = std::min(row_i + n_rows, src->n_max_rows);
    const Uint64 count = end - row_i;
    Tab sub{};
    sub.base = row_start(src, row_i);
    sub.n_bytes_per_row = src->n_bytes_per_row;
    sub.n_max_rows = count;
    sub.n_rows = count;
    sub.flags = src->flags;
    return sub;
}

void *_tab_get(const Tab *tab, Uint64 row_i, Uint64 flags, const char *file, int line) {
    ensure(row_i < tab->n_rows, "tab_get outside bounds @%s:%d requested=%lu n_rows=%lu n_bytes_per_row=%lu",
           file, line, ul(row_i), ul(tab->n_rows), ul(tab->n_bytes_per_row));
    if (flags & TAB_FLAGS_ARRAY) {
        ensure((tab->flags & TAB_FLAGS_ARRAY) != 0, "requesting elems on a non-array tab @%s:%d", file, line);
    }
    return row_start(tab, row_i);
}

void _tab_set(const Tab *tab, Uint64 row_i, const void *src, const char *file, int line) {
    ensure(row_i < tab->n_rows, "tab_set outside bounds @%s:%d row_i=%lu n_rows=%lu n_bytes_per_row=%lu",
           file, line, ul(row_i), ul(tab->n_rows), ul(tab->n_bytes_per_row));
    if (src != nullptr) memmove(row_start(tab, row_i), src, tab->n_bytes_per_row);
}

void _tab_set_col(const Tab *tab, Uint64 row_i, Uint64 col_i, const void *src, const char *file, int line) {
    ensure(row_i < tab->n_rows, "tab_set outside rouw bounds @%s:%d row_i=%lu n_rows=%lu n_bytes_per_row=%lu",
           file, line, ul(row_i), ul(tab->n_rows), ul(tab->n_bytes_per_row));
    ensure(col_i < tab->n_cols, "tab_set outside col bounds @%s:%d col_i=%lu n_cols=%lu", file, line,
           ul(col_i), ul(tab->n_cols));
    ensure(tab->n_bytes_per_col != 0 && tab->n_cols != 0, "tab_set_col outside on non-column tab @%s:%d",
           file, line);
    if (src != nullptr)
        memmove(row_start(tab, row_i) + col_i * tab->n_bytes_per_col, src, tab->n_bytes_per_col);
}

Uint64 _tab_add(Tab *tab, const void *src, pthread_mutex_t *mutex, const char *file, int line) {
    ensure((tab->flags & TAB_FLAGS_GROWABLE) != 0, "Attempting to grow to a un-growable table @%s:%d", file,
           line);
    // Only the reservation of the row is serialised; the copy runs in parallel.
    if (mutex != nullptr) {
        ensure(pthread_mutex_lock(mutex) == 0, "tab_add @%s:%d could not lock the mutex", file, line);
    }
    const Uint64 row_i = tab->n_rows;
    tab->n_rows = row_i + 1;
    if (mutex != nullptr) pthread_mutex_unlock(mutex);
    ensure(row_i < tab->n_max_rows, "Table overflow @%s:%d. n_max_rows=%lu", file, line, ul(tab->n_max_rows));
    if (src != nullptr) memcpy(row_start(tab, row_i), src, tab->n_bytes_per_row);
    return row_i;
}

void _tab_validate(const Tab *tab, const void *ptr, const char *file, int line) {
    const Uint64 base = reinterpret_cast<uintptr_t>(tab->base);
    const Uint64 at = reinterpret_cast<uintptr_t>(ptr);
    // base <= at < base + size, without forming base + size.
    const bool inside = at >= base && at - base < tab->n_bytes_per_row * tab->n_rows;
    ensure(inside, "Tab ptr invalid @%s:%d. n_max_rows=%lu", file, line, ul(tab->n_max_rows));
}

void tab_dump(const Tab *tab, const char *name) {
    printf("table %s:\n", name);
    printf("  base=%p\n", tab->base);
    printf("  n_bytes_per_row=%ld\n", sl(tab->n_bytes_per_row));
    printf("  n_max_rows=%ld\n", sl(tab->n_max_rows));
    printf("  n_rows=%ld\n", sl(tab->n_rows));
    printf("  flags=%lx\n", ul(tab->flags));
}

}  // extern "C"

namespace {

// The self test names this source by its path from the repository root.
constexpr const char *self_source = "tools/c_common/c_common.cpp";

const Uint32 *self_row(const Tab *tab, Uint64 row_i, int line) {
    return static_cast<const Uint32 *>(_tab_get(tab, row_i, 0, self_source, line));
}

constexpr Uint64 self_n_rows = 5, self_n_cols = 3, self_row_bytes = self_n_cols * sizeof(Uint32);

void self_fill(Uint32 *buf) {
    for (Uint32 r = 0; r < self_n_rows; r++)
        for (Uint32 c = 0; c < self_n_cols; c++) buf[r * self_n_cols + c] = r * 0x10000u + c;
}

}  // namespace

extern "C" {

void tab_tests(void) {
    Uint32 buf[self_n_rows * self_n_cols];

    self_fill(buf);
    Tab tab_a = tab_by_n_rows(buf, self_n_rows, self_row_bytes, 0);
    ensure(self_row(&tab_a, 0, __LINE__)[0] == 0, "tab_row[0,0] wrong");
    ensure(self_row(&tab_a, 1, __LINE__)[1] == 0x10001, "tab_row[1,1] wrong");

    const Uint32 *var = self_row(&tab_a, 1, __LINE__);
    ensure(var[0] == 0x10000, "tab_var[1,0] wrong");
    ensure(var[1] == 0x10001, "tab_var[1,1] wrong");

    _tab_set(&tab_a, 4, _tab_get(&tab_a, 1, 0, self_source, __LINE__), self_source, __LINE__);
    var = self_row(&tab_a, 4, __LINE__);
    ensure(var[0] == 0x10000, "tab_var[4,0] wrong after copy");
    ensure(var[2] == 0x10002, "tab_var[4,2] wrong after copy");

    memset(buf, 0, sizeof buf);
    Tab tab_b = tab_by_n_rows(buf, self_n_rows, self_row_bytes, TAB_FLAGS_GROWABLE);
    ensure(tab_b.n_rows == 0, "n_rows wrong after reset");
    ensure(tab_b.n_max_rows == self_n_rows, "n_max_rows wrong after reset");

    const Uint32 row[self_n_cols] = {0, 1, 2};
    _tab_add(&tab_b, row, nullptr, self_source, __LINE__);
    const Uint32 *c = self_row(&tab_b, 0, __LINE__);
    ensure(c[0] == 0, "c[0] wrong");
    ensure(c[1] == 1, "c[1] wrong");
    ensure(c[2] == 2, "c[2] wrong");
    ensure(tab_b.n_rows == 1, "tab_b.n_rows wrong");

    self_fill(buf);
    Tab sub = _tab_subset(&tab_a, 2, 2, self_source, __LINE__);
    const Uint32 *s0 = self_row(&sub, 0, __LINE__);
    ensure(s0[0] == 0x20000, "s[0] wrong");
    ensure(s0[1] == 0x20001, "s[0] wrong");
    ensure(s0[2] == 0x20002, "s[0] wrong");
    const Uint32 *s1 = self_row(&sub, 1, __LINE__);
    ensure(s1[0] == 0x30000, "s[1] wrong");
    ensure(s1[1] == 0x30001, "s[1] wrong");
    ensure(s1[2] == 0x30002, "s[1] wrong");
}

}  // extern "C"

// ---- hash -------------------------------------------------------------------

static_assert(std::is_standard_layout_v<HashRec> && sizeof(HashRec) == 2 * sizeof(Uint64),
              "HashRec is two 64-bit words");
static_assert(offsetof(HashRec, key) == 0 && offsetof(HashRec, val) == 8);
static_assert(std::is_standard_layout_v<Hash> && sizeof(Hash) == 3 * sizeof(Uint64),
              "Hash is three 64-bit words");
static_assert(offsetof(Hash, recs) == 0 && offsetof(Hash, n_max_recs) == 8 && offsetof(Hash, n_recs) == 16);

extern "C" {

Hash hash_init(HashRec *recs, Uint64 n_max_recs) {
    // The home slot is a remainder by the slot count.
    ensure(n_max_recs != 0, "hash_init: n_max_recs must be nonzero");
    memset(recs, 0, n_max_recs * sizeof(HashRec));
    return Hash{recs, n_max_recs, 0};
}

HashRec *hash_get(Hash hash, Uint64 key) {
    ensure(key != 0, "Invalid hashkey");
    ensure(hash.n_max_recs != 0, "hash_get: n_max_recs must be nonzero");
    const Uint64 home = key % hash.n_max_recs;
    Uint64 i = home;
    do {
        HashRec *rec = &hash.recs[i];
        if (rec->key == key || rec->key == 0) return rec;
        i = (i + 1 == hash.n_max_recs) ? 0 : i + 1;
    } while (i != home);
    return nullptr;
}

void hash_dump(Hash hash) {
    for (Uint64 i = 0; i < hash.n_max_recs; i++) {
        printf("%08ld: %016lX %p\n", sl(i), ul(hash.recs[i].key), hash.recs[i].val);
    }
}

}  // extern "C"

// ---- float64 arrays ---------------------------------------------------------

static_assert(std::is_standard_layout_v<F64Arr> && sizeof(F64Arr) == 10 * sizeof(Uint64),
              "F64Arr is ten 64-bit words");
static_assert(offsetof(F64Arr, base) == 0 && offsetof(F64Arr, n_dims) == 8 && offsetof(F64Arr, shape) == 16 &&
              offsetof(F64Arr, pitch) == 48);

namespace {

// base + offset elements in plain 64-bit arithmetic: the accessors check
// nothing, so the address is formed without pointer-overflow assumptions.
inline Float64 *elem_at(Float64 *base, Uint64 offset) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the integer address is the point
    return reinterpret_cast<Float64 *>(reinterpret_cast<uintptr_t>(base) + offset * sizeof(Float64));
}

// The dense pitches of the first n_dims extents (1 to 4 of them) and the
// element count. False when a pitch or the count, in bytes, does not fit in
// 64 bits: such a record would address its elements with wrapped offsets.
// An array with a zero extent has no elements, but the pitches of the axes
// inside that extent still have to fit.
bool dense_layout(Uint64 n_dims, const Uint64 *shape, Uint64 pitch[4], Uint64 *count) {
    Uint64 running = 1;
    for (Uint64 a = n_dims; a-- > 0;) {
        pitch[a] = running;
        Uint64 bytes = 0;
        if (__builtin_mul_overflow(running, shape[a], &running) ||
            __builtin_mul_overflow(running, sizeof(Float64), &bytes))
            return false;
    }
    *count = running;
    return true;
}

}  // namespace

extern "C" {

void f64arr_set_shape(F64Arr *arr, Uint64 n_dims, const Uint64 *shape) {
    arr->n_dims = n_dims;
    for (int a = 0; a < 4; a++) arr->shape[a] = arr->pitch[a] = 0;
    ensure(n_dims >= 1 && n_dims <= 4, "Illegal n_dims for F64Arr");
    Uint64 pitch[4] = {0, 0, 0, 0};
    Uint64 count = 0;
    ensure(dense_layout(n_dims, shape, pitch, &count), "F64Arr size exceeds 64 bits");
    for (Uint64 a = 0; a < n_dims; a++) {
        arr->shape[a] = shape[a];
        arr->pitch[a] = pitch[a];
    }
}

F64Arr f64arr(Float64 *base, Uint64 n_dims, const Uint64 *shape) {
    F64Arr arr{};
    arr.base = base;
    f64arr_set_shape(&arr, n_dims, shape);
    return arr;
}

F64Arr f64arr_subset(const F64Arr *src, Uint64 i) {
    // The inner extents, copied so that a record of any n_dims is read within bounds.
    const Uint64 inner[4] = {src->shape[1], src->shape[2], src->shape[3], 0};
    return f64arr(elem_at(src->base, i * src->pitch[0]), src->n_dims - 1, inner);
}

F64Arr f64arr_malloc(Uint64 n_dims, const Uint64 *shape) {
    // The count first: only then are the caller's extents known to be there.
    ensure(n_dims >= 1 && n_dims <= 4, "Illegal n_dims for F64Arr");
    Uint64 pitch[4] = {0, 0, 0, 0};
    Uint64 count = 0;
    ensure(dense_layout(n_dims, shape, pitch, &count), "malloc failed");
    F64Arr arr{};
    arr.base = static_cast<Float64 *>(zeroed_block(count * sizeof(Float64)));
    f64arr_set_shape(&arr, n_dims, shape);
    return arr;
}

void f64arr_free(F64Arr *arr) { free(arr->base); }

Float64 *f64arr_ptr1(const F64Arr *arr, Uint64 i) { return elem_at(arr->base, i * arr->pitch[0]); }

Float64 *f64arr_ptr2(const F64Arr *arr, Uint64 i, Uint64 j) {
    return elem_at(arr->base, i * arr->pitch[0] + j * arr->pitch[1]);
}

Float64 *f64arr_ptr3(const F64Arr *arr, Uint64 i, Uint64 j, Uint64 k) {
    return elem_at(arr->base, i * arr->pitch[0] + j * arr->pitch[1] + k * arr->pitch[2]);
}

Float64 *f64arr_ptr4(const F64Arr *arr, Uint64 i, Uint64 j, Uint64 k, Uint64 l) {
    return elem_at(arr->base, i * arr->pitch[0] + j * arr->pitch[1] + k * arr->pitch[2] + l * arr->pitch[3]);
}

}  // extern "C"
