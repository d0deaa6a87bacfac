// The fit's passes over the pixels, written once over the vector width of a
// kernel path. One pass evaluates the model and the error at a trial point
// and keeps the pixels' exponentials; the Jacobian, which the solver asks
// for at the accepted point, reuses them: a second pass forms J^T J and
// J^T e from sums of the exponentials times powers of the pixel offsets
// (gauss2_model.h), without the n x 7 Jacobian. The Poisson likelihood's
// passes share that second pass with other weights.
//
// The same bits on every path. Each pixel's arithmetic is the same whatever
// the width (its fused multiply-adds written out, Layout::Fma), and every
// sum over the pixels is formed in four lanes, in the order of four-row
// groups: a vector of eight rows is the four-row groups 2g and 2g + 1 side
// by side, and its sums go into the four-lane totals group 2g first (as
// they come, column by column), then group 2g + 1 (kept aside until then).
// The AVX-512 path thus gives the bits of the AVX2 and portable paths, only
// sooner.
//
// Everything here is always inlined into the kernel path that uses it
// (gauss2_kernel.cpp), so that each path's instructions are its own.
//
// Internal to the library; nothing here is exported.
#pragma once

#include <cfloat>
#include <cmath>

#include "gauss2_model.h"
#include "gauss2_simd.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

#define GAUSS2_INLINE inline __attribute__((always_inline))

namespace gauss2 {

// ---- the pixel layout ----------------------------------------------------------

// Pixels in vectors of V, rows in lanes: the patch in groups of as many rows
// as V has lanes, each group stored column by column with the rows of a
// column side by side (one vector); a last, partial group is padded with
// zeros. Pixel (i, j) is element ((i / lanes) * side + j) * lanes + i % lanes.
// Fma: how the path fuses multiply-adds (gauss2_simd.h).
template <class Vec, class FusedMultiplyAdd>
struct RowLayout {
    using V = Vec;
    using Fma = FusedMultiplyAdd;
    static constexpr int kW = lanes_of<V>;
    static constexpr int kHalves = kW / 4;  // four-row groups to a vector
    static_assert(kW == 4 || kW == 8);

    static constexpr int groups(int side) { return (side + kW - 1) / kW; }
    static constexpr long patch_doubles(int side) { return static_cast<long>(groups(side)) * side * kW; }
    static constexpr long index(int side, int i, int j) {
        return (static_cast<long>(i / kW) * side + j) * kW + i % kW;
    }
    // Doubles of one per-column term of a column: with four lanes the term
    // is kept as a whole vector, so that the passes take it from memory as an
    // operand; with eight, as one scalar, broadcast where it is used (eight
    // times the memory would not fit the stack's bound at the largest side).
    static constexpr int kColumnWidth = kW == 4 ? 4 : 1;
    // Doubles of a pass's per-column terms (up to four terms a column) and,
    // with eight lanes, of the upper halves that a sum keeps aside.
    static constexpr long column_doubles(int side) { return (4L * kColumnWidth + 4L * (kHalves - 1)) * side; }
};

// A pass's view of the layout for one side: each group's rows and the
// lanes inside the patch.
template <class Layout>
struct Grid {
    using V = typename Layout::V;
    static constexpr int kW = Layout::kW;

    int side, groups;

    explicit Grid(int s) : side(s), groups(Layout::groups(s)) {}

    GAUSS2_INLINE long base(int g, int j) const { return (static_cast<long>(g) * side + j) * kW; }
    GAUSS2_INLINE bool full_group(int g) const { return (g + 1) * kW <= side; }
    // Whether the upper four rows of group g reach into the patch.
    GAUSS2_INLINE bool upper_half(int g) const { return g * kW + 4 < side; }

    // Whether group g's rows inside the patch all lie in its lower four
    // lanes (a last group of eight lanes that has at most four rows left):
    // the passes then take only those four lanes, as a four-lane vector.
    GAUSS2_INLINE bool lower_half_only(int g) const { return kW == 8 && !full_group(g) && !upper_half(g); }

