// levmar's dlevmar_der over model and Jacobian callbacks, on the solver of
// lm.h: the way a host written against levmar drives it. The library itself
// fits through its own problem types; this adapter serves the tests and the
// benchmark's levmar-style baseline.
#pragma once

#include <utility>

#include "lm/lm.h"

namespace lm {

// Model and Jacobian callbacks as levmar takes them: f(p) into hx (n values),
// the n x m Jacobian row-major into j.
using ModelFn = void (*)(double *p, double *hx, int m, int n, void *adata);
using JacobianFn = void (*)(double *p, double *j, int m, int n, void *adata);

// Doubles of working memory that `dlevmar_der` needs for n measurements.
constexpr long work_size(int m, int n) { return static_cast<long>(n) * (m + 2); }

// Measurements up to which a null `work` is served from the stack.
constexpr int kStackMeasurements = 256;

// A problem over levmar-style callbacks, on caller-provided working memory of
// work_size(M, n) doubles: the model at the current and at the trial point,
// and the Jacobian.
template <int M>
class CallbackProblem {
   public:
    CallbackProblem(ModelFn f, JacobianFn jacf, const double *x, int n, void *adata, double *work)
        : f_(f),
          jacf_(jacf),
          x_(x),
          n_(n),
          adata_(adata),
          current_(work),
          trial_(work + n),
          jac_(work + 2L * n) {}

    int size() const { return n_; }

    double trial(const double *p) {
        Vector<M> copy = Eigen::Map<const Vector<M>>(p);  // the callback may not write our p
        f_(copy.data(), trial_, M, n_, adata_);
        double E = 0.0;
        for (int i = 0; i < n_; i++) {
            const double e = x_[i] - trial_[i];
            E += e * e;
        }
        return E;
    }

    void accept() { std::swap(current_, trial_); }

    void normal_equations(const double *p, Matrix<M> &A, Vector<M> &g) {
        Vector<M> copy = Eigen::Map<const Vector<M>>(p);
        jacf_(copy.data(), jac_, M, n_, adata_);
        A.setZero();
        g.setZero();
        for (int i = 0; i < n_; i++) {
            const Eigen::Map<const Vector<M>> row(jac_ + static_cast<long>(i) * M);
            A.template selfadjointView<Eigen::Lower>().rankUpdate(row);
            g += row * (x_[i] - current_[i]);
        }
        A.template triangularView<Eigen::StrictlyUpper>() = A.transpose();
    }

   private:
    ModelFn f_;
    JacobianFn jacf_;
    const double *x_;
    int n_;
    void *adata_;
    double *current_, *trial_, *jac_;
};

namespace detail {

template <int M>
int solve_callbacks(ModelFn func, JacobianFn jacf, double *p, const double *x, int n, int itmax,
                    const double *opts, double *info, double *work, double *covar, void *adata) {
    CallbackProblem<M> problem(func, jacf, x, n, adata, work);
    return solve<M>(problem, p, itmax, options_from(opts), info, covar);
}

// The stack buffer lives in this frame only, so that a caller who passes
// working memory never reserves it.
template <int M>
[[gnu::noinline]] int solve_callbacks_on_stack(ModelFn func, JacobianFn jacf, double *p, const double *x,
                                               int n, int itmax, const double *opts, double *info,
                                               double *covar, void *adata) {
    if (n > kStackMeasurements) return -1;
    double work[work_size(M, kStackMeasurements)];
    return solve_callbacks<M>(func, jacf, p, x, n, itmax, opts, info, work, covar, adata);
}

}  // namespace detail

// dlevmar_der over callbacks: `p` (M values) in and out, `x` (n values) the
// measurements. `work` holds work_size(M, n) doubles, or is null for
// n <= kStackMeasurements (larger n with a null `work` is refused with -1;
// the solver never uses the heap). Refuses a null `func` or `jacf` and n < M
// with -1, writing nothing. `opts` = {tau, eps1, eps2, eps3} or null for the
// defaults.
template <int M>
int dlevmar_der(ModelFn func, JacobianFn jacf, double *p, const double *x, int n, int itmax,
                const double *opts, double *info, double *work, double *covar, void *adata) {
    if (jacf == nullptr || func == nullptr || n < M) return -1;
    if (work == nullptr)
        return detail::solve_callbacks_on_stack<M>(func, jacf, p, x, n, itmax, opts, info, covar, adata);
    return detail::solve_callbacks<M>(func, jacf, p, x, n, itmax, opts, info, work, covar, adata);
}

}  // namespace lm
