// Hostile input through the raw C ABI, as a careless host would pass it:
// centres near +-2^63 and 2^32, empty and negative image sizes, even, unit,
// negative and huge patch sides, NaN and infinite pixels and parameters,
// duplicate and overlapping peaks, empty and negative peak counts. For each,
// the outcome the header promises: a code, a flag, or the end of the process
// through `ensure` with its message and status 1. Images are exactly as large
// as their sizes claim, so a sanitizer build catches any read beyond them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "gauss2_fitter.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr Sint64 kMax = std::numeric_limits<Sint64>::max();
constexpr Sint64 kMin = std::numeric_limits<Sint64>::min();
constexpr Sint64 k2p32 = Sint64{1} << 32;
constexpr double kSentinel = -3.0;

bool same_bits(const double *a, const double *b, size_t n) { return std::memcmp(a, b, n * sizeof *a) == 0; }

// A spot on a background, sampled at pixel centres, in an image of exactly
// w x h values.
std::vector<double> spot_image(Sint64 w, Sint64 h, double x0, double y0) {
    std::vector<double> im(static_cast<size_t>(w * h));
    for (Sint64 y = 0; y < h; y++)
        for (Sint64 x = 0; x < w; x++) {
            const double dx = x + 0.5 - x0, dy = y + 0.5 - y0;
            im[static_cast<size_t>(y * w + x)] =
                100.0 +
                2000.0 / (6.283185307179586 * 1.5 * 1.2) * std::exp(-0.5 * (dx * dx / 2.25 + dy * dy / 1.44));
        }
    return im;
}

// One patch fit with every output preset to a sentinel.
struct PatchFit {
    double params[7] = {0.0, 1.5, 1.5, 5.5, 5.5, 0.0, 0.0};
    double info[10], covar[49], noise = kSentinel;
    int result = 99;
    PatchFit() {
        std::fill(std::begin(info), std::end(info), kSentinel);
        std::fill(std::begin(covar), std::end(covar), kSentinel);
    }
    PatchFit &run(const std::vector<double> &im, Sint64 w, Sint64 h, Sint64 cx, Sint64 cy, Sint64 mea = 11) {
        result = fit_gauss_2d_on_float_image(const_cast<double *>(im.data()), w, h, cx, cy, mea, params, info,
                                             covar, &noise);
        return *this;
    }
    bool untouched() const {
        const PatchFit fresh;
        return same_bits(params, fresh.params, 7) && same_bits(info, fresh.info, 10) &&
               same_bits(covar, fresh.covar, 49) && noise == kSentinel;
    }
};

// A batch over exact-size arrays with sentinel outputs.
struct Batch {
    std::vector<Sint64> cx, cy, fails;
    std::vector<double> params, std_params;
    explicit Batch(std::vector<std::pair<Sint64, Sint64>> peaks, double pos = 5.5) {
        for (auto [x, y] : peaks) {
            cx.push_back(x), cy.push_back(y), fails.push_back(-5);
            const double rec[10] = {0.0, 1.5, 1.5, pos, pos, 0.0, 0.0, 0.125, kSentinel, 0.25};
            params.insert(params.end(), rec, rec + 10);
            std_params.insert(std_params.end(), 10, kSentinel);
        }
    }
    int run(const std::vector<double> &im, Sint64 w, Sint64 h, Sint64 mea = 11) {
        return fit_array_of_gauss_2d_on_float_image(const_cast<double *>(im.data()), w, h, mea,
                                                    static_cast<Sint64>(cx.size()), cx.data(), cy.data(),
                                                    params.data(), std_params.data(), fails.data());
    }
    const double *rec(size_t i) const { return &params[10 * i]; }
    const double *err(size_t i) const { return &std_params[10 * i]; }
    // Flagged with the start kept, noise 0 and no standard errors.
    bool outside(size_t i) const {
        const Batch fresh({{0, 0}});
        bool nan_errors = true;
        for (int k = 0; k < 7; k++) nan_errors = nan_errors && std::isnan(err(i)[k]);
        return fails[i] == 1 && same_bits(rec(i), fresh.rec(0), 7) && rec(i)[8] == 0.0 && nan_errors;
    }
};

