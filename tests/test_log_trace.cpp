// The trace log: records in the log file and on stderr. Each case runs in its
// own child process so that it sees the first opening of the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "c_common.h"
#include "child_process.h"

namespace {

const std::string log_path = GAUSS2_TEST_LOG_PATH;
const std::string log_dir = log_path.substr(0, log_path.rfind('/'));

}  // namespace

TEST(Trace, WritesPrefixAndMessageToLogAndStderr) {
    const ChildResult r = run_in_child([] { _trace("some/file.cpp", 58, "%s: PIXELS [\n", "lbl"); });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "@some/file.cpp:58 lbl: PIXELS [\n");
    EXPECT_EQ(read_file(log_path), "@some/file.cpp:58 lbl: PIXELS [\n");
}

TEST(Trace, AddsNoNewlineAndMacroPassesCallerPosition) {
    // clang-format off
    const int line = __LINE__; const ChildResult r = run_in_child([] { trace("x=%d", 5); });
    // clang-format on
    const std::string expected = "@" + std::string(__FILE__) + ":" + std::to_string(line) + " x=5";
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(read_file(log_path), expected);
}

TEST(Trace, FirstRecordTruncatesLaterOnesAppend) {
    {
        FILE *f = fopen(log_path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("stale contents of an earlier process\n", f);
        fclose(f);
    }
    const ChildResult r = run_in_child([] {
        _trace("a", 1, "one\n");
        _trace("b", 2, "two %d\n", 2);
    });
    EXPECT_EQ(r.err, "@a:1 one\n@b:2 two 2\n");
    EXPECT_EQ(read_file(log_path), "@a:1 one\n@b:2 two 2\n");
}

TEST(Trace, LogStreamIsNullUntilFirstRecord) {
    const ChildResult r = run_in_child([] {
        if (_log != nullptr) std::exit(2);
        _trace("f", 3, "m\n");
        std::exit(_log != nullptr ? 0 : 3);
    });
    EXPECT_EQ(r.exit_code, 0);
}

TEST(Trace, UnopenableLogStillReachesStderrAndReturns) {
    const std::string away = log_dir + ".away";
    const ChildResult r = run_in_child([&] {
        if (rename(log_dir.c_str(), away.c_str()) != 0) std::exit(4);
        _trace("f", 7, "first %s\n", "record");
        _trace("f", 8, "second\n");
        const bool still_null = _log == nullptr;
        rename(away.c_str(), log_dir.c_str());
        std::exit(still_null ? 0 : 3);
    });
    rename(away.c_str(), log_dir.c_str());  // in case the child died between the renames
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "@f:7 first record\n@f:8 second\n");
}

TEST(Trace, ConcurrentFirstRecordsOpenTheLogOnce) {
    const ChildResult r = run_in_child([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; t++) threads.emplace_back([t] { _trace("t", t, "thread\n"); });
        for (auto &th : threads) th.join();
    });
    EXPECT_EQ(r.exit_code, 0);
    // Had the log been opened (and truncated) twice, records would be lost.
    const std::string log = read_file(log_path);
    size_t count = 0;
    for (size_t at = log.find("thread\n"); at != std::string::npos; at = log.find("thread\n", at + 1))
        count++;
    EXPECT_EQ(count, 8u);
}
