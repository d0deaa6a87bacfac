// Fatal checks, the clock and the self check.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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
    expect_fatal([] { ensure(0, "size mismatch"); }, "size mismatch");
}

TEST(Ensure, FormatsItsArgumentsPrintfStyle) {
    expect_fatal([] { ensure(0, "tab_get outside bounds @%s:%d requested=%lu", "f.c", 12, 7ul); },
                 "tab_get outside bounds @f.c:12 requested=7");
}

TEST(Ensure, MessagesOfThreadsFailingTogetherKeepTheirLines) {
    // All threads break their contract at once; whichever messages get out
    // before the process ends, each is a line of its own.
    const std::string pad(200, '.');
    // "thread <t> broke its contract <pad>", nothing more, nothing less.
    const auto whole = [&](const std::string &l) {
        int t = -1, end = 0;
        const int got = sscanf(l.c_str(), "thread %d broke its contract %n", &t, &end);
        return got == 1 && end > 0 && 0 <= t && t < 16 && l.substr(static_cast<size_t>(end)) == pad;
    };
    for (int round = 0; round < 20; round++) {
        const ChildResult r = run_in_child([&] {
            std::barrier start(16);
            std::vector<std::thread> threads;
            threads.reserve(16);
            for (int t = 0; t < 16; t++)
                threads.emplace_back([&, t] {
                    start.arrive_and_wait();
                    ensure(0, "thread %d broke its contract %s", t, pad.c_str());
                });
            for (auto &th : threads) th.join();
        });
        ASSERT_EQ(r.exit_code, 1);
        ASSERT_FALSE(r.err.empty());
        ASSERT_EQ(r.err.back(), '\n');
        std::istringstream lines(r.err);
        for (std::string l; std::getline(lines, l);) ASSERT_TRUE(whole(l)) << l;
    }
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
