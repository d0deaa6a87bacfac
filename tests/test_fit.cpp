// Patch fits and batch fits: windows, starting values, outcomes and records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "child_process.h"
#include "gauss2_fitter.h"
#include "gauss2_kernel.h"
#include "gauss_reference.h"
#include "heap_counter.h"
#include "small_stack.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Image {
    Sint64 w, h;
    std::vector<double> px;
    Image(Sint64 w_, Sint64 h_, double fill = 100.0) : w(w_), h(h_), px(static_cast<size_t>(w_ * h_), fill) {}
    double &at(Sint64 x, Sint64 y) { return px[static_cast<size_t>(y * w + x)]; }
    // Adds a Gaussian given in image coordinates, sampled at pixel centres.
    void add_spot(const Params &p) {
        for (Sint64 y = 0; y < h; y++)
            for (Sint64 x = 0; x < w; x++) {
                Params q = p;
                q[3] -= static_cast<double>(x);
                q[4] -= static_cast<double>(y);
                q[6] = 0.0;
                at(x, y) += static_cast<double>(ref_pixel(q, 0, 0).value);
            }
    }
};

struct Report {
    double params[7] = {0.0, 1.5, 1.5, 5.5, 5.5, 0.0, 0.0};
    double info[10];
    double covar[49];
    double noise = -1.0;
    Report() {
        std::fill(std::begin(info), std::end(info), -3.0);
        std::fill(std::begin(covar), std::end(covar), -3.0);
    }
};

int fit_at(Image &im, Sint64 cx, Sint64 cy, Sint64 mea, Report &r) {
    return fit_gauss_2d_on_float_image(im.px.data(), im.w, im.h, cx, cy, mea, r.params, r.info, r.covar,
                                       &r.noise);
}

bool untouched(const Report &r) {
    const Report fresh;
    return std::memcmp(r.params, fresh.params, sizeof r.params) == 0 &&
           std::memcmp(r.info, fresh.info, sizeof r.info) == 0 &&
           std::memcmp(r.covar, fresh.covar, sizeof r.covar) == 0 && r.noise == -1.0;
}

// Runs with the solver's stopping threshold on the error raised so far that
// every fit stops at its starting values: shows what the fit started from.
struct StopAtStart {
    double saved = dlevmar_opts[3];
    StopAtStart() { dlevmar_opts[3] = 1e300; }
    ~StopAtStart() { dlevmar_opts[3] = saved; }
};

}  // namespace

TEST(PatchFit, WindowInsideUpToEveryBorder) {
    Image im(100, 80);
    im.add_spot({800, 1.2, 1.4, 50.3, 40.6, 0.1, 0});
    Report r;
    EXPECT_EQ(fit_at(im, 5, 5, 11, r), 0);  // rows and columns 0..10
    for (auto [cx, cy] :
         {std::pair<Sint64, Sint64>{4, 5}, {5, 4}, {im.w - 5, 40}, {50, im.h - 5}, {-1, 40}}) {
        Report outside;
        EXPECT_EQ(fit_at(im, cx, cy, 11, outside), -2) << cx << "," << cy;
        EXPECT_TRUE(untouched(outside));
    }
    Report last_col, last_row;
    EXPECT_EQ(fit_at(im, im.w - 6, 40, 11, last_col), 0);
    EXPECT_EQ(fit_at(im, 50, im.h - 6, 11, last_row), 0);
}

TEST(PatchFit, FarAwayCentresAreOutsideAndNothingIsRead) {
    const Sint64 far[] = {(Sint64{1} << 32) + 20, (Sint64{1} << 32) - 20, std::numeric_limits<Sint64>::max(),
                          std::numeric_limits<Sint64>::min(), -(Sint64{1} << 32) + 5};
    for (Sint64 c : far) {
        Report r;
        // A null image: any read would crash.
        EXPECT_EQ(
            fit_gauss_2d_on_float_image(nullptr, 100, 100, c, 50, 11, r.params, r.info, r.covar, &r.noise),
            -2);
        EXPECT_EQ(
            fit_gauss_2d_on_float_image(nullptr, 100, 100, 50, c, 11, r.params, r.info, r.covar, &r.noise),
            -2);
        EXPECT_TRUE(untouched(r));
    }
    Report r;  // image sizes that are no image at all
    EXPECT_EQ(fit_gauss_2d_on_float_image(nullptr, 0, 0, 5, 5, 11, r.params, r.info, r.covar, &r.noise), -2);
    EXPECT_EQ(fit_gauss_2d_on_float_image(nullptr, -7, 100, 5, 5, 11, r.params, r.info, r.covar, &r.noise),
              -2);
}

