// Gaussian spot fitter: model, Jacobian, patch and batch fits, synthesis and
// diagnostics.
//
// Products are grouped symmetrically in x and y (e.g. (std_x * std_y)) so
// that exchanging the widths and positions transposes the patch exactly.

#include "gauss2_fitter.h"

#include <cmath>

namespace {

constexpr double k_two_pi = 6.283185307179586;

// Side of the square patch described by a pixel count, or 0 if none.
int patch_side(int n_pixels) {
    if (n_pixels <= 0) return 0;
    return static_cast<int>(std::sqrt(static_cast<double>(n_pixels)));
}

}  // namespace

extern "C" {

void gauss_2d(np_float64 *params, np_float64 *pixels, int /*n_params*/, int n_pixels,
              void * /*adata*/) {
    const double amp = params[0], std_x = params[1], std_y = params[2];
    const double pos_x = params[3], pos_y = params[4], rho = params[5], offset = params[6];

    const double L = 1.0 - rho * rho;
    // Through sqrt(L) rather than dividing by it: NaN, not infinity, at L == 0.
    const double norm = (1.0 / ((std_x * std_y) * L)) * amp * std::sqrt(L);
    const double cross = (-2.0 * rho) * (std_x * std_y);
    const double std_x2 = std_x * std_x, std_y2 = std_y * std_y;
    const double den = (2.0 * (rho - 1.0) * (rho + 1.0)) * (std_x2 * std_y2);
    const double cx = pos_x - 0.5, cy = pos_y - 0.5;

    const int s = patch_side(n_pixels);
    for (int i = 0; i < s; i++) {
        const double dy = i - cy;
        const double std_x2_dy2 = std_x2 * (dy * dy);
        np_float64 *row = pixels + static_cast<long>(i) * s;
        for (int j = 0; j < s; j++) {
            const double dx = j - cx;
            const double q = cross * (dx * dy) + (std_x2_dy2 + std_y2 * (dx * dx));
            row[j] = std::exp(q / den) * norm / k_two_pi + offset;
        }
    }
}

void jac_gauss_2d(np_float64 *params, np_float64 *jac, int /*n_params*/, int n_pixels,
                  void * /*adata*/) {
    const double amp = params[0], std_x = params[1], std_y = params[2];
    const double pos_x = params[3], pos_y = params[4], rho = params[5];

    const double L = 1.0 - rho * rho;
    const double cross = (-2.0 * rho) * (std_x * std_y);
    const double std_x2 = std_x * std_x, std_y2 = std_y * std_y;
    const double den = (2.0 * (rho - 1.0) * (rho + 1.0)) * (std_x2 * std_y2);
    const double cx = pos_x - 0.5, cy = pos_y - 0.5;
    const double Q = 1.0 / ((std_x * std_y) * L);
    const double g = std::sqrt(L) * Q;
    const double L_std_x2 = L * std_x2, L_std_y2 = L * std_y2;
    const double rho_std_x = rho * std_x, rho_std_y = rho * std_y;
    const double rho_std_x2 = rho * std_x2, rho_std_y2 = rho * std_y2;
    const double two_minus_L_sxsy = (2.0 - L) * (std_x * std_y);
    const double neg_Q = -Q;

    const int s = patch_side(n_pixels);
    for (int i = 0; i < s; i++) {
        const double dy = i - cy;
        const double dy2 = dy * dy;
        const double std_x2_dy2 = std_x2 * dy2;
        const double std_x_dy = std_x * dy;
        const double dy2_minus_L_std_y2 = dy2 - L_std_y2;
        np_float64 *out = jac + static_cast<long>(i) * s * 7;
        for (int j = 0; j < s; j++, out += 7) {
            const double dx = j - cx;
            const double dx2 = dx * dx;
            const double dxdy = dx * dy;
            const double e = std::exp((cross * dxdy + (std_x2_dy2 + std_y2 * dx2)) / den);
            const double G = g * e / k_two_pi;
            const double A = Q * G * amp;
            out[0] = G;
            out[1] = A * ((std_y * dx2 - rho_std_x * dxdy) - L_std_x2 * std_y) / std_x2;
            out[2] = A * ((std_x * dy2 - rho_std_y * dxdy) - L_std_y2 * std_x) / std_y2;
            out[3] = A * (std_y * dx - rho_std_x * dy) / std_x;
            out[4] = A * (std_x_dy - rho_std_y * dx) / std_y;
            out[5] = A * ((rho_std_x2 * dy2_minus_L_std_y2 - two_minus_L_sxsy * dxdy) +
                          rho_std_y2 * dx2) *
                     neg_Q;
            out[6] = 1.0;
        }
    }
}

}  // extern "C"
