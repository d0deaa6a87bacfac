// The analytic Jacobian against closed forms and central differences.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <vector>

#include "gauss2_fitter.h"
#include "gauss_reference.h"

namespace {

constexpr int kWholePatch = 0x7fffffff;  // render all s * s pixels

std::vector<double> jacobian(Params p, int s, int n_pixels = kWholePatch, double fill = -123.0) {
    std::vector<double> out(7 * (static_cast<size_t>(s) * s + 5), fill);
    jac_gauss_2d(p.data(), out.data(), 7, n_pixels == kWholePatch ? s * s : n_pixels, nullptr);
    return out;
}

std::vector<double> model(Params p, int s) {
    std::vector<double> out(static_cast<size_t>(s) * s);
    gauss_2d(p.data(), out.data(), 7, s * s, nullptr);
    return out;
}

}  // namespace

TEST(Jacobian, MatchesClosedFormDerivatives) {
    std::mt19937_64 rng(11);
    double worst = 0.0;
    for (int trial = 0; trial < 1000; trial++) {
        const int s = 3 + 2 * (trial % 10);
        const Params p = random_params(rng, s);
        const auto J = jacobian(p, s);
        // Each column is compared on the scale of its largest entry: single
        // entries near a zero crossing carry cancellation in any form.
        std::array<long double, 7> col_max{};
        std::vector<RefPixel> ref;
        for (int i = 0; i < s; i++)
            for (int j = 0; j < s; j++) {
                ref.push_back(ref_pixel(p, i, j));
                for (int k = 0; k < 7; k++) col_max[k] = std::max(col_max[k], std::fabs(ref.back().d[k]));
            }
        for (int px = 0; px < s * s; px++)
            for (int k = 0; k < 7; k++) {
                const double err = static_cast<double>(std::fabs(J[px * 7 + k] - ref[px].d[k]) / col_max[k]);
                worst = std::max(worst, err);
            }
    }
    std::cout << "jacobian worst relative error (per column scale): " << worst << "\n";
    RecordProperty("worst_relative_error", std::to_string(worst));
    EXPECT_LT(worst, 1e-13);
}

TEST(Jacobian, AgreesWithCentralDifferencesOfTheModel) {
    std::mt19937_64 rng(12);
    double worst = 0.0;
    for (int trial = 0; trial < 200; trial++) {
        const int s = 11;
        const Params p = random_params(rng, s);
        const auto J = jacobian(p, s);
        for (int k = 0; k < 6; k++) {
            const double h = 1e-5 * std::max(1.0, std::fabs(p[k]));
            Params up = p, down = p;
            up[k] += h;
            down[k] -= h;
            const auto fu = model(up, s), fd = model(down, s);
            double col_max = 0.0;
            for (int px = 0; px < s * s; px++) col_max = std::max(col_max, std::fabs(J[px * 7 + k]));
            for (int px = 0; px < s * s; px++) {
                const double numeric = (fu[px] - fd[px]) / (2 * h);
                worst = std::max(worst, std::fabs(numeric - J[px * 7 + k]) / col_max);
            }
        }
    }
    std::cout << "jacobian vs central differences, worst: " << worst << "\n";
    EXPECT_LT(worst, 1e-5);
}

TEST(Jacobian, OffsetEntryIsOneAndAmpEntryIsTheUnitModel) {
    std::mt19937_64 rng(13);
    for (int trial = 0; trial < 200; trial++) {
        Params p = random_params(rng, 11);
        p[0] = std::ldexp(1.0, static_cast<int>(trial % 40) - 10);  // exact scaling by amp
        p[6] = 0.0;
        const auto J = jacobian(p, 11);
        const auto f = model(p, 11);
        for (int px = 0; px < 121; px++) {
            ASSERT_EQ(J[px * 7 + 6], 1.0);
            ASSERT_EQ(J[px * 7 + 0], f[px] / p[0]) << trial << " " << px;
        }
        // The offset is not read, and entry 0 does not depend on amp.
        Params q = p;
        q[6] = 1e6;
        q[0] = 3.7;
        const auto K = jacobian(q, 11);
        for (int px = 0; px < 121; px++) ASSERT_EQ(K[px * 7 + 0], J[px * 7 + 0]);
    }
}