TEST(PatchFit, BrokenContractsEndTheProcess) {
    Image im(50, 50);
    Report r;
    EXPECT_EXIT(fit_at(im, 25, 25, 10, r), testing::ExitedWithCode(1), "^Mea must be odd\n$");
    EXPECT_EXIT(fit_at(im, 25, 25, -4, r), testing::ExitedWithCode(1), "^Mea must be odd\n$");
    EXPECT_EXIT(fit_at(im, 25, 25, -3, r), testing::ExitedWithCode(1), "^size mismatch\n$");
    EXPECT_EXIT(fit_at(im, 25, 25, 65, r), testing::ExitedWithCode(1),
                "^Mea too large: 65 \\(at most 63\\)\n$");
    EXPECT_EXIT(fit_at(im, 25, 25, (Sint64{1} << 32) + 1, r), testing::ExitedWithCode(1), "^Mea too large");
}

// mea = -1 halves to 0: the window is the peak pixel alone, which sets the
// starting offset and which the solver refuses (one measurement for seven
// parameters). Below -1 the window's side, 2 (mea / 2) + 1, no longer
// squares to mea^2: "size mismatch", but only once the window is inside.
TEST(PatchFit, MinusOneCutsOnePixelThatTheSolverRefuses) {
    Image im(30, 30, 2.0);
    im.at(15, 14) = 9.0;
    Report one;
    EXPECT_EQ(fit_at(im, 15, 14, -1, one), -1);
    EXPECT_EQ(one.noise, 0.0);
    EXPECT_EQ(one.params[6], 9.0);
    EXPECT_EQ(one.params[0], 0.0);  // the range of one pixel: an amplitude of 0
    const Report fresh;
    EXPECT_EQ(std::memcmp(one.info, fresh.info, sizeof one.info), 0);  // the solver wrote nothing
    EXPECT_EQ(std::memcmp(one.covar, fresh.covar, sizeof one.covar), 0);
    Report corner;
    EXPECT_EQ(fit_at(im, 29, 29, -1, corner), -1);
    Report outside, reversed;
    EXPECT_EQ(fit_at(im, 30, 5, -1, outside), -2);
    EXPECT_TRUE(untouched(outside));
    EXPECT_EQ(fit_at(im, 31, 5, -3, reversed), -2);  // columns 32 down to 30: outside, so no size check
    EXPECT_TRUE(untouched(reversed));
    EXPECT_EXIT(fit_at(im, 30, 5, -3, reversed), testing::ExitedWithCode(1), "^size mismatch\n$");
}

TEST(PatchFit, LargestPatchFits) {
    Image im(70, 70);
    im.add_spot({5000, 4.0, 5.0, 35.5, 35.5, 0.2, 0});
    Report r;
    r.params[1] = r.params[2] = 4.5;
    r.params[3] = r.params[4] = 31.5;
    EXPECT_EQ(fit_at(im, 35, 35, 63, r), 0);
    EXPECT_NEAR(r.params[3], 31.5 + 0.5 - 0.5, 1e-6);  // the spot sits on the window's middle pixel centre
    EXPECT_NEAR(r.params[0], 5000, 1e-5);
}

