// The photon-statistics extensions (gauss2_mle.h): the Poisson
// maximum-likelihood batch against noise-free spots, its score and Fisher
// information against numeric ones from an independent model, its domain,
// the calibration of its errors and of the least-squares sandwich errors on
// seeded photon noise, the sandwich against the least-squares covariance,
// the least-squares batch with a report against the plain batch, hostile
// input, the heap and the stack. The damped Fisher scoring solver
// (lm/scoring.h) on a problem of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "fit_harness.h"
#include "gauss2_kernel.h"
#include "gauss2_mle.h"
#include "gauss_reference.h"
#include "heap_counter.h"
#include "lm/scoring.h"
#include "small_stack.h"

namespace {

// The extensions' batches over the harness's: the flags hold their
// GAUSS2_FLAG_* codes, beside the iterations and stop reasons.
struct MleBatch : Batch {
    std::vector<Sint64> iterations, reasons;

    explicit MleBatch(const std::vector<std::pair<Sint64, Sint64>> &peaks, Sint64 mea = 11)
        : Batch(peaks, static_cast<double>(mea) / 2.0), iterations(cx.size(), -5), reasons(cx.size(), -5) {}

    Sint64 n() const { return static_cast<Sint64>(cx.size()); }
    MleBatch &mle(const Image &f, Sint64 mea = 11, double read_var = 0.0, const double *map = nullptr) {
        EXPECT_EQ(fit_array_of_gauss_2d_mle_on_float_image(f.data(), f.w, f.h, mea, n(), cx.data(), cy.data(),
                                                           read_var, map, params.data(), std_params.data(),
                                                           flags.data(), iterations.data()),
                  0);
        return *this;
    }
    MleBatch &lsq_report(const Image &f, Sint64 mea = 11) {
        EXPECT_EQ(fit_array_of_gauss_2d_on_float_image_report(
                      f.data(), f.w, f.h, mea, n(), cx.data(), cy.data(), params.data(), std_params.data(),
                      flags.data(), reasons.data(), iterations.data()),
                  0);
        return *this;
    }
    MleBatch &lsq(const Image &f, Sint64 mea = 11) {
        EXPECT_EQ(run(f, mea), 0);
        return *this;
    }
    // Photon-noise errors of the records as they stand (n x 10).
    std::vector<double> photon_std(const Image &f, Sint64 mea = 11, double read_var = 0.0,
                                   const double *map = nullptr) const {
        std::vector<double> out(params.size(), kSentinel);
        EXPECT_EQ(photon_std_of_gauss_2d_records(f.w, f.h, mea, n(), cx.data(), cy.data(), read_var, map,
                                                 params.data(), out.data()),
                  0);
        return out;
    }
};

// Sets the maximum-likelihood options for a scope.
struct MleOptions {
    double saved[2];
    MleOptions(double tau, double eps2) {
        std::memcpy(saved, gauss2_mle_opts, sizeof saved);
        gauss2_mle_opts[0] = tau, gauss2_mle_opts[1] = eps2;
    }
    ~MleOptions() { std::memcpy(gauss2_mle_opts, saved, sizeof saved); }
};

// -log L + const of an 11 x 11 patch `y` (data + variance, clamped at 0)
// under the reference model at p plus the variance s2, in long double.
long double neg_log_likelihood(const std::vector<double> &y, double s2, const Params &p, int side = 11) {
    long double F = 0.0L;
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) {
            const long double m = ref_pixel(p, i, j).value + s2;
            const int at = i * side + j;
            F += m - y[static_cast<size_t>(at)] * std::log(m);
        }
    return F;
}

// The window of (cx, cy) with half-side 5 in photo-electrons plus s2, clamped at 0.
std::vector<double> window_data(const Image &f, Sint64 cx, Sint64 cy, double s2) {
    std::vector<double> y;
    for (Sint64 r = cy - 5; r <= cy + 5; r++)
        for (Sint64 c = cx - 5; c <= cx + 5; c++) y.push_back(std::max(f.at(c, r) + s2, 0.0));
    return y;
}

}  // namespace

// ---- estimates -------------------------------------------------------------

