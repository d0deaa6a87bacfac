// Photon-statistics extensions: the Poisson maximum-likelihood batch, the
// photon-noise errors of least-squares records, and the least-squares batch
// with a per-peak report (gauss2_mle.h), each an estimator of the per-peak
// driver (gauss2_batch.h).

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

// The maximum-likelihood fit of each peak: records [0..6] the estimate and
// [8] the log-likelihood ratio statistic, std_params [0..6] the Cramer-Rao
// bounds (both NaN without an estimate), iterations (may be null).
struct LikelihoodPeaks {
    static constexpr bool kReadsPixels = true;
    double read_var;
    const np_float64 *read_var_map;
    np_float64 *params, *std_params;
    Sint64 *iterations;

    void skipped(Sint64 i) const {
        if (iterations != nullptr) iterations[i] = 0;
    }
    void outside(Sint64 i) const {
        params[10 * i + 8] = NAN;
        for (int k = 0; k < 7; k++) std_params[10 * i + k] = NAN;
        skipped(i);
    }
    gauss2::Flag fit(const gauss2::PeakWindow &w) const {
        np_float64 *rec = params + 10 * w.peak, *std_rec = std_params + 10 * w.peak;
        const gauss2::Variance var{read_var, read_var_map == nullptr ? nullptr : read_var_map + w.offset};
        gauss2::start_values(w.pixels, w.stride, w.side, rec);
        const double s2_min = smallest_variance(var, w.stride, w.side);
        if (!(rec[6] + s2_min > 0.0) && s2_min <= DBL_MAX) rec[6] = 1.0 - s2_min;
        gauss2::MleReport report;
        gauss2::solve_patch_mle(w.pixels, w.stride, var, w.side, rec, GAUSS2_MLE_MAX_ITERATIONS,
                                current_mle_options(), &report);
        rec[8] = report.deviance;
        for (int k = 0; k < 7; k++) std_rec[k] = report.crlb[k];
        if (iterations != nullptr) iterations[w.peak] = report.summary.iterations;
        const lm::ScoringStop stop = report.summary.stop;
        return stop == lm::kScoringLimit                            ? gauss2::Flag::kIterationLimit
               : (stop == lm::kConverged || stop == lm::kNoDescent) ? gauss2::Flag::kGood
                                                                    : gauss2::Flag::kFailed;
    }
};

// The photon-noise errors of least-squares records: std_params [0..6] NaN
// where they cannot be formed. Reads no pixels.
struct PhotonErrorPeaks {
    static constexpr bool kReadsPixels = false;
    double read_var;
    const np_float64 *read_var_map;
    const np_float64 *params;
    np_float64 *std_params;

    void skipped(Sint64 /*i*/) const {}
    void outside(Sint64 i) const {
        for (int k = 0; k < 7; k++) std_params[10 * i + k] = NAN;
    }
    gauss2::Flag fit(const gauss2::PeakWindow &w) const {
        outside(w.peak);
        const gauss2::Variance var{read_var, read_var_map == nullptr ? nullptr : read_var_map + w.offset};
        double covar[49];
        if (w.side * w.side < 7 ||
            gauss2::photon_covariance(w.stride, var, w.side, params + 10 * w.peak, covar) != 0)
            return gauss2::Flag::kFailed;
        for (int k = 0; k < 7; k++) std_params[10 * w.peak + k] = std::sqrt(covar[k * 7 + k]);
        return gauss2::Flag::kGood;
    }
};

}  // namespace

extern "C" {

np_float64 gauss2_mle_opts[2] = {1e-3, 1e-6};

int fit_array_of_gauss_2d_mle_on_float_image(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea,
                                             Sint64 n_peaks, Sint64 *center_x, Sint64 *center_y,
                                             np_float64 read_var, const np_float64 *read_var_map,
                                             np_float64 *params, np_float64 *std_params, Sint64 *flags,
                                             Sint64 *iterations) {
    ensure_read_var(read_var);
    LikelihoodPeaks peaks{read_var, read_var_map, params, std_params, iterations};
    gauss2::fit_each_peak(gauss2::PeakBatch{im, im_w, im_h, mea, n_peaks, center_x, center_y}, peaks,
                          gauss2::FlagOutput{flags});
    return 0;
}

int photon_std_of_gauss_2d_records(Sint64 im_w, Sint64 im_h, Sint64 mea, Sint64 n_peaks,
                                   const Sint64 *center_x, const Sint64 *center_y, np_float64 read_var,
                                   const np_float64 *read_var_map, const np_float64 *params,
                                   np_float64 *std_params) {
    ensure_read_var(read_var);
    PhotonErrorPeaks peaks{read_var, read_var_map, params, std_params};
    gauss2::fit_each_peak(gauss2::PeakBatch{nullptr, im_w, im_h, mea, n_peaks, center_x, center_y}, peaks,
                          gauss2::FlagOutput{nullptr});
    return 0;
}

int fit_array_of_gauss_2d_on_float_image_report(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea,
                                                Sint64 n_peaks, Sint64 *center_x, Sint64 *center_y,
                                                np_float64 *params, np_float64 *std_params, Sint64 *flags,
                                                Sint64 *stop_reasons, Sint64 *iterations) {
    gauss2::LeastSquaresPeaks peaks{params, std_params, stop_reasons, iterations};
    gauss2::fit_each_peak(gauss2::PeakBatch{im, im_w, im_h, mea, n_peaks, center_x, center_y}, peaks,
                          gauss2::FlagOutput{flags});
    return 0;
}

}  // extern "C"
