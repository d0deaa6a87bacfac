// The Levenberg-Marquardt solver: known minima, every stop reason from a
// constructed case, the report, the covariance, refusals and reentrancy.
#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "heap_counter.h"
#include "lm/levmar.h"
#include "lm_problems.h"
#include "same_bits.h"
#include "small_stack.h"

namespace {

using namespace lmtest;
// Through a Problem type.
template <int M>
Result<M> solve(TracedProblem<M> &problem, Point<M> start, int itmax = kItmax, const double *opts = nullptr) {
    Result<M> r;
    r.p = start;
    r.ret = lm::solve<M>(problem, r.p.data(), itmax, lm::options_from(opts), r.info.data(), r.covar.data());
    return r;
}

// ||x - f(p)||^2 summed in long double.
double sum_squares(const Fit &fit, const double *p, int m) {
    const std::vector<double> hx = fit.model(p, m);
    long double E = 0.0L;
    for (int i = 0; i < fit.n(); i++) E += (static_cast<long double>(fit.x[i]) - hx[i]) * (fit.x[i] - hx[i]);
    return static_cast<double>(E);
}

Eigen::VectorXd gradient(const Fit &fit, const double *p, int m) {
    const std::vector<double> hx = fit.model(p, m);
    Eigen::VectorXd e(fit.n());
    for (int i = 0; i < fit.n(); i++) e[i] = fit.x[i] - hx[i];
    return fit.jacobian(p, m).transpose() * e;
}

void expect_counters(const Report &info, int fev, int jev, int lss) {
    EXPECT_EQ(info[lm::kInfoFunctionEvals], fev);
    EXPECT_EQ(info[lm::kInfoJacobianEvals], jev);
    EXPECT_EQ(info[lm::kInfoLinearSolves], lss);
}

// The counters against the calls the callbacks saw.
template <int M>
void expect_counts_match(const Fit &fit, const Result<M> &r) {
    EXPECT_EQ(r.info[lm::kInfoFunctionEvals], fit.curve.model_calls);
    EXPECT_EQ(r.info[lm::kInfoJacobianEvals], fit.curve.jacobian_calls);
}

// p only ever moves to accepted points: the result is the start or a trial
// the model evaluated, with the lowest error of all trials; each acceptance
// lowered the error and every Jacobian was asked for at the current point.
template <int M>
void expect_only_accepted_steps(const TracedProblem<M> &pr, const Result<M> &r) {
    EXPECT_TRUE(same_bits(r.p, pr.current)) << "p is not the last accepted point";
    EXPECT_TRUE(same_bits(r.info[lm::kInfoFinalError], pr.current_E));
    EXPECT_EQ(pr.worse_accepts, 0);
    EXPECT_EQ(pr.off_current, 0);
    double lowest = INFINITY;
    for (const auto &t : pr.trials) lowest = std::fmin(lowest, t.E);
    if (std::isfinite(pr.current_E)) {
        EXPECT_EQ(pr.current_E, lowest);
    }
    EXPECT_EQ(r.info[lm::kInfoFunctionEvals], pr.trials.size());
    EXPECT_EQ(r.info[lm::kInfoJacobianEvals], pr.jacobian_points.size());
}

// A^+ E / (n - r) from the singular values of A, with the solver's rank rule.
Eigen::MatrixXd pinv_covariance(const Eigen::MatrixXd &A, double E, int n, int *rank = nullptr) {
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(A, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::VectorXd &s = svd.singularValues();
    Eigen::MatrixXd pinv = Eigen::MatrixXd::Zero(A.rows(), A.cols());
    int r = 0;
    for (int i = 0; i < s.size(); i++)
        if (s[i] > DBL_EPSILON * s[0])
            pinv += svd.matrixV().col(i) * svd.matrixU().col(i).transpose() / s[i], r++;
    if (rank != nullptr) *rank = r;
    return r == 0 ? pinv : Eigen::MatrixXd(pinv * (E / (n - r)));
}

template <int M>
void expect_covariance(const Result<M> &r, const Eigen::MatrixXd &C, double rel) {
    const Eigen::Map<const Eigen::Matrix<double, M, M, Eigen::RowMajor>> got(r.covar.data());
    EXPECT_LE((got - C).cwiseAbs().maxCoeff(), rel * C.cwiseAbs().maxCoeff()) << got << "\nexpected\n" << C;
}

template <int M>
void expect_all_nan(const std::array<double, std::size_t{M} * M> &covar) {
    for (double c : covar) EXPECT_TRUE(std::isnan(c));
}

}  // namespace

// The problem interface is a concept: the recording problem of these tests
// meets it, a type without accept() does not.
namespace {
struct NoAccept {
    int size() const { return 3; }
    double trial(const double *) { return 0.0; }
    void normal_equations(const double *, lm::Matrix<3> &, lm::Vector<3> &) {}
};
}  // namespace
static_assert(lm::Problem<TracedProblem<3>, 3>);
static_assert(lm::Problem<lm::CallbackProblem<3>, 3>);
static_assert(!lm::Problem<NoAccept, 3>);
static_assert(!lm::Problem<TracedProblem<3>, 4>);  // its normal equations are 3 x 3

// ---- Known minima ----------------------------------------------------------

// Both entry points on one fit: the minimum is reached, the errors are sums of
// squares matching an independent evaluation, the result is the iteration
// count and the counters agree with the calls the model saw. Zero-residual
// fits end on reason 6, before the next Jacobian; the others on 2, with a
// last solve that ran no model.
template <int M>
void check_minimum(Fit fit, Point<M> start, const double *truth, double tol, double E_min) {
    const int reason = E_min == 0.0 ? lm::kSmallError : lm::kSmallStep;
    for (int entry = 0; entry < 2; entry++) {
        SCOPED_TRACE(entry == 0 ? "dlevmar_der" : "lm::solve");
        Fit f = fit;
        TracedProblem<M> problem(f);
        const Result<M> r = entry == 0 ? der<M>(f, start) : solve<M>(problem, start);
        for (int i = 0; i < M; i++) EXPECT_NEAR(r.p[i], truth[i], tol) << i;
        EXPECT_EQ(r.stop(), reason);
        EXPECT_EQ(r.ret, r.k());
        EXPECT_GT(r.k(), 0);
        EXPECT_EQ(r.info[lm::kInfoJacobianEvals], r.k());
        EXPECT_EQ(r.info[lm::kInfoFunctionEvals],
                  r.info[lm::kInfoLinearSolves] + (reason == lm::kSmallError));
        EXPECT_DOUBLE_EQ(r.info[lm::kInfoInitialError], sum_squares(fit, start.data(), M));
        EXPECT_NEAR(r.info[lm::kInfoFinalError], sum_squares(fit, r.p.data(), M), 1e-12 * E_min + 1e-30);
        EXPECT_NEAR(r.info[lm::kInfoFinalError], E_min, 1e-9 * E_min + 1e-16);
        expect_counts_match(f, r);
        if (entry == 1) expect_only_accepted_steps(problem, r);
    }
}

TEST(SolverKnownMinima, RosenbrockValley) {
    const double truth[2] = {1.0, 1.0};
    check_minimum<2>(rosenbrock_fit(), {-1.2, 1.0}, truth, 1e-8, 0.0);
}

TEST(SolverKnownMinima, ExponentialDecay) {
    const double truth[3] = {5.0, 0.7, 1.0};
    check_minimum<3>(decay_fit(), {2.0, 0.3, 0.0}, truth, 1e-8, 0.0);
}

// The noise is orthogonal to the Jacobian at the true parameters, so they are
// the minimum and the residual there is the minimal error.
TEST(SolverKnownMinima, GaussianCurveWithResidual) {
    const Fit fit = gauss_fit();
    const double E_min = sum_squares(fit, kGaussTruth, 4);
    ASSERT_GT(E_min, 1e-3);
    ASSERT_LT(gradient(fit, kGaussTruth, 4).cwiseAbs().maxCoeff(), 1e-13);
    check_minimum<4>(fit, {2.0, 0.0, 1.0, 0.0}, kGaussTruth, 1e-8, E_min);
}

// ---- Stop reasons ----------------------------------------------------------

// Reason 1: a line fitted to V-shaped data, x = (1, -1, -1, 1) at t = (-3,
// -1, 1, 3), from p = 0: the residual is orthogonal to both columns of the
// Jacobian, so g is exactly 0 while E = 4. The stop comes before the first
// iteration is counted.
TEST(SolverStopReasons, SmallGradientAtStart) {
    Fit fit{line, line_jac, Curve{{-3.0, -1.0, 1.0, 3.0}}, {1.0, -1.0, -1.0, 1.0}};
    const Result<2> r = der<2>(fit, {0.0, 0.0});
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.stop(), lm::kSmallGradient);
    EXPECT_EQ(r.k(), 0);
    EXPECT_EQ(r.info[lm::kInfoInitialError], 4.0);  // the sum of squares, not its root 2
    EXPECT_EQ(r.info[lm::kInfoFinalError], 4.0);
    EXPECT_EQ(r.info[lm::kInfoGradientInf], 0.0);
    EXPECT_EQ(r.info[lm::kInfoStepSq], 0.0);
    expect_counters(r.info, 1, 1, 0);
    EXPECT_EQ(r.p[0], 0.0);
    EXPECT_EQ(r.p[1], 0.0);
    // A = diag(4, 20): C = A^-1 * 4 / (4 - 2).
    expect_covariance(
        r, pinv_covariance(fit.jacobian(r.p.data(), 2).transpose() * fit.jacobian(r.p.data(), 2), 4.0, 4),
        1e-15);
    EXPECT_DOUBLE_EQ(r.covar[0], 0.5);
    EXPECT_DOUBLE_EQ(r.covar[3], 0.1);
}