std::vector<double> render(Sint64 w, Sint64 h, Sint64 mea, const std::vector<double> &peaks,
                           double fill = 0.0) {
    std::vector<double> im(static_cast<size_t>(w * h), fill);
    EXPECT_EQ(synth_image(im.data(), w, h, mea, peaks.size() / 7, peaks.data()), 0);
    return im;
}

}  // namespace

// ---- centres far outside ------------------------------------------------------

TEST(HostileCentres, FarCentresAreOutsideAndNothingIsRead) {
    const std::vector<double> im = spot_image(30, 30, 15.3, 14.6);
    // 2^32 + 15 would land on pixel 15 if any step truncated to 32 bits.
    const Sint64 far[] = {kMax, kMax - 5, k2p32, k2p32 + 15, k2p32 - 1, Sint64{1} << 31, Sint64{1} << 62};
    for (Sint64 c : far) {
        EXPECT_TRUE(PatchFit().run(im, 30, 30, c, 14).untouched()) << c;
        EXPECT_TRUE(PatchFit().run(im, 30, 30, 15, c).untouched()) << c;
        EXPECT_EQ(PatchFit().run(im, 30, 30, c, c).result, -2) << c;
    }
    for (Sint64 c : {kMin, kMin + 5, -k2p32, -k2p32 + 15, Sint64{-1}}) {
        EXPECT_EQ(PatchFit().run(im, 30, 30, c, 14).result, -2) << c;
        EXPECT_TRUE(PatchFit().run(im, 30, 30, 15, c).untouched()) << c;
    }
}

TEST(HostileCentres, BatchFlagsFarPeaksAndSkipsNegativeOnes) {
    const std::vector<double> im = spot_image(30, 30, 15.3, 14.6);
    Batch b({{15, 14}, {kMax, 14}, {15, k2p32 + 14}, {k2p32 + 15, k2p32 + 14}, {kMin, 14}, {15, -k2p32}});
    const std::vector<double> start = b.params;
    EXPECT_EQ(b.run(im, 30, 30), 0);
    EXPECT_EQ(b.fails, (std::vector<Sint64>{0, 1, 1, 1, 1, 1}));
    EXPECT_NEAR(b.rec(0)[3], 15.3 - 10, 1e-6);
    for (size_t i : {1, 2, 3}) EXPECT_TRUE(b.outside(i)) << i;
    for (size_t i : {4, 5}) {  // skipped: both records exactly as they were
        EXPECT_TRUE(same_bits(b.rec(i), &start[10 * i], 10)) << i;
        for (int k = 0; k < 10; k++) EXPECT_EQ(b.err(i)[k], kSentinel);
    }
}

TEST(HostileCentres, RendererSkipsPositionsBeyondTheImageAndTheIntegers) {
    const double far[] = {4294967296.0 + 10.5,
                          4294967296.0,
                          9223372036854775808.0,
                          -9223372036854775808.0,
                          9.2e18,
                          1e300,
                          -1e300,
                          18446744073709551616.0};
    for (double v : far) {
        const std::vector<double> across = render(20, 20, 5, {100, 1, 1, v, 10.5, 0, 0}, 7.0);
        const std::vector<double> down = render(20, 20, 5, {100, 1, 1, 10.5, v, 0, 0}, 7.0);
        for (size_t i = 0; i < across.size(); i++) {
            ASSERT_EQ(across[i], 7.0) << v;
            ASSERT_EQ(down[i], 7.0) << v;
        }
    }
}

// ---- image sizes --------------------------------------------------------------

