// Levenberg-Marquardt least squares with an analytic Jacobian, following the
// contract of levmar's dlevmar_der: the same damping rule, stopping tests,
// counting, report and covariance.
//
// Minimises E(p) = ||x - f(p)||^2 over p in R^M for n measurements.
//
// The solver is a template over the parameter count M and the problem type,
// so that fixed-size Eigen matrices carry the M x M algebra and the problem's
// code is visible to the compiler. It allocates nothing, keeps no state and
// prints nothing: any number of threads may solve at once.
//
// A problem type provides:
//   int size() const;                      n, the number of measurements
//   double trial(const double *p);         evaluate f at p as the trial point;
//                                          return ||x - f(p)||^2
//   void accept();                         the last trial point becomes the
//                                          current point
//   void normal_equations(const double *p, Matrix &A, Vector &g);
//                                          at the current point p: A = J^T J,
//                                          g = J^T (x - f(p))
//
// Damping update after Madsen, Nielsen and Tingleff, "Methods for non-linear
// least squares problems" (2004), section 3.2 and eq. (3.16).
#pragma once

#include <Eigen/Core>
#include <Eigen/Eigenvalues>
#include <cfloat>
#include <climits>
#include <cmath>
#include <utility>

namespace lm {

// The solver's functions are inlined into their caller, so that a caller
// built for several instruction sets gets the solver's arithmetic in each.
#define LM_INLINE inline __attribute__((always_inline))

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

template <int M>
using Matrix = Eigen::Matrix<double, M, M>;
template <int M>
using Vector = Eigen::Matrix<double, M, 1>;

namespace detail {

// Largest diagonal entry, the maximum starting from -DBL_MAX (NaN entries
// never win a comparison).
template <int M>
double max_diagonal(const Matrix<M> &A) {
    double best = -DBL_MAX;
    for (int i = 0; i < M; i++)
        if (A(i, i) > best) best = A(i, i);
    return best;
}

template <int M>
double inf_norm(const Vector<M> &v) {
    double best = 0.0;
    for (int i = 0; i < M; i++)
        if (std::fabs(v[i]) > best) best = std::fabs(v[i]);
    return best;
}

// Factorises S = A + mu I as L D L^T (unit lower L, diagonal D; Cholesky
// without square roots). False when a pivot is not positive (NaN included):
// S is then not numerically positive definite. Written out for fixed M:
// Eigen's LLT takes several times the instructions on a 7 x 7 system, and
// the solve is a sizable share of a whole fit.
template <int M>
LM_INLINE bool ldlt(const Matrix<M> &A, double mu, double (&L)[M][M], double (&inv_d)[M]) {
    double D[M];
#pragma GCC unroll 16
    for (int j = 0; j < M; j++) {
        double W[M];  // W[k] = L[j][k] * D[k]
        double d = A(j, j) + mu;
#pragma GCC unroll 16
        for (int k = 0; k < j; k++) {
            W[k] = L[j][k] * D[k];
            d -= W[k] * L[j][k];
        }
        if (!(d > 0.0)) return false;
        D[j] = d;
        inv_d[j] = 1.0 / d;
        L[j][j] = 1.0;
#pragma GCC unroll 16
        for (int i = j + 1; i < M; i++) {
            double s = A(i, j);
#pragma GCC unroll 16
            for (int k = 0; k < j; k++) s -= L[i][k] * W[k];
            L[i][j] = s * inv_d[j];
        }
    }
    return true;
}

// Solves (A + mu I) dp = g. False when the factorisation breaks down or
// anything in the solution is not finite.
template <int M>
LM_INLINE bool solve_damped(const Matrix<M> &A, double mu, const Vector<M> &g, Vector<M> &dp) {
    double L[M][M], inv_d[M];
    if (!ldlt<M>(A, mu, L, inv_d)) return false;
    double y[M];
#pragma GCC unroll 16
    for (int i = 0; i < M; i++) {  // L y = g
        double s = g[i];
#pragma GCC unroll 16
        for (int k = 0; k < i; k++) s -= L[i][k] * y[k];
        y[i] = s;
    }
#pragma GCC unroll 16
    for (int i = M - 1; i >= 0; i--) {  // D L^T dp = y
        double s = y[i] * inv_d[i];
#pragma GCC unroll 16
        for (int k = i + 1; k < M; k++) s -= L[k][i] * dp[k];
        dp[i] = s;
    }
    return dp.allFinite();
}

// The inverse of A from its factorisation, when A is positive definite and
// so well conditioned that its rank is certainly full by the singular-value
// rule: sigma_min >= 1 / trace(A^-1) and sigma_max <= trace(A), so
// 1 / trace(A^-1) > DBL_EPSILON * trace(A) guarantees every singular value
// exceeds DBL_EPSILON * sigma_max. False otherwise.
template <int M>
LM_INLINE bool inverse_if_full_rank(const Matrix<M> &A, Matrix<M> &inv) {
    double L[M][M], inv_d[M];
    if (!ldlt<M>(A, 0.0, L, inv_d)) return false;
    // A^-1 = L^-T D^-1 L^-1, column by column from unit vectors.
    for (int c = 0; c < M; c++) {
        double y[M];
        for (int i = 0; i < M; i++) {
            double s = i == c ? 1.0 : 0.0;
            for (int k = 0; k < i; k++) s -= L[i][k] * y[k];
            y[i] = s;
        }
        for (int i = M - 1; i >= 0; i--) {
            double s = y[i] * inv_d[i];
            for (int k = i + 1; k < M; k++) s -= L[k][i] * inv(k, c);
            inv(i, c) = s;
        }
    }
    double tr = 0.0, tr_inv = 0.0;
    for (int i = 0; i < M; i++) tr += A(i, i), tr_inv += inv(i, i);
    return inv.allFinite() && tr_inv > 0.0 && 1.0 / tr_inv > DBL_EPSILON * tr;
}

}  // namespace detail

// Covariance of the fit from the undamped J^T J: A+ * E / (n - r), where A+
// is the pseudo-inverse and r the rank, both from the singular values (for a
// symmetric A, the magnitudes of its eigenvalues): directions whose singular
// value exceeds DBL_EPSILON times the largest count, the others are dropped.
// With rank 0 the covariance is zero. Written row-major into covar[M * M].
// A well-conditioned A, the usual case, is inverted from its factorisation;
// the eigen-decomposition serves the others.
template <int M>
LM_INLINE void covariance(const Matrix<M> &A, double E, int n, double *covar) {
    Matrix<M> pinv;
    int rank = M;
    if (!detail::inverse_if_full_rank<M>(A, pinv)) {
        const Eigen::SelfAdjointEigenSolver<Matrix<M>> eig(A);
        const Vector<M> lambda = eig.eigenvalues();
        double sigma_max = 0.0;
        for (int i = 0; i < M; i++) sigma_max = std::fmax(sigma_max, std::fabs(lambda[i]));
        const double cutoff = DBL_EPSILON * sigma_max;
        pinv.setZero();
        rank = 0;
        for (int i = 0; i < M; i++) {
            if (!(std::fabs(lambda[i]) > cutoff)) continue;
            const auto v = eig.eigenvectors().col(i);
            pinv.noalias() += (v / lambda[i]) * v.transpose();
            rank++;
        }
    }
    if (rank == 0) {
        for (int i = 0; i < M * M; i++) covar[i] = 0.0;
        return;
    }
    const double scale = E / static_cast<double>(n - rank);
    for (int r = 0; r < M; r++)
        for (int c = 0; c < M; c++) covar[r * M + c] = pinv(r, c) * scale;
}

// Runs the solver from the start `p` (M values, overwritten by the estimate).
// Returns the number of iterations (>= 0), or -1 on failure: fewer
// measurements than parameters (nothing written), a nearly singular system
// (stop reason 4) or non-finite values (stop reason 7). `info` (10 values)
// and `covar` (M x M) may be null.
template <int M, class Problem>
LM_INLINE int solve(Problem &problem, double *p_io, int itmax, const Options &opt, double *info,
                    double *covar) {
    const int n = problem.size();
    if (n < M) return -1;

    const double eps2_sq = opt.eps2 * opt.eps2;
    Vector<M> p = Eigen::Map<const Vector<M>>(p_io);
    Matrix<M> A = Matrix<M>::Zero();
    Vector<M> g = Vector<M>::Zero();
    bool have_jacobian = false;

    double E = problem.trial(p.data());
    problem.accept();
    const double E0 = E;
    int n_fev = 1, n_jev = 0, n_lss = 0;
    double g_inf = 0.0, D = DBL_MAX, mu = 0.0;
    int nu = 2;
    int stop = std::isfinite(E) ? 0 : kInvalidValues;

    int k = 0;
    while (k < itmax && stop == 0) {
        if (E <= opt.eps3) {  // E <= eps3: the error is small; not counted
            stop = kSmallError;
            break;
        }
        problem.normal_equations(p.data(), A, g);
        n_jev++;
        have_jacobian = true;
        g_inf = detail::inf_norm<M>(g);
        const double P = p.squaredNorm();
        if (g_inf <= opt.eps1) {  // ||J^T e||_inf <= eps1: at a stationary point; not counted
            D = 0.0;
            stop = kSmallGradient;
            break;
        }
        if (k == 0) mu = opt.tau * detail::max_diagonal<M>(A);

        for (;;) {
            Vector<M> dp;
            const bool solved = detail::solve_damped<M>(A, mu, g, dp);
            n_lss++;
            if (solved) {
                const Vector<M> p_new = p + dp;
                D = dp.squaredNorm();
                if (D <= eps2_sq * P) {  // ||dp||^2 <= eps2^2 ||p||^2
                    stop = kSmallStep;
                    break;
                }
                if (D >= (P + opt.eps2) / (1e-12 * 1e-12)) {  // step beyond any sensible size
                    stop = kSingular;
                    break;
                }
                const double E_new = problem.trial(p_new.data());
                n_fev++;
                if (!std::isfinite(E_new)) {
                    stop = kInvalidValues;
                    break;
                }
                // Gain ratio of the actual to the predicted reduction.
                const double dL = dp.dot(mu * dp + g);
                const double dF = E - E_new;
                if (dL > 0.0 && dF > 0.0) {
                    const double t = 2.0 * dF / dL - 1.0;
                    const double shrink = 1.0 - t * t * t;
                    mu *= shrink >= 0.3333333334 ? shrink : 0.3333333334;
                    nu = 2;
                    p = p_new;
                    problem.accept();
                    E = E_new;
                    break;
                }
            }
            // Not solved or not accepted: raise the damping and retry.
            mu *= nu;
            if (nu > INT_MAX / 2) {  // doubling nu would overflow its 32 bits
                stop = kNoReduction;
                break;
            }
            nu *= 2;
        }
        k++;
    }
    if (k >= itmax) stop = kIterationLimit;  // overrides a reason set in the last iteration

    for (int i = 0; i < M; i++) p_io[i] = p[i];
    if (info != nullptr) {
        info[kInfoInitialError] = E0;
        info[kInfoFinalError] = E;
        info[kInfoGradientInf] = g_inf;
        info[kInfoStepSq] = D;
        info[kInfoRelativeMu] = mu / (have_jacobian ? detail::max_diagonal<M>(A) : -DBL_MAX);
        info[kInfoIterations] = k;
        info[kInfoStopReason] = stop;
        info[kInfoFunctionEvals] = n_fev;
        info[kInfoJacobianEvals] = n_jev;
        info[kInfoLinearSolves] = n_lss;
    }
    if (covar != nullptr) {
        if (have_jacobian) {
            covariance<M>(A, E, n, covar);
        } else {
            for (int i = 0; i < M * M; i++) covar[i] = NAN;
        }
    }
    return (stop == kSingular || stop == kInvalidValues) ? -1 : k;
}

// ---- levmar-style callbacks ------------------------------------------------

// Model and Jacobian callbacks as levmar takes them: f(p) into hx (n values),
// the n x m Jacobian row-major into j.
using ModelFn = void (*)(double *p, double *hx, int m, int n, void *adata);
using JacobianFn = void (*)(double *p, double *j, int m, int n, void *adata);

// Doubles of working memory that `dlevmar_der` needs for n measurements.
constexpr long work_size(int m, int n) { return static_cast<long>(n) * (m + 2); }

// Measurements up to which a null `work` is served from the stack.
constexpr int kStackMeasurements = 256;

// A problem over levmar-style callbacks, on caller-provided working memory of
// work_size(M, n) doubles.
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

// dlevmar_der over callbacks: `p` (M values) in and out, `x` (n values) the
// measurements. `work` holds work_size(M, n) doubles, or is null for
// n <= kStackMeasurements (larger n with a null `work` is refused with -1;
// the solver never uses the heap). Refuses a null `jacf` and n < M with -1,
// writing nothing. `opts` = {tau, eps1, eps2, eps3} or null for the defaults.
template <int M>
int dlevmar_der(ModelFn func, JacobianFn jacf, double *p, const double *x, int n, int itmax,
                const double *opts, double *info, double *work, double *covar, void *adata) {
    if (jacf == nullptr || func == nullptr || n < M) return -1;
    double stack_work[work_size(M, kStackMeasurements)];
    if (work == nullptr) {
        if (n > kStackMeasurements) return -1;
        work = stack_work;
    }
    CallbackProblem<M> problem(func, jacf, x, n, adata, work);
    return solve<M>(problem, p, itmax, options_from(opts), info, covar);
}

}  // namespace lm
