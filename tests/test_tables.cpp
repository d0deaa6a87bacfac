// Tables: construction, bound-checked access, appends (those from many
// threads are in test_threads.cpp), subsets, pointer checks, the dump and the
// self test. Fatal checks run in a child process so that the exact message
// and the exit status are seen.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "c_common.h"
#include "child_process.h"
#include "heap_counter.h"

namespace {

// The process survives the body without a word on stderr.
void expect_passes(const std::function<void()> &body) {
    const ChildResult r = run_in_child(body);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

bool all_bytes(const Uint8 *p, size_t n, Uint8 v) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != v) return false;
    return true;
}

}  // namespace

TEST(TabConstruct, SizeViewFixedAndGrowable) {
    Uint8 mem[100];
    memset(mem, 0xAB, sizeof mem);
    const Tab fixed = tab_by_size(mem, 100, 12, 0x100);
    EXPECT_EQ(fixed.base, mem);
    EXPECT_EQ(fixed.n_bytes_per_row, 12u);
    EXPECT_EQ(fixed.n_max_rows, 8u);
    EXPECT_EQ(fixed.n_rows, 8u);
    EXPECT_EQ(fixed.n_cols, 0u);
    EXPECT_EQ(fixed.n_bytes_per_col, 0u);
    EXPECT_EQ(fixed.flags, 0x100u);  // unknown bits are carried along
    EXPECT_TRUE(all_bytes(mem, sizeof mem, 0xAB));

    const Tab grow = tab_by_size(mem, 100, 12, TAB_FLAGS_GROWABLE | 0x100);
    EXPECT_EQ(grow.n_max_rows, 8u);
    EXPECT_EQ(grow.n_rows, 0u);
    EXPECT_EQ(grow.flags, TAB_FLAGS_GROWABLE | 0x100);
    EXPECT_TRUE(all_bytes(mem, sizeof mem, 0));  // the 4-byte remainder too
}

TEST(TabConstruct, ByRowsAndByArrSizeTheRows) {
    Uint8 mem[96];
    memset(mem, 0xAB, sizeof mem);
    const Tab rows = tab_by_n_rows(mem, 8, 12, TAB_FLAGS_GROWABLE);
    EXPECT_EQ(rows.n_max_rows, 8u);
    EXPECT_EQ(rows.n_rows, 0u);
    EXPECT_TRUE(all_bytes(mem, sizeof mem, 0));

    const Tab arr = tab_by_arr(mem, 4, 3, 8, 0x1);
    EXPECT_EQ(arr.n_bytes_per_row, 24u);
    EXPECT_EQ(arr.n_max_rows, 4u);
    EXPECT_EQ(arr.n_rows, 4u);
    EXPECT_EQ(arr.n_cols, 0u);
    EXPECT_EQ(arr.n_bytes_per_col, 0u);
    EXPECT_EQ(arr.flags, 0x1u | TAB_FLAGS_ARRAY);
}

TEST(TabConstruct, AllocatingConstructorsZeroAndFreeClearsBase) {
    struct Case {
        Tab tab;
        Uint64 n_bytes, n_max_rows, n_rows, flags;
    };
    Case cases[] = {
        {tab_malloc_by_size(100, 12, 0), 100, 8, 8, 0},
        {tab_malloc_by_size(100, 12, TAB_FLAGS_GROWABLE), 100, 8, 0, TAB_FLAGS_GROWABLE},
        {tab_malloc_by_n_rows(5, 12, 0), 60, 5, 5, 0},
        {tab_malloc_by_arr(4, 3, 8, 0), 96, 4, 4, TAB_FLAGS_ARRAY},
    };
    for (Case &c : cases) {
        ASSERT_NE(c.tab.base, nullptr);
        EXPECT_EQ(c.tab.n_max_rows, c.n_max_rows);
        EXPECT_EQ(c.tab.n_rows, c.n_rows);
        EXPECT_EQ(c.tab.flags, c.flags);
        EXPECT_TRUE(all_bytes(static_cast<Uint8 *>(c.tab.base), c.n_bytes, 0));
        const Tab before = c.tab;
        tab_free(&c.tab);
        EXPECT_EQ(c.tab.base, nullptr);
        EXPECT_EQ(c.tab.n_bytes_per_row, before.n_bytes_per_row);
        EXPECT_EQ(c.tab.n_max_rows, before.n_max_rows);
        EXPECT_EQ(c.tab.n_rows, before.n_rows);
        EXPECT_EQ(c.tab.flags, before.flags);
    }
    // An empty block is still a block: no "malloc failed", and it frees.
    Tab empty = tab_malloc_by_size(0, 8, 0);
    EXPECT_NE(empty.base, nullptr);
    EXPECT_EQ(empty.n_max_rows, 0u);
    tab_free(&empty);
}