// Without noise the data are the model: the likelihood's maximum is the
// truth. With the stopping bound at its default, the estimate lies within
// 1e-3 of a standard error of it; with the bound at zero, where only
// rounding stops the fit, within 1e-7 relative, and the goodness of fit is 0.
TEST(MleFit, NoiseFreeSpotsAreRecoveredExactly) {
    const Params spots[] = {{3000, 1.3, 1.6, 20.4, 19.8, 0.15, 0},
                            {800, 1.1, 1.8, 19.6, 20.2, -0.35, 0},
                            {20000, 1.7, 1.2, 20.05, 20.45, 0.0, 0}};
    for (double s2 : {0.0, 4.0, 100.0}) {
        for (const Params &p : spots) {
            SCOPED_TRACE(s2);
            Image f(40, 40, 25.0);
            f.add_spot(p);
            const Params truth{p[0], p[1], p[2], p[3] - 15, p[4] - 14, p[5], 25.0};
            MleBatch plain({{20, 19}});
            plain.mle(f, 11, s2);
            ASSERT_EQ(plain.flags[0], GAUSS2_FLAG_GOOD);
            EXPECT_GE(plain.iterations[0], 1);
            for (int k = 0; k < 7; k++)
                EXPECT_LE(std::fabs(plain.rec(0)[k] - truth[k]), 1e-3 * plain.err(0)[k]) << k;
            MleOptions exact(1e-3, 0.0);
            MleBatch b({{20, 19}});
            b.mle(f, 11, s2);
            ASSERT_EQ(b.flags[0], GAUSS2_FLAG_GOOD);
            for (int k = 0; k < 7; k++)
                EXPECT_NEAR(b.rec(0)[k], truth[k], 1e-7 * (1.0 + std::fabs(truth[k]))) << k;
            EXPECT_NEAR(b.rec(0)[8], 0.0, 1e-7);
            EXPECT_EQ(b.rec(0)[7], 0.125);
            EXPECT_EQ(b.rec(0)[9], 0.25);
            for (int k = 7; k < 10; k++) EXPECT_EQ(b.err(0)[k], kSentinel);
        }
    }
}

namespace {

// The information I and score at p of the window's data y against the
// reference model's numeric derivatives (central differences).
void expect_information(const Params &p, const std::vector<double> &y, double s2, const lm::Matrix<7> &I,
                        const lm::Vector<7> &score) {
    std::vector<std::array<long double, 7>> J(121);
    std::vector<long double> m(121);
    for (int k = 0; k < 7; k++) {
        const double h = 1e-5 * (std::fabs(p[k]) + 1e-2);
        Params lo = p, hi = p;
        lo[k] -= h, hi[k] += h;
        for (int i = 0; i < 11; i++)
            for (int j = 0; j < 11; j++)
                J[static_cast<size_t>(i) * 11 + static_cast<size_t>(j)][static_cast<size_t>(k)] =
                    (ref_pixel(hi, i, j).value - ref_pixel(lo, i, j).value) / (2 * h);
    }
    for (int i = 0; i < 11; i++)
        for (int j = 0; j < 11; j++)
            m[static_cast<size_t>(i) * 11 + static_cast<size_t>(j)] = ref_pixel(p, i, j).value + s2;
    for (int k = 0; k < 7; k++) {
        long double sk = 0.0L;
        for (size_t i = 0; i < 121; i++) sk += (y[i] / m[i] - 1.0L) * J[i][static_cast<size_t>(k)];
        EXPECT_NEAR(score[k], static_cast<double>(sk), 1e-6 * std::sqrt(I(k, k))) << k;
        for (int l = 0; l < 7; l++) {
            long double Ikl = 0.0L;
            for (size_t i = 0; i < 121; i++)
                Ikl += J[i][static_cast<size_t>(k)] * J[i][static_cast<size_t>(l)] / m[i];
            EXPECT_NEAR(I(k, l), static_cast<double>(Ikl), 1e-6 * std::sqrt(I(k, k) * I(l, l)))
                << k << "," << l;
        }
    }
}

}  // namespace