// Reason 1 after iterations: the same line from (5, -5) with eps1 = 1e-8; the
// Jacobian of the uncounted last iteration makes njev = k + 1.
TEST(SolverStopReasons, SmallGradientAfterIterations) {
    Fit fit{line, line_jac, Curve{{-3.0, -1.0, 1.0, 3.0}}, {1.0, -1.0, -1.0, 1.0}};
    const double opts[4] = {1e-3, 1e-8, 1e-17, 1e-17};
    TracedProblem<2> problem(fit);
    const Result<2> r = solve<2>(problem, {5.0, -5.0}, kItmax, opts);
    EXPECT_EQ(r.stop(), lm::kSmallGradient);
    EXPECT_GT(r.k(), 0);
    EXPECT_EQ(r.ret, r.k());
    EXPECT_LE(r.info[lm::kInfoGradientInf], 1e-8);
    EXPECT_NEAR(r.info[lm::kInfoGradientInf], gradient(fit, r.p.data(), 2).cwiseAbs().maxCoeff(), 1e-15);
    EXPECT_EQ(r.info[lm::kInfoStepSq], 0.0);
    EXPECT_EQ(r.info[lm::kInfoJacobianEvals], r.k() + 1);
    EXPECT_EQ(r.info[lm::kInfoFunctionEvals], r.info[lm::kInfoLinearSolves] + 1);
    expect_only_accepted_steps(problem, r);
}

