// Vectorised inner loops of the patch fit, written on the four-lane vectors
// of gauss2_simd.h and built for AVX-512, AVX2 + FMA and baseline x86-64,
// chosen at load time. NaN and infinity propagate as in scalar code (no
// fast-math).

#include "gauss2_kernel.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "gauss2_model.h"

// The baseline version only: under clang 14 (the libFuzzer build), which
// cannot multiversion function templates, and under the thread sanitizer,
// whose instrumented resolvers would run before its runtime is set up.
#if defined(__clang__) || defined(__SANITIZE_THREAD__)
#define GAUSS2_CLONES
#else
#define GAUSS2_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif

namespace gauss2 {

// Multi-versioned functions stay in this anonymous namespace: the compiler
// would otherwise export their dispatchers from the library.
namespace {

// The rows of row group g (padding repeats the last row) and their weights.
[[gnu::always_inline]] inline v4d group_lanes(int g) { return splat(kLanes * g) + v4d{0.0, 1.0, 2.0, 3.0}; }
[[gnu::always_inline]] inline v4d group_rows(int g, int side) {
    const v4d row = group_lanes(g);
    return row < splat(side) ? row : splat(side - 1);
}
[[gnu::always_inline]] inline v4d group_mask(int g, int side) {
    return group_lanes(g) < splat(side) ? splat(1.0) : splat(0.0);
}

// Offset of column j's vector within a row group of the layout.
[[gnu::always_inline]] inline long column_offset(int j) {
    const int offset = kLanes * j;  // within one row group: a small int
    return offset;
}

// Term k of a pass's per-column terms: one vector per column, block k of
// `columns`.
[[gnu::always_inline]] inline v4d *column_terms(double *columns, int side, int k) {
    return reinterpret_cast<v4d *>(columns) + static_cast<long>(k) * side;
}

// The per-column terms of the exponent t = (a dx + b dy) dx + c dy^2 of a
// trial: dx and a dx^2 of each column, splat across the lanes.
[[gnu::always_inline]] inline void exponent_columns(int side, const Shape &s, v4d *dxv, v4d *adx2) {
    for (int j = 0; j < side; j++) {
        const double dx = j - s.cx;
        dxv[j] = splat(dx);
        adx2[j] = splat(s.a * (dx * dx));
    }
}

GAUSS2_CLONES
double trial_simd(int side, const double *__restrict x, const Shape &s, double *__restrict e_out,
                  double *__restrict r_out, double *__restrict columns) {
    const int groups = padded(side) / kLanes;
    v4d *dxv = column_terms(columns, side, 0), *adx2 = column_terms(columns, side, 1);
    exponent_columns(side, s, dxv, adx2);
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
            const v4d r = ((load(xg + column_offset(j)) - s.offset) - e * s.height) * mask;
            store(eg + column_offset(j), e);
            store(rg + column_offset(j), r);
            E += r * r;
        }
    }
    return hsum(E);
}

// Sums over the pixels of the Jacobian's forms (gauss2_model.h):
// T[a][b] = sum w e^2 dx^a dy^b (a + b <= 4), U[a][b] = sum w e dx^a dy^b and
// V[a][b] = sum e r dx^a dy^b (a + b <= 2), R = sum r, W = sum w.
struct Moments {
    double T[5][5], U[3][3], V[3][3], R, W;
};

// The pixels' weights w and residuals r in the moments, as a policy of the
// pass: group(g) prepares row group g, pixel(group, k, e, we, r, w) gives
// for the lanes at element k of the layout (exponentials e) the weighted
// exponentials we = w e, the residuals r and the weights w; W is summed over
// the pixels when kSummed, else total().
//
// Least squares weighs every pixel alike and takes the residuals x - f of
// the last trial.
struct UnitWeights {
    int side;
    const double *res;
    static constexpr bool kSummed = false;
    struct Group {};
    [[gnu::always_inline]] Group group(int /*g*/) const { return {}; }
    [[gnu::always_inline]] void pixel(Group, long k, v4d e, v4d &we, v4d &r, v4d & /*w*/) const {
        we = e;
        r = load(res + k);
    }
    double total() const { return static_cast<double>(side) * side; }
};