// fit_gauss_2d takes any side: above GAUSS2_MAX_MEA its working memory is one
// block from the heap for the call, returned before it ends. Beyond 46340
// the pixel count no longer fits the solver's 32-bit count: refused.
TEST(PatchFit, DirectFitAboveTheStackBoundTakesHeapMemory) {
    for (int mea : {GAUSS2_MAX_MEA, GAUSS2_MAX_MEA + 1, 100}) {
        SCOPED_TRACE(mea);
        Params truth{9000, 2.2, 1.7, mea / 2.0 + 0.3, mea / 2.0 - 0.4, 0.2, 50};
        std::vector<double> patch(static_cast<size_t>(mea) * mea);
        gauss_2d(truth.data(), patch.data(), 7, mea * mea, nullptr);
        double p[7] = {7000, 1.5, 1.5, mea / 2.0, mea / 2.0, 0.0, 45}, info[10], covar[49];
        const long before = heap_calls();
        ASSERT_EQ(fit_gauss_2d(patch.data(), mea, p, info, covar), 0);
        EXPECT_EQ(heap_calls() - before, mea > GAUSS2_MAX_MEA && kMallocCounted ? 1 : 0);
        for (int k = 0; k < 7; k++)
            EXPECT_NEAR(p[k], truth[k], 1e-8 * std::max(1.0, std::fabs(truth[k]))) << k;
    }
    for (Sint64 mea : {Sint64{46341}, Sint64{1} << 32, std::numeric_limits<Sint64>::max()}) {
        Report r;  // a null patch: any read would crash
        EXPECT_EQ(fit_gauss_2d(nullptr, mea, r.params, r.info, r.covar), -1) << mea;
        EXPECT_TRUE(untouched(r));
    }
}

TEST(PatchFit, StartingValuesFromThePatch) {
    StopAtStart stop;
    Image im(30, 30, 2.0);
    im.at(15, 15) = 12.0;
    Report r;
    r.params[1] = 1.0;
    r.params[2] = 1.5;
    r.params[6] = 777.0;  // ignored: the offset starts at the minimum
    EXPECT_EQ(fit_at(im, 15, 15, 11, r), 0);
    EXPECT_EQ(r.info[6], 6.0);
    EXPECT_EQ(r.params[0], (12.0 - 2.0) * ((6.283185308 * 1.0) * 1.5));
    EXPECT_NEAR(r.params[0], 94.24777962, 1e-8);
    EXPECT_EQ(r.params[6], 2.0);

    Report given;
    given.params[0] = 3.5;
    EXPECT_EQ(fit_at(im, 15, 15, 11, given), 0);
    EXPECT_EQ(given.params[0], 3.5);
    EXPECT_EQ(given.params[6], 2.0);

    Image negative(30, 30, -4.0);
    negative.at(15, 15) = -1.0;
    Report neg;
    EXPECT_EQ(fit_at(negative, 15, 15, 11, neg), 0);
    EXPECT_EQ(neg.params[0], (0.0 - -4.0) * ((6.283185308 * 1.5) * 1.5));  // the maximum stays 0.0

    Image huge(30, 30, 3e10);
    Report big;
    EXPECT_EQ(fit_at(huge, 15, 15, 11, big), 0);
    EXPECT_EQ(big.params[6], 1e10);  // the minimum stays at its start
}

TEST(PatchFit, FlatPatchStopsBeforeTheFirstIteration) {
    Image im(30, 30, 7.25);
    Report r;
    EXPECT_EQ(fit_at(im, 15, 15, 11, r), 0);
    EXPECT_EQ(r.info[5], 0.0);
    EXPECT_EQ(r.info[6], 6.0);
    EXPECT_EQ(r.params[0], 0.0);
    EXPECT_EQ(r.params[6], 7.25);
    EXPECT_EQ(r.noise, 0.0);
    for (double c : r.covar) EXPECT_TRUE(std::isnan(c));  // no Jacobian was evaluated

    double patch[121];
    std::fill(std::begin(patch), std::end(patch), 7.25);
    Report direct;
    direct.params[0] = 0.0;
    direct.params[6] = 7.25;
    EXPECT_EQ(fit_gauss_2d(patch, 11, direct.params, direct.info, direct.covar), -1);
    EXPECT_EQ(direct.info[6], 6.0);
}