    // The rows of group g in the lanes of a vector of W (its lower lanes if
    // W is narrower than the layout's vectors), and the same with padding
    // repeating the last row (so that the model stays finite there, to be
    // masked).
    template <class W>
    static constexpr W lane_offsets() {
        W v{};
        for (int l = 0; l < lanes_of<W>; l++) v[l] = l;
        return v;
    }
    template <class W>
    static GAUSS2_INLINE W lane_rows(int g) {
        return splat<W>(kW * g) + lane_offsets<W>();
    }
    template <class W>
    GAUSS2_INLINE W rows(int g) const {
        const W row = lane_rows<W>(g);
        return row < splat<W>(side) ? row : splat<W>(side - 1);
    }
    // 1.0 in the lanes inside the patch, 0.0 in the others.
    template <class W>
    GAUSS2_INLINE W row_mask(int g) const {
        return lane_rows<W>(g) < splat<W>(side) ? splat<W>(1.0) : splat<W>(0.0);
    }
};

// The lanes inside the patch: all of them, or those where a mask is 1.0.
// masked() zeroes the others (v times the mask), kept() takes `otherwise`
// there.
struct AllLanes {};
template <class V>
GAUSS2_INLINE V masked(V v, AllLanes) {
    return v;
}
template <class V>
GAUSS2_INLINE V masked(V v, V mask) {
    return v * mask;
}
template <class V>
GAUSS2_INLINE V kept(AllLanes, V v, V /*otherwise*/) {
    return v;
}
template <class V>
GAUSS2_INLINE V kept(V mask, V v, V otherwise) {
    return mask != 0.0 ? v : otherwise;
}

// The vector type W that a pass takes for a group, as an argument.
template <class W>
struct Lanes {
    using type = W;
};

// Runs body(Lanes<W>{}, g, mask) for each group g: W is the layout's vector,
// or a four-lane vector for a last group of eight lanes whose rows all lie
// in its lower four lanes (that group's upper lanes are then neither
// written nor read); mask the lanes of W inside the patch (AllLanes in a
// full group, else a 1.0 / 0.0 vector). The body visits the group's
// vectors, at elements grid.base(g, j) for the columns j.
template <class Layout, class Body>
GAUSS2_INLINE void for_each_group(const Grid<Layout> &grid, Body &&body) {
    using V = typename Layout::V;
    for (int g = 0; g < grid.groups; g++) {
        if (grid.full_group(g))
            body(Lanes<V>{}, g, AllLanes{});
        else if (grid.lower_half_only(g))
            body(Lanes<v4d>{}, g, grid.template row_mask<v4d>(g));
        else
            body(Lanes<V>{}, g, grid.template row_mask<V>(g));
    }
}

// Per-column terms of a pass (block k of `columns`): a vector or a scalar a
// column (Layout::kColumnWidth).
template <class Layout>
struct ColumnTerms {
    using V = typename Layout::V;
    static constexpr long kWidth = Layout::kColumnWidth;
    const double *at;
    ColumnTerms(const double *columns, int side, int k)
        : at(columns + static_cast<long>(k) * side * kWidth) {}
    // Column j's term for vectors of W: the vector itself, or the scalar,
    // which the arithmetic then broadcasts (with AVX-512 as an operand of
    // the instruction that uses it, at no extra instruction).
    template <class W>
    GAUSS2_INLINE auto get(int j) const {
        if constexpr (kWidth == lanes_of<W>)
            return load<W>(at + kWidth * j);
        else
            return at[j];
    }
};

// Fills N per-column terms, terms(dx, t) of the columns' offsets dx = j - cx.
template <class Layout, int N, class Terms>
GAUSS2_INLINE void fill_columns(int side, double *columns, double cx, Terms &&terms) {
    constexpr long kWidth = Layout::kColumnWidth;
    for (int j = 0; j < side; j++) {
        const double dx = j - cx;
        double t[N];
        terms(dx, t);
        for (int n = 0; n < N; n++) {
            double *at = columns + (static_cast<long>(n) * side + j) * kWidth;
            if constexpr (kWidth == 4)
                store(at, splat<v4d>(t[n]));
            else
                *at = t[n];
        }
    }
}

// Where a pass keeps the upper halves of its terms aside (four doubles a
// column): after the column terms.
template <class Layout>
GAUSS2_INLINE double *aside_of(double *columns, int side) {
    return columns + 4L * Layout::kColumnWidth * side;
}

// ---- least squares ------------------------------------------------------------

// The residuals x - f of the lanes at element k, from the data x and the
// exponentials e there (0 at padding, where the mask is 0).
template <class Fma, class V, class Mask>
GAUSS2_INLINE V residual(const double *x, long k, V e, const Shape s, Mask mask) {
    return masked(Fma::fnmadd(e, s.height, load<V>(x + k) - s.offset), mask);
}

// The per-column terms of a trial's exponent: dx and a dx^2.
template <class Layout>
GAUSS2_INLINE void exponent_columns(int side, double *columns, const Shape &s) {
    fill_columns<Layout, 2>(side, columns, s.cx, [&](double dx, double *t) {
        t[0] = dx;
        t[1] = s.a * (dx * dx);
    });
}

// Error ||x - f||^2 of the model f of shape s (gauss2_model.h) over the
// patch x (in the layout); the pixels' exponentials e are stored (the model
// is f = e * height + offset), 0 at padding. The residuals r = x - f are
// not: residual() forms them again from x and e, to the same bits.
template <class Layout>
GAUSS2_INLINE double trial(int side, const double *__restrict x, const Shape s, double *__restrict e_out,
                           double *__restrict columns) {
    const Grid<Layout> grid(side);
    exponent_columns<Layout>(side, columns, s);
    const ColumnTerms<Layout> dxv(columns, side, 0), adx2(columns, side, 1);
    double *aside = aside_of<Layout>(columns, side);
    using Fma = typename Layout::Fma;
    v4d E = splat<v4d>(0.0);
    for_each_group(
        grid, [&](auto lanes, int g, auto mask) __attribute__((always_inline)) {
            using W = typename decltype(lanes)::type;
            const W dy = grid.template rows<W>(g) - s.cy;
            const W bdy = s.b * dy, cdy2 = s.c * (dy * dy);
#pragma GCC unroll 4
            for (int j = 0; j < side; j++) {
                const long k = grid.base(g, j);
                const W t = Fma::fmadd(bdy, dxv.template get<W>(j), adx2.template get<W>(j) + cdy2);
                const W e = masked(vexp<Fma>(t), mask);
                const W r = residual<Fma>(x, k, e, s, mask);
                store(e_out + k, e);
                const v4d r0 = half<0>(r);
                E = Fma::fmadd(r0, r0, E);
                if constexpr (lanes_of<W> == 8) store(aside + 4L * j, half<1>(r));
            }
            if constexpr (lanes_of<W> == 8) {
                if (grid.upper_half(g))
                    for (int j = 0; j < side; j++) {
                        const v4d r1 = load<v4d>(aside + 4L * j);
                        E = Fma::fmadd(r1, r1, E);
                    }
            }
        });
    return hsum(E);
}

// Sums over the pixels of the Jacobian's forms (gauss2_model.h):
// T[a][b] = sum w e^2 dx^a dy^b (a + b <= 4), U[a][b] = sum w e dx^a dy^b and
// V[a][b] = sum e r dx^a dy^b (a + b <= 2), R = sum r, W = sum w.
struct Moments {
    // Where each sum is kept: T, U and V row by row (a + b within their
    // bound), then R and W.
    static constexpr int t_index(int a, int b) { return 5 * a - a * (a - 1) / 2 + b; }
    static constexpr int u_index(int a, int b) { return 15 + 3 * a - a * (a - 1) / 2 + b; }
    static constexpr int v_index(int a, int b) { return 21 + 3 * a - a * (a - 1) / 2 + b; }
    static constexpr int kR = 27, kW = 28, kCount = 29, kPadded = 32;

