// Independent closed forms of the Gaussian and its derivatives, in long
// double, written from the bivariate normal density rather than from the
// library's factored forms.
#pragma once

#include <array>
#include <cmath>
#include <random>

using Params = std::array<double, 7>;

struct RefPixel {
    long double value;             // model value at the pixel centre
    long double term;              // value - offset
    std::array<long double, 7> d;  // partial derivatives
};

inline RefPixel ref_pixel(const Params &p, int i, int j) {
    const long double amp = p[0], sx = p[1], sy = p[2], px = p[3], py = p[4], r = p[5], off = p[6];
    const long double dx = (j + 0.5L) - px, dy = (i + 0.5L) - py;
    const long double L = 1.0L - r * r;
    const long double u = dx / sx, v = dy / sy;
    const long double G = std::exp(-(u * u - 2.0L * r * u * v + v * v) / (2.0L * L)) /
                          (2.0L * 3.14159265358979323846264338327950288L * sx * sy * std::sqrt(L));
    RefPixel out{};
    out.term = amp * G;
    out.value = out.term + off;
    out.d[0] = G;
    out.d[1] = amp * G * (dx * dx / (L * sx * sx * sx) - r * dx * dy / (L * sx * sx * sy) - 1.0L / sx);
    out.d[2] = amp * G * (dy * dy / (L * sy * sy * sy) - r * dx * dy / (L * sx * sy * sy) - 1.0L / sy);
    out.d[3] = amp * G * (dx / (sx * sx) - r * dy / (sx * sy)) / L;
    out.d[4] = amp * G * (dy / (sy * sy) - r * dx / (sx * sy)) / L;
    out.d[5] = amp * G *
               (r / L + (1.0L + r * r) * dx * dy / (sx * sy * L * L) -
                r * (dx * dx / (sx * sx) + dy * dy / (sy * sy)) / (L * L));
    out.d[6] = 1.0L;
    return out;
}

// Random parameters of a well-formed spot in an s x s patch.
inline Params random_params(std::mt19937_64 &rng, int s) {
    std::uniform_real_distribution<double> U(0.0, 1.0);
    Params p{};
    p[0] = 10.0 + 2e4 * U(rng);
    p[1] = 0.4 + 3.0 * U(rng);
    p[2] = 0.4 + 3.0 * U(rng);
    p[3] = s * (0.2 + 0.6 * U(rng));
    p[4] = s * (0.2 + 0.6 * U(rng));
    p[5] = -0.9 + 1.8 * U(rng);
    p[6] = -50.0 + 200.0 * U(rng);
    return p;
}