TEST(PatchFit, SolverRefusalsAndInvalidValues) {
    Image im(30, 30);
    im.add_spot({500, 1.3, 1.3, 15.5, 15.5, 0, 0});
    Report one;
    one.params[3] = one.params[4] = 0.5;
    EXPECT_EQ(fit_at(im, 15, 15, 1, one), -1);  // one measurement for seven parameters
    EXPECT_EQ(one.noise, 0.0);

    im.at(14, 16) = kNaN;
    Report nan_pixel;
    EXPECT_EQ(fit_at(im, 15, 15, 11, nan_pixel), -1);
    EXPECT_EQ(nan_pixel.info[6], 7.0);
    EXPECT_EQ(nan_pixel.noise, 0.0);

    double patch[25] = {};
    Report tiny;
    EXPECT_EQ(fit_gauss_2d(patch, 0, tiny.params, tiny.info, tiny.covar), -1);
    EXPECT_EQ(fit_gauss_2d(patch, -5, tiny.params, tiny.info, tiny.covar), -1);
    EXPECT_EQ(fit_gauss_2d(patch, 2, tiny.params, tiny.info, tiny.covar), -1);
    EXPECT_TRUE(untouched(tiny));
}

TEST(PatchFit, NoiseIsRootOfSummedSquaredDeviations) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> N(0.0, 3.0);
    Image im(40, 40);
    im.add_spot({2000, 1.4, 1.1, 20.2, 19.7, 0.2, 0});
    for (double &v : im.px) v += N(rng);
    Report r;
    ASSERT_EQ(fit_at(im, 20, 19, 11, r), 0);
    double model[121];
    gauss_2d(r.params, model, 7, 121, nullptr);
    std::vector<double> d;
    for (int i = 0; i < 11; i++)
        for (int j = 0; j < 11; j++) d.push_back(im.at(15 + j, 14 + i) - model[i * 11 + j]);
    double mean = 0, var = 0;
    for (double v : d) mean += v / 121;
    for (double v : d) var += (v - mean) * (v - mean) / 121;
    EXPECT_NEAR(r.noise, 11.0 * std::sqrt(var), 1e-9 * r.noise);  // sqrt(n) times the population sigma
    EXPECT_NEAR(r.noise / 11.0, 3.0, 0.6);
}

TEST(PatchFit, RecoversNoiseFreeSpots) {
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    double worst = 0.0;
    for (int trial = 0; trial < 200; trial++) {
        const int mea = 7 + 2 * (trial % 5);
        const Params truth{200 + 5000 * U(rng),      0.9 + 1.2 * U(rng),       0.9 + 1.2 * U(rng),
                           mea / 2.0 + U(rng) - 0.5, mea / 2.0 + U(rng) - 0.5, 0.6 * U(rng) - 0.3,
                           50 + 100 * U(rng)};
        double patch[15 * 15];
        Params t = truth;
        gauss_2d(t.data(), patch, 7, mea * mea, nullptr);
        double p[7] = {truth[0] * 1.2, 1.5, 1.5, mea / 2.0, mea / 2.0, 0.0, truth[6] - 5};
        double info[10], covar[49];
        ASSERT_EQ(fit_gauss_2d(patch, mea, p, info, covar), 0) << trial;
        for (int k = 0; k < 7; k++)
            worst = std::max(worst, std::fabs(p[k] - truth[k]) / std::max(1.0, std::fabs(truth[k])));
    }
    EXPECT_LT(worst, 1e-8);
}

