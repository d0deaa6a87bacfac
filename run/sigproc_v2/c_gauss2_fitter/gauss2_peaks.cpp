// Peak pixels of camera frames: Gaussian smoothing, an automatic threshold
// from robust statistics, and local maxima. The rules are stated in
// gauss2_peaks.h; this file is about doing them fast.
//
// Measured on a 256 x 256 frame with about 40 spots (bench/movie_bench.py):
// the same search written with scipy.ndimage and numpy medians cost about
// 9 ms a frame, against under a millisecond of fitting the frame's spots.
// Here the smoothing is two separable passes that vectorise across pixels,
// the medians are selections (no sorting), and only pixels above the
// threshold are tested for being maxima: each against its square while that
// is cheap, else all at once from every square's maximum (three passes a
// direction), so that the search stays linear in the pixels for any
// min_distance (bench_kernels' BM_peak_search: 3.8 s at 512 on a 512 x 512
// frame before, 6 ms now).

#include "gauss2_peaks.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "gauss2_paths.h"

namespace {

constexpr double kMadToSigma = 1.482602218505602;  // sigma of a normal distribution per MAD
// Pixels that a frame's candidates may read, tested one by one against their
// squares, per pixel of the frame, before every square's maximum is taken
// at once instead.
constexpr long kDirectReads = 32;
// The smoothing kernel's radius: 4 sigma, rounded half up (sigma >= 0).
constexpr int kernel_radius(double smooth) {
    return static_cast<int>(4.0 * smooth + 0.5);  // NOLINT(bugprone-incorrect-roundings): never negative
}
constexpr int kMaxRadius = kernel_radius(GAUSS2_MAX_SMOOTH);

// One half of a symmetric smoothing kernel: w[0] the centre, w[t] the weight
// at distance t, for t <= radius; the weights of the whole kernel sum to 1.
struct Kernel {
    int radius = 0;
    double w[kMaxRadius + 1] = {};
    double gain = 1.0;  // sqrt of the sum of squares of the 2-D kernel
};

void make_kernel(double smooth, Kernel &k) {
    if (smooth <= 0.0) return;
    k.radius = kernel_radius(smooth);
    double sum = 0.0;
    double full[2 * kMaxRadius + 1];
    for (int t = -k.radius; t <= k.radius; t++) {
        full[t + k.radius] = std::exp(-0.5 / (smooth * smooth) * static_cast<double>(t) * t);
        sum += full[t + k.radius];
    }
    double squares = 0.0;
    for (int t = -k.radius; t <= k.radius; t++) {
        full[t + k.radius] /= sum;
        squares += full[t + k.radius] * full[t + k.radius];
    }
    for (int t = 0; t <= k.radius; t++) k.w[t] = full[t + k.radius];
    k.gain = squares;  // the 2-D kernel is the outer product: its sum of squares is squares^2
}

// The loops over a frame's pixels below are built for every kernel path
// (gauss2_paths.h), the one in use chosen like the fit's kernels. Their sums
// keep their order on every path (no contraction), so the peaks found do not
// depend on the processor.
#define GAUSS2_PEAK_LOOP [[gnu::always_inline]] inline

// True when no value is NaN or infinite: x - x is 0 for finite x and NaN
// otherwise, and NaN survives any order of summation.
GAUSS2_PEAK_LOOP bool all_finite(const double *v, long n) {
    double acc = 0.0;
#pragma omp simd reduction(+ : acc)
    for (long k = 0; k < n; k++) acc += v[k] - v[k];
    return acc == 0.0;
}

GAUSS2_PEAK_LOOP long clamp_index(long i, long n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

// out = in smoothed along columns (each output row a weighted sum of rows).
GAUSS2_PEAK_LOOP void smooth_columns(const double *in, double *out, long w, long h, const Kernel &k) {
    for (long i = 0; i < h; i++) {
        double *o = out + i * w;
        const double *c = in + i * w;
        const double w0 = k.w[0];
        for (long j = 0; j < w; j++) o[j] = w0 * c[j];
        for (int t = 1; t <= k.radius; t++) {
            const double *up = in + clamp_index(i - t, h) * w;
            const double *dn = in + clamp_index(i + t, h) * w;
            const double wt = k.w[t];
            for (long j = 0; j < w; j++) o[j] += wt * (up[j] + dn[j]);
        }
    }
}

// out = in smoothed along rows; the same sums as smooth_columns, in the same
// order, with the edges extended by their nearest pixel.
GAUSS2_PEAK_LOOP void smooth_rows(const double *in, double *out, long w, long h, const Kernel &k) {
    const long r = k.radius;
    for (long i = 0; i < h; i++) {
        const double *c = in + i * w;
        double *o = out + i * w;
        const long lo = std::min(r, w), hi = std::max(lo, w - r);  // [lo, hi): no clamping needed
        const double w0 = k.w[0];
        for (long j = 0; j < w; j++) o[j] = w0 * c[j];
        for (int t = 1; t <= r; t++) {
            const double wt = k.w[t];
            for (long j = lo; j < hi; j++) o[j] += wt * (c[j - t] + c[j + t]);
            for (long j = 0; j < lo; j++) o[j] += wt * (c[clamp_index(j - t, w)] + c[clamp_index(j + t, w)]);
            for (long j = hi; j < w; j++) o[j] += wt * (c[clamp_index(j - t, w)] + c[clamp_index(j + t, w)]);
        }
    }
}

// The loops of each path.
struct PeakLoops {
    bool (*all_finite)(const double *v, long n);
    void (*smooth_columns)(const double *in, double *out, long w, long h, const Kernel &k);
    void (*smooth_rows)(const double *in, double *out, long w, long h, const Kernel &k);
};

// NOLINTBEGIN(bugprone-macro-parentheses): target is an attribute
#define GAUSS2_PEAK_LOOPS(name, target, layout, runs)                                                     \
    [[gnu::noinline]] target bool all_finite_##name(const double *v, long n) { return all_finite(v, n); } \
    [[gnu::noinline]] target void smooth_columns_##name(const double *in, double *out, long w, long h,    \
                                                        const Kernel &k) {                                \
        smooth_columns(in, out, w, h, k);                                                                 \
    }                                                                                                     \
    [[gnu::noinline]] target void smooth_rows_##name(const double *in, double *out, long w, long h,       \
                                                     const Kernel &k) {                                   \
        smooth_rows(in, out, w, h, k);                                                                    \
    }
