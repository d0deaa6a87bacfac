// Fatal checks, the clock and the self check.
#include <gtest/gtest.h>

#include "c_common.h"
#include "child_process.h"

TEST(Ensure, TrueConditionPrintsNothingAndReturns) {
    const ChildResult r = run_in_child([] {
        ensure(1, "never %s", "printed");
        ensure(-7, "%d", 3);
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
}

TEST(Ensure, FalseConditionPrintsMessageAndNewlineThenExitsWithOne) {
    const ChildResult r = run_in_child([] { ensure(0, "size mismatch"); });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "size mismatch\n");
}

TEST(Ensure, FormatsItsArgumentsPrintfStyle) {
    const ChildResult r =
        run_in_child([] { ensure(0, "tab_get outside bounds @%s:%d requested=%lu", "f.c", 12, 7ul); });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "tab_get outside bounds @f.c:12 requested=7\n");
}

TEST(Ensure, DeathTestView) {
    EXPECT_EXIT(ensure(0, "Mea must be odd"), testing::ExitedWithCode(1), "^Mea must be odd\n$");
}

TEST(Clock, ReadingsNeverDecreaseAndAreMicroseconds) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    const Uint64 before = static_cast<Uint64>(ts.tv_sec) * 1000000u + static_cast<Uint64>(ts.tv_nsec) / 1000u;
    Uint64 prev = now();
    EXPECT_GE(prev, before);
    for (int i = 0; i < 10000; i++) {
        const Uint64 t = now();
        ASSERT_GE(t, prev);
        prev = t;
    }
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    const Uint64 after = static_cast<Uint64>(ts.tv_sec) * 1000000u + static_cast<Uint64>(ts.tv_nsec) / 1000u;
    EXPECT_LE(prev, after);
}

TEST(SanityCheck, PassesOnThisBuild) {
    const ChildResult r = run_in_child([] { std::exit(sanity_check() == 0 ? 0 : 2); });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
}

TEST(Aliases, HaveTheirWidths) {
    static_assert(sizeof(Uint8) == 1 && sizeof(Uint16) == 2 && sizeof(Uint32) == 4 && sizeof(Uint64) == 8);
    static_assert(sizeof(Sint8) == 1 && sizeof(Sint16) == 2 && sizeof(Sint32) == 4 && sizeof(Sint64) == 8);
    static_assert(sizeof(Uint128) == 16 && sizeof(Sint128) == 16);
    static_assert(sizeof(Float32) == 4 && sizeof(Float64) == 8);
    static_assert(static_cast<Sint8>(-1) < 0 && static_cast<Uint8>(-1) > 0);
    SUCCEED();
}