// On noisy data: the numeric gradient of an independent log-likelihood
// vanishes at the estimate (in units of the standard errors), and the
// kernel's Fisher information and score agree with numeric ones at any
// point, so that the errors are the Cramer-Rao bounds of the model.
TEST(MleFit, ScoreVanishesAtTheEstimateAndInformationMatchesNumericOnes) {
    std::mt19937_64 rng(5);
    Image f(40, 40, 40.0);
    f.add_spot({2500, 1.4, 1.2, 20.3, 19.6, 0.2, 0});
    f.add_photon_noise(rng, 2.0);
    const double s2 = 4.0;
    MleOptions tight(1e-3, 1e-20);
    MleBatch b({{20, 19}});
    b.mle(f, 11, s2);
    ASSERT_EQ(b.flags[0], GAUSS2_FLAG_GOOD);
    const std::vector<double> y = window_data(f, 20, 19, s2);
    Params est;
    std::copy(b.rec(0), b.rec(0) + 7, est.begin());
    for (int k = 0; k < 7; k++) {
        const double h = 1e-3 * b.err(0)[k];
        Params lo = est, hi = est;
        lo[k] -= h, hi[k] += h;
        const double grad =
            static_cast<double>(neg_log_likelihood(y, s2, hi) - neg_log_likelihood(y, s2, lo)) / (2 * h);
        EXPECT_LT(std::fabs(grad * b.err(0)[k]), 1e-4) << k;  // the score in standard-error units
    }

    // The kernel's information and score at a point off the estimate.
    Params p = est;
    p[3] += 0.2, p[1] *= 1.1, p[6] += 3.0;
    const double *window = &f.px[static_cast<size_t>(14 * f.w + 15)];
    for (int path = 0; path <= static_cast<int>(gauss2::best_kernel_path()); path++) {
        SCOPED_TRACE(gauss2::kernel_path_name(static_cast<gauss2::KernelPath>(path)));
        lm::Matrix<7> I;
        lm::Vector<7> score;
        ASSERT_TRUE(std::isfinite(gauss2::likelihood_at(static_cast<gauss2::KernelPath>(path), window, f.w,
                                                        gauss2::Variance{s2, nullptr}, 11, p.data(), I.data(),
                                                        score.data())));
        expect_information(p, y, s2, I, score);
    }
}

// ---- the domain ------------------------------------------------------------------

// A Poisson mean m = a + b t (t = 0..1) whose full scoring steps from the
// start would make m negative: every trial is recorded; those outside the
// domain are rejected, never accepted, and the run still converges.
namespace {

struct LineProblem {
    std::vector<double> y;
    std::vector<std::array<double, 3>> trials;  // a, b, F
    std::vector<std::array<double, 2>> accepted;
    double last[2] = {0, 0};
    double mean(const double *p, int i) const {
        return p[0] + p[1] * i / (static_cast<double>(y.size()) - 1);
    }
    int size() const { return static_cast<int>(y.size()); }
    double trial(const double *p) {
        double F = 0.0;
        bool inside = true;
        for (int i = 0; i < size(); i++) {
            const double m = mean(p, i);
            inside = inside && m > 0.0;
            if (inside) F += m - y[static_cast<size_t>(i)] * std::log(m);
        }
        if (!inside) F = INFINITY;
        trials.push_back({p[0], p[1], F});
        last[0] = p[0], last[1] = p[1];
        return F;
    }
    void accept() { accepted.push_back({last[0], last[1]}); }
    void information(const double *p, lm::Matrix<2> &I, lm::Vector<2> &s) {
        I.setZero(), s.setZero();
        for (int i = 0; i < size(); i++) {
            const double t = i / (static_cast<double>(y.size()) - 1), m = mean(p, i);
            const double J[2] = {1.0, t};
            for (int k = 0; k < 2; k++) {
                s[k] += (y[static_cast<size_t>(i)] / m - 1.0) * J[k];
                for (int l = 0; l < 2; l++) I(k, l) += J[k] * J[l] / m;
            }
        }
    }
};

}  // namespace

TEST(MleDomain, StepsThatWouldLeaveTheDomainAreRejected) {
    LineProblem line;
    line.y = {0.2, 0.1, 0.0, 0.4, 1.0, 3.0, 6.0, 9.0, 14.0, 20.0};
    double p[2] = {30.0, -25.0};  // m from 30 down to 5; the optimum has m(0) near 0
    lm::Matrix<2> I;
    const lm::ScoringSummary s = lm::score_fit<2>(line, p, 75, lm::ScoringOptions{1e-3, 1e-12}, I);
    EXPECT_TRUE(s.stop == lm::kConverged || s.stop == lm::kNoDescent) << s.stop;
    int outside = 0;
    for (const auto &t : line.trials) outside += std::isinf(t[2]);
    EXPECT_GT(outside, 0);  // the undamped steps would have left the domain
    for (const auto &a : line.accepted) {
        const double q[2] = {a[0], a[1]};
        for (int i = 0; i < line.size(); i++) EXPECT_GT(line.mean(q, i), 0.0);
    }
    EXPECT_GT(p[0], 0.0);
    EXPECT_LT(p[0], 0.5);
}