TEST(PatchFit, FusedKernelMatchesModelAndJacobian) {
    std::mt19937_64 rng(9);
    for (int trial = 0; trial < 200; trial++) {
        const int s = 3 + 2 * (trial % 8);
        Params p = random_params(rng, s);
        std::vector<double> x(s * s), f(s * s), J(7 * s * s);
        for (int k = 0; k < s * s; k++) x[k] = 100.0 + (k * 37 % 11);
        std::vector<double> memory(gauss2::workspace_doubles(s) + 8);
        double *aligned = memory.data() + (-reinterpret_cast<std::uintptr_t>(memory.data()) / 8 % 8);
        gauss2::PatchProblem problem(x.data(), s, s, gauss2::Workspace(aligned, s));
        const double E = problem.trial(p.data());
        problem.accept();
        lm::Matrix<7> A;
        lm::Vector<7> g;
        problem.normal_equations(p.data(), A, g);

        gauss_2d(p.data(), f.data(), 7, s * s, nullptr);
        jac_gauss_2d(p.data(), J.data(), 7, s * s, nullptr);
        double E_ref = 0;
        for (int k = 0; k < s * s; k++) E_ref += (x[k] - f[k]) * (x[k] - f[k]);
        EXPECT_NEAR(E, E_ref, 1e-12 * E_ref);
        for (int a = 0; a < 7; a++) {
            double ga = 0, gscale = 0;
            for (int k = 0; k < s * s; k++) {
                ga += J[k * 7 + a] * (x[k] - f[k]);
                gscale += std::fabs(J[k * 7 + a] * (x[k] - f[k]));
            }
            EXPECT_NEAR(g[a], ga, 1e-11 * gscale) << trial << " " << a;
            for (int b = 0; b < 7; b++) {
                double ab = 0, scale = 0;
                for (int k = 0; k < s * s; k++) {
                    ab += J[k * 7 + a] * J[k * 7 + b];
                    scale += std::fabs(J[k * 7 + a] * J[k * 7 + b]);
                }
                EXPECT_NEAR(A(a, b), ab, 1e-11 * scale) << trial << " " << a << "," << b;
            }
        }
    }
}

// ---- batch -------------------------------------------------------------------

namespace {

struct Batch {
    std::vector<Sint64> cx, cy, fails;
    std::vector<double> params, std_params;
    explicit Batch(std::vector<std::pair<Sint64, Sint64>> peaks, int mea = 11) {
        for (auto [x, y] : peaks) {
            cx.push_back(x);
            cy.push_back(y);
            const double rec[10] = {0.0, 1.5, 1.5, mea / 2.0, mea / 2.0, 0.0, 0.0, 0.125, -9.0, 0.25};
            params.insert(params.end(), rec, rec + 10);
            const double err[10] = {-7, -7, -7, -7, -7, -7, -7, -7, -7, -7};
            std_params.insert(std_params.end(), err, err + 10);
            fails.push_back(-5);
        }
    }
    int run(Image &im, Sint64 mea = 11) {
        return fit_array_of_gauss_2d_on_float_image(im.px.data(), im.w, im.h, mea,
                                                    static_cast<Sint64>(cx.size()), cx.data(), cy.data(),
                                                    params.data(), std_params.data(), fails.data());
    }
    const double *rec(int i) const { return &params[10 * i]; }
    const double *err(int i) const { return &std_params[10 * i]; }
};

}  // namespace

TEST(BatchFit, NoPeaksTouchesNothing) {
    EXPECT_EQ(fit_array_of_gauss_2d_on_float_image(nullptr, 10, 10, 11, 0, nullptr, nullptr, nullptr, nullptr,
                                                   nullptr),
              0);
    EXPECT_EQ(fit_array_of_gauss_2d_on_float_image(nullptr, 10, 10, 10, -3, nullptr, nullptr, nullptr,
                                                   nullptr, nullptr),
              0);
}

