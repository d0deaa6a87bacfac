// The batches' per-peak driver, and the steps of a peak's fit that every
// estimator shares: the window of a peak (the window rule, written once),
// its starting values, and the flags.
//
// Every batch of the library takes an image, a window side `mea` and peak
// pixels, and for each peak in order: skips it if an index is negative,
// cuts its window (with the image fits' contract checks, at the first peak
// that is not skipped), fits it with its estimator from starting values,
// and maps the fit's outcome to the peak's flag. fit_each_peak() below runs
// those steps once for all of them, parameterised by the estimator, which
// brings what is its own: the fit, its per-peak inputs and outputs, and what
// it writes for a peak it does not fit.
//
// Adding an estimator (a new batch):
//   1. Write its per-peak type, meeting PeakEstimator:
//        struct MyPeaks {
//            static constexpr bool kReadsPixels = true;  // prefetch windows?
//            np_float64 *params, ...;                    // its own arrays
//            void skipped(Sint64 i);                     // a negative index
//            void outside(Sint64 i);                     // window off the image
//            Flag fit(const PeakWindow &w);              // fit peak w.peak
//        };
//      fit() reads the window's pixels (w.pixels, row stride w.stride; maps
//      of the image's shape at w.offset), takes its starts with
//      start_values() if it starts from the 10-value records, runs its
//      solver on the kernel path in use (gauss2_kernel.h's solve_by_class
//      pattern: a fit type and its run_in() for every layout), writes its
//      outputs and returns the peak's flag: Flag::kGood, kFailed or
//      kIterationLimit. The driver writes kSkipped for the other two.
//   2. Its exported function checks what it takes beyond the batch's own
//      arguments (before any peak: as the maximum-likelihood batch checks
//      read_var), then calls
//        fit_each_peak(PeakBatch{im, im_w, im_h, mea, n_peaks, center_x,
//                                center_y}, my_peaks, FlagOutput{flags});
// A window placed elsewhere than on the peak pixel gives the estimator a
// member `window_centre(i, &x, &y)` (see PeakEstimator); an estimator that
// fits several peaks together (overlapping windows) fits the group in fit()
// of its first member and reads the others from its own copy of the batch.
//
// Internal to the library; nothing here is exported.
#pragma once

#include <concepts>

#include "gauss2_fitter.h"
#include "gauss2_mle.h"

