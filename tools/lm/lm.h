// Levenberg-Marquardt least squares with an analytic Jacobian, following the
// contract of levmar's dlevmar_der: the same damping rule, stopping tests,
// counting, report and covariance.
//
// Minimises E(p) = ||x - f(p)||^2 over p in R^M for n measurements.
// Notation: e = x - f(p), A = J^T J, g = J^T e, P = ||p||^2, D = ||dp||^2.
//
// The solver is a template over the parameter count M and the problem type,
// so that fixed-size matrices carry the M x M algebra and the problem's code
// is visible to the compiler. It allocates nothing, keeps no state and
// prints nothing: any number of threads may solve at once.
//
// Damping update after Madsen, Nielsen and Tingleff, "Methods for non-linear
// least squares problems" (2004), section 3.2 and eq. (3.16).
#pragma once

#include <cfloat>
#include <climits>
#include <cmath>
#include <concepts>
#include <optional>

#include "lm/linear.h"

namespace lm {

// Indices into the 10-value report.
enum Info {
    kInfoInitialError = 0,  // E at the starting point
    kInfoFinalError = 1,    // E at the final point
    kInfoGradientInf = 2,   // ||J^T e||_inf at its last computation
    kInfoStepSq = 3,        // ||dp||^2 at its last computation (DBL_MAX if never)
    kInfoRelativeMu = 4,    // mu / max(diag(J^T J))
    kInfoIterations = 5,
    kInfoStopReason = 6,
    kInfoFunctionEvals = 7,
    kInfoJacobianEvals = 8,
    kInfoLinearSolves = 9,
    kInfoSize = 10,
};

enum StopReason {
    kRunning = 0,         // no reason yet
    kSmallGradient = 1,   // ||J^T e||_inf <= eps1
    kSmallStep = 2,       // ||dp||^2 <= eps2^2 ||p||^2
    kIterationLimit = 3,  // itmax iterations done
    kSingular = 4,        // ||dp||^2 >= (||p||^2 + eps2) / 1e-24: nearly singular
    kNoReduction = 5,     // damping grew until nu would overflow
    kSmallError = 6,      // E <= eps3
    kInvalidValues = 7,   // E not finite (NaN or infinity)
};

// {tau, eps1, eps2, eps3}: scale of the initial damping, thresholds on
// ||J^T e||_inf, on ||dp|| and on ||e||^2.
struct Options {
    double tau = 1e-3;
    double eps1 = 1e-17;
    double eps2 = 1e-17;
    double eps3 = 1e-17;
};

inline Options options_from(const double *opts) {
    if (opts == nullptr) return Options{};
    return Options{opts[0], opts[1], opts[2], opts[3]};
}

// A least-squares problem for solve<M>:
//   size()                   n, the number of measurements;
//   trial(p)                 evaluates f at p as the trial point and returns
//                            ||x - f(p)||^2;
//   accept()                 the last trial point becomes the current point;
//   normal_equations(p, A, g)  at the current point p: A = J^T J and
//                            g = J^T (x - f(p)).
template <class P, int M>
concept Problem = requires(P &problem, const P &const_problem, const double *p, Matrix<M> &A, Vector<M> &g) {
    { const_problem.size() } -> std::convertible_to<int>;
    { problem.trial(p) } -> std::convertible_to<double>;
    problem.accept();
    problem.normal_equations(p, A, g);
};

// What a run did, typed; write() gives the 10-value report.
struct Summary {
    double initial_error = 0.0;  // E at the start
    double final_error = 0.0;    // E at the final point
    double gradient_inf = 0.0;   // ||J^T e||_inf at its last computation
    double step_sq = DBL_MAX;    // ||dp||^2 at its last computation
    double relative_mu = 0.0;    // mu / max(diag(J^T J)), the maximum from -DBL_MAX
    int iterations = 0;          // k
    StopReason stop = kRunning;  //
    int function_evals = 0;      // trial() calls
    int jacobian_evals = 0;      // normal_equations() calls
    int linear_solves = 0;       // damped systems factorised

    // The solver's result: -1 for a nearly singular system or non-finite
    // values, else the number of iterations.
    int result() const { return (stop == kSingular || stop == kInvalidValues) ? -1 : iterations; }