    alignas(32) double s[kPadded];

    double T(int a, int b) const { return s[t_index(a, b)]; }
    double U(int a, int b) const { return s[u_index(a, b)]; }
    double V(int a, int b) const { return s[v_index(a, b)]; }
    double R() const { return s[kR]; }
    double W() const { return s[kW]; }
};

// The pixels' weights w and residuals r in the moments, as a policy of the
// pass: pixel(valid, k, e, we, r, w) gives for the lanes at element k of the
// layout (exponentials e; `valid` the lanes inside the patch, as a mask or
// AllLanes) the weighted exponentials we = w e, the residuals r and the
// weights w; W is summed over the pixels when kSummed, else total().
//
// Least squares weighs every pixel alike, with the residuals x - f of the
// model of shape s whose exponentials are e.
template <class Layout>
struct UnitWeights {
    int side;
    const double *x;
    Shape s;
    static constexpr bool kSummed = false;
    template <class W, class Valid>
    GAUSS2_INLINE void pixel(Valid valid, long k, W e, W &we, W &r, W & /*w*/) const {
        we = e;
        r = residual<typename Layout::Fma>(x, k, e, s, valid);
    }
    double total() const { return static_cast<double>(side) * side; }
};

// The Poisson mean m = f + s2 = e height + offset + s2 of each pixel (the
// data's variance s2 in the layout), from which the two weights below weigh
// the pixels. Padding lanes weigh nothing.
template <class Layout>
struct MeanWeights {
    const double *s2;
    double height, offset;
    static constexpr bool kSummed = true;
    template <class W>
    GAUSS2_INLINE W mean(long k, W e) const {
        return Layout::Fma::fmadd(e, height, offset + load<W>(s2 + k));
    }
    double total() const { return 0.0; }
};

// The Poisson likelihood of the data y = x + s2 (in the layout) under the
// mean m: the Fisher information is sum J J^T / m (w = 1 / m) and the score
// sum (y / m - 1) J (r = y / m - 1).
template <class Layout>
struct PoissonWeights : MeanWeights<Layout> {
    const double *y;
    template <class W, class Valid>
    GAUSS2_INLINE void pixel(Valid valid, long k, W e, W &we, W &r, W &w) const {
        const W inv = splat<W>(1.0) / kept(valid, this->mean(k, e), splat<W>(1.0));
        w = kept(valid, inv, splat<W>(0.0));
        r = kept(valid, Layout::Fma::fmadd(load<W>(y + k), inv, -1.0), splat<W>(0.0));
        we = e * w;
    }
};

// The photon-noise variance m of each pixel as its weight, for the middle
// term J^T diag(f + s2) J of the least-squares sandwich (no residuals).
template <class Layout>
struct VarianceWeights : MeanWeights<Layout> {
    template <class W, class Valid>
    GAUSS2_INLINE void pixel(Valid valid, long k, W e, W &we, W &r, W &w) const {
        w = kept(valid, this->mean(k, e), splat<W>(0.0));
        r = splat<W>(0.0);
        we = e * w;
    }
};

// The moments, in one pass: per row group, sums along x keep one row in
// each lane; they are then weighted with the powers of the lanes' dy and
// added into four-lane totals, four-row group by four-row group.
template <class Layout, class Weights>
GAUSS2_INLINE void moments(int side, const double *__restrict e, double cx, double cy, const Weights &weights,
                           double *__restrict columns, Moments *out) {
    using Fma = typename Layout::Fma;
    const Grid<Layout> grid(side);
    fill_columns<Layout, 4>(side, columns, cx, [&](double dx, double *t) {
        t[0] = dx, t[1] = dx * dx, t[2] = dx * dx * dx, t[3] = dx * dx * (dx * dx);
    });
    const ColumnTerms<Layout> dx1(columns, side, 0), dx2(columns, side, 1), dx3(columns, side, 2),
        dx4(columns, side, 3);
    const v4d zero4 = splat<v4d>(0.0);
    v4d T[5][5], U[3][3], Vm[3][3], R = zero4, Wt = zero4;
    for (auto &r : T)
        for (auto &v : r) v = zero4;
    for (auto &r : U)
        for (auto &v : r) v = zero4;
    for (auto &r : Vm)
        for (auto &v : r) v = zero4;
    for_each_group(
        grid, [&](auto lanes, int g, auto mask) __attribute__((always_inline)) {
            using W = typename decltype(lanes)::type;
            const W zero = splat<W>(0.0);
            W t0 = zero, t1 = zero, t2 = zero, t3 = zero, t4 = zero, u0 = zero, u1 = zero, u2 = zero,
              w0 = zero, w1 = zero, w2 = zero, rs = zero, ws = zero;
#pragma GCC unroll 4
            for (int j = 0; j < side; j++) {
                const long k = grid.base(g, j);
                const W ev = load<W>(e + k);
                W we, r, w;
                weights.pixel(mask, k, ev, we, r, w);
                const W e2 = we * ev, er = ev * r;
                const auto d1 = dx1.template get<W>(j), d2 = dx2.template get<W>(j);
                t0 += e2, t1 = Fma::fmadd(e2, d1, t1), t2 = Fma::fmadd(e2, d2, t2);
                t3 = Fma::fmadd(e2, dx3.template get<W>(j), t3),
                t4 = Fma::fmadd(e2, dx4.template get<W>(j), t4);
                u0 += we, u1 = Fma::fmadd(we, d1, u1), u2 = Fma::fmadd(we, d2, u2);
                w0 += er, w1 = Fma::fmadd(er, d1, w1), w2 = Fma::fmadd(er, d2, w2);
                rs += r;
                if constexpr (Weights::kSummed) ws += w;
            }
            const W dy = grid.template rows<W>(g) - cy;
            const W dy2 = dy * dy, dy3 = dy2 * dy, dy4 = dy2 * dy2;
            const W dyp[5] = {splat<W>(1.0), dy, dy2, dy3, dy4};  // dy^0 = 1: its sums are added alone
            const W t[5] = {t0, t1, t2, t3, t4}, u[3] = {u0, u1, u2}, w[3] = {w0, w1, w2};
            auto add = [&]<int H>() __attribute__((always_inline)) {
                for (int a = 0; a < 5; a++) {
                    T[a][0] += half<H>(t[a]);
                    for (int b = 1; a + b < 5; b++)
                        T[a][b] = Fma::fmadd(half<H>(t[a]), half<H>(dyp[b]), T[a][b]);
                }
                for (int a = 0; a < 3; a++) {
                    U[a][0] += half<H>(u[a]);
                    Vm[a][0] += half<H>(w[a]);
                    for (int b = 1; a + b < 3; b++) {
                        U[a][b] = Fma::fmadd(half<H>(u[a]), half<H>(dyp[b]), U[a][b]);
                        Vm[a][b] = Fma::fmadd(half<H>(w[a]), half<H>(dyp[b]), Vm[a][b]);
                    }
                }
                R += half<H>(rs);
                Wt += half<H>(ws);
            };
            add.template operator()<0>();
            if constexpr (lanes_of<W> == 8) {
                if (grid.upper_half(g)) add.template operator()<1>();
            }
        });
    // The four-lane totals reduced four at a time, each as hsum() would, in
    // the order of Moments' indices.
    double *o = out->s;
    store(o + 0, hsum4(T[0][0], T[0][1], T[0][2], T[0][3]));
    store(o + 4, hsum4(T[0][4], T[1][0], T[1][1], T[1][2]));
    store(o + 8, hsum4(T[1][3], T[2][0], T[2][1], T[2][2]));
    store(o + 12, hsum4(T[3][0], T[3][1], T[4][0], U[0][0]));
    store(o + 16, hsum4(U[0][1], U[0][2], U[1][0], U[1][1]));
    store(o + 20, hsum4(U[2][0], Vm[0][0], Vm[0][1], Vm[0][2]));
    store(o + 24, hsum4(Vm[1][0], Vm[1][1], Vm[2][0], R));
    store(o + 28, hsum4(Wt, zero4, zero4, zero4));
    static_assert(Moments::t_index(4, 0) == 14 && Moments::u_index(0, 0) == 15 &&
                  Moments::u_index(2, 0) == 20 && Moments::v_index(0, 0) == 21 &&
                  Moments::v_index(2, 0) == 26 && Moments::kR == 27 && Moments::kW == 28);
    if constexpr (!Weights::kSummed) out->s[Moments::kW] = weights.total();
}

// A = J^T W J and g = J^T r from the moments: J_k J_l summed over the
// pixels is the product of the two polynomials against the moments of
// w e^2, as sum_u c_ku (sum_v c_lv T[..]); J_k alone against the moments of
// w e; J_k r against those of e r. The loops run over compile-time
// structure and unroll completely.
template <class Fma>
GAUSS2_INLINE void assemble(const Moments &m, const Derivatives &d, double *__restrict A,
                            double *__restrict g) {
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
                    inner = Fma::fmadd(d.coef[l][v],
                                       m.T(kPowX[k][u] + kPowX[l][v], kPowY[k][u] + kPowY[l][v]), inner);
                sum = Fma::fmadd(d.coef[k][u], inner, sum);
            }
            A[k * 7 + l] = A[l * 7 + k] = d.scale[k] * d.scale[l] * sum;
        }
        double su = 0.0, sv = 0.0;