// The Poisson mean m = f + s2 = e height + offset + s2 of each pixel (the
// data's variance s2 in the layout), from which the two passes below weigh
// the pixels. Padding lanes weigh nothing.
struct MeanWeights {
    int side;
    const double *s2;
    double height, offset;
    static constexpr bool kSummed = true;
    struct Group {
        v4l valid;
    };
    [[gnu::always_inline]] Group group(int g) const { return {group_lanes(g) < splat(side)}; }
    [[gnu::always_inline]] v4d mean(long k, v4d e) const { return e * height + (offset + load(s2 + k)); }
    double total() const { return 0.0; }
};

// The Poisson likelihood of the data y = x + s2 (in the layout) under the
// mean m: the Fisher information is sum J J^T / m (w = 1 / m) and the score
// sum (y / m - 1) J (r = y / m - 1).
struct PoissonWeights : MeanWeights {
    const double *y;
    [[gnu::always_inline]] void pixel(Group grp, long k, v4d e, v4d &we, v4d &r, v4d &w) const {
        const v4d inv = splat(1.0) / (grp.valid ? mean(k, e) : splat(1.0));
        w = grp.valid ? inv : splat(0.0);
        r = grp.valid ? load(y + k) * inv - 1.0 : splat(0.0);
        we = e * w;
    }
};

// The photon-noise variance m of each pixel as its weight, for the middle
// term J^T diag(f + s2) J of the least-squares sandwich (no residuals).
struct VarianceWeights : MeanWeights {
    [[gnu::always_inline]] void pixel(Group grp, long k, v4d e, v4d &we, v4d &r, v4d &w) const {
        w = grp.valid ? mean(k, e) : splat(0.0);
        r = splat(0.0);
        we = e * w;
    }
};

