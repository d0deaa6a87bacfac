// The photometry batch (gauss2_photometry.h) as a C caller sees it: exact
// signals and backgrounds of noise-free spots (alone, in a group, at the
// frame's edge), a dark spot beside a bright one, the calibration of the
// photon-noise errors, the groups, every flag, masked pixels, the contract
// checks, no heap, and threads or any split into groups of calls giving the
// same bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "fit_harness.h"
#include "gauss2_photometry.h"
#include "heap_counter.h"

namespace {

constexpr int kSpot = GAUSS2_PHOTOMETRY_SPOT_SIZE, kResult = GAUSS2_PHOTOMETRY_RESULT_SIZE;

// Spots (x, y, std_x, std_y, rho) and what a call gave for them.
struct Spots {
    std::vector<double> spots;
    std::vector<Sint64> group, flags, iterations;
    std::vector<double> results;

    Spots &add(double x, double y, double sx = 1.3, double sy = 1.3, double rho = 0.0) {
        spots.insert(spots.end(), {x, y, sx, sy, rho});
        return *this;
    }
    Sint64 size() const { return static_cast<Sint64>(spots.size() / kSpot); }

    // The groups of gauss2_photometry_groups (the spots must then be in
    // group order already, as the tests place them).
    Spots &grouped(Sint64 mea) {
        std::vector<Sint64> work(static_cast<size_t>(3 * size()));
        group.assign(static_cast<size_t>(size()), -1);
        gauss2_photometry_groups(size(), spots.data(), mea, work.data(), group.data());
        return *this;
    }
    Spots &measure(const Image &im, Sint64 mea, double read_var = 0.0, const double *map = nullptr) {
        if (group.size() != static_cast<size_t>(size())) grouped(mea);
        std::vector<double> work(static_cast<size_t>(gauss2_photometry_work_size(mea)));
        results.assign(static_cast<size_t>(size() * kResult), kSentinel);
        flags.assign(static_cast<size_t>(size()), -5);
        iterations.assign(static_cast<size_t>(size()), -5);
        fit_array_of_gauss_2d_photometry_on_float_image(im.px.data(), im.w, im.h, mea, size(), spots.data(),
                                                        group.data(), read_var, map, work.data(),
                                                        results.data(), flags.data(), iterations.data());
        return *this;
    }
    double signal(Sint64 i) const { return results[static_cast<size_t>(i * kResult)]; }
    double signal_se(Sint64 i) const { return results[static_cast<size_t>(i * kResult + 1)]; }
    double bg(Sint64 i) const { return results[static_cast<size_t>(i * kResult + 2)]; }
    double bg_se(Sint64 i) const { return results[static_cast<size_t>(i * kResult + 3)]; }
    bool unmeasured(Sint64 i, Sint64 flag) const {
        bool nan = true;
        for (int k = 0; k < kResult; k++)
            nan = nan && std::isnan(results[static_cast<size_t>(i * kResult + k)]);
        return flags[static_cast<size_t>(i)] == flag && nan;
    }
};

// An image of a background and spots (photons, x, y, sx, sy, rho) rendered
// by the independent closed form.
Image field(Sint64 w, Sint64 h, double background, const std::vector<Params> &spots) {
    Image im(w, h, background);
    for (const Params &p : spots) im.add_spot(p);
    return im;
}

TEST(Photometry, NoiseFreeSpotsGiveTheirSignalAndBackground) {
    // Alone (elliptical and correlated), a group of three whose windows
    // overlap, and a spot whose window the frame's corner cuts.
    const std::vector<Params> truth = {{3000.0, 1.4, 1.1, 12.3, 40.6, 0.3, 0.0},
                                       {2500.0, 1.3, 1.3, 40.2, 20.7, 0.0, 0.0},
                                       {800.0, 1.3, 1.3, 44.9, 22.1, 0.0, 0.0},
                                       {1200.0, 1.3, 1.3, 43.5, 16.4, 0.0, 0.0},
                                       {1500.0, 1.2, 1.2, 1.4, 0.8, 0.0, 0.0}};
    const Image im = field(60, 56, 25.0, truth);
    Spots s;
    for (const Params &p : truth) s.add(p[3], p[4], p[1], p[2], p[5]);
    s.measure(im, 11);
    for (Sint64 i = 0; i < s.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(s.flags[static_cast<size_t>(i)], GAUSS2_PHOTOMETRY_MEASURED);
        // Light below 1e-4 of a spot's height outside its window is left
        // out of its neighbours' model: a few thousandths of a photon.
        EXPECT_NEAR(s.signal(i), truth[static_cast<size_t>(i)][0], 0.05);
        EXPECT_NEAR(s.bg(i), 25.0, 1e-3);
        EXPECT_GT(s.signal_se(i), 0.0);
        EXPECT_GT(s.bg_se(i), 0.0);
    }
    EXPECT_EQ(s.group[1], s.group[2]);
    EXPECT_EQ(s.group[2], s.group[3]);
    EXPECT_NE(s.group[0], s.group[1]);
    // Alone, the fit is exact.
    EXPECT_NEAR(s.signal(0), 3000.0, 1e-8);
    // The corner's spot: its errors grow with the pixels it lost.
    Spots inside;
    inside.add(30.4, 30.8, 1.2, 1.2)
        .measure(field(60, 56, 25.0, {{1500.0, 1.2, 1.2, 30.4, 30.8, 0.0, 0.0}}), 11);
    EXPECT_GT(s.signal_se(4), 1.1 * inside.signal_se(0));
}

TEST(Photometry, WindowsCutToAnyWidthGiveTheExactFit) {
    // A lone spot whose window the frame's left edge cuts to 6 .. 11
    // columns: every count of its pixels modulo the four that the normal
    // equations take at once, under Poisson weights with read noise.
    for (int col = 0; col <= 5; col++) {
        SCOPED_TRACE(col);
        const double x = col + 0.4;
        Spots s;
        s.add(x, 20.3, 1.3, 1.2, 0.1)
            .measure(field(40, 40, 30.0, {{2000.0, 1.3, 1.2, x, 20.3, 0.1, 0.0}}), 11, 2.25);
        EXPECT_EQ(s.flags[0], GAUSS2_PHOTOMETRY_MEASURED);
        EXPECT_NEAR(s.signal(0), 2000.0, 1e-7);
        EXPECT_NEAR(s.bg(0), 30.0, 1e-9);
    }
}

TEST(Photometry, ADarkSpotBesideABrightOneMeasuresNearZeroWithHonestErrors) {
    // 3.5 px from a spot of 20 000 photons, on a background of 50: the
    // joint fit leaves the dark spot's signal at zero within its errors,
    // over many noise draws, and its errors are the scatter's.
    std::mt19937_64 rng(11);
    const Image clean = field(40, 40, 50.0, {{20000.0, 1.3, 1.3, 20.2, 20.5, 0.0, 0.0}});
    Spots s;
    s.add(20.2, 20.5).add(23.7, 20.5);
    const int n = 400;
    double sum = 0.0, sum2 = 0.0, z2 = 0.0, bright = 0.0;
    for (int k = 0; k < n; k++) {
        Image im = clean;
        im.add_photon_noise(rng, 0.0);
        s.measure(im, 11);
        ASSERT_EQ(s.flags[1], GAUSS2_PHOTOMETRY_MEASURED);
        const double z = s.signal(1) / s.signal_se(1);
        sum += z, sum2 += z * z;
        z2 += std::pow((s.signal(0) - 20000.0) / s.signal_se(0), 2);
        bright += s.signal(0) / n;
    }
    EXPECT_NEAR(sum / n, 0.0, 0.15);
    EXPECT_NEAR(std::sqrt(sum2 / n), 1.0, 0.1);
    EXPECT_NEAR(std::sqrt(z2 / n), 1.0, 0.1);
    EXPECT_NEAR(bright, 20000.0, 20.0);
    // Noise free, the dark one is zero but for the bright one's light below
    // 1e-4 of its height, left out of the model: 0.004 photons.
    s.measure(clean, 11);
    EXPECT_NEAR(s.signal(1), 0.0, 0.01);
}

TEST(Photometry, PhotonErrorsMatchTheScatterWithReadNoise) {
    // Isolated spots of 300 to 3000 photons on 20 photons of background,
    // read noise 2 e- (variance 4; given as a number and as a map): RMS of
    // (signal - truth) / signal_se within 10 % of 1, and the same results
    // either way.
    std::mt19937_64 rng(5);
    std::vector<Params> truth;
    Spots s;
    for (int i = 0; i < 16; i++) {
        const double x = 10.5 + 20.0 * (i % 4) + 0.3 * (i % 3),
                     y = 10.5 + 5.0 * (i - i % 4) + 0.2 * (i % 5);  // rows of four
        truth.push_back({300.0 + 180.0 * i, 1.3, 1.3, x, y, 0.0, 0.0});
        s.add(x, y);
    }
    const Image clean = field(82, 82, 20.0, truth);
    const std::vector<double> map(static_cast<size_t>(82 * 82), 4.0);
    double z2 = 0.0;
    int count = 0;
    for (int k = 0; k < 60; k++) {
        Image im = clean;
        im.add_photon_noise(rng, 2.0);
        s.measure(im, 9, 4.0);
        const std::vector<double> scalar = s.results;
        s.measure(im, 9, 0.0, map.data());
        ASSERT_TRUE(same_bits(scalar, s.results));
        for (Sint64 i = 0; i < s.size(); i++, count++)
            z2 += std::pow((s.signal(i) - truth[static_cast<size_t>(i)][0]) / s.signal_se(i), 2);
    }
    EXPECT_NEAR(std::sqrt(z2 / count), 1.0, 0.1);
}

TEST(Photometry, GroupsLinkSpotsWhoseWindowsMayOverlapWhateverTheShift) {
    Spots s;
    s.add(10.0, 10.0)
        .add(20.9, 10.0)
        .add(40.0, 40.0)
        .add(NAN, 3.0)
        .add(30.0, 50.0)
        .add(40.5, 50.9)
        .add(31.0, 40.5);
    std::vector<Sint64> work(static_cast<size_t>(3 * s.size())), group(static_cast<size_t>(s.size()));
    EXPECT_EQ(gauss2_photometry_groups(s.size(), s.spots.data(), 11, work.data(), group.data()), 3);
    // 10.9 apart in x: linked (< 11). Numbered by first spot; NaN alone;
    // (40, 40)-(31, 40.5)-(30, 50)-(40.5, 50.9) a chain.
    EXPECT_EQ(group, (std::vector<Sint64>{0, 0, 1, 2, 1, 1, 1}));
    // Windows of spots that are not linked never overlap, for any shift
    // added to all: checked for the pairs just outside reach.
    for (double shift = 0.0; shift < 1.0; shift += 0.05)
        for (double d : {11.0, 11.3}) {
            const Sint64 a = static_cast<Sint64>(std::floor(3.7 + shift));
            const Sint64 b = static_cast<Sint64>(std::floor(3.7 + d + shift));
            EXPECT_GE(b - a, 11);
        }
    EXPECT_EQ(gauss2_photometry_groups(0, nullptr, 11, nullptr, nullptr), 0);
}

TEST(Photometry, FlagsSayWhatWasNotMeasured) {
    const Image im = field(50, 50, 10.0, {{1000.0, 1.3, 1.3, 25.5, 25.5, 0.0, 0.0}});
    Spots s;
    s.add(-0.1, 10.0)                    // outside
        .add(50.0, 10.0)                 // outside (x = w)
        .add(NAN, 10.0)                  // outside
        .add(10.0, 10.0, 0.0, 1.3)       // zero width
        .add(10.0, 30.0, 1.3, 1.3, 1.0)  // |rho| = 1
        .add(40.0, 40.0, INFINITY, 1.3)  // infinite width
        .add(25.5, 25.5);
    s.group = {0, 1, 2, 3, 4, 5, 6};
    s.measure(im, 9);
    for (Sint64 i : {0, 1, 2}) EXPECT_TRUE(s.unmeasured(i, GAUSS2_PHOTOMETRY_OUTSIDE)) << i;
    for (Sint64 i : {3, 4, 5}) EXPECT_TRUE(s.unmeasured(i, GAUSS2_PHOTOMETRY_FAILED)) << i;
    EXPECT_EQ(s.flags[6], GAUSS2_PHOTOMETRY_MEASURED);
    EXPECT_EQ(s.iterations[0], 0);

    // Two spots on the same pixels cannot be told apart: their group fails.
    Spots twins;
    twins.add(25.5, 25.5).add(25.5, 25.5).measure(im, 9);
    EXPECT_TRUE(twins.unmeasured(0, GAUSS2_PHOTOMETRY_FAILED));
    EXPECT_TRUE(twins.unmeasured(1, GAUSS2_PHOTOMETRY_FAILED));

    // A group of more than GAUSS2_PHOTOMETRY_MAX_GROUP spots.
    Spots many;
    for (int i = 0; i <= GAUSS2_PHOTOMETRY_MAX_GROUP; i++) many.add(5.0 + 0.3 * i, 25.0);
    many.measure(field(60, 50, 10.0, {}), 9);
    for (Sint64 i = 0; i < many.size(); i++)
        EXPECT_TRUE(many.unmeasured(i, GAUSS2_PHOTOMETRY_GROUP_TOO_LARGE));
}

TEST(Photometry, MaskedPixelsAreLeftOut) {
    // A NaN in a spot's window (or a bad variance there) is left out: the
    // noise-free spot still measures exactly; a window all NaN fails.
    Image im = field(40, 40, 30.0, {{2000.0, 1.3, 1.3, 20.5, 20.5, 0.0, 0.0}});
    im.at(22, 19) = NAN;
    im.at(17, 20) = INFINITY;
    std::vector<double> map(static_cast<size_t>(40 * 40), 1.0);
    map[static_cast<size_t>(21 * 40 + 18)] = -1.0;
    Spots s;
    s.add(20.5, 20.5).measure(im, 9, 0.0, map.data());
    EXPECT_EQ(s.flags[0], GAUSS2_PHOTOMETRY_MEASURED);
    EXPECT_NEAR(s.signal(0), 2000.0, 1e-8);
    Image dead(40, 40, NAN);
    s.measure(dead, 9);
    EXPECT_TRUE(s.unmeasured(0, GAUSS2_PHOTOMETRY_FAILED));
}

TEST(Photometry, NegativeSignalsAreMeasuredNotFlagged) {
    // A spot darker than its surroundings (a hole in the background).
    Image im(30, 30, 100.0);
    im.add_spot({-300.0, 1.3, 1.3, 15.5, 15.5, 0.0, 0.0});
    Spots s;
    s.add(15.5, 15.5).measure(im, 9);
    EXPECT_EQ(s.flags[0], GAUSS2_PHOTOMETRY_MEASURED);
    EXPECT_NEAR(s.signal(0), -300.0, 1e-6);
}

// A crowded field with photon noise.
Image crowded(std::mt19937_64 &rng, Spots &s, int n) {
    std::uniform_real_distribution<double> U(0.0, 1.0);
    std::vector<Params> truth;
    for (int i = 0; i < n; i++) {
        const double x = 4.0 + 120.0 * U(rng), y = 4.0 + 120.0 * U(rng);
        truth.push_back({U(rng) < 0.3 ? 0.0 : 500.0 + 3000.0 * U(rng), 1.3, 1.3, x, y, 0.0, 0.0});
        s.add(x, y);
    }
    Image im = field(128, 128, 40.0, truth);
    im.add_photon_noise(rng, 1.0);
    return im;
}

TEST(Photometry, GroupsMeasuredApartOrTogetherGiveTheSameBits) {
    // The same spots in one call, and each group in a call of its own, and
    // from four threads at once: the same bits. No heap in any call.
    std::mt19937_64 rng(3);
    Spots all;
    const Image im = crowded(rng, all, 120);
    // Sort the spots into group order.
    all.grouped(9);
    Spots sorted;
    std::vector<Sint64> order(static_cast<size_t>(all.size()));
    for (Sint64 i = 0; i < all.size(); i++) order[static_cast<size_t>(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](Sint64 a, Sint64 b) {
        return all.group[static_cast<size_t>(a)] < all.group[static_cast<size_t>(b)];
    });
    for (Sint64 i : order) {
        const double *p = &all.spots[static_cast<size_t>(i * kSpot)];
        sorted.add(p[0], p[1], p[2], p[3], p[4]);
    }
    sorted.grouped(9);
    ASSERT_TRUE(std::is_sorted(sorted.group.begin(), sorted.group.end()));
    std::vector<double> work(static_cast<size_t>(gauss2_photometry_work_size(9)));
    sorted.measure(im, 9, 1.0);
    std::vector<double> one = sorted.results;
    int multi = 0;
    for (Sint64 i = 0; i < sorted.size();) {
        Sint64 j = i;
        while (j < sorted.size() &&
               sorted.group[static_cast<size_t>(j)] == sorted.group[static_cast<size_t>(i)])
            j++;
        multi += j - i > 1;
        std::vector<double> res(static_cast<size_t>((j - i) * kResult));
        std::vector<Sint64> fl(static_cast<size_t>(j - i));
        const long heap = heap_calls();
        fit_array_of_gauss_2d_photometry_on_float_image(
            im.px.data(), im.w, im.h, 9, j - i, &sorted.spots[static_cast<size_t>(i * kSpot)],
            &sorted.group[static_cast<size_t>(i)], 1.0, nullptr, work.data(), res.data(), fl.data(), nullptr);
        if (kMallocCounted) {
            EXPECT_EQ(heap_calls(), heap);
        }
        EXPECT_TRUE(
            same_bits(res.data(), &one[static_cast<size_t>(i * kResult)], static_cast<size_t>(res.size())));
        i = j;
    }
    EXPECT_GT(multi, 5);  // the field has groups to fit jointly
    std::vector<Spots> copies(4, sorted);
    std::vector<std::thread> pool;
    pool.reserve(copies.size());
    for (auto &c : copies) pool.emplace_back([&c, &im] { c.measure(im, 9, 1.0); });
    for (auto &t : pool) t.join();
    for (const auto &c : copies) EXPECT_TRUE(same_bits(c.results, one));
}

TEST(Photometry, RefusesBrokenContracts) {
    const Image im(20, 20, 1.0);
    Spots s;
    s.add(10.0, 10.0).grouped(5);
    std::vector<double> work(static_cast<size_t>(gauss2_photometry_work_size(5))), res(4);
    Sint64 flag;
    auto call = [&](Sint64 w, Sint64 mea, Sint64 n, double var, double *wk) {
        fit_array_of_gauss_2d_photometry_on_float_image(im.px.data(), w, 20, mea, n, s.spots.data(),
                                                        s.group.data(), var, nullptr, wk, res.data(), &flag,
                                                        nullptr);
    };
    EXPECT_EXIT(call(0, 5, 1, 0.0, work.data()), testing::ExitedWithCode(1), "bad image size 0 x 20");
    EXPECT_EXIT(call(20, 4, 1, 0.0, work.data()), testing::ExitedWithCode(1), "Mea must be odd");
    EXPECT_EXIT(call(20, 65, 1, 0.0, work.data()), testing::ExitedWithCode(1), "Mea too large");
    EXPECT_EXIT(call(20, 5, -1, 0.0, work.data()), testing::ExitedWithCode(1), "negative n_spots");
    EXPECT_EXIT(call(20, 5, 1, -1.0, work.data()), testing::ExitedWithCode(1), "read-noise variance");
    EXPECT_EXIT(call(20, 5, 1, NAN, work.data()), testing::ExitedWithCode(1), "read-noise variance");
    EXPECT_EXIT(call(20, 5, 1, 0.0, nullptr), testing::ExitedWithCode(1), "null image, spots, group, work");
    EXPECT_EXIT(gauss2_photometry_work_size(0), testing::ExitedWithCode(1), "Mea must be odd");
    EXPECT_EXIT(gauss2_photometry_groups(-1, nullptr, 5, nullptr, nullptr), testing::ExitedWithCode(1),
                "n_spots -1");
    // Nothing to measure: nothing read.
    call(20, 5, 0, 0.0, nullptr);
    // The work size as the header states it.
    constexpr Sint64 k = GAUSS2_PHOTOMETRY_MAX_GROUP;
    EXPECT_EQ(gauss2_photometry_work_size(11),
              6 * k * (121 + 3) + (3 * k * 441 + 1) / 2 + 2 * k * (2 * k + 6));
}

}  // namespace
