// Least-squares problems for the solver's tests: classic fits as levmar-style
// callbacks, and a Problem type for lm::solve that records every point the
// solver asks about and can be scripted to report NaN or a worse error.
#pragma once

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lm/eigen.h"
#include "lm/levmar.h"
#include "same_bits.h"

namespace lmtest {

// The callbacks' adata: abscissae, call counters and where the Jacobian was
// last evaluated.
struct Curve {
    std::vector<double> t;
    double scale = 1.0;  // multiplies the line model
    int model_calls = 0;
    int jacobian_calls = 0;
    std::array<double, 8> last_jacobian_at{};
};

inline Curve &curve(void *adata) { return *static_cast<Curve *>(adata); }

inline void note_jacobian(double *p, int m, void *adata) {
    Curve &c = curve(adata);
    c.jacobian_calls++;
    for (int k = 0; k < m; k++) c.last_jacobian_at[k] = p[k];
}

// Rosenbrock's valley as residuals: f = (10 (p1 - p0^2), p0) against x = (0, 1).
inline void rosenbrock(double *p, double *hx, int, int, void *a) {
    curve(a).model_calls++;
    hx[0] = 10.0 * (p[1] - p[0] * p[0]);
    hx[1] = p[0];
}
inline void rosenbrock_jac(double *p, double *j, int m, int, void *a) {
    note_jacobian(p, m, a);
    j[0] = -20.0 * p[0], j[1] = 10.0;
    j[2] = 1.0, j[3] = 0.0;
}

// Exponential decay p0 exp(-p1 t) + p2.
inline void decay(double *p, double *hx, int, int n, void *a) {
    Curve &c = curve(a);
    c.model_calls++;
    for (int i = 0; i < n; i++) hx[i] = p[0] * std::exp(-p[1] * c.t[i]) + p[2];
}
inline void decay_jac(double *p, double *j, int m, int n, void *a) {
    note_jacobian(p, m, a);
    const Curve &c = curve(a);
    for (int i = 0; i < n; i++) {
        const double e = std::exp(-p[1] * c.t[i]);
        j[3L * i] = e, j[3L * i + 1] = -p[0] * c.t[i] * e, j[3L * i + 2] = 1.0;
    }
}

// Gaussian curve p0 exp(-u^2 / 2) + p3, u = (t - p1) / p2.
inline void gauss(double *p, double *hx, int, int n, void *a) {
    Curve &c = curve(a);
    c.model_calls++;
    for (int i = 0; i < n; i++) {
        const double u = (c.t[i] - p[1]) / p[2];
        hx[i] = p[0] * std::exp(-0.5 * u * u) + p[3];
    }
}
inline void gauss_jac(double *p, double *j, int m, int n, void *a) {
    note_jacobian(p, m, a);
    const Curve &c = curve(a);
    for (int i = 0; i < n; i++) {
        const double u = (c.t[i] - p[1]) / p[2];
        const double G = std::exp(-0.5 * u * u);
        j[4L * i] = G, j[4L * i + 1] = p[0] * G * u / p[2];
        j[4 * i + 2] = p[0] * G * u * u / p[2], j[4 * i + 3] = 1.0;
    }
}

// A decay whose rate is p0 + p1: exp(-(p0 + p1) t) + p2. Columns 0 and 1 of
// the Jacobian are identical, so J^T J has rank 2 of 3.
inline void twin_rate(double *p, double *hx, int, int n, void *a) {
    Curve &c = curve(a);
    c.model_calls++;
    for (int i = 0; i < n; i++) hx[i] = std::exp(-(p[0] + p[1]) * c.t[i]) + p[2];
}
inline void twin_rate_jac(double *p, double *j, int m, int n, void *a) {
    note_jacobian(p, m, a);
    const Curve &c = curve(a);
    for (int i = 0; i < n; i++) {
        const double d = -c.t[i] * std::exp(-(p[0] + p[1]) * c.t[i]);
        j[3L * i] = d, j[3L * i + 1] = d, j[3L * i + 2] = 1.0;
    }
}

// A line scaled by Curve::scale: scale (p0 + p1 t).
inline void line(double *p, double *hx, int, int n, void *a) {
    Curve &c = curve(a);
    c.model_calls++;
    for (int i = 0; i < n; i++) hx[i] = c.scale * (p[0] + p[1] * c.t[i]);
}
inline void line_jac(double *p, double *j, int m, int n, void *a) {
    note_jacobian(p, m, a);
    const Curve &c = curve(a);
    for (int i = 0; i < n; i++) j[2L * i] = c.scale, j[2L * i + 1] = c.scale * c.t[i];
}

// p0 p1 t: at p = 0 the whole Jacobian is zero.
inline void product(double *p, double *hx, int, int n, void *a) {
    Curve &c = curve(a);
    c.model_calls++;
    for (int i = 0; i < n; i++) hx[i] = p[0] * p[1] * c.t[i];
}
inline void product_jac(double *p, double *j, int m, int n, void *a) {
    note_jacobian(p, m, a);
    const Curve &c = curve(a);
    for (int i = 0; i < n; i++) j[2L * i] = p[1] * c.t[i], j[2L * i + 1] = p[0] * c.t[i];
}

// A fit: callbacks, their adata and the measurements.
struct Fit {
    lm::ModelFn f;
    lm::JacobianFn jac;
    Curve curve;
    std::vector<double> x;
    int n() const { return static_cast<int>(x.size()); }
    void *adata() { return &curve; }