TEST(HostileSizes, EmptyAndNegativeImagesAreNeverRead) {
    // Claimed sizes with no pixels: a null image proves nothing is read.
    const Sint64 sizes[][2] = {{0, 0},       {0, 30},   {30, 0},   {-1, 30},   {30, -1},       {-30, -30},
                               {kMin, kMin}, {kMax, 0}, {0, kMax}, {kMax, -1}, {-k2p32, k2p32}};
    const std::vector<double> none;
    for (const auto &sz : sizes) {
        EXPECT_TRUE(PatchFit().run(none, sz[0], sz[1], 5, 5).untouched()) << sz[0] << "x" << sz[1];
        Batch b({{5, 5}, {0, 0}, {kMax, kMax}});
        EXPECT_EQ(b.run(none, sz[0], sz[1]), 0);
        for (size_t i = 0; i < 3; i++) EXPECT_TRUE(b.outside(i)) << sz[0] << "x" << sz[1];
        const double peak[7] = {100, 1, 1, 0.5, 0.5, 0, 0};
        EXPECT_EQ(synth_image(nullptr, sz[0], sz[1], 1, 1, peak), 0);
        EXPECT_EQ(synth_image(nullptr, sz[0], sz[1], GAUSS2_MAX_MEA, 1, peak), 0);
    }
}

TEST(HostileSizes, ValidateImCountsTheProductOfTheSizes) {
    for (auto [w, h] : {std::pair<Sint64, Sint64>{0, 0}, {0, 7}, {-2, 3}, {3, -2}, {kMin, -1}, {kMax, kMax}})
        EXPECT_EQ(validate_im(nullptr, w, h), 1) << w << "x" << h;
    // Two negative sizes make a positive product, and that many values are read.
    std::vector<double> six(6, 1.0);
    six[5] = kNaN;
    EXPECT_EQ(validate_im(six.data(), -2, -3), 0);
    EXPECT_EQ(validate_im(six.data(), -1, -5), 1);
}

TEST(HostileSizes, ModelAndJacobianWriteNothingForNoPixels) {
    const double p[7] = {100, 1.5, 1.5, 5.5, 5.5, 0, 1};
    for (int n : {0, -1, -121, std::numeric_limits<int>::min()}) {
        double out[8];
        std::fill(std::begin(out), std::end(out), kSentinel);
        gauss_2d(const_cast<double *>(p), out, 7, n, nullptr);
        jac_gauss_2d(const_cast<double *>(p), out, 7, n, nullptr);
        for (double v : out) EXPECT_EQ(v, kSentinel) << n;
    }
}

// ---- patch sides ------------------------------------------------------------------

TEST(HostileMea, PatchFitRefusesEvenNegativeAndHugeSides) {
    const std::vector<double> im = spot_image(30, 30, 15.3, 14.6);
    for (Sint64 mea : {Sint64{10}, Sint64{0}, Sint64{-2}, kMin, k2p32})
        EXPECT_EXIT(PatchFit().run(im, 30, 30, 15, 14, mea), testing::ExitedWithCode(1),
                    "^Mea must be odd\n$")
            << mea;
    for (Sint64 mea : {Sint64{-3}, kMin + 1})  // -1 cuts one pixel (below)
        EXPECT_EXIT(PatchFit().run(im, 30, 30, 15, 14, mea), testing::ExitedWithCode(1), "^size mismatch\n$")
            << mea;
    EXPECT_EXIT(PatchFit().run(im, 30, 30, 15, 14, 65), testing::ExitedWithCode(1),
                "^Mea too large: 65 \\(at most 63\\)\n$");
    EXPECT_EXIT(PatchFit().run(im, 30, 30, 15, 14, k2p32 + 1), testing::ExitedWithCode(1),
                "^Mea too large: 4294967297 \\(at most 63\\)\n$");
    EXPECT_EXIT(PatchFit().run(im, 30, 30, 15, 14, kMax), testing::ExitedWithCode(1),
                "^Mea too large: 9223372036854775807 \\(at most 63\\)\n$");
    // The checks come before the window: an outside peak does not escape them.
    EXPECT_EXIT(PatchFit().run(im, 30, 30, kMax, kMax, 12), testing::ExitedWithCode(1),
                "^Mea must be odd\n$");
}

