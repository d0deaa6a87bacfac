// Vectorised inner loops of the patch fit, written on four-wide vectors of
// GCC's vector extensions and built for AVX-512, AVX2 + FMA and baseline
// x86-64, chosen at load time. NaN and infinity propagate as in scalar code
// (no fast-math).

#include "gauss2_kernel.h"

#include <cmath>

// The baseline version only: under clang 14 (the libFuzzer build), which
// cannot multiversion function templates, and under the thread sanitizer,
// whose instrumented resolvers would run before its runtime is set up.
#if defined(__clang__) || defined(__SANITIZE_THREAD__)
#define GAUSS2_CLONES
#else
#define GAUSS2_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif

namespace gauss2 {

namespace {

constexpr double k_two_pi = 6.283185307179586;

typedef double v4d __attribute__((vector_size(32), aligned(32), may_alias));
typedef long long v4l __attribute__((vector_size(32)));

// Vector helpers are always inlined into the multi-versioned loops, so that
// each version uses its own instruction set (and no vector crosses a call).
#define G2_INLINE inline __attribute__((always_inline))

G2_INLINE v4d load(const double *p) { return *reinterpret_cast<const v4d *>(p); }
G2_INLINE void store(double *p, v4d v) { *reinterpret_cast<v4d *>(p) = v; }
G2_INLINE v4d splat(double v) { return v4d{v, v, v, v}; }

// exp on four lanes, inline so that the pixel loops need no calls.
// x = k ln2 + r with |r| <= ln2 / 2 (Cody-Waite, ln2 in two parts); exp(r)
// by a degree-11 polynomial fitted for relative error on that interval
// (below 3e-17); 2^k multiplied in as a double built from its exponent
// bits. Arguments are first clamped to [-707, 709], so that 2^k stays a
// normal number: results below about 1e-307 come out as about 1e-307, not
// as 0 (the fit's exponents are never positive, so the upper clamp does not
// arise there). NaN stays NaN: the clamps keep it, and it poisons the
// polynomial.
G2_INLINE v4d vexp(v4d x) {
    x = x < -707.0 ? splat(-707.0) : x;
    x = x > 709.0 ? splat(709.0) : x;
    const v4d shifter = splat(0x1.8p52);  // adding it rounds to an integer held in the low bits
    const v4d kd = x * 1.4426950408889634 + shifter;
    const v4d k = kd - shifter;
    v4d r = x - k * 0x1.62e42fefa3800p-1;
    r = r - k * 0x1.ef35793c7673p-45;
    v4d p = splat(0x1.ad4f46306d47ap-26);
    p = p * r + 0x1.28b3011cb0f87p-22;
    p = p * r + 0x1.71df5454d2ae1p-19;
    p = p * r + 0x1.a01992e57e83cp-16;
    p = p * r + 0x1.a01a0109028e6p-13;
    p = p * r + 0x1.6c16c18778549p-10;
    p = p * r + 0x1.111111113267ep-7;
    p = p * r + 0x1.555555554f3a0p-5;
    p = p * r + 0x1.5555555555499p-3;
    p = p * r + 0x1.0000000000010p-1;
    p = p * r + 1.0;
    p = p * r + 1.0;
    // bits(kd) - bits(shifter) is k; adding the exponent bias 1023 and
    // moving it into the exponent field gives 2^k.
    const long long bias = static_cast<long long>(0x4338000000000000LL) - 1023;
    const v4d scale = reinterpret_cast<v4d>((reinterpret_cast<v4l>(kd) - bias) << 52);
    return p * scale;
}

// The model in the form f = e * height + offset with e = exp(t) and
// t = (a dx + b dy) dx + c dy^2, where (dx, dy) is the pixel centre's offset
// from the spot centre.
struct Shape {
    double a, b, c;  // quadratic form of the exponent
    double cx, cy;   // spot centre less 0.5: pixel (i, j) has dx = j - cx, dy = i - cy
    double height;   // amp / (2 pi std_x std_y sqrt(L))
    double offset;
};

Shape shape_of(const double *p) {
    const double amp = p[0], sx = p[1], sy = p[2], rho = p[5];
    const double L = 1.0 - rho * rho;
    const double sxsy = sx * sy;
    const double sx2 = sx * sx, sy2 = sy * sy;
    const double den = (2.0 * (rho - 1.0) * (rho + 1.0)) * (sx2 * sy2);
    const double cross = (-2.0 * rho) * sxsy;
    return Shape{sy2 / den,  cross / den, sx2 / den,
                 p[3] - 0.5, p[4] - 0.5,  (1.0 / (sxsy * L)) * amp * std::sqrt(L) / k_two_pi,
                 p[6]};
}

// Column k of J, for the six shape parameters, is scale[k] * e * P_k(dx, dy)
// with P_k a polynomial of degree 2 or less; the offset's column is 1. The
// polynomials' terms (powers of dx and dy) are fixed; only their
// coefficients depend on the parameters.
constexpr int kShape = 6;
constexpr int kMaxTerms = 4;
constexpr int kTerms[kShape] = {1, 3, 3, 2, 2, 4};
constexpr int kPowX[kShape][kMaxTerms] = {{0}, {0, 2, 1}, {0, 0, 1}, {1, 0}, {0, 1}, {0, 1, 2, 0}};
constexpr int kPowY[kShape][kMaxTerms] = {{0}, {0, 0, 1}, {0, 2, 1}, {0, 1}, {1, 0}, {0, 1, 0, 2}};

struct Derivatives {
    double scale[kShape];
    double coef[kShape][kMaxTerms];
};

Derivatives derivatives_of(const double *p, const Shape &s) {
    const double sx = p[1], sy = p[2], rho = p[5];
    const double L = 1.0 - rho * rho, L2 = L * L;
    const double sx2 = sx * sx, sy2 = sy * sy, sxsy = sx * sy;
    Derivatives d{};
    d.scale[0] = std::sqrt(L) * (1.0 / (sxsy * L)) / k_two_pi;  // amp: the unit-volume Gaussian
    for (int k = 1; k < kShape; k++) d.scale[k] = s.height;
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

G2_INLINE double hsum(v4d v) { return (v[0] + v[1]) + (v[2] + v[3]); }

// Multi-versioned functions stay in this anonymous namespace: the compiler
// would otherwise export their dispatchers from the library.

// The rows of row group g (padding repeats the last row) and their weights.
G2_INLINE v4d group_lanes(int g) { return splat(kLanes * g) + v4d{0.0, 1.0, 2.0, 3.0}; }
G2_INLINE v4d group_rows(int g, int side) {
    const v4d row = group_lanes(g);
    return row < splat(side) ? row : splat(side - 1);
}
G2_INLINE v4d group_mask(int g, int side) { return group_lanes(g) < splat(side) ? splat(1.0) : splat(0.0); }

GAUSS2_CLONES
double trial_simd(int side, const double *__restrict x, const double *p, double *__restrict e_out,
                  double *__restrict r_out) {
    const Shape s = shape_of(p);
    const int groups = padded(side) / kLanes;
    v4d dxv[GAUSS2_MAX_MEA], adx2[GAUSS2_MAX_MEA];
    for (int j = 0; j < side; j++) {
        const double dx = j - s.cx;
        dxv[j] = splat(dx);
        adx2[j] = splat(s.a * (dx * dx));
    }
    v4d E = splat(0.0);
    for (int g = 0; g < groups; g++) {
        const v4d dy = group_rows(g, side) - s.cy, mask = group_mask(g, side);
        const v4d bdy = s.b * dy, cdy2 = s.c * (dy * dy);
        const double *xg = x + static_cast<long>(g) * side * kLanes;
        double *eg = e_out + static_cast<long>(g) * side * kLanes;
        double *rg = r_out + static_cast<long>(g) * side * kLanes;
#pragma GCC unroll 4
        for (int j = 0; j < side; j++) {
            const v4d e = vexp(bdy * dxv[j] + (adx2[j] + cdy2)) * mask;
            const v4d r = ((load(xg + kLanes * j) - s.offset) - e * s.height) * mask;
            store(eg + kLanes * j, e);
            store(rg + kLanes * j, r);
            E += r * r;
        }
    }
    return hsum(E);
}

// T[a][b] = sum e^2 dx^a dy^b (a + b <= 4), U[a][b] = sum e dx^a dy^b and
// V[a][b] = sum e r dx^a dy^b (a + b <= 2), R = sum r, with r = x - f.
struct Moments {
    double T[5][5], U[3][3], V[3][3], R;
};

// Sums over the pixels, for the moments: per row group, sums along x keep
// one row in each lane; they are then weighted with the powers of the
// lanes' dy.
GAUSS2_CLONES
void moments_simd(int side, const double *__restrict e, const double *__restrict res, double cx, double cy,
                  Moments *out) {
    const int groups = padded(side) / kLanes;
    v4d dx1[GAUSS2_MAX_MEA], dx2[GAUSS2_MAX_MEA], dx3[GAUSS2_MAX_MEA], dx4[GAUSS2_MAX_MEA];
    for (int j = 0; j < side; j++) {
        const double dx = j - cx;
        dx1[j] = splat(dx), dx2[j] = splat(dx * dx), dx3[j] = splat(dx * dx * dx),
        dx4[j] = splat(dx * dx * (dx * dx));
    }
    const v4d zero = splat(0.0);
    v4d T[5][5], U[3][3], V[3][3], R = zero;
    for (auto &r : T)
        for (auto &v : r) v = zero;
    for (auto &r : U)
        for (auto &v : r) v = zero;
    for (auto &r : V)
        for (auto &v : r) v = zero;
    for (int g = 0; g < groups; g++) {
        const double *eg = e + static_cast<long>(g) * side * kLanes;
        const double *rg = res + static_cast<long>(g) * side * kLanes;
        v4d t0 = zero, t1 = zero, t2 = zero, t3 = zero, t4 = zero;
        v4d u0 = zero, u1 = zero, u2 = zero, w0 = zero, w1 = zero, w2 = zero, rs = zero;
        for (int j = 0; j < side; j++) {
            const v4d ev = load(eg + kLanes * j), r = load(rg + kLanes * j);
            const v4d e2 = ev * ev, er = ev * r;
            t0 += e2, t1 += e2 * dx1[j], t2 += e2 * dx2[j], t3 += e2 * dx3[j], t4 += e2 * dx4[j];
            u0 += ev, u1 += ev * dx1[j], u2 += ev * dx2[j];
            w0 += er, w1 += er * dx1[j], w2 += er * dx2[j];
            rs += r;
        }
        const v4d dy = group_rows(g, side) - cy;
        const v4d dy2 = dy * dy, dy3 = dy2 * dy, dy4 = dy2 * dy2;
        const v4d dyp[5] = {splat(1.0), dy, dy2, dy3, dy4};
        const v4d t[5] = {t0, t1, t2, t3, t4}, u[3] = {u0, u1, u2}, w[3] = {w0, w1, w2};
        for (int a = 0; a < 5; a++)
            for (int b = 0; a + b < 5; b++) T[a][b] += t[a] * dyp[b];
        for (int a = 0; a < 3; a++)
            for (int b = 0; a + b < 3; b++) {
                U[a][b] += u[a] * dyp[b];
                V[a][b] += w[a] * dyp[b];
            }
        R += rs;
    }
    for (int a = 0; a < 5; a++)
        for (int b = 0; a + b < 5; b++) out->T[a][b] = hsum(T[a][b]);
    for (int a = 0; a < 3; a++)
        for (int b = 0; a + b < 3; b++) {
            out->U[a][b] = hsum(U[a][b]);
            out->V[a][b] = hsum(V[a][b]);
        }
    out->R = hsum(R);
}

GAUSS2_CLONES
void normal_equations_simd(int side, const double *__restrict e, const double *__restrict r, const double *p,
                           double *__restrict A, double *__restrict g) {
    const Shape s = shape_of(p);
    Moments m;
    moments_simd(side, e, r, s.cx, s.cy, &m);
    const Derivatives d = derivatives_of(p, s);
    // J_k J_l summed over the pixels: products of the two polynomials against
    // the moments of e^2, as sum_u c_ku (sum_v c_lv T[..]); J_k alone
    // against the moments of e; J_k r against those of e r. The loops run
    // over compile-time structure and unroll completely.
#pragma GCC unroll 6
    for (int k = 0; k < kShape; k++) {
#pragma GCC unroll 6
        for (int l = 0; l <= k; l++) {
            double sum = 0.0;
#pragma GCC unroll 4
            for (int u = 0; u < kTerms[k]; u++) {
                double inner = 0.0;
#pragma GCC unroll 4
                for (int v = 0; v < kTerms[l]; v++)
                    inner += d.coef[l][v] * m.T[kPowX[k][u] + kPowX[l][v]][kPowY[k][u] + kPowY[l][v]];
                sum += d.coef[k][u] * inner;
            }
            A[k * kParams + l] = A[l * kParams + k] = d.scale[k] * d.scale[l] * sum;
        }
        double su = 0.0, sv = 0.0;
#pragma GCC unroll 4
        for (int u = 0; u < kTerms[k]; u++) {
            su += d.coef[k][u] * m.U[kPowX[k][u]][kPowY[k][u]];
            sv += d.coef[k][u] * m.V[kPowX[k][u]][kPowY[k][u]];
        }
        A[k * kParams + 6] = A[6 * kParams + k] = d.scale[k] * su;
        g[k] = d.scale[k] * sv;
    }
    A[6 * kParams + 6] = static_cast<double>(side) * side;
    g[6] = m.R;
}

}  // namespace

double trial(int side, const double *x, const double *p, double *e, double *r) {
    return trial_simd(side, x, p, e, r);
}

void normal_equations(int side, const double *e, const double *r, const double *p, double *A, double *g) {
    normal_equations_simd(side, e, r, p, A, g);
}

double residual_noise(int side, const double *r) {
    const int n = side * side;
    auto residual = [&](int i, int j) { return r[layout_index(side, i, j)]; };
    double sum = 0.0;
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) sum += residual(i, j);
    const double mean = sum / n;
    double ss = 0.0;
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) {
            const double d = residual(i, j) - mean;
            ss += d * d;
        }
    return std::sqrt(ss);
}

namespace {

// Built per instruction set, with the solver inlined into each version.
template <int MaxSide>
GAUSS2_CLONES int solve_with(const double *pixels, long row_stride, int mea, double *params, int itmax,
                             const lm::Options &opts, double *info, double *covar, double *noise) {
    PatchProblem<MaxSide> problem(pixels, row_stride, mea);
    const int result = lm::solve<kParams>(problem, params, itmax, opts, info, covar);
    if (noise != nullptr) *noise = result >= 0 ? problem.residual_noise() : 0.0;
    return result;
}

}  // namespace

int solve_patch(const double *pixels, long row_stride, int mea, double *params, int itmax,
                const lm::Options &opts, double *info, double *covar, double *noise) {
    // Typical patches use small buffers, so that fits stay light on the stack.
    if (mea <= 15) return solve_with<15>(pixels, row_stride, mea, params, itmax, opts, info, covar, noise);
    return solve_with<GAUSS2_MAX_MEA>(pixels, row_stride, mea, params, itmax, opts, info, covar, noise);
}

}  // namespace gauss2