namespace gauss2 {

// The bound on the patch side of the image fits and the renderer, whose
// patches live on the stack: ends the process through `ensure` beyond it.
void ensure_mea_bound(Sint64 mea);

// ---- the window of a peak ----------------------------------------------------

// A window in the image: its first pixel's element offset and its side.
struct ImageWindow {
    Uint64 offset;
    int side;
};

// The window rule: the square of 2 half + 1 pixels a side, half = mea / 2
// (truncated toward zero), centred on pixel (center_x, center_y); false if
// it leaves the im_h x im_w image. No contract checks: any mea, any centre
// (nothing wraps).
bool window_in_image(Sint64 im_w, Sint64 im_h, Sint64 center_x, Sint64 center_y, Sint64 mea,
                     ImageWindow *out);

// The window as fit_gauss_2d_on_float_image cuts it, with its contract
// checks ("Mea must be odd", "Mea too large", and "size mismatch" once the
// window is inside): false if the window leaves the image.
bool image_window(Sint64 im_w, Sint64 im_h, Sint64 center_x, Sint64 center_y, Sint64 mea, ImageWindow *out);

// The starting values from the window (row stride im_w) of a 10-value
// record: amp 0.0 is estimated from the window's range and the starting
// widths; the offset starts at the window's minimum.
void start_values(const np_float64 *window, Sint64 im_w, int side, np_float64 *params);

// ---- flags ---------------------------------------------------------------------

// What became of a peak: the batches' flags (gauss2_mle.h).
enum class Flag : Sint64 {
    kGood = GAUSS2_FLAG_GOOD,
    kSkipped = GAUSS2_FLAG_SKIPPED,
    kFailed = GAUSS2_FLAG_FAILED,
    kIterationLimit = GAUSS2_FLAG_ITERATION_LIMIT,
};

// Where the driver writes each peak's flag: its GAUSS2_FLAG_* code, or, as
// the specified batch reports it, 1 for any flag but kGood (0). Nowhere when
// `flags` is null.
struct FlagOutput {
    Sint64 *flags;
    bool codes = true;
    void write(Sint64 i, Flag flag) const {
        if (flags == nullptr) return;
        flags[i] = codes ? static_cast<Sint64>(flag) : (flag == Flag::kGood ? 0 : 1);
    }
};

// ---- the driver -------------------------------------------------------------------

// A batch call's image and peaks. `im` may be null for an estimator that
// reads no pixels.
struct PeakBatch {
    const np_float64 *im;
    Sint64 im_w, im_h, mea, n_peaks;
    const Sint64 *center_x, *center_y;
};

// The window of the peak being fitted, as the driver hands it over.
struct PeakWindow {
    Sint64 peak;               // the peak's index
    const np_float64 *pixels;  // pixel (r, c) of the window is pixels[r * stride + c]
    Sint64 stride;             // the image's row stride, im_w
    Uint64 offset;             // pixels' element offset in the image: maps of its shape start there
    int side;
};

template <class E>
concept PeakEstimator = requires(E &e, Sint64 i, const PeakWindow &w) {
    { E::kReadsPixels } -> std::convertible_to<bool>;
    e.skipped(i);
    e.outside(i);
    { e.fit(w) } -> std::same_as<Flag>;
};

// The centre of peak i's window: its peak pixel, or where the estimator
// places it (a member window_centre(i, &x, &y)).
template <class E>
void window_centre(const E &e, const PeakBatch &b, Sint64 i, Sint64 *x, Sint64 *y) {
    if constexpr (requires { e.window_centre(i, x, y); }) {
        e.window_centre(i, x, y);
    } else {
        *x = b.center_x[i];
        *y = b.center_y[i];
    }
}

// Asks the processor to bring the window centred on pixel (center_x,
// center_y) into the cache (its rows' first and last pixels), if it lies in
// the image and has a side the fits take; nothing otherwise. The driver asks
// for the next peak's window before it fits the current one, so that its
// pixels, spread over as many rows of a large image, arrive while the
// current fit runs.
void prefetch_window(const PeakBatch &b, Sint64 center_x, Sint64 center_y);

// Runs the estimator over every peak of the batch (see the top of this file).
template <PeakEstimator E>
void fit_each_peak(const PeakBatch &b, E &estimator, const FlagOutput &flags) {
    for (Sint64 i = 0; i < b.n_peaks; i++) {
        if constexpr (E::kReadsPixels) {
            if (i + 1 < b.n_peaks) {
                Sint64 x = 0, y = 0;
                window_centre(estimator, b, i + 1, &x, &y);
                prefetch_window(b, x, y);
            }
        }
        Flag flag = Flag::kSkipped;
        if (b.center_x[i] < 0 || b.center_y[i] < 0) {
            estimator.skipped(i);
        } else {
            Sint64 x = 0, y = 0;
            window_centre(estimator, b, i, &x, &y);
            ImageWindow w{};
            if (!image_window(b.im_w, b.im_h, x, y, b.mea, &w))
                estimator.outside(i);
            else
                flag = estimator.fit(
                    PeakWindow{i, b.im == nullptr ? nullptr : b.im + w.offset, b.im_w, w.offset, w.side});
        }
        flags.write(i, flag);
    }
}

// ---- least squares --------------------------------------------------------------

// The least-squares fit of each peak, as fit_gauss_2d_on_float_image fits
// it: records [0..6] the fit and [8] the residual noise, std_params [0..6]
// the standard errors (NaN where the fit produced no covariance); and, for
// the report batch, each peak's stop reason and iterations (0 where the
// solver did not run; either array may be null).
struct LeastSquaresPeaks {
    static constexpr bool kReadsPixels = true;
    np_float64 *params, *std_params;
    Sint64 *stop_reasons, *iterations;

    void skipped(Sint64 i) const;
    void outside(Sint64 i) const;
    Flag fit(const PeakWindow &w) const;
};

}  // namespace gauss2