    // The model at p, evaluated on a copy so that no counter moves.
    std::vector<double> model(const double *p, int m) const {
        Curve c = curve;
        std::vector<double> q(p, p + m), hx(x.size());
        f(q.data(), hx.data(), m, n(), &c);
        return hx;
    }
    Eigen::MatrixXd jacobian(const double *p, int m) const {
        Curve c = curve;
        std::vector<double> q(p, p + m), j(x.size() * m);
        jac(q.data(), j.data(), m, n(), &c);
        return Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(j.data(),
                                                                                                  n(), m);
    }
};

inline std::vector<double> grid(int n, double t0, double dt) {
    std::vector<double> t(n);
    for (int i = 0; i < n; i++) t[i] = t0 + dt * i;
    return t;
}

inline Fit rosenbrock_fit() { return Fit{rosenbrock, rosenbrock_jac, Curve{{0.0, 0.0}}, {0.0, 1.0}}; }

// Noise-free decay from (5, 0.7, 1): the minimum is exactly there, E = 0.
inline Fit decay_fit(int n = 24) {
    Fit fit{decay, decay_jac, Curve{grid(n, 0.0, 0.25)}, std::vector<double>(n)};
    const double truth[3] = {5.0, 0.7, 1.0};
    fit.x = fit.model(truth, 3);
    return fit;
}

// The Gaussian (3, 0.4, 1.3, 0.5) plus noise orthogonal to the Jacobian's
// columns there: the gradient vanishes at those parameters, which are the
// minimum, with E = ||noise||^2 > 0.
inline const double kGaussTruth[4] = {3.0, 0.4, 1.3, 0.5};
inline Fit gauss_fit() {
    Fit fit{gauss, gauss_jac, Curve{grid(41, -5.0, 0.25)}, std::vector<double>(41)};
    fit.x = fit.model(kGaussTruth, 4);
    const Eigen::MatrixXd J = fit.jacobian(kGaussTruth, 4);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> U(-0.05, 0.05);
    Eigen::VectorXd r(fit.n());
    for (int i = 0; i < fit.n(); i++) r[i] = U(rng);
    const Eigen::MatrixXd Q =
        Eigen::HouseholderQR<Eigen::MatrixXd>(J).householderQ() * Eigen::MatrixXd::Identity(fit.n(), 4);
    const Eigen::VectorXd noise = r - Q * (Q.transpose() * r);
    for (int i = 0; i < fit.n(); i++) fit.x[i] += noise[i];
    return fit;
}

// Twin-rate decay at (0.3, 0.4, 0.5) with a small deterministic ripple.
inline Fit twin_rate_fit() {
    Fit fit{twin_rate, twin_rate_jac, Curve{grid(16, 0.0, 0.2)}, std::vector<double>(16)};
    const double truth[3] = {0.3, 0.4, 0.5};
    fit.x = fit.model(truth, 3);
    for (int i = 0; i < fit.n(); i++) fit.x[i] += 0.01 * std::sin(7.0 * i);
    return fit;
}

// A Problem over a Fit for lm::solve, recording every trial point with the
// error it reported, every point where the normal equations were asked for,
// and every acceptance. `script` (one character per trial after the start,
// `tail` beyond it) makes a trial report the truth ('.'), NaN ('n') or the
// current error plus one ('r', so it is never accepted).
template <int M>
class TracedProblem {
   public:
    using Point = std::array<double, M>;
    struct Trial {
        Point p;
        double E;
    };