// Per row group, sums along x keep one row in each lane; they are then
// weighted with the powers of the lanes' dy.
template <class Weights>
GAUSS2_CLONES void moments_simd(int side, const double *__restrict e, double cx, double cy,
                                const Weights &weights, double *__restrict columns, Moments *out) {
    const int groups = padded(side) / kLanes;
    v4d *dx1 = column_terms(columns, side, 0), *dx2 = column_terms(columns, side, 1);
    v4d *dx3 = column_terms(columns, side, 2), *dx4 = column_terms(columns, side, 3);
    for (int j = 0; j < side; j++) {
        const double dx = j - cx;
        dx1[j] = splat(dx), dx2[j] = splat(dx * dx), dx3[j] = splat(dx * dx * dx),
        dx4[j] = splat(dx * dx * (dx * dx));
    }
    const v4d zero = splat(0.0);
    v4d T[5][5], U[3][3], V[3][3], R = zero, W = zero;
    for (auto &r : T)
        for (auto &v : r) v = zero;
    for (auto &r : U)
        for (auto &v : r) v = zero;
    for (auto &r : V)
        for (auto &v : r) v = zero;
    for (int g = 0; g < groups; g++) {
        const long base = static_cast<long>(g) * side * kLanes;
        const double *eg = e + base;
        const auto grp = weights.group(g);
        v4d t0 = zero, t1 = zero, t2 = zero, t3 = zero, t4 = zero;
        v4d u0 = zero, u1 = zero, u2 = zero, w0 = zero, w1 = zero, w2 = zero, rs = zero, ws = zero;
        for (int j = 0; j < side; j++) {
            const v4d ev = load(eg + column_offset(j));
            v4d we, r, w;
            weights.pixel(grp, base + column_offset(j), ev, we, r, w);
            const v4d e2 = we * ev, er = ev * r;
            t0 += e2, t1 += e2 * dx1[j], t2 += e2 * dx2[j], t3 += e2 * dx3[j], t4 += e2 * dx4[j];
            u0 += we, u1 += we * dx1[j], u2 += we * dx2[j];
            w0 += er, w1 += er * dx1[j], w2 += er * dx2[j];
            rs += r;
            if constexpr (Weights::kSummed) ws += w;
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
        W += ws;
    }
    for (int a = 0; a < 5; a++)
        for (int b = 0; a + b < 5; b++) out->T[a][b] = hsum(T[a][b]);
    for (int a = 0; a < 3; a++)
        for (int b = 0; a + b < 3; b++) {
            out->U[a][b] = hsum(U[a][b]);
            out->V[a][b] = hsum(V[a][b]);
        }
    out->R = hsum(R);
    out->W = Weights::kSummed ? hsum(W) : weights.total();
}

// A = J^T W J and g = J^T r from the moments: J_k J_l summed over the
// pixels is the product of the two polynomials against the moments of
// w e^2, as sum_u c_ku (sum_v c_lv T[..]); J_k alone against the moments of
// w e; J_k r against those of e r. The loops run over compile-time
// structure and unroll completely.
[[gnu::always_inline]] inline void assemble(const Moments &m, const Derivatives &d, double *__restrict A,
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
    A[6 * kParams + 6] = m.W;
    g[6] = m.R;
}

GAUSS2_CLONES
void normal_equations_simd(int side, const double *__restrict e, const double *__restrict r, const Shape &s,
                           const double *p, double *__restrict columns, double *__restrict A,
                           double *__restrict g) {
    Moments m;
    moments_simd(side, e, s.cx, s.cy, UnitWeights{side, r}, columns, &m);
    assemble(m, derivatives_of(p), A, g);
}

// -log L + const of the data y (x + s2, clamped at 0) under the mean
// m = e height + offset + s2: sum (m - y log m) over the pixels; +inf when
// m < DBL_MIN on any pixel (outside the likelihood's domain). The
// exponentials are stored as trial_simd stores them.
GAUSS2_CLONES
double poisson_trial_simd(int side, const double *__restrict y, const double *__restrict s2, const Shape &s,
                          double *__restrict e_out, double *__restrict columns) {
    const int groups = padded(side) / kLanes;
    v4d *dxv = column_terms(columns, side, 0), *adx2 = column_terms(columns, side, 1);
    exponent_columns(side, s, dxv, adx2);
    const v4d one = splat(1.0), lowest = splat(0x1p-1022);
    v4d F = splat(0.0);
    v4l outside = v4l{0, 0, 0, 0};
    for (int g = 0; g < groups; g++) {
        const v4d dy = group_rows(g, side) - s.cy, mask = group_mask(g, side);
        const v4l valid = group_lanes(g) < splat(side);
        const v4d bdy = s.b * dy, cdy2 = s.c * (dy * dy);
        const long base = static_cast<long>(g) * side * kLanes;
#pragma GCC unroll 4
        for (int j = 0; j < side; j++) {
            const long k = base + column_offset(j);
            const v4d e = vexp(bdy * dxv[j] + (adx2[j] + cdy2)) * mask;
            const v4d m = valid ? e * s.height + (s.offset + load(s2 + k)) : one;
            outside |= ~(m >= lowest);  // NaN counts as outside
            store(e_out + k, e);
            F += (m - load(y + k) * vlog(m)) * mask;
        }
    }
    if (outside[0] | outside[1] | outside[2] | outside[3]) return __builtin_inf();
    return hsum(F);
}

GAUSS2_CLONES
void poisson_information_simd(int side, const double *__restrict y, const double *__restrict s2,
                              const double *__restrict e, const Shape &s, const double *p,
                              double *__restrict columns, double *__restrict I, double *__restrict score) {
    Moments m;
    moments_simd(side, e, s.cx, s.cy, PoissonWeights{{side, s2, s.height, s.offset}, y}, columns, &m);
    assemble(m, derivatives_of(p), I, score);
}

GAUSS2_CLONES
double poisson_saturated_simd(int side, const double *__restrict y) {
    const int groups = padded(side) / kLanes;
    v4d S = splat(0.0);
    for (int g = 0; g < groups; g++) {
        const v4l valid = group_lanes(g) < splat(side);
        const long base = static_cast<long>(g) * side * kLanes;
        for (int j = 0; j < side; j++) {
            const v4d yv = load(y + base + column_offset(j));
            const v4l positive = valid && yv > splat(0.0);
            S += positive ? yv - yv * vlog(positive ? yv : splat(1.0)) : splat(0.0);
        }
    }
    return hsum(S);
}

GAUSS2_CLONES
void variance_information_simd(int side, const double *__restrict s2, const double *__restrict e,
                               const Shape &s, const double *p, double *__restrict columns,
                               double *__restrict B) {
    Moments m;
    moments_simd(side, e, s.cx, s.cy, VarianceWeights{{side, s2, s.height, s.offset}}, columns, &m);
    double unused[kParams];
    assemble(m, derivatives_of(p), B, unused);
}

// y[i] = F()(x[i]) for n values, a vector at a time (n a multiple of
// kLanes). F's call is always inlined: a call of a function built for
// another instruction set would pass the vector by another convention.
template <class F>
[[gnu::always_inline]] inline void map_lanes(const double *x, double *y, long n) {
    for (long i = 0; i < n; i += kLanes) {
        v4d v;
        std::memcpy(&v, x + i, sizeof v);
        v = F()(v);
        std::memcpy(y + i, &v, sizeof v);
    }
}
struct Log {
    [[gnu::always_inline]] v4d operator()(v4d v) const { return vlog(v); }
};
struct Exp {
    [[gnu::always_inline]] v4d operator()(v4d v) const { return vexp(v); }
};

GAUSS2_CLONES
void log_lanes_simd(const double *x, double *y, long n) { map_lanes<Log>(x, y, n); }

GAUSS2_CLONES
void exp_lanes_simd(const double *x, double *y, long n) { map_lanes<Exp>(x, y, n); }

}  // namespace

