// Gaussian spot fitter: model, Jacobian, patch and batch fits, synthesis and
// diagnostics.

#include "gauss2_fitter.h"

#include <cmath>

#include "gauss2_batch.h"
#include "gauss2_kernel.h"
#include "gauss2_model.h"

namespace {

// Side of the square patch described by a pixel count, or 0 if none.
int patch_side(int n_pixels) {
    if (n_pixels <= 0) return 0;
    return static_cast<int>(std::sqrt(static_cast<double>(n_pixels)));
}

}  // namespace

extern "C" {

void gauss_2d(np_float64 *params, np_float64 *pixels, int /*n_params*/, int n_pixels, void * /*adata*/) {
    const gauss2::Setup m = gauss2::setup_of(params);
    const double norm = m.norm();
    const int s = patch_side(n_pixels);
    for (int i = 0; i < s; i++) {
        const double dy = i - m.cy;
        const double std_x2_dy2 = m.std_x2 * (dy * dy);
        np_float64 *row = pixels + static_cast<long>(i) * s;
        for (int j = 0; j < s; j++) {
            const double dx = j - m.cx;
            row[j] = std::exp(m.exponent(dx, dy, std_x2_dy2)) * norm / gauss2::kTwoPi + m.offset;
        }
    }
}

void jac_gauss_2d(np_float64 *params, np_float64 *jac, int /*n_params*/, int n_pixels, void * /*adata*/) {
    const gauss2::Setup m = gauss2::setup_of(params);
    const double amp = m.amp, std_x = m.std_x, std_y = m.std_y, rho = m.rho, L = m.L, Q = m.Q;
    const double g = m.unit_norm();
    const double L_std_x2 = L * m.std_x2, L_std_y2 = L * m.std_y2;
    const double rho_std_x = rho * std_x, rho_std_y = rho * std_y;
    const double rho_std_x2 = rho * m.std_x2, rho_std_y2 = rho * m.std_y2;
    const double two_minus_L_sxsy = (2.0 - L) * (std_x * std_y);
    const double neg_Q = -Q;

    const int s = patch_side(n_pixels);
    for (int i = 0; i < s; i++) {
        const double dy = i - m.cy;
        const double dy2 = dy * dy;
        const double std_x2_dy2 = m.std_x2 * dy2;
        const double std_x_dy = std_x * dy;
        const double dy2_minus_L_std_y2 = dy2 - L_std_y2;
        np_float64 *out = jac + static_cast<long>(i) * s * 7;
        for (int j = 0; j < s; j++, out += 7) {
            const double dx = j - m.cx;
            const double dx2 = dx * dx;
            const double dxdy = dx * dy;
            const double e = std::exp(m.exponent(dx, dy, std_x2_dy2));
            const double G = g * e / gauss2::kTwoPi;  // the unit-volume Gaussian: f = amp G + offset
            const double A = Q * G * amp;
            out[0] = G;
            out[1] = A * ((std_y * dx2 - rho_std_x * dxdy) - L_std_x2 * std_y) / m.std_x2;
            out[2] = A * ((std_x * dy2 - rho_std_y * dxdy) - L_std_y2 * std_x) / m.std_y2;
            out[3] = A * (std_y * dx - rho_std_x * dy) / std_x;
            out[4] = A * (std_x_dy - rho_std_y * dx) / std_y;
            out[5] =
                A * ((rho_std_x2 * dy2_minus_L_std_y2 - two_minus_L_sxsy * dxdy) + rho_std_y2 * dx2) * neg_Q;
            out[6] = 1.0;
        }
    }
}

}  // extern "C"

// ---- patch fit ---------------------------------------------------------------

namespace {

constexpr int kMaxIterations = 75;

// The largest side whose pixel count mea * mea fits the solver's 32-bit
// count of measurements.
constexpr Sint64 kMaxCountedSide = 46340;

lm::Options current_options() {
    // Read at every fit: the host may change the exported options between calls.
    return lm::Options{dlevmar_opts[0], dlevmar_opts[1], dlevmar_opts[2], dlevmar_opts[3]};
}

// The patch fit of a window cut out of an image (row stride im_w): starting
// values from the window, then the solver. 0, or the solver's failure.
int fit_on_image(const np_float64 *window, Sint64 im_w, int side, np_float64 *params, np_float64 *info,
                 np_float64 *covar, np_float64 *noise) {
    gauss2::start_values(window, im_w, side, params);
    const int result = gauss2::solve_patch(window, im_w, side, params, kMaxIterations, current_options(),
                                           info, covar, noise);
    return result < 0 ? result : 0;
}

}  // namespace

