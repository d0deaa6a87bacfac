// The Gaussian model: values, symmetries, partial writes and NaN domains.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <limits>
#include <vector>

#include "gauss2_fitter.h"
#include "gauss_reference.h"
#include "same_bits.h"

namespace {

constexpr int kWholePatch = 0x7fffffff;  // render all s * s pixels

std::vector<double> render(Params p, int s, double fill = -123.0, int n_pixels = kWholePatch) {
    std::vector<double> out(static_cast<size_t>(s) * s + 32, fill);
    gauss_2d(p.data(), out.data(), 7, n_pixels == kWholePatch ? s * s : n_pixels, nullptr);
    return out;
}

}  // namespace

TEST(Model, MatchesClosedFormOverRandomParameters) {
    std::mt19937_64 rng(1);
    double worst = 0.0;
    for (int trial = 0; trial < 2000; trial++) {
        const int s = 1 + 2 * (trial % 12);
        const Params p = random_params(rng, s);
        const auto out = render(p, s);
        for (int i = 0; i < s; i++)
            for (int j = 0; j < s; j++) {
                const RefPixel ref = ref_pixel(p, i, j);
                const long double scale = std::fabs(ref.term) + std::fabs(static_cast<long double>(p[6]));
                const double err = static_cast<double>(std::fabs(out[i * s + j] - ref.value) / scale);
                worst = std::max(worst, err);
            }
    }
    std::cout << "model worst relative error: " << worst << "\n";
    RecordProperty("worst_relative_error", std::to_string(worst));
    EXPECT_LT(worst, 1e-14);
}

TEST(Model, RhoZeroIsSeparable) {
    const Params p{500.0, 1.3, 2.1, 4.2, 6.9, 0.0, 7.0};
    const int s = 11;
    const auto out = render(p, s);
    for (int i = 0; i < s; i++)
        for (int j = 0; j < s; j++) {
            const double dx = j + 0.5 - p[3], dy = i + 0.5 - p[4];
            const double want = p[0] / (2 * M_PI * p[1] * p[2]) *
                                    std::exp(-dx * dx / (2 * p[1] * p[1]) - dy * dy / (2 * p[2] * p[2])) +
                                p[6];
            EXPECT_NEAR(out[i * s + j], want, 1e-13 * std::fabs(want));
        }
}

TEST(Model, PeakSitsOnThePixelHoldingTheCentre) {
    const Params p{300.0, 1.2, 0.8, 3.5, 6.5, 0.4, 2.0};  // centre of pixel (6, 3)
    const int s = 9;
    const auto out = render(p, s);
    int best = 0;
    for (int k = 0; k < s * s; k++)
        if (out[k] > out[best]) best = k;
    EXPECT_EQ(best, 6 * s + 3);
    const double height = p[0] / (2 * M_PI * p[1] * p[2] * std::sqrt(1 - p[5] * p[5])) + p[6];
    EXPECT_NEAR(out[best], height, 1e-13 * height);
}

TEST(Model, CornerCentreGivesFourEqualPixels) {
    const Params p{100.0, 1.1, 1.7, 4.0, 5.0, 0.0, 0.5};
    const int s = 9;
    const auto out = render(p, s);
    const double v = out[4 * s + 3];
    EXPECT_EQ(out[4 * s + 4], v);
    EXPECT_EQ(out[5 * s + 3], v);
    EXPECT_EQ(out[5 * s + 4], v);
}

TEST(Model, LargePatchSumsToVolumePlusBackground) {
    const Params p{1000.0, 1.5, 2.0, 20.5, 20.5, 0.3, 1.25};
    const int s = 41;
    const auto out = render(p, s);
    double sum = 0.0;
    for (int k = 0; k < s * s; k++) sum += out[k];
    EXPECT_NEAR(sum, p[0] + s * s * p[6], 1e-6);
}