// The patch problem's domain: widths > 0, |rho| < 1 and f + s2 > 0 on every
// pixel; and a start whose offset, the window's minimum, leaves f + s2 <= 0
// is lifted into the domain.
TEST(MleDomain, PatchDomainAndStartsBelowZero) {
    std::mt19937_64 rng(9);
    Image f(40, 40, 0.3);  // a dark background: read noise makes pixels negative
    f.add_spot({600, 1.3, 1.3, 20.4, 19.7, 0.0, 0});
    f.add_photon_noise(rng, 1.5);
    const double *window = &f.px[static_cast<size_t>(14 * f.w + 15)];
    const gauss2::Variance var{0.01, nullptr};
    for (int i = 0; i <= static_cast<int>(gauss2::best_kernel_path()); i++) {
        const auto path = static_cast<gauss2::KernelPath>(i);
        SCOPED_TRACE(gauss2::kernel_path_name(path));
        const Params good{600, 1.3, 1.3, 5.4, 5.7, 0.0, 0.3};
        EXPECT_TRUE(
            std::isfinite(gauss2::likelihood_at(path, window, f.w, var, 11, good.data(), nullptr, nullptr)));
        for (auto [k, v] : std::vector<std::pair<int, double>>{
                 {1, 0.0}, {2, -1.0}, {5, 1.0}, {5, -1.0}, {6, -0.5}, {0, -1e4}}) {
            Params q = good;
            q[static_cast<size_t>(k)] = v;
            EXPECT_EQ(gauss2::likelihood_at(path, window, f.w, var, 11, q.data(), nullptr, nullptr), INFINITY)
                << k << " " << v;
        }
    }
    MleBatch b({{20, 19}});
    b.mle(f, 11, 0.01);
    EXPECT_EQ(b.flags[0], GAUSS2_FLAG_GOOD);
    EXPECT_NEAR(b.rec(0)[3], 5.4, 0.3);
    EXPECT_GT(b.rec(0)[6] + 0.01, 0.0);
}

// ---- calibration -----------------------------------------------------------------

// Seeded photon noise on a few hundred spots: the Cramer-Rao bounds of the
// maximum likelihood and the sandwich errors of least squares describe the
// scatter of the positions (RMS of error / reported error near 1), and the
// maximum-likelihood positions reach the bound. The bands are several
// standard deviations of these statistics wide, so that they hold for any
// seed; a 20 % error in a formula leaves them.
TEST(MleCalibration, ErrorsDescribeTheScatterOfSeededSpots) {
    for (unsigned seed : {1u, 2u}) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> U(0.0, 1.0);
        constexpr Sint64 kGrid = 18, kCell = 20;
        Image f(kGrid * kCell, kGrid * kCell, 30.0);
        std::vector<std::pair<Sint64, Sint64>> peaks;
        std::vector<Params> truth;
        for (int gy = 0; gy < kGrid; gy++)
            for (int gx = 0; gx < kGrid; gx++) {
                const Params p{1000 + 4000 * U(rng),
                               1.1 + 0.6 * U(rng),
                               1.1 + 0.6 * U(rng),
                               gx * kCell + 10 + U(rng),
                               gy * kCell + 10 + U(rng),
                               -0.3 + 0.6 * U(rng),
                               0.0};
                f.add_spot(p);
                truth.push_back(p);
                peaks.push_back({static_cast<Sint64>(p[3]), static_cast<Sint64>(p[4])});
            }
        f.add_photon_noise(rng, 2.0);
        MleBatch mle(peaks), lsq(peaks);
        mle.mle(f, 11, 4.0);
        lsq.lsq(f, 11);
        const std::vector<double> sandwich = lsq.photon_std(f, 11, 4.0);
        double z_mle = 0, z_sand = 0, z_lsq = 0, e2 = 0, crlb2 = 0;
        int n = 0;
        for (size_t i = 0; i < peaks.size(); i++) {
            if (mle.flags[i] != 0 || lsq.flags[i] != 0) continue;
            for (int k : {3, 4}) {
                const double origin = (k == 3 ? peaks[i].first : peaks[i].second) - 5.0;
                const double em = mle.rec(i)[k] - (truth[i][static_cast<size_t>(k)] - origin);
                const double el = lsq.rec(i)[k] - (truth[i][static_cast<size_t>(k)] - origin);
                z_mle += em * em / (mle.err(i)[k] * mle.err(i)[k]);
                z_sand += el * el / (sandwich[10 * i + k] * sandwich[10 * i + k]);
                z_lsq += el * el / (lsq.err(i)[k] * lsq.err(i)[k]);
                e2 += em * em, crlb2 += mle.err(i)[k] * mle.err(i)[k];
                n++;
            }
        }
        ASSERT_GT(n, 600);
        EXPECT_NEAR(std::sqrt(z_mle / n), 1.0, 0.12);
        EXPECT_NEAR(std::sqrt(z_sand / n), 1.0, 0.12);
        EXPECT_GT(std::sqrt(z_lsq / n), 1.15);  // the least-squares covariance assumes equal noise: too small
        EXPECT_LT(std::sqrt(e2 / crlb2), 1.12);
    }
}

