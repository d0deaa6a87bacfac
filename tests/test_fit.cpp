// Patch fits and batch fits: windows, starting values, outcomes and records,
// with what a careless host may pass through the raw C ABI (centres near
// +-2^63 and 2^32, empty and negative image sizes, even, unit, negative and
// huge sides, NaN and infinite pixels and starts, duplicate peaks, empty and
// negative peak counts): for each, the outcome the header promises, a code,
// a flag, or the end of the process through `ensure` with its message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "fit_harness.h"
#include "gauss2_fitter.h"
#include "gauss2_kernel.h"
#include "gauss2_mle.h"
#include "heap_counter.h"
#include "small_stack.h"

namespace {

// Runs with the solver's stopping threshold on the error raised so far that
// every fit stops at its starting values: shows what the fit started from.
struct StopAtStart {
    double saved = dlevmar_opts[3];
    StopAtStart() { dlevmar_opts[3] = 1e300; }
    ~StopAtStart() { dlevmar_opts[3] = saved; }
    StopAtStart(const StopAtStart &) = delete;
    StopAtStart &operator=(const StopAtStart &) = delete;
};

}  // namespace

// ---- patch fit: the window ----------------------------------------------------

TEST(PatchFit, WindowInsideUpToEveryBorder) {
    Image im(100, 80, 100.0);
    im.add_spot({800, 1.2, 1.4, 50.3, 40.6, 0.1, 0});
    EXPECT_EQ(PatchFit().on(im, 5, 5, 11).result, 0);  // rows and columns 0..10
    for (auto [cx, cy] :
         {std::pair<Sint64, Sint64>{4, 5}, {5, 4}, {im.w - 5, 40}, {50, im.h - 5}, {-1, 40}}) {
        PatchFit outside;
        EXPECT_EQ(outside.on(im, cx, cy, 11).result, -2) << cx << "," << cy;
        EXPECT_TRUE(outside.untouched());
    }
    EXPECT_EQ(PatchFit().on(im, im.w - 6, 40, 11).result, 0);
    EXPECT_EQ(PatchFit().on(im, 50, im.h - 6, 11).result, 0);
    // Windows larger than the image are outside wherever they are centred.
    const Image small = spot_image(30, 30, 15.3, 14.6);
    for (Sint64 mea : {Sint64{31}, Sint64{GAUSS2_MAX_MEA}}) {
        PatchFit f;
        EXPECT_EQ(f.on(small, 15, 14, mea).result, -2) << mea;
        EXPECT_TRUE(f.untouched()) << mea;
    }
}

TEST(PatchFit, FarCentresAndEmptyImagesAreOutsideAndNothingIsRead) {
    // A null image: any read would crash. 2^32 + 15 would land on pixel 15
    // if any step truncated to 32 bits.
    const Sint64 far[] = {kMaxIndex,     kMaxIndex - 5, k2p32,           k2p32 + 15,      k2p32 + 20,
                          k2p32 - 1,     k2p32 - 20,    Sint64{1} << 31, Sint64{1} << 62, kMinIndex,
                          kMinIndex + 5, -k2p32,        -k2p32 + 5,      -k2p32 + 15,     -1};
    for (Sint64 c : far)
        for (auto [cx, cy] : {std::pair<Sint64, Sint64>{c, 14}, {15, c}, {c, c}}) {
            PatchFit f;
            EXPECT_EQ(f.on(nullptr, 30, 30, cx, cy).result, -2) << cx << "," << cy;
            EXPECT_TRUE(f.untouched()) << cx << "," << cy;
        }
    // Claimed sizes with no pixels at all.
    const Sint64 sizes[][2] = {{0, 0},         {0, 30},        {30, 0},         {-1, 30},
                               {30, -1},       {-7, 100},      {-30, -30},      {kMinIndex, kMinIndex},
                               {kMaxIndex, 0}, {0, kMaxIndex}, {kMaxIndex, -1}, {-k2p32, k2p32}};
    for (const auto &sz : sizes) {
        PatchFit f;
        EXPECT_EQ(f.on(nullptr, sz[0], sz[1], 5, 5).result, -2) << sz[0] << "x" << sz[1];
        EXPECT_TRUE(f.untouched()) << sz[0] << "x" << sz[1];
    }
}

