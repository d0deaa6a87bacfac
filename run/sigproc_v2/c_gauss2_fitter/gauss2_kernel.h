// The Gaussian patch fit's inner loops. One pass over the pixels evaluates
// the model and the error at a trial point and keeps the pixels'
// exponentials; the Jacobian, which the solver asks for at the accepted
// point, reuses them: a second pass forms J^T J and J^T e from sums of the
// exponentials times powers of the pixel offsets, without the n x 7
// Jacobian.
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
constexpr int kLanes = 4;

constexpr int padded(int side) { return (side + kLanes - 1) / kLanes * kLanes; }

// Pixel layout: rows in groups of four, each group stored column by column
// with the four rows of a column side by side (one SIMD vector); a last,
// partial group is padded with zeros. Pixel (i, j) is element
// ((i / 4) * side + j) * 4 + i % 4.
constexpr long layout_index(int side, int i, int j) {
    return (static_cast<long>(i / kLanes) * side + j) * kLanes + i % kLanes;
}

// Error ||x - f(p)||^2 of the model with parameters p over the patch x (in
// the layout above); the pixels' exponentials e (the model is
// f = e * height + offset) and residuals r = x - f are stored, 0 at padding.
double trial(int side, const double *x, const double *p, double *e, double *r);

// At p, with e and r from trial() at p: A = J^T J (7 x 7, symmetric) and
// g = J^T (x - f(p)), from sums of e^2, e and e r times powers of dx and dy
// (no n x 7 Jacobian).
void normal_equations(int side, const double *e, const double *r, const double *p, double *A, double *g);

// Square root of the sum of squared deviations of the residuals r (from
// trial()) from their mean: sqrt(n) times their population standard
// deviation, summed in pixel order.
double residual_noise(int side, const double *r);

// The Gaussian over one square patch, as the solver's problem type. The
// exponentials of the accepted trial point serve the Jacobian at that point.
// Buffers hold patches of up to MaxSide x MaxSide pixels and live where the
// problem does.
template <int MaxSide>
class PatchProblem {
   public:
    static constexpr int kCap = MaxSide * padded(MaxSide);

    // The patch: pixel (i, j) is pixels[i * row_stride + j].
    PatchProblem(const double *pixels, long row_stride, int side) : side_(side) {
        for (int k = 0; k < padded(side) * side; k++) x_[k] = 0.0;
        for (int i = 0; i < side; i++)
            for (int j = 0; j < side; j++) x_[layout_index(side, i, j)] = pixels[i * row_stride + j];
    }

    int size() const { return side_ * side_; }

    double trial(const double *p) {
        return gauss2::trial(side_, x_, p, exps_[1 - current_], residuals_[1 - current_]);
    }

    void accept() { current_ = 1 - current_; }

    // Residual noise of the model at the current point (see residual_noise).
    double residual_noise() const { return gauss2::residual_noise(side_, residuals_[current_]); }

    void normal_equations(const double *p, lm::Matrix<kParams> &A, lm::Vector<kParams> &g) {
        gauss2::normal_equations(side_, exps_[current_], residuals_[current_], p, A.data(), g.data());
    }

   private:
    int side_;
    int current_ = 0;
    alignas(64) double x_[kCap];
    alignas(64) double exps_[2][kCap];
    alignas(64) double residuals_[2][kCap];
};

// Runs the solver on the mea x mea patch whose pixel (i, j) is
// pixels[i * row_stride + j], with the given options; returns the solver's
// result. When `noise` is not null it receives the residual noise of the
// fit, or 0.0 if the solver failed. The patch must not exceed GAUSS2_MAX_MEA
// on a side.
int solve_patch(const double *pixels, long row_stride, int mea, double *params, int itmax,
                const lm::Options &opts, double *info, double *covar, double *noise);

}  // namespace gauss2