TEST(Model, ZeroAmplitudeGivesOffsetExactlyFarAway) {
    const Params zero_amp{0.0, 1.0, 1.0, 5.5, 5.5, 0.2, 3.25};
    const auto flat = render(zero_amp, 11);
    for (int k = 0; k < 121; k++) EXPECT_EQ(flat[k], 3.25);
    const Params narrow{50.0, 0.1, 0.1, 0.5, 0.5, 0.0, 3.25};  // exp underflows far from pixel (0, 0)
    const auto out = render(narrow, 41);
    EXPECT_EQ(out[40 * 41 + 40], 3.25);
}

TEST(Model, WritesOnlyTheWholeSquarePatch) {
    const Params p{100.0, 1.0, 1.0, 5.0, 5.0, 0.0, 0.0};
    auto out = render(p, 11, -123.0, 121);
    for (int k = 0; k < 121; k++) EXPECT_NE(out[k], -123.0);
    for (int k = 121; k < 121 + 32; k++) EXPECT_EQ(out[k], -123.0);

    out = render(p, 11, -123.0, 120);  // a 10 x 10 patch, 20 values left alone
    const auto ten = render(p, 10);
    for (int k = 0; k < 100; k++) EXPECT_TRUE(same_bits(out[k], ten[k]));
    for (int k = 100; k < 121 + 32; k++) EXPECT_EQ(out[k], -123.0);

    for (int n : {0, -1, -121, std::numeric_limits<int>::min()}) {
        out = render(p, 11, -123.0, n);
        for (double v : out) EXPECT_EQ(v, -123.0);
    }
}

TEST(Model, SwappingAxesTransposesThePatchExactly) {
    std::mt19937_64 rng(2);
    for (int trial = 0; trial < 300; trial++) {
        const int s = 3 + 2 * (trial % 8);
        const Params p = random_params(rng, s);
        const Params t{p[0], p[2], p[1], p[4], p[3], p[5], p[6]};
        const auto a = render(p, s), b = render(t, s);
        for (int i = 0; i < s; i++)
            for (int j = 0; j < s; j++) ASSERT_TRUE(same_bits(a[i * s + j], b[j * s + i])) << trial;
    }
}

TEST(Model, NegatedWidthsFlipSignOrChangeNothing) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 300; trial++) {
        const int s = 11;
        Params p = random_params(rng, s);
        p[6] = 0.0;  // compare the Gaussian terms
        const Params neg_x{p[0], -p[1], p[2], p[3], p[4], p[5], 0.0};
        const Params flipped_rho{p[0], p[1], p[2], p[3], p[4], -p[5], 0.0};
        const Params neg_both{p[0], -p[1], -p[2], p[3], p[4], p[5], 0.0};
        const auto a = render(neg_x, s), b = render(flipped_rho, s), c = render(neg_both, s),
                   d = render(p, s);
        for (int k = 0; k < s * s; k++) {
            ASSERT_EQ(a[k], -b[k]) << trial;  // +0 and -0 alike where exp underflows
            ASSERT_TRUE(same_bits(c[k], d[k])) << trial;
        }
    }
}

TEST(Model, OutsideTheDomainEveryValueIsNaN) {
    const std::vector<Params> bad = {
        {100, 1, 1, 5, 5, 1.0, 2}, {100, 1, 1, 5, 5, -1.0, 2}, {100, 1, 1, 5, 5, 1.5, 2},
        {100, 0, 1, 5, 5, 0.0, 2}, {100, 1, 0, 5, 5, 0.3, 2},  {100, 0, 0, 5.5, 5.5, 0.0, 2},
    };
    for (const Params &p : bad) {
        const auto out = render(p, 11);
        for (int k = 0; k < 121; k++) ASSERT_TRUE(std::isnan(out[k])) << p[1] << " " << p[5] << " " << k;
    }
}

TEST(Model, IgnoresParameterCountAndUserData) {
    Params p{100.0, 1.2, 0.9, 5.1, 4.7, -0.3, 1.0};
    std::vector<double> a(121), b(121);
    gauss_2d(p.data(), a.data(), 7, 121, nullptr);
    int dummy = 0;
    gauss_2d(p.data(), b.data(), -5, 121, &dummy);
    for (int k = 0; k < 121; k++) EXPECT_TRUE(same_bits(a[k], b[k]));
}
