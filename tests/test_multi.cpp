// The multi-emitter batch (gauss2_multi.h) and its joint problem
// (gauss2_multi_problem.h): the problem's score and information against
// numeric ones at every built size, on the instruction set the library
// takes here; one emitter a window is the single fit to the bit; a pair
// 1.5 PSF widths apart resolved; a single spot, round or elongated, clean
// or noisy, never split; rows that do not depend on how the peaks are split
// between calls or threads nor on how frames are stacked; no heap, the
// stack bound; contract breaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "fit_harness.h"
#include "gauss2_mle.h"
#include "gauss2_multi.h"
#include "gauss2_multi_problem.h"
#include "heap_counter.h"
#include "small_stack.h"

namespace {

namespace m = gauss2::multi;

// ---- the joint problem ------------------------------------------------------------

struct Joint {
    double F;
    std::vector<double> I, score, mean;
};

Joint joint_at(const m::WindowData &d, const m::Layout &l, const std::vector<double> &p) {
    const int M = l.params();
    Joint j{0.0, std::vector<double>(static_cast<std::size_t>(M) * M), std::vector<double>(M),
            std::vector<double>(d.size())};
    j.F = m::joint_likelihood_at(d, 1.25, 4.0, l, p.data(), j.I.data(), j.score.data(), j.mean.data());
    return j;
}

TEST(JointProblem, ScoreAndInformationMatchNumericOnesAtEverySize) {
    static m::WindowData d;
    d.side = 9;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> U(0.0, 1.0);
    for (int k = 0; k < d.size(); k++) d.y[k] = 5.0 + 40.0 * U(rng), d.base[k] = 2.0 + 0.01 * k;
    // Free and fixed emitters reaching every built size, padded or not.
    const int layouts[][2] = {{1, 0}, {1, 1}, {2, 0}, {1, 3}, {3, 0}, {2, 2}, {4, 0}, {3, 3},
                              {5, 0}, {4, 3}, {6, 0}, {5, 3}, {7, 0}, {6, 2}, {8, 0}, {1, 7}};
    std::vector<int> sizes;
    for (auto [free, fixed] : layouts) {
        SCOPED_TRACE(testing::Message() << free << " free, " << fixed << " fixed");
        m::Layout l;
        l.free = free, l.fixed = fixed;
        const int M = l.params();
        sizes.push_back(M);
        std::vector<double> p(M, 0.0);
        for (std::size_t k = 0; k < static_cast<std::size_t>(free); k++)
            p[3 * k] = 400.0 + 3000.0 * U(rng), p[3 * k + 1] = 9.0 * U(rng), p[3 * k + 2] = 9.0 * U(rng);
        for (int r = 0; r < fixed; r++) {
            l.fx[r] = -0.5 - 0.4 * r,
            l.fy[r] = 11.0 * U(rng) - 1.0;  // within the reach, as the batch puts them
            p[3 * free + r] =
                r % 2 ? -60.0 * U(rng) : 300.0 * (1.0 + U(rng));  // fixed photons of either sign
        }
        p[M - 1] = 15.0;
        const Joint at = joint_at(d, l, p);
        ASSERT_TRUE(std::isfinite(at.F));
        // Numeric derivatives: the score is -dF/dp, the information sum J J^T / m.
        std::vector<std::vector<double>> J(M, std::vector<double>(d.size(), 0.0));
        for (int a = 0; a < M; a++) {
            std::vector<double> hi = p, lo = p;
            const double h = 1e-6 * std::max(1.0, std::fabs(p[a]));
            hi[a] += h, lo[a] -= h;
            const Joint up = joint_at(d, l, hi), down = joint_at(d, l, lo);
            EXPECT_NEAR(at.score[a], -(up.F - down.F) / (2 * h),
                        1e-5 * std::max(1.0, std::fabs(at.score[a])));
            for (int k = 0; k < d.size(); k++) J[a][k] = (up.mean[k] - down.mean[k]) / (2 * h);
        }
        // Each entry to 1e-5 of its scale sqrt(I_aa I_bb), the bound on an
        // information matrix's entry.
        for (int a = 0; a < M; a++)
            for (int b = 0; b < M; b++) {
                double want = 0.0;
                for (int k = 0; k < d.size(); k++) want += J[a][k] * J[b][k] / at.mean[k];
                if (a == b && want == 0.0) want = 1.0;  // padding: inert
                const double scale = std::sqrt(at.I[a * M + a] * at.I[b * M + b]);
                EXPECT_NEAR(at.I[a * M + b], want, 1e-5 * scale) << a << ", " << b;
                EXPECT_TRUE(same_bits(at.I[a * M + b], at.I[b * M + a]));
            }
    }
    std::sort(sizes.begin(), sizes.end());
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{4, 7, 10, 13, 16, 19, 22, 25}));
}

