// The Gaussian patch fit's inner loops. One pass over the pixels evaluates
// the model and the error at a trial point and keeps the pixels'
// exponentials and residuals; the Jacobian, which the solver asks for at the
// accepted point, reuses them: a second pass forms J^T J and J^T e from sums
// of the exponentials times powers of the pixel offsets (gauss2_model.h),
// without the n x 7 Jacobian.
//
// Internal to the library; nothing here is exported.
#pragma once

#include <cfloat>
#include <cmath>

#include "gauss2_fitter.h"
#include "gauss2_model.h"
#include "gauss2_simd.h"
#include "lm/lm.h"
#include "lm/scoring.h"

namespace gauss2 {

constexpr int kParams = 7;

constexpr int padded(int side) { return (side + kLanes - 1) / kLanes * kLanes; }

// Pixel layout: rows in groups of four, each group stored column by column
// with the four rows of a column side by side (one vector); a last, partial
// group is padded with zeros. Pixel (i, j) is element
// ((i / 4) * side + j) * 4 + i % 4.
constexpr long layout_index(int side, int i, int j) {
    return (static_cast<long>(i / kLanes) * side + j) * kLanes + i % kLanes;
}

// ---- working memory ------------------------------------------------------

// Doubles of one patch in the layout, and of the per-column terms that a
// pass over the pixels prepares (up to four vectors per column).
constexpr long patch_doubles(int side) { return static_cast<long>(side) * padded(side); }
constexpr long column_doubles(int side) { return 4L * kLanes * side; }

// The working memory of a fit of side `side`: the patch, the exponentials
// and residuals of the last point evaluated, and the column terms, in
// workspace_doubles(side) doubles aligned to 64 bytes.
constexpr long workspace_doubles(int side) { return 3 * patch_doubles(side) + column_doubles(side); }

struct Workspace {
    double *x;        // the patch
    double *e;        // exponentials at the last point evaluated
    double *r;        // residuals there: x - f
    double *columns;  // per-column terms