    void write(double *info) const {
        info[kInfoInitialError] = initial_error;
        info[kInfoFinalError] = final_error;
        info[kInfoGradientInf] = gradient_inf;
        info[kInfoStepSq] = step_sq;
        info[kInfoRelativeMu] = relative_mu;
        info[kInfoIterations] = iterations;
        info[kInfoStopReason] = stop;
        info[kInfoFunctionEvals] = function_evals;
        info[kInfoJacobianEvals] = jacobian_evals;
        info[kInfoLinearSolves] = linear_solves;
    }
};

// The damping of the iteration, shared by the least-squares solver and by
// damped Fisher scoring (scoring.h): after Madsen, Nielsen and Tingleff,
// "Methods for non-linear least squares problems" (2004), section 3.2 and
// eq. (3.16), with levmar's 32-bit nu.
struct Damping {
    // The smallest factor by which an accepted step shrinks mu.
    static constexpr double kMinShrink = 0.3333333334;

    double mu = 0.0;  // the damping
    int nu = 2;       // the factor of its next increase

    // A step accepted with the actual decrease dF of the objective and the
    // decrease dL that the linear model predicted, t = 2 dF / dL - 1 (the
    // gain ratio, rescaled): mu <- mu max(1 - t^3, kMinShrink), nu <- 2.
    template <class Fma = LibraryFma>
    LM_INLINE void accept(double dF, double dL) {
        const double t = 2.0 * dF / dL - 1.0;
        const double shrink = Fma::fmadd(-(t * t), t, 1.0);
        mu *= shrink >= kMinShrink ? shrink : kMinShrink;
        nu = 2;
    }