TEST(JointProblem, DomainAndInvalidData) {
    static m::WindowData d;
    d.side = 7;
    for (int k = 0; k < d.size(); k++) d.y[k] = 20.0, d.base[k] = 1.0;
    m::Layout l;
    l.free = 1, l.fixed = 1, l.fx[0] = -2.0, l.fy[0] = 3.0;
    std::vector<double> I(49), s(7), mean(49);
    const auto F = [&](std::vector<double> p) {
        return m::joint_likelihood_at(d, 1.25, 4.0, l, p.data(), I.data(), s.data(), mean.data());
    };
    EXPECT_TRUE(std::isfinite(F({1000, 3.5, 3.5, -200, 0, 0, 19.0})));   // a fixed emitter may be negative
    EXPECT_EQ(F({0.0, 3.5, 3.5, 100, 0, 0, 19.0}), INFINITY);            // a free one may not
    EXPECT_EQ(F({1000, 11.6, 3.5, 100, 0, 0, 19.0}), INFINITY);          // beyond the reach
    EXPECT_TRUE(std::isfinite(F({1000, 10.9, -3.9, 100, 0, 0, 19.0})));  // within it
    EXPECT_EQ(F({1000, 3.5, 3.5, 100, 0, 0, -30.0}), INFINITY);          // a mean below 0
    d.y[10] = NAN;
    d.check();
    EXPECT_TRUE(std::isnan(F({1000, 3.5, 3.5, 100, 0, 0, 19.0})));  // no likelihood
}

// ---- the batch ----------------------------------------------------------------------

// The window centre of a peak: its own pixel, moved inside its frame (rows
// top .. top + frame_h - 1).
Sint64 inside(Sint64 c, Sint64 lo, Sint64 size, Sint64 mea) {
    return std::clamp(c, lo + mea / 2, lo + size - 1 - mea / 2);
}

// A multi-emitter batch over an image of frames of frame_h rows: first the
// single fits of every peak (the MLE batch), then the joint fits; outputs
// preset to sentinels.
struct Multi {
    Sint64 mea, K, frame_h;
    double sigma, read_var = 1.0;
    std::vector<Sint64> cx, cy, wx, wy;
    std::vector<double> single, single_std;
    std::vector<Sint64> single_flags, single_its;
    std::vector<double> out, out_std;
    std::vector<Sint64> out_flags, n_rows, n_em, its;

    Multi(const std::vector<std::pair<Sint64, Sint64>> &peaks, Sint64 mea_, Sint64 K_, double sigma_,
          Sint64 frame_h_ = 0)
        : mea(mea_), K(K_), frame_h(frame_h_), sigma(sigma_) {
        for (auto [x, y] : peaks) cx.push_back(x), cy.push_back(y);
    }
    Sint64 n() const { return static_cast<Sint64>(cx.size()); }