double trial(int side, const double *x, const Shape &s, double *e, double *r, double *columns) {
    return trial_simd(side, x, s, e, r, columns);
}

void normal_equations(int side, const double *e, const double *r, const Shape &s, const double *p,
                      double *columns, double *A, double *g) {
    normal_equations_simd(side, e, r, s, p, columns, A, g);
}

void exp_lanes(const double *x, double *y, long n) { exp_lanes_simd(x, y, n); }

void log_lanes(const double *x, double *y, long n) { log_lanes_simd(x, y, n); }

double poisson_trial(int side, const double *y, const double *s2, const Shape &s, double *e,
                     double *columns) {
    return poisson_trial_simd(side, y, s2, s, e, columns);
}

void poisson_information(int side, const double *y, const double *s2, const double *e, const Shape &s,
                         const double *p, double *columns, double *I, double *score) {
    poisson_information_simd(side, y, s2, e, s, p, columns, I, score);
}

double poisson_saturated(int side, const double *y) { return poisson_saturated_simd(side, y); }

void variance_information(int side, const double *s2, const double *e, const Shape &s, const double *p,
                          double *columns, double *B) {
    variance_information_simd(side, s2, e, s, p, columns, B);
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

// One patch fit's arguments, as solve_patch takes them.
struct PatchFit {
    const double *pixels;
    long row_stride;
    int mea;
    double *params;
    int itmax;
    const lm::Options &opts;
    double *info, *covar, *noise;
};

// Built per instruction set, with the solver inlined into each version.
GAUSS2_CLONES int run_in(const Workspace &ws, const PatchFit &f) {
    PatchProblem problem(f.pixels, f.row_stride, f.mea, ws);
    const int result = lm::solve<kParams>(problem, f.params, f.itmax, f.opts, f.info, f.covar);
    if (f.noise != nullptr) *f.noise = result >= 0 ? problem.residual_noise(f.params) : 0.0;
    return result;
}

// One maximum-likelihood patch fit's arguments, as solve_patch_mle takes them.
struct MleFit {
    const double *pixels;
    long row_stride;
    Variance var;
    int mea;
    double *params;
    int itmax;
    const lm::ScoringOptions &opts;
    MleReport *out;
};

GAUSS2_CLONES int run_in(const Workspace &ws, const MleFit &f) {
    PoissonProblem problem(f.pixels, f.row_stride, f.var, f.mea, ws);
    lm::Matrix<kParams> info;
    MleReport &out = *f.out;
    out.summary = lm::score_fit<kParams>(problem, f.params, f.itmax, f.opts, info);
    for (double &v : out.crlb) v = NAN;
    out.deviance = NAN;
    if (!out.summary.estimate()) return 0;
    lm::Matrix<kParams> inverse;
    if (!lm::detail::inverse_if_full_rank<kParams>(info, inverse)) {
        out.summary.stop = lm::kScoringSingular;
        return 0;
    }
    for (int k = 0; k < kParams; k++) out.crlb[k] = std::sqrt(inverse(k, k));
    out.deviance = 2.0 * (out.summary.final - problem.saturated());
    return 0;
}

// The least-squares sandwich's arguments, as photon_covariance takes them.
struct SandwichFit {
    long row_stride;
    Variance var;
    int mea;
    const double *params;
    double *covar;
};

GAUSS2_CLONES int run_in(const Workspace &ws, const SandwichFit &f) {
    const int side = f.mea;
    // The variances in the patch's slot, no data (y = 0): the likelihood's
    // trial then only evaluates the model and tests f + s2 > 0.
    for (long k = 0; k < patch_doubles(side); k++) ws.x[k] = 0.0, ws.r[k] = 0.0;
    bool valid = true;
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) {
            const double v = f.var.at(i, j, f.row_stride);
            valid = valid && v >= 0.0 && v <= DBL_MAX;
            ws.x[layout_index(side, i, j)] = v;
        }
    const Shape shape = shape_of(f.params);
    if (!valid || !std::isfinite(poisson_trial(side, ws.r, ws.x, shape, ws.e, ws.columns))) return -1;
    lm::Matrix<kParams> A, B;
    lm::Vector<kParams> unused;
    normal_equations(side, ws.e, ws.r, shape, f.params, ws.columns, A.data(), unused.data());
    variance_information(side, ws.x, ws.e, shape, f.params, ws.columns, B.data());
    lm::Matrix<kParams> inv;
    if (!lm::detail::inverse_if_full_rank<kParams>(A, inv)) return -1;
    const lm::Matrix<kParams> C = inv * B * inv;
    for (int r = 0; r < kParams; r++)
        for (int c = 0; c < kParams; c++) f.covar[r * kParams + c] = C(r, c);
    return 0;
}