// NOLINTEND(bugprone-macro-parentheses)
GAUSS2_KERNEL_PATHS(GAUSS2_PEAK_LOOPS)
#undef GAUSS2_PEAK_LOOPS

#define GAUSS2_PEAK_LOOPS_ROW(name, target, layout, runs) \
    {&all_finite_##name, &smooth_columns_##name, &smooth_rows_##name},
constexpr PeakLoops kPeakLoops[] = {GAUSS2_KERNEL_PATHS(GAUSS2_PEAK_LOOPS_ROW)};
#undef GAUSS2_PEAK_LOOPS_ROW

// The k-th and (k-1)-th smallest of src[0..n) (0-based ranks, 1 <= k < n
// for the lower one), exactly. A full selection over a frame's pixels costs
// more than the rest of the search, so the ranks are first bracketed from a
// strided sample (Floyd and Rivest's idea): one pass then counts the values
// below the bracket and gathers those inside it, and only those are
// selected. If the bracket misses, the whole array is selected.
struct Ranks {
    double lower, upper;
};

Ranks select_ranks(const double *src, long n, long k, double *scratch) {
    const bool want_lower = k >= 1 && n % 2 == 0;
    constexpr long kStride = 16, kSmall = 4096;
    if (n >= kSmall) {
        long ns = 0;
        for (long i = 0; i < n; i += kStride) scratch[ns++] = src[i];
        const long ks = k * ns / n;
        const long delta =
            static_cast<long>(1.5 * std::sqrt(static_cast<double>(ns))) + 8;  // ~3 sigma of the rank
        const long lo_rank = std::max(0L, ks - delta), hi_rank = std::min(ns - 1, ks + delta);
        std::nth_element(scratch, scratch + lo_rank, scratch + ns);
        const double lo = scratch[lo_rank];
        std::nth_element(scratch + lo_rank, scratch + hi_rank, scratch + ns);
        const double hi = scratch[hi_rank];
        long below = 0, m = 0;
        for (long i = 0; i < n; i++) {  // without branches: the gathered share is unpredictable
            const double v = src[i];
            below += v < lo;
            scratch[m] = v;
            m += (v >= lo) & (v <= hi);
        }
        const long first = want_lower ? k - 1 : k;
        if (first >= below && k < below + m) {
            std::nth_element(scratch, scratch + (k - below), scratch + m);
            const double upper = scratch[k - below];
            const double lower = want_lower ? *std::max_element(scratch, scratch + (k - below)) : upper;
            return {lower, upper};  // k - below >= 1 whenever the lower one is wanted
        }
    }
    std::memcpy(scratch, src, static_cast<size_t>(n) * sizeof(double));
    std::nth_element(scratch, scratch + k, scratch + n);
    const double upper = scratch[k];
    return {want_lower ? *std::max_element(scratch, scratch + k) : upper, upper};
}

// Median of src[0..n), n >= 1: the middle value, or the mean of the two
// middle values of an even count.
double median(const double *src, long n, double *scratch) {
    const Ranks r = select_ranks(src, n, n / 2, scratch);
    return (n & 1) ? r.upper : (r.lower + r.upper) / 2.0;
}

// Rows that the automatic threshold's statistics use: every step-th from
// row 0, about 8192 pixels in all, so that their cost does not grow with the
// frame (8192 differences give the noise to about 1.3 %).
long statistics_row_step(long w, long h) { return std::max(1L, w * h / 8192); }

// Robust sigma of the pixel noise from horizontal neighbour differences in
// the statistics rows. scratch: room for 2 w h doubles.
double pixel_noise(const double *a, long w, long h, double *scratch) {
    if (w < 2) return 0.0;
    double *d = scratch + w * h;
    long n = 0;
    for (long i = 0; i < h; i += statistics_row_step(w, h))
        for (long j = 0; j + 1 < w; j++) d[n++] = a[i * w + j + 1] - a[i * w + j];
    const double centre = median(d, n, scratch);
    for (long k = 0; k < n; k++) d[k] = std::fabs(d[k] - centre);
    return kMadToSigma * median(d, n, scratch) / std::sqrt(2.0);
}

// Median of the statistics rows of the frame s. scratch: room for 2 w h.
double level(const double *s, long w, long h, double *scratch) {
    double *v = scratch + w * h;
    long n = 0;
    for (long i = 0; i < h; i += statistics_row_step(w, h))
        for (long j = 0; j < w; j++) v[n++] = s[i * w + j];
    return median(v, n, scratch);
}

// The local background of the frame s (w x h) for tiles of about `tile`
// pixels a side (gauss2_peaks.h) subtracted into out (which may be s).
// gather: room for w h doubles; scratch: room for 2 w h doubles.
void subtract_local_background(const double *s, long w, long h, long tile, double *out, double *gather,
                               double *scratch) {
    const long ny = std::max(1L, std::lround(static_cast<double>(h) / static_cast<double>(tile)));
    const long nx = std::max(1L, std::lround(static_cast<double>(w) / static_cast<double>(tile)));
    double *grid = scratch + w * h;  // ny x nx medians (at most w h)
    for (long ty = 0; ty < ny; ty++)
        for (long tx = 0; tx < nx; tx++) {
            const long r0 = ty * h / ny, r1 = (ty + 1) * h / ny, c0 = tx * w / nx, c1 = (tx + 1) * w / nx;
            long m = 0;
            for (long i = r0; i < r1;
                 i += 2)  // every other row: half the cost, the same median within its noise
                for (long j = c0; j < c1; j++) gather[m++] = s[i * w + j];
            grid[ty * nx + tx] = median(gather, m, scratch);
        }
    // A pixel's place among the tiles' centres along one axis, in tile
    // units, held at the outer centres: its first centre k is
    // min(floor(f), n - 2) and the next one's weight f - k.
    auto place = [](long i, long size, long n, long *k) {
        double f = (static_cast<double>(i) + 0.5) * static_cast<double>(n) / static_cast<double>(size) - 0.5;
        f = std::min(std::max(f, 0.0), static_cast<double>(n - 1));
        *k = std::min(static_cast<long>(f), std::max(0L, n - 2));
        return f - static_cast<double>(*k);
    };
    // Separable: each row of tiles interpolated along x first (ny x w, into
    // gather), then each pixel row between two of those.
    double *along_x = gather;
    for (long j = 0; j < w; j++) {
        long k;
        const double t = place(j, w, nx, &k);
        const long k1 = std::min(k + 1, nx - 1);
        for (long ty = 0; ty < ny; ty++) {
            const double *g = grid + ty * nx;
            along_x[ty * w + j] = g[k] + t * (g[k1] - g[k]);
        }
    }
    for (long i = 0; i < h; i++) {
        long k;
        const double t = place(i, h, ny, &k);
        const double *b0 = along_x + k * w, *b1 = along_x + std::min(k + 1, ny - 1) * w;
        const double *row = s + i * w;
        double *o = out + i * w;
        for (long j = 0; j < w; j++) o[j] = row[j] - (b0[j] + t * (b1[j] - b0[j]));
    }
}

// True when s[i, j] is not below any pixel of the (2d + 1)^2 square around it.
bool is_local_max(const double *s, long w, long h, long i, long j, long d) {
    const double v = s[i * w + j];
    const long i0 = std::max(0L, i - d), i1 = std::min(h - 1, i + d);
    const long j0 = std::max(0L, j - d), j1 = std::min(w - 1, j + d);
    for (long y = i0; y <= i1; y++)
        for (long x = j0; x <= j1; x++)
            if (s[y * w + x] > v) return false;
    return true;
}

// The larger of a and b where NaN counts as no value: the maximum of a set
// taken with it is the largest of its numbers, in any order (so that
// "top > v" holds exactly when some pixel is > v, as is_local_max asks).
inline double larger(double a, double b) { return (b > a || a != a) ? b : a; }

// Running maxima of `count` lines at once (van Herk, Gil and Werman): line
// element t of line m is in[t * stride + m]. For windows [t - d, t + d]
// clipped to the line, out[t * stride + m] = their maximum, in three passes
// whatever d: blocks of k = 2d + 1 elements, `head` the maximum from each
// block's start to t, `tail` from t to its end (or the line's), and a
// window is one block's head, one's tail, or a tail and the next head.
// out may be in; head and tail hold len * stride values each.
void window_maxima(const double *in, double *out, long len, long stride, long count, long d, double *head,
                   double *tail) {
    const long k = 2 * d + 1;
    for (long t = 0; t < len; t++) {
        const double *x = in + t * stride;
        double *g = head + t * stride;
        if (t % k == 0) {
            for (long m = 0; m < count; m++) g[m] = x[m];
        } else {
            const double *g_prev = head + (t - 1) * stride;
            for (long m = 0; m < count; m++) g[m] = larger(g_prev[m], x[m]);
        }
    }
    for (long t = len - 1; t >= 0; t--) {
        const double *x = in + t * stride;
        double *r = tail + t * stride;
        if (t == len - 1 || (t + 1) % k == 0) {
            for (long m = 0; m < count; m++) r[m] = x[m];
        } else {
            const double *r_next = tail + (t + 1) * stride;
            for (long m = 0; m < count; m++) r[m] = larger(r_next[m], x[m]);
        }
    }
    for (long t = 0; t < len; t++) {
        const long a = std::max(0L, t - d), b = std::min(len - 1, t + d);
        double *o = out + t * stride;
        const double *g = head + b * stride, *r = tail + a * stride;
        if (a / k != b / k)
            for (long m = 0; m < count; m++) o[m] = larger(r[m], g[m]);
        else if (a % k == 0)  // from a block's start (clipped at the line's)
            for (long m = 0; m < count; m++) o[m] = g[m];
        else  // to the line's end
            for (long m = 0; m < count; m++) o[m] = r[m];
    }
}

// top[i, j] = the largest value of the (2d + 1)^2 square around s[i, j],
// clipped at the frame's edges (NaN only where the square holds nothing
// else): rows, then columns. scratch: room for 2 w h doubles.
void square_maxima(const double *s, double *top, long w, long h, long d, double *scratch) {
    for (long i = 0; i < h; i++) window_maxima(s + i * w, top + i * w, w, 1, 1, d, scratch, scratch + w);
    window_maxima(top, top, h, w, w, d, scratch, scratch + w * h);
}

struct Search {
    const double *s;  // the smoothed frame
    long w, h, border, d;
    double threshold;
    const double *top = nullptr;  // square_maxima of s, once computed

    bool inside(long i, long j) const {
        return i >= border && i < h - border && j >= border && j < w - border;
    }
    bool is_max(long i, long j) const {
        return top ? !(top[i * w + j] > s[i * w + j]) : is_local_max(s, w, h, i, j, d);
    }
    bool candidate(long i, long j) const { return inside(i, j) && s[i * w + j] > threshold && is_max(i, j); }
    // A neighbouring candidate, which can only be of equal value.
    bool has_equal_candidate_neighbour(long i, long j) const {
        const double v = s[i * w + j];
        for (long y = i - 1; y <= i + 1; y++)
            for (long x = j - 1; x <= j + 1; x++)
                if ((y != i || x != j) && y >= 0 && y < h && x >= 0 && x < w && s[y * w + x] == v &&
                    candidate(y, x))
                    return true;
        return false;
    }
};

// Flat tops: the candidates cand[0..n) (flat indices in increasing order)
// grouped 8-connected; keep[k] is set to 1 for each group's member nearest
// its centroid. `members` has room for n indices.
void resolve_plateaus(const Search &q, const double *cand, long n, double *keep, double *members) {
    for (long k = 0; k < n; k++) keep[k] = 0.0;
    // visited: keep[k] = -1 for members already grouped, 1 for the chosen.
    auto find = [&](double flat) -> long {
        const double *p = std::lower_bound(cand, cand + n, flat);
        return (p != cand + n && *p == flat) ? p - cand : -1;
    };
    for (long k = 0; k < n; k++) {
        if (keep[k] != 0.0) continue;
        long count = 0;
        members[count++] = static_cast<double>(k);
        keep[k] = -1.0;
        for (long head = 0; head < count; head++) {
            const long flat = static_cast<long>(cand[static_cast<long>(members[head])]);
            const long i = flat / q.w, j = flat % q.w;
            for (long y = i - 1; y <= i + 1; y++)
                for (long x = j - 1; x <= j + 1; x++) {
                    if (y < 0 || y >= q.h || x < 0 || x >= q.w) continue;
                    const long m = find(static_cast<double>(y * q.w + x));
                    if (m >= 0 && keep[m] == 0.0) {
                        keep[m] = -1.0;
                        members[count++] = static_cast<double>(m);
                    }
                }
        }
        // Centroid summed in row-major order, then the nearest member.
        std::sort(members, members + count);
        double sx = 0.0, sy = 0.0;
        for (long m = 0; m < count; m++) {
            const long flat = static_cast<long>(cand[static_cast<long>(members[m])]);
            const long row = flat / q.w, col = flat % q.w;
            sx += static_cast<double>(col);
            sy += static_cast<double>(row);
        }
        const double cx = sx / static_cast<double>(count), cy = sy / static_cast<double>(count);
        long best = -1;
        double best_d = std::numeric_limits<double>::infinity();
        for (long m = 0; m < count; m++) {
            const long idx = static_cast<long>(members[m]);
            const long flat = static_cast<long>(cand[idx]);
            const long row = flat / q.w, col = flat % q.w;
            const double dx = static_cast<double>(col) - cx, dy = static_cast<double>(row) - cy;
            const double dist = dx * dx + dy * dy;
            if (dist < best_d) best_d = dist, best = idx;
        }
        keep[best] = 1.0;
    }
}

}  // namespace