// Reason 2: the decay fit with eps2 = 1e-3 stops once ||dp|| <= 1e-3 ||p||.
// p keeps the point where the too-small step was computed, so the step can be
// recomputed from the report's mu; the solve that stopped ran no model.
// With itmax equal to the iterations used, the same run reports 3 instead.
TEST(SolverStopReasons, SmallStepAndItsOverrideByItmax) {
    Fit fit = decay_fit();
    const double opts[4] = {1e-3, 1e-17, 1e-3, 1e-17};
    TracedProblem<3> problem(fit);
    const Result<3> r = solve<3>(problem, {2.0, 0.3, 0.0}, kItmax, opts);
    ASSERT_EQ(r.stop(), lm::kSmallStep);
    EXPECT_EQ(r.ret, r.k());
    EXPECT_GT(r.k(), 1);
    const double P = Eigen::Map<const Eigen::Vector3d>(r.p.data()).squaredNorm();
    EXPECT_LE(r.info[lm::kInfoStepSq], 1e-6 * P);
    EXPECT_GT(r.info[lm::kInfoStepSq], 0.0);
    EXPECT_TRUE(same_bits(r.p, problem.jacobian_points.back()));
    EXPECT_EQ(r.info[lm::kInfoJacobianEvals], r.k());
    EXPECT_EQ(r.info[lm::kInfoFunctionEvals], r.info[lm::kInfoLinearSolves]);
    expect_only_accepted_steps(problem, r);

    const Eigen::MatrixXd J = fit.jacobian(r.p.data(), 3);
    const Eigen::MatrixXd A = J.transpose() * J;
    const Eigen::VectorXd g = gradient(fit, r.p.data(), 3);
    EXPECT_NEAR(r.info[lm::kInfoGradientInf], g.cwiseAbs().maxCoeff(), 1e-12 * g.cwiseAbs().maxCoeff());
    const double mu = r.info[lm::kInfoRelativeMu] * A.diagonal().maxCoeff();
    const Eigen::VectorXd dp = (A + mu * Eigen::MatrixXd::Identity(3, 3)).colPivHouseholderQr().solve(g);
    EXPECT_NEAR(r.info[lm::kInfoStepSq], dp.squaredNorm(), 1e-8 * dp.squaredNorm());

    for (const int itmax : {r.k(), r.k() + 1}) {
        Fit again = decay_fit();
        TracedProblem<3> rerun(again);
        const Result<3> s = solve<3>(rerun, {2.0, 0.3, 0.0}, itmax, opts);
        EXPECT_EQ(s.stop(), itmax == r.k() ? lm::kIterationLimit : lm::kSmallStep);
        EXPECT_EQ(s.ret, r.k());
        EXPECT_TRUE(same_bits(s.p, r.p));
        for (int i : {0, 1, 2, 3, 4, 5, 7, 8, 9}) EXPECT_TRUE(same_bits(s.info[i], r.info[i])) << i;
    }
}

// Reason 3: Rosenbrock's valley with 5 iterations allowed, far from done.
TEST(SolverStopReasons, IterationLimit) {
    Fit fit = rosenbrock_fit();
    TracedProblem<2> problem(fit);
    const Result<2> r = solve<2>(problem, {-1.2, 1.0}, 5);
    EXPECT_EQ(r.ret, 5);
    EXPECT_EQ(r.stop(), lm::kIterationLimit);
    EXPECT_EQ(r.k(), 5);
    EXPECT_GT(r.info[lm::kInfoFinalError], 1e-6);
    EXPECT_LT(r.info[lm::kInfoFinalError], r.info[lm::kInfoInitialError]);
    EXPECT_EQ(r.info[lm::kInfoJacobianEvals], 5);
    EXPECT_EQ(r.info[lm::kInfoFunctionEvals], r.info[lm::kInfoLinearSolves] + 1);
    expect_only_accepted_steps(problem, r);
    // The gradient is the one at the last Jacobian, taken before the last step.
    const Eigen::VectorXd g = gradient(fit, problem.jacobian_points.back().data(), 2);
    EXPECT_DOUBLE_EQ(r.info[lm::kInfoGradientInf], g.cwiseAbs().maxCoeff());
    EXPECT_GT(r.info[lm::kInfoStepSq], 0.0);
    EXPECT_LT(r.info[lm::kInfoStepSq], DBL_MAX);
}

// Reason 4: a line scaled by 1e-6 from p = 0. J^T J ~ 1e-12, so the first
// step is ~1e6 long, beyond (P + eps2) / 1e-24 = 1e7 for D: it is refused
// before the model sees it. Default options (opts null) give mu = 1e-3 max(A).
// With itmax = 1 the same iteration reports 3 and returns 1.
TEST(SolverStopReasons, NearlySingularAndItsOverrideByItmax) {
    Fit fit{line, line_jac, Curve{{0.0, 1.0, 2.0, 3.0}, 1e-6}, {1.0, 2.0, 3.0, 4.0}};
    const Result<2> r = der<2>(fit, {0.0, 0.0});
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(r.stop(), lm::kSingular);
    EXPECT_EQ(r.k(), 1);
    expect_counters(r.info, 1, 1, 1);
    EXPECT_EQ(r.p[0], 0.0);
    EXPECT_EQ(r.p[1], 0.0);
    EXPECT_EQ(r.info[lm::kInfoFinalError], 30.0);
    EXPECT_EQ(r.info[lm::kInfoInitialError], 30.0);
    EXPECT_DOUBLE_EQ(r.info[lm::kInfoRelativeMu], 1e-3);
    const Eigen::MatrixXd J = fit.jacobian(r.p.data(), 2);
    const Eigen::MatrixXd A = J.transpose() * J;
    const Eigen::VectorXd g = gradient(fit, r.p.data(), 2);
    const Eigen::VectorXd dp =
        (A + 1e-3 * A.diagonal().maxCoeff() * Eigen::Matrix2d::Identity()).inverse() * g;
    EXPECT_GE(r.info[lm::kInfoStepSq], 1e7);
    EXPECT_NEAR(r.info[lm::kInfoStepSq], dp.squaredNorm(), 1e-6 * dp.squaredNorm());
    EXPECT_DOUBLE_EQ(r.info[lm::kInfoGradientInf], 20e-6);

    const Result<2> s = der<2>(fit, {0.0, 0.0}, 1);
    EXPECT_EQ(s.ret, 1);
    EXPECT_EQ(s.stop(), lm::kIterationLimit);
    for (int i : {0, 1, 2, 3, 4, 5, 7, 8, 9}) EXPECT_TRUE(same_bits(s.info[i], r.info[i])) << i;
}

