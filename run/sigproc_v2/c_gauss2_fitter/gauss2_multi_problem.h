// The Poisson likelihood of several emitters sharing one window: round
// Gaussians of the PSF's width on one shared background, as the scoring
// solver's problem type (tools/lm/scoring.h).
//
// Emitters: F free ones, whose photons N and centre (x, y) are fitted, and
// R whose centre stays where it is given (neighbours from beyond the
// window, whose light reaches into it but whose position its pixels hardly
// tell), with their photons fitted. In the patch frame (pixel (i, j) has
// its centre at (j + 0.5, i + 0.5)), with cx_k = x_k - 0.5, cy_k = y_k - 0.5,
//
//   mu(i, j) = b + sum_k N_k / (2 pi s^2) gx_k(j) gy_k(i),
//   gx_k(j) = exp(-(j - cx_k)^2 / (2 s^2)),  gy_k(i) likewise,
//
// the model of gauss2_model.h with std_x = std_y = s and rho = 0 for each
// emitter, s the PSF's width. Per emitter only its photons and position are
// free: close emitters stay well conditioned where free widths would trade
// off against their positions and photons (a width shared by the window
// and fitted lost 4 to 8 points of Jaccard index at 0.3 to 3 emitters per
// um^2 in bench/crowded.py). The Gaussian separates, so a trial costs
// 2 K side exponentials, not K side^2.
//
// Parameters (M of them, M one of the sizes the solver is built for):
// (N, x, y) of each free emitter, N of each fixed one, then inert ones that
// pad the count up to M (their information is 1 and their score 0, so their
// steps are 0), then the background b.
//
// The data y = x + s2 of mean m = mu + base, base = s2 plus the light of
// emitters fitted elsewhere (as PoissonProblem takes the data,
// gauss2_kernel.h); a window with a datum that is NaN (a NaN pixel or an
// invalid variance) has no likelihood: every trial is NaN.
//
// Domain: N_k > 0 for every free emitter (a fixed one is a nuisance term
// and may take either sign: its light is weakly known, and a bound would
// hold its fit up); every free centre within `reach` pixels of the window;
// m >= DBL_MIN on every pixel. A trial outside it is +inf, which the solver
// rejects with more damping.
//
// The Fisher information sum J J^T / m and the score sum (y / m - 1) J are
// summed pixel by pixel: the pixel's derivatives J (M values, 0 for the
// padding), then w J J^T added to the lower triangle, unrolled over the
// compile-time M. The trial's exponentials and logarithms are the kernels'
// inline vector ones (gauss2_simd.h) on four lanes.
//
// Internal to the library; nothing here is exported.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstring>

#include "gauss2_model.h"
#include "gauss2_simd.h"
#include "lm/scoring.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// Everything here is inlined into the joint fit of each instruction set
// (gauss2_multi.cpp), so that each gets its own instructions and no vector
// crosses a call.
#define GAUSS2_MULTI_INLINE inline __attribute__((always_inline))

namespace gauss2::multi {

// The largest window side of a joint fit, whose working memory is on the
// stack (GAUSS2_MULTI_MAX_MEA of gauss2_multi.h).
constexpr int kMaxSide = 31;
// A row's values padded to whole four-lane vectors.
constexpr int kRow = (kMaxSide + 3) / 4 * 4;
constexpr int kMaxEmitters = 8;

// The parameter counts the solver is built for: 3 k + 1 for k = 1 ..
// kMaxEmitters (k free emitters); fewer parameters are padded up to one of
// them.
constexpr int size_of(int k) { return 3 * k + 1; }
// The smallest built size that holds `params` parameters: 3 k + 1 with
// k = ceil((params - 1) / 3), at least 1.
constexpr int padded(int params) {
    const int n = params - 1;
    return n <= 3 ? size_of(1) : size_of((n + 2) / 3);
}
static_assert(padded(4) == 4 && padded(5) == 7 && padded(7) == 7 && padded(8) == 10 && padded(25) == 25);

// A window's data, prepared once and shared by the fits of every emitter
// count: y = x + s2 (0 where x + s2 <= 0, NaN where s2 is negative or not
// finite) and the part of the mean that the fits take as known, `base`: the
// variances s2 and the light of emitters fitted elsewhere; row-major, side
// x side.
struct WindowData {
    int side = 0;
    bool valid = true;                       // no datum is NaN
    bool lit = false;                        // whether `base` holds light of other emitters
    double y[kMaxSide * kMaxSide + 4] = {};  // padded for a last row read in whole vectors
    double base[kMaxSide * kMaxSide];

