// The trace log: records in the log file and on stderr. Each case runs in its
// own child process so that it sees the first opening of the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
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
        threads.reserve(8);
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

TEST(Trace, RecordsOfManyThreadsStayWhole) {
    // Each record names its thread and number in the prefix and again in the
    // message; a record written in pieces would pair one thread's prefix with
    // another's message.
    constexpr int n_threads = 16, n_records = 400;
    const ChildResult r = run_in_child([] {
        std::vector<std::thread> threads;
        threads.reserve(n_threads);
        for (int t = 0; t < n_threads; t++)
            threads.emplace_back([t] {
                const std::string file = "thread" + std::to_string(t);
                for (int i = 0; i < n_records; i++)
                    _trace(file.c_str(), i, "thread%d record %d of a few words\n", t, i);
            });
        for (auto &th : threads) th.join();
    });
    ASSERT_EQ(r.exit_code, 0);
    for (const std::string &stream : {read_file(log_path), r.err}) {
        std::istringstream lines(stream);
        int count = 0;
        for (std::string l; std::getline(lines, l); count++) {
            int prefix_t = -1, prefix_i = -1, t = -2, i = -2, end = 0;
            const int got = sscanf(l.c_str(), "@thread%d:%d thread%d record %d of a few words%n", &prefix_t,
                                   &prefix_i, &t, &i, &end);
            ASSERT_TRUE(got == 4 && static_cast<size_t>(end) == l.size()) << l;
            ASSERT_EQ(prefix_t, t) << l;
            ASSERT_EQ(prefix_i, i) << l;
        }
        EXPECT_EQ(count, n_threads * n_records);
    }
}

TEST(Trace, LongRecordsAreWrittenWhole) {
    const std::string file(3000, 'f'), message(5000, 'm');
    const ChildResult r = run_in_child([&] { _trace(file.c_str(), 9, "%s\n", message.c_str()); });
    const std::string expected = "@" + file + ":9 " + message + "\n";
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(read_file(log_path), expected);
}

// The log path becomes a FIFO for the body's child and a regular path again
// afterwards. The child ends by SIGALRM if a trace blocks.
ChildResult run_with_fifo_log(const std::function<void()> &body) {
    unlink(log_path.c_str());
    if (mkfifo(log_path.c_str(), 0600) != 0) return {};
    ChildResult r = run_in_child([&] {
        alarm(60);
        body();
    });
    unlink(log_path.c_str());
    return r;
}

TEST(Trace, FifoLogWithoutReaderNeitherBlocksNorIsWritten) {
    const ChildResult r = run_with_fifo_log([] {
        _trace("f", 1, "first\n");
        _trace("f", 2, "second\n");
        std::exit(_log == nullptr ? 0 : 3);
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "@f:1 first\n@f:2 second\n");
}

TEST(Trace, FifoLogReaderThatLeavesDoesNotKillTheProcess) {
    const ChildResult r = run_with_fifo_log([] {
        const int reader = open(log_path.c_str(), O_RDONLY | O_NONBLOCK);
        if (reader < 0) std::exit(4);
        _trace("f", 1, "while read\n");
        close(reader);
        _trace("f", 2, "after the reader left\n");
        std::exit(_log == nullptr ? 0 : 3);
    });
    EXPECT_EQ(r.exit_code, 0);  // not ended by SIGPIPE
    EXPECT_EQ(r.err, "@f:1 while read\n@f:2 after the reader left\n");
}

TEST(Trace, DeviceLogIsNotOpened) {
    // A log path that names a device (here through a symbolic link) is not a log.
    unlink(log_path.c_str());
    ASSERT_EQ(symlink("/dev/null", log_path.c_str()), 0);
    const ChildResult r = run_in_child([] {
        _trace("f", 3, "x\n");
        std::exit(_log == nullptr ? 0 : 3);
    });
    unlink(log_path.c_str());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "@f:3 x\n");
}