TEST(PatchFit, BrokenContractsEndTheProcess) {
    const Image im = spot_image(50, 50, 25.3, 24.6);
    for (Sint64 mea : {Sint64{10}, Sint64{0}, Sint64{-2}, Sint64{-4}, kMinIndex, k2p32})
        EXPECT_EXIT(PatchFit().on(im, 25, 25, mea), testing::ExitedWithCode(1), "^Mea must be odd\n$") << mea;
    for (Sint64 mea : {Sint64{-3}, kMinIndex + 1})  // -1 cuts one pixel (below)
        EXPECT_EXIT(PatchFit().on(im, 25, 25, mea), testing::ExitedWithCode(1), "^size mismatch\n$") << mea;
    EXPECT_EXIT(PatchFit().on(im, 25, 25, 65), testing::ExitedWithCode(1),
                "^Mea too large: 65 \\(at most 63\\)\n$");
    EXPECT_EXIT(PatchFit().on(im, 25, 25, k2p32 + 1), testing::ExitedWithCode(1),
                "^Mea too large: 4294967297 \\(at most 63\\)\n$");
    EXPECT_EXIT(PatchFit().on(im, 25, 25, kMaxIndex), testing::ExitedWithCode(1),
                "^Mea too large: 9223372036854775807 \\(at most 63\\)\n$");
    // The checks come before the window: an outside peak does not escape them.
    EXPECT_EXIT(PatchFit().on(im, kMaxIndex, kMaxIndex, 12), testing::ExitedWithCode(1),
                "^Mea must be odd\n$");
}

// mea = 1, and mea = -1, which halves to 0, cut the peak pixel alone: it
// sets the starting offset, and the solver refuses it (one measurement for
// seven parameters) before it writes its report. Below -1 the window's side,
// 2 (mea / 2) + 1, no longer squares to mea^2: "size mismatch", but only
// once the window is inside.
TEST(PatchFit, OnePixelWindowsAreRefusedByTheSolver) {
    Image im(30, 30, 2.0);
    im.at(15, 14) = 9.0;
    const PatchFit fresh;
    for (Sint64 mea : {Sint64{1}, Sint64{-1}}) {
        SCOPED_TRACE(mea);
        PatchFit one;
        one.params[3] = one.params[4] = 0.5;
        EXPECT_EQ(one.on(im, 15, 14, mea).result, -1);
        EXPECT_EQ(one.noise, 0.0);
        EXPECT_EQ(one.params[6], 9.0);
        EXPECT_EQ(one.params[0], 0.0);                     // the range of one pixel: an amplitude of 0
        EXPECT_TRUE(same_bits(one.info, fresh.info, 10));  // the solver wrote nothing
        EXPECT_TRUE(same_bits(one.covar, fresh.covar, 49));
        EXPECT_EQ(PatchFit().on(im, 29, 29, mea).result, -1);  // the corner
    }
    PatchFit outside, reversed;
    EXPECT_EQ(outside.on(im, 30, 5, -1).result, -2);
    EXPECT_TRUE(outside.untouched());
    EXPECT_EQ(reversed.on(im, 31, 5, -3).result, -2);  // columns 32 down to 30: outside, so no size check
    EXPECT_TRUE(reversed.untouched());
    EXPECT_EXIT(PatchFit().on(im, 30, 5, -3), testing::ExitedWithCode(1), "^size mismatch\n$");
}

TEST(PatchFit, LargestPatchFits) {
    Image im(70, 70, 100.0);
    im.add_spot({5000, 4.0, 5.0, 35.5, 35.5, 0.2, 0});
    PatchFit r;
    r.params[1] = r.params[2] = 4.5;
    r.params[3] = r.params[4] = 31.5;
    EXPECT_EQ(r.on(im, 35, 35, 63).result, 0);
    EXPECT_NEAR(r.params[3], 31.5 + 0.5 - 0.5, 1e-6);  // the spot sits on the window's middle pixel centre
    EXPECT_NEAR(r.params[0], 5000, 1e-5);
}

// ---- patch fit: fit_gauss_2d on the caller's patch ------------------------------