TEST(TabConstruct, ZeroSizesAreRefusedBeforeDividingOrAllocating) {
    Uint8 mem[16];
    expect_fatal([&] { tab_by_size(mem, 16, 0, 0); }, "tab_by_size: n_bytes_per_row must be nonzero");
    expect_fatal([&] { tab_by_n_rows(mem, 2, 0, 0); }, "tab_by_n_rows: n_bytes_per_row must be nonzero");
    // Checked before the allocation: an impossible size does not reach malloc.
    expect_fatal([] { tab_malloc_by_size(UINT64_MAX, 0, 0); },
                 "tab_malloc_by_size: n_bytes_per_row must be nonzero");
    expect_fatal([] { tab_malloc_by_n_rows(2, 0, 0); },
                 "tab_malloc_by_n_rows: n_bytes_per_row must be nonzero");
    // Array constructors: n_cols first, then the element size.
    expect_fatal([&] { tab_by_arr(mem, 2, 0, 0, 0); }, "tab_by_arr: n_cols must be nonzero");
    expect_fatal([&] { tab_by_arr(mem, 2, 2, 0, 0); }, "tab_by_arr: n_bytes_per_elem must be nonzero");
    expect_fatal([] { tab_malloc_by_arr(2, 0, 8, 0); }, "tab_malloc_by_arr: n_cols must be nonzero");
    expect_fatal([] { tab_malloc_by_arr(UINT64_MAX, 3, 0, 0); },
                 "tab_malloc_by_arr: n_bytes_per_elem must be nonzero");
}

TEST(TabConstruct, SizesBeyond64BitsAreRefusedNotWrapped) {
    // Each product wraps to a small size, which gave a table of a few rows
    // (or, for the row size, of rows shorter than the caller's).
    Uint8 mem[16];
    const Uint64 big = (Uint64{1} << 63) + 1;
    expect_fatal([&] { tab_by_n_rows(mem, big, 2, 0); }, "tab_by_n_rows: size exceeds 64 bits");
    expect_fatal([&] { tab_by_arr(mem, 1, (Uint64{1} << 32) + 1, Uint64{1} << 32, 0); },
                 "tab_by_arr: size exceeds 64 bits");
    expect_fatal([&] { tab_by_arr(mem, 2, Uint64{1} << 32, Uint64{1} << 32, 0); },
                 "tab_by_arr: size exceeds 64 bits");  // used to wrap the row size to 0
    expect_fatal([&] { tab_by_arr(mem, Uint64{1} << 62, 2, 2, 0); }, "tab_by_arr: size exceeds 64 bits");
    // Allocating constructors: the road of a block the heap refuses, without asking it.
    expect_fatal([&] { tab_malloc_by_n_rows(big, 2, 0); }, "malloc failed");
    expect_fatal([&] { tab_malloc_by_arr(1, (Uint64{1} << 32) + 1, Uint64{1} << 32, 0); }, "malloc failed");
    expect_fatal([&] { tab_malloc_by_arr(Uint64{1} << 62, 2, 2, 0); }, "malloc failed");
    // The bound is exact: 2^64 - 1 bytes are a size.
    const Tab widest = tab_by_n_rows(mem, UINT64_MAX, 1, 0);
    EXPECT_EQ(widest.n_max_rows, UINT64_MAX);
    const Tab arr = tab_by_arr(mem, 3, 5, (UINT64_MAX / 15), 0);
    EXPECT_EQ(arr.n_bytes_per_row, UINT64_MAX / 3);
    EXPECT_EQ(arr.n_max_rows, 3u);
}

TEST(TabConstruct, FailedAllocationIsFatal) {
    if (!huge_malloc_returns_null) GTEST_SKIP() << "sanitizer heap";
    expect_fatal([] { tab_malloc_by_size(UINT64_MAX, 1, 0); }, "malloc failed");
    expect_fatal([] { tab_malloc_by_n_rows(Uint64{1} << 62, 2, 0); }, "malloc failed");
    expect_fatal([] { tab_malloc_by_arr(Uint64{1} << 61, 2, 2, 0); }, "malloc failed");
}