namespace gauss2 {

// ---- the least-squares batches' peaks ------------------------------------------

void LeastSquaresPeaks::skipped(Sint64 i) const {
    if (stop_reasons != nullptr) stop_reasons[i] = 0;
    if (iterations != nullptr) iterations[i] = 0;
}

void LeastSquaresPeaks::outside(Sint64 i) const {
    // As fit_gauss_2d_on_float_image leaves it: the start kept, no noise,
    // no covariance.
    params[10 * i + 8] = 0.0;
    for (int k = 0; k < 7; k++) std_params[10 * i + k] = NAN;
    skipped(i);
}

Flag LeastSquaresPeaks::fit(const PeakWindow &w) const {
    np_float64 *rec = params + 10 * w.peak, *std_rec = std_params + 10 * w.peak;
    // A fit that stops before the solver writes its report and covariance
    // leaves these NaN, so that no peak reports another peak's values.
    double info[lm::kInfoSize];
    double covar[49];
    for (double &v : info) v = NAN;
    for (double &v : covar) v = NAN;
    double noise = 0.0;
    const int result = fit_on_image(w.pixels, w.stride, w.side, rec, info, covar, &noise);
    rec[8] = noise;
    for (int k = 0; k < 7; k++) std_rec[k] = std::sqrt(covar[k * 7 + k]);
    const double reason = info[lm::kInfoStopReason], count = info[lm::kInfoIterations];
    if (stop_reasons != nullptr)
        stop_reasons[w.peak] = std::isfinite(reason) ? static_cast<Sint64>(reason) : 0;
    if (iterations != nullptr) iterations[w.peak] = std::isfinite(count) ? static_cast<Sint64>(count) : 0;
    if (result != 0) return Flag::kFailed;
    const double limit = lm::kIterationLimit;  // the stop reason, truncated toward zero
    return reason >= limit && reason < limit + 1.0 ? Flag::kIterationLimit : Flag::kGood;
}

}  // namespace gauss2

extern "C" {

np_float64 dlevmar_opts[5] = {1e-3, 1e-15, 1e-15, 1e-20, 1e-6};

int fit_gauss_2d(np_float64 *pixels, Sint64 mea, np_float64 *params, np_float64 *info, np_float64 *covar) {
    ensure(sizeof(np_float64) == 8, "np_float64 wrong size");
    // No measurements, or more than the solver counts: it refuses the problem.
    if (mea <= 0 || mea > kMaxCountedSide) return -1;
    const int side = static_cast<int>(mea);
    const int result = gauss2::solve_patch(pixels, side, side, params, kMaxIterations, current_options(),
                                           info, covar, nullptr);
    return result < 1 ? -1 : 0;
}

int fit_gauss_2d_on_float_image(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 center_x, Sint64 center_y,
                                Sint64 mea, np_float64 *params, np_float64 *info, np_float64 *covar,
                                np_float64 *noise) {
    gauss2::ImageWindow w;
    if (!gauss2::image_window(im_w, im_h, center_x, center_y, mea, &w)) return -2;
    return fit_on_image(im + w.offset, im_w, w.side, params, info, covar, noise);
}

// ---- batch fit ---------------------------------------------------------------

int fit_array_of_gauss_2d_on_float_image(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea, Sint64 n_peaks,
                                         Sint64 *center_x, Sint64 *center_y, np_float64 *params,
                                         np_float64 *std_params, Sint64 *fails) {
    gauss2::LeastSquaresPeaks peaks{params, std_params, nullptr, nullptr};
    gauss2::fit_each_peak(gauss2::PeakBatch{im, im_w, im_h, mea, n_peaks, center_x, center_y}, peaks,
                          gauss2::FlagOutput{fails, false});
    return 0;
}

}  // extern "C"

// ===========================================================================
// Image synthesis
// ===========================================================================

