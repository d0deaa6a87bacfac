// The fit's kernels on every kernel path (gauss2_paths.h): the passes
// (gauss2_passes.h) and the solvers, each whole fit inlined into one function
// per path, built for the path's instruction set. NaN and infinity
// propagate as in scalar code (no fast-math).

#include "gauss2_kernel.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "gauss2_model.h"

namespace gauss2 {

template <int Lanes>
double residual_noise_of(int side, const double *r) {
    const int n = side * side;
    // Row i's residuals, one every Lanes doubles.
    auto row = [&](int i) { return r + static_cast<long>(i / Lanes) * side * Lanes + i % Lanes; };
    double sum = 0.0;
    for (int i = 0; i < side; i++) {
        const double *ri = row(i);
        for (int j = 0; j < side; j++) sum += ri[static_cast<long>(j) * Lanes];
    }
    const double mean = sum / n;
    double ss = 0.0;
    for (int i = 0; i < side; i++) {
        const double *ri = row(i);
        for (int j = 0; j < side; j++) {
            const double d = ri[static_cast<long>(j) * Lanes] - mean;
            ss += d * d;
        }
    }
    return std::sqrt(ss);
}
template double residual_noise_of<4>(int side, const double *r);
template double residual_noise_of<8>(int side, const double *r);

// ---- the vector exp and log, for their tests --------------------------------------

namespace {

// f over n values in vectors of V; the last, partial vector padded with 1.0.
template <class V, class F>
GAUSS2_INLINE void each_lane(const double *x, double *y, long n, F f) {
    constexpr long kW = lanes_of<V>;
    for (long i = 0; i < n; i += kW) {
        const long m = n - i < kW ? n - i : kW;
        V v = splat<V>(1.0);
        std::memcpy(&v, x + i, static_cast<std::size_t>(m) * sizeof(double));
        v = f(v);
        std::memcpy(y + i, &v, static_cast<std::size_t>(m) * sizeof(double));
    }
}

template <class Layout>
GAUSS2_INLINE void exp_or_log(bool exp, const double *x, double *y, long n) {
    using V = typename Layout::V;
    using Fma = typename Layout::Fma;
    if (exp)
        each_lane<V>(
            x, y, n, [](V v) __attribute__((always_inline)) { return vexp<Fma>(v); });
    else
        each_lane<V>(
            x, y, n, [](V v) __attribute__((always_inline)) { return vlog<Fma>(v); });
}

// NOLINTBEGIN(bugprone-macro-parentheses): target is an attribute, layout a type
#define GAUSS2_EXP_OR_LOG(name, target, layout, runs)                                               \
    [[gnu::noinline]] target void exp_or_log_##name(bool exp, const double *x, double *y, long n) { \
        exp_or_log<layout>(exp, x, y, n);                                                           \
    }
// NOLINTEND(bugprone-macro-parentheses)
GAUSS2_KERNEL_PATHS(GAUSS2_EXP_OR_LOG)
#undef GAUSS2_EXP_OR_LOG

#define GAUSS2_EXP_OR_LOG_ROW(name, target, layout, runs) &exp_or_log_##name,
constexpr void (*kExpOrLog[])(bool, const double *, double *,
                              long) = {GAUSS2_KERNEL_PATHS(GAUSS2_EXP_OR_LOG_ROW)};
#undef GAUSS2_EXP_OR_LOG_ROW

}  // namespace

void exp_lanes(const double *x, double *y, long n) { kExpOrLog[kernel_path()](true, x, y, n); }

void log_lanes(const double *x, double *y, long n) { kExpOrLog[kernel_path()](false, x, y, n); }

