// Vectorised inner loops of the patch fit. Built once for each of AVX-512,
// AVX2 + FMA and baseline x86-64, chosen at load time; loops over pixels are
// SIMD with glibc's vector exponential. NaN and infinity propagate as in
// scalar code (no fast-math).

#include "gauss2_kernel.h"

#include <cmath>

extern "C" {
#pragma omp declare simd notinbranch
double exp(double);
}

#define GAUSS2_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))

namespace gauss2 {

namespace {

constexpr double k_two_pi = 6.283185307179586;

// The model in the form f = e * height + offset with e = exp(t) and
// t = (a dx + b dy) dx + c dy^2, where (dx, dy) is the pixel centre's offset
// from the spot centre.
struct Shape {
    double a, b, c;    // quadratic form of the exponent
    double cx, cy;     // spot centre less 0.5 (pixel k's offset is col[k] - cx)
    double height;     // amp / (2 pi std_x std_y sqrt(L))
    double offset;
    double unit;       // height / amp: the Gaussian of unit volume at its peak
    // Derivative coefficients: d f / d param = amp G * polynomial(dx, dy).
    double sx_xx, sx_xy, sx_1;           // std_x
    double sy_yy, sy_xy, sy_1;           // std_y
    double px_x, px_y, py_y, py_x;       // pos_x, pos_y
    double r_1, r_xy, r_xx, r_yy;        // rho
};

Shape shape_of(const double *p) {
    const double amp = p[0], sx = p[1], sy = p[2], rho = p[5];
    const double L = 1.0 - rho * rho;
    const double sxsy = sx * sy;
    const double Q = 1.0 / (sxsy * L);
    const double sx2 = sx * sx, sy2 = sy * sy;
    const double den = (2.0 * (rho - 1.0) * (rho + 1.0)) * (sx2 * sy2);
    const double cross = (-2.0 * rho) * sxsy;
    Shape s{};
    s.a = sy2 / den;
    s.b = cross / den;
    s.c = sx2 / den;
    s.cx = p[3] - 0.5;
    s.cy = p[4] - 0.5;
    s.height = Q * amp * std::sqrt(L) / k_two_pi;
    s.offset = p[6];
    s.unit = std::sqrt(L) * Q / k_two_pi;
    const double L2 = L * L;
    s.sx_xx = 1.0 / (L * sx2 * sx);
    s.sx_xy = -rho / (L * sx2 * sy);
    s.sx_1 = -1.0 / sx;
    s.sy_yy = 1.0 / (L * sy2 * sy);
    s.sy_xy = -rho / (L * sx * sy2);
    s.sy_1 = -1.0 / sy;
    s.px_x = 1.0 / (L * sx2);
    s.px_y = -rho / (L * sxsy);
    s.py_y = 1.0 / (L * sy2);
    s.py_x = s.px_y;
    s.r_1 = rho / L;
    s.r_xy = (1.0 + rho * rho) / (sxsy * L2);
    s.r_xx = -rho / (L2 * sx2);
    s.r_yy = -rho / (L2 * sy2);
    return s;
}

// Multi-versioned functions stay in this anonymous namespace: the compiler
// would otherwise export their dispatchers from the library.

GAUSS2_CLONES
double model_error_simd(const double *__restrict col, const double *__restrict row, const double *__restrict x,
                   int n, const double *p, double *__restrict e_out) {
    const Shape s = shape_of(p);
    double E = 0.0;
#pragma omp simd reduction(+ : E)
    for (int k = 0; k < n; k++) {
        const double dx = col[k] - s.cx, dy = row[k] - s.cy;
        const double e = exp((s.a * dx + s.b * dy) * dx + s.c * (dy * dy));
        e_out[k] = e;
        const double r = x[k] - (e * s.height + s.offset);
        E += r * r;
    }
    return E;
}

GAUSS2_CLONES
void normal_equations_simd(const double *__restrict col, const double *__restrict row, const double *__restrict x,
                      const double *__restrict e, int n, const double *p, double *A, double *g) {
    const Shape s = shape_of(p);
    // Lower triangle of J^T J over the six shape parameters, their sums (the
    // offset column of J is 1) and J^T e.
    double a00 = 0, a10 = 0, a11 = 0, a20 = 0, a21 = 0, a22 = 0, a30 = 0, a31 = 0, a32 = 0, a33 = 0;
    double a40 = 0, a41 = 0, a42 = 0, a43 = 0, a44 = 0, a50 = 0, a51 = 0, a52 = 0, a53 = 0, a54 = 0, a55 = 0;
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, s5 = 0;
    double g0 = 0, g1 = 0, g2 = 0, g3 = 0, g4 = 0, g5 = 0, g6 = 0;
#pragma omp simd reduction(+ : a00, a10, a11, a20, a21, a22, a30, a31, a32, a33, a40, a41, a42, a43, a44, a50, \
                               a51, a52, a53, a54, a55, s0, s1, s2, s3, s4, s5, g0, g1, g2, g3, g4, g5, g6)
    for (int k = 0; k < n; k++) {
        const double dx = col[k] - s.cx, dy = row[k] - s.cy;
        const double dxx = dx * dx, dxy = dx * dy, dyy = dy * dy;
        const double aG = e[k] * s.height;
        const double r = x[k] - (aG + s.offset);
        const double j0 = e[k] * s.unit;
        const double j1 = aG * (s.sx_xx * dxx + s.sx_xy * dxy + s.sx_1);
        const double j2 = aG * (s.sy_yy * dyy + s.sy_xy * dxy + s.sy_1);
        const double j3 = aG * (s.px_x * dx + s.px_y * dy);
        const double j4 = aG * (s.py_y * dy + s.py_x * dx);
        const double j5 = aG * (s.r_1 + s.r_xy * dxy + s.r_xx * dxx + s.r_yy * dyy);
        a00 += j0 * j0;
        a10 += j1 * j0, a11 += j1 * j1;
        a20 += j2 * j0, a21 += j2 * j1, a22 += j2 * j2;
        a30 += j3 * j0, a31 += j3 * j1, a32 += j3 * j2, a33 += j3 * j3;
        a40 += j4 * j0, a41 += j4 * j1, a42 += j4 * j2, a43 += j4 * j3, a44 += j4 * j4;
        a50 += j5 * j0, a51 += j5 * j1, a52 += j5 * j2, a53 += j5 * j3, a54 += j5 * j4, a55 += j5 * j5;
        s0 += j0, s1 += j1, s2 += j2, s3 += j3, s4 += j4, s5 += j5;
        g0 += j0 * r, g1 += j1 * r, g2 += j2 * r, g3 += j3 * r, g4 += j4 * r, g5 += j5 * r, g6 += r;
    }
    const double lower[kParams][kParams] = {
        {a00}, {a10, a11}, {a20, a21, a22}, {a30, a31, a32, a33}, {a40, a41, a42, a43, a44},
        {a50, a51, a52, a53, a54, a55}, {s0, s1, s2, s3, s4, s5, static_cast<double>(n)},
    };
    for (int i = 0; i < kParams; i++)
        for (int j = 0; j <= i; j++) A[i * kParams + j] = A[j * kParams + i] = lower[i][j];
    g[0] = g0, g[1] = g1, g[2] = g2, g[3] = g3, g[4] = g4, g[5] = g5, g[6] = g6;
}

}  // namespace

double model_error(const double *col, const double *row, const double *x, int n, const double *p, double *e_out) {
    return model_error_simd(col, row, x, n, p, e_out);
}

void normal_equations(const double *col, const double *row, const double *x, const double *e, int n,
                      const double *p, double *A, double *g) {
    normal_equations_simd(col, row, x, e, n, p, A, g);
}

namespace {

template <int Cap>
int solve_with(const double *pixels, int mea, double *params, int itmax, const lm::Options &opts, double *info,
               double *covar) {
    PatchProblem<Cap> problem(pixels, mea);
    return lm::solve<kParams>(problem, params, itmax, opts, info, covar);
}

}  // namespace

int solve_patch(const double *pixels, int mea, double *params, int itmax, const lm::Options &opts, double *info,
                double *covar) {
    // Typical patches use small buffers, so that fits stay light on the stack.
    if (mea <= 15) return solve_with<15 * 15>(pixels, mea, params, itmax, opts, info, covar);
    return solve_with<GAUSS2_MAX_MEA * GAUSS2_MAX_MEA>(pixels, mea, params, itmax, opts, info, covar);
}

}  // namespace gauss2
