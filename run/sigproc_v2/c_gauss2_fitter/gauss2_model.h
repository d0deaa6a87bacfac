// The Gaussian spot model's set-up, written once for the model, its Jacobian
// and the fit's vectorised kernels.
//
// With dx = j - (pos_x - 0.5) and dy = i - (pos_y - 0.5) the offsets of the
// centre of pixel (row i, column j) from the spot's centre, the model is
//
//   f = amp / (2 pi std_x std_y sqrt(L)) * exp(q / den) + offset,
//   q = cross dx dy + std_x^2 dy^2 + std_y^2 dx^2,
//   L = 1 - rho^2,  cross = -2 rho std_x std_y,
//   den = 2 (rho - 1) (rho + 1) std_x^2 std_y^2   (= -2 L std_x^2 std_y^2).
//
// Each quantity is formed in one fixed order, which fixes the model's
// observable bits: products are grouped symmetrically in x and y (so that
// exchanging the widths and the positions transposes a patch exactly), den
// comes from the factors (rho - 1) and (rho + 1) rather than from L, and the
// normalisation goes through sqrt(L) rather than dividing by it, so that it
// is NaN, not infinite, at |rho| = 1.
//
// Internal to the library. Setup is always inlined, so that each source
// file's floating-point settings (contraction into FMA or not) apply to its
// own uses; the kernels' forms below are computed in gauss2_model.cpp, built
// without contraction, so that every instruction-set version of the kernels
// starts from the same bits.
#pragma once

#include <cmath>

namespace gauss2 {

// 2 pi as the nearest double.
constexpr double kTwoPi = 6.283185307179586;

// The parameter-only quantities of the model, computed once per parameter
// vector (amp, std_x, std_y, pos_x, pos_y, rho, offset).
struct Setup {
    double amp, std_x, std_y, rho, offset;
    double L;               // 1 - rho^2
    double std_x2, std_y2;  // the squared widths
    double Q;               // 1 / (std_x std_y L)
    double cross;           // -2 rho std_x std_y
    double den;             // 2 (rho - 1) (rho + 1) std_x^2 std_y^2
    double cx, cy;          // the centre less 0.5: pixel (i, j) has dx = j - cx, dy = i - cy

    // amp / (std_x std_y sqrt(L)), as Q amp sqrt(L): the height of the
    // Gaussian term times 2 pi.
    [[gnu::always_inline]] double norm() const { return Q * amp * std::sqrt(L); }

    // 1 / (std_x std_y sqrt(L)): norm() per unit volume.
    [[gnu::always_inline]] double unit_norm() const { return std::sqrt(L) * Q; }

    // The exponent q / den at offsets (dx, dy); std_x2_dy2 = std_x^2 dy^2 is
    // formed once per row by the caller.
    [[gnu::always_inline]] double exponent(double dx, double dy, double std_x2_dy2) const {
        return (cross * (dx * dy) + (std_x2_dy2 + std_y2 * (dx * dx))) / den;
    }
};

[[gnu::always_inline]] inline Setup setup_of(const double *p) {
    Setup s;
    s.amp = p[0], s.std_x = p[1], s.std_y = p[2], s.rho = p[5], s.offset = p[6];
    s.L = 1.0 - s.rho * s.rho;
    s.std_x2 = s.std_x * s.std_x;
    s.std_y2 = s.std_y * s.std_y;
    s.Q = 1.0 / ((s.std_x * s.std_y) * s.L);
    s.cross = (-2.0 * s.rho) * (s.std_x * s.std_y);
    s.den = (2.0 * (s.rho - 1.0) * (s.rho + 1.0)) * (s.std_x2 * s.std_y2);
    s.cx = p[3] - 0.5;
    s.cy = p[4] - 0.5;
    return s;
}

// ---- the kernels' forms ----------------------------------------------------

// The model as f = e * height + offset with e = exp(t) and
// t = (a dx + b dy) dx + c dy^2: a = std_y^2 / den, b = cross / den,
// c = std_x^2 / den.
struct Shape {
    double a, b, c;
    double cx, cy;  // as in Setup
    double height;  // amp / (2 pi std_x std_y sqrt(L))
    double offset;
};

Shape shape_of(const double *p);

// The Jacobian in the same terms: column k, for the six shape parameters
// (amp, std_x, std_y, pos_x, pos_y, rho), is scale[k] * e * P_k(dx, dy) with
// P_k a polynomial of degree 2 or less, sum over u < kTerms[k] of
// coef[k][u] dx^kPowX[k][u] dy^kPowY[k][u]; the offset's column is 1. The
// terms are fixed, only their coefficients depend on the parameters; sums of
// e^2, e and e r times powers of dx and dy over the pixels (moments) thus
// give J^T J and J^T r without the n x 7 Jacobian.
constexpr int kShape = 6;
constexpr int kMaxTerms = 4;
constexpr int kTerms[kShape] = {1, 3, 3, 2, 2, 4};
constexpr int kPowX[kShape][kMaxTerms] = {{0}, {0, 2, 1}, {0, 0, 1}, {1, 0}, {0, 1}, {0, 1, 2, 0}};
constexpr int kPowY[kShape][kMaxTerms] = {{0}, {0, 0, 1}, {0, 2, 1}, {0, 1}, {1, 0}, {0, 1, 0, 2}};

struct Derivatives {
    double scale[kShape];
    double coef[kShape][kMaxTerms];
};

Derivatives derivatives_of(const double *p);

}  // namespace gauss2
