// The image fits' shared steps: the window of a peak, the starting values,
// and one peak of the least-squares batch, for the batches of both
// estimators and the photon-noise errors (gauss2_mle.cpp).
//
// Internal to the library; nothing here is exported.
#pragma once

#include "gauss2_fitter.h"

namespace gauss2 {

// The bound on the patch side of the image fits and the renderer, whose
// patches live on the stack: ends the process through `ensure` beyond it.
void ensure_mea_bound(Sint64 mea);

// A peak's window in the image: its first pixel's element offset and side.
struct ImageWindow {
    Uint64 offset;
    int side;
};

// The mea x mea window centred on pixel (center_x, center_y), as
// fit_gauss_2d_on_float_image cuts it, with its contract checks ("Mea must
// be odd", "Mea too large", and "size mismatch" once the window is inside):
// false if the window leaves the image.
bool image_window(Sint64 im_w, Sint64 im_h, Sint64 center_x, Sint64 center_y, Sint64 mea, ImageWindow *out);

// Asks the processor to bring peak i's window into the cache (the rows'
// first and last pixels), when there is such a peak and its window lies in
// the image; does nothing otherwise. The batches call it for the next peak
// before they fit the current one, so that the next window's pixels, spread
// over as many rows of a large image, arrive while the current fit runs.
void prefetch_window(const np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea, Sint64 n_peaks,
                     const Sint64 *center_x, const Sint64 *center_y, Sint64 i);

// The batch's starting values from the window (row stride im_w): amp 0.0 is
// estimated from the window's range and the starting widths; the offset
// starts at the window's minimum.
void start_values(const np_float64 *window, Sint64 im_w, int side, np_float64 *params);

// One fitted peak of the least-squares batch: fit_gauss_2d_on_float_image's
// result, and the solver's stop reason and iteration count (NaN if the
// solver never ran).
struct PeakFit {
    int result;
    double stop_reason;
    double iterations;
    // Stop reason 3, truncated toward zero.
    bool hit_limit() const { return stop_reason >= 3.0 && stop_reason < 4.0; }
};

// Fits the peak at (center_x, center_y) from its record `rec` (10 values,
// [0..6] replaced by the fit, [8] by the residual noise) and writes the
// standard errors into std_rec[0..6] (NaN without a covariance).
PeakFit fit_peak(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea, Sint64 center_x, Sint64 center_y,
                 np_float64 *rec, np_float64 *std_rec);

}  // namespace gauss2