// ---- the sandwich -------------------------------------------------------------------

// When every pixel has the same variance c (a variance map c - f), the
// sandwich is (J^T J)^-1 c: the least-squares covariance (J^T J)^-1 E / (n - 7)
// rescaled. Records of skipped peaks are untouched, those outside the image
// or with f + s2 <= 0 get NaN.
TEST(PhotonErrors, SandwichIsTheCovarianceTimesACommonVariance) {
    std::mt19937_64 rng(3);
    Image f(40, 40, 50.0);
    f.add_spot({4000, 1.5, 1.3, 20.2, 19.9, 0.1, 0});
    f.add_photon_noise(rng, 0.0);
    double p[7] = {0.0, 1.5, 1.5, 5.5, 5.5, 0.0, 0.0}, info[10], covar[49], noise = 0;
    ASSERT_EQ(fit_gauss_2d_on_float_image(f.data(), f.w, f.h, 20, 19, 11, p, info, covar, &noise), 0);
    const double c = 5000.0;
    Params image_p{p[0], p[1], p[2], p[3] + 15, p[4] + 14, p[5], p[6]};
    std::vector<double> model(f.px.size()), map(f.px.size());
    gauss_2d(image_p.data(), model.data(), 7, static_cast<int>(model.size()), nullptr);
    for (size_t k = 0; k < map.size(); k++) map[k] = c - model[k];
    MleBatch b({{20, 19}, {-1, 3}, {kMaxIndex, 19}});
    std::copy(p, p + 7, b.params.begin());
    const std::vector<double> sw = b.photon_std(f, 11, 0.0, map.data());
    for (int k = 0; k < 7; k++)
        EXPECT_NEAR(sw[k] * sw[k], covar[k * 8L] * c * (121 - 7) / info[1], 1e-9 * sw[k] * sw[k]) << k;
    for (int k = 0; k < 10; k++) EXPECT_EQ(sw[10 + k], kSentinel);  // skipped
    for (int k = 0; k < 7; k++) EXPECT_TRUE(std::isnan(sw[20 + k]));
    EXPECT_EQ(sw[27], kSentinel);
    for (double &v : map) v = -60.0;  // f + s2 < 0 at the window's edge
    EXPECT_TRUE(std::isnan(b.photon_std(f, 11, 0.0, map.data())[3]));
    map.assign(map.size(), 1.0);
    map[static_cast<size_t>(17 * f.w + 21)] = kNaN;
    EXPECT_TRUE(std::isnan(b.photon_std(f, 11, 0.0, map.data())[3]));
    EXPECT_FALSE(std::isnan(b.photon_std(f, 11, 1.0)[3]));
}

// ---- least squares with a report ------------------------------------------------------

