// The fit diagnostics' dumps: exact bytes in the trace log and on stderr.
// Each case runs in its own child process, which opens (truncates) the log.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "child_process.h"
#include "gauss2_fitter.h"

namespace {

const std::string log_path = GAUSS2_TEST_LOG_PATH;
const std::string log_dir = log_path.substr(0, log_path.rfind('/'));
const std::string src = "@run/sigproc_v2/c_gauss2_fitter/gauss2_fitter.cpp:";

std::string f6(double v) {
    char buf[64];
    snprintf(buf, sizeof buf, "%f, ", v);
    return buf;
}

// Runs `body` in a child with the log directory moved away, so that the log
// cannot be opened; returns the child's result. The directory is put back.
ChildResult run_without_log(const std::function<void()> &body) {
    const std::string away = log_dir + ".away";
    ChildResult r = run_in_child([&] {
        if (rename(log_dir.c_str(), away.c_str()) != 0) std::exit(4);
        body();
        const bool still_null = _log == nullptr;
        rename(away.c_str(), log_dir.c_str());
        std::exit(still_null ? 0 : 3);
    });
    rename(away.c_str(), log_dir.c_str());  // in case the child died between the renames
    return r;
}

}  // namespace

TEST(DumpPixels, HeaderOnBothStreamsElevenLinesOfValuesInTheLogOnly) {
    std::vector<double> px(121);
    for (int i = 0; i < 121; i++) px[i] = i * 0.5 - 3.0;
    px[5] = 1234567.125;
    px[6] = -0.0000004;  // rounds to zero at six decimals
    const ChildResult r = run_in_child([&] { dump_pixels("patch", px.data()); });
    EXPECT_EQ(r.exit_code, 0);
    const std::string header = src + "58 patch: PIXELS [\n";
    EXPECT_EQ(r.err, header);

    const std::string log = read_file(log_path);
    ASSERT_EQ(log.substr(0, header.size()), header);
    // The header's own newline, then a newline before each row of eleven.
    const std::string first_row =
        "\n-3.000000, -2.500000, -2.000000, -1.500000, -1.000000, 1234567.125000, -0.000000, 0.500000, "
        "1.000000, 1.500000, 2.000000, ";
    EXPECT_EQ(log.substr(header.size(), first_row.size()), first_row);
    std::string want = header;
    for (int i = 0; i < 121; i++) {
        if (i % 11 == 0) want += '\n';
        want += f6(px[i]);
    }
    want += "]\n\n";
    EXPECT_EQ(log, want);
    const std::string tail = ", 56.500000, 57.000000, ]\n\n";  // value 120 closes the last line
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
}

TEST(DumpPixels, BodyReachesTheLogBeforeTheNextRecord) {
    const double px[121] = {1.0};
    const ChildResult r = run_in_child([&] {
        dump_pixels("a", px);
        _trace("x", 1, "next\n");
    });
    const std::string log = read_file(log_path);
    const std::string tail = "0.000000, ]\n\n@x:1 next\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_EQ(r.err, src + "58 a: PIXELS [\n@x:1 next\n");
}

TEST(DumpParams, TenValuesOnOneLineThenTheTrailerRecord) {
    const double params[10] = {1000.0, 1.5, 1.25, 5.5, 5.5, -0.125, 100.0, 3.0, 0.0000006, -7.0};
    const ChildResult r = run_in_child([&] { dump_params("peak 3", params); });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, src + "69 peak 3: PARAMS [\n" + src + "74 peak 3: END PARAMS\n");
    EXPECT_EQ(read_file(log_path), src + "69 peak 3: PARAMS [\n" +
                                       "1000.000000, 1.500000, 1.250000, 5.500000, 5.500000, -0.125000, "
                                       "100.000000, 3.000000, 0.000001, -7.000000, ]\n\n" +
                                       src + "74 peak 3: END PARAMS\n");
}

TEST(DumpJacobian, NoValuesGiveOnlyTheClosingBracket) {
    const double jac[1] = {9.0};
    for (int n : {0, -1, -2147483647 - 1}) {
        const ChildResult r = run_in_child([&] { dump_jacobian("J", jac, n); });
        EXPECT_EQ(r.err, src + "78 J: JAC [\n") << n;
        EXPECT_EQ(read_file(log_path), src + "78 J: JAC [\n]\n\n") << n;
    }
}