// Any side: even ones fit; fewer than seven pixels, or more than the
// solver's 32-bit count (beyond 46340), are refused without a read.
TEST(PatchFit, DirectFitTakesAnySide) {
    const std::vector<double> px(16, 100.0);
    for (Sint64 mea : {Sint64{0}, Sint64{-5}, kMinIndex, Sint64{1}, Sint64{2}}) {
        PatchFit f;
        EXPECT_EQ(f.pixels(px.data(), mea).result, -1) << mea;
        EXPECT_TRUE(f.untouched()) << mea;
    }
    const Image even = spot_image(4, 4, 2.1, 1.9);
    PatchFit e;
    const double start[7] = {2000, 1.4, 1.3, 2.0, 2.0, 0.0, 100.0};
    std::copy(start, start + 7, e.params);
    EXPECT_EQ(e.pixels(even.px.data(), 4).result, 0);
    EXPECT_NEAR(e.params[3], 2.1, 1e-6);
    for (Sint64 mea : {Sint64{46341}, k2p32, k2p32 + 1, kMaxIndex}) {  // a null patch: any read would crash
        PatchFit f;
        EXPECT_EQ(f.pixels(nullptr, mea).result, -1) << mea;
        EXPECT_TRUE(f.untouched()) << mea;
    }
}

// Above GAUSS2_MAX_MEA the working memory is one block from the heap for
// the call, returned before it ends.
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
}

// ---- patch fit: starting values --------------------------------------------------

TEST(PatchFit, StartingValuesFromThePatch) {
    StopAtStart stop;
    Image im(30, 30, 2.0);
    im.at(15, 15) = 12.0;
    PatchFit r;
    r.params[1] = 1.0;
    r.params[2] = 1.5;
    r.params[6] = 777.0;  // ignored: the offset starts at the minimum
    EXPECT_EQ(r.on(im, 15, 15, 11).result, 0);
    EXPECT_EQ(r.info[6], 6.0);
    EXPECT_EQ(r.params[0], (12.0 - 2.0) * ((6.283185308 * 1.0) * 1.5));
    EXPECT_NEAR(r.params[0], 94.24777962, 1e-8);
    EXPECT_EQ(r.params[6], 2.0);

    PatchFit given;
    given.params[0] = 3.5;
    EXPECT_EQ(given.on(im, 15, 15, 11).result, 0);
    EXPECT_EQ(given.params[0], 3.5);
    EXPECT_EQ(given.params[6], 2.0);

    Image negative(30, 30, -4.0);
    negative.at(15, 15) = -1.0;
    PatchFit neg;
    EXPECT_EQ(neg.on(negative, 15, 15, 11).result, 0);
    EXPECT_EQ(neg.params[0], (0.0 - -4.0) * ((6.283185308 * 1.5) * 1.5));  // the maximum stays 0.0

    const Image huge(30, 30, 3e10);
    PatchFit big;
    EXPECT_EQ(big.on(huge, 15, 15, 11).result, 0);
    EXPECT_EQ(big.params[6], 1e10);  // the minimum stays at its start
}

TEST(PatchFit, StartsOutsideTheModelsDomainFailTheFit) {
    const Image im = spot_image(30, 30, 15.3, 14.6);
    struct Start {
        int k;
        double v;
    };
    const Start bad[] = {{0, kNaN}, {0, kInf}, {0, -kInf}, {0, 1e300}, {1, 0.0},  {1, kNaN}, {2, kInf},
                         {3, kNaN}, {3, kInf}, {4, -kInf}, {5, 1.0},   {5, -1.0}, {5, 2.0},  {5, kNaN}};
    for (const Start &s : bad) {
        PatchFit f;
        f.params[s.k] = s.v;
        EXPECT_EQ(f.on(im, 15, 14).result, -1) << s.k << "=" << s.v;
        EXPECT_EQ(f.info[6], 7.0) << s.k << "=" << s.v;
        EXPECT_EQ(f.noise, 0.0);
        Batch b({{15, 14}});
        b.params[s.k] = s.v;
        b.run(im);
        EXPECT_EQ(b.flags[0], 1) << s.k << "=" << s.v;
    }
}