TEST(HostileMea, OnePixelAndWindowsLargerThanTheImage) {
    const std::vector<double> im = spot_image(30, 30, 15.3, 14.6);
    for (Sint64 mea : {Sint64{1}, Sint64{-1}}) {  // -1 / 2 = 0: the same one-pixel window
        PatchFit one;
        one.params[3] = one.params[4] = 0.5;
        EXPECT_EQ(one.run(im, 30, 30, 15, 14, mea).result, -1);  // one measurement, seven parameters
        EXPECT_EQ(one.noise, 0.0);
        EXPECT_EQ(one.info[6], kSentinel);  // refused before the solver wrote its report
        EXPECT_EQ(one.params[6], im[14 * 30 + 15]);
    }
    EXPECT_TRUE(PatchFit().run(im, 30, 30, 15, 14, 31).untouched());  // 31 > 30: outside
    EXPECT_TRUE(PatchFit().run(im, 30, 30, 15, 14, GAUSS2_MAX_MEA).untouched());
}

TEST(HostileMea, BatchChecksTheSideAtTheFirstFittedPeakOnly) {
    const std::vector<double> im = spot_image(30, 30, 15.3, 14.6);
    for (Sint64 mea : {Sint64{10}, Sint64{-3}, Sint64{65}, kMax, kMin}) {
        Batch skipped({{-1, 5}, {5, kMin}});
        EXPECT_EQ(skipped.run(im, 30, 30, mea), 0) << mea;
        EXPECT_EQ(skipped.fails, (std::vector<Sint64>{1, 1}));
    }
    Batch one({{-1, 5}, {15, 14}});
    EXPECT_EXIT(one.run(im, 30, 30, 10), testing::ExitedWithCode(1), "^Mea must be odd\n$");
    EXPECT_EXIT(one.run(im, 30, 30, -3), testing::ExitedWithCode(1), "^size mismatch\n$");
    EXPECT_EXIT(one.run(im, 30, 30, 65), testing::ExitedWithCode(1),
                "^Mea too large: 65 \\(at most 63\\)\n$");
    // A peak whose window is outside is still a fitted peak for the checks.
    Batch outside({{kMax, kMax}});
    EXPECT_EXIT(outside.run(im, 30, 30, 64), testing::ExitedWithCode(1), "^Mea must be odd\n$");

    for (Sint64 mea : {Sint64{1}, Sint64{-1}}) {
        Batch unit({{15, 14}, {20, 20}}, 0.5);
        EXPECT_EQ(unit.run(im, 30, 30, mea), 0);
        EXPECT_EQ(unit.fails, (std::vector<Sint64>{1, 1}));
        for (size_t i = 0; i < 2; i++)
            for (int k = 0; k < 7; k++) EXPECT_TRUE(std::isnan(unit.err(i)[k]));
    }
}

TEST(HostileMea, DirectPatchFitTakesAnySide) {
    std::vector<double> px(16, 100.0);
    for (Sint64 mea : {Sint64{0}, Sint64{-5}, kMin, Sint64{1}, Sint64{2}}) {  // fewer than seven pixels
        PatchFit f;
        EXPECT_EQ(fit_gauss_2d(px.data(), mea, f.params, f.info, f.covar), -1) << mea;
        EXPECT_TRUE(f.untouched()) << mea;
    }
    const std::vector<double> even_patch = spot_image(4, 4, 2.1, 1.9);  // even sides are fine here
    PatchFit even;
    const double start[7] = {2000, 1.4, 1.3, 2.0, 2.0, 0.0, 100.0};
    std::copy(start, start + 7, even.params);
    EXPECT_EQ(fit_gauss_2d(const_cast<double *>(even_patch.data()), 4, even.params, even.info, even.covar),
              0);
    EXPECT_NEAR(even.params[3], 2.1, 1e-6);
    const std::vector<double> large = spot_image(64, 64, 32.2, 31.7);  // above the image fits' bound
    PatchFit big;
    const double big_start[7] = {2000, 1.4, 1.3, 32.0, 32.0, 0.0, 100.0};
    std::copy(big_start, big_start + 7, big.params);
    EXPECT_EQ(fit_gauss_2d(const_cast<double *>(large.data()), 64, big.params, big.info, big.covar), 0);
    EXPECT_NEAR(big.params[3], 32.2, 1e-6);
    for (Sint64 mea : {Sint64{46341}, k2p32 + 1, kMax}) {  // mea^2 beyond a 32-bit count: nothing read
        PatchFit f;
        EXPECT_EQ(fit_gauss_2d(nullptr, mea, f.params, f.info, f.covar), -1) << mea;
        EXPECT_TRUE(f.untouched()) << mea;
    }
}