extern "C" {

Sint64 find_peaks_work_size(Sint64 im_w, Sint64 im_h) {
    ensure(im_w >= 0 && im_h >= 0, "find_peaks_work_size: negative size %ld x %ld", static_cast<long>(im_w),
           static_cast<long>(im_h));
    // A wrapped product would ask for a small buffer that the search overruns.
    ensure(im_w == 0 || im_h <= std::numeric_limits<Sint64>::max() / 4 / im_w,
           "find_peaks_work_size: %ld x %ld exceeds 64 bits", static_cast<long>(im_w),
           static_cast<long>(im_h));
    return 4 * im_w * im_h;
}

Sint64 find_peaks_in_frames(const np_float64 *frames, Sint64 n_frames, Sint64 im_w, Sint64 im_h,
                            np_float64 smooth, Sint64 min_distance, Sint64 border, np_float64 threshold,
                            np_float64 n_sigma, np_float64 *work, Sint64 max_peaks, Sint64 *peak_frame,
                            Sint64 *peak_x, Sint64 *peak_y, np_float64 *thresholds) {
    return find_peaks_in_frames_with_background(frames, n_frames, im_w, im_h, smooth, min_distance, border,
                                                threshold, n_sigma, 0, work, max_peaks, peak_frame, peak_x,
                                                peak_y, thresholds);
}

Sint64 find_peaks_in_frames_with_background(const np_float64 *frames, Sint64 n_frames, Sint64 im_w,
                                            Sint64 im_h, np_float64 smooth, Sint64 min_distance,
                                            Sint64 border, np_float64 threshold, np_float64 n_sigma,
                                            Sint64 background_tile, np_float64 *work, Sint64 max_peaks,
                                            Sint64 *peak_frame, Sint64 *peak_x, Sint64 *peak_y,
                                            np_float64 *thresholds) {
    ensure(background_tile >= 0, "find_peaks_in_frames: negative background_tile %ld",
           static_cast<long>(background_tile));
    ensure(n_frames >= 0 && im_w >= 1 && im_h >= 1, "find_peaks_in_frames: bad sizes %ld frames of %ld x %ld",
           static_cast<long>(n_frames), static_cast<long>(im_w), static_cast<long>(im_h));
    ensure(smooth >= 0.0 && smooth <= GAUSS2_MAX_SMOOTH, "find_peaks_in_frames: smooth %g outside [0, %g]",
           smooth, GAUSS2_MAX_SMOOTH);
    ensure(min_distance >= 1 && border >= 0 && max_peaks >= 0,
           "find_peaks_in_frames: min_distance %ld, border %ld, max_peaks %ld",
           static_cast<long>(min_distance), static_cast<long>(border), static_cast<long>(max_peaks));
    ensure(n_frames == 0 || (frames && work && thresholds),
           "find_peaks_in_frames: null frames, work or thresholds");
    ensure(max_peaks == 0 || (peak_frame && peak_x && peak_y), "find_peaks_in_frames: null peak arrays");

    const PeakLoops &loops = kPeakLoops[gauss2::kernel_path()];
    Kernel kernel;
    make_kernel(smooth, kernel);
    const long w = im_w, h = im_h, n = w * h;
    // A square of half-side max(w, h) covers the frame from any pixel: larger
    // distances find the same peaks, and i + d must not overflow.
    const long d = std::min<long>(min_distance, std::max(w, h));
    double *s_buf = work, *tmp = work + n, *scratch = work + 2 * n;  // scratch: 2n doubles
    Sint64 total = 0;

    for (long f = 0; f < n_frames; f++) {
        const double *frame = frames + f * n;

        // Non-finite pixels become the median of the finite ones.
        const double *a = frame;
        if (!loops.all_finite(frame, n)) {
            long m = 0;
            double *finite = scratch + n;
            for (long k = 0; k < n; k++)
                if (std::isfinite(frame[k])) finite[m++] = frame[k];
            const double fill = m ? median(finite, m, scratch) : 0.0;
            for (long k = 0; k < n; k++) s_buf[k] = std::isfinite(frame[k]) ? frame[k] : fill;
            a = s_buf;  // smoothed below from tmp back into s_buf
        }

        double thr = threshold;
        if (std::isnan(thr)) {
            const double noise = pixel_noise(a, w, h, scratch);
            thr = n_sigma * noise * kernel.gain;  // the level is added once the frame is smoothed
        }

        const double *s = a;
        if (kernel.radius > 0) {
            loops.smooth_columns(a, tmp, w, h, kernel);
            loops.smooth_rows(tmp, s_buf, w, h, kernel);
            s = s_buf;
        }
        if (background_tile > 0) {
            subtract_local_background(s, w, h, background_tile, s_buf, tmp, scratch);
            s = s_buf;
        } else if (std::isnan(threshold)) {
            thr = level(s, w, h, scratch) + thr;
        }
        thresholds[f] = thr;

        // Pixels above the threshold are tested against their square one by
        // one while that is cheap: a test reads up to square_area pixels. When
        // the frame's candidates would read more than a few times the frame
        // (a wide min_distance, many pixels above the threshold), the frame
        // is searched again with every square's maximum taken in three passes
        // (the same comparisons, so the same peaks), which costs the same for
        // any distance.
        Search q{s, w, h, border, d, thr};
        const long square_area = std::min(2 * d + 1, w) * std::min(2 * d + 1, h);
        const long most_tests = std::max(1L, kDirectReads * n / square_area);
        const long first = total;
        bool plateau = false;
        long tests = 0;
        for (long i = border; i < h - border && !plateau; i++) {
            const double *row = s + i * w;
            for (long j = border; j < w - border; j++) {
                if (!(row[j] > thr)) continue;
                if (!q.top && ++tests > most_tests) {
                    square_maxima(s, tmp, w, h, d, scratch);
                    q.top = tmp;
                    total = first;
                    i = border - 1;  // from the frame's first row again
                    break;
                }
                if (!q.is_max(i, j)) continue;
                if (q.has_equal_candidate_neighbour(i, j)) {
                    plateau = true;
                    break;
                }
                if (total < max_peaks) peak_frame[total] = f, peak_x[total] = j, peak_y[total] = i;
                total++;
            }
        }
        if (!plateau) continue;

        // The frame holds a flat top: redo it through the candidate list (in
        // scratch; the squares' maxima in tmp are not needed after it), with
        // the squares' maxima if testing every pixel above the threshold one
        // by one would cost more than taking them.
        total = first;
        if (!q.top) {
            long above = 0;
            for (long i = border; i < h - border; i++)
                for (long j = border; j < w - border; j++) above += s[i * w + j] > thr;
            if (above > most_tests) {
                square_maxima(s, tmp, w, h, d, scratch);
                q.top = tmp;
            }
        }
        long n_cand = 0;
        for (long i = border; i < h - border; i++)
            for (long j = border; j < w - border; j++)
                if (q.candidate(i, j)) scratch[n_cand++] = static_cast<double>(i * w + j);
        resolve_plateaus(q, scratch, n_cand, tmp, scratch + n);
        for (long k = 0; k < n_cand; k++) {
            if (tmp[k] != 1.0) continue;
            if (total < max_peaks) {
                const long flat = static_cast<long>(scratch[k]);
                peak_frame[total] = f, peak_x[total] = flat % w, peak_y[total] = flat / w;
            }
            total++;
        }
    }
    return total;
}

}  // extern "C"