TEST(Jacobian, ZeroAmplitudeZeroesTheShapeEntries) {
    const auto J = jacobian({0.0, 1.3, 0.7, 4.0, 6.0, 0.5, 9.0}, 11);
    for (int px = 0; px < 121; px++)
        for (int k = 1; k <= 5; k++) EXPECT_EQ(J[px * 7 + k], 0.0);
}

TEST(Jacobian, AtTheSpotCentre) {
    const Params p{250.0, 1.3, 0.8, 5.5, 5.5, 0.35, 0.0};
    const auto J = jacobian(p, 11);
    const int c = 5 * 11 + 5;
    const double L = 1 - p[5] * p[5];
    const double G = J[c * 7 + 0];
    EXPECT_NEAR(G, 1.0 / (2 * M_PI * p[1] * p[2] * std::sqrt(L)), 1e-15);
    EXPECT_EQ(J[c * 7 + 3], 0.0);
    EXPECT_EQ(J[c * 7 + 4], 0.0);
    EXPECT_NEAR(J[c * 7 + 1], -p[0] * G / p[1], 1e-12);
    EXPECT_NEAR(J[c * 7 + 2], -p[0] * G / p[2], 1e-12);
    EXPECT_NEAR(J[c * 7 + 5], p[0] * G * p[5] / L, 1e-12);
}

TEST(Jacobian, UncorrelatedForms) {
    const Params p{180.0, 1.4, 0.9, 4.2, 6.1, 0.0, 0.0};
    const auto J = jacobian(p, 11);
    for (int i = 0; i < 11; i++)
        for (int j = 0; j < 11; j++) {
            const size_t px = static_cast<size_t>(i) * 11 + static_cast<size_t>(j);
            const double dx = j + 0.5 - p[3], dy = i + 0.5 - p[4], aG = p[0] * J[px * 7];
            EXPECT_NEAR(J[px * 7 + 3], aG * dx / (p[1] * p[1]), 1e-12);
            EXPECT_NEAR(J[px * 7 + 4], aG * dy / (p[2] * p[2]), 1e-12);
            EXPECT_NEAR(J[px * 7 + 5], aG * dx * dy / (p[1] * p[2]), 1e-12);
        }
}

TEST(Jacobian, MovingTowardAPixelRaisesIt) {
    const Params p{180.0, 1.4, 0.9, 5.5, 5.5, 0.6, 0.0};
    const auto J = jacobian(p, 11);
    for (int j = 6; j < 11; j++) EXPECT_GT(J[(5 * 11 + j) * 7 + 3], 0.0);
}

TEST(Jacobian, WritesSevenEntriesForEachPixelOfTheWholeSquare) {
    const Params p{100.0, 1.0, 1.0, 5.0, 5.0, 0.1, 0.0};
    auto J = jacobian(p, 11, 121);
    for (int k = 0; k < 847; k++) EXPECT_NE(J[k], -123.0);
    for (size_t k = 847; k < J.size(); k++) EXPECT_EQ(J[k], -123.0);
    J = jacobian(p, 11, 120);
    const auto ten = jacobian(p, 10, 100);
    for (int k = 0; k < 700; k++) EXPECT_EQ(J[k], ten[k]);
    for (size_t k = 700; k < J.size(); k++) EXPECT_EQ(J[k], -123.0);
    for (int n : {0, -1, -121, std::numeric_limits<int>::min()}) {
        J = jacobian(p, 11, n);
        for (double v : J) EXPECT_EQ(v, -123.0);
    }
}

TEST(Jacobian, OutsideTheDomainShapeEntriesAreNaN) {
    const std::vector<Params> bad = {{100, 1, 1, 5, 5, 1.0, 2},
                                     {100, 1, 1, 5, 5, -1.2, 2},
                                     {100, 0, 1, 5, 5, 0.0, 2},
                                     {100, 1, 0, 5.5, 5.5, 0.3, 2}};
    for (const Params &p : bad) {
        const auto J = jacobian(p, 11);
        for (int px = 0; px < 121; px++) {
            for (int k = 0; k < 6; k++) ASSERT_TRUE(std::isnan(J[px * 7 + k])) << px << " " << k;
            ASSERT_EQ(J[px * 7 + 6], 1.0);
        }
    }
}