    int size() const { return side * side; }
    // Sets `valid` from the data.
    void check() {
        valid = true;
        for (int k = 0; k < size(); k++) valid = valid && !std::isnan(y[k]);
    }
    // sum (y - y log y) over the pixels: -log L + const of the saturated model.
    double saturated() const {
        double sum = 0.0;
        for (int k = 0; k < size(); k++)
            if (y[k] > 0.0) sum += y[k] - y[k] * std::log(y[k]);
        return sum;
    }
};

// Which emitters a model holds: `free` ones, then `fixed` ones at the
// centres fx, fy (patch frame).
struct Layout {
    int free = 0, fixed = 0;
    double fx[kMaxEmitters] = {}, fy[kMaxEmitters] = {};

    int emitters() const { return free + fixed; }
    int params() const { return padded(3 * free + fixed + 1); }
    int photons(int k) const { return k < free ? 3 * k : 3 * free + (k - free); }
};

// Per-emitter profiles of one point: the exponentials along x and y.
struct Profiles {
    alignas(32) double gx[kMaxEmitters][kRow];
    alignas(32) double gy[kMaxEmitters][kRow];
    double height[kMaxEmitters];                // N_k / (2 pi s^2)
    double cx[kMaxEmitters], cy[kMaxEmitters];  // the centres less 0.5
    double b = 0.0;
};

template <int M>
class MultiProblem {
   public:
    // sigma: the PSF's width; reach: how far beyond the window's edge a free
    // centre may lie, pixels.
    MultiProblem(const WindowData &data, double sigma, double reach, const Layout &layout)
        : d_(data),
          l_(layout),
          reach_(reach),
          norm_(1.0 / (kTwoPi * (sigma * sigma))),
          inv_s2_(1.0 / (sigma * sigma)),
          minus_inv_two_s2_(-0.5 / (sigma * sigma)) {}

    int size() const { return d_.size(); }

    // -log L + const at p (+inf outside the domain, NaN for invalid data).
    GAUSS2_MULTI_INLINE double trial(const double *p) {
        if (!d_.valid) return NAN;
        if (!profiles(p, *trial_)) return INFINITY;
        const int side = d_.side;
        v4d F = splat<v4d>(0.0);
        v4l outside = {};
        const v4d lanes = {0.0, 1.0, 2.0, 3.0};
        for (int i = 0; i < side; i++) {
            alignas(32) double row[kRow];
            mean_row(*trial_, i, row);
            for (int j = 0; j < side; j += 4) {
                // m - y log m (m where y = 0, as log m is finite here), in
                // the lanes inside the row; y read past the row's end is
                // another row's or the padding's, and masked.
                const v4d in = lanes < splat<v4d>(side - j) ? splat<v4d>(1.0) : splat<v4d>(0.0);
                const v4d m = in != 0.0 ? load<v4d>(row + j) : splat<v4d>(1.0);
                v4d y;
                std::memcpy(&y, d_.y + static_cast<long>(i) * side + j, sizeof y);
                outside |= ~(m >= DBL_MIN);
                F += (m - y * vlog<FmaEmulated>(m)) * in;
            }
        }
        const double sum = hsum(F);
        return (outside[0] | outside[1] | outside[2] | outside[3]) != 0 || std::isnan(sum) ? INFINITY : sum;
    }

    GAUSS2_MULTI_INLINE void accept() {
        Profiles *t = trial_;
        trial_ = current_;
        current_ = t;
    }