TEST(PatchFit, StartsThatTheFitSurvives) {
    const Image im = spot_image(30, 30, 15.3, 14.6);
    PatchFit nan_offset;  // the offset always starts at the window minimum
    nan_offset.params[6] = kNaN;
    EXPECT_EQ(nan_offset.on(im, 15, 14).result, 0);
    EXPECT_NEAR(nan_offset.params[3], 15.3 - 10, 1e-6);
    PatchFit negative_width;  // widths keep their signs: the fit finds the mirror solution
    negative_width.params[1] = -1.5;
    EXPECT_EQ(negative_width.on(im, 15, 14).result, 0);
    EXPECT_NEAR(std::fabs(negative_width.params[1]), 1.5, 1e-6);
    // A start far off the patch sees a flat model that no step can move: the
    // solver stops at once without an error, so the peak is not flagged.
    Batch far({{15, 14}}, 1e300);
    far.run(im);
    EXPECT_EQ(far.flags[0], 0);
    EXPECT_EQ(far.rec(0)[3], 1e300);
    EXPECT_GT(far.rec(0)[8], 0.0);  // the residual noise shows that nothing was fitted
}

// ---- patch fit: outcomes ------------------------------------------------------------

TEST(PatchFit, FlatPatchStopsBeforeTheFirstIteration) {
    const Image im(30, 30, 7.25);
    PatchFit r;
    EXPECT_EQ(r.on(im, 15, 15, 11).result, 0);
    EXPECT_EQ(r.info[5], 0.0);
    EXPECT_EQ(r.info[6], 6.0);
    EXPECT_EQ(r.params[0], 0.0);
    EXPECT_EQ(r.params[6], 7.25);
    EXPECT_EQ(r.noise, 0.0);
    for (double c : r.covar) EXPECT_TRUE(std::isnan(c));  // no Jacobian was evaluated

    const std::vector<double> patch(121, 7.25);
    PatchFit direct;
    direct.params[6] = 7.25;
    EXPECT_EQ(direct.pixels(patch.data(), 11).result, -1);
    EXPECT_EQ(direct.info[6], 6.0);
}

TEST(PatchFit, NonFiniteOrHugePixelsInTheWindowFailTheFit) {
    const Image clean = spot_image(30, 30, 15.3, 14.6);
    // Beyond about 1e154 the squared error overflows: as bad as infinity.
    for (double v : {kNaN, -kNaN, kInf, -kInf, 1e300, -1e300, 1e155}) {
        Image im = clean;
        im.at(18, 12) = v;  // inside the window of (15, 14)
        im.at(0, 0) = v;    // outside it
        PatchFit f;
        EXPECT_EQ(f.on(im, 15, 14).result, -1) << v;
        EXPECT_EQ(f.info[6], 7.0) << v;
        EXPECT_EQ(f.noise, 0.0) << v;
        Batch b({{15, 14}, {22, 22}}), clean_far({{22, 22}});
        EXPECT_EQ(b.run(im), 0);
        clean_far.run(clean);
        EXPECT_EQ(b.flags[0], 1) << v;
        EXPECT_EQ(b.rec(0)[8], 0.0);
        EXPECT_TRUE(same_bits(b.rec(1), clean_far.rec(0), 10)) << v;  // a window without them is unaffected
    }
    const Image all_inf(30, 30, kInf);
    EXPECT_EQ(PatchFit().on(all_inf, 15, 14).result, -1);
}

TEST(PatchFit, NoiseIsRootOfSummedSquaredDeviations) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> N(0.0, 3.0);
    Image im(40, 40, 100.0);
    im.add_spot({2000, 1.4, 1.1, 20.2, 19.7, 0.2, 0});
    for (double &v : im.px) v += N(rng);
    PatchFit r;
    ASSERT_EQ(r.on(im, 20, 19, 11).result, 0);
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

