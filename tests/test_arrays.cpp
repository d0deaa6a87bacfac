// Float64 array views: shapes and pitches, slices, element addresses and
// the allocating constructor.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "c_common.h"
#include "child_process.h"
#include "heap_counter.h"

namespace {

using Four = std::array<Uint64, 4>;

Four shape_of(const F64Arr &a) { return {a.shape[0], a.shape[1], a.shape[2], a.shape[3]}; }
Four pitch_of(const F64Arr &a) { return {a.pitch[0], a.pitch[1], a.pitch[2], a.pitch[3]}; }

}  // namespace

TEST(F64Arr, ShapesAndDensePitchesForOneToFourDims) {
    struct Case {
        Uint64 n_dims;
        Four extents, shape, pitch;
    };
    const Case cases[] = {
        {1, {5, 9, 9, 9}, {5, 0, 0, 0}, {1, 0, 0, 0}},
        {2, {7, 3, 9, 9}, {7, 3, 0, 0}, {3, 1, 0, 0}},
        {3, {2, 3, 4, 9}, {2, 3, 4, 0}, {12, 4, 1, 0}},
        {4, {2, 3, 4, 5}, {2, 3, 4, 5}, {60, 20, 5, 1}},
    };
    Float64 mem[1];
    for (const Case &c : cases) {
        const F64Arr a = f64arr(mem, c.n_dims, c.extents.data());
        EXPECT_EQ(a.base, mem);
        EXPECT_EQ(a.n_dims, c.n_dims);
        EXPECT_EQ(shape_of(a), c.shape) << c.n_dims;
        EXPECT_EQ(pitch_of(a), c.pitch) << c.n_dims;
    }
}

TEST(F64Arr, SetShapeRewritesAllButBase) {
    Float64 mem[1];
    F64Arr a{mem, 4, {9, 9, 9, 9}, {9, 9, 9, 9}};
    const Uint64 extents[] = {6, 2};
    f64arr_set_shape(&a, 2, extents);
    EXPECT_EQ(a.base, mem);
    EXPECT_EQ(a.n_dims, 2u);
    EXPECT_EQ(shape_of(a), (Four{6, 2, 0, 0}));
    EXPECT_EQ(pitch_of(a), (Four{2, 1, 0, 0}));
}

TEST(F64Arr, PointersAddressEveryElementOnce) {
    std::vector<Float64> mem(120);
    const Uint64 ext[] = {2, 3, 4, 5};
    const F64Arr a4 = f64arr(mem.data(), 4, ext);
    Float64 *expect = mem.data();
    for (Uint64 i = 0; i < 2; i++)
        for (Uint64 j = 0; j < 3; j++)
            for (Uint64 k = 0; k < 4; k++)
                for (Uint64 l = 0; l < 5; l++) ASSERT_EQ(f64arr_ptr4(&a4, i, j, k, l), expect++);

    const F64Arr a3 = f64arr(mem.data(), 3, ext);
    EXPECT_EQ(f64arr_ptr3(&a3, 1, 2, 3), mem.data() + 23);  // 184 bytes
    EXPECT_EQ(f64arr_ptr2(&a3, 1, 2), mem.data() + 20);     // start of the innermost run
    EXPECT_EQ(f64arr_ptr1(&a3, 1), mem.data() + 12);
    EXPECT_EQ(f64arr_ptr4(&a3, 1, 2, 3, 99), mem.data() + 23);  // axes past n_dims have pitch 0

    const F64Arr a2 = f64arr(mem.data(), 2, ext);
    EXPECT_EQ(f64arr_ptr2(&a2, 1, 2), mem.data() + 5);
    EXPECT_EQ(f64arr_ptr3(&a2, 1, 2, 7), mem.data() + 5);

    const F64Arr a1 = f64arr(mem.data(), 1, ext);
    EXPECT_EQ(f64arr_ptr1(&a1, 1), mem.data() + 1);
    EXPECT_EQ(f64arr_ptr1(&a1, 7), mem.data() + 7);  // no bound check
}

TEST(F64Arr, SubsetSlicesAlongTheFirstAxis) {
    std::vector<Float64> mem(120);
    const Uint64 ext[] = {2, 3, 4, 5};
    const F64Arr a4 = f64arr(mem.data(), 4, ext);
    const F64Arr s3 = f64arr_subset(&a4, 1);
    EXPECT_EQ(s3.n_dims, 3u);
    EXPECT_EQ(shape_of(s3), (Four{3, 4, 5, 0}));
    EXPECT_EQ(pitch_of(s3), (Four{20, 5, 1, 0}));
    EXPECT_EQ(s3.base, mem.data() + 60);
    EXPECT_EQ(s3.base, f64arr_ptr1(&a4, 1));
    const F64Arr s1 = f64arr_subset(&s3, 2);  // two dimensions left
    const F64Arr s0 = f64arr_subset(&s1, 3);
    EXPECT_EQ(s0.n_dims, 1u);
    EXPECT_EQ(shape_of(s0), (Four{5, 0, 0, 0}));
    EXPECT_EQ(s0.base, f64arr_ptr4(&a4, 1, 2, 3, 0));
    // The index is not compared with shape[0].
    EXPECT_EQ(f64arr_subset(&a4, 5).base, mem.data() + 300);
}