TEST(TabAccess, GetChecksRowsThenArrayRequest) {
    Uint64 mem[6] = {};
    Tab grow = tab_by_n_rows(mem, 3, 16, TAB_FLAGS_GROWABLE);
    expect_fatal([&] { _tab_get(&grow, 0, 0, "a.c", 7); },
                 "tab_get outside bounds @a.c:7 requested=0 n_rows=0 n_bytes_per_row=16");
    _tab_add(&grow, nullptr, nullptr, "a.c", 8);
    EXPECT_EQ(_tab_get(&grow, 0, 0, "a.c", 9), mem);
    expect_fatal([&] { _tab_get(&grow, 1, 0, "a.c", 10); },
                 "tab_get outside bounds @a.c:10 requested=1 n_rows=1 n_bytes_per_row=16");

    const Tab fixed = tab_by_n_rows(mem, 3, 16, 0);
    const Tab arr = tab_by_arr(mem, 3, 2, 8, 0);
    // The request flags only gate; the result is always the row start.
    EXPECT_EQ(_tab_get(&arr, 2, 0, "a.c", 11), mem + 4);
    EXPECT_EQ(_tab_get(&arr, 2, TAB_FLAGS_ARRAY, "a.c", 12), mem + 4);
    EXPECT_EQ(_tab_get(&fixed, 2, TAB_FLAGS_GROWABLE, "a.c", 13), mem + 4);
    expect_fatal([&] { _tab_get(&fixed, 1, TAB_FLAGS_ARRAY, "b.c", 14); },
                 "requesting elems on a non-array tab @b.c:14");
    // Both rules broken: the bound is reported.
    expect_fatal([&] { _tab_get(&fixed, 3, TAB_FLAGS_ARRAY, "b.c", 15); },
                 "tab_get outside bounds @b.c:15 requested=3 n_rows=3 n_bytes_per_row=16");
}

TEST(TabAccess, SetCopiesARowOrOnlyChecks) {
    Uint32 mem[6] = {};
    const Tab tab = tab_by_n_rows(mem, 3, 8, 0);
    const Uint32 row[2] = {7, 9};
    _tab_set(&tab, 1, row, "s.c", 1);
    EXPECT_EQ(mem[2], 7u);
    EXPECT_EQ(mem[3], 9u);
    EXPECT_EQ(mem[4], 0u);
    _tab_set(&tab, 2, nullptr, "s.c", 2);
    EXPECT_EQ(mem[4], 0u);
    _tab_set(&tab, 0, _tab_get(&tab, 0, 0, "s.c", 3), "s.c", 3);  // onto itself
    expect_fatal([&] { _tab_set(&tab, 3, row, "s.c", 4); },
                 "tab_set outside bounds @s.c:4 row_i=3 n_rows=3 n_bytes_per_row=8");
    expect_fatal([&] { _tab_set(&tab, UINT64_MAX, nullptr, "s.c", 5); },
                 "tab_set outside bounds @s.c:5 row_i=18446744073709551615 n_rows=3 n_bytes_per_row=8");
}

TEST(TabAccess, SetColChecksRowThenColumnThenColumnTable) {
    Uint16 mem[12] = {};
    Tab tab = tab_by_n_rows(mem, 3, 8, 0);  // rows of four 2-byte columns
    expect_fatal([&] { _tab_set_col(&tab, 0, 0, nullptr, "c.c", 1); },
                 "tab_set outside col bounds @c.c:1 col_i=0 n_cols=0");
    expect_fatal([&] { _tab_set_col(&tab, 3, 9, nullptr, "c.c", 2); },
                 "tab_set outside rouw bounds @c.c:2 row_i=3 n_rows=3 n_bytes_per_row=8");
    tab.n_cols = 4;
    expect_fatal([&] { _tab_set_col(&tab, 0, 0, nullptr, "c.c", 3); },
                 "tab_set_col outside on non-column tab @c.c:3");
    expect_fatal([&] { _tab_set_col(&tab, 0, 4, nullptr, "c.c", 4); },
                 "tab_set outside col bounds @c.c:4 col_i=4 n_cols=4");
    tab.n_bytes_per_col = 2;
    const Uint16 v = 0xBEEF;
    _tab_set_col(&tab, 2, 1, &v, "c.c", 5);
    _tab_set_col(&tab, 1, 3, nullptr, "c.c", 6);
    for (int i = 0; i < 12; i++) EXPECT_EQ(mem[i], i == 9 ? 0xBEEF : 0) << i;
}