namespace {

// One patch fit's arguments, as solve_patch takes them.
struct PatchFit {
    const double *pixels;
    long row_stride;
    int mea;
    double *params;
    int itmax;
    const lm::Options &opts;
    double *info, *covar, *noise;
};

// A whole fit on the working memory laid out for Layout: inlined, with the
// solver and the passes, into the function of each path.
template <class Layout>
GAUSS2_INLINE int run_in(const Workspace<Layout> &ws, const PatchFit &f) {
    PatchProblem<Layout> problem(f.pixels, f.row_stride, f.mea, ws);
    const int result = lm::solve<kParams>(problem, f.params, f.itmax, f.opts, f.info, f.covar);
    if (f.noise != nullptr) *f.noise = result >= 0 ? problem.residual_noise() : 0.0;
    return result;
}

// One maximum-likelihood patch fit's arguments, as solve_patch_mle takes them.
struct MleFit {
    const double *pixels;
    long row_stride;
    Variance var;
    int mea;
    double *params;
    int itmax;
    const lm::ScoringOptions &opts;
    MleReport *out;
};

template <class Layout>
GAUSS2_INLINE int run_in(const Workspace<Layout> &ws, const MleFit &f) {
    PoissonProblem<Layout> problem(f.pixels, f.row_stride, f.var, f.mea, ws);
    lm::Matrix<kParams> info;
    MleReport &out = *f.out;
    out.summary = lm::score_fit<kParams>(problem, f.params, f.itmax, f.opts, info);
    for (double &v : out.crlb) v = NAN;
    out.deviance = NAN;
    if (!out.summary.estimate()) return 0;
    lm::Matrix<kParams> inverse;
    if (!lm::detail::inverse_if_full_rank<kParams, typename Layout::Fma>(info, inverse)) {
        out.summary.stop = lm::kScoringSingular;
        return 0;
    }
    for (int k = 0; k < kParams; k++) out.crlb[k] = std::sqrt(inverse(k, k));
    out.deviance = 2.0 * (out.summary.final - problem.saturated());
    return 0;
}

// The least-squares sandwich's arguments, as photon_covariance takes them.
struct SandwichFit {
    long row_stride;
    Variance var;
    int mea;
    const double *params;
    double *covar;
};

template <class Layout>
GAUSS2_INLINE int run_in(const Workspace<Layout> &ws, const SandwichFit &f) {
    const int side = f.mea;
    // The variances in the patch's array, no data (y = 0, in the second): the
    // likelihood's trial then only evaluates the model and tests f + s2 > 0.
    for (long k = 0; k < Layout::patch_doubles(side); k++) ws.x[k] = 0.0, ws.a[k] = 0.0;
    bool valid = true;
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) {
            const double v = f.var.at(i, j, f.row_stride);
            valid = valid && v >= 0.0 && v <= DBL_MAX;
            ws.x[Layout::index(side, i, j)] = v;
        }
    const Shape shape = shape_of(f.params);
    if (!valid || !std::isfinite(poisson_trial<Layout>(side, ws.a, ws.x, shape, ws.b, ws.columns))) return -1;
    lm::Matrix<kParams> A, B;
    lm::Vector<kParams> unused;
    normal_equations<Layout>(side, ws.a, ws.b, shape, f.params, ws.columns, A.data(), unused.data());
    variance_information<Layout>(side, ws.x, ws.b, shape, f.params, ws.columns, B.data());
    lm::Matrix<kParams> inv;
    if (!lm::detail::inverse_if_full_rank<kParams, typename Layout::Fma>(A, inv)) return -1;
    // (inv B) inv, each entry's sum over the middle index in order, fused.
    double left[kParams][kParams];
    for (int r = 0; r < kParams; r++)
        for (int c = 0; c < kParams; c++) {
            double sum = inv(r, 0) * B(0, c);
            for (int m = 1; m < kParams; m++) sum = Layout::Fma::fmadd(inv(r, m), B(m, c), sum);
            left[r][c] = sum;
        }
    for (int r = 0; r < kParams; r++)
        for (int c = 0; c < kParams; c++) {
            double sum = left[r][0] * inv(0, c);
            for (int m = 1; m < kParams; m++) sum = Layout::Fma::fmadd(left[r][m], inv(m, c), sum);
            f.covar[r * kParams + c] = sum;
        }
    return 0;
}

// One evaluation of each problem, for tests, on a path of their choice.
struct LeastSquaresAt {
    KernelPath path;
    const double *pixels;
    long row_stride;
    int mea;
    const double *params;
    double *A, *g, *E;
};

template <class Layout>
GAUSS2_INLINE int run_in(const Workspace<Layout> &ws, const LeastSquaresAt &f) {
    PatchProblem<Layout> problem(f.pixels, f.row_stride, f.mea, ws);
    *f.E = problem.trial(f.params);
    problem.accept();
    lm::Matrix<kParams> A;
    lm::Vector<kParams> g;
    problem.normal_equations(f.params, A, g);
    for (int k = 0; k < kParams * kParams; k++) f.A[k] = A.data()[k];
    for (int k = 0; k < kParams; k++) f.g[k] = g[k];
    return 0;
}

struct LikelihoodAt {
    KernelPath path;
    const double *pixels;
    long row_stride;
    Variance var;
    int mea;
    const double *params;
    double *I, *score, *F;
};

template <class Layout>
GAUSS2_INLINE int run_in(const Workspace<Layout> &ws, const LikelihoodAt &f) {
    PoissonProblem<Layout> problem(f.pixels, f.row_stride, f.var, f.mea, ws);
    *f.F = problem.trial(f.params);
    if (!std::isfinite(*f.F) || f.I == nullptr || f.score == nullptr) return 0;
    problem.accept();
    lm::Matrix<kParams> I;
    lm::Vector<kParams> score;
    problem.information(f.params, I, score);
    for (int k = 0; k < kParams * kParams; k++) f.I[k] = I.data()[k];
    for (int k = 0; k < kParams; k++) f.score[k] = score[k];
    return 0;
}