// Reason 5: every trial reports the current error plus one, so no step is
// accepted; mu is multiplied by nu = 2, 4, ..., 2^30 and the next doubling
// would overflow 32 bits: 30 linear solves, each followed by a model run, and
// mu ends at mu0 * 2^(1 + 2 + ... + 30) = 2^465 mu0.
TEST(SolverStopReasons, NoReductionWhenNoTrialIsBetter) {
    Fit fit = decay_fit();
    TracedProblem<3> problem(fit);
    problem.tail = 'r';
    const Result<3> r = solve<3>(problem, {0.0, 0.0, 0.0});
    EXPECT_EQ(r.ret, 1);
    EXPECT_EQ(r.stop(), lm::kNoReduction);
    EXPECT_EQ(r.k(), 1);
    expect_counters(r.info, 31, 1, 30);
    EXPECT_DOUBLE_EQ(r.info[lm::kInfoRelativeMu], 1e-3 * std::ldexp(1.0, 465));
    EXPECT_EQ(r.info[lm::kInfoFinalError], r.info[lm::kInfoInitialError]);
    expect_only_accepted_steps(problem, r);
    EXPECT_EQ(problem.accepts, 1);
    // The last solve ran with mu0 * 2^435.
    const Eigen::MatrixXd J = fit.jacobian(r.p.data(), 3);
    const Eigen::MatrixXd A = J.transpose() * J;
    const Eigen::VectorXd g = gradient(fit, r.p.data(), 3);
    const double mu = 1e-3 * A.diagonal().maxCoeff() * std::ldexp(1.0, 435);
    const Eigen::VectorXd dp = (A + mu * Eigen::MatrixXd::Identity(3, 3)).ldlt().solve(g);
    EXPECT_NEAR(r.info[lm::kInfoStepSq], dp.squaredNorm(), 1e-12 * dp.squaredNorm());

    TracedProblem<3> limited(fit);
    limited.tail = 'r';
    const Result<3> s = solve<3>(limited, {0.0, 0.0, 0.0}, 1);
    EXPECT_EQ(s.ret, 1);
    EXPECT_EQ(s.stop(), lm::kIterationLimit);
}

// Reason 5 after an accepted step: trials 1 and 2 are rejected (nu reaches
// 8), trial 3 is accepted and resets nu to 2, then every trial is rejected:
// 3 + 30 linear solves over two iterations. eps2 = 0 keeps the ever shorter
// steps from stopping on reason 2 first.
TEST(SolverStopReasons, NoReductionAfterAcceptanceResetsNu) {
    Fit fit = decay_fit();
    TracedProblem<3> problem(fit);
    problem.script = "rr.";
    problem.tail = 'r';
    const double opts[4] = {1e-3, 1e-17, 0.0, 1e-17};
    const Result<3> r = solve<3>(problem, {2.0, 0.3, 0.0}, kItmax, opts);
    EXPECT_EQ(r.ret, 2);
    EXPECT_EQ(r.stop(), lm::kNoReduction);
    expect_counters(r.info, 34, 2, 33);
    EXPECT_EQ(problem.accepts, 2);
    EXPECT_LT(r.info[lm::kInfoFinalError], r.info[lm::kInfoInitialError]);
    expect_only_accepted_steps(problem, r);
}

// Reason 5 with no solvable system: two parameters entering as their sum,
// (p0 + p1) t with t = (1, 1, -1, -1), make A = [[4, 4], [4, 4]] exactly
// singular, and tau = 0 keeps mu = 0 however often it is multiplied: every
// factorisation breaks down, so there are 30 solves, no model run and no step.
TEST(SolverStopReasons, NoReductionWhenNothingSolves) {
    auto sum_line = [](double *p, double *hx, int, int n, void *a) {
        curve(a).model_calls++;
        for (int i = 0; i < n; i++) hx[i] = (p[0] + p[1]) * curve(a).t[i];
    };
    auto sum_line_jac = [](double *p, double *j, int m, int n, void *a) {
        note_jacobian(p, m, a);
        for (int i = 0; i < n; i++) j[2L * i] = j[2L * i + 1] = curve(a).t[i];
    };
    Fit fit{sum_line, sum_line_jac, Curve{{1.0, 1.0, -1.0, -1.0}}, {1.0, 2.0, -1.0, 0.0}};
    const double opts[4] = {0.0, 1e-17, 1e-17, 1e-17};
    const Result<2> r = der<2>(fit, {0.5, 0.25}, kItmax, opts);
    EXPECT_EQ(r.ret, 1);
    EXPECT_EQ(r.stop(), lm::kNoReduction);
    expect_counters(r.info, 1, 1, 30);
    expect_counts_match(fit, r);
    EXPECT_EQ(r.info[lm::kInfoStepSq], DBL_MAX);  // no step was ever computed
    EXPECT_EQ(r.info[lm::kInfoRelativeMu], 0.0);
    EXPECT_EQ(r.p[0], 0.5);
    EXPECT_EQ(r.p[1], 0.25);
}

// Reason 6 at once: the measurements are the model at the start (E0 = 0), or
// differ from it by 1e-9 in one place (E0 = 1e-18 <= eps3 although the root
// 1e-9 is not). No Jacobian is evaluated, so the covariance is NaN. With a
// difference of 1e-8 (E0 = 1e-16 > eps3) the solver does iterate.
TEST(SolverStopReasons, SmallErrorAtStart) {
    const Point<3> start = {4.0, 0.5, 2.0};
    for (const double delta : {0.0, 1e-9, 1e-8}) {
        SCOPED_TRACE(delta);
        Fit fit = decay_fit();
        fit.x = fit.model(start.data(), 3);
        fit.x[5] += delta;
        const Result<3> r = der<3>(fit, start);
        if (delta == 1e-8) {
            EXPECT_NE(r.stop(), lm::kSmallError);
            EXPECT_GT(r.info[lm::kInfoJacobianEvals], 0.0);
            continue;
        }
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.stop(), lm::kSmallError);
        EXPECT_EQ(r.k(), 0);
        EXPECT_DOUBLE_EQ(r.info[lm::kInfoInitialError], sum_squares(fit, start.data(), 3));
        EXPECT_EQ(r.info[lm::kInfoFinalError], r.info[lm::kInfoInitialError]);
        EXPECT_EQ(r.info[lm::kInfoStepSq], DBL_MAX);
        expect_counters(r.info, 1, 0, 0);
        expect_counts_match(fit, r);
        EXPECT_TRUE(same_bits(r.p, start));
        expect_all_nan<3>(r.covar);
    }
}