// Every kernel path this machine has (the default, AVX2, AVX-512 with its
// eight-lane layout), on every patch side up to 17 (rows and columns that
// fill their vectors and ones that do not).
TEST(PatchFit, FusedKernelMatchesModelAndJacobian) {
    std::mt19937_64 rng(9);
    for (int trial = 0; trial < 200; trial++) {
        const int s = 2 + trial % 16;
        const size_t n = static_cast<size_t>(s) * s;
        Params p = random_params(rng, s);
        std::vector<double> x(n), f(n), J(7 * n);
        for (size_t k = 0; k < n; k++) x[k] = 100.0 + static_cast<double>(k * 37 % 11);
        const gauss2::KernelPath path = trial % (gauss2::best_kernel_path() + 1);
        SCOPED_TRACE(gauss2::kernel_path_name(path));
        Eigen::Matrix<double, 7, 7, Eigen::RowMajor> A;
        lm::Vector<7> g;
        const double E = gauss2::least_squares_at(path, x.data(), s, s, p.data(), A.data(), g.data());

        gauss_2d(p.data(), f.data(), 7, s * s, nullptr);
        jac_gauss_2d(p.data(), J.data(), 7, s * s, nullptr);
        double E_ref = 0;
        for (size_t k = 0; k < n; k++) E_ref += (x[k] - f[k]) * (x[k] - f[k]);
        EXPECT_NEAR(E, E_ref, 1e-12 * E_ref);
        for (int a = 0; a < 7; a++) {
            double ga = 0, gscale = 0;
            for (size_t k = 0; k < n; k++) {
                ga += J[k * 7 + a] * (x[k] - f[k]);
                gscale += std::fabs(J[k * 7 + a] * (x[k] - f[k]));
            }
            EXPECT_NEAR(g[a], ga, 1e-11 * gscale) << trial << " " << a;
            for (int b = 0; b < 7; b++) {
                double ab = 0, scale = 0;
                for (size_t k = 0; k < n; k++) {
                    ab += J[k * 7 + a] * J[k * 7 + b];
                    scale += std::fabs(J[k * 7 + a] * J[k * 7 + b]);
                }
                EXPECT_NEAR(A(a, b), ab, 1e-11 * scale) << trial << " " << a << "," << b;
            }
        }
    }
}

// The kernel paths on whole fits: least squares (records, errors, flags,
// the report's stop reasons and iterations, photon-noise errors) and the
// maximum likelihood (records, bounds, flags, iterations), every odd side
// from 3 to 19 (an eight-row group that is full, one whose rows fit its
// lower four lanes, one that needs all eight): every path this machine runs
// gives the bits of the portable path.
TEST(KernelPaths, EveryPathGivesTheSameBits) {
    const gauss2::KernelPath best = gauss2::best_kernel_path(), saved = gauss2::kernel_path();
    if (best == gauss2::kDefaultPath) GTEST_SKIP() << "only the portable path on this machine";
    std::mt19937_64 rng(31);
    Image im(120, 120, 100.0);
    std::vector<std::pair<Sint64, Sint64>> peaks;
    for (Sint64 y = 15; y < 110; y += 24)
        for (Sint64 x = 15; x < 110; x += 24) {
            im.add_spot({4000.0 + 100.0 * static_cast<double>(x), 1.3, 1.6, static_cast<double>(x) + 0.3,
                         static_cast<double>(y) - 0.2, 0.2, 0.0});
            peaks.emplace_back(x, y);
        }
    peaks.emplace_back(118, 60);  // a window outside
    peaks.emplace_back(-1, 60);   // skipped
    im.add_photon_noise(rng, 2.0);
    const auto n = static_cast<Sint64>(peaks.size());
    struct Run {
        Batch lsq;
        std::vector<double> photon_std, mle, mle_std;
        std::vector<Sint64> reasons, iterations, mle_flags, mle_iterations;
    };
    for (Sint64 mea = 3; mea <= 19; mea += 2) {
        SCOPED_TRACE(mea);
        auto run_on = [&](gauss2::KernelPath path) {
            EXPECT_TRUE(gauss2::set_kernel_path(path));
            Run r{Batch(peaks, static_cast<double>(mea) / 2.0), {}, {}, {}, {}, {}, {}, {}};
            std::vector<Sint64> report_flags(peaks.size());
            r.reasons.assign(peaks.size(), -5), r.iterations.assign(peaks.size(), -5);
            fit_array_of_gauss_2d_on_float_image_report(
                im.data(), im.w, im.h, mea, n, r.lsq.cx.data(), r.lsq.cy.data(), r.lsq.params.data(),
                r.lsq.std_params.data(), report_flags.data(), r.reasons.data(), r.iterations.data());
            r.photon_std.assign(r.lsq.params.size(), kSentinel);
            photon_std_of_gauss_2d_records(im.w, im.h, mea, n, r.lsq.cx.data(), r.lsq.cy.data(), 4.0, nullptr,
                                           r.lsq.params.data(), r.photon_std.data());
            r.lsq.flags = report_flags;
            r.mle = Batch(peaks, static_cast<double>(mea) / 2.0).params, r.mle_std = r.mle;
            r.mle_flags.assign(peaks.size(), -5), r.mle_iterations.assign(peaks.size(), -5);
            fit_array_of_gauss_2d_mle_on_float_image(
                im.data(), im.w, im.h, mea, n, r.lsq.cx.data(), r.lsq.cy.data(), 4.0, nullptr, r.mle.data(),
                r.mle_std.data(), r.mle_flags.data(), r.mle_iterations.data());
            return r;
        };
        const Run portable = run_on(gauss2::kDefaultPath);
        if (mea >= 7) {  // windows that hold a spot: fits, not only failures, are compared
            EXPECT_EQ(portable.lsq.flags[0], GAUSS2_FLAG_GOOD);
            EXPECT_EQ(portable.mle_flags[0], GAUSS2_FLAG_GOOD);
        }
        for (gauss2::KernelPath path = 1; path <= best; path++) {
            SCOPED_TRACE(gauss2::kernel_path_name(path));
            const Run r = run_on(path);
            EXPECT_TRUE(r.lsq.same_as(portable.lsq));
            EXPECT_EQ(r.reasons, portable.reasons);
            EXPECT_EQ(r.iterations, portable.iterations);
            EXPECT_TRUE(same_bits(r.photon_std, portable.photon_std));
            EXPECT_TRUE(same_bits(r.mle, portable.mle));
            EXPECT_TRUE(same_bits(r.mle_std, portable.mle_std));
            EXPECT_EQ(r.mle_flags, portable.mle_flags);
            EXPECT_EQ(r.mle_iterations, portable.mle_iterations);
        }
    }
    gauss2::set_kernel_path(saved);
}

