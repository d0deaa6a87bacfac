// The peak search's local background (find_peaks_in_frames_with_background,
// gauss2_peaks.h): without it the search is find_peaks_in_frames to the bit;
// with it a ramp of illumination neither creates peaks where the frame is
// bright nor hides them where it is dark; frames smaller than a tile, and
// the contract check.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "fit_harness.h"
#include "gauss2_peaks.h"
#include "heap_counter.h"

namespace {

struct Peaks {
    std::vector<Sint64> f, x, y;
    std::vector<double> thr;
    Sint64 total = 0;
};

Peaks search(const std::vector<double> &frames, Sint64 n, Sint64 w, Sint64 h, Sint64 tile,
             double threshold = NAN) {
    Peaks p;
    const Sint64 cap = 4096;
    std::vector<double> work(static_cast<size_t>(find_peaks_work_size(w, h)));
    p.f.resize(cap), p.x.resize(cap), p.y.resize(cap), p.thr.resize(static_cast<size_t>(n));
    p.total = find_peaks_in_frames_with_background(frames.data(), n, w, h, 1.0, 2, 5, threshold, 5.0, tile,
                                                   work.data(), cap, p.f.data(), p.x.data(), p.y.data(),
                                                   p.thr.data());
    const auto k = static_cast<size_t>(std::min(p.total, cap));
    p.f.resize(k), p.x.resize(k), p.y.resize(k);
    return p;
}

// A w x h frame of 60 spots of 600 photons on 50 a pixel, both times an
// illumination from 1 - slope at the left edge to 1 + slope at the right,
// with Poisson noise; the spots' positions.
std::vector<double> ramp_frame(std::mt19937_64 &rng, Sint64 w, Sint64 h, double slope,
                               std::vector<std::pair<double, double>> &spots) {
    std::uniform_real_distribution<double> U(0.0, 1.0);
    Image im(w, h, 0.0);
    auto light = [&](double x) { return 1.0 - slope + 2.0 * slope * x / static_cast<double>(w); };
    for (int i = 0; i < 60; i++) {
        const double x = 8.0 + (static_cast<double>(w) - 16.0) * U(rng),
                     y = 8.0 + (static_cast<double>(h) - 16.0) * U(rng);
        spots.emplace_back(x, y);
        im.add_spot({600.0 * light(x), 1.3, 1.3, x, y, 0.0, 0.0});
    }
    for (Sint64 r = 0; r < h; r++)
        for (Sint64 c = 0; c < w; c++) im.at(c, r) += 50.0 * light(static_cast<double>(c) + 0.5);
    im.add_photon_noise(rng, 0.0);
    return im.px;
}

// Found peaks with no spot within 2 px, and spots with no peak within 2 px.
std::pair<int, int> false_and_missed(const Peaks &p, const std::vector<std::pair<double, double>> &spots) {
    auto near = [](double ax, double ay, double bx, double by) {
        return std::hypot(ax - bx, ay - by) <= 2.0;
    };
    int false_peaks = 0, missed = 0;
    for (size_t k = 0; k < p.x.size(); k++) {
        bool any = false;
        for (auto [x, y] : spots)
            any = any || near(static_cast<double>(p.x[k]) + 0.5, static_cast<double>(p.y[k]) + 0.5, x, y);
        false_peaks += !any;
    }
    for (auto [x, y] : spots) {
        bool any = false;
        for (size_t k = 0; k < p.x.size(); k++)
            any = any || near(static_cast<double>(p.x[k]) + 0.5, static_cast<double>(p.y[k]) + 0.5, x, y);
        missed += !any;
    }
    return {false_peaks, missed};
}

TEST(PeakBackground, TileZeroIsTheSearchOfOneLevelToTheBit) {
    std::mt19937_64 rng(2);
    std::vector<std::pair<double, double>> spots;
    std::vector<double> frames = ramp_frame(rng, 96, 80, 0.3, spots);
    const std::vector<double> second = ramp_frame(rng, 96, 80, 0.0, spots);
    frames.insert(frames.end(), second.begin(), second.end());
    frames[100] = NAN;
    for (double threshold : {kNaN, 60.0}) {
        const Peaks with = search(frames, 2, 96, 80, 0, threshold);
        std::vector<double> work(static_cast<size_t>(find_peaks_work_size(96, 80)));
        std::vector<Sint64> f(4096), x(4096), y(4096);
        std::vector<double> thr(2);
        const Sint64 total =
            find_peaks_in_frames(frames.data(), 2, 96, 80, 1.0, 2, 5, threshold, 5.0, work.data(), 4096,
                                 f.data(), x.data(), y.data(), thr.data());
        ASSERT_EQ(total, with.total);
        f.resize(static_cast<size_t>(total)), x.resize(static_cast<size_t>(total)),
            y.resize(static_cast<size_t>(total));
        EXPECT_EQ(f, with.f);
        EXPECT_EQ(x, with.x);
        EXPECT_EQ(y, with.y);
        EXPECT_TRUE(same_bits(thr, with.thr));
    }
}

TEST(PeakBackground, ARampNeitherCreatesNorHidesPeaks) {
    // +-30 % illumination across 256 px: the one level of the frame lets
    // the bright side's noise through as peaks and misses spots on the
    // dark side; the local background finds what a flat frame gives.
    std::mt19937_64 rng(9);
    int false_global = 0, false_local = 0, missed_local = 0, missed_flat = 0;
    for (int k = 0; k < 4; k++) {
        std::vector<std::pair<double, double>> ramp_spots, flat_spots;
        const std::vector<double> ramp = ramp_frame(rng, 256, 128, 0.3, ramp_spots);
        const std::vector<double> flat = ramp_frame(rng, 256, 128, 0.0, flat_spots);
        false_global += false_and_missed(search(ramp, 1, 256, 128, 0), ramp_spots).first;
        const auto local = false_and_missed(search(ramp, 1, 256, 128, 32), ramp_spots);
        false_local += local.first, missed_local += local.second;
        missed_flat += false_and_missed(search(flat, 1, 256, 128, 32), flat_spots).second;
    }
    EXPECT_GT(false_global, 100);
    EXPECT_LE(false_local, 2);
    EXPECT_LE(missed_local, missed_flat + 4);
}

TEST(PeakBackground, FramesSmallerThanATileAndTheThresholdAboveTheBackground) {
    // One tile (the frame's median is the background): a spot on a
    // background of 1000 stands out by its own height, the given threshold
    // counted above the background; a one-row frame works too.
    Image im(20, 20, 1000.0);
    im.add_spot({500.0, 1.2, 1.2, 10.5, 9.5, 0.0, 0.0});
    const Peaks p = search(im.px, 1, 20, 20, 64, 20.0);
    ASSERT_EQ(p.total, 1);
    EXPECT_EQ(p.x[0], 10);
    EXPECT_EQ(p.y[0], 9);
    EXPECT_EQ(p.thr[0], 20.0);
    EXPECT_EQ(search(im.px, 1, 20, 20, 64, 50.0).total, 0);  // the spot's smoothed top is below 1050
    std::vector<double> row(40, 5.0);
    row[20] = 50.0;
    std::vector<double> work(static_cast<size_t>(find_peaks_work_size(40, 1)));
    Sint64 f, x, y;
    double thr;
    const long before = heap_calls();
    EXPECT_EQ(find_peaks_in_frames_with_background(row.data(), 1, 40, 1, 0.0, 2, 0, 10.0, 5.0, 8, work.data(),
                                                   1, &f, &x, &y, &thr),
              1);
    if (kMallocCounted) {
        EXPECT_EQ(heap_calls(), before);
    }
    EXPECT_EQ(x, 20);
}

TEST(PeakBackground, RefusesANegativeTile) {
    std::vector<double> im(100, 0.0), work(400);
    Sint64 f, x, y;
    double t;
    EXPECT_EXIT(find_peaks_in_frames_with_background(im.data(), 1, 10, 10, 1.0, 2, 2, NAN, 5.0, -1,
                                                     work.data(), 1, &f, &x, &y, &t),
                testing::ExitedWithCode(1), "negative background_tile -1");
}

}  // namespace