// Reason 6 after iterations: the noise-free decay with eps3 = 1e-6 stops at
// the first point with E <= 1e-6, before evaluating its Jacobian: njev = k and
// the covariance comes from the Jacobian at the previous point, scaled by the
// final E. With itmax = k, the limit is reached first and 3 is reported.
TEST(SolverStopReasons, SmallErrorAfterIterations) {
    Fit fit = decay_fit();
    const double opts[4] = {1e-3, 1e-17, 1e-17, 1e-6};
    TracedProblem<3> problem(fit);
    const Result<3> r = solve<3>(problem, {2.0, 0.3, 0.0}, kItmax, opts);
    ASSERT_EQ(r.stop(), lm::kSmallError);
    EXPECT_EQ(r.ret, r.k());
    EXPECT_LE(r.info[lm::kInfoFinalError], 1e-6);
    EXPECT_EQ(r.info[lm::kInfoJacobianEvals], r.k());
    EXPECT_EQ(r.info[lm::kInfoFunctionEvals], r.info[lm::kInfoLinearSolves] + 1);
    expect_only_accepted_steps(problem, r);
    const auto &at = problem.jacobian_points.back();
    EXPECT_FALSE(same_bits(at, r.p));
    double E_before = INFINITY;  // the error where the last Jacobian was taken
    for (const auto &t : problem.trials)
        if (same_bits(t.p, at)) E_before = t.E;
    EXPECT_GT(E_before, 1e-6);
    const Eigen::MatrixXd J = fit.jacobian(at.data(), 3);
    expect_covariance(r, pinv_covariance(J.transpose() * J, r.info[lm::kInfoFinalError], fit.n()), 1e-10);

    TracedProblem<3> limited(fit);
    const Result<3> s = solve<3>(limited, {2.0, 0.3, 0.0}, r.k(), opts);
    EXPECT_EQ(s.stop(), lm::kIterationLimit);
    EXPECT_EQ(s.ret, r.k());
    EXPECT_TRUE(same_bits(s.p, r.p));
}

// Reason 7 at the start: a NaN measurement, or one so large that E overflows
// to infinity. No iteration runs, the result is -1 and nothing is moved.
TEST(SolverStopReasons, InvalidValuesAtStart) {
    for (const double bad : {double(NAN), 1e200}) {
        SCOPED_TRACE(bad);
        Fit fit = decay_fit();
        fit.x[3] = bad;
        const Point<3> start = {2.0, 0.3, 0.0};
        const Result<3> r = der<3>(fit, start);
        EXPECT_EQ(r.ret, -1);
        EXPECT_EQ(r.stop(), lm::kInvalidValues);
        EXPECT_EQ(r.k(), 0);
        EXPECT_FALSE(std::isfinite(r.info[lm::kInfoInitialError]));
        EXPECT_EQ(std::isnan(r.info[lm::kInfoInitialError]), std::isnan(bad));
        EXPECT_EQ(r.info[lm::kInfoStepSq], DBL_MAX);
        expect_counters(r.info, 1, 0, 0);
        EXPECT_TRUE(same_bits(r.p, start));
        expect_all_nan<3>(r.covar);
    }
}

// Reason 7 in an iteration: the third trial point reports NaN. p stays at the
// last accepted point, the NaN evaluation is counted, the iteration too, and
// the result is -1; with itmax = that iteration count, 3 and k are reported.
TEST(SolverStopReasons, InvalidValuesInAnIterationAndItsOverrideByItmax) {
    Fit fit = decay_fit();
    TracedProblem<3> problem(fit);
    problem.script = "..n";
    const Result<3> r = solve<3>(problem, {2.0, 0.3, 0.0});
    EXPECT_EQ(r.ret, -1);
    EXPECT_EQ(r.stop(), lm::kInvalidValues);
    EXPECT_EQ(r.k(), problem.accepts);  // the accepted steps plus the one that failed
    EXPECT_EQ(r.info[lm::kInfoFunctionEvals], 4);
    EXPECT_EQ(r.info[lm::kInfoLinearSolves], 3);
    EXPECT_EQ(r.info[lm::kInfoJacobianEvals], r.k());
    EXPECT_TRUE(std::isfinite(r.info[lm::kInfoFinalError]));
    expect_only_accepted_steps(problem, r);
    for (double c : r.covar) EXPECT_TRUE(std::isfinite(c));

    TracedProblem<3> limited(fit);
    limited.script = "..n";
    const Result<3> s = solve<3>(limited, {2.0, 0.3, 0.0}, r.k());
    EXPECT_EQ(s.ret, r.k());
    EXPECT_EQ(s.stop(), lm::kIterationLimit);
    EXPECT_TRUE(same_bits(s.p, r.p));
}

// ---- Linear algebra ----------------------------------------------------------

namespace {

// A random symmetric positive definite 7 x 7 matrix with condition number
// about `cond`: Q diag(...) Q^T with Q orthogonal.
lm::Matrix<7> random_spd(std::mt19937_64 &rng, double cond) {
    std::normal_distribution<double> N(0.0, 1.0);
    Eigen::Matrix<double, 7, 7> G;
    for (int i = 0; i < 49; i++) G.data()[i] = N(rng);
    const Eigen::Matrix<double, 7, 7> Q = Eigen::HouseholderQR<Eigen::Matrix<double, 7, 7>>(G).householderQ();
    Eigen::Matrix<double, 7, 1> d;
    for (int i = 0; i < 7; i++) d[i] = std::pow(cond, -i / 6.0) * (1.0 + 0.1 * i);
    const lm::Matrix<7> A = Q * d.asDiagonal() * Q.transpose();
    return (A + A.transpose()) / 2;
}

}  // namespace