namespace {

// Where a peak's patch lands in the image, if it is rendered at all.
struct PatchPlacement {
    Sint64 c0, r0;  // image column and row of the patch's pixel (0, 0)
    double lx, ly;  // the peak's position in the patch frame
};

// Places the mea x mea patch of a peak at image position (pos_x, pos_y), or
// returns false if the peak is skipped. Positions are compared in double
// first, so a NaN, infinite or huge position never reaches an integer
// conversion; the margins are compared in 128 bits, so nothing wraps.
bool place_patch(double pos_x, double pos_y, Sint64 im_w, Sint64 im_h, Sint64 mea, PatchPlacement *out) {
    if (!(0.0 <= pos_x && pos_x < static_cast<double>(im_w))) return false;
    if (!(0.0 <= pos_y && pos_y < static_cast<double>(im_h))) return false;

    const double half = static_cast<double>(mea) * 0.5;
    const double c0_d = std::floor((pos_x - half) + 0.5);
    const double r0_d = std::floor((pos_y - half) + 0.5);
    // Whole numbers in [0, 2^63): their conversion is exact and defined.
    constexpr double kTwo63 = 9223372036854775808.0;
    if (!(0.0 <= c0_d && c0_d < kTwo63 && 0.0 <= r0_d && r0_d < kTwo63)) return false;
    const Sint64 c0 = static_cast<Sint64>(c0_d);
    const Sint64 r0 = static_cast<Sint64>(r0_d);
    // One column to spare on the right and one row below: strictly less.
    if (!(static_cast<Sint128>(c0) + mea < im_w)) return false;
    if (!(static_cast<Sint128>(r0) + mea < im_h)) return false;

    const double lx = pos_x - static_cast<double>(c0);
    const double ly = pos_y - static_cast<double>(r0);
    const double mea_d = static_cast<double>(mea);
    if (!(0.0 <= lx && lx < mea_d && 0.0 <= ly && ly < mea_d)) return false;

    *out = {c0, r0, lx, ly};
    return true;
}

// Adds a mea x mea patch into the image with its pixel (0, 0) at (c0, r0).
// The placement keeps every touched pixel inside the image, whose element
// count the caller guarantees to be addressable, so the offsets fit.
void add_patch(np_float64 *im, Sint64 im_w, const PatchPlacement &at, const np_float64 *patch, Sint64 mea) {
    for (Sint64 r = 0; r < mea; r++) {
        np_float64 *dst = im + (at.r0 + r) * im_w + at.c0;
        const np_float64 *src = patch + r * mea;
        for (Sint64 c = 0; c < mea; c++) dst[c] += src[c];
    }
}

}  // namespace

extern "C" {

int synth_image(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea, Uint64 n_peaks,
                const np_float64 *params) {
    ensure(sizeof(np_float64) == 8, "np_float64 wrong size");
    gauss2::ensure_mea_bound(mea);
    // No patch has room in the image or in its own frame.
    if (mea <= 0) return 0;

    // Reserved once for all peaks; the bound keeps them small.
    np_float64 patch[GAUSS2_MAX_MEA * GAUSS2_MAX_MEA];
    np_float64 peak[7];
    const int n_pixels = static_cast<int>(mea * mea);

    for (Uint64 k = 0; k < n_peaks; k++) {
        const np_float64 *src = params + 7 * k;
        for (int i = 0; i < 7; i++) peak[i] = src[i];

        PatchPlacement at{};
        if (!place_patch(peak[3], peak[4], im_w, im_h, mea, &at)) continue;
        peak[3] = at.lx;
        peak[4] = at.ly;
        gauss_2d(peak, patch, 7, n_pixels, nullptr);
        add_patch(im, im_w, at, patch, mea);
    }
    return 0;
}

}  // extern "C"

// ===========================================================================
// Fit diagnostics
// ===========================================================================