TEST(LsqReport, TheBatchBitForBitWithFlagsStopReasonsAndIterations) {
    std::mt19937_64 rng(4);
    Image f(60, 60, 100.0);
    f.add_spot({3000, 1.4, 1.3, 15.3, 14.6, 0.1, 0});
    f.add_spot({2000, 1.2, 1.6, 40.7, 30.2, -0.2, 0});
    f.add_photon_noise(rng, 3.0);
    f.px[static_cast<size_t>(30 * f.w + 41)] = kNaN;
    const std::vector<std::pair<Sint64, Sint64>> peaks = {
        {15, 14}, {40, 30}, {-1, 4}, {57, 30}, {kMaxIndex, kMinIndex + 1}};
    MleBatch plain(peaks), report(peaks);
    plain.lsq(f);
    report.lsq_report(f);
    EXPECT_TRUE(same_bits(plain.params, report.params));
    EXPECT_TRUE(same_bits(plain.std_params, report.std_params));
    EXPECT_EQ(plain.flags, (std::vector<Sint64>{0, 1, 1, 1, 1}));
    EXPECT_EQ(report.flags, (std::vector<Sint64>{GAUSS2_FLAG_GOOD, GAUSS2_FLAG_FAILED, GAUSS2_FLAG_SKIPPED,
                                                 GAUSS2_FLAG_SKIPPED, GAUSS2_FLAG_SKIPPED}));
    double p[7] = {0.0, 1.5, 1.5, 5.5, 5.5, 0.0, 0.0}, info[10], covar[49], noise;
    fit_gauss_2d_on_float_image(f.data(), f.w, f.h, 15, 14, 11, p, info, covar, &noise);
    EXPECT_EQ(report.iterations[0], static_cast<Sint64>(info[5]));
    EXPECT_EQ(report.reasons[0], static_cast<Sint64>(info[6]));
    EXPECT_EQ(report.reasons[1], 7);  // NaN in the window
    for (size_t i : {2, 3, 4}) {
        EXPECT_EQ(report.reasons[i], 0);
        EXPECT_EQ(report.iterations[i], 0);
    }
    EXPECT_EQ(fit_array_of_gauss_2d_on_float_image_report(
                  f.data(), f.w, f.h, 11, 1, report.cx.data(), report.cy.data(), report.params.data(),
                  report.std_params.data(), report.flags.data(), nullptr, nullptr),
              0);
}

// ---- hostile input ---------------------------------------------------------------------

TEST(MleHostile, CentresCountsAndSidesAsTheLeastSquaresBatch) {
    Image f(30, 30, 20.0);
    f.add_spot({2000, 1.5, 1.2, 15.3, 14.6, 0.0, 0});
    MleBatch b({{15, 14}, {kMaxIndex, 14}, {15, Sint64{1} << 32}, {kMinIndex, 14}, {15, -5}});
    const std::vector<double> start = b.params, start_err = b.std_params;
    b.mle(f, 11, 1.0);
    EXPECT_EQ(b.flags, (std::vector<Sint64>{0, 1, 1, 1, 1}));
    EXPECT_EQ(b.iterations[1], 0);
    for (size_t i : {1, 2}) {  // outside: the start kept, NaN goodness and errors
        EXPECT_TRUE(same_bits(b.rec(i), &start[10 * i], 8));
        EXPECT_TRUE(std::isnan(b.rec(i)[8]));
        for (int k = 0; k < 7; k++) EXPECT_TRUE(std::isnan(b.err(i)[k]));
    }
    for (size_t i : {3, 4}) {  // skipped: untouched
        EXPECT_TRUE(same_bits(b.rec(i), &start[10 * i], 10));
        EXPECT_TRUE(same_bits(b.err(i), &start_err[10 * i], 10));
    }
    for (Sint64 n : {Sint64{0}, Sint64{-1}, kMinIndex}) {
        MleBatch none({{15, 14}});
        EXPECT_EQ(fit_array_of_gauss_2d_mle_on_float_image(
                      f.data(), 30, 30, 11, n, none.cx.data(), none.cy.data(), 0.0, nullptr,
                      none.params.data(), none.std_params.data(), none.flags.data(), nullptr),
                  0);
        EXPECT_EQ(none.flags[0], -5);
        EXPECT_EQ(none.params[8], kSentinel);
    }
    MleBatch one({{-1, 5}, {15, 14}});
    EXPECT_EXIT(one.mle(f, 10), testing::ExitedWithCode(1), "^Mea must be odd\n$");
    EXPECT_EXIT(one.mle(f, -3), testing::ExitedWithCode(1), "^size mismatch\n$");
    EXPECT_EXIT(one.mle(f, 65), testing::ExitedWithCode(1), "^Mea too large: 65 \\(at most 63\\)\n$");
    EXPECT_EXIT((void)one.photon_std(f, 12), testing::ExitedWithCode(1), "^Mea must be odd\n$");
    MleBatch skipped({{-1, 5}});
    skipped.mle(f, 10);  // no fitted peak, no check
    EXPECT_EQ(skipped.flags[0], 1);
    for (double v : {-1.0, kNaN, kInf})
        EXPECT_EXIT(one.mle(f, 11, v), testing::ExitedWithCode(1),
                    "^Read-noise variance must be finite and >= 0")
            << v;
    EXPECT_EXIT((void)one.photon_std(f, 11, -2.0), testing::ExitedWithCode(1), "^Read-noise variance");
    for (Sint64 mea : {Sint64{1}, Sint64{-1}}) {  // one pixel, seven parameters
        MleBatch unit({{15, 14}});
        unit.mle(f, mea);
        EXPECT_EQ(unit.flags[0], GAUSS2_FLAG_FAILED);
        EXPECT_TRUE(std::isnan(unit.err(0)[3]));
    }
}