// Ldlt solves (A + mu I) x = b to the accuracy the conditioning allows, and
// its inverse is the inverse; only the lower triangle of A is read.
TEST(SolverLdlt, SolvesAndInvertsPositiveDefiniteSystems) {
    std::mt19937_64 rng(21);
    std::normal_distribution<double> N(0.0, 1.0);
    for (int trial = 0; trial < 200; trial++) {
        const double cond = std::pow(10.0, trial % 9);
        lm::Matrix<7> A = random_spd(rng, cond);
        const double mu = trial % 3 == 0 ? 0.0 : 1e-3 * A.diagonal().maxCoeff();
        lm::Vector<7> b;
        for (int i = 0; i < 7; i++) b[i] = N(rng);
        const lm::Matrix<7> S = A + mu * lm::Matrix<7>::Identity();
        lm::Matrix<7> garbage_above = A;
        garbage_above.triangularView<Eigen::StrictlyUpper>().setConstant(NAN);
        lm::Ldlt<7> f;
        ASSERT_TRUE(f.compute(garbage_above, mu)) << trial;
        lm::Vector<7> x;
        f.solve(b, x);
        const lm::Vector<7> want = S.ldlt().solve(b);
        EXPECT_LE((x - want).norm(), 1e-14 * cond * want.norm()) << trial;
        lm::Matrix<7> inv;
        f.inverse(inv);
        EXPECT_LE((S * inv - lm::Matrix<7>::Identity()).cwiseAbs().maxCoeff(), 1e-14 * cond) << trial;
    }
}

// compute() refuses what is not numerically positive definite: an
// indefinite matrix, a singular one without damping, NaN; damping makes a
// singular matrix solvable.
TEST(SolverLdlt, RefusesWhatIsNotPositiveDefinite) {
    lm::Ldlt<2> f;
    lm::Matrix<2> singular, indefinite, with_nan;
    singular << 4.0, 4.0, 4.0, 4.0;
    indefinite << 1.0, 2.0, 2.0, 1.0;
    with_nan << 1.0, 0.0, NAN, 1.0;
    EXPECT_FALSE(f.compute(singular, 0.0));
    EXPECT_FALSE(f.compute(indefinite, 0.0));
    EXPECT_FALSE(f.compute(with_nan, 0.0));
    EXPECT_FALSE(f.compute(lm::Matrix<2>::Identity(), NAN));
    ASSERT_TRUE(f.compute(singular, 1.0));
    lm::Vector<2> x;
    f.solve(lm::Vector<2>(9.0, 9.0), x);  // [[5, 4], [4, 5]] x = (9, 9)
    EXPECT_DOUBLE_EQ(x[0], 1.0);
    EXPECT_DOUBLE_EQ(x[1], 1.0);
}

// ---- Damping ---------------------------------------------------------------

// One iteration recomputed here: mu0 = tau max(A_ii), the step from
// (A + mu0 I) dp = g, and after acceptance mu = mu0 max(1 - t^3, 1/3) with
// t = 2 dF / dL - 1. Rosenbrock's first step is a poor model of the valley
// (t < 0.87, mu shrinks by 1 - t^3); a line's is exact (t = 1, the 1/3 floor).
template <int M>
void check_first_step(Fit fit, Point<M> start, bool floored) {
    const Eigen::MatrixXd J = fit.jacobian(start.data(), M);
    const Eigen::MatrixXd A = J.transpose() * J;
    const Eigen::VectorXd g = gradient(fit, start.data(), M);
    const double mu0 = 1e-3 * A.diagonal().maxCoeff();
    const Eigen::VectorXd dp = (A + mu0 * Eigen::MatrixXd::Identity(M, M)).colPivHouseholderQr().solve(g);
    Point<M> next = start;
    for (int i = 0; i < M; i++) next[i] += dp[i];
    const double dF = sum_squares(fit, start.data(), M) - sum_squares(fit, next.data(), M);
    const double dL = dp.dot(mu0 * dp + g);
    const double t = 2.0 * dF / dL - 1.0;
    const Result<M> r = der<M>(fit, start, 1);
    ASSERT_EQ(r.info[lm::kInfoLinearSolves], 1) << "the first trial was not accepted";
    for (int i = 0; i < M; i++) EXPECT_NEAR(r.p[i], next[i], 1e-12 * std::fabs(next[i]) + 1e-15) << i;
    EXPECT_NEAR(r.info[lm::kInfoStepSq], dp.squaredNorm(), 1e-12 * dp.squaredNorm());
    EXPECT_NEAR(r.info[lm::kInfoRelativeMu], 1e-3 * std::fmax(1.0 - t * t * t, 0.3333333334), 1e-12);
    EXPECT_NEAR(r.info[lm::kInfoFinalError], sum_squares(fit, next.data(), M),
                1e-12 * r.info[lm::kInfoFinalError]);
    EXPECT_EQ(1.0 - t * t * t < 0.3333333334, floored) << "t = " << t;
}

TEST(SolverDamping, FirstStepByHand) {
    {
        SCOPED_TRACE("Rosenbrock");
        check_first_step<2>(rosenbrock_fit(), {-1.2, 1.0}, false);
    }
    {
        SCOPED_TRACE("line");
        check_first_step<2>(Fit{line, line_jac, Curve{{0.0, 1.0, 2.0, 3.0}}, {1.0, 2.5, 2.9, 4.2}},
                            {0.0, 0.0}, true);
    }
}

// ---- Refusals and options --------------------------------------------------

// Fewer measurements than parameters, or no Jacobian: -1 at once, the model
// never runs and p, info and covar keep every bit.
TEST(SolverRefusals, WriteNothing) {
    Fit few = decay_fit(2);
    Fit fit = decay_fit();
    Point<3> p = {1.0, 2.0, 3.0};
    Report info;
    std::array<double, 9> covar;
    info.fill(-7.0);
    covar.fill(-9.0);
    const auto unchanged = [&] {
        for (double v : info) EXPECT_EQ(v, -7.0);
        for (double v : covar) EXPECT_EQ(v, -9.0);
        EXPECT_EQ(p, (Point<3>{1.0, 2.0, 3.0}));
    };
    EXPECT_EQ(lm::dlevmar_der<3>(few.f, few.jac, p.data(), few.x.data(), 2, kItmax, nullptr, info.data(),
                                 nullptr, covar.data(), few.adata()),
              -1);
    unchanged();
    TracedProblem<3> problem(few);
    EXPECT_EQ(lm::solve<3>(problem, p.data(), kItmax, lm::Options{}, info.data(), covar.data()), -1);
    unchanged();
    EXPECT_EQ(lm::dlevmar_der<3>(fit.f, nullptr, p.data(), fit.x.data(), fit.n(), kItmax, nullptr,
                                 info.data(), nullptr, covar.data(), fit.adata()),
              -1);
    unchanged();
    EXPECT_EQ(few.curve.model_calls + fit.curve.model_calls, 0);
    EXPECT_TRUE(problem.trials.empty());
}