    explicit TracedProblem(Fit &fit)
        : fit_(fit), trial_hx_(fit.x.size()), current_hx_(fit.x.size()), jac_(fit.x.size() * M) {
        trials.reserve(4096);
        jacobian_points.reserve(4096);
    }

    int size() const { return fit_.n(); }

    double trial(const double *p) {
        Point q;
        std::memcpy(q.data(), p, sizeof q);
        fit_.f(q.data(), trial_hx_.data(), M, size(), fit_.adata());
        double E = 0.0;
        for (int i = 0; i < size(); i++) E += (fit_.x[i] - trial_hx_[i]) * (fit_.x[i] - trial_hx_[i]);
        const std::size_t k = trials.size();
        const char what = k == 0 ? '.' : k - 1 < script.size() ? script[k - 1] : tail;
        if (what == 'n') E = NAN;
        if (what == 'r') E = current_E + 1.0;
        trials.push_back({q, E});
        return E;
    }

    void accept() {
        if (accepts > 0 && !(trials.back().E < current_E)) worse_accepts++;
        current = trials.back().p;
        current_E = trials.back().E;
        std::swap(trial_hx_, current_hx_);
        accepts++;
    }

    void normal_equations(const double *p, lm::Matrix<M> &A, lm::Vector<M> &g) {
        Point q;
        std::memcpy(q.data(), p, sizeof q);
        if (!same_bits(q, current)) off_current++;
        jacobian_points.push_back(q);
        fit_.jac(q.data(), jac_.data(), M, size(), fit_.adata());
        A.setZero();
        g.setZero();
        for (int i = 0; i < size(); i++) {
            const double e = fit_.x[i] - current_hx_[i];
            for (int r = 0; r < M; r++) {
                g[r] += jac_[i * M + r] * e;
                for (int c = 0; c < M; c++) A(r, c) += jac_[i * M + r] * jac_[i * M + c];
            }
        }
    }

    std::string script;
    char tail = '.';
    std::vector<Trial> trials;
    std::vector<Point> jacobian_points;
    Point current{};
    double current_E = NAN;
    int accepts = 0;        // including the start
    int worse_accepts = 0;  // acceptances that did not lower the error
    int off_current = 0;    // normal equations asked for away from the current point

   private:
    Fit &fit_;
    std::vector<double> trial_hx_, current_hx_, jac_;
};

template <int M>
using Point = std::array<double, M>;
using Report = std::array<double, 10>;

constexpr int kItmax = 1000;

// One solver run's outputs.
template <int M>
struct Result {
    int ret = 0;
    Point<M> p{};
    Report info{};
    std::array<double, std::size_t{M} * M> covar{};
    int stop() const { return static_cast<int>(info[lm::kInfoStopReason]); }
    int k() const { return static_cast<int>(info[lm::kInfoIterations]); }
};

// Through the levmar-style adapter, with the solver's own working memory.
template <int M>
Result<M> der(Fit &fit, Point<M> start, int itmax = kItmax, const double *opts = nullptr) {
    Result<M> r;
    r.p = start;
    r.ret = lm::dlevmar_der<M>(fit.f, fit.jac, r.p.data(), fit.x.data(), fit.n(), itmax, opts, r.info.data(),
                               nullptr, r.covar.data(), fit.adata());
    return r;
}

// Every field to the last bit.
template <int M>
bool same_result(const Result<M> &a, const Result<M> &b) {
    return a.ret == b.ret && same_bits(a.p, b.p) && same_bits(a.info, b.info) && same_bits(a.covar, b.covar);
}

}  // namespace lmtest