TEST(BatchFit, RecordsOfFittedSkippedAndOutsidePeaks) {
    Image im(60, 60);
    im.add_spot({3000, 1.3, 1.6, 30.4, 29.8, 0.15, 0});
    Batch b({{30, 29}, {-1, 29}, {30, -4}, {0, 30}});
    const std::vector<double> before = b.params;
    EXPECT_EQ(b.run(im), 0);
    EXPECT_EQ(b.fails, (std::vector<Sint64>{0, 1, 1, 1}));
    EXPECT_NEAR(b.rec(0)[0], 3000, 1e-6);
    EXPECT_NEAR(b.rec(0)[3], 30.4 - 25, 1e-8);  // the window starts at column 25
    EXPECT_NEAR(b.rec(0)[4], 29.8 - 24, 1e-8);
    EXPECT_GT(b.err(0)[0], 0.0);
    EXPECT_GE(b.rec(0)[8], 0.0);
    EXPECT_LT(b.rec(0)[8], 1e-6);  // noise-free spot
    for (int i : {1, 2})           // skipped: both records exactly as they were
        for (int k = 0; k < 10; k++) {
            EXPECT_EQ(b.rec(i)[k], before[10 * i + k]);
            EXPECT_EQ(b.err(i)[k], -7.0);
        }
    for (int k = 0; k < 7; k++) {  // outside: start kept, noise 0, no errors
        EXPECT_EQ(b.rec(3)[k], before[30 + k]);
        EXPECT_TRUE(std::isnan(b.err(3)[k]));
    }
    EXPECT_EQ(b.rec(3)[8], 0.0);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(b.rec(i)[7], 0.125);
        EXPECT_EQ(b.rec(i)[9], 0.25);
        for (int k = 7; k < 10; k++) EXPECT_EQ(b.err(i)[k], -7.0);
    }
}

TEST(BatchFit, PeaksWithoutAFitNeverShowAnotherPeaksErrors) {
    Image im(60, 60);
    im.add_spot({3000, 1.3, 1.6, 30.4, 29.8, 0.15, 0});
    Batch b({{30, 29}, {59, 30}, {30, 29}});
    b.run(im);
    EXPECT_EQ(b.fails, (std::vector<Sint64>{0, 1, 0}));
    for (int k = 0; k < 7; k++) {
        EXPECT_TRUE(std::isnan(b.err(1)[k]));
        EXPECT_EQ(b.err(2)[k], b.err(0)[k]);
    }
    Batch single({{30, 29}, {31, 29}}, 1);
    single.run(im, 1);  // the solver refuses one pixel
    EXPECT_EQ(single.fails, (std::vector<Sint64>{1, 1}));
    for (int i = 0; i < 2; i++)
        for (int k = 0; k < 7; k++) EXPECT_TRUE(std::isnan(single.err(i)[k]));
}

TEST(BatchFit, IterationLimitIsFlaggedButKeepsTheFit) {
    // A straight ridge along x: the fit widens std_x without end and creeps
    // until the iteration limit stops it.
    Image im(41, 41);
    for (Sint64 y = 0; y < im.h; y++)
        for (Sint64 x = 0; x < im.w; x++)
            im.at(x, y) = 100.0 + 50.0 * std::exp(-(y - 20.0) * (y - 20.0) / 2.0);
    Batch b({{20, 20}});
    b.run(im);
    Report r;
    EXPECT_EQ(fit_at(im, 20, 20, 11, r), 0);
    EXPECT_EQ(r.info[6], 3.0);
    EXPECT_EQ(r.info[5], 75.0);
    EXPECT_EQ(b.fails[0], 1);
    for (int k = 0; k < 7; k++) EXPECT_EQ(b.rec(0)[k], r.params[k]);
    EXPECT_EQ(b.rec(0)[8], r.noise);
    for (int k = 0; k < 7; k++) EXPECT_EQ(b.err(0)[k], std::sqrt(r.covar[k * 8]));
}

TEST(BatchFit, FlatAndNaNPatches) {
    Image im(60, 60, 4.5);
    im.at(45, 45) = kNaN;
    Batch b({{20, 20}, {44, 46}});
    b.run(im);
    EXPECT_EQ(b.fails[0], 0);
    EXPECT_EQ(b.rec(0)[0], 0.0);
    EXPECT_EQ(b.rec(0)[6], 4.5);
    EXPECT_EQ(b.rec(0)[8], 0.0);
    EXPECT_EQ(b.fails[1], 1);
    EXPECT_EQ(b.rec(1)[8], 0.0);
}

TEST(BatchFit, EvenMeaIsFatalOnlyWhenAPeakIsFitted) {
    Image im(30, 30);
    Batch skipped({{-1, 5}, {5, -1}});
    EXPECT_EQ(skipped.run(im, 10), 0);
    EXPECT_EQ(skipped.fails, (std::vector<Sint64>{1, 1}));
    Batch one({{-1, 5}, {15, 15}});
    EXPECT_EXIT(one.run(im, 10), testing::ExitedWithCode(1), "^Mea must be odd\n$");
}

