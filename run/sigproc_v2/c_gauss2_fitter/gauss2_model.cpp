// The kernels' forms of the model and of its derivatives (gauss2_model.h).
// Built with the library's default floating-point settings (no contraction
// into FMA) and called, not inlined, by every instruction-set version of the
// kernels: all of them start from the same bits.

#include "gauss2_model.h"

#include <cmath>

namespace gauss2 {

Shape shape_of(const double *p) {
    const Setup m = setup_of(p);
    return Shape{m.std_y2 / m.den,  m.cross / m.den, m.std_x2 / m.den, m.cx, m.cy,
                 m.norm() / kTwoPi, m.offset};
}

Derivatives derivatives_of(const double *p) {
    const Setup m = setup_of(p);
    const double sx = m.std_x, sy = m.std_y, rho = m.rho, L = m.L, L2 = L * L;
    const double sx2 = m.std_x2, sy2 = m.std_y2, sxsy = sx * sy;
    Derivatives d{};
    d.scale[0] = m.unit_norm() / kTwoPi;  // amp: the unit-volume Gaussian
    for (int k = 1; k < kShape; k++) d.scale[k] = m.norm() / kTwoPi;
    d.coef[0][0] = 1.0;
    // std_x: dx^2 / (L sx^3) - rho dx dy / (L sx^2 sy) - 1 / sx
    d.coef[1][0] = -1.0 / sx, d.coef[1][1] = 1.0 / (L * sx2 * sx), d.coef[1][2] = -rho / (L * sx2 * sy);
    // std_y: dy^2 / (L sy^3) - rho dx dy / (L sx sy^2) - 1 / sy
    d.coef[2][0] = -1.0 / sy, d.coef[2][1] = 1.0 / (L * sy2 * sy), d.coef[2][2] = -rho / (L * sx * sy2);
    // pos_x: (dx / sx^2 - rho dy / (sx sy)) / L; pos_y likewise
    d.coef[3][0] = 1.0 / (L * sx2), d.coef[3][1] = -rho / (L * sxsy);
    d.coef[4][0] = 1.0 / (L * sy2), d.coef[4][1] = -rho / (L * sxsy);
    // rho: rho / L + (1 + rho^2) dx dy / (sx sy L^2) - rho (dx^2 / sx^2 + dy^2 / sy^2) / L^2
    d.coef[5][0] = rho / L, d.coef[5][1] = (1.0 + rho * rho) / (sxsy * L2);
    d.coef[5][2] = -rho / (L2 * sx2), d.coef[5][3] = -rho / (L2 * sy2);
    return d;
}

}  // namespace gauss2