    Workspace(double *memory, int side)
        : x(memory),
          e(memory + patch_doubles(side)),
          r(memory + 2 * patch_doubles(side)),
          columns(memory + 3 * patch_doubles(side)) {}
};

// The patch sizes whose working memory a fit takes from the stack: the
// smallest of these that holds the patch (see solve_patch).
constexpr int kStackSides[] = {7, 11, 15, 21, 31, 45, GAUSS2_MAX_MEA};

// Bytes of stack that a fit of side `side` (at most GAUSS2_MAX_MEA) reserves
// for its working memory.
constexpr long stack_workspace_bytes(int side) {
    for (int s : kStackSides)
        if (side <= s) return workspace_doubles(s) * static_cast<long>(sizeof(double));
    return -1;
}

// Stack that a fit takes besides its working memory: the solver, the passes
// over the pixels and the frames of the fitting functions, the batch's
// included (7 KiB measured on the optimised build; tests/test_fit.cpp holds
// the fits to this bound).
constexpr long kFitStackOverhead = 12L * 1024;

// The stack that a fit of side `side` needs.
constexpr long fit_stack_bytes(int side) { return stack_workspace_bytes(side) + kFitStackOverhead; }

// ---- passes over the pixels -------------------------------------------------

// Error ||x - f||^2 of the model f of shape s (gauss2_model.h) over the
// patch x (in the layout above); the pixels' exponentials e (the model is
// f = e * height + offset) and residuals r = x - f are stored, 0 at padding.
double trial(int side, const double *x, const Shape &s, double *e, double *r, double *columns);

// At p, whose shape is s, with e and r from trial() there: A = J^T J (7 x 7,
// symmetric) and g = J^T (x - f(p)), from moments of e (no n x 7 Jacobian).
void normal_equations(int side, const double *e, const double *r, const Shape &s, const double *p,
                      double *columns, double *A, double *g);

// Square root of the sum of squared deviations of the residuals r (from
// trial()) from their mean: sqrt(n) times their population standard
// deviation, summed in pixel order.
double residual_noise(int side, const double *r);

// y[i] = vexp(x[i]) for n values (n a multiple of kLanes), as the kernels
// compute it on this machine: for measuring its error. log_lanes likewise
// for vlog.
void exp_lanes(const double *x, double *y, long n);
void log_lanes(const double *x, double *y, long n);

// ---- the Poisson likelihood's passes ------------------------------------------

// -log L + const = sum (m - y log m) of the data y (in the layout, 0 at
// padding) under the mean m = f + s2 of the model f of shape s plus the
// variances s2 (in the layout); +inf if m < DBL_MIN on any pixel. Stores the
// pixels' exponentials e as trial() does.
double poisson_trial(int side, const double *y, const double *s2, const Shape &s, double *e, double *columns);

// At p, whose shape is s, with e from poisson_trial() there: the Fisher
// information I = sum J J^T / m (7 x 7) and the score sum (y / m - 1) J.
void poisson_information(int side, const double *y, const double *s2, const double *e, const Shape &s,
                         const double *p, double *columns, double *I, double *score);

// sum (y - y log y) over the pixels (0 log 0 = 0): -log L + const of the
// saturated model m = y.
double poisson_saturated(int side, const double *y);

// B = J^T diag(f + s2) J at p, with e from a trial there.
void variance_information(int side, const double *s2, const double *e, const Shape &s, const double *p,
                          double *columns, double *B);

// The Gaussian over one square patch, as the solver's problem type, on the
// caller's working memory. Single-buffered: a trial overwrites the
// exponentials and residuals, which the solver needs only at an accepted
// point; when it asks for them at a point whose trial was not the last one
// evaluated, they are evaluated again (the same bits).
class PatchProblem {
   public:
    // The patch: pixel (i, j) is pixels[i * row_stride + j].
    PatchProblem(const double *pixels, long row_stride, int side, const Workspace &ws)
        : side_(side), ws_(ws) {
        for (long k = 0; k < patch_doubles(side); k++) ws_.x[k] = 0.0;
        for (int i = 0; i < side; i++)
            for (int j = 0; j < side; j++) ws_.x[layout_index(side, i, j)] = pixels[i * row_stride + j];
    }

    int size() const { return side_ * side_; }

    double trial(const double *p) {
        at_current_ = false;
        shape_ = shape_of(p);
        return gauss2::trial(side_, ws_.x, shape_, ws_.e, ws_.r, ws_.columns);
    }

    void accept() { at_current_ = true; }

    void normal_equations(const double *p, lm::Matrix<kParams> &A, lm::Vector<kParams> &g) {
        at(p);
        gauss2::normal_equations(side_, ws_.e, ws_.r, shape_, p, ws_.columns, A.data(), g.data());
    }

    // Residual noise of the model at the current point p (see residual_noise).
    double residual_noise(const double *p) {
        at(p);
        return gauss2::residual_noise(side_, ws_.r);
    }

   private:
    void at(const double *p) {
        if (!at_current_) trial(p);
        at_current_ = true;
    }