TEST(HostileMea, RendererTakesAnySideUpToTheBoundAndNothingBelowOne) {
    const std::vector<double> peak = {100, 1, 1, 10.5, 10.5, 0, 0};
    for (Sint64 mea : {Sint64{0}, Sint64{-1}, Sint64{-64}, kMin}) {
        const std::vector<double> im = render(20, 20, mea, peak, 7.0);
        for (double v : im) ASSERT_EQ(v, 7.0) << mea;
    }
    const std::vector<double> even = render(20, 20, 4, peak);  // no oddness check here
    int written = 0;
    for (double v : even) written += v != 0.0;
    EXPECT_EQ(written, 16);
    std::vector<double> im(400);
    EXPECT_EXIT(synth_image(im.data(), 20, 20, 64, 1, peak.data()), testing::ExitedWithCode(1),
                "^Mea too large: 64 \\(at most 63\\)\n$");
    EXPECT_EXIT(synth_image(im.data(), 20, 20, k2p32 + 1, 0, nullptr), testing::ExitedWithCode(1),
                "^Mea too large: 4294967297 \\(at most 63\\)\n$");
}

// ---- values that are not finite -------------------------------------------------

TEST(HostileValues, NonFiniteOrHugePixelsInTheWindowFailTheFit) {
    const std::vector<double> clean = spot_image(30, 30, 15.3, 14.6);
    // Beyond about 1e154 the squared error overflows: as bad as infinity.
    for (double v : {kNaN, -kNaN, kInf, -kInf, 1e300, -1e300, 1e155}) {
        std::vector<double> im = clean;
        im[12 * 30 + 18] = v;  // inside the window of (15, 14)
        im[0] = v;             // outside it
        PatchFit f;
        EXPECT_EQ(f.run(im, 30, 30, 15, 14).result, -1) << v;
        EXPECT_EQ(f.info[6], 7.0) << v;
        EXPECT_EQ(f.noise, 0.0) << v;
        Batch b({{15, 14}, {22, 22}}), clean_far({{22, 22}});
        EXPECT_EQ(b.run(im, 30, 30), 0);
        clean_far.run(clean, 30, 30);
        EXPECT_EQ(b.fails[0], 1) << v;
        EXPECT_EQ(b.rec(0)[8], 0.0);
        EXPECT_TRUE(same_bits(b.rec(1), clean_far.rec(0), 10)) << v;  // a window without them is unaffected
    }
    std::vector<double> all_inf(900, kInf);
    EXPECT_EQ(PatchFit().run(all_inf, 30, 30, 15, 14).result, -1);
}

TEST(HostileValues, StartsOutsideTheModelsDomainFailTheFit) {
    const std::vector<double> im = spot_image(30, 30, 15.3, 14.6);
    struct Start {
        int k;
        double v;
    };
    const Start bad[] = {{0, kNaN}, {0, kInf}, {0, -kInf}, {0, 1e300}, {1, 0.0},  {1, kNaN}, {2, kInf},
                         {3, kNaN}, {3, kInf}, {4, -kInf}, {5, 1.0},   {5, -1.0}, {5, 2.0},  {5, kNaN}};
    for (const Start &s : bad) {
        PatchFit f;
        f.params[s.k] = s.v;
        EXPECT_EQ(f.run(im, 30, 30, 15, 14).result, -1) << s.k << "=" << s.v;
        EXPECT_EQ(f.info[6], 7.0) << s.k << "=" << s.v;
        EXPECT_EQ(f.noise, 0.0);
        Batch b({{15, 14}});
        b.params[s.k] = s.v;
        b.run(im, 30, 30);
        EXPECT_EQ(b.fails[0], 1) << s.k << "=" << s.v;
    }
}