    // A step rejected: mu <- mu nu, nu <- 2 nu. False (mu raised all the
    // same) once doubling nu would overflow its 32 bits: no further
    // reduction of the objective is possible.
    LM_INLINE bool reject() {
        mu *= nu;
        if (nu > INT_MAX / 2) return false;
        nu *= 2;
        return true;
    }
};

namespace detail {

// Largest diagonal entry, the maximum starting from -DBL_MAX (NaN entries
// never win a comparison).
template <int M>
LM_INLINE double max_diagonal(const Matrix<M> &A) {
    double best = -DBL_MAX;
    for (int i = 0; i < M; i++)
        if (A(i, i) > best) best = A(i, i);
    return best;
}

template <int M>
LM_INLINE double inf_norm(const Vector<M> &v) {
    double best = 0.0;
    for (int i = 0; i < M; i++)
        if (std::fabs(v[i]) > best) best = std::fabs(v[i]);
    return best;
}

// The inverse of A from its factorisation, when A is positive definite and
// so well conditioned that its rank is certainly full by the singular-value
// rule: sigma_min >= 1 / trace(A^-1) and sigma_max <= trace(A), so
// 1 / trace(A^-1) > DBL_EPSILON * trace(A) guarantees every singular value
// exceeds DBL_EPSILON * sigma_max. False otherwise.
template <int M, class Fma = LibraryFma>
LM_INLINE bool inverse_if_full_rank(const Matrix<M> &A, Matrix<M> &inv) {
    Ldlt<M, true, Fma> factors;
    if (!factors.compute(A, 0.0)) return false;
    factors.inverse(inv);
    double tr = 0.0, tr_inv = 0.0;
    for (int i = 0; i < M; i++) tr += A(i, i), tr_inv += inv(i, i);
    return inv.allFinite() && tr_inv > 0.0 && 1.0 / tr_inv > DBL_EPSILON * tr;
}

// A^+ from the eigen-decomposition of the symmetric A (whose singular values
// are the magnitudes of its eigenvalues), keeping the directions whose
// singular value exceeds DBL_EPSILON times the largest; returns the rank.
template <int M>
LM_INLINE int pseudo_inverse(const Matrix<M> &A, Matrix<M> &pinv) {
    const Eigen::SelfAdjointEigenSolver<Matrix<M>> eig(A);
    const Vector<M> &lambda = eig.eigenvalues();
    double sigma_max = 0.0;
    for (int i = 0; i < M; i++) sigma_max = std::fmax(sigma_max, std::fabs(lambda[i]));
    const double cutoff = DBL_EPSILON * sigma_max;
    pinv.setZero();
    int rank = 0;
    for (int i = 0; i < M; i++) {
        if (!(std::fabs(lambda[i]) > cutoff)) continue;
        const auto v = eig.eigenvectors().col(i);
        pinv.noalias() += (v / lambda[i]) * v.transpose();
        rank++;
    }
    return rank;
}

}  // namespace detail

// Covariance of the fit from the undamped J^T J: C = A^+ * E / (n - r),
// where A^+ is the pseudo-inverse and r the rank, both from the singular
// values: directions whose singular value exceeds DBL_EPSILON times the
// largest count, the others are dropped. With rank 0 the covariance is zero.
// Written row-major into covar[M * M]. A well-conditioned A, the usual case,
// is inverted from its factorisation; the eigen-decomposition serves the
// others.
template <int M, class Fma = LibraryFma>
LM_INLINE void covariance(const Matrix<M> &A, double E, int n, double *covar) {
    Matrix<M> pinv;
    int rank = M;
    if (!detail::inverse_if_full_rank<M, Fma>(A, pinv)) rank = detail::pseudo_inverse<M>(A, pinv);
    if (rank == 0) {
        for (int i = 0; i < M * M; i++) covar[i] = 0.0;
        return;
    }
    const double scale = E / static_cast<double>(n - rank);
    for (int r = 0; r < M; r++)
        for (int c = 0; c < M; c++) covar[r * M + c] = pinv(r, c) * scale;
}

namespace detail {

// The solver's state between its steps.
template <int M>
struct Run {
    Vector<M> p;                      // the current point
    Matrix<M> A = Matrix<M>::Zero();  // J^T J at the last Jacobian
    Vector<M> g = Vector<M>::Zero();  // J^T e there
    double E = 0.0;                   // ||e||^2 at p
    double P = 0.0;                   // ||p||^2 at the last Jacobian
    Damping damping;
    bool have_jacobian = false;
    Summary summary;
};

// Evaluates the start. E0 not finite: stop reason 7, no iteration runs.
template <int M, class P>
LM_INLINE void start(P &problem, const double *p0, Run<M> &run) {
    run.p = Eigen::Map<const Vector<M>>(p0);
    run.E = problem.trial(run.p.data());
    problem.accept();
    run.summary.initial_error = run.E;
    run.summary.function_evals = 1;
    if (!std::isfinite(run.E)) run.summary.stop = kInvalidValues;
}

// Opens iteration k: the two tests that end the run before the iteration
// counts, then J^T J, J^T e and, on the first iteration, the initial
// damping. False when the run stops here.
template <int M, class P>
LM_INLINE bool linearise(P &problem, Run<M> &run, const Options &opt, int k) {
    Summary &s = run.summary;
    if (run.E <= opt.eps3) {  // E <= eps3: the error is small
        s.stop = kSmallError;
        return false;
    }
    problem.normal_equations(run.p.data(), run.A, run.g);
    s.jacobian_evals++;
    run.have_jacobian = true;
    s.gradient_inf = inf_norm<M>(run.g);
    run.P = squared_norm<M, FmaOf<P>>(run.p);
    if (s.gradient_inf <= opt.eps1) {  // ||J^T e||_inf <= eps1: at a stationary point
        s.step_sq = 0.0;
        s.stop = kSmallGradient;
        return false;
    }
    if (k == 0) run.damping.mu = opt.tau * max_diagonal<M>(run.A);  // mu0 = tau max(A_ii)
    return true;
}

enum class Step { kAccepted, kRejected, kStopped };

// One damped step: solve (A + mu I) dp = g, test it, evaluate and accept it
// if it lowers the error as the linear model predicts it should.
template <int M, class P>
LM_INLINE Step try_step(P &problem, Run<M> &run, const Options &opt) {
    Summary &s = run.summary;
    using Fma = FmaOf<P>;
    // The step in Ldlt's first order (see there).
    Ldlt<M, false, Fma> factors;
    Vector<M> dp;
    s.linear_solves++;
    if (!factors.compute(run.A, run.damping.mu)) return Step::kRejected;  // not positive definite
    factors.solve(run.g, dp);
    if (!dp.allFinite()) return Step::kRejected;
    const Vector<M> p_new = run.p + dp;
    s.step_sq = squared_norm<M, Fma>(dp);
    if (s.step_sq <= opt.eps2 * opt.eps2 * run.P) {  // ||dp||^2 <= eps2^2 ||p||^2: the step is small
        s.stop = kSmallStep;
        return Step::kStopped;
    }
    if (s.step_sq >= (run.P + opt.eps2) / (1e-12 * 1e-12)) {  // ||dp||^2 >= (||p||^2 + eps2) / 1e-24
        s.stop = kSingular;
        return Step::kStopped;
    }
    const double E_new = problem.trial(p_new.data());
    s.function_evals++;
    if (!std::isfinite(E_new)) {  // E' is NaN or infinite
        s.stop = kInvalidValues;
        return Step::kStopped;
    }
    // The actual reduction dF and the one dL the linear model predicts:
    // dL = dp^T (mu dp + g), dF = E - E'.
    Vector<M> mu_dp_g;
    for (int i = 0; i < M; i++) mu_dp_g[i] = Fma::fmadd(run.damping.mu, dp[i], run.g[i]);
    const double dL = dot<M, Fma>(dp, mu_dp_g);
    const double dF = run.E - E_new;
    if (!(dL > 0.0 && dF > 0.0)) return Step::kRejected;
    run.damping.template accept<Fma>(dF, dL);
    run.p = p_new;
    problem.accept();
    run.E = E_new;
    return Step::kAccepted;
}

// The inner loop of an iteration: damped steps, raising the damping after
// each one that fails, until one is accepted or the run stops.
template <int M, class P>
LM_INLINE void damped_step(P &problem, Run<M> &run, const Options &opt) {
    for (;;) {
        const Step step = try_step<M>(problem, run, opt);
        if (step != Step::kRejected) return;
        if (!run.damping.reject()) {
            run.summary.stop = kNoReduction;
            return;
        }
    }
}

// The report's closing values and the covariance, whatever the stop reason;
// with no Jacobian ever evaluated there is no J^T J: the covariance is NaN.
template <int M, class Fma>
LM_INLINE void finish(Run<M> &run, int n, double *covar) {
    run.summary.final_error = run.E;
    run.summary.relative_mu = run.damping.mu / (run.have_jacobian ? max_diagonal<M>(run.A) : -DBL_MAX);
    if (covar == nullptr) return;
    if (run.have_jacobian) {
        covariance<M, Fma>(run.A, run.E, n, covar);
    } else {
        for (int i = 0; i < M * M; i++) covar[i] = NAN;
    }
}

}  // namespace detail

// Runs the solver from the start `p_io` (M values, overwritten by the
// estimate) and returns what it did, writing the covariance into `covar`
// (M x M, row-major) unless it is null. Fewer measurements than parameters
// (n < M) are refused before anything is evaluated: no summary, nothing
// written.
template <int M, Problem<M> P>
LM_INLINE std::optional<Summary> solve_summary(P &problem, double *p_io, int itmax, const Options &opt,
                                               double *covar) {
    const int n = problem.size();
    if (n < M) return std::nullopt;
    detail::Run<M> run;
    detail::start<M>(problem, p_io, run);
    int k = 0;
    while (k < itmax && run.summary.stop == kRunning) {
        if (!detail::linearise<M>(problem, run, opt, k)) break;  // stop reasons 6 and 1: not counted
        detail::damped_step<M>(problem, run, opt);
        k++;  // an accepted step, or stop reasons 2, 4, 5 and 7: counted
    }
    // k = itmax: stop reason 3, overriding a reason set in the last iteration.
    if (k >= itmax) run.summary.stop = kIterationLimit;
    run.summary.iterations = k;
    for (int i = 0; i < M; i++) p_io[i] = run.p[i];
    detail::finish<M, FmaOf<P>>(run, n, covar);
    return run.summary;
}

// solve_summary with levmar's outputs: returns the number of iterations
// (>= 0), or -1 on failure: fewer measurements than parameters (nothing
// written), a nearly singular system (stop reason 4) or non-finite values
// (stop reason 7). `info` (10 values) and `covar` (M x M) may be null.
template <int M, Problem<M> P>
LM_INLINE int solve(P &problem, double *p_io, int itmax, const Options &opt, double *info, double *covar) {
    const std::optional<Summary> summary = solve_summary<M>(problem, p_io, itmax, opt, covar);
    if (!summary) return -1;
    if (info != nullptr) summary->write(info);
    return summary->result();
}

}  // namespace lm
