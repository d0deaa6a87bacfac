// Maximum likelihood by damped Fisher scoring: the Levenberg-Marquardt
// iteration of lm.h with the Fisher information in place of J^T J and the
// score in place of J^T e, on an objective F(p) = -log L(p) + const.
//
// Each iteration solves (I + mu D) dp = s, with I the Fisher information and
// s the score at the current point, D the diagonal of I (Marquardt's
// scaling, so that the damping does not depend on the parameters' units),
// and accepts the step if it lowers F. The damping follows the gain ratio of
// the actual to the predicted decrease: lm.h's Damping. On a Poisson likelihood this is the scheme of
// Laurence and Chromy (Nature Methods 7, 338, 2010) with the expected
// curvature (the Fisher information, positive definite whatever the data) in
// place of the observed one.
//
// Domain: a trial point outside the likelihood's domain has F = +inf; its
// step is rejected like one that raises F (more damping), never taken.
//
// Stopping rule: lambda^2 = s^T I^-1 s, the squared length of the full
// scoring step I^-1 s in the metric of I. It is twice the gain in log L that
// the step predicts, and by Cauchy-Schwarz it bounds every parameter's step:
// |dp_k| <= lambda sqrt((I^-1)_kk), lambda standard errors. The fit stops
// when lambda^2 <= eps2: the likelihood would change by less than eps2 / 2
// and no parameter by more than sqrt(eps2) of its standard error.
//
// Like lm.h, a template over the parameter count and the problem type; it
// allocates nothing and keeps no state.
#pragma once

#include <cfloat>
#include <cmath>
#include <concepts>

#include "lm/lm.h"

namespace lm {

// A likelihood problem for score_fit<M>:
//   size()                 n, the number of measurements;
//   trial(p)               F(p) = -log L(p) + const at p as the trial point;
//                          +inf outside the domain, NaN for invalid data;
//   accept()               the last trial point becomes the current point;
//   information(p, I, s)   at the current point p: the Fisher information
//                          I and the score s = -grad F.
template <class P, int M>
concept LikelihoodProblem = requires(P &problem, const P &const_problem, const double *p, Matrix<M> &I,
                                     Vector<M> &s) {
    { const_problem.size() } -> std::convertible_to<int>;
    { problem.trial(p) } -> std::convertible_to<double>;
    problem.accept();
    problem.information(p, I, s);
};

struct ScoringOptions {
    double tau = 1e-3;   // initial damping, relative to the diagonal of I
    double eps2 = 1e-6;  // the bound on lambda^2 = s^T I^-1 s
};

enum ScoringStop {
    kScoringRunning = 0,
    kConverged = 1,        // lambda^2 <= eps2
    kScoringLimit = 3,     // itmax iterations done
    kScoringSingular = 4,  // the information is not positive definite at the end
    kNoDescent = 5,        // damping grew until nu would overflow: no step lowers F
    kInvalid = 7,          // F not finite at the start, or NaN at a trial
};

struct ScoringSummary {
    double initial = 0.0;  // F at the start
    double final = 0.0;    // F at the final point
    double lambda2 = 0.0;  // s^T I^-1 s at the final point (+inf if I is singular)
    int iterations = 0;    // steps tried: accepted, or ending the run
    int evaluations = 0;   // trial() calls
    ScoringStop stop = kScoringRunning;

    // Whether the final point is an estimate: the run converged, or ran out
    // of iterations or of descent there with a positive definite information.
    bool estimate() const { return stop == kConverged || stop == kScoringLimit || stop == kNoDescent; }
};

namespace detail {

// s^T I^-1 s, or +inf when I is not positive definite.
template <int M, class Fma>
LM_INLINE double scoring_decrement(const Matrix<M> &I, const Vector<M> &s) {
    Ldlt<M, true, Fma> factors;
    if (!factors.compute(I, 0.0)) return INFINITY;
    Vector<M> full;
    factors.solve(s, full);
    const double lambda2 = dot<M, Fma>(s, full);
    return std::isfinite(lambda2) ? lambda2 : INFINITY;
}

}  // namespace detail

// Runs damped Fisher scoring from p_io (M values, overwritten by the
// estimate) for at most itmax iterations. `info` receives the Fisher
// information at the final point when the run got that far (the start is
// evaluated; stop kInvalid before any iteration leaves it untouched).
// Fewer measurements than parameters: stop kInvalid, nothing evaluated.
template <int M, LikelihoodProblem<M> P>
LM_INLINE ScoringSummary score_fit(P &problem, double *p_io, int itmax, const ScoringOptions &opt,
                                   Matrix<M> &info) {
    using Fma = FmaOf<P>;
    ScoringSummary sum;
    if (problem.size() < M) {
        sum.stop = kInvalid;
        return sum;
    }
    Vector<M> p = Eigen::Map<const Vector<M>>(p_io);
    double F = problem.trial(p.data());
    problem.accept();
    sum.initial = F;
    sum.evaluations = 1;
    if (!std::isfinite(F)) {
        sum.stop = kInvalid;
        sum.final = F;
        return sum;
    }
    Vector<M> s;
    Damping damping{opt.tau};
    int k = 0;
    for (;;) {
        problem.information(p.data(), info, s);
        sum.lambda2 = detail::scoring_decrement<M, Fma>(info, s);
        if (sum.lambda2 <= opt.eps2) {
            sum.stop = kConverged;
            break;
        }
        if (k >= itmax) {
            sum.stop = kScoringLimit;
            break;
        }
        // The damping's scale per parameter: the diagonal of I, or for a
        // parameter with no information a small share of the largest.
        Vector<M> D = info.diagonal();
        const double floor = DBL_EPSILON * detail::max_diagonal<M>(info);
        for (int i = 0; i < M; i++)
            if (!(D[i] > 0.0)) D[i] = floor > 0.0 ? floor : 1.0;
        k++;
        bool accepted = false;
        while (!accepted) {
            Matrix<M> A = info;
            for (int i = 0; i < M; i++) A(i, i) = Fma::fmadd(damping.mu, D[i], A(i, i));
            Ldlt<M, true, Fma> factors;
            Vector<M> dp;
            bool rejected = !factors.compute(A, 0.0);
            double F_new = INFINITY;
            if (!rejected) {
                factors.solve(s, dp);
                rejected = !dp.allFinite();
            }
            if (!rejected) {
                const Vector<M> p_new = p + dp;
                F_new = problem.trial(p_new.data());
                sum.evaluations++;
                if (std::isnan(F_new)) {
                    sum.stop = kInvalid;
                    break;
                }
                // Predicted decrease of the quadratic model:
                // dp^T s - dp^T I dp / 2 = (dp^T s + mu dp^T D dp) / 2.
                Vector<M> D_dp;
                for (int i = 0; i < M; i++) D_dp[i] = D[i] * dp[i];
                const double dL = 0.5 * Fma::fmadd(damping.mu, dot<M, Fma>(dp, D_dp), dot<M, Fma>(dp, s));
                const double dF = F - F_new;
                if (dL > 0.0 && dF > 0.0) {
                    damping.accept<Fma>(dF, dL);
                    p = p_new;
                    problem.accept();
                    F = F_new;
                    accepted = true;
                    continue;
                }
            }
            if (!damping.reject()) {
                sum.stop = kNoDescent;
                break;
            }
        }
        if (!accepted) break;  // stopped inside the step; the information at p is current
    }
    sum.iterations = k;
    sum.final = F;
    if (sum.estimate() && !std::isfinite(sum.lambda2)) sum.stop = kScoringSingular;
    for (int i = 0; i < M; i++) p_io[i] = p[i];
    return sum;
}

}  // namespace lm