TEST(BatchFit, AllocatesNothing) {
    Image im(200, 200);
    std::mt19937_64 rng(5);
    std::normal_distribution<double> N(0.0, 5.0);
    std::vector<std::pair<Sint64, Sint64>> peaks;
    for (Sint64 y = 20; y < 190; y += 20)
        for (Sint64 x = 20; x < 190; x += 20) {
            im.add_spot({4000, 1.4, 1.2, x + 0.3, y + 0.6, 0.1, 0});
            peaks.push_back({x, y});
        }
    for (double &v : im.px) v += N(rng);
    peaks.push_back({-1, 3});   // skipped
    peaks.push_back({199, 5});  // window outside
    Batch small(peaks), large(peaks, 21);
    const long before = heap_calls();
    small.run(im);
    large.run(im, 21);  // the larger patch buffers
    EXPECT_EQ(heap_calls() - before, 0);
    EXPECT_EQ(small.fails[0], 0);
    EXPECT_EQ(large.fails[0], 0);
}

// ---- stack -------------------------------------------------------------------

namespace {

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

// A fit reserves its working memory on the stack by the size class of its
// side, plus a fixed amount (gauss2::fit_stack_bytes), so its stack grows
// with mea^2. Each side runs on a thread with just that much stack beyond
// what the thread's own start takes, and gets the bits of an ordinary
// thread. mea 17 runs within 64 KiB, the largest side within 128 KiB (musl's
// default thread stack), and a direct fit above the bound within the fixed
// amount, its working memory being on the heap.
TEST(FitStack, FollowsMeaWithinItsBound) {
    const long start = run_on_small_stack(64 * 1024, [] { return true; }).used;
    ASSERT_GT(start, 0);
    Image im(80, 80);
    im.add_spot({3000, 1.3, 1.6, 40.4, 39.8, 0.15, 0});
    for (int mea : {3, 11, 15, 17, 21, 31, 33, 45, GAUSS2_MAX_MEA}) {
        SCOPED_TRACE(mea);
        Batch expected({{40, 39}}, mea);
        expected.run(im, mea);
        const long bound = start + gauss2::fit_stack_bytes(mea);
        const StackRun run = run_on_small_stack(kOptimisedFrames ? bound : 4 * bound, [&] {
            Batch b({{40, 39}}, mea);
            b.run(im, mea);
            return same_bits(b.params, expected.params) && same_bits(b.std_params, expected.std_params) &&
                   b.fails == expected.fails;
        });
        EXPECT_TRUE(run.completed);
        if (kOptimisedFrames) {
            EXPECT_LE(run.used, bound);
        }
        EXPECT_GT(run.used, start + gauss2::stack_workspace_bytes(mea) / 2);  // the working memory is there
    }
    const int big = 2 * GAUSS2_MAX_MEA + 1;
    std::vector<double> patch(big * big);
    Params spot{9000, 2.2, 1.7, big / 2.0, big / 2.0, 0.2, 50};
    gauss_2d(spot.data(), patch.data(), 7, big * big, nullptr);
    const long heap_bound = start + gauss2::kFitStackOverhead;
    const StackRun direct = run_on_small_stack(kOptimisedFrames ? heap_bound : 4 * heap_bound, [&] {
        double p[7] = {7000, 1.5, 1.5, big / 2.0, big / 2.0, 0.0, 45}, info[10], covar[49];
        return fit_gauss_2d(patch.data(), big, p, info, covar) == 0 && std::fabs(p[3] - spot[3]) < 1e-8;
    });
    EXPECT_TRUE(direct.completed);
    if (kOptimisedFrames) {
        EXPECT_LE(direct.used, heap_bound);
        EXPECT_LE(start + gauss2::fit_stack_bytes(17), 64 * 1024);
        EXPECT_LE(start + gauss2::fit_stack_bytes(GAUSS2_MAX_MEA), 128 * 1024);
    }
}
