// Crowded spots: the multi-emitter maximum-likelihood batch (gauss2_multi.h).
//
// Per peak, from the single fits of all peaks (the caller's first pass):
// where the peak's single fit does not explain its window, or the window
// holds other peaks, joint fits of more emitters (gauss2_multi_problem.h),
// chosen by likelihood-ratio tests; then the rows that the peak owns.

#include "gauss2_multi.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numbers>
#include <utility>

#include "gauss2_batch.h"
#include "gauss2_mle.h"
#include "gauss2_paths.h"

// The LDL^T of the larger systems (up to 26 unknowns) sets each column's
// products W[k] before it reads them, in a loop that GCC does not see
// through at these sizes.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "gauss2_multi_problem.h"

// The joint fits built for AVX-512, AVX2 + FMA and baseline x86-64, one
// chosen at load time, in the builds that have the vector paths
// (gauss2_paths.h). Not under clang, nor under the address sanitizer, where
// three instrumented clones would triple the file's build.
#if !GAUSS2_MULTIVERSION || defined(__clang__) || defined(__SANITIZE_ADDRESS__)
#define GAUSS2_MULTI_CLONES
#else
#define GAUSS2_MULTI_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif

namespace gauss2::multi {

namespace {

constexpr int kMaxParams = size_of(kMaxEmitters);
static_assert(kMaxEmitters == GAUSS2_MULTI_MAX_EMITTERS && kMaxSide == GAUSS2_MULTI_MAX_MEA);
// Peaks up to this many PSF widths beyond a window's edge shine into it:
// their light, from their single fits, is part of its model.
constexpr double kReachSigmas = 2.0;
// How far beyond the window's edge a free emitter's centre may go, in PSF
// widths: an emitter whose molecule lies just beyond the edge is still
// fitted (and reported by the peak it is nearest to), and one that light
// from farther away pulls out stops there.
constexpr double kSlackSigmas = 3.0;
// The joint fits' stopping bound on lambda^2 = s^T I^-1 s (lm/scoring.h): no
// parameter would move by more than 1 % of its standard error. The single
// fits' 1e-6 (0.1 %) cost 11 % more instructions in bench/crowded.py's
// frames at 2 emitters per um^2 and changed none of its scores.
constexpr double kJointEps2 = 1e-4;
// The surrounding peaks that a window's model holds as emitters of fixed
// position, nearest first (photon-fitted: their single fits' light is
// inflated by the window's own spots); any more add their light as known.
constexpr int kFixedRoom = 3;
// Peaks around a window that its model takes in the order of their
// positions: more than any crowd has (at 3 emitters per um^2, a 7 x 7
// window and its surroundings hold about 5).
constexpr int kMaxOthers = 512;
// Rejected steps in a row that end a joint fit: its point lies on the
// domain's boundary.
constexpr int kMaxRejections = 8;
// An emitter is tried (fitted) where its score statistic at a pixel centre
// reaches this share of the likelihood-ratio test's threshold: the test
// with the position free gains more than the statistic at the nearest
// pixel centre, but rarely twice as much.
constexpr double kScreen = 0.5;

// ---- the tests' thresholds ------------------------------------------------------

// x with f(x) = target for a decreasing f on [lo, hi], by bisection.
template <class F>
double solve_decreasing(F f, double target, double lo, double hi) {
    for (int it = 0; it < 200; it++) {
        const double mid = 0.5 * (lo + hi);
        (f(mid) > target ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

// The upper alpha quantile of the standard normal distribution.
double normal_quantile(double alpha) {
    return solve_decreasing([](double z) { return 0.5 * std::erfc(z / std::numbers::sqrt2); }, alpha, -40.0,
                            40.0);
}

// The upper alpha quantile of chi-square with 3 degrees of freedom, whose
// survival function is erfc(sqrt(x / 2)) + sqrt(2 x / pi) exp(-x / 2).
double chi2_3_quantile(double alpha) {
    const auto survival = [](double x) {
        return std::erfc(std::sqrt(0.5 * x)) + std::sqrt(2.0 * x / std::numbers::pi) * std::exp(-0.5 * x);
    };
    return solve_decreasing(survival, alpha, 0.0, 2000.0);
}

// Wilson and Hilferty: chi-square with k degrees of freedom is about
// k (1 - 2 / (9 k) + z sqrt(2 / (9 k)))^3 at the normal deviate z.
double chi2_quantile(double z, double k) {
    const double c = 2.0 / (9.0 * k);
    const double t = 1.0 - c + z * std::sqrt(c);
    return k * t * t * t;
}

struct Selection {
    double gof_z;           // normal deviate of the goodness-of-fit tests
    double lrt_threshold;   // on 2 (log L gain) of one more emitter
    double min_photons;     // of an added emitter
    double min_separation;  // pixels
    double shape_margin;    // on the deviance against the single fit's, in a window without other peaks
};

Selection selection_of(const np_float64 *opts, double sigma) {
    double o[GAUSS2_MULTI_N_OPTS] = GAUSS2_MULTI_DEFAULT_OPTS;
    if (opts != nullptr)
        for (int k = 0; k < GAUSS2_MULTI_N_OPTS; k++)
            if (!std::isnan(opts[k])) o[k] = opts[k];
    return Selection{normal_quantile(o[0]), chi2_3_quantile(o[1]), o[2], o[3] * sigma, o[4]};
}

// ---- neighbours -------------------------------------------------------------------

// The peaks of the batch, searched by rectangle: by binary search on the
// rows when the peaks come sorted by row (as the peak search gives them),
// else by a scan of all.
class Peaks {
   public:
    Peaks(Sint64 n, const Sint64 *cx, const Sint64 *cy) : n_(n), cx_(cx), cy_(cy) {
        for (Sint64 i = 1; i < n && sorted_; i++) sorted_ = cy[i - 1] <= cy[i];
    }

    Sint64 x(Sint64 i) const { return cx_[i]; }
    Sint64 y(Sint64 i) const { return cy_[i]; }

    // f(i) for every peak i other than `self` with a valid pixel in rows
    // r0..r1 and columns c0..c1, in index order.
    template <class F>
    void each_in(Sint64 r0, Sint64 r1, Sint64 c0, Sint64 c1, Sint64 self, F f) const {
        Sint64 i = 0, end = n_;
        if (sorted_) {
            i = std::lower_bound(cy_, cy_ + n_, r0) - cy_;
            end = std::upper_bound(cy_ + i, cy_ + n_, r1) - cy_;
        }
        for (; i < end; i++) {
            if (i == self || cx_[i] < 0 || cy_[i] < 0) continue;
            if (cy_[i] >= r0 && cy_[i] <= r1 && cx_[i] >= c0 && cx_[i] <= c1) f(i);
        }
    }

   private:
    Sint64 n_;
    const Sint64 *cx_, *cy_;
    bool sorted_ = true;
};

// ---- one joint fit ----------------------------------------------------------------

struct JointFit {
    lm::ScoringSummary summary;
    double crlb[kMaxParams];
    double deviance;
};

template <int M>
[[gnu::noinline]] GAUSS2_MULTI_CLONES JointFit fit_joint_m(const WindowData &data, double sigma,
                                                           const Layout &layout, double *p, double *mean) {
    MultiProblem<M> problem(data, sigma, kSlackSigmas * sigma, layout);
    lm::Matrix<M> info;
    JointFit out;
    lm::ScoringOptions options;
    options.max_rejections = kMaxRejections;
    options.eps2 = kJointEps2;
    out.summary = lm::score_fit<M>(problem, p, GAUSS2_MLE_MAX_ITERATIONS, options, info);
    for (double &v : out.crlb) v = NAN;
    out.deviance = NAN;
    if (!out.summary.estimate()) return out;
    lm::Matrix<M> inverse;
    if (!lm::detail::inverse_if_full_rank<M>(info, inverse)) {
        out.summary.stop = lm::kScoringSingular;
        return out;
    }
    for (int k = 0; k < M; k++) out.crlb[k] = std::sqrt(inverse(k, k));
    out.deviance = 2.0 * (out.summary.final - data.saturated());
    if (mean != nullptr) problem.mean(mean);
    return out;
}

template <int... K>
JointFit fit_joint_of(const WindowData &data, double sigma, const Layout &layout, double *p, double *mean,
                      std::integer_sequence<int, K...>) {
    JointFit out{};
    const int m = layout.params();
    (void)((m == size_of(K + 1) ? (out = fit_joint_m<size_of(K + 1)>(data, sigma, layout, p, mean), true)
                                : false) ||
           ...);
    return out;
}

// A joint fit of the model laid out by `layout` from p (layout.params()
// values, replaced by the estimate); `mean` receives the model mu + base at
// an estimate.
JointFit fit_joint(const WindowData &data, double sigma, const Layout &layout, double *p, double *mean) {
    return fit_joint_of(data, sigma, layout, p, mean, std::make_integer_sequence<int, kMaxEmitters>{});
}

template <int M>
[[gnu::noinline]] GAUSS2_MULTI_CLONES double likelihood_m(const WindowData &data, double sigma, double reach,
                                                          const Layout &layout, const double *p, double *I,
                                                          double *score, double *mean) {
    MultiProblem<M> problem(data, sigma, reach, layout);
    const double F = problem.trial(p);
    if (!std::isfinite(F)) return F;
    problem.accept();
    lm::Matrix<M> info;
    lm::Vector<M> s;
    problem.information(p, info, s);
    for (int a = 0; a < M; a++) {
        score[a] = s[a];
        for (int b = 0; b < M; b++) I[a * M + b] = info(a, b);
    }
    problem.mean(mean);
    return F;
}

template <int... K>
double likelihood_of(const WindowData &data, double sigma, double reach, const Layout &layout,
                     const double *p, double *I, double *score, double *mean,
                     std::integer_sequence<int, K...>) {
    double F = NAN;
    const int m = layout.params();
    (void)((m == size_of(K + 1)
                ? (F = likelihood_m<size_of(K + 1)>(data, sigma, reach, layout, p, I, score, mean), true)
                : false) ||
           ...);
    return F;
}

Sint64 flag_of(lm::ScoringStop stop) {
    return stop == lm::kScoringLimit                            ? GAUSS2_FLAG_ITERATION_LIMIT
           : (stop == lm::kConverged || stop == lm::kNoDescent) ? GAUSS2_FLAG_GOOD
                                                                : GAUSS2_FLAG_FAILED;
}

// ---- the batch's arguments ----------------------------------------------------------

struct Batch {
    const np_float64 *im;
    Sint64 im_w, im_h, frame_h, mea;
    Peaks peaks;
    const Sint64 *window_x, *window_y;
    double read_var;
    const np_float64 *read_var_map;
    int max_emitters;
    double sigma;
    Sint64 reach;  // pixels beyond a window's edge whose peaks' light enters its model
    Selection selection;
    const np_float64 *single, *single_std;
    const Sint64 *single_flags, *single_iterations;
    np_float64 *out, *out_std;
    Sint64 *out_flags, *n_rows, *n_emitters, *iterations;

    // Peak q's single fit as an image-coordinate model: its record with the
    // position moved into the frame of the window whose pixel (0, 0) is
    // image pixel (ox, oy); false unless the fit is an estimate of a
    // plausible spot (positive volume, widths within a factor of 3 of the
    // PSF's, a position inside its own window).
    bool single_model(Sint64 q, Sint64 ox, Sint64 oy, double *p) const {
        const np_float64 *r = single + 10 * q;
        const double lo = sigma / 3.0, hi = sigma * 3.0;
        if (single_flags[q] != GAUSS2_FLAG_GOOD || !(r[0] > 0.0) || !(r[1] >= lo && r[1] <= hi) ||
            !(r[2] >= lo && r[2] <= hi) || !(std::fabs(r[5]) < 1.0) || !(r[3] >= 0.0 && r[3] <= mea) ||
            !(r[4] >= 0.0 && r[4] <= mea))
            return false;
        for (int k = 0; k < 7; k++) p[k] = r[k];
        const Sint64 half = mea / 2;
        p[3] += static_cast<double>(window_x[q] - half - ox);
        p[4] += static_cast<double>(window_y[q] - half - oy);
        return true;
    }

    double pixel(Sint64 x, Sint64 y) const {
        return im[static_cast<Uint64>(y) * static_cast<Uint64>(im_w) + static_cast<Uint64>(x)];
    }
};

// The peak's own state while its window is fitted.
struct PeakWindow {
    Sint64 index;
    Sint64 ox, oy;  // the image column and row of the window's pixel (0, 0)
    int side;
    Sint64 top, bottom;  // the rows of the window's frame
};

PeakWindow peak_window(const Batch &b, Sint64 i, const ImageWindow &iw) {
    const Sint64 half = b.mea / 2;
    PeakWindow w{i, b.window_x[i] - half, b.window_y[i] - half, iw.side, 0, 0};
    w.top = w.oy / b.frame_h * b.frame_h;
    w.bottom = w.top + b.frame_h - 1;
    return w;
}

// Writes peak i's single fit as its one row.
void report_single(const Batch &b, const PeakWindow &w) {
    const Sint64 i = w.index, row = i * b.max_emitters;
    const np_float64 *r = b.single + 10 * i, *rs = b.single_std + 10 * i;
    np_float64 *o = b.out + 10 * row, *s = b.out_std + 10 * row;
    for (int k = 0; k < 7; k++) o[k] = r[k], s[k] = rs[k];
    o[3] = static_cast<double>(w.ox) + r[3];
    o[4] = static_cast<double>(w.oy - w.top) + r[4];
    o[8] = r[8];
    b.out_flags[row] = b.single_flags[i];
    b.n_rows[i] = 1;
    b.n_emitters[i] = 1;
    b.iterations[i] = b.single_iterations == nullptr ? 0 : b.single_iterations[i];
}

double distance2(double ax, double ay, double bx, double by) {
    return (ax - bx) * (ax - bx) + (ay - by) * (ay - by);
}

// Whether the emitter at image position (x, y) lies nearer to peak `self`'s
// pixel centre than to any other peak's of the window's frame (another
// frame's peaks are not its neighbours, whatever frames the caller stacks).
bool owned_by(const Batch &b, const PeakWindow &w, double x, double y) {
    const Sint64 self = w.index;
    const double own = distance2(x, y, b.peaks.x(self) + 0.5, b.peaks.y(self) + 0.5);
    const auto r = static_cast<Sint64>(std::ceil(std::sqrt(own))) + 1;
    const auto ix = static_cast<Sint64>(std::floor(x)), iy = static_cast<Sint64>(std::floor(y));
    bool nearest = true;
    b.peaks.each_in(std::max(iy - r, w.top), std::min(iy + r, w.bottom), ix - r, ix + r, self, [&](Sint64 q) {
        if (distance2(x, y, b.peaks.x(q) + 0.5, b.peaks.y(q) + 0.5) < own) nearest = false;
    });
    return nearest;
}

// ---- a window's model -----------------------------------------------------------------

// The emitters of a window's model, the free ones first (the peak's own,
// then the other peaks' of the window, then those added from the residual),
// then those whose centre stays put; and the background.
struct Model {
    Layout layout;
    int from_peaks = 0;  // free emitters that came from peaks
    double n[kMaxEmitters], x[kMaxEmitters], y[kMaxEmitters];
    double background = 0.0;

    int emitters() const { return layout.emitters(); }

    // The solver's parameter vector, and back.
    void pack(double *p) const {
        const int m = layout.params();
        for (int k = 0; k < m; k++) p[k] = 0.0;
        for (int k = 0; k < emitters(); k++) {
            const int at = layout.photons(k);
            p[at] = n[k];
            if (k < layout.free) p[at + 1] = x[k], p[at + 2] = y[k];
        }
        p[m - 1] = background;
    }
    void unpack(const double *p) {
        const int m = layout.params();
        for (int k = 0; k < emitters(); k++) {
            const int at = layout.photons(k);
            n[k] = p[at];
            if (k < layout.free) x[k] = p[at + 1], y[k] = p[at + 2];
        }
        background = p[m - 1];
    }

    // Adds an emitter whose centre stays at (cx, cy).
    void add_fixed(double photons, double cx, double cy) {
        const int k = emitters();
        n[k] = photons, x[k] = cx, y[k] = cy;
        layout.fx[layout.fixed] = cx, layout.fy[layout.fixed] = cy;
        layout.fixed++;
    }
    // Adds a free emitter (before the fixed ones).
    void add_free(double photons, double cx, double cy) {
        for (int k = emitters(); k > layout.free; k--) n[k] = n[k - 1], x[k] = x[k - 1], y[k] = y[k - 1];
        const int k = layout.free++;
        n[k] = photons, x[k] = cx, y[k] = cy;
    }
};

// The window's data for the joint fits: y = x + s2, as the
// maximum-likelihood batch takes them, and s2 as the known part of the mean.
void window_data(const Batch &b, const ImageWindow &w, WindowData &d) {
    d.side = w.side;
    const np_float64 *px = b.im + w.offset;
    const np_float64 *map = b.read_var_map == nullptr ? nullptr : b.read_var_map + w.offset;
    for (int i = 0; i < w.side; i++)
        for (int j = 0; j < w.side; j++) {
            const long at = static_cast<long>(i) * b.im_w + j;
            const double s2 = map == nullptr ? b.read_var : map[at];
            const double v = px[at] + s2;
            const bool valid = s2 >= 0.0 && s2 <= DBL_MAX;
            d.y[i * w.side + j] = !valid ? NAN : (v > 0.0 ? v : (v <= 0.0 ? 0.0 : v));
            d.base[i * w.side + j] = valid ? s2 : 0.0;
        }
    d.check();
}

// Adds the light of a spot with parameters p (7 values, patch frame, the
// offset ignored) into the window's known mean: gauss_2d's model.
void add_known_light(WindowData &d, const double *p) {
    double q[7], patch[kMaxSide * kMaxSide];
    for (int k = 0; k < 7; k++) q[k] = p[k];
    q[6] = 0.0;
    gauss_2d(q, patch, 7, d.size(), nullptr);
    for (int k = 0; k < d.size(); k++)
        if (std::isfinite(patch[k])) d.base[k] += patch[k];
    d.lit = true;
}

// A peak's emitter (photons, x, y in the window's patch frame): its single
// fit's when that is plausible and lies within `slack` pixels of the
// window, else its pixel's centre and height over the background bg.
void emitter_of(const Batch &b, const PeakWindow &w, Sint64 q, double bg, double slack, double *e) {
    double p[7];
    if (b.single_model(q, w.ox, w.oy, p) && p[3] >= -slack && p[3] <= w.side + slack && p[4] >= -slack &&
        p[4] <= w.side + slack) {
        e[0] = p[0], e[1] = p[3], e[2] = p[4];
        return;
    }
    const Sint64 x = b.peaks.x(q), y = b.peaks.y(q);
    e[0] = std::max((b.pixel(x, y) - bg) * (kTwoPi * b.sigma * b.sigma), 1.0);
    e[1] = static_cast<double>(x - w.ox) + 0.5;
    e[2] = static_cast<double>(y - w.oy) + 0.5;
}

// The known light of a peak that has no emitter in this window's model:
// its single fit's spot when plausible, else a PSF of its pixel's height
// over the background bg at its pixel's centre.
void add_peak_light(const Batch &b, const PeakWindow &w, Sint64 q, double bg, WindowData &d) {
    double p[7];
    if (!b.single_model(q, w.ox, w.oy, p)) {
        const Sint64 x = b.peaks.x(q), y = b.peaks.y(q);
        p[0] = std::max((b.pixel(x, y) - bg) * (kTwoPi * b.sigma * b.sigma), 0.0);
        p[1] = p[2] = b.sigma, p[5] = 0.0;
        p[3] = static_cast<double>(x - w.ox) + 0.5, p[4] = static_cast<double>(y - w.oy) + 0.5;
    }
    add_known_light(d, p);
}

// The other peaks of a window's model: those of its frame up to b.reach
// pixels beyond its edges, nearest to the peak first (index order on ties).
struct Others {
    Sint64 at[kMaxEmitters];
    bool inside[kMaxEmitters];
    int n = 0;
};

// The starting model, and the known light. The peak's emitter first; the
// other peaks of the window nearest first, free, up to max_emitters in
// all; then the nearest of the rest (of the window and beyond its edges)
// with their centres fixed, up to kFixedRoom of them; the light of any
// others into the known mean. At most kMaxEmitters emitters in all. Emitters from the
// peaks' single fits where plausible. The background of the peak's single
// fit if plausible, else the window's lowest pixel.
Model start_model(const Batch &b, const PeakWindow &w, WindowData &d) {
    Model m;
    double s2_min = INFINITY, lo = INFINITY;
    for (int k = 0; k < d.size(); k++) {
        s2_min = std::min(s2_min, d.base[k]);
        lo = std::min(lo, d.y[k] - d.base[k]);
    }
    double own[7];
    double bg = b.single_model(w.index, w.ox, w.oy, own) ? own[6] : lo;
    if (!(bg + s2_min > 0.0)) bg = 1.0 - s2_min;
    const double slack = kSlackSigmas * b.sigma - 0.5;
    double e[3];
    emitter_of(b, w, w.index, bg, slack, e);
    m.add_free(e[0], e[1], e[2]);
    // The others, nearest first, in an order of their positions alone (not
    // of the caller's order of the peaks): by squared distance from the
    // peak's pixel, then row, then column.
    const Sint64 cx = b.peaks.x(w.index), cy = b.peaks.y(w.index), last = w.side - 1;
    struct Other {
        Sint64 d2, y, x, q;
        bool operator<(const Other &o) const { return d2 != o.d2 ? d2 < o.d2 : y != o.y ? y < o.y : x < o.x; }
    };
    Other others[kMaxOthers];
    int n = 0;
    b.peaks.each_in(std::max(w.oy - b.reach, w.top), std::min(w.oy + last + b.reach, w.bottom),
                    w.ox - b.reach, w.ox + last + b.reach, w.index, [&](Sint64 q) {
                        const Sint64 x = b.peaks.x(q), y = b.peaks.y(q);
                        if (x == cx && y == cy) return;  // the same pixel: one emitter
                        if (n < kMaxOthers)
                            others[n++] = Other{(x - cx) * (x - cx) + (y - cy) * (y - cy), y, x, q};
                        else
                            add_peak_light(b, w, q, bg, d);  // beyond any plausible crowd
                    });
    std::sort(others, others + n);
    for (int k = 0; k < n; k++) {
        const Sint64 q = others[k].q, x = others[k].x, y = others[k].y;
        const bool inside = x >= w.ox && x <= w.ox + last && y >= w.oy && y <= w.oy + last;
        if (m.emitters() < kMaxEmitters &&
            ((inside && m.layout.free < b.max_emitters) || m.layout.fixed < kFixedRoom)) {
            emitter_of(b, w, q, bg, slack, e);
            if (inside && m.layout.free < b.max_emitters)
                m.add_free(e[0], e[1], e[2]);
            else
                m.add_fixed(e[0], e[1], e[2]);
        } else {
            add_peak_light(b, w, q, bg, d);
        }
    }
    m.from_peaks = m.layout.free;
    m.background = bg;
    return m;
}

// Where the next emitter starts: the pixel centre c, not on the window's
// edge (light there comes mostly from beyond it, and an emitter started
// there leaves the window) and at least the minimum separation from every
// emitter, of the largest score statistic for one more emitter of zero
// photons there, T(c) = (sum (y / m - 1) G_c)^2 / sum G_c^2 / m with G_c the
// PSF (width sigma) centred on c: the PSF-matched residual, weighed by the
// pixels' variances. False if no T(c) with a positive score reaches
// `screen` (the full fit would not pass the likelihood-ratio test); else
// the start (photons from the score step, x, y).
bool next_emitter(const WindowData &d, const double *mean, const Model &m, double sigma, double min_sep,
                  double screen, double *start) {
    const int side = d.side;
    double r[kMaxSide * kMaxSide], w[kMaxSide * kMaxSide], g[kMaxSide];
    for (int k = 0; k < side * side; k++) {
        w[k] = 1.0 / mean[k];
        r[k] = d.y[k] * w[k] - 1.0;
    }
    const double norm = 1.0 / (kTwoPi * sigma * sigma), inv_two_w2 = -0.5 / (sigma * sigma);
    for (int t = 0; t < side; t++) g[t] = std::exp(inv_two_w2 * t * t);  // by offset |i - i'|
    double best = screen;
    int bi = -1, bj = -1;
    double best_step = 0.0;
    for (int ci = 1; ci + 1 < side; ci++)
        for (int cj = 1; cj + 1 < side; cj++) {
            bool apart = true;
            for (int e = 0; e < m.emitters() && apart; e++)
                apart = distance2(cj + 0.5, ci + 0.5, m.x[e], m.y[e]) >= min_sep * min_sep;
            if (!apart) continue;
            double score = 0.0, info = 0.0;
            for (int i = 0; i < side; i++) {
                const double gy = g[std::abs(i - ci)] * norm;
                for (int j = 0; j < side; j++) {
                    const double G = gy * g[std::abs(j - cj)];
                    score += r[i * side + j] * G;
                    info += w[i * side + j] * G * G;
                }
            }
            const double T = score * score / info;
            if (score > 0.0 && T > best) best = T, bi = ci, bj = cj, best_step = score / info;
        }
    if (bi < 0) return false;
    start[0] = best_step;
    start[1] = bj + 0.5;
    start[2] = bi + 0.5;
    return true;
}

// The model with one more free emitter, `e` (photons, x, y), which must stay
// in the window.
Model with_emitter(const Model &m, const double *e) {
    Model n = m;
    n.add_free(e[0], e[1], e[2]);
    return n;
}

// Whether the last free emitter of the fitted model n is a keeper: enough
// photons, and far enough from every other emitter.
bool last_emitter_holds(const Model &n, const Selection &s) {
    const int last = n.layout.free - 1;
    if (!(n.n[last] >= s.min_photons)) return false;
    for (int e = 0; e < n.emitters(); e++)
        if (e != last &&
            distance2(n.x[e], n.y[e], n.x[last], n.y[last]) < s.min_separation * s.min_separation)
            return false;
    return true;
}

// Writes the joint fit's rows that the peak owns: its own emitter, and the
// emitters added from the residual that lie nearer to it than to any other
// peak.
void report_joint(const Batch &b, const PeakWindow &w, const Model &m, const JointFit &f) {
    const Sint64 first = w.index * b.max_emitters;
    const int params = m.layout.params();
    Sint64 rows = 0;
    for (int e = 0; e < m.layout.free; e++) {
        const double x = static_cast<double>(w.ox) + m.x[e];
        const double y = static_cast<double>(w.oy - w.top) + m.y[e];  // in the frame
        if (e > 0 && (e < m.from_peaks || !owned_by(b, w, x, static_cast<double>(w.oy) + m.y[e]))) continue;
        const int at = m.layout.photons(e);
        np_float64 *o = b.out + 10 * (first + rows), *s = b.out_std + 10 * (first + rows);
        o[0] = m.n[e], o[1] = o[2] = b.sigma, o[3] = x, o[4] = y, o[5] = 0.0, o[6] = m.background;
        o[8] = f.deviance;
        s[0] = f.crlb[at], s[1] = s[2] = NAN, s[3] = f.crlb[at + 1], s[4] = f.crlb[at + 2];
        s[5] = NAN, s[6] = f.crlb[params - 1];
        b.out_flags[first + rows] = flag_of(f.summary.stop);
        rows++;
    }
    b.n_rows[w.index] = rows;
    b.n_emitters[w.index] = m.emitters();
    b.iterations[w.index] = f.summary.iterations;
}

// A joint fit of the model m (replaced by the estimate).
JointFit fit_model(const WindowData &d, double sigma, Model &m, double *mean) {
    double p[kMaxParams];
    m.pack(p);
    const JointFit f = fit_joint(d, sigma, m.layout, p, mean);
    m.unpack(p);
    return f;
}

// The joint fits of the window and the choice among them; false if none
// gave an estimate, or one emitter explains a window without other peaks
// or their light (the single fit then stands). An emitter is added while
// the fit with it beats the fit without it by the likelihood-ratio test's
// threshold and, in a window without other peaks, has a deviance below the
// single fit's plus the shape margin: two round emitters have the seven
// parameters of one elliptical Gaussian, and would otherwise split a clean
// elongated spot (a PSF that is not round) whose round model they beat.
[[gnu::noinline]] bool fit_jointly(const Batch &b, const PeakWindow &w, const ImageWindow &iw) {
    WindowData d;
    window_data(b, iw, d);
    Model m = start_model(b, w, d);
    double mean[kMaxSide * kMaxSide], trial_mean[kMaxSide * kMaxSide];
    JointFit f = fit_model(d, b.sigma, m, mean);
    if (!f.summary.estimate() || !std::isfinite(f.deviance)) return false;
    // A window without other peaks: more emitters must also explain it
    // better than one emitter of any shape, the single fit's elliptical
    // Gaussian.
    const double one = m.from_peaks == 1 && b.single_flags[w.index] == GAUSS2_FLAG_GOOD
                           ? b.single[10 * w.index + 8]
                           : INFINITY;
    while (m.layout.free < b.max_emitters && m.emitters() < kMaxEmitters) {
        double e[3];
        if (!next_emitter(d, mean, m, b.sigma, b.selection.min_separation,
                          kScreen * b.selection.lrt_threshold, e))
            break;
        Model n = with_emitter(m, e);
        const JointFit g = fit_model(d, b.sigma, n, trial_mean);
        if (!g.summary.estimate() || !std::isfinite(g.deviance)) break;
        if (!(f.deviance - g.deviance > b.selection.lrt_threshold) ||
            !(g.deviance < one + b.selection.shape_margin) || !last_emitter_holds(n, b.selection))
            break;
        m = n, f = g;
        std::copy(trial_mean, trial_mean + d.size(), mean);
    }
    if (m.emitters() == 1 && !d.lit) return false;
    report_joint(b, w, m, f);
    return true;
}

// Whether the single fit explains the window as one emitter of the PSF:
// an estimate whose log-likelihood ratio statistic passes the
// goodness-of-fit test and whose larger width is not significantly wider
// than the PSF (by its Cramer-Rao bound, at the same significance): two
// close emitters pass for one elongated spot by the first test alone.
bool explained_by_one(const Batch &b, const PeakWindow &w) {
    const np_float64 *r = b.single + 10 * w.index, *rs = b.single_std + 10 * w.index;
    const double dof = static_cast<double>(w.side) * w.side - 7.0;
    if (b.single_flags[w.index] != GAUSS2_FLAG_GOOD || !(dof > 0.0)) return false;
    if (!(r[8] <= chi2_quantile(b.selection.gof_z, dof))) return false;
    const int wide = r[1] >= r[2] ? 1 : 2;
    return r[wide] - b.sigma <= b.selection.gof_z * rs[wide];
}

// Whether the window holds a peak other than w's (at another pixel).
bool has_neighbours(const Batch &b, const PeakWindow &w) {
    bool alone = true;
    const Sint64 cx = b.peaks.x(w.index), cy = b.peaks.y(w.index), last = w.side - 1;
    b.peaks.each_in(w.oy, w.oy + last, w.ox, w.ox + last, w.index,
                    [&](Sint64 q) { alone = alone && b.peaks.x(q) == cx && b.peaks.y(q) == cy; });
    return !alone;
}

// One peak: its single fit, or the joint fits where they are called for.
void fit_peak(const Batch &b, Sint64 i) {
    b.n_rows[i] = 1;
    b.out_flags[i * b.max_emitters] = GAUSS2_FLAG_SKIPPED;
    b.n_emitters[i] = 0;
    b.iterations[i] = 0;
    if (b.peaks.x(i) < 0 || b.peaks.y(i) < 0) return;
    ImageWindow iw;
    if (!image_window(b.im_w, b.im_h, b.window_x[i], b.window_y[i], b.mea, &iw)) return;
    const PeakWindow w = peak_window(b, i, iw);
    const Sint64 cx = b.peaks.x(i), cy = b.peaks.y(i);
    if (cx < w.ox || cx >= w.ox + w.side || cy < w.oy || cy >= w.oy + w.side) return;  // not its window
    if (b.max_emitters > 1 && (has_neighbours(b, w) || !explained_by_one(b, w)) && fit_jointly(b, w, iw))
        return;
    report_single(b, w);
}

}  // namespace

double joint_likelihood_at(const WindowData &data, double sigma, double reach, const Layout &layout,
                           const double *p, double *I, double *score, double *mean) {
    return likelihood_of(data, sigma, reach, layout, p, I, score, mean,
                         std::make_integer_sequence<int, kMaxEmitters>{});
}

}  // namespace gauss2::multi

extern "C" {

int fit_array_of_gauss_2d_multi_mle_on_float_image(
    const np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 frame_h, Sint64 mea, Sint64 n_peaks,
    const Sint64 *center_x, const Sint64 *center_y, const Sint64 *window_x, const Sint64 *window_y,
    Sint64 first, Sint64 count, np_float64 read_var, const np_float64 *read_var_map, Sint64 max_emitters,
    np_float64 psf_sigma, const np_float64 *opts, const np_float64 *single, const np_float64 *single_std,
    const Sint64 *single_flags, const Sint64 *single_iterations, np_float64 *out, np_float64 *out_std,
    Sint64 *out_flags, Sint64 *n_rows, Sint64 *n_emitters, Sint64 *iterations) {
    namespace m = gauss2::multi;
    ensure(read_var >= 0.0 && read_var <= DBL_MAX, "Read-noise variance must be finite and >= 0, got %g",
           read_var);
    ensure(max_emitters >= 1 && max_emitters <= GAUSS2_MULTI_MAX_EMITTERS,
           "max_emitters must be from 1 to %d, got %ld", GAUSS2_MULTI_MAX_EMITTERS,
           static_cast<long>(max_emitters));
    ensure(psf_sigma > 0.0 && psf_sigma <= GAUSS2_MULTI_MAX_MEA,
           "psf_sigma must be positive, at most %d, got %g", GAUSS2_MULTI_MAX_MEA, psf_sigma);
    ensure(frame_h >= 1, "frame_h must be positive, got %ld", static_cast<long>(frame_h));
    ensure(first >= 0 && count >= 0 && n_peaks >= 0 && first <= n_peaks && count <= n_peaks - first,
           "peaks %ld .. %ld + %ld are not among the %ld peaks", static_cast<long>(first),
           static_cast<long>(first), static_cast<long>(count), static_cast<long>(n_peaks));
    ensure(max_emitters == 1 || mea <= GAUSS2_MULTI_MAX_MEA,
           "Mea too large for joint fits: %ld (at most %d with max_emitters > 1)", static_cast<long>(mea),
           GAUSS2_MULTI_MAX_MEA);
    const m::Batch b{im,
                     im_w,
                     im_h,
                     frame_h,
                     mea,
                     m::Peaks(n_peaks, center_x, center_y),
                     window_x,
                     window_y,
                     read_var,
                     read_var_map,
                     static_cast<int>(max_emitters),
                     psf_sigma,
                     static_cast<Sint64>(std::ceil(m::kReachSigmas * psf_sigma)),
                     m::selection_of(opts, psf_sigma),
                     single,
                     single_std,
                     single_flags,
                     single_iterations,
                     out,
                     out_std,
                     out_flags,
                     n_rows,
                     n_emitters,
                     iterations};
    for (Sint64 i = first; i < first + count; i++) m::fit_peak(b, i);
    return 0;
}

}  // extern "C"