TEST(TabAdd, AppendsUntilFullThenOverflows) {
    Uint32 mem[10];
    Tab tab = tab_by_n_rows(mem, 5, 8, TAB_FLAGS_GROWABLE);
    for (Uint32 i = 0; i < 5; i++) {
        const Uint32 row[2] = {i, 100 + i};
        EXPECT_EQ(_tab_add(&tab, row, nullptr, "g.c", 1), i);
        EXPECT_EQ(tab.n_rows, i + 1);
    }
    for (Uint32 i = 0; i < 5; i++) EXPECT_EQ(mem[2 * i + 1], 100 + i);
    expect_fatal([&] { _tab_add(&tab, nullptr, nullptr, "g.c", 2); }, "Table overflow @g.c:2. n_max_rows=5");

    const Tab fixed = tab_by_n_rows(mem, 5, 8, 0);
    Tab copy = fixed;
    expect_fatal([&] { _tab_add(&copy, nullptr, nullptr, "g.c", 3); },
                 "Attempting to grow to a un-growable table @g.c:3");
}

TEST(TabAdd, NullSourceKeepsTheRowAndCopiesKeepTheirCounters) {
    Uint32 mem[4];
    Tab tab = tab_by_n_rows(mem, 2, 8, TAB_FLAGS_GROWABLE);
    mem[2] = 0x1234;  // written after the reset
    const Tab copy = tab;
    _tab_add(&tab, nullptr, nullptr, "n.c", 1);
    EXPECT_EQ(_tab_add(&tab, nullptr, nullptr, "n.c", 2), 1u);
    EXPECT_EQ(mem[2], 0x1234u);
    EXPECT_EQ(mem[0], 0u);
    EXPECT_EQ(copy.n_rows, 0u);
}

TEST(TabAdd, MutexThatCannotBeLockedIsFatal) {
    expect_fatal(
        [] {
            Uint64 mem[2];
            Tab tab = tab_by_n_rows(mem, 2, 8, TAB_FLAGS_GROWABLE);
            pthread_mutexattr_t attr;
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
            pthread_mutex_t mutex;
            pthread_mutex_init(&mutex, &attr);
            pthread_mutex_lock(&mutex);  // relocking from this thread reports EDEADLK
            _tab_add(&tab, nullptr, &mutex, "l.c", 3);
        },
        "tab_add @l.c:3 could not lock the mutex");
}

TEST(TabSubset, ViewsRowsWithinTheRowsInUse) {
    Uint64 mem[10] = {};
    const Tab src = tab_by_n_rows(mem, 5, 16, 0x40);
    const Tab sub = _tab_subset(&src, 1, 4, "u.c", 1);  // ends at the last row
    EXPECT_EQ(sub.base, mem + 2);
    EXPECT_EQ(sub.n_bytes_per_row, 16u);
    EXPECT_EQ(sub.n_max_rows, 4u);
    EXPECT_EQ(sub.n_rows, 4u);
    EXPECT_EQ(sub.flags, 0x40u);
    EXPECT_EQ(_tab_get(&sub, 3, 0, "u.c", 2), mem + 8);

    const Tab empty = _tab_subset(&src, 4, 0, "u.c", 3);
    EXPECT_EQ(empty.base, mem + 8);
    EXPECT_EQ(empty.n_rows, 0u);
    EXPECT_EQ(empty.n_max_rows, 0u);

    expect_fatal([&] { _tab_subset(&src, 5, 0, "u.c", 4); }, "tab_subset @u.c:4 has illegal row_i 5");
    expect_fatal([&] { _tab_subset(&src, 5, UINT64_MAX, "u.c", 5); },
                 "tab_subset @u.c:5 has illegal row_i 5");
    expect_fatal([&] { _tab_subset(&src, 1, 5, "u.c", 6); },
                 "tab_subset @u.c:6 has illegal row_i 1 beyond end");
    // 1 + (2^64 - 1) wraps to 0; it must not pass as a short subset.
    expect_fatal([&] { _tab_subset(&src, 1, UINT64_MAX, "u.c", 7); },
                 "tab_subset @u.c:7 has illegal row_i 1 beyond end");
}