    int side_;
    Workspace ws_;
    Shape shape_{};            // of the last point evaluated
    bool at_current_ = false;  // whether that point is the current one
};
static_assert(lm::Problem<PatchProblem, kParams>);

// The read-noise variance of the patch's pixels: one value for all, or a map
// with the patch's row stride (pixel (i, j) is map[i * row_stride + j]).
struct Variance {
    double value;
    const double *map;  // null: `value` everywhere
    double at(int i, int j, long row_stride) const { return map ? map[i * row_stride + j] : value; }
};

// The Poisson likelihood of one square patch (data x, read-noise variance
// s2), as the scoring solver's problem type, on the caller's working memory:
// the data y = x + s2 (0 where x + s2 <= 0) in the patch's slot, the
// variances in the residuals' slot. A variance that is negative or not
// finite makes its pixel's datum NaN, and so the fit invalid. Trial points
// with a width <= 0 or |rho| >= 1 lie outside the domain (+inf).
class PoissonProblem {
   public:
    PoissonProblem(const double *pixels, long row_stride, const Variance &var, int side, const Workspace &ws)
        : side_(side), ws_(ws) {
        for (long k = 0; k < patch_doubles(side); k++) ws_.x[k] = 0.0, ws_.r[k] = 0.0;
        for (int i = 0; i < side; i++)
            for (int j = 0; j < side; j++) {
                const double s2 = var.at(i, j, row_stride);
                const double v = pixels[i * row_stride + j] + s2;
                const bool valid_s2 = s2 >= 0.0 && s2 <= DBL_MAX;
                const long k = layout_index(side, i, j);
                ws_.x[k] = !valid_s2 ? __builtin_nan("") : (v > 0.0 ? v : (v <= 0.0 ? 0.0 : v));
                ws_.r[k] = valid_s2 ? s2 : 0.0;
            }
    }

    int size() const { return side_ * side_; }

    double trial(const double *p) {
        at_current_ = false;
        if (!(p[1] > 0.0 && p[2] > 0.0 && std::fabs(p[5]) < 1.0)) return __builtin_inf();
        shape_ = shape_of(p);
        return gauss2::poisson_trial(side_, ws_.x, ws_.r, shape_, ws_.e, ws_.columns);
    }

    void accept() { at_current_ = true; }

    void information(const double *p, lm::Matrix<kParams> &I, lm::Vector<kParams> &score) {
        if (!at_current_) trial(p);
        at_current_ = true;
        gauss2::poisson_information(side_, ws_.x, ws_.r, ws_.e, shape_, p, ws_.columns, I.data(),
                                    score.data());
    }

    double saturated() const { return gauss2::poisson_saturated(side_, ws_.x); }

   private:
    int side_;
    Workspace ws_;
    Shape shape_{};
    bool at_current_ = false;
};
static_assert(lm::LikelihoodProblem<PoissonProblem, kParams>);

// What a maximum-likelihood patch fit reports besides the parameters.
struct MleReport {
    lm::ScoringSummary summary;
    double crlb[kParams];  // sqrt of the diagonal of I^-1 at the estimate; NaN without one
    double deviance;       // 2 (log L of the saturated model - log L at the estimate); NaN without one
};

// Fits the Poisson likelihood to the mea x mea patch whose pixel (i, j) is
// pixels[i * row_stride + j] from the start in `params` (replaced by the
// estimate), by damped Fisher scoring. Working memory as solve_patch's.
// Returns 0, or -1 if the heap refuses the working memory (nothing written).
int solve_patch_mle(const double *pixels, long row_stride, const Variance &var, int mea, double *params,
                    int itmax, const lm::ScoringOptions &opts, MleReport *out);

// The photon-noise covariance of least-squares parameters `params` over a
// mea x mea patch: (J^T J)^-1 J^T diag(f + s2) J (J^T J)^-1 (7 x 7,
// row-major). -1 (covar untouched) if f + s2 < DBL_MIN on a pixel, a
// variance is negative or not finite, or J^T J is not of full rank.
int photon_covariance(long row_stride, const Variance &var, int mea, const double *params, double *covar);

// Runs the solver on the mea x mea patch whose pixel (i, j) is
// pixels[i * row_stride + j], with the given options; returns the solver's
// result. When `noise` is not null it receives the residual noise of the
// fit, or 0.0 if the solver failed. The working memory comes from the stack
// (stack_workspace_bytes(mea)) up to GAUSS2_MAX_MEA, and from the heap above
// it; -1 if the heap refuses it (nothing written).
int solve_patch(const double *pixels, long row_stride, int mea, double *params, int itmax,
                const lm::Options &opts, double *info, double *covar, double *noise);

}  // namespace gauss2