TEST(HostileValues, StartsThatTheFitSurvives) {
    const std::vector<double> im = spot_image(30, 30, 15.3, 14.6);
    PatchFit nan_offset;  // the offset always starts at the window minimum
    nan_offset.params[6] = kNaN;
    EXPECT_EQ(nan_offset.run(im, 30, 30, 15, 14).result, 0);
    EXPECT_NEAR(nan_offset.params[3], 15.3 - 10, 1e-6);
    PatchFit negative_width;  // widths keep their signs: the fit finds the mirror solution
    negative_width.params[1] = -1.5;
    EXPECT_EQ(negative_width.run(im, 30, 30, 15, 14).result, 0);
    EXPECT_NEAR(std::fabs(negative_width.params[1]), 1.5, 1e-6);
    // A start far off the patch sees a flat model that no step can move: the
    // solver stops at once without an error, so the peak is not flagged.
    Batch far({{15, 14}}, 1e300);
    far.run(im, 30, 30);
    EXPECT_EQ(far.fails[0], 0);
    EXPECT_EQ(far.rec(0)[3], 1e300);
    EXPECT_GT(far.rec(0)[8], 0.0);  // the residual noise shows that nothing was fitted
}

TEST(HostileValues, RenderedNonFiniteValuesStayInTheirPatch) {
    for (double amp : {kNaN, kInf, -kInf}) {
        const std::vector<double> im = render(20, 20, 5, {amp, 1, 1, 10.3, 10.7, 0, 0});
        int changed = 0;
        for (Sint64 y = 0; y < 20; y++)
            for (Sint64 x = 0; x < 20; x++) {
                const double v = im[static_cast<size_t>(y * 20 + x)];
                const bool in_patch = x >= 8 && x <= 12 && y >= 8 && y <= 12;
                if (in_patch) {
                    EXPECT_FALSE(std::isfinite(v)) << amp;
                } else {
                    EXPECT_EQ(v, 0.0) << amp;
                }
                changed += in_patch;
            }
        EXPECT_EQ(changed, 25);
        EXPECT_EQ(validate_im(im.data(), 20, 20), std::isnan(amp) ? 0 : 1);
    }
    for (double sigma : {0.0, kNaN}) {  // a zero or NaN width renders NaN
        const std::vector<double> im = render(20, 20, 5, {100, sigma, 1, 10.3, 10.7, 0, 0});
        EXPECT_EQ(validate_im(im.data(), 20, 20), 0);
    }
}

// ---- peak lists ---------------------------------------------------------------------

TEST(HostilePeaks, DuplicateAndOverlappingPeaksAreFittedIndependently) {
    const std::vector<double> im = spot_image(30, 30, 15.3, 14.6);
    Batch b({{15, 14}, {15, 14}, {16, 14}, {15, 15}, {15, 14}});
    EXPECT_EQ(b.run(im, 30, 30), 0);
    for (size_t i = 0; i < 5; i++) {
        Batch solo({{b.cx[i], b.cy[i]}});
        solo.run(im, 30, 30);
        EXPECT_EQ(b.fails[i], solo.fails[0]);
        EXPECT_TRUE(same_bits(b.rec(i), solo.rec(0), 10)) << i;
        EXPECT_TRUE(same_bits(b.err(i), solo.err(0), 10)) << i;
    }
    EXPECT_TRUE(same_bits(b.rec(0), b.rec(4), 10));
}

TEST(HostilePeaks, EmptyAndNegativeCountsTouchNothing) {
    // Null arrays everywhere, and an even side: nothing may be read or checked.
    for (Sint64 n : {Sint64{0}, Sint64{-1}, Sint64{-1000}, kMin})
        EXPECT_EQ(fit_array_of_gauss_2d_on_float_image(nullptr, 30, 30, 10, n, nullptr, nullptr, nullptr,
                                                       nullptr, nullptr),
                  0)
            << n;
    std::vector<double> im(100, 5.0);
    EXPECT_EQ(synth_image(im.data(), 10, 10, 5, 0, nullptr), 0);
    for (double v : im) EXPECT_EQ(v, 5.0);
}