TEST(DumpJacobian, TwoPixelsOfSevenValues) {
    double jac[14];
    for (int i = 0; i < 14; i++) jac[i] = i;
    const ChildResult r = run_in_child([&] { dump_jacobian("J", jac, 14); });
    EXPECT_EQ(r.err, src + "78 J: JAC [\n");
    EXPECT_EQ(read_file(log_path),
              src + "78 J: JAC [\n" + "\n\n" +
                  "0.000000, 1.000000, 2.000000, 3.000000, 4.000000, 5.000000, 6.000000, \n" +
                  "7.000000, 8.000000, 9.000000, 10.000000, 11.000000, 12.000000, 13.000000, "
                  "]\n\n");
}

TEST(DumpJacobian, AnEmptyLineSeparatesEachPatchRowOfElevenPixels) {
    // 12 pixels and 3 values: a group of 77, then 5 lines of 7 and a short one.
    const int n = 77 + 35 + 3;
    std::vector<double> jac(n);
    for (int i = 0; i < n; i++) jac[i] = -i * 0.25;
    const ChildResult r = run_in_child([&] { dump_jacobian("big", jac.data(), n); });
    const std::string log = read_file(log_path);
    const std::string header = src + "78 big: JAC [\n";
    ASSERT_EQ(log.substr(0, header.size()), header);
    const std::string body = log.substr(header.size());

    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = body.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(body.substr(at, nl - at));
    // "", "", 11 lines, "", 5 lines, last line with "]", "" (the final "\n\n").
    ASSERT_EQ(lines.size(), 2u + 11 + 1 + 6 + 1);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "0.000000, -0.250000, -0.500000, -0.750000, -1.000000, -1.250000, -1.500000, ");
    EXPECT_EQ(lines[13], "");
    EXPECT_EQ(lines[14].substr(0, 12), "-19.250000, ");  // value 77
    EXPECT_EQ(lines[19], "-28.000000, -28.250000, -28.500000, ]");
    EXPECT_EQ(lines[20], "");
    EXPECT_EQ(r.err, header);
}

TEST(DumpInfo, FiveRecordsOnBothStreams) {
    const double info[10] = {2.5, 0.1, 0.2, 0.3, 1e-3, 12.0, 2.0, 0, 0, 0};
    const ChildResult r = run_in_child([&] { dump_info(info); });
    EXPECT_EQ(r.exit_code, 0);
    const std::string want = src + "110 INFO:\n" + src + "111   e^2 at p0: 2.500000\n" + src +
                             "112   mu?: 0.001000\n" + src + "113   n_iter: 12.000000\n" + src +
                             "114   reason to stop: stopped by small Dp\n";
    EXPECT_EQ(r.err, want);
    EXPECT_EQ(read_file(log_path), want);
}

// The reason's text is the stop-reason lookup's for the report (which
// test_diagnostics.cpp holds to the table, host-replaced entries included).
namespace {

// dump_info's five records for a report of zeros but its stop reason.
std::string info_records(const char *reason) {
    return src + "110 INFO:\n" + src + "111   e^2 at p0: 0.000000\n" + src + "112   mu?: 0.000000\n" + src +
           "113   n_iter: 0.000000\n" + src + "114   reason to stop: " + reason + "\n";
}

}  // namespace

TEST(DumpInfo, PrintsTheLookupsTextForAnyCode) {
    for (double code : {-3.0, 6.0, 3.9, 1e300}) {
        double info[10] = {0, 0, 0, 0, 0, 0, code, 0, 0, 0};
        const ChildResult r = run_in_child([&] { dump_info(info); });
        const std::string want = info_records(get_dlevmar_stop_reason_from_info(info));
        EXPECT_EQ(r.err, want) << code;
        EXPECT_EQ(read_file(log_path), want) << code;
    }
}

// gauss2_check has no effect: nothing on either stream, and the log stays
// unopened.
TEST(Gauss2Check, WritesNothingAndLeavesTheLogClosed) {
    const ChildOutput r = run_in_child_with_stdout([] {
        gauss2_check();
        std::exit(_log == nullptr ? 0 : 3);
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(Dumps, WithoutALogTheRecordsStillReachStderrAndTheCallsReturn) {
    std::vector<double> values(154, 1.0);
    const double info[10] = {2.5, 0, 0, 0, 0, 1.0, 3.0, 0, 0, 0};
    const ChildResult r = run_without_log([&] {
        dump_pixels("p", values.data());
        dump_params("q", values.data());
        dump_jacobian("j", values.data(), 154);
        dump_info(info);
    });
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, src + "58 p: PIXELS [\n" + src + "69 q: PARAMS [\n" + src + "74 q: END PARAMS\n" + src +
                         "78 j: JAC [\n" + src + "110 INFO:\n" + src + "111   e^2 at p0: 2.500000\n" + src +
                         "112   mu?: 0.000000\n" + src + "113   n_iter: 1.000000\n" + src +
                         "114   reason to stop: stopped by itmax\n");
}