    // The information and score at the current point p (the last accepted
    // trial).
    GAUSS2_MULTI_INLINE void information(const double * /*p*/, lm::Matrix<M> &I, lm::Vector<M> &score) const {
        const Profiles &c = *current_;
        const int side = d_.side, K = l_.emitters();
        alignas(64) double acc[M][M] = {};
        alignas(64) double sc[M] = {};
        for (int i = 0; i < side; i++) {
            double m[kRow];
            mean_row(c, i, m);
            for (int j = 0; j < side; j++) {
                // The derivatives at pixel (i, j); 0 for the padding.
                alignas(64) double J[M] = {};
                J[M - 1] = 1.0;
                for (int k = 0; k < K; k++) {
                    const double g = c.gx[k][j] * c.gy[k][i];
                    const int at = l_.photons(k);
                    J[at] = g * norm_;
                    if (k < l_.free) {
                        const double a = c.height[k] * g * inv_s2_;
                        J[at + 1] = a * (j - c.cx[k]);
                        J[at + 2] = a * (i - c.cy[k]);
                    }
                }
                const double w = 1.0 / m[j], r = d_.y[i * side + j] * w - 1.0;
#pragma GCC unroll 32
                for (int a = 0; a < M; a++) {
                    sc[a] += r * J[a];
                    const double wa = w * J[a];
#pragma GCC unroll 32
                    for (int b = 0; b <= a; b++) acc[a][b] += wa * J[b];
                }
            }
        }
        for (int a = 3 * l_.free + l_.fixed; a < M - 1; a++) acc[a][a] = 1.0;  // the padding
        // Both triangles, element by element from the lower one: GCC 12's
        // AVX-512 code for I(a, b) = I(b, a) = acc[a][b] wrote a wrong value
        // into I(3, 2) at M = 4 (tests/test_multi.cpp checks every size).
        for (int a = 0; a < M; a++) {
            score[a] = sc[a];
            for (int b = 0; b < M; b++) I(a, b) = b <= a ? acc[a][b] : acc[b][a];
        }
    }

    // The model mu + base at the current point, row-major (side x side).
    GAUSS2_MULTI_INLINE void mean(double *out) const {
        for (int i = 0; i < d_.side; i++) {
            double row[kRow];
            mean_row(*current_, i, row);
            for (int j = 0; j < d_.side; j++) out[i * d_.side + j] = row[j];
        }
    }

   private:
    // The profiles at p, false outside the domain's parameter bounds.
    GAUSS2_MULTI_INLINE bool profiles(const double *p, Profiles &out) const {
        const int side = d_.side;
        for (int k = 0; k < l_.emitters(); k++) {
            const int at = l_.photons(k);
            const double N = p[at];
            double x = 0.0, y = 0.0;
            if (k < l_.free) {
                x = p[at + 1], y = p[at + 2];
                if (!(x >= -reach_ && x <= side + reach_ && y >= -reach_ && y <= side + reach_)) return false;
            } else {
                x = l_.fx[k - l_.free], y = l_.fy[k - l_.free];
            }
            if (k < l_.free ? !(N > 0.0) : std::isnan(N)) return false;
            out.cx[k] = x - 0.5, out.cy[k] = y - 0.5;
            out.height[k] = N * norm_;
            gaussian_row(out.cx[k], side, out.gx[k]);
            gaussian_row(out.cy[k], side, out.gy[k]);
        }
        out.b = p[M - 1];
        return std::isfinite(out.b);
    }

    // g[t] = exp(-(t - centre)^2 / (2 s^2)) for t < side, in four-lane vectors.
    GAUSS2_MULTI_INLINE void gaussian_row(double centre, int side, double *g) const {
        const v4d lanes = {0.0, 1.0, 2.0, 3.0};
        for (int t = 0; t < side; t += 4) {
            const v4d d = (splat<v4d>(t) + lanes) - centre;
            store(g + t, vexp<FmaEmulated>(minus_inv_two_s2_ * (d * d)));
        }
    }

    GAUSS2_MULTI_INLINE void mean_row(const Profiles &c, int i, double *row) const {
        const int side = d_.side;
        for (int j = 0; j < side; j++) row[j] = c.b + d_.base[i * side + j];
        for (int k = 0; k < l_.emitters(); k++) {
            const double h = c.height[k] * c.gy[k][i];
            for (int j = 0; j < side; j++) row[j] += h * c.gx[k][j];
        }
    }

    const WindowData &d_;
    const Layout &l_;
    double reach_, norm_, inv_s2_, minus_inv_two_s2_;
    Profiles buffers_[2];
    Profiles *current_ = &buffers_[0], *trial_ = &buffers_[1];
};

// For tests, on the instruction set the library's joint fits take on this
// machine: -log L + const of the model laid out by `layout` at p
// (layout.params() values; +inf outside the domain) and, when it is finite,
// its Fisher information I (params^2 values, row-major), score (params) and
// mean m = mu + base (side^2, row-major).
double joint_likelihood_at(const WindowData &data, double sigma, double reach, const Layout &layout,
                           const double *p, double *I, double *score, double *mean);

}  // namespace gauss2::multi

#pragma GCC diagnostic pop