// The typed summary is the report: solve() writes it into the 10 values and
// returns its result; a refused problem has none.
TEST(SolverReport, SummaryIsTheReport) {
    Fit a = decay_fit(), b = decay_fit(), few = decay_fit(2);
    TracedProblem<3> pa(a), pb(b), pf(few);
    Point<3> p = {2.0, 0.3, 0.0}, q = p;
    Report info, written;
    double covar[9], covar_b[9];
    const int ret = lm::solve<3>(pa, p.data(), kItmax, lm::Options{}, info.data(), covar);
    const std::optional<lm::Summary> s = lm::solve_summary<3>(pb, q.data(), kItmax, lm::Options{}, covar_b);
    ASSERT_TRUE(s.has_value());
    s->write(written.data());
    EXPECT_TRUE(same_bits(info, written));
    EXPECT_EQ(s->result(), ret);
    EXPECT_EQ(s->stop, static_cast<int>(info[lm::kInfoStopReason]));
    EXPECT_EQ(s->iterations, ret);
    EXPECT_TRUE(same_bits(p, q));
    EXPECT_TRUE(same_bits(covar, covar_b, 9));
    EXPECT_FALSE(lm::solve_summary<3>(pf, q.data(), kItmax, lm::Options{}, covar_b).has_value());
}

// Null opts are {1e-3, 1e-17, 1e-17, 1e-17}: the same bits as passing those,
// and different from passing another tau.
TEST(SolverOptions, NullMeansDefaults) {
    const double defaults[4] = {1e-3, 1e-17, 1e-17, 1e-17};
    const double other_tau[4] = {1e-1, 1e-17, 1e-17, 1e-17};
    Fit a = gauss_fit(), b = gauss_fit(), c = gauss_fit();
    const Result<4> null_opts = der<4>(a, {2.0, 0.0, 1.0, 0.0}, 40, nullptr);
    const Result<4> given = der<4>(b, {2.0, 0.0, 1.0, 0.0}, 40, defaults);
    const Result<4> other = der<4>(c, {2.0, 0.0, 1.0, 0.0}, 40, other_tau);
    EXPECT_TRUE(same_result(null_opts, given));
    EXPECT_FALSE(same_bits(null_opts.info, other.info));
}

// ---- Covariance ------------------------------------------------------------

// Full rank: the fitted Gaussian's covariance against a pseudo-inverse from
// an SVD of J^T J at the last Jacobian, through both entry points.
TEST(SolverCovariance, MatchesPseudoInverseAtLastJacobian) {
    Fit fit = gauss_fit();
    const Result<4> r = der<4>(fit, {2.0, 0.0, 1.0, 0.0});
    ASSERT_GE(r.ret, 0);
    const Eigen::MatrixXd J = fit.jacobian(fit.curve.last_jacobian_at.data(), 4);
    int rank = 0;
    const Eigen::MatrixXd C = pinv_covariance(J.transpose() * J, r.info[lm::kInfoFinalError], fit.n(), &rank);
    EXPECT_EQ(rank, 4);
    expect_covariance(r, C, 1e-9);
    Fit again = gauss_fit();
    TracedProblem<4> problem(again);
    expect_covariance(solve<4>(problem, {2.0, 0.0, 1.0, 0.0}), C, 1e-7);
}

// Rank 2 of 3: the rate enters as p0 + p1. The pseudo-inverse is computed
// here on the range of J^T J, spanned by u = (1, 1, 0) / sqrt 2 and
// w = (0, 0, 1), and the denominator is n - 2.
TEST(SolverCovariance, RankDeficientUsesRangeAndNMinusRank) {
    Fit fit = twin_rate_fit();
    const Result<3> r = der<3>(fit, {0.1, 0.1, 0.0});
    ASSERT_GE(r.ret, 0);
    EXPECT_NEAR(r.p[0] + r.p[1], 0.7, 0.05);
    const Eigen::MatrixXd J = fit.jacobian(fit.curve.last_jacobian_at.data(), 3);
    Eigen::MatrixXd B(3, 2);
    B << M_SQRT1_2, 0.0, M_SQRT1_2, 0.0, 0.0, 1.0;
    const Eigen::MatrixXd JB = J * B;
    const Eigen::MatrixXd C =
        B * (JB.transpose() * JB).inverse() * B.transpose() * (r.info[lm::kInfoFinalError] / (fit.n() - 2));
    expect_covariance(r, C, 1e-9);
}

// Rank 0: p0 p1 t at p = 0 has a zero Jacobian, so g = 0 (stop 1) and the
// covariance is all zeros rather than NaN or infinite.
TEST(SolverCovariance, RankZeroGivesZeros) {
    Fit fit{product, product_jac, Curve{{1.0, 2.0, 3.0}}, {1.0, 2.0, 4.0}};
    const Result<2> r = der<2>(fit, {0.0, 0.0});
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.stop(), lm::kSmallGradient);
    EXPECT_EQ(r.info[lm::kInfoFinalError], 21.0);
    for (double c : r.covar) EXPECT_TRUE(same_bits(c, 0.0));
}

// ---- Reentrancy (threads: test_threads.cpp) ---------------------------------------