namespace {

// The trace records name this file by its path from the repository root, at
// fixed line numbers that readers of old logs know.
constexpr const char *kSourcePath = "run/sigproc_v2/c_gauss2_fitter/gauss2_fitter.cpp";
constexpr int kLinePixels = 58;
constexpr int kLineParams = 69;
constexpr int kLineParamsEnd = 74;
constexpr int kLineJacobian = 78;
constexpr int kLineInfo = 110;
constexpr int kLineInfoE2 = 111;
constexpr int kLineInfoMu = 112;
constexpr int kLineInfoNIter = 113;
constexpr int kLineInfoReason = 114;

constexpr int kDumpPixelCount = 121;  // an 11 x 11 patch
constexpr int kDumpPixelRow = 11;
constexpr int kDumpParamCount = 10;  // one per-peak record of the batch fit
constexpr int kDumpJacRow = 7;       // one pixel's derivatives
constexpr int kDumpJacGroup = 77;    // one row of an 11-pixel-wide patch

// Writable storage for the initial stop-reason texts, so that the table can
// hold plain `char *` without casting away the constness of literals.
char reason_unknown[] = "Unknown";
char reason_gradient[] = "stopped by small gradient J^T e";
char reason_dp[] = "stopped by small Dp";
char reason_itmax[] = "stopped by itmax";
char reason_singular[] = "singular matrix. Restart from current p with increased mu";
char reason_no_reduction[] = "no further error reduction is possible. Restart with increased mu";
char reason_small_e[] = "stopped by small ||e||_2";
char reason_invalid[] = "stopped by invalid (i.e. NaN or Inf) 'func' values. This is a user error";

void write_value(FILE *log, np_float64 value) { fprintf(log, "%f, ", value); }

void end_body(FILE *log) { fputs("]\n\n", log); }

}  // namespace

extern "C" {

char *dlevmar_stop_reasons[8] = {
    reason_unknown,  reason_gradient,     reason_dp,      reason_itmax,
    reason_singular, reason_no_reduction, reason_small_e, reason_invalid,
};

char *get_dlevmar_stop_reason_from_info(const np_float64 *info) {
    const double code = info[6];
    // Truncation to 32 bits is defined only strictly between these bounds
    // (both exact doubles); NaN fails the test too.
    if (!(code > -2147483649.0 && code < 2147483648.0)) return dlevmar_stop_reasons[0];
    const Sint32 k = static_cast<Sint32>(code);
    return (0 <= k && k <= 7) ? dlevmar_stop_reasons[k] : dlevmar_stop_reasons[0];
}

void dump_pixels(const char *label, const np_float64 *pixels) {
    _trace(kSourcePath, kLinePixels, "%s: PIXELS [\n", label);
    FILE *log = _log;
    if (log == nullptr) return;  // no log file: the header went to stderr only
    for (int i = 0; i < kDumpPixelCount; i++) {
        if (i % kDumpPixelRow == 0) fputc('\n', log);
        write_value(log, pixels[i]);
    }
    end_body(log);
}

void dump_params(const char *label, const np_float64 *params) {
    _trace(kSourcePath, kLineParams, "%s: PARAMS [\n", label);
    FILE *log = _log;
    if (log != nullptr) {
        for (int i = 0; i < kDumpParamCount; i++) write_value(log, params[i]);
        end_body(log);
    }
    _trace(kSourcePath, kLineParamsEnd, "%s: END PARAMS\n", label);
}

void dump_jacobian(const char *label, const np_float64 *jac, int n) {
    _trace(kSourcePath, kLineJacobian, "%s: JAC [\n", label);
    FILE *log = _log;
    if (log == nullptr) return;
    for (int i = 0; i < n; i++) {
        if (i % kDumpJacRow == 0) {
            fputc('\n', log);
            if (i % kDumpJacGroup == 0) fputc('\n', log);
        }
        write_value(log, jac[i]);
    }
    end_body(log);
}

void dump_info(const np_float64 *info) {
    _trace(kSourcePath, kLineInfo, "INFO:\n");
    _trace(kSourcePath, kLineInfoE2, "  e^2 at p0: %f\n", info[0]);
    _trace(kSourcePath, kLineInfoMu, "  mu?: %f\n", info[4]);
    _trace(kSourcePath, kLineInfoNIter, "  n_iter: %f\n", info[5]);
    _trace(kSourcePath, kLineInfoReason, "  reason to stop: %s\n", get_dlevmar_stop_reason_from_info(info));
}

int validate_im(const np_float64 *im, Sint64 im_w, Sint64 im_h) {
    Sint64 count = 0;
    // A product beyond 64 bits describes no image that exists: nothing to read.
    if (__builtin_mul_overflow(im_w, im_h, &count)) return 1;
    for (Sint64 i = 0; i < count; i++)
        if (std::isnan(im[i])) return 0;
    return 1;
}

void gauss2_check(void) {}

}  // extern "C"