#pragma GCC unroll 4
        for (int u = 0; u < kTerms[k]; u++) {
            su = Fma::fmadd(d.coef[k][u], m.U(kPowX[k][u], kPowY[k][u]), su);
            sv = Fma::fmadd(d.coef[k][u], m.V(kPowX[k][u], kPowY[k][u]), sv);
        }
        A[k * 7 + 6] = A[6 * 7 + k] = d.scale[k] * su;
        g[k] = d.scale[k] * sv;
    }
    A[6 * 7 + 6] = m.W();
    g[6] = m.R();
}

// At p, whose shape is s, with e from trial() there: A = J^T J (7 x 7,
// symmetric) and g = J^T (x - f(p)), from moments of e (no n x 7 Jacobian).
template <class Layout>
GAUSS2_INLINE void normal_equations(int side, const double *__restrict x, const double *__restrict e,
                                    const Shape &s, const double *p, double *__restrict columns,
                                    double *__restrict A, double *__restrict g) {
    Moments m;
    moments<Layout>(side, e, s.cx, s.cy, UnitWeights<Layout>{side, x, s}, columns, &m);
    assemble<typename Layout::Fma>(m, derivatives_of(p), A, g);
}

// Square root of the sum of squared deviations of the residuals r from
// their mean: sqrt(n) times their population standard deviation, summed in
// pixel order (r in the layout of the given lanes). Not inlined: built once,
// for the baseline, so that every path sums alike.
template <int Lanes>
[[gnu::noinline]] double residual_noise_of(int side, const double *r);