// Solving touches no heap: through the adapter with its own memory and with
// caller memory for n = 300, and through a Problem type.
TEST(SolverReentrancy, SolvesWithoutHeapAllocation) {
    Fit gaussian = gauss_fit(), large = decay_fit(300), small = decay_fit();
    std::vector<double> work(lm::work_size(3, large.n()));
    TracedProblem<3> problem(small);
    Point<4> p4 = {2.0, 0.0, 1.0, 0.0};
    Point<3> p3 = {2.0, 0.3, 0.0}, q3 = p3;
    Report info[3];
    double covar[3][16];

    const long before = heap_calls();
    const int r0 = lm::dlevmar_der<4>(gaussian.f, gaussian.jac, p4.data(), gaussian.x.data(), gaussian.n(),
                                      kItmax, nullptr, info[0].data(), nullptr, covar[0], gaussian.adata());
    const int r1 = lm::dlevmar_der<3>(large.f, large.jac, p3.data(), large.x.data(), large.n(), kItmax,
                                      nullptr, info[1].data(), work.data(), covar[1], large.adata());
    const int r2 = lm::solve<3>(problem, q3.data(), kItmax, lm::Options{}, info[2].data(), covar[2]);
    const long during = heap_calls() - before;
    EXPECT_EQ(during, 0);
    EXPECT_GT(r0, 0);
    EXPECT_GT(r1, 0);
    EXPECT_GT(r2, 0);
    EXPECT_NEAR(p3[1], 0.7, 1e-8);

    // The accounting itself works.
    void *(*volatile op_new)(std::size_t) = &::operator new;
    void *(*volatile c_malloc)(std::size_t) = &std::malloc;
    const long mark = heap_calls();
    ::operator delete(op_new(16));
    EXPECT_GT(heap_calls(), mark);
    const long mark2 = heap_calls();
    std::free(c_malloc(16));
    EXPECT_EQ(heap_calls() > mark2, kMallocCounted);
}

// Without caller memory the adapter serves small problems from its stack and
// refuses larger ones rather than touching the heap.
namespace {
void line_model(double *p, double *hx, int, int n, void *) {
    for (int i = 0; i < n; i++) hx[i] = p[0] + p[1] * i;
}
void line_jacobian(double *, double *j, int, int n, void *) {
    for (int i = 0; i < n; i++) j[2L * i] = 1.0, j[2L * i + 1] = i;
}
}  // namespace

// The adapter's stack buffer for callers without working memory stays out
// of the way of callers with it: they run in less stack than the buffer
// alone takes.
TEST(SolverReentrancy, CallerMemoryKeepsTheStackBufferAway) {
    const long buffer = lm::work_size(4, lm::kStackMeasurements) * static_cast<long>(sizeof(double));
    const Fit start = gauss_fit();
    std::vector<double> work(lm::work_size(4, start.n()));
    const auto fit_with = [&](double *memory) {
        return [&start, memory] {
            Fit fit = start;
            Point<4> p = {2.0, 0.0, 1.0, 0.0};
            Report info;
            return lm::dlevmar_der<4>(fit.f, fit.jac, p.data(), fit.x.data(), fit.n(), kItmax, nullptr,
                                      info.data(), memory, nullptr, fit.adata()) > 0;
        };
    };
    const StackRun with_memory = run_on_small_stack(256L * 1024, fit_with(work.data()));
    const StackRun without = run_on_small_stack(256L * 1024, fit_with(nullptr));
    ASSERT_TRUE(with_memory.completed);
    ASSERT_TRUE(without.completed);
    EXPECT_GE(without.used - with_memory.used, buffer);
    if (kOptimisedFrames) {
        EXPECT_LT(with_memory.used, buffer);
    }
}

TEST(SolverRefusals, NullWorkServesSmallProblemsOnly) {
    std::vector<double> x(lm::kStackMeasurements + 1);
    for (size_t i = 0; i < x.size(); i++) x[i] = 3.0 + 0.5 * i + (i % 2 ? 0.01 : -0.01);
    double p[2] = {0, 0}, info[10], covar[4];
    EXPECT_GT(lm::dlevmar_der<2>(line_model, line_jacobian, p, x.data(), lm::kStackMeasurements, 100, nullptr,
                                 info, nullptr, covar, nullptr),
              0);
    EXPECT_NEAR(p[1], 0.5, 1e-3);
    double q[2] = {7, 7}, untouched[10] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    EXPECT_EQ(lm::dlevmar_der<2>(line_model, line_jacobian, q, x.data(), lm::kStackMeasurements + 1, 100,
                                 nullptr, untouched, nullptr, covar, nullptr),
              -1);
    EXPECT_EQ(q[0], 7.0);
    EXPECT_EQ(untouched[0], -1.0);
    std::vector<double> work(lm::work_size(2, lm::kStackMeasurements + 1));
    EXPECT_GT(lm::dlevmar_der<2>(line_model, line_jacobian, q, x.data(), lm::kStackMeasurements + 1, 100,
                                 nullptr, info, work.data(), covar, nullptr),
              0);
}

// Ldlt's short-latency order of the back substitution (the vector paths'
// covariance and scoring) solves and inverts as the portable order does, to
// the rounding of a well-conditioned system, and refuses the same matrices.
TEST(Ldlt, ShortChainOrderSolvesAsThePortableOrder) {
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int trial = 0; trial < 500; trial++) {
        lm::Matrix<7> B;
        for (int i = 0; i < 7; i++)
            for (int j = 0; j < 7; j++) B(i, j) = normal(rng);
        const lm::Matrix<7> A = B * B.transpose() + lm::Matrix<7>::Identity() * (trial % 2 ? 1.0 : 1e-3);
        lm::Vector<7> b;
        for (int i = 0; i < 7; i++) b[i] = normal(rng);
        lm::Ldlt<7> portable;
        lm::Ldlt<7, true> short_chains;
        ASSERT_TRUE(portable.compute(A, 0.5));
        ASSERT_TRUE(short_chains.compute(A, 0.5));
        lm::Vector<7> x, y;
        portable.solve(b, x);
        short_chains.solve(b, y);
        EXPECT_LT((x - y).norm(), 1e-10 * x.norm()) << trial;
        lm::Matrix<7> inv, inv_short;
        portable.inverse(inv);
        short_chains.inverse(inv_short);
        EXPECT_LT((inv - inv_short).norm(), 1e-10 * inv.norm()) << trial;
        EXPECT_LT(((A + 0.5 * lm::Matrix<7>::Identity()) * inv_short - lm::Matrix<7>::Identity()).norm(),
                  1e-9);
        EXPECT_EQ(portable.compute(-A, 0.0), short_chains.compute(-A, 0.0));
    }
}