    // The single fits on windows inside their frames.
    Multi &singles(const Image &f) {
        const Sint64 fh = frame_h > 0 ? frame_h : f.h;
        wx.clear(), wy.clear(), single.clear();
        for (Sint64 i = 0; i < n(); i++) {
            const Sint64 top = cy[i] < 0 ? 0 : cy[i] / fh * fh;
            wx.push_back(cx[i] < 0 ? -1 : inside(cx[i], 0, f.w, mea));
            wy.push_back(cy[i] < 0 ? -1 : inside(cy[i], top, fh, mea));
            const double start[10] = {0.0,
                                      1.5,
                                      1.5,
                                      static_cast<double>(cx[i] - wx[i]) + mea / 2.0,
                                      static_cast<double>(cy[i] - wy[i]) + mea / 2.0,
                                      0.0,
                                      0.0,
                                      0.0,
                                      0.0,
                                      0.0};
            single.insert(single.end(), start, start + 10);
        }
        single_std.assign(single.size(), kSentinel);
        single_flags.assign(cx.size(), -5), single_its.assign(cx.size(), -5);
        fit_array_of_gauss_2d_mle_on_float_image(f.data(), f.w, f.h, mea, n(), wx.data(), wy.data(), read_var,
                                                 nullptr, single.data(), single_std.data(),
                                                 single_flags.data(), single_its.data());
        out.assign(10 * K * n(), kSentinel), out_std.assign(10 * K * n(), kSentinel);
        out_flags.assign(K * n(), -5), n_rows.assign(cx.size(), -5), n_em.assign(cx.size(), -5);
        its.assign(cx.size(), -5);
        return *this;
    }
    int joint(const Image &f, Sint64 first, Sint64 count, const double *opts = nullptr) {
        return fit_array_of_gauss_2d_multi_mle_on_float_image(
            f.px.data(), f.w, f.h, frame_h > 0 ? frame_h : f.h, mea, n(), cx.data(), cy.data(), wx.data(),
            wy.data(), first, count, read_var, nullptr, K, sigma, opts, single.data(), single_std.data(),
            single_flags.data(), single_its.data(), out.data(), out_std.data(), out_flags.data(),
            n_rows.data(), n_em.data(), its.data());
    }
    Multi &run(const Image &f) {
        singles(f);
        EXPECT_EQ(joint(f, 0, n()), 0);
        return *this;
    }
    const double *row(Sint64 i, Sint64 r) const { return &out[10 * (K * i + r)]; }
    const double *row_std(Sint64 i, Sint64 r) const { return &out_std[10 * (K * i + r)]; }
    Sint64 flag(Sint64 i, Sint64 r) const { return out_flags[K * i + r]; }

    // Peak i's rows as written, bit for bit.
    std::vector<double> rows_of(Sint64 i) const {
        std::vector<double> v;
        for (Sint64 r = 0; r < n_rows[i]; r++) {
            v.insert(v.end(), row(i, r), row(i, r) + 10);
            v.insert(v.end(), row_std(i, r), row_std(i, r) + 7);
            v.push_back(static_cast<double>(flag(i, r)));
        }
        v.push_back(static_cast<double>(n_em[i])), v.push_back(static_cast<double>(its[i]));
        return v;
    }
    bool same_as(const Multi &o) const {
        for (Sint64 i = 0; i < n(); i++)
            if (!same_bits(rows_of(i), o.rows_of(i))) return false;
        return n_rows == o.n_rows;
    }
};

// A field of round spots of width 1.3 (sampled at pixel centres, the
// model's own form) on a background of 20 photo-electrons.
Image round_spots(Sint64 w, Sint64 h, const std::vector<std::array<double, 3>> &spots, double sigma = 1.3) {
    Image f(w, h, 20.0);
    for (auto [x, y, n] : spots) f.add_spot({n, sigma, sigma, x, y, 0.0, 0.0});
    return f;
}

// Crowded frames: n spots a frame, uniformly at random, with photon noise.
Image crowded_frames(int frames, Sint64 side, int n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> at(0.0, static_cast<double>(side)), photons(800.0, 5000.0);
    Image f(side, side * frames, 20.0);
    for (int k = 0; k < frames; k++) {
        Image one(side, side, 0.0);
        for (int s = 0; s < n; s++) one.add_spot({photons(rng), 1.3, 1.3, at(rng), at(rng), 0.0, 0.0});
        for (Sint64 i = 0; i < side * side; i++) f.px[k * side * side + i] += one.px[i];
    }
    f.add_photon_noise(rng, 1.0);
    return f;
}

// The peaks of the frames: local maxima of 3 x 3 above the level, in row
// order.
std::vector<std::pair<Sint64, Sint64>> maxima(const Image &f, double level) {
    std::vector<std::pair<Sint64, Sint64>> peaks;
    for (Sint64 y = 1; y + 1 < f.h; y++)
        for (Sint64 x = 1; x + 1 < f.w; x++) {
            bool top = f.at(x, y) > level;
            for (int dy = -1; dy <= 1 && top; dy++)
                for (int dx = -1; dx <= 1 && top; dx++)
                    top = (dx == 0 && dy == 0) || f.at(x + dx, y + dy) < f.at(x, y);
            if (top) peaks.emplace_back(x, y);
        }
    return peaks;
}

