// The Gaussian patch fit's kernels: the problems that the solvers run on
// (least squares and the Poisson likelihood, both on the passes of
// gauss2_passes.h) and their working memory, built for every kernel path
// (gauss2_paths.h).
//
// Internal to the library; nothing here is exported.
#pragma once

#include <cfloat>
#include <cmath>
#include <utility>

#include "gauss2_fitter.h"
#include "gauss2_model.h"
#include "gauss2_passes.h"
#include "gauss2_paths.h"
#include "gauss2_simd.h"
#include "lm/lm.h"
#include "lm/scoring.h"

namespace gauss2 {

constexpr int kParams = 7;

// ---- pixel layouts of the kernel paths (gauss2_paths.h) ----------------------

// Baseline x86-64 and AVX2 take four rows to a four-lane vector; AVX-512
// takes eight rows to an eight-lane vector. The vector paths fuse
// multiply-adds with their instructions, the portable path by an exact
// emulation (gauss2_simd.h): every path gives the same bits.
using DefaultLayout = RowLayout<v4d, FmaEmulated>;
using Avx2Layout = RowLayout<v4d, FmaInstructions>;
using Avx512Layout = RowLayout<v8d, FmaInstructions>;

// ---- working memory ------------------------------------------------------

// The working memory of a fit of side `side`: the patch and two more
// arrays of its size, and the per-column terms of a pass, in
// workspace_doubles(side) doubles aligned to 64 bytes (the larger of the
// two layouts' needs), laid out as the path's layout wants it.
template <class Layout>
constexpr long layout_workspace_doubles(int side) {
    return 3 * Layout::patch_doubles(side) + Layout::column_doubles(side);
}
constexpr long workspace_doubles(int side) {
    const long a = layout_workspace_doubles<DefaultLayout>(side),
               b = layout_workspace_doubles<Avx512Layout>(side);
    return a > b ? a : b;
}

template <class Layout>
struct Workspace {
    double *x;        // the patch
    double *a, *b;    // two more arrays of its size (see the problems)
    double *columns;  // per-column terms of a pass

    Workspace(double *memory, int side)
        : x(memory),
          a(memory + Layout::patch_doubles(side)),
          b(memory + 2 * Layout::patch_doubles(side)),
          columns(memory + 3 * Layout::patch_doubles(side)) {}
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

// y[i] = vexp(x[i]) for n values, as the kernels of the current path compute
// it: for measuring its error. log_lanes likewise for vlog.
void exp_lanes(const double *x, double *y, long n);
void log_lanes(const double *x, double *y, long n);

// The Gaussian over one square patch, as the solver's problem type, on the
// caller's working memory laid out for the path's Layout. Double-buffered:
// a trial writes its exponentials into one of the workspace's arrays, the
// current point's stay in the other until a trial is accepted, so that the
// normal equations and the residual noise, which the solver asks for at the
// current point, never evaluate it again.
template <class Layout>
class PatchProblem {
   public:
    using Fma = typename Layout::Fma;  // the solver's too

    // The patch: pixel (i, j) is pixels[i * row_stride + j].
    GAUSS2_INLINE PatchProblem(const double *pixels, long row_stride, int side, const Workspace<Layout> &ws)
        : side_(side), x_(ws.x), columns_(ws.columns), current_(ws.a), trial_(ws.b) {
        for (long k = 0; k < Layout::patch_doubles(side); k++) x_[k] = 0.0;
        for (int i = 0; i < side; i++)
            for (int j = 0; j < side; j++) x_[Layout::index(side, i, j)] = pixels[i * row_stride + j];
    }

    int size() const { return side_ * side_; }

    GAUSS2_INLINE double trial(const double *p) {
        trial_shape_ = shape_of(p);
        return gauss2::trial<Layout>(side_, x_, trial_shape_, trial_, columns_);
    }

    void accept() {
        std::swap(current_, trial_);
        shape_ = trial_shape_;
    }

    // At the current point p.
    GAUSS2_INLINE void normal_equations(const double *p, lm::Matrix<kParams> &A, lm::Vector<kParams> &g) {
        gauss2::normal_equations<Layout>(side_, x_, current_, shape_, p, columns_, A.data(), g.data());
    }

