// Fit diagnostics that do not write: the stop-reason lookup and the NaN test
// for images. The dumps, and the entry point that does nothing, are in
// test_log_dumps.cpp.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "gauss2_fitter.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const char *reason_for(double code) {
    double info[10] = {0};
    info[6] = code;
    return get_dlevmar_stop_reason_from_info(info);
}

}  // namespace

TEST(StopReason, TableHoldsTheSolversTexts) {
    const char *texts[8] = {
        "Unknown",
        "stopped by small gradient J^T e",
        "stopped by small Dp",
        "stopped by itmax",
        "singular matrix. Restart from current p with increased mu",
        "no further error reduction is possible. Restart with increased mu",
        "stopped by small ||e||_2",
        "stopped by invalid (i.e. NaN or Inf) 'func' values. This is a user error",
    };
    for (int k = 0; k < 8; k++) EXPECT_STREQ(dlevmar_stop_reasons[k], texts[k]) << k;
}

TEST(StopReason, WholeCodesSelectTheirEntryAndFractionsTruncate) {
    for (int k = 0; k < 8; k++) {
        EXPECT_EQ(reason_for(k), dlevmar_stop_reasons[k]) << k;
        EXPECT_EQ(reason_for(k + 0.9), dlevmar_stop_reasons[k]) << k;
        EXPECT_EQ(reason_for(std::nextafter(k + 1.0, 0.0)), dlevmar_stop_reasons[k]) << k;
    }
    EXPECT_STREQ(reason_for(3.0), "stopped by itmax");
    EXPECT_STREQ(reason_for(2.9), "stopped by small Dp");
    EXPECT_EQ(reason_for(-0.9), dlevmar_stop_reasons[0]);  // truncates to 0
}

TEST(StopReason, EverythingElseIsUnknown) {
    const double others[] = {8.0,
                             9.5,
                             -1.0,
                             -1.5,
                             1e10,
                             -1e10,
                             2147483647.0,
                             2147483647.9,
                             2147483648.0,
                             -2147483648.0,
                             -2147483648.9,
                             -2147483649.0,
                             4294967296.0 + 3.0,
                             1e300,
                             -1e300,
                             DBL_MAX,
                             -DBL_MAX,
                             kInf,
                             -kInf,
                             kNaN,
                             -kNaN};
    for (double v : others) EXPECT_EQ(reason_for(v), dlevmar_stop_reasons[0]) << v;
}

TEST(StopReason, SweepOverMagnitudesAgreesWithTruncation) {
    // Powers of two and their neighbours, of both signs, from the smallest
    // subnormal to the largest double.
    int checked = 0;
    for (double m = std::numeric_limits<double>::denorm_min(); m < kInf; m *= 2.0) {
        for (double v : {m, std::nextafter(m, 0.0), std::nextafter(m, kInf), 3.0 * m, -m, -3.0 * m}) {
            const double t = std::trunc(v);
            const int want = (t >= 0.0 && t <= 7.0) ? static_cast<int>(t) : 0;
            ASSERT_EQ(reason_for(v), dlevmar_stop_reasons[want]) << v;
            checked++;
        }
    }
    EXPECT_GT(checked, 6000);
}

TEST(StopReason, HostReplacedEntryIsReturned) {
    char mine[] = "host text";
    char *saved = dlevmar_stop_reasons[3];
    dlevmar_stop_reasons[3] = mine;
    const char *got = reason_for(3.0);
    dlevmar_stop_reasons[3] = saved;
    EXPECT_EQ(got, mine);
    EXPECT_STREQ(reason_for(3.0), "stopped by itmax");
}

TEST(ValidateIm, FindsNaNAnywhereAndPassesInfinities) {
    std::vector<double> im(size_t{12} * 7, 1.0);
    EXPECT_EQ(validate_im(im.data(), 12, 7), 1);
    im[3] = kInf;
    im[50] = -kInf;
    im[60] = DBL_MAX;
    EXPECT_EQ(validate_im(im.data(), 12, 7), 1);
    for (size_t at : {size_t{0}, size_t{41}, im.size() - 1}) {
        std::vector<double> bad = im;
        bad[at] = kNaN;
        EXPECT_EQ(validate_im(bad.data(), 12, 7), 0) << at;
        bad[at] = -kNaN;
        EXPECT_EQ(validate_im(bad.data(), 12, 7), 0) << at;
        bad[at] = std::numeric_limits<double>::signaling_NaN();
        EXPECT_EQ(validate_im(bad.data(), 12, 7), 0) << at;
    }
    // Only the first im_w * im_h values count.
    im.back() = kNaN;
    EXPECT_EQ(validate_im(im.data(), 12, 6), 1);
    // Two negative sizes make a positive product, and that many values are read.
    std::vector<double> six(6, 1.0);
    six[5] = kNaN;
    EXPECT_EQ(validate_im(six.data(), -2, -3), 0);
    EXPECT_EQ(validate_im(six.data(), -1, -5), 1);
}

TEST(ValidateIm, StopsReadingAtTheFirstNaN) {
    // The NaN is the last value before an inaccessible page: reading on
    // would fault.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char *>(mem) + page, page, PROT_NONE), 0);
    auto *im = static_cast<double *>(mem);
    const size_t n = page / sizeof(double);
    for (size_t i = 0; i < n; i++) im[i] = 2.0;
    im[n - 1] = kNaN;
    EXPECT_EQ(validate_im(im, static_cast<Sint64>(n), 1000), 0);
    munmap(mem, 2 * page);
}

TEST(ValidateIm, NoValuesMeansValidWithoutReading) {
    const Sint64 big = std::numeric_limits<Sint64>::max(), small = std::numeric_limits<Sint64>::min();
    // A null image proves that nothing is read.
    const Sint64 sizes[][2] = {{0, 5},  {5, 0},  {0, 0},     {-3, 4},   {4, -3},
                               {-2, 3}, {3, -2}, {small, 1}, {1, small}};
    for (const auto &sz : sizes) EXPECT_EQ(validate_im(nullptr, sz[0], sz[1]), 1) << sz[0] << "x" << sz[1];
    // Products beyond 64 bits, of either sign, describe no image.
    const Sint64 huge[][2] = {{big, 2},
                              {2, big},
                              {big, big},
                              {small, small},
                              {small, -1},
                              {-1, small},
                              {Sint64{1} << 32, Sint64{1} << 31},
                              {small, 2},
                              {big, -2}};
    for (const auto &sz : huge) EXPECT_EQ(validate_im(nullptr, sz[0], sz[1]), 1) << sz[0] << "x" << sz[1];
}