TEST(TabSubset, OfAGrowableTableKeepsTheFlagButHasNoRoom) {
    Uint64 mem[10];
    Tab grow = tab_by_n_rows(mem, 5, 16, TAB_FLAGS_GROWABLE);
    _tab_add(&grow, nullptr, nullptr, "v.c", 1);
    _tab_add(&grow, nullptr, nullptr, "v.c", 2);
    expect_fatal([&] { _tab_subset(&grow, 0, 3, "v.c", 3); },
                 "tab_subset @v.c:3 has illegal row_i 0 beyond end");
    Tab sub = _tab_subset(&grow, 0, 2, "v.c", 4);
    EXPECT_EQ(sub.flags, TAB_FLAGS_GROWABLE);
    EXPECT_EQ(sub.n_max_rows, 2u);
    expect_fatal([&] { _tab_add(&sub, nullptr, nullptr, "v.c", 5); }, "Table overflow @v.c:5. n_max_rows=2");
}

TEST(TabValidate, AcceptsAddressesInsideTheRowsInUse) {
    Uint8 mem[64];
    Tab grow = tab_by_n_rows(mem, 4, 16, TAB_FLAGS_GROWABLE);
    expect_fatal([&] { _tab_validate(&grow, mem, "p.c", 1); }, "Tab ptr invalid @p.c:1. n_max_rows=4");
    _tab_add(&grow, nullptr, nullptr, "p.c", 2);
    _tab_add(&grow, nullptr, nullptr, "p.c", 3);
    expect_passes([&] {
        _tab_validate(&grow, mem, "p.c", 4);
        _tab_validate(&grow, mem + 5, "p.c", 5);
        _tab_validate(&grow, mem + 31, "p.c", 6);
    });
    // Just past the rows in use (still inside the capacity), and below base.
    expect_fatal([&] { _tab_validate(&grow, mem + 32, "p.c", 7); }, "Tab ptr invalid @p.c:7. n_max_rows=4");
    // NOLINTNEXTLINE(performance-no-int-to-ptr): an address just below the table, on purpose
    const void *below = reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(mem) - 1);
    expect_fatal([&] { _tab_validate(&grow, below, "p.c", 8); }, "Tab ptr invalid @p.c:8. n_max_rows=4");
}

TEST(TabDump, PrintsTheFieldsToStdout) {
    Uint8 mem[60];
    const Tab tab = tab_by_n_rows(mem, 5, 12, TAB_FLAGS_GROWABLE);
    const ChildOutput r = run_in_child_with_stdout([&] { tab_dump(&tab, "rows"); });
    char base[64];
    snprintf(base, sizeof base, "%p", static_cast<void *>(mem));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, std::string("table rows:\n  base=") + base +
                         "\n  n_bytes_per_row=12\n  n_max_rows=5\n  n_rows=0\n  flags=2\n");
    EXPECT_EQ(r.err, "");
    const Tab arr = tab_by_arr(mem, 1, 1, 1, 0xF00);
    EXPECT_NE(run_in_child_with_stdout([&] { tab_dump(&arr, "a"); }).out.find("  flags=f20\n"),
              std::string::npos);
}

TEST(TabTests, SelfTestPasses) {
    expect_passes([] { tab_tests(); });
}

TEST(TabMacros, PassTheCallersPosition) {
    Uint8 mem[8];
    Tab tab = tab_by_n_rows(mem, 1, 8, 0);
    const std::string at = std::string("@") + __FILE__ + ":";
    // clang-format off
    int line = __LINE__; expect_fatal([&] { tab_get(&tab, 1, 0); }, "tab_get outside bounds " + at + std::to_string(line) + " requested=1 n_rows=1 n_bytes_per_row=8");
    line = __LINE__; expect_fatal([&] { tab_set(&tab, 2, nullptr); }, "tab_set outside bounds " + at + std::to_string(line) + " row_i=2 n_rows=1 n_bytes_per_row=8");
    line = __LINE__; expect_fatal([&] { tab_set_col(&tab, 0, 0, nullptr); }, "tab_set outside col bounds " + at + std::to_string(line) + " col_i=0 n_cols=0");
    line = __LINE__; expect_fatal([&] { tab_subset(&tab, 1, 0); }, "tab_subset " + at + std::to_string(line) + " has illegal row_i 1");
    line = __LINE__; expect_fatal([&] { tab_add(&tab, nullptr, nullptr); }, "Attempting to grow to a un-growable table " + at + std::to_string(line));
    line = __LINE__; expect_fatal([&] { tab_validate(&tab, mem + 8); }, "Tab ptr invalid " + at + std::to_string(line) + ". n_max_rows=1");
    // clang-format on
    EXPECT_EQ(tab_get(&tab, 0, 0), mem);
}