    // Residual noise of the model at the current point (see residual_noise);
    // the trial's array serves as scratch, so no trial may follow.
    GAUSS2_INLINE double residual_noise() {
        return gauss2::residual_noise<Layout>(side_, x_, current_, shape_, trial_);
    }

   private:
    int side_;
    double *x_, *columns_;
    double *current_, *trial_;  // exponentials at the current and the last trial point
    Shape shape_{}, trial_shape_{};
};
static_assert(lm::Problem<PatchProblem<DefaultLayout>, kParams>);

// The read-noise variance of the patch's pixels: one value for all, or a map
// with the patch's row stride (pixel (i, j) is map[i * row_stride + j]).
struct Variance {
    double value;
    const double *map;  // null: `value` everywhere
    double at(int i, int j, long row_stride) const { return map ? map[i * row_stride + j] : value; }
};

// The Poisson likelihood of one square patch (data x, read-noise variance
// s2), as the scoring solver's problem type, on the caller's working memory:
// the data y = x + s2 (0 where x + s2 <= 0) in the patch's array, the
// variances in the first of the other two, the exponentials of the last
// point evaluated in the second (single-buffered: evaluated again when the
// information is asked for at a point whose trial was not the last). A variance that is negative or not
// finite makes its pixel's datum NaN, and so the fit invalid. Trial points
// with a width <= 0 or |rho| >= 1 lie outside the domain (+inf).
template <class Layout>
class PoissonProblem {
   public:
    using Fma = typename Layout::Fma;  // the solver's too

    GAUSS2_INLINE PoissonProblem(const double *pixels, long row_stride, const Variance &var, int side,
                                 const Workspace<Layout> &ws)
        : side_(side), ws_(ws) {
        for (long k = 0; k < Layout::patch_doubles(side); k++) ws_.x[k] = 0.0, ws_.a[k] = 0.0;
        for (int i = 0; i < side; i++)
            for (int j = 0; j < side; j++) {
                const double s2 = var.at(i, j, row_stride);
                const double v = pixels[i * row_stride + j] + s2;
                const bool valid_s2 = s2 >= 0.0 && s2 <= DBL_MAX;
                const long k = Layout::index(side, i, j);
                ws_.x[k] = !valid_s2 ? __builtin_nan("") : (v > 0.0 ? v : (v <= 0.0 ? 0.0 : v));
                ws_.a[k] = valid_s2 ? s2 : 0.0;
            }
    }

    int size() const { return side_ * side_; }

    GAUSS2_INLINE double trial(const double *p) {
        at_current_ = false;
        if (!(p[1] > 0.0 && p[2] > 0.0 && std::fabs(p[5]) < 1.0)) return __builtin_inf();
        shape_ = shape_of(p);
        return gauss2::poisson_trial<Layout>(side_, ws_.x, ws_.a, shape_, ws_.b, ws_.columns);
    }

    void accept() { at_current_ = true; }

    GAUSS2_INLINE void information(const double *p, lm::Matrix<kParams> &I, lm::Vector<kParams> &score) {
        if (!at_current_) trial(p);
        at_current_ = true;
        gauss2::poisson_information<Layout>(side_, ws_.x, ws_.a, ws_.b, shape_, p, ws_.columns, I.data(),
                                            score.data());
    }

    GAUSS2_INLINE double saturated() const {
        return gauss2::poisson_saturated<Layout>(side_, ws_.x, ws_.columns);
    }

   private:
    int side_;
    Workspace<Layout> ws_;
    Shape shape_{};
    bool at_current_ = false;
};
static_assert(lm::LikelihoodProblem<PoissonProblem<DefaultLayout>, kParams>);

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

// ---- the problems on one path, for tests ----------------------------------

// On `path` (at most best_kernel_path()) over the side x side patch `pixels`
// (row stride `stride`, side at most GAUSS2_MAX_MEA): the least-squares
// error E = ||x - f(p)||^2 (returned) and J^T J (A, 7 x 7) and J^T (x - f)
// (g, 7 values) at p.
double least_squares_at(KernelPath path, const double *pixels, long stride, int side, const double *p,
                        double *A, double *g);

// The Poisson likelihood's -log L + const at p (returned; +inf outside the
// domain) and, when it is finite, the Fisher information I (7 x 7) and the
// score (7 values) there.
double likelihood_at(KernelPath path, const double *pixels, long stride, const Variance &var, int side,
                     const double *p, double *I, double *score);

}  // namespace gauss2
