// The peak search (gauss2_peaks.h) as a C caller sees it: its contract
// checks, the exact medians of its automatic threshold (through the
// bracketed selection and its fallback), flat tops, no heap, and the same
// peaks on every kernel path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "gauss2_paths.h"
#include "gauss2_peaks.h"
#include "heap_counter.h"
#include "same_bits.h"

namespace {

struct Found {
    std::vector<Sint64> f, x, y;
    std::vector<double> thr;
    Sint64 total = 0;
};

Found search(const std::vector<double> &frames, Sint64 n, Sint64 w, Sint64 h, double smooth, double threshold,
             double n_sigma = 5.0, Sint64 border = 2, Sint64 cap = 4096) {
    Found r;
    std::vector<double> work(static_cast<size_t>(find_peaks_work_size(w, h)));
    r.f.resize(cap), r.x.resize(cap), r.y.resize(cap), r.thr.resize(n);
    r.total = find_peaks_in_frames(frames.data(), n, w, h, smooth, 2, border, threshold, n_sigma, work.data(),
                                   cap, r.f.data(), r.x.data(), r.y.data(), r.thr.data());
    const auto k = static_cast<size_t>(std::min(r.total, cap));
    r.f.resize(k), r.x.resize(k), r.y.resize(k);
    return r;
}

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

TEST(PeakSearch, RefusesBrokenContracts) {
    std::vector<double> im(100, 0.0), work(400);
    Sint64 f, x, y;
    double t;
    EXPECT_EXIT(
        find_peaks_in_frames(im.data(), 1, 0, 10, 1.0, 2, 2, NAN, 5.0, work.data(), 1, &f, &x, &y, &t),
        testing::ExitedWithCode(1), "bad sizes 1 frames of 0 x 10");
    EXPECT_EXIT(
        find_peaks_in_frames(im.data(), 1, 10, 10, 65.0, 2, 2, NAN, 5.0, work.data(), 1, &f, &x, &y, &t),
        testing::ExitedWithCode(1), "smooth 65 outside \\[0, 64\\]");
    EXPECT_EXIT(
        find_peaks_in_frames(im.data(), 1, 10, 10, 1.0, 0, 2, NAN, 5.0, work.data(), 1, &f, &x, &y, &t),
        testing::ExitedWithCode(1), "min_distance 0");
    EXPECT_EXIT(find_peaks_in_frames(im.data(), 1, 10, 10, 1.0, 2, 2, NAN, 5.0, nullptr, 1, &f, &x, &y, &t),
                testing::ExitedWithCode(1), "null frames, work or thresholds");
    EXPECT_EXIT(
        find_peaks_in_frames(im.data(), 1, 10, 10, 1.0, 2, 2, NAN, 5.0, work.data(), 1, nullptr, &x, &y, &t),
        testing::ExitedWithCode(1), "null peak arrays");
    EXPECT_EXIT(find_peaks_work_size(-1, 3), testing::ExitedWithCode(1), "negative size");
    // 4 * 2^31 * 2^31 wraps to 0: never a buffer too small for the frame.
    EXPECT_EXIT(find_peaks_work_size(Sint64{1} << 31, Sint64{1} << 31), testing::ExitedWithCode(1),
                "exceeds 64 bits");
    EXPECT_EQ(find_peaks_work_size(Sint64{1} << 30, Sint64{1} << 30), Sint64{1} << 62);
}

// With n_sigma 0 and no smoothing the threshold is the median of the frame's
// statistics rows: exact, for small and large frames, with ties, with
// outliers that put the sampled bracket's guess far off, odd and even counts.
TEST(PeakSearch, AutomaticThresholdMediansAreExact) {
    std::mt19937_64 rng(7);
    const Sint64 sizes[][2] = {{7, 5}, {64, 63}, {128, 128}, {256, 200}, {300, 301}, {1024, 40}};
    for (auto [w, h] : sizes) {
        for (int kind = 0; kind < 4; kind++) {
            std::vector<double> im(static_cast<size_t>(w * h));
            std::poisson_distribution<int> counts(4);
            std::normal_distribution<double> normal(100.0, 10.0);
            for (auto &v : im) {
                if (kind == 0) v = normal(rng);
                if (kind == 1) v = counts(rng);                           // many ties
                if (kind == 2) v = (rng() % 3 == 0) ? 1e9 : normal(rng);  // a third outliers
                if (kind == 3) v = static_cast<double>(rng() % 2);        // two values
            }
            const Sint64 step = std::max<Sint64>(1, w * h / 8192);
            std::vector<double> rows;
            for (Sint64 i = 0; i < h; i += step)
                rows.insert(rows.end(), im.begin() + i * w, im.begin() + (i + 1) * w);
            const Found r = search(im, 1, w, h, 0.0, NAN, 0.0);
            EXPECT_EQ(r.thr[0], median_of(rows)) << w << " x " << h << " kind " << kind;
        }
    }
}

TEST(PeakSearch, FlatTopsNonFiniteAndTooManyPeaks) {
    const Sint64 w = 40, h = 30;
    std::vector<double> im(w * h, 0.0);
    for (Sint64 x = 10; x < 17; x++)
        for (Sint64 y = 10; y < 13; y++) im[y * w + x] = 5.0;  // a 7 x 3 plateau: its middle pixel
    im[20 * w + 30] = 9.0;
    im[5 * w + 5] = NAN;
    im[25 * w + 25] = INFINITY;  // neither becomes a peak
    Found r = search(im, 1, w, h, 0.0, 1.0);
    ASSERT_EQ(r.total, 2);
    EXPECT_EQ(r.x, (std::vector<Sint64>{13, 30}));
    EXPECT_EQ(r.y, (std::vector<Sint64>{11, 20}));
    // Room for one: the count is still the total, one is stored.
    r = search(im, 1, w, h, 0.0, 1.0, 5.0, 2, 1);
    EXPECT_EQ(r.total, 2);
    EXPECT_EQ(r.x, (std::vector<Sint64>{13}));
}

// n frames of w x h pixels of noise (20 +- 4) with `spots` bright pixels
// spread over them, `inset` or more from the top and left edges.
std::vector<double> noisy_frames(Sint64 w, Sint64 h, Sint64 n, unsigned seed, Sint64 spots, double bright,
                                 Sint64 inset) {
    std::vector<double> frames(static_cast<size_t>(n * w * h));
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(20.0, 4.0);
    for (auto &v : frames) v = noise(rng);
    for (Sint64 k = 0; k < spots; k++)
        frames[(k % n) * w * h + (inset + (k * 7) % (h - 2 * inset)) * w + inset +
               (k * 13) % (w - 2 * inset)] += bright;
    return frames;
}

// No heap while searching (threads agreeing: test_threads.cpp).
TEST(PeakSearch, AllocatesNothing) {
    const Sint64 w = 120, h = 100, n = 6;
    const std::vector<double> frames = noisy_frames(w, h, n, 3, 60, 400.0, 10);
    std::vector<double> work(static_cast<size_t>(find_peaks_work_size(w, h))), thr(n);
    std::vector<Sint64> f(512), x(512), y(512);
    const long before = heap_calls();
    const Sint64 total = find_peaks_in_frames(frames.data(), n, w, h, 1.0, 2, 5, NAN, 5.0, work.data(), 512,
                                              f.data(), x.data(), y.data(), thr.data());
    if (kMallocCounted) {
        EXPECT_EQ(heap_calls(), before);
    }
    EXPECT_GE(total, 50);
}

// Every kernel path finds the same peaks and thresholds.
TEST(PeakSearch, EveryPathFindsTheSame) {
    const Sint64 w = 97, h = 83, n = 3;
    std::vector<double> frames = noisy_frames(w, h, n, 4, 45, 300.0, 8);
    frames[5] = NAN;
    const gauss2::KernelPath saved = gauss2::kernel_path();
    gauss2::set_kernel_path(gauss2::kDefaultPath);
    const Found portable = search(frames, n, w, h, 1.5, NAN, 4.0, 3, 512);
    EXPECT_GE(portable.total, 40);
    for (gauss2::KernelPath path = 1; path <= gauss2::best_kernel_path(); path++) {
        gauss2::set_kernel_path(path);
        const Found r = search(frames, n, w, h, 1.5, NAN, 4.0, 3, 512);
        EXPECT_EQ(r.x, portable.x) << gauss2::kernel_path_name(path);
        EXPECT_EQ(r.y, portable.y);
        EXPECT_EQ(r.f, portable.f);
        EXPECT_TRUE(same_bits(r.thr, portable.thr));
    }
    gauss2::set_kernel_path(saved);
}

}  // namespace