TEST(MleHostile, NonFinitePixelsAndVariancesFailOnlyTheirPeaks) {
    Image f(60, 60, 20.0);
    f.add_spot({2000, 1.5, 1.2, 15.3, 14.6, 0.0, 0});
    f.add_spot({2000, 1.5, 1.2, 45.3, 44.6, 0.0, 0});
    std::vector<double> map(f.px.size(), 2.0);
    for (double bad : {kNaN, -1.0, kInf}) {
        map[static_cast<size_t>(16 * f.w + 14)] = bad;
        MleBatch b({{15, 14}, {45, 44}});
        b.mle(f, 11, 0.0, map.data());
        EXPECT_EQ(b.flags, (std::vector<Sint64>{GAUSS2_FLAG_FAILED, GAUSS2_FLAG_GOOD})) << bad;
    }
    for (double bad : {kNaN, kInf, -kInf, 1e308}) {
        Image g = f;
        g.px[static_cast<size_t>(16 * f.w + 14)] = bad;
        MleBatch b({{15, 14}, {45, 44}});
        b.mle(g, 11, 1.0);
        EXPECT_EQ(b.flags[0], GAUSS2_FLAG_FAILED) << bad;
        EXPECT_EQ(b.flags[1], GAUSS2_FLAG_GOOD) << bad;
        EXPECT_TRUE(std::isnan(b.rec(0)[8]));
    }
}

// ---- resources ------------------------------------------------------------------------------

TEST(MleResources, NoHeapAndNoMoreStackThanLeastSquares) {
    Image f(80, 80, 30.0);
    f.add_spot({3000, 1.3, 1.6, 40.4, 39.8, 0.15, 0});
    std::mt19937_64 rng(2);
    f.add_photon_noise(rng, 1.0);
    if (kMallocCounted) {
        MleBatch b({{40, 39}, {-1, 2}, {79, 3}}), r({{40, 39}}), big({{40, 39}}, 45);
        std::vector<double> sw(30);
        const long before = heap_calls();
        b.mle(f, 11, 1.0);
        big.mle(f, 45, 1.0);
        r.lsq_report(f);
        photon_std_of_gauss_2d_records(f.w, f.h, 11, 3, b.cx.data(), b.cy.data(), 1.0, nullptr,
                                       b.params.data(), sw.data());
        EXPECT_EQ(heap_calls() - before, 0);
        EXPECT_EQ(b.flags[0], 0);
    }
    const long start = run_on_small_stack(64L * 1024, [] { return true; }).used;
    ASSERT_GT(start, 0);
    for (int mea : {3, 11, 21, 45, GAUSS2_MAX_MEA}) {
        SCOPED_TRACE(mea);
        MleBatch expected({{40, 39}}, mea);
        expected.mle(f, mea, 1.0);
        const long bound = start + gauss2::fit_stack_bytes(mea);
        const StackRun run = run_on_small_stack(kOptimisedFrames ? bound : 4 * bound, [&] {
            MleBatch b({{40, 39}}, mea);
            b.mle(f, mea, 1.0);
            const std::vector<double> sw = b.photon_std(f, mea, 1.0);
            return b.same_as(expected) && std::isfinite(sw[3]);
        });
        EXPECT_TRUE(run.completed);
        if (kOptimisedFrames) {
            EXPECT_LE(run.used, bound);
        }
    }
}