// The residual noise at the model of shape s (e from trial() there): the
// residuals are formed as the passes form them, into `scratch` (a patch's
// doubles), then summed by residual_noise_of.
template <class Layout>
GAUSS2_INLINE double residual_noise(int side, const double *x, const double *e, const Shape &s,
                                    double *scratch) {
    const Grid<Layout> grid(side);
    for_each_group(
        grid, [&](auto lanes, int g, auto mask) __attribute__((always_inline)) {
            using W = typename decltype(lanes)::type;
#pragma GCC unroll 4
            for (int j = 0; j < side; j++) {
                const long k = grid.base(g, j);
                store(scratch + k, residual<typename Layout::Fma>(x, k, load<W>(e + k), s, mask));
            }
        });
    return residual_noise_of<Layout::kW>(side, scratch);
}

// ---- the Poisson likelihood ------------------------------------------------------

// -log L + const = sum (m - y log m) of the data y (in the layout, 0 at
// padding) under the mean m = f + s2 of the model f of shape s plus the
// variances s2 (in the layout); +inf if m < DBL_MIN on any pixel (outside
// the likelihood's domain; NaN counts as outside). Stores the pixels'
// exponentials e as trial() does.
template <class Layout>
GAUSS2_INLINE double poisson_trial(int side, const double *__restrict y, const double *__restrict s2,
                                   const Shape s, double *__restrict e_out, double *__restrict columns) {
    const Grid<Layout> grid(side);
    exponent_columns<Layout>(side, columns, s);
    using Fma = typename Layout::Fma;
    const ColumnTerms<Layout> dxv(columns, side, 0), adx2(columns, side, 1);
    double *aside = aside_of<Layout>(columns, side);
    v4d F = splat<v4d>(0.0);
    bool outside = false;  // a pixel outside the domain
    for_each_group(
        grid, [&](auto lanes, int g, auto mask) __attribute__((always_inline)) {
            using W = typename decltype(lanes)::type;
            const W one = splat<W>(1.0), lowest = splat<W>(0x1p-1022);
            const W dy = grid.template rows<W>(g) - s.cy;
            const W bdy = s.b * dy, cdy2 = s.c * (dy * dy);
            ints_of<W> out{};  // lanes outside the domain
#pragma GCC unroll 4
            for (int j = 0; j < side; j++) {
                const long k = grid.base(g, j);
                const W t = Fma::fmadd(bdy, dxv.template get<W>(j), adx2.template get<W>(j) + cdy2);
                const W e = masked(vexp<Fma>(t), mask);
                const W m = kept(mask, Fma::fmadd(e, s.height, s.offset + load<W>(s2 + k)), one);
                out |= ~(m >= lowest);
                store(e_out + k, e);
                const W term = masked(Fma::fnmadd(load<W>(y + k), vlog<Fma>(m), m), mask);
                F += half<0>(term);
                if constexpr (lanes_of<W> == 8) store(aside + 4L * j, half<1>(term));
            }
            if constexpr (lanes_of<W> == 8) {
                if (grid.upper_half(g))
                    for (int j = 0; j < side; j++) F += load<v4d>(aside + 4L * j);
            }
            long long any = 0;
            for (int l = 0; l < lanes_of<W>; l++) any |= out[l];
            outside = outside || any != 0;
        });
    if (outside) return __builtin_inf();
    return hsum(F);
}