// ---- batch ---------------------------------------------------------------------

TEST(BatchFit, NoPeaksTouchesNothing) {
    // Null arrays everywhere, and an even side: nothing may be read or checked.
    for (Sint64 n : {Sint64{0}, Sint64{-1}, Sint64{-3}, Sint64{-1000}, kMinIndex})
        EXPECT_EQ(fit_array_of_gauss_2d_on_float_image(nullptr, 30, 30, 10, n, nullptr, nullptr, nullptr,
                                                       nullptr, nullptr),
                  0)
            << n;
}

TEST(BatchFit, RecordsOfFittedSkippedAndOutsidePeaks) {
    Image im(60, 60, 100.0);
    im.add_spot({3000, 1.3, 1.6, 30.4, 29.8, 0.15, 0});
    // Skipped: 1, 2, 7, 8 (a negative index); outside: 3 to 6, some far out.
    Batch b({{30, 29},
             {-1, 29},
             {30, -4},
             {0, 30},
             {kMaxIndex, 14},
             {15, k2p32 + 14},
             {k2p32 + 15, k2p32 + 14},
             {kMinIndex, 14},
             {15, -k2p32}});
    const std::vector<double> before = b.params;
    EXPECT_EQ(b.run(im), 0);
    EXPECT_EQ(b.flags, (std::vector<Sint64>{0, 1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_NEAR(b.rec(0)[0], 3000, 1e-6);
    EXPECT_NEAR(b.rec(0)[3], 30.4 - 25, 1e-8);  // the window starts at column 25
    EXPECT_NEAR(b.rec(0)[4], 29.8 - 24, 1e-8);
    EXPECT_GT(b.err(0)[0], 0.0);
    EXPECT_GE(b.rec(0)[8], 0.0);
    EXPECT_LT(b.rec(0)[8], 1e-6);    // noise-free spot
    for (size_t i : {1, 2, 7, 8}) {  // skipped: both records exactly as they were
        EXPECT_TRUE(same_bits(b.rec(i), &before[10 * i], 10)) << i;
        for (int k = 0; k < 10; k++) EXPECT_EQ(b.err(i)[k], kSentinel) << i;
    }
    for (size_t i : {3, 4, 5, 6}) EXPECT_TRUE(b.outside(i)) << i;  // start kept, noise 0, no errors
    for (size_t i = 0; i < b.flags.size(); i++) {
        EXPECT_EQ(b.rec(i)[7], 0.125);
        EXPECT_EQ(b.rec(i)[9], 0.25);
        for (int k = 7; k < 10; k++) EXPECT_EQ(b.err(i)[k], kSentinel);
    }
}

TEST(BatchFit, EmptyAndNegativeImagesAreNeverRead) {
    const Sint64 sizes[][2] = {{0, 0},
                               {0, 30},
                               {30, 0},
                               {-1, 30},
                               {30, -1},
                               {-30, -30},
                               {kMinIndex, kMinIndex},
                               {kMaxIndex, 0},
                               {0, kMaxIndex},
                               {kMaxIndex, -1},
                               {-k2p32, k2p32}};
    for (const auto &sz : sizes) {
        Batch b({{5, 5}, {0, 0}, {kMaxIndex, kMaxIndex}});
        EXPECT_EQ(b.run(nullptr, sz[0], sz[1]), 0);
        for (size_t i = 0; i < 3; i++) EXPECT_TRUE(b.outside(i)) << sz[0] << "x" << sz[1];
    }
}

TEST(BatchFit, PeaksWithoutAFitNeverShowAnotherPeaksErrors) {
    Image im(60, 60, 100.0);
    im.add_spot({3000, 1.3, 1.6, 30.4, 29.8, 0.15, 0});
    Batch b({{30, 29}, {59, 30}, {30, 29}});
    b.run(im);
    EXPECT_EQ(b.flags, (std::vector<Sint64>{0, 1, 0}));
    for (int k = 0; k < 7; k++) {
        EXPECT_TRUE(std::isnan(b.err(1)[k]));
        EXPECT_EQ(b.err(2)[k], b.err(0)[k]);
    }
    for (Sint64 mea : {Sint64{1}, Sint64{-1}}) {  // the solver refuses one pixel
        Batch single({{30, 29}, {31, 29}}, 0.5);
        EXPECT_EQ(single.run(im, mea), 0);
        EXPECT_EQ(single.flags, (std::vector<Sint64>{1, 1}));
        for (size_t i = 0; i < 2; i++) {
            EXPECT_EQ(single.rec(i)[8], 0.0);
            for (int k = 0; k < 7; k++) EXPECT_TRUE(std::isnan(single.err(i)[k])) << mea;
        }
    }
}

TEST(BatchFit, IterationLimitIsFlaggedButKeepsTheFit) {
    // A straight ridge along x: the fit widens std_x without end and creeps
    // until the iteration limit stops it.
    Image im(41, 41);
    for (Sint64 y = 0; y < im.h; y++)
        for (Sint64 x = 0; x < im.w; x++)
            im.at(x, y) = 100.0 + 50.0 * std::exp(-(static_cast<double>(y) - 20.0) *
                                                  (static_cast<double>(y) - 20.0) / 2.0);
    Batch b({{20, 20}});
    b.run(im);
    PatchFit r;
    EXPECT_EQ(r.on(im, 20, 20, 11).result, 0);
    EXPECT_EQ(r.info[6], 3.0);
    EXPECT_EQ(r.info[5], 75.0);
    EXPECT_EQ(b.flags[0], 1);
    for (int k = 0; k < 7; k++) EXPECT_EQ(b.rec(0)[k], r.params[k]);
    EXPECT_EQ(b.rec(0)[8], r.noise);
    for (int k = 0; k < 7; k++) EXPECT_EQ(b.err(0)[k], std::sqrt(r.covar[k * 8L]));
}

TEST(BatchFit, FlatPatchIsFittedAndNotFlagged) {
    const Image im(60, 60, 4.5);
    Batch b({{20, 20}});
    b.run(im);
    EXPECT_EQ(b.flags[0], 0);
    EXPECT_EQ(b.rec(0)[0], 0.0);
    EXPECT_EQ(b.rec(0)[6], 4.5);
    EXPECT_EQ(b.rec(0)[8], 0.0);
}

TEST(BatchFit, SideIsCheckedAtTheFirstFittedPeakOnly) {
    const Image im = spot_image(30, 30, 15.3, 14.6);
    for (Sint64 mea : {Sint64{10}, Sint64{-3}, Sint64{65}, kMaxIndex, kMinIndex}) {
        Batch skipped({{-1, 5}, {5, kMinIndex}});
        EXPECT_EQ(skipped.run(im, mea), 0) << mea;
        EXPECT_EQ(skipped.flags, (std::vector<Sint64>{1, 1}));
    }
    Batch one({{-1, 5}, {15, 14}});
    EXPECT_EXIT(one.run(im, 10), testing::ExitedWithCode(1), "^Mea must be odd\n$");
    EXPECT_EXIT(one.run(im, -3), testing::ExitedWithCode(1), "^size mismatch\n$");
    EXPECT_EXIT(one.run(im, 65), testing::ExitedWithCode(1), "^Mea too large: 65 \\(at most 63\\)\n$");
    // A peak whose window is outside is still a fitted peak for the checks.
    Batch outside({{kMaxIndex, kMaxIndex}});
    EXPECT_EXIT(outside.run(im, 64), testing::ExitedWithCode(1), "^Mea must be odd\n$");
}

TEST(BatchFit, DuplicateAndOverlappingPeaksAreFittedIndependently) {
    const Image im = spot_image(30, 30, 15.3, 14.6);
    Batch b({{15, 14}, {15, 14}, {16, 14}, {15, 15}, {15, 14}});
    EXPECT_EQ(b.run(im), 0);
    for (size_t i = 0; i < 5; i++) {
        Batch solo({{b.cx[i], b.cy[i]}});
        solo.run(im);
        EXPECT_EQ(b.flags[i], solo.flags[0]);
        EXPECT_TRUE(same_bits(b.rec(i), solo.rec(0), 10)) << i;
        EXPECT_TRUE(same_bits(b.err(i), solo.err(0), 10)) << i;
    }
    EXPECT_TRUE(same_bits(b.rec(0), b.rec(4), 10));
}

TEST(BatchFit, AllocatesNothing) {
    Image im(200, 200, 100.0);
    std::mt19937_64 rng(5);
    std::normal_distribution<double> N(0.0, 5.0);
    std::vector<std::pair<Sint64, Sint64>> peaks;
    for (Sint64 y = 20; y < 190; y += 20)
        for (Sint64 x = 20; x < 190; x += 20) {
            im.add_spot({4000, 1.4, 1.2, static_cast<double>(x) + 0.3, static_cast<double>(y) + 0.6, 0.1, 0});
            peaks.emplace_back(x, y);
        }
    for (double &v : im.px) v += N(rng);
    peaks.emplace_back(-1, 3);   // skipped
    peaks.emplace_back(199, 5);  // window outside
    Batch small(peaks), large(peaks, 10.5);
    const long before = heap_calls();
    small.run(im);
    large.run(im, 21);  // the larger patch buffers
    EXPECT_EQ(heap_calls() - before, 0);
    EXPECT_EQ(small.flags[0], 0);
    EXPECT_EQ(large.flags[0], 0);
}

// ---- stack -------------------------------------------------------------------------

// A fit reserves its working memory on the stack by the size class of its
// side, plus a fixed amount (gauss2::fit_stack_bytes), so its stack grows
// with mea^2. Each side runs on a thread with just that much stack beyond
// what the thread's own start takes, and gets the bits of an ordinary
// thread. mea 17 runs within 64 KiB, the largest side within 128 KiB (musl's
// default thread stack), and a direct fit above the bound within the fixed
// amount, its working memory being on the heap.
TEST(FitStack, FollowsMeaWithinItsBound) {
    const long start = run_on_small_stack(64L * 1024, [] { return true; }).used;
    ASSERT_GT(start, 0);
    Image im(80, 80, 100.0);
    im.add_spot({3000, 1.3, 1.6, 40.4, 39.8, 0.15, 0});
    for (int mea : {3, 11, 15, 17, 21, 31, 33, 45, GAUSS2_MAX_MEA}) {
        SCOPED_TRACE(mea);
        Batch expected({{40, 39}}, mea / 2.0);
        expected.run(im, mea);
        const long bound = start + gauss2::fit_stack_bytes(mea);
        const StackRun run = run_on_small_stack(kOptimisedFrames ? bound : 4 * bound, [&] {
            Batch b({{40, 39}}, mea / 2.0);
            b.run(im, mea);
            return b.same_as(expected);
        });
        EXPECT_TRUE(run.completed);
        if (kOptimisedFrames) {
            EXPECT_LE(run.used, bound);
        }
        EXPECT_GT(run.used, start + gauss2::stack_workspace_bytes(mea) / 2);  // the working memory is there
    }
    const int big = 2 * GAUSS2_MAX_MEA + 1;
    std::vector<double> patch(static_cast<size_t>(big) * big);
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