// The path a fit takes: the current one, or the one a test asks for.
template <class Fit>
KernelPath path_for(const Fit &) {
    return kernel_path();
}
KernelPath path_for(const LeastSquaresAt &f) { return f.path; }
KernelPath path_for(const LikelihoodAt &f) { return f.path; }

// A fit on each path, in a function of its own built for the path's
// instruction set, and the table of them for each kind of fit.
// NOLINTBEGIN(bugprone-macro-parentheses): target is an attribute, layout a type
#define GAUSS2_RUN(name, target, layout, runs)                              \
    template <class Fit>                                                    \
    [[gnu::noinline]] target int run_##name(double *memory, const Fit &f) { \
        return run_in(Workspace<layout>(memory, f.mea), f);                 \
    }
// NOLINTEND(bugprone-macro-parentheses)
GAUSS2_KERNEL_PATHS(GAUSS2_RUN)
#undef GAUSS2_RUN

#define GAUSS2_RUN_ROW(name, target, layout, runs) &run_##name<Fit>,
template <class Fit>
constexpr int (*kRuns[])(double *, const Fit &) = {GAUSS2_KERNEL_PATHS(GAUSS2_RUN_ROW)};
#undef GAUSS2_RUN_ROW

// A fit on its path (path_for), on workspace_doubles(f.mea) doubles of
// working memory aligned to 64 bytes.
template <class Fit>
int run_on_path(double *memory, const Fit &f) {
    return kRuns<Fit>[path_for(f)](memory, f);
}

// The working memory in a frame of its own, sized by the size class; the
// rest of the fit runs below it.
template <int MaxSide, class Fit>
[[gnu::noinline]] int solve_on_stack(const Fit &f) {
    alignas(64) double memory[workspace_doubles(MaxSide)];
    return run_on_path(memory, f);
}

template <class Fit>
int solve_on_heap(const Fit &f) {
    constexpr std::size_t kAlign = 64;
    const std::size_t bytes = static_cast<std::size_t>(workspace_doubles(f.mea)) * sizeof(double);
    void *memory = std::aligned_alloc(kAlign, (bytes + kAlign - 1) / kAlign * kAlign);
    if (memory == nullptr) return -1;
    const int result = run_on_path(static_cast<double *>(memory), f);
    std::free(memory);
    return result;
}

// The smallest size class from kStackSides[I] on that holds the patch, or
// the heap beyond the last.
template <class Fit, std::size_t I = 0>
int solve_by_class(const Fit &f) {
    if constexpr (I < std::size(kStackSides)) {
        if (f.mea <= kStackSides[I]) return solve_on_stack<kStackSides[I]>(f);
        return solve_by_class<Fit, I + 1>(f);
    } else {
        return solve_on_heap(f);
    }
}

}  // namespace

int solve_patch(const double *pixels, long row_stride, int mea, double *params, int itmax,
                const lm::Options &opts, double *info, double *covar, double *noise) {
    return solve_by_class(PatchFit{pixels, row_stride, mea, params, itmax, opts, info, covar, noise});
}

}  // namespace gauss2

namespace gauss2 {

int solve_patch_mle(const double *pixels, long row_stride, const Variance &var, int mea, double *params,
                    int itmax, const lm::ScoringOptions &opts, MleReport *out) {
    return solve_by_class(MleFit{pixels, row_stride, var, mea, params, itmax, opts, out});
}

int photon_covariance(long row_stride, const Variance &var, int mea, const double *params, double *covar) {
    return solve_by_class(SandwichFit{row_stride, var, mea, params, covar});
}

double least_squares_at(KernelPath path, const double *pixels, long stride, int side, const double *p,
                        double *A, double *g) {
    double E = NAN;
    if (!path_runs_here(path) || side < 1 || side > GAUSS2_MAX_MEA) return E;
    solve_by_class(LeastSquaresAt{path, pixels, stride, side, p, A, g, &E});
    return E;
}

double likelihood_at(KernelPath path, const double *pixels, long stride, const Variance &var, int side,
                     const double *p, double *I, double *score) {
    double F = NAN;
    if (!path_runs_here(path) || side < 1 || side > GAUSS2_MAX_MEA) return F;
    solve_by_class(LikelihoodAt{path, pixels, stride, var, side, p, I, score, &F});
    return F;
}

}  // namespace gauss2