TEST(MultiBatch, OneEmitterAWindowIsTheSingleFitToTheBit) {
    const Image f = crowded_frames(2, 48, 25, 3);
    const auto peaks = maxima(f, 60.0);
    ASSERT_GT(peaks.size(), 20u);
    Multi b(peaks, 7, 1, 1.3, 48);
    b.run(f);
    for (Sint64 i = 0; i < b.n(); i++) {
        SCOPED_TRACE(i);
        ASSERT_EQ(b.n_rows[i], 1);
        const double *r = b.row(i, 0), *s = &b.single[10 * i];
        const double top = static_cast<double>(b.cy[i] - b.cy[i] % 48);  // the frame's first row
        EXPECT_TRUE(same_bits(r[0], s[0]) && same_bits(r[1], s[1]) && same_bits(r[2], s[2]));
        EXPECT_TRUE(same_bits(r[5], s[5]) && same_bits(r[6], s[6]) && same_bits(r[8], s[8]));
        EXPECT_TRUE(same_bits(r[3], static_cast<double>(b.wx[i] - 3) + s[3]));
        EXPECT_TRUE(same_bits(r[4], static_cast<double>(b.wy[i] - 3 - static_cast<Sint64>(top)) + s[4]));
        EXPECT_TRUE(same_bits(b.row_std(i, 0), &b.single_std[10 * i], 7));
        EXPECT_EQ(r[7], kSentinel);  // never touched
        EXPECT_EQ(b.flag(i, 0), b.single_flags[i]);
        EXPECT_EQ(b.its[i], b.single_its[i]);
        EXPECT_EQ(b.n_em[i], 1);
    }
}

TEST(MultiBatch, TwoSpotsOneAndAHalfWidthsApartAreResolved) {
    const double sigma = 1.3, d = 1.5 * sigma;
    for (double angle : {0.0, 0.6, 1.2, 2.0}) {
        for (int noisy = 0; noisy < 2; noisy++) {
            SCOPED_TRACE(testing::Message() << "angle " << angle << (noisy ? ", noisy" : ", clean"));
            const double x0 = 20.3, y0 = 19.6, dx = 0.5 * d * std::cos(angle), dy = 0.5 * d * std::sin(angle);
            Image f = round_spots(40, 40, {{{x0 - dx, y0 - dy, 4000.0}, {x0 + dx, y0 + dy, 3000.0}}}, sigma);
            if (noisy) {
                std::mt19937_64 rng(11 + static_cast<int>(angle * 10));
                f.add_photon_noise(rng, 1.0);
            }
            const auto peaks = maxima(f, 60.0);
            ASSERT_EQ(peaks.size(), 1u);  // one peak for the two
            Multi b(peaks, 7, 5, sigma);
            b.run(f);
            ASSERT_EQ(b.n_rows[0], 2);
            EXPECT_EQ(b.n_em[0], 2);
            // Each true spot has a row within 0.05 px (clean) or 0.25 px.
            for (auto [x, y] : {std::pair{x0 - dx, y0 - dy}, std::pair{x0 + dx, y0 + dy}}) {
                double best = INFINITY;
                for (int r = 0; r < 2; r++)
                    best = std::min(best, std::hypot(b.row(0, r)[3] - x, b.row(0, r)[4] - y));
                EXPECT_LT(best, noisy ? 0.25 : 0.05);
            }
            for (int r = 0; r < 2; r++) {
                EXPECT_EQ(b.flag(0, r), GAUSS2_FLAG_GOOD);
                EXPECT_EQ(b.row(0, r)[1], sigma);
                EXPECT_TRUE(std::isnan(b.row_std(0, r)[1]) && std::isfinite(b.row_std(0, r)[3]));
            }
        }
    }
}

