// Photometry of spots of known shape (gauss2_photometry.h): the groups of
// spots whose windows may overlap, and the fit of one group's signals and
// backgrounds with the shapes held.
//
// The fit of a group is one function (measure_group) and the batch only
// walks the groups, so that the per-group fit can run on any driver that
// hands it a group. The system is small and linear: its size varies with the
// group (2 unknowns a spot), so it is factorised here by a plain Cholesky on
// the caller's working memory; a dynamic-size Eigen decomposition would
// allocate.

#include "gauss2_photometry.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "gauss2_batch.h"
#include "gauss2_model.h"
#include "gauss2_simd.h"

namespace {

constexpr int kMaxGroup = GAUSS2_PHOTOMETRY_MAX_GROUP;
constexpr int kMaxUnknowns = 2 * kMaxGroup;
// A pivot of the factorisation below this share of its diagonal entry
// means that the system is singular to working precision (two spots on
// the same pixels).
constexpr double kPivotShare = 1e-12;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// ---- groups --------------------------------------------------------------------

// The root of i's set, halving the path on the way.
Sint64 find_root(Sint64 *parent, Sint64 i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

// Joins the sets of i and j; the smaller index becomes the root, so that
// each group's root is its first spot.
void join(Sint64 *parent, Sint64 i, Sint64 j) {
    i = find_root(parent, i);
    j = find_root(parent, j);
    if (i < j) parent[j] = i;
    if (j < i) parent[i] = j;
}

// ---- one image -------------------------------------------------------------------

struct Frame {
    const double *im;
    Sint64 w, h;
    double read_var;
    const double *read_var_map;  // null: read_var everywhere

    double variance(Sint64 r, Sint64 c) const { return read_var_map ? read_var_map[r * w + c] : read_var; }
};

// A spot's window, cut to the frame: rows [r0, r1), columns [c0, c1).
struct Window {
    Sint64 r0, r1, c0, c1;
    bool holds(Sint64 r, Sint64 c) const { return r >= r0 && r < r1 && c >= c0 && c < c1; }
};

// A spot of a group as its fit sees it: its window; its reach, the square
// of side 2 mea - 1 around the same pixel (cut to the frame), which holds
// every window that can overlap its own and so every pixel of its group
// where its light is modelled; and its Gaussian.
struct GroupSpot {
    Window win, reach;
    double x, y;
    gauss2::Setup model;  // its Gaussian, sampled at pixel centres as gauss_2d samples it
    double scale;         // the unit-volume Gaussian's height: G = scale exp(exponent)
    double log_scale;     // its logarithm: G = exp(exponent + log_scale)
    double inv_den;       // 1 / model.den: the exponent's division as a product
    double alpha;         // model.std_y2 inv_den: the exponent's dx^2 coefficient
    Sint64 index;         // in the call's arrays

    double distance2(double px, double py) const { return (px - x) * (px - x) + (py - y) * (py - y); }
};

// Why a spot is left out of its group's fit (MEASURED when it is not).
Sint64 spot_problem(const double *s, const Frame &f) {
    const double x = s[0], y = s[1], sx = s[2], sy = s[3], rho = s[4];
    if (!(x >= 0.0 && x < static_cast<double>(f.w) && y >= 0.0 && y < static_cast<double>(f.h)))
        return GAUSS2_PHOTOMETRY_OUTSIDE;
    const bool shape = sx > 0.0 && sx <= DBL_MAX && sy > 0.0 && sy <= DBL_MAX && std::fabs(rho) < 1.0;
    return shape ? GAUSS2_PHOTOMETRY_MEASURED : GAUSS2_PHOTOMETRY_FAILED;
}

// The square of side 2 half + 1 around pixel (cx, cy), cut to the frame.
Window square(const Frame &f, Sint64 cx, Sint64 cy, Sint64 half) {
    return {std::max<Sint64>(0, cy - half), std::min(f.h, cy + half + 1), std::max<Sint64>(0, cx - half),
            std::min(f.w, cx + half + 1)};
}

GroupSpot place_spot(const double *s, const Frame &f, Sint64 mea, Sint64 index) {
    const Sint64 half = mea / 2;
    const auto cx = static_cast<Sint64>(std::floor(s[0])), cy = static_cast<Sint64>(std::floor(s[1]));
    const double unit[7] = {1.0, s[2], s[3], s[0], s[1], s[4], 0.0};
    const gauss2::Setup model = gauss2::setup_of(unit);
    const double scale = model.unit_norm() / gauss2::kTwoPi;
    const double inv_den = 1.0 / model.den;
    return {square(f, cx, cy, half),
            square(f, cx, cy, 2 * half),
            s[0],
            s[1],
            model,
            scale,
            std::log(scale),
            inv_den,
            model.std_y2 * inv_den,
            index};
}

// The pixels of a group, as every solve passes over them, in two tables.
// Lone pixels get the light of one spot only, which is then the only spot
// whose window holds them and so the one whose background they have: for
// each spot, its lone pixels' values, read-noise variances and Gaussian, one
// after another (the spot's normal equations from them are five sums).
// Shared pixels (the others): for each, its value, its read-noise variance,
// the spot whose background it has (as that background's unknown, 2 k + 1)
// and how many spots' light it gets; for each of these (entries, pixel
// after pixel), the spot's signal unknown (2 k) and its Gaussian there. In
// the caller's working memory: the indices as 32-bit integers in a part of
// it that is only ever used for them.
struct PixelTable {
    double *lone_x, *lone_s2, *lone_g;  // lone pixels, spot after spot
    long lone_end[kMaxGroup];           // spot k's lone pixels end here (and start where k - 1's end)
    double *x, *s2;                     // per shared pixel
    std::int32_t *bg, *count;           // per shared pixel
    double *g;                          // per entry
    std::int32_t *unknown;              // per entry
    long n_lone = 0, n_pixels = 0, n_entries = 0;

    // Pixels and entries of a group of kMaxGroup spots, at most: every pixel
    // lies in a window, and every entry of spot k in its reach.
    // (Lone pixels are padded to a multiple of four a spot: 3 more each.)
    static Sint64 max_pixels(Sint64 mea) { return kMaxGroup * (mea * mea + 3); }
    static Sint64 max_entries(Sint64 mea) { return kMaxGroup * (2 * mea - 1) * (2 * mea - 1); }
    // Doubles of memory: 3 doubles a lone pixel, 2 doubles and 2 integers a
    // shared pixel, a double and an integer an entry.
    static Sint64 doubles(Sint64 mea) { return 6 * max_pixels(mea) + (3 * max_entries(mea) + 1) / 2; }

    PixelTable(double *memory, Sint64 mea)
        : lone_x(memory),
          lone_s2(lone_x + max_pixels(mea)),
          lone_g(lone_s2 + max_pixels(mea)),
          x(lone_g + max_pixels(mea)),
          s2(x + max_pixels(mea)),
          bg(reinterpret_cast<std::int32_t *>(s2 + max_pixels(mea))),
          count(bg + max_pixels(mea)),
          g(s2 + 2 * max_pixels(mea)),
          unknown(reinterpret_cast<std::int32_t *>(g + max_entries(mea))) {}
};

// a[i] = exp(a[i]) for n values, four at a time by the kernels' inline
// exp (within about an ulp of exp). This file is built once for every
// machine, so its multiply-adds are the exactly rounded emulation: the same
// bits wherever it runs.
void exponentiate(double *a, long n) {
    long i = 0;
    for (; i + gauss2::lanes_of<gauss2::v4d> <= n; i += gauss2::lanes_of<gauss2::v4d>) {
        const gauss2::v4d r =
            gauss2::vexp<gauss2::FmaEmulated>(gauss2::v4d{a[i], a[i + 1], a[i + 2], a[i + 3]});
        for (int k = 0; k < gauss2::lanes_of<gauss2::v4d>; k++) a[i + k] = r[k];
    }
    if (i == n) return;
    gauss2::v4d rest{};
    for (long k = i; k < n; k++) rest[k - i] = a[k];
    rest = gauss2::vexp<gauss2::FmaEmulated>(rest);
    for (long k = i; k < n; k++) a[k] = rest[k - i];
}

// Below this exponent a spot's light on a pixel outside its own window,
// under 1e-4 of its height (exp(-9.2)), is left out of the table: a
// 5 000-photon spot of width 1.5 px puts at most 0.04 photons there.
constexpr double kNegligible = -9.2;

bool overlap(const Window &a, const Window &b) {
    return a.r0 < b.r1 && b.r0 < a.r1 && a.c0 < b.c1 && b.c0 < a.c1;
}

// A spot seen from one row of pixels: its exponent along the row,
// e(dx) = alpha dx^2 + beta dx + gamma at column offset dx = c - cx (the
// model's exponent, with the division by den taken as a product), the
// columns where its own window holds the row, and those to test for its
// light (wider than the roots of e = kNegligible by two columns or more,
// so that rounding never drops a column: tabulate tests them).
struct RowSpot {
    int spot;
    double cx, alpha, beta, gamma, log_scale;
    Sint64 own0, own1;      // own window's columns (empty if it does not hold the row)
    Sint64 light0, light1;  // columns to test for light, within its reach

    RowSpot() = default;
    RowSpot(const GroupSpot &s, int index, Sint64 r)
        : spot(index), cx(s.model.cx), alpha(s.alpha), log_scale(s.log_scale) {
        const double dy = static_cast<double>(r) - s.model.cy;
        beta = s.model.cross * dy * s.inv_den;
        gamma = s.model.std_x2 * (dy * dy) * s.inv_den;
        const bool own = r >= s.win.r0 && r < s.win.r1;
        own0 = own ? s.win.c0 : 0, own1 = own ? s.win.c1 : 0;
        light0 = light1 = 0;
        const double disc = beta * beta - 4.0 * alpha * (gamma - kNegligible);  // alpha < 0
        if (disc >= 0.0) {
            // Truncation rather than floor and ceil (library calls on the
            // baseline instruction set), its error within the margins.
            const double mid = -beta / (2.0 * alpha), spread = std::sqrt(disc) / (-2.0 * alpha);
            const double lo = std::max(cx + mid - spread, -1e15), hi = std::min(cx + mid + spread, 1e15);
            light0 = std::max(s.reach.c0, static_cast<Sint64>(lo) - 2);
            light1 = std::min(s.reach.c1, static_cast<Sint64>(hi) + 3);
        }
    }
    double exponent(Sint64 c) const {
        const double dx = static_cast<double>(c) - cx;
        return (alpha * dx + beta) * dx + gamma;
    }
};

// Columns of one row of a window, as bits: bit j for the window's column
// c0 + j (a window is at most GAUSS2_MAX_MEA < 64 columns wide).
using Columns = std::uint64_t;
static_assert(GAUSS2_MAX_MEA < 64, "a window's columns fit the bits of Columns");

// The bits of columns [from, to) of a row whose first column is c0.
Columns column_bits(Sint64 from, Sint64 to, Sint64 c0) {
    if (to <= from) return 0;
    const auto lo = static_cast<unsigned>(from - c0), n = static_cast<unsigned>(to - from);
    return (n >= 64 ? ~Columns{0} : (Columns{1} << n) - 1) << lo;
}

bool has(Columns bits, Sint64 j) { return (bits >> j) & 1U; }

// Fills the table of the group's pixels. Each pixel of the union of the
// windows is taken once, from the first window that holds it; its light
// comes from the spots whose window holds it and from those whose reach
// holds it where that light is not negligible, and its background is that
// of the spot, of those whose window holds it, whose centre is nearest the
// pixel's (the first on ties). A pixel that is not finite, or whose
// variance is negative or not finite, is left out. Returns the mean of
// max(x + s2, 0) over the pixels (0 without any).
double tabulate(const Frame &f, const GroupSpot *spots, int n_spots, PixelTable &t) {
    // For each window, the spots whose reach overlaps it, in order: the only
    // ones that can hold its pixels.
    std::uint8_t near[kMaxGroup][kMaxGroup];
    int n_near[kMaxGroup];
    for (int k = 0; k < n_spots; k++) {
        n_near[k] = 0;
        for (int l = 0; l < n_spots; l++)
            if (overlap(spots[l].reach, spots[k].win)) near[k][n_near[k]++] = static_cast<std::uint8_t>(l);
    }
    double sum = 0.0;
    long counted = 0, lone_start = 0;  // pixels in sum; where spot k's lone pixels start
    t.n_lone = t.n_pixels = t.n_entries = 0;
    RowSpot row[kMaxGroup];
    Columns lit[kMaxGroup], own[kMaxGroup];
    for (int k = 0; k < n_spots; k++) {
        const Window &wk = spots[k].win;
        const Sint64 c0 = wk.c0, width = wk.c1 - wk.c0;
        for (Sint64 r = wk.r0; r < wk.r1; r++) {
            // The near spots whose reach spans this row, in order, and the
            // columns of this window where each has light (`lit`): those of
            // its own window, and those where its light is not negligible.
            // Along a row the exponent is a concave parabola, so the latter
            // are one run of columns, found from the ends of the range to
            // test (its values inside the run lie well above the bound).
            // Columns that an earlier window holds were taken with its pixels
            // (`taken`); those that a later window holds too (`contested`) have
            // the background of the nearest centre; those where another spot
            // has light (`crowded`) are shared pixels, the others lone ones.
            int n_row = 0, self = 0;
            Columns taken = 0, contested = 0, crowded = 0;
            for (int u = 0; u < n_near[k]; u++) {
                const int l = near[k][u];
                const GroupSpot &sl = spots[l];
                if (r < sl.reach.r0 || r >= sl.reach.r1) continue;
                const RowSpot &s = row[n_row] = RowSpot(sl, l, r);
                Sint64 a = std::max(s.light0, c0), b = std::min(s.light1, wk.c1);
                while (a < b && !(s.exponent(a) >= kNegligible)) a++;
                while (b > a && !(s.exponent(b - 1) >= kNegligible)) b--;
                own[n_row] = column_bits(std::max(s.own0, c0), std::min(s.own1, wk.c1), c0);
                lit[n_row] = own[n_row] | column_bits(a, b, c0);
                if (l < k) taken |= own[n_row];
                if (l > k) contested |= own[n_row];
                if (l != k) crowded |= lit[n_row];
                if (l == k) self = n_row;
                n_row++;
            }
            const RowSpot &mine = row[self];
            const double py = static_cast<double>(r) + 0.5;
            for (Sint64 j = 0; j < width; j++) {
                const Sint64 c = c0 + j;
                const double x = f.im[r * f.w + c], s2 = f.variance(r, c);
                if (has(taken, j) || !std::isfinite(x) || !(s2 >= 0.0 && s2 <= DBL_MAX)) continue;
                sum += std::max(x + s2, 0.0);
                counted++;
                if (!has(crowded, j)) {  // spot k's light alone: a lone pixel
                    t.lone_x[t.n_lone] = x, t.lone_s2[t.n_lone] = s2;
                    t.lone_g[t.n_lone] = mine.exponent(c) + mine.log_scale;  // exponentiated below
                    t.n_lone++;
                    continue;
                }
                int owner = k;
                if (has(contested, j)) {
                    const double px = static_cast<double>(c) + 0.5;
                    double nearest = spots[k].distance2(px, py);
                    for (int u = 0; u < n_row; u++) {
                        if (row[u].spot <= k || !has(own[u], j)) continue;
                        const double d = spots[row[u].spot].distance2(px, py);
                        if (d < nearest) nearest = d, owner = row[u].spot;
                    }
                }
                std::int32_t n = 0;
                for (int u = 0; u < n_row; u++) {
                    if (!has(lit[u], j)) continue;
                    t.unknown[t.n_entries + n] = 2 * row[u].spot;
                    t.g[t.n_entries + n] = row[u].exponent(c) + row[u].log_scale;  // exponentiated below
                    n++;
                }
                const long p = t.n_pixels++;
                t.x[p] = x, t.s2[p] = s2, t.bg[p] = 2 * owner + 1, t.count[p] = n;
                t.n_entries += n;
            }
        }
        // Whole vectors for add_lone: padding of weight 0 (infinite
        // variance) up to a multiple of four.
        for (; (t.n_lone - lone_start) % gauss2::lanes_of<gauss2::v4d>; t.n_lone++)
            t.lone_x[t.n_lone] = 0.0, t.lone_s2[t.n_lone] = kInfinity, t.lone_g[t.n_lone] = 0.0;
        lone_start = t.n_lone;
        t.lone_end[k] = t.n_lone;
    }
    exponentiate(t.g, t.n_entries);
    exponentiate(t.lone_g, t.n_lone);
    return counted ? sum / static_cast<double>(counted) : 0.0;
}

// A symmetric system of n unknowns in row-major storage (stride n) of which
// the lower triangle is used; the factorisation replaces it in place. Row
// i's entries left of first[i] are zero, and so are L's (a Cholesky factor
// keeps the envelope of its matrix): the loops skip them. A group whose
// spots come in spatial order has a narrow envelope.
struct System {
    double *a;  // n x n
    double *rhs, *diag, *z;
    int n;
    int first[kMaxUnknowns];

    double &at(int i, int j) const { return a[static_cast<long>(i) * n + j]; }

    // The envelope of the lower triangle (after assembly).
    void envelope() {
        for (int i = 0; i < n; i++) {
            int j = 0;
            while (j < i && at(i, j) == 0.0) j++;
            first[i] = j;
        }
    }

    // a = L L^T, L in the lower triangle. False when a pivot is not above
    // kPivotShare of its diagonal entry (NaN included).
    bool factorise() {
        for (int j = 0; j < n; j++) diag[j] = at(j, j);
        for (int j = 0; j < n; j++) {
            double d = at(j, j);
            for (int k = first[j]; k < j; k++) d -= at(j, k) * at(j, k);
            if (!(d > kPivotShare * diag[j])) return false;
            d = std::sqrt(d);
            at(j, j) = d;
            for (int i = j + 1; i < n; i++) {
                if (first[i] > j) continue;
                double s = at(i, j);
                for (int k = std::max(first[i], first[j]); k < j; k++) s -= at(i, k) * at(j, k);
                at(i, j) = s / d;
            }
        }
        return true;
    }

    // x = (L L^T)^-1 rhs.
    void solve(double *x) {
        for (int i = 0; i < n; i++) {
            double s = rhs[i];
            for (int k = first[i]; k < i; k++) s -= at(i, k) * z[k];
            z[i] = s / at(i, i);
        }
        for (int i = n - 1; i >= 0; i--) {
            double s = z[i];
            for (int k = i + 1; k < n; k++)
                if (first[k] <= i) s -= at(k, i) * x[k];
            x[i] = s / at(i, i);
        }
    }

    // Entry i of the diagonal of (L L^T)^-1: |L^-1 e_i|^2.
    double inverse_diagonal(int i) {
        double sum = 0.0;
        for (int j = i; j < n; j++) {
            double s = j == i ? 1.0 : 0.0;
            for (int k = std::max(i, first[j]); k < j; k++) s -= at(j, k) * z[k];
            z[j] = s / at(j, j);
            sum += z[j] * z[j];
        }
        return sum;
    }

    // rhs - A x, A from its lower triangle (before factorise()).
    void residual(const double *x, double *out) {
        for (int i = 0; i < n; i++) {
            double s = rhs[i];
            for (int j = first[i]; j <= i; j++) s -= at(i, j) * x[j];
            for (int j = i + 1; j < n; j++)
                if (first[j] <= i) s -= at(j, i) * x[j];
            out[i] = s;
        }
    }

    static Sint64 doubles(int n_unknowns) { return static_cast<Sint64>(n_unknowns) * (n_unknowns + 6); }
};

// The fit of one group over its pixel table: its system and its estimate
// (theta: spot k's signal at 2 k, its background at 2 k + 1).
class GroupFit {
   public:
    GroupFit(const PixelTable &t, int n_spots, double *memory) : t_(t) {
        const int n = 2 * n_spots;
        const long nn = static_cast<long>(n) * n;
        sys_ = System{memory, memory + nn, memory + nn + n, memory + nn + 2L * n, n, {}};
        theta_ = memory + nn + 3L * n;
        next_ = theta_ + n;
        score_ = next_ + n;
    }

    // The first solve, with equal weights, and the variance floor from the
    // pixels' mean. False if the system is singular.
    bool start(double mean) {
        v_floor_ = mean > 0.0 ? mean / 16.0 : 1.0;
        assemble(false);
        if (!sys_.factorise()) return false;
        sys_.solve(theta_);
        return all_finite(theta_);
    }

    // One reweighted solve at the current estimate; lambda^2 of its step
    // (NaN if the system is singular or the estimate not finite).
    double step() {
        assemble(true);
        sys_.residual(theta_, score_);
        if (!sys_.factorise()) return kNaN;
        sys_.solve(next_);
        double lambda2 = 0.0;
        for (int i = 0; i < sys_.n; i++) lambda2 += (next_[i] - theta_[i]) * score_[i];
        std::swap(theta_, next_);
        return all_finite(theta_) ? lambda2 : kNaN;
    }

    // Whether no pixel informs spot k's signal (none of its window is left)
    // or its background (no pixel is nearest it).
    bool pinned(int k) const { return pinned_[2L * k] || pinned_[2L * k + 1]; }

    // signal, signal_se, bg, bg_se of spot k, from the last factorised system.
    void result(int k, double *out) {
        out[0] = theta_[2L * k];
        out[1] = std::sqrt(sys_.inverse_diagonal(2 * k));
        out[2] = theta_[2L * k + 1];
        out[3] = std::sqrt(sys_.inverse_diagonal(2 * k + 1));
    }

   private:
    bool all_finite(const double *v) const {
        for (int i = 0; i < sys_.n; i++)
            if (!std::isfinite(v[i])) return false;
        return true;
    }

    // The normal equations sum J J^T w, sum J w x with w = 1 (poisson
    // false) or 1 / max(m + s2, v_floor) at the current estimate. Unknowns
    // that no pixel informs are pinned at 0 (unit diagonal, zero right-hand
    // side: a Gram matrix's row with a zero diagonal is zero).
    void assemble(bool poisson) {
        const int n = sys_.n;
        for (long i = 0; i < static_cast<long>(n) * n; i++) sys_.a[i] = 0.0;
        for (int i = 0; i < n; i++) sys_.rhs[i] = 0.0;
        for (int k = 0, first = 0; k < n / 2; first = static_cast<int>(t_.lone_end[k]), k++)
            add_lone(k, first, t_.lone_end[k], poisson);
        const std::int32_t *unknown = t_.unknown;
        const double *g = t_.g;
        for (long p = 0; p < t_.n_pixels; p++) {
            const int b = t_.bg[p], n_cover = t_.count[p];
            double w = 1.0;
            if (poisson) {
                double m = theta_[b];
                for (int u = 0; u < n_cover; u++) m += theta_[unknown[u]] * g[u];
                w = 1.0 / std::max(m + t_.s2[p], v_floor_);
            }
            const double x = t_.x[p];
            if (n_cover == 2) {  // the most common shared pixel: the loop below, unrolled
                const int a0 = unknown[0], a1 = unknown[1];
                const double g0 = g[0], g1 = g[1], wg0 = w * g0, wg1 = w * g1;
                sys_.rhs[a0] += wg0 * x;
                sys_.at(a0, a0) += wg0 * g0;
                sys_.at(std::max(a0, b), std::min(a0, b)) += wg0;
                sys_.rhs[a1] += wg1 * x;
                sys_.at(a1, a0) += wg1 * g0;
                sys_.at(a1, a1) += wg1 * g1;
                sys_.at(std::max(a1, b), std::min(a1, b)) += wg1;
            } else {
                for (int u = 0; u < n_cover; u++) {
                    const int a = unknown[u];
                    const double wg = w * g[u];
                    double *row = sys_.a + static_cast<long>(a) * n;
                    sys_.rhs[a] += wg * x;
                    for (int v = 0; v <= u; v++) row[unknown[v]] += wg * g[v];
                    sys_.at(std::max(a, b), std::min(a, b)) += wg;
                }
            }
            sys_.at(b, b) += w;
            sys_.rhs[b] += w * x;
            unknown += n_cover, g += n_cover;
        }
        for (int i = 0; i < n; i++) {
            pinned_[i] = sys_.at(i, i) == 0.0;
            if (pinned_[i]) sys_.at(i, i) = 1.0;
        }
        sys_.envelope();
    }

    // Spot k's lone pixels first .. last - 1 into its normal equations: five
    // sums, each kept in four lanes (pixel first + 4 i + l in lane l) and
    // added up at the end. The pixels come in whole vectors: the padding
    // (tabulate) has variance +inf, and so weight 0.
    void add_lone(int k, long first, long last, bool poisson) {
        using gauss2::splat;
        using gauss2::v4d;
        const v4d a = splat(theta_[2L * k]), b = splat(theta_[2L * k + 1]), floor = splat(v_floor_);
        const v4d one = splat(1.0), zero{}, inf = splat(kInfinity);
        v4d gg{}, g1{}, w1{}, gx{}, x1{};
        for (long p = first; p < last; p += gauss2::lanes_of<gauss2::v4d>) {
            const v4d g = lanes(t_.lone_g + p), x = lanes(t_.lone_x + p), s2 = lanes(t_.lone_s2 + p);
            v4d w = s2 < inf ? one : zero;
            if (poisson) {
                const v4d v = b + a * g + s2;
                w = one / (v < floor ? floor : v);
            }
            const v4d wg = w * g;
            gx += wg * x;
            gg += wg * g;
            g1 += wg;
            w1 += w;
            x1 += w * x;
        }
        const v4d sums = gauss2::hsum4(gg, g1, w1, gx);
        sys_.at(2 * k, 2 * k) += sums[0];
        sys_.at(2 * k + 1, 2 * k) += sums[1];
        sys_.at(2 * k + 1, 2 * k + 1) += sums[2];
        sys_.rhs[2L * k] += sums[3];
        sys_.rhs[2L * k + 1] += gauss2::hsum(x1);
    }

    // Four doubles from memory of any alignment.
    static gauss2::v4d lanes(const double *p) {
        gauss2::v4d v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    const PixelTable &t_;
    System sys_{};
    double *theta_, *next_, *score_;
    double v_floor_ = 1.0;
    bool pinned_[kMaxUnknowns] = {};
};

void unmeasured(Sint64 i, Sint64 flag, np_float64 *results, Sint64 *flags, Sint64 *iterations) {
    for (int k = 0; k < GAUSS2_PHOTOMETRY_RESULT_SIZE; k++)
        results[i * GAUSS2_PHOTOMETRY_RESULT_SIZE + k] = kNaN;
    flags[i] = flag;
    if (iterations) iterations[i] = 0;
}

// Measures the spots first .. last - 1, one group: each spot's flag,
// results and iterations.
void measure_group(const Frame &f, Sint64 mea, const np_float64 *spots, Sint64 first, Sint64 last,
                   double *work, np_float64 *results, Sint64 *flags, Sint64 *iterations) {
    if (last - first > kMaxGroup) {
        for (Sint64 i = first; i < last; i++)
            unmeasured(i, GAUSS2_PHOTOMETRY_GROUP_TOO_LARGE, results, flags, iterations);
        return;
    }
    GroupSpot group[kMaxGroup];
    int k = 0;
    for (Sint64 i = first; i < last; i++) {
        const double *s = spots + i * GAUSS2_PHOTOMETRY_SPOT_SIZE;
        const Sint64 problem = spot_problem(s, f);
        unmeasured(i, problem, results, flags, iterations);
        if (problem == GAUSS2_PHOTOMETRY_MEASURED) group[k++] = place_spot(s, f, mea, i);
    }
    if (k == 0) return;
    PixelTable table(work, mea);
    const double mean = tabulate(f, group, k, table);
    GroupFit fit(table, k, work + PixelTable::doubles(mea));
    Sint64 n_iter = 1, outcome = GAUSS2_PHOTOMETRY_NOT_CONVERGED;
    bool ok = fit.start(mean);
    while (ok && n_iter < GAUSS2_PHOTOMETRY_MAX_ITERATIONS) {
        const double lambda2 = fit.step();
        n_iter++;
        ok = !std::isnan(lambda2);
        if (lambda2 <= GAUSS2_PHOTOMETRY_STEP_BOUND) {
            outcome = GAUSS2_PHOTOMETRY_MEASURED;
            break;
        }
    }
    for (int u = 0; u < k; u++) {
        const Sint64 i = group[u].index;
        if (iterations) iterations[i] = n_iter;
        if (!ok || fit.pinned(u)) {
            flags[i] = GAUSS2_PHOTOMETRY_FAILED;
            continue;
        }
        fit.result(u, results + i * GAUSS2_PHOTOMETRY_RESULT_SIZE);
        flags[i] = outcome;
    }
}

void ensure_photometry_mea(Sint64 mea) {
    ensure(mea >= 1 && mea % 2 == 1, "Mea must be odd and positive, got %ld", static_cast<long>(mea));
    gauss2::ensure_mea_bound(mea);
}

}  // namespace

extern "C" {

Sint64 gauss2_photometry_groups(Sint64 n_spots, const np_float64 *spots, Sint64 mea, Sint64 *work,
                                Sint64 *group) {
    ensure(n_spots >= 0 && mea >= 1, "gauss2_photometry_groups: n_spots %ld, mea %ld",
           static_cast<long>(n_spots), static_cast<long>(mea));
    if (n_spots == 0) return 0;
    ensure(spots && work && group, "gauss2_photometry_groups: null spots, work or group");
    Sint64 *parent = work, *order = work + n_spots, *label = work + 2 * n_spots;
    auto x = [&](Sint64 i) { return spots[i * GAUSS2_PHOTOMETRY_SPOT_SIZE]; };
    auto y = [&](Sint64 i) { return spots[i * GAUSS2_PHOTOMETRY_SPOT_SIZE + 1]; };
    Sint64 placed = 0;
    for (Sint64 i = 0; i < n_spots; i++) {
        parent[i] = i;
        if (std::isfinite(x(i)) && std::isfinite(y(i))) order[placed++] = i;
    }
    std::sort(order, order + placed,
              [&](Sint64 a, Sint64 b) { return x(a) < x(b) || (x(a) == x(b) && a < b); });
    const auto reach = static_cast<double>(mea);
    for (Sint64 a = 0; a < placed; a++)
        for (Sint64 b = a + 1; b < placed && x(order[b]) - x(order[a]) < reach; b++)
            if (std::fabs(y(order[b]) - y(order[a])) < reach) join(parent, order[a], order[b]);
    Sint64 count = 0;
    for (Sint64 i = 0; i < n_spots; i++) label[i] = -1;
    for (Sint64 i = 0; i < n_spots; i++) {
        const Sint64 root = find_root(parent, i);
        if (label[root] < 0) label[root] = count++;
        group[i] = label[root];
    }
    return count;
}

Sint64 gauss2_photometry_work_size(Sint64 mea) {
    ensure_photometry_mea(mea);
    return PixelTable::doubles(mea) + System::doubles(kMaxUnknowns);
}

int fit_array_of_gauss_2d_photometry_on_float_image(const np_float64 *im, Sint64 im_w, Sint64 im_h,
                                                    Sint64 mea, Sint64 n_spots, const np_float64 *spots,
                                                    const Sint64 *group, np_float64 read_var,
                                                    const np_float64 *read_var_map, np_float64 *work,
                                                    np_float64 *results, Sint64 *flags, Sint64 *iterations) {
    ensure(im_w >= 1 && im_h >= 1 && im_w <= std::numeric_limits<Sint64>::max() / im_h,
           "photometry: bad image size %ld x %ld", static_cast<long>(im_w), static_cast<long>(im_h));
    ensure_photometry_mea(mea);
    ensure(n_spots >= 0, "photometry: negative n_spots %ld", static_cast<long>(n_spots));
    ensure(read_var >= 0.0 && read_var <= DBL_MAX,
           "photometry: read-noise variance must be finite and >= 0, got %g", read_var);
    if (n_spots == 0) return 0;
    ensure(im && spots && group && work && results && flags,
           "photometry: null image, spots, group, work, "
           "results or flags");
    const Frame f{im, im_w, im_h, read_var, read_var_map};
    for (Sint64 first = 0; first < n_spots;) {
        Sint64 last = first + 1;
        while (last < n_spots && group[last] == group[first]) last++;
        measure_group(f, mea, spots, first, last, work, results, flags, iterations);
        first = last;
    }
    return 0;
}

}  // extern "C"