TEST(F64Arr, IllegalDimensionCountsAreFatal) {
    const Uint64 ext[] = {2, 2, 2, 2, 2};
    Float64 mem[32];
    F64Arr a{};
    expect_fatal([&] { f64arr(mem, 0, ext); }, "Illegal n_dims for F64Arr");
    expect_fatal([&] { f64arr(mem, 5, ext); }, "Illegal n_dims for F64Arr");
    expect_fatal([&] { f64arr_set_shape(&a, 0, ext); }, "Illegal n_dims for F64Arr");
    expect_fatal([&] { f64arr_set_shape(&a, 5, ext); }, "Illegal n_dims for F64Arr");
    expect_fatal([&] { f64arr_malloc(0, ext); }, "Illegal n_dims for F64Arr");
    expect_fatal([&] { f64arr_malloc(5, ext); }, "Illegal n_dims for F64Arr");
    const F64Arr a1 = f64arr(mem, 1, ext);
    expect_fatal([&] { f64arr_subset(&a1, 0); }, "Illegal n_dims for F64Arr");
}

TEST(F64Arr, MallocGivesZeroedDenseArraysAndFreeKeepsBase) {
    const Uint64 ext[] = {2, 3};
    F64Arr a = f64arr_malloc(2, ext);
    ASSERT_NE(a.base, nullptr);
    EXPECT_EQ(shape_of(a), (Four{2, 3, 0, 0}));
    EXPECT_EQ(pitch_of(a), (Four{3, 1, 0, 0}));
    for (int i = 0; i < 6; i++) EXPECT_EQ(a.base[i], 0.0);
    *f64arr_ptr2(&a, 1, 2) = 4.5;
    EXPECT_EQ(a.base[5], 4.5);
    Float64 *const base = a.base;
    f64arr_free(&a);
    EXPECT_EQ(a.base, base);
}

TEST(F64Arr, ZeroSizedMallocIsAUsableEmptyArray) {
    const Uint64 ext[] = {4, 0, 3};
    F64Arr a = f64arr_malloc(3, ext);
    EXPECT_NE(a.base, nullptr);
    EXPECT_EQ(shape_of(a), (Four{4, 0, 3, 0}));
    EXPECT_EQ(pitch_of(a), (Four{0, 3, 1, 0}));
    f64arr_free(&a);
}

TEST(F64Arr, DimensionCountIsCheckedBeforeAnyExtentIsRead) {
    // Four extents at the very end of a readable page: reading a fifth faults.
    const long page = sysconf(_SC_PAGESIZE);
    void *const map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char *>(map) + page, page, PROT_NONE), 0);
    Uint64 *const four = reinterpret_cast<Uint64 *>(static_cast<char *>(map) + page) - 4;
    for (int a = 0; a < 4; a++) four[a] = Uint64{1} << 20;  // an impossible size as well
    for (const Uint64 n_dims : {Uint64{5}, Uint64{1} << 20, UINT64_MAX}) {
        expect_fatal([&] { f64arr_malloc(n_dims, four); }, "Illegal n_dims for F64Arr");
        expect_fatal([&] { f64arr(nullptr, n_dims, four); }, "Illegal n_dims for F64Arr");
    }
    munmap(map, 2 * page);
}

TEST(F64Arr, SizesBeyond64BitsEndAsAFailedAllocation) {
    // Each byte count wraps to a few bytes; the record would describe the whole array.
    const std::vector<std::vector<Uint64>> wrapping = {
        {(Uint64{1} << 61) + 2},
        {Uint64{1} << 32, Uint64{1} << 32},
        {Uint64{1} << 20, Uint64{1} << 20, Uint64{1} << 21},
        {3, 5, Uint64{1} << 30, Uint64{1} << 30},
        {0, Uint64{1} << 62},  // no elements, but the pitch of axis 0 is 2^65 bytes
    };
    for (const auto &ext : wrapping) {
        expect_fatal([&] { f64arr_malloc(ext.size(), ext.data()); }, "malloc failed");
        Float64 mem[1];
        expect_fatal([&] { f64arr(mem, ext.size(), ext.data()); }, "F64Arr size exceeds 64 bits");
        F64Arr a{};
        expect_fatal([&] { f64arr_set_shape(&a, ext.size(), ext.data()); }, "F64Arr size exceeds 64 bits");
    }
    // The bound is exact: 2^61 - 1 elements are 2^64 - 8 bytes.
    Float64 mem[1];
    const Uint64 largest[] = {(Uint64{1} << 61) - 1};
    EXPECT_EQ(f64arr(mem, 1, largest).shape[0], largest[0]);
    const Uint64 two_largest[] = {Uint64{1} << 30, (Uint64{1} << 31) - 1};
    EXPECT_EQ(pitch_of(f64arr(mem, 2, two_largest)), (Four{(Uint64{1} << 31) - 1, 1, 0, 0}));
    // A zero extent outside the others' pitches: an empty array, not an error.
    const Uint64 empty[] = {Uint64{1} << 40, Uint64{1} << 20, 0};
    F64Arr e = f64arr_malloc(3, empty);
    EXPECT_EQ(pitch_of(e), (Four{0, 0, 1, 0}));
    f64arr_free(&e);
}

TEST(F64Arr, AllocationTheHeapRefusesIsFatal) {
    if (!huge_malloc_returns_null) GTEST_SKIP() << "sanitizer heap";
    const Uint64 huge[] = {Uint64{1} << 60};  // 2^63 bytes: a size, but not one the heap has
    expect_fatal([&] { f64arr_malloc(1, huge); }, "malloc failed");
}