TEST(MultiBatch, OneSpotIsNeverSplit) {
    // Clean spots, round or elongated, dim to very bright, at sub-pixel
    // offsets; the PSF's width given as the spot's (its smaller width).
    for (double photons : {500.0, 5000.0, 50000.0})
        for (auto [sx, sy, rho] :
             {std::array{1.3, 1.3, 0.0}, std::array{1.1, 1.5, 0.0}, std::array{1.2, 1.5, 0.2}})
            for (double off : {0.0, 0.3, 0.5}) {
                SCOPED_TRACE(testing::Message()
                             << photons << " photons, " << sx << " x " << sy << ", offset " << off);
                Image f(31, 31, 20.0);
                f.add_spot({photons, sx, sy, 15.5 + off, 15.2 + off / 2, rho, 0.0});
                Multi b({{15, 15}}, 7, 5, std::min(sx, sy));
                b.run(f);
                EXPECT_EQ(b.n_rows[0], 1);
                EXPECT_EQ(b.flag(0, 0), GAUSS2_FLAG_GOOD);
            }
    // Noisy spots, with the PSF's width 4 % low (as the estimate reads it).
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> photons(300.0, 20000.0), offset(0.0, 1.0);
    int rows = 0, spots = 0;
    for (int k = 0; k < 300; k++) {
        Image f(21, 21, 20.0);
        f.add_spot({photons(rng), 1.3, 1.3, 10.0 + offset(rng), 10.0 + offset(rng), 0.0, 0.0});
        f.add_photon_noise(rng, 1.0);
        Multi b({{10, 10}}, 7, 5, 1.3 * 0.96);
        b.run(f);
        rows += static_cast<int>(b.n_rows[0]), spots++;
    }
    EXPECT_EQ(rows, spots);
}

TEST(MultiBatch, RowsDependNeitherOnSplitsThreadsNorTheStackingOfFrames) {
    const Image f = crowded_frames(3, 40, 40, 21);  // 2.5 spots / 100 px^2
    const auto peaks = maxima(f, 60.0);
    Multi whole(peaks, 7, 5, 1.3, 40);
    whole.run(f);
    Sint64 joint = 0;
    for (Sint64 i = 0; i < whole.n(); i++) joint += whole.n_em[i] > 1;
    ASSERT_GT(joint, whole.n() / 3);  // crowded: most windows are fitted jointly
    // Three calls, and two threads.
    Multi split = whole, threads = whole;
    split.singles(f);
    const Sint64 third = whole.n() / 3;
    split.joint(f, 0, third), split.joint(f, third, third), split.joint(f, 2 * third, whole.n() - 2 * third);
    EXPECT_TRUE(split.same_as(whole));
    threads.singles(f);
    std::thread a([&] { threads.joint(f, 0, third); });
    std::thread b([&] { threads.joint(f, third, whole.n() - third); });
    a.join(), b.join();
    EXPECT_TRUE(threads.same_as(whole));
    // The frames stacked in another order (last first), the peaks unsorted:
    // every peak's rows are the same.
    Image g(40, 120);
    for (Sint64 k = 0; k < 3; k++)
        std::copy(f.px.begin() + (2 - k) * 1600, f.px.begin() + (3 - k) * 1600, g.px.begin() + k * 1600);
    std::vector<std::pair<Sint64, Sint64>> moved;
    moved.reserve(peaks.size());
    for (auto [x, y] : peaks) moved.emplace_back(x, (2 - y / 40) * 40 + y % 40);
    std::reverse(moved.begin(), moved.end());
    Multi other(moved, 7, 5, 1.3, 40);
    other.run(g);
    for (Sint64 i = 0; i < whole.n(); i++)
        EXPECT_TRUE(same_bits(whole.rows_of(i), other.rows_of(whole.n() - 1 - i)));
}

TEST(MultiBatch, SkippedPeaksWindowsAtTheEdgeAndNaNPixels) {
    Image f = round_spots(30, 30, {{{0.6, 14.2, 3000.0}, {20.4, 20.5, 3000.0}}});
    f.at(22, 21) = NAN;
    Multi b({{-1, 3}, {0, 14}, {20, 20}, {31, 5}}, 7, 5, 1.3);
    b.run(f);
    // A negative index, and a pixel outside the image (its window inside):
    // one row, skipped, untouched.
    for (Sint64 i : {0, 3}) {
        EXPECT_EQ(b.n_rows[i], 1);
        EXPECT_EQ(b.flag(i, 0), GAUSS2_FLAG_SKIPPED);
        EXPECT_EQ(b.row(i, 0)[0], kSentinel);
        EXPECT_EQ(b.n_em[i], 0);
        EXPECT_EQ(b.its[i], 0);
    }
    // At the edge: the window moved inward, the spot found where it is.
    EXPECT_EQ(b.n_rows[1], 1);
    EXPECT_EQ(b.flag(1, 0), GAUSS2_FLAG_GOOD);
    EXPECT_NEAR(b.row(1, 0)[3], 0.6, 1e-3);
    EXPECT_NEAR(b.row(1, 0)[4], 14.2, 1e-3);
    // A NaN in the window: the single fit fails, and so the row.
    EXPECT_EQ(b.flag(2, 0), GAUSS2_FLAG_FAILED);
}