// At p, whose shape is s, with e from poisson_trial() there: the Fisher
// information I = sum J J^T / m (7 x 7) and the score sum (y / m - 1) J.
template <class Layout>
GAUSS2_INLINE void poisson_information(int side, const double *__restrict y, const double *__restrict s2,
                                       const double *__restrict e, const Shape &s, const double *p,
                                       double *__restrict columns, double *__restrict I,
                                       double *__restrict score) {
    // The derivatives first: their divisions and roots then run while the
    // pass, bound by its own divisions, streams through the pixels (2 %
    // more fits/s measured here; least squares gained nothing from it).
    const Derivatives d = derivatives_of(p);
    Moments m;
    moments<Layout>(side, e, s.cx, s.cy, PoissonWeights<Layout>{{s2, s.height, s.offset}, y}, columns, &m);
    assemble<typename Layout::Fma>(m, d, I, score);
}

// sum (y - y log y) over the pixels (0 log 0 = 0): -log L + const of the
// saturated model m = y (0 at padding).
template <class Layout>
GAUSS2_INLINE double poisson_saturated(int side, const double *__restrict y, double *columns) {
    const Grid<Layout> grid(side);
    double *aside = aside_of<Layout>(columns, side);
    v4d S = splat<v4d>(0.0);
    for_each_group(
        grid, [&](auto lanes, int g, auto) __attribute__((always_inline)) {
            using W = typename decltype(lanes)::type;
#pragma GCC unroll 4
            for (int j = 0; j < side; j++) {
                const W yv = load<W>(y + grid.base(g, j));
                const W log_y = vlog<typename Layout::Fma>(yv > 0.0 ? yv : splat<W>(1.0));
                const W term = yv > 0.0 ? Layout::Fma::fnmadd(yv, log_y, yv) : splat<W>(0.0);
                S += half<0>(term);
                if constexpr (lanes_of<W> == 8) store(aside + 4L * j, half<1>(term));
            }
            if constexpr (lanes_of<W> == 8) {
                if (grid.upper_half(g))
                    for (int j = 0; j < side; j++) S += load<v4d>(aside + 4L * j);
            }
        });
    return hsum(S);
}

// B = J^T diag(f + s2) J at p, with e from a trial there.
template <class Layout>
GAUSS2_INLINE void variance_information(int side, const double *__restrict s2, const double *__restrict e,
                                        const Shape &s, const double *p, double *__restrict columns,
                                        double *__restrict B) {
    Moments m;
    moments<Layout>(side, e, s.cx, s.cy, VarianceWeights<Layout>{{s2, s.height, s.offset}}, columns, &m);
    double unused[7];
    assemble<typename Layout::Fma>(m, derivatives_of(p), B, unused);
}

}  // namespace gauss2

#pragma GCC diagnostic pop
