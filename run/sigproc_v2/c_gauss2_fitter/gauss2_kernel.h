// The Gaussian patch fit's inner loops: one pass over the pixels evaluates
// the model and the error, another forms J^T J and J^T e directly, without
// storing the n x 7 Jacobian. The exponentials of an accepted trial point are
// kept and reused by the next Jacobian, which is evaluated at that point.
//
// Internal to the library; nothing here is exported.
#pragma once

// Eigen first: the common header's function-like `trace` macro must not meet
// Eigen's trace() member.
#include "lm/lm.h"
// (keep this order)
#include "gauss2_fitter.h"

namespace gauss2 {

constexpr int kParams = 7;

// Error ||x - f(p)||^2 of the model with parameters p over n pixels whose
// centres, less 0.5, are (col[k], row[k]); the pixel exponentials are stored
// into e_out.
double model_error(const double *col, const double *row, const double *x, int n, const double *p,
                   double *e_out);

// At p, with e the exponentials of p's model: A = J^T J (7 x 7, row-major)
// and g = J^T (x - f(p)).
void normal_equations(const double *col, const double *row, const double *x, const double *e, int n,
                      const double *p, double *A, double *g);

// The Gaussian over one square patch, as the solver's problem type. Cap is
// the largest pixel count it holds (its buffers live where it does).
template <int Cap>
class PatchProblem {
   public:
    PatchProblem(const double *pixels, int side) : x_(pixels), n_(side * side) {
        for (int k = 0, i = 0; i < side; i++)
            for (int j = 0; j < side; j++, k++) {
                col_[k] = j;
                row_[k] = i;
            }
    }

    int size() const { return n_; }

    double trial(const double *p) { return model_error(col_, row_, x_, n_, p, exps_[1 - current_]); }

    void accept() { current_ = 1 - current_; }

    void normal_equations(const double *p, lm::Matrix<kParams> &A, lm::Vector<kParams> &g) {
        double a[kParams * kParams];
        gauss2::normal_equations(col_, row_, x_, exps_[current_], n_, p, a, g.data());
        A = Eigen::Map<const Eigen::Matrix<double, kParams, kParams, Eigen::RowMajor>>(a);
    }

   private:
    const double *x_;
    int n_;
    int current_ = 0;
    alignas(64) double col_[Cap];
    alignas(64) double row_[Cap];
    alignas(64) double exps_[2][Cap];
};

// Runs the solver on a mea x mea patch with the given options; returns the
// solver's result. The patch must not exceed GAUSS2_MAX_MEA on a side.
int solve_patch(const double *pixels, int mea, double *params, int itmax, const lm::Options &opts,
                double *info, double *covar);

}  // namespace gauss2