TEST(MultiResources, NoHeapAndTheStackOfAFit) {
    const Image f = crowded_frames(1, 64, 60, 4);
    const auto peaks = maxima(f, 60.0);
    if (kMallocCounted) {
        Multi b(peaks, 7, 8, 1.3);
        b.singles(f);
        const long before = heap_calls();
        b.joint(f, 0, b.n());
        EXPECT_EQ(heap_calls() - before, 0);
    }
    // The largest window and model: within the bound the header states
    // (about 86 KiB measured), so within a 128 KiB thread stack.
    const long start = run_on_small_stack(64L * 1024, [] { return true; }).used;
    Multi expected(peaks, GAUSS2_MULTI_MAX_MEA, GAUSS2_MULTI_MAX_EMITTERS, 1.3);
    expected.run(f);
    const long bound = start + 100L * 1024;
    const StackRun run = run_on_small_stack(kOptimisedFrames ? bound : 4 * bound, [&] {
        Multi b = expected;
        b.singles(f);
        b.joint(f, 0, b.n());
        return b.same_as(expected);
    });
    EXPECT_TRUE(run.completed);
    if (kOptimisedFrames) {
        EXPECT_LE(run.used, bound);
    }
}

TEST(MultiHostile, ContractBreaksEndTheProcessWithAMessage) {
    const Image f = round_spots(30, 30, {{{15.4, 15.2, 3000.0}}});
    Multi b({{15, 15}}, 7, 5, 1.3);
    b.singles(f);
    const auto call = [&](Sint64 mea, Sint64 K, double sigma, Sint64 frame_h, Sint64 first, Sint64 count,
                          double read_var = 1.0) {
        fit_array_of_gauss_2d_multi_mle_on_float_image(
            f.px.data(), f.w, f.h, frame_h, mea, 1, b.cx.data(), b.cy.data(), b.wx.data(), b.wy.data(), first,
            count, read_var, nullptr, K, sigma, nullptr, b.single.data(), b.single_std.data(),
            b.single_flags.data(), nullptr, b.out.data(), b.out_std.data(), b.out_flags.data(),
            b.n_rows.data(), b.n_em.data(), b.its.data());
    };
    EXPECT_EXIT(call(7, 0, 1.3, 30, 0, 1), testing::ExitedWithCode(1),
                "^max_emitters must be from 1 to 8, got 0\n$");
    EXPECT_EXIT(call(7, 9, 1.3, 30, 0, 1), testing::ExitedWithCode(1),
                "^max_emitters must be from 1 to 8, got 9\n$");
    for (double sigma : {0.0, -1.0, kNaN, 32.0})
        EXPECT_EXIT(call(7, 5, sigma, 30, 0, 1), testing::ExitedWithCode(1), "^psf_sigma must be positive");
    EXPECT_EXIT(call(7, 5, 1.3, 0, 0, 1), testing::ExitedWithCode(1), "^frame_h must be positive, got 0\n$");
    EXPECT_EXIT(call(7, 5, 1.3, 30, 1, 1), testing::ExitedWithCode(1), "are not among the 1 peaks");
    EXPECT_EXIT(call(7, 5, 1.3, 30, -1, 1), testing::ExitedWithCode(1), "are not among the 1 peaks");
    EXPECT_EXIT(call(33, 5, 1.3, 30, 0, 1), testing::ExitedWithCode(1), "^Mea too large for joint fits: 33");
    EXPECT_EXIT(call(8, 5, 1.3, 30, 0, 1), testing::ExitedWithCode(1), "^Mea must be odd\n$");
    EXPECT_EXIT(call(7, 5, 1.3, 30, 0, 1, -1.0), testing::ExitedWithCode(1), "^Read-noise variance");
    // An empty range reads nothing.
    call(7, 5, 1.3, 30, 1, 0);
    EXPECT_EQ(b.n_rows[0], -5);
}

}  // namespace
