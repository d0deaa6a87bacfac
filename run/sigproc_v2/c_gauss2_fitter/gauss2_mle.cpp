// Photon-statistics extensions: the Poisson maximum-likelihood batch, the
// photon-noise errors of least-squares records, and the least-squares batch
// with a per-peak report (gauss2_mle.h).

#include "gauss2_mle.h"

#include <cfloat>
#include <cmath>

#include "gauss2_batch.h"
#include "gauss2_kernel.h"

namespace {

lm::ScoringOptions current_mle_options() {
    // Read at every fit: the host may change the exported options between
    // calls. A damping that is not positive and finite would stall every fit
    // at its start, reported as converged: the default serves instead.
    const double tau = gauss2_mle_opts[0], eps2 = gauss2_mle_opts[1];
    return lm::ScoringOptions{tau > 0.0 && tau <= DBL_MAX ? tau : lm::ScoringOptions{}.tau, eps2};
}

void ensure_read_var(double read_var) {
    ensure(read_var >= 0.0 && read_var <= DBL_MAX, "Read-noise variance must be finite and >= 0, got %g",
           read_var);
}

// The smallest read-noise variance in the window (a NaN one wins, so that
// the start stays NaN and the fit fails as it should).
double smallest_variance(const gauss2::Variance &var, long stride, int side) {
    if (var.map == nullptr) return var.value;
    double lo = INFINITY;
    for (int i = 0; i < side; i++)
        for (int j = 0; j < side; j++) {
            const double v = var.at(i, j, stride);
            if (!(v >= lo)) lo = v;
        }
    return lo;
}

// One fitted peak of the maximum-likelihood batch: its flag and iterations.
struct MlePeak {
    Sint64 flag, iterations;
};

MlePeak fit_mle_peak(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea, Sint64 cx, Sint64 cy,
                     double read_var, const np_float64 *read_var_map, np_float64 *rec, np_float64 *std_rec) {
    gauss2::ImageWindow w;
    if (!gauss2::image_window(im_w, im_h, cx, cy, mea, &w)) {
        rec[8] = NAN;
        for (int k = 0; k < 7; k++) std_rec[k] = NAN;
        return {GAUSS2_FLAG_SKIPPED, 0};
    }
    const gauss2::Variance var{read_var, read_var_map == nullptr ? nullptr : read_var_map + w.offset};
    const np_float64 *window = im + w.offset;
    gauss2::start_values(window, im_w, w.side, rec);
    const double s2_min = smallest_variance(var, im_w, w.side);
    if (!(rec[6] + s2_min > 0.0) && s2_min <= DBL_MAX) rec[6] = 1.0 - s2_min;
    gauss2::MleReport report;
    gauss2::solve_patch_mle(window, im_w, var, w.side, rec, GAUSS2_MLE_MAX_ITERATIONS, current_mle_options(),
                            &report);
    rec[8] = report.deviance;
    for (int k = 0; k < 7; k++) std_rec[k] = report.crlb[k];
    const lm::ScoringStop stop = report.summary.stop;
    const Sint64 flag = stop == lm::kScoringLimit                            ? GAUSS2_FLAG_ITERATION_LIMIT
                        : (stop == lm::kConverged || stop == lm::kNoDescent) ? GAUSS2_FLAG_GOOD
                                                                             : GAUSS2_FLAG_FAILED;
    return {flag, report.summary.iterations};
}

}  // namespace

extern "C" {

np_float64 gauss2_mle_opts[2] = {1e-3, 1e-6};

int fit_array_of_gauss_2d_mle_on_float_image(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea,
                                             Sint64 n_peaks, Sint64 *center_x, Sint64 *center_y,
                                             np_float64 read_var, const np_float64 *read_var_map,
                                             np_float64 *params, np_float64 *std_params, Sint64 *flags,
                                             Sint64 *iterations) {
    ensure_read_var(read_var);
    for (Sint64 i = 0; i < n_peaks; i++) {
        gauss2::prefetch_window(im, im_w, im_h, mea, n_peaks, center_x, center_y, i + 1);
        MlePeak peak{GAUSS2_FLAG_SKIPPED, 0};
        if (center_x[i] >= 0 && center_y[i] >= 0)
            peak = fit_mle_peak(im, im_w, im_h, mea, center_x[i], center_y[i], read_var, read_var_map,
                                params + 10 * i, std_params + 10 * i);
        flags[i] = peak.flag;
        if (iterations != nullptr) iterations[i] = peak.iterations;
    }
    return 0;
}

int photon_std_of_gauss_2d_records(Sint64 im_w, Sint64 im_h, Sint64 mea, Sint64 n_peaks,
                                   const Sint64 *center_x, const Sint64 *center_y, np_float64 read_var,
                                   const np_float64 *read_var_map, const np_float64 *params,
                                   np_float64 *std_params) {
    ensure_read_var(read_var);
    for (Sint64 i = 0; i < n_peaks; i++) {
        if (center_x[i] < 0 || center_y[i] < 0) continue;
        np_float64 *out = std_params + 10 * i;
        for (int k = 0; k < 7; k++) out[k] = NAN;
        gauss2::ImageWindow w;
        if (!gauss2::image_window(im_w, im_h, center_x[i], center_y[i], mea, &w)) continue;
        const gauss2::Variance var{read_var, read_var_map == nullptr ? nullptr : read_var_map + w.offset};
        double covar[49];
        if (w.side * w.side < 7 || gauss2::photon_covariance(im_w, var, w.side, params + 10 * i, covar) != 0)
            continue;
        for (int k = 0; k < 7; k++) out[k] = std::sqrt(covar[k * 7 + k]);
    }
    return 0;
}

int fit_array_of_gauss_2d_on_float_image_report(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea,
                                                Sint64 n_peaks, Sint64 *center_x, Sint64 *center_y,
                                                np_float64 *params, np_float64 *std_params, Sint64 *flags,
                                                Sint64 *stop_reasons, Sint64 *iterations) {
    for (Sint64 i = 0; i < n_peaks; i++) {
        gauss2::prefetch_window(im, im_w, im_h, mea, n_peaks, center_x, center_y, i + 1);
        Sint64 flag = GAUSS2_FLAG_SKIPPED, reason = 0, count = 0;
        if (center_x[i] >= 0 && center_y[i] >= 0) {
            const gauss2::PeakFit f = gauss2::fit_peak(im, im_w, im_h, mea, center_x[i], center_y[i],
                                                       params + 10 * i, std_params + 10 * i);
            if (std::isfinite(f.stop_reason)) reason = static_cast<Sint64>(f.stop_reason);
            if (std::isfinite(f.iterations)) count = static_cast<Sint64>(f.iterations);
            flag = f.result == -2  ? GAUSS2_FLAG_SKIPPED
                   : f.result != 0 ? GAUSS2_FLAG_FAILED
                   : f.hit_limit() ? GAUSS2_FLAG_ITERATION_LIMIT
                                   : GAUSS2_FLAG_GOOD;
        }
        flags[i] = flag;
        if (stop_reasons != nullptr) stop_reasons[i] = reason;
        if (iterations != nullptr) iterations[i] = count;
    }
    return 0;
}

}  // extern "C"