// The working memory in a frame of its own, sized by the size class; the
// rest of the fit runs below it.
template <int MaxSide, class Fit>
[[gnu::noinline]] int solve_on_stack(const Fit &f) {
    alignas(64) double memory[workspace_doubles(MaxSide)];
    return run_in(Workspace(memory, f.mea), f);
}

template <class Fit>
int solve_on_heap(const Fit &f) {
    constexpr std::size_t kAlign = 64;
    const std::size_t bytes = static_cast<std::size_t>(workspace_doubles(f.mea)) * sizeof(double);
    void *memory = std::aligned_alloc(kAlign, (bytes + kAlign - 1) / kAlign * kAlign);
    if (memory == nullptr) return -1;
    const int result = run_in(Workspace(static_cast<double *>(memory), f.mea), f);
    std::free(memory);
    return result;
}

// The smallest size class from kStackSides[I] on that holds the patch, or
// the heap beyond the last.
template <class Fit, std::size_t I = 0>
int solve_by_class(const Fit &f) {
    if constexpr (I < std::size(kStackSides)) {
        if (f.mea <= kStackSides[I]) return solve_on_stack<kStackSides[I]>(f);
        return solve_by_class<Fit, I + 1>(f);
    } else {
        return solve_on_heap(f);
    }
}

}  // namespace

int solve_patch(const double *pixels, long row_stride, int mea, double *params, int itmax,
                const lm::Options &opts, double *info, double *covar, double *noise) {
    return solve_by_class(PatchFit{pixels, row_stride, mea, params, itmax, opts, info, covar, noise});
}

}  // namespace gauss2

namespace gauss2 {

int solve_patch_mle(const double *pixels, long row_stride, const Variance &var, int mea, double *params,
                    int itmax, const lm::ScoringOptions &opts, MleReport *out) {
    return solve_by_class(MleFit{pixels, row_stride, var, mea, params, itmax, opts, out});
}

int photon_covariance(long row_stride, const Variance &var, int mea, const double *params, double *covar) {
    return solve_by_class(SandwichFit{row_stride, var, mea, params, covar});
}

}  // namespace gauss2
