/*
 * Extension: finding the peak pixels to fit in stacks of camera frames.
 *
 * Not part of the fitter's own interface (gauss2_fitter.h), which takes peak
 * pixels found by the caller; this is the finder that the Python layer's
 * find_peaks and localize use, native because at tens of fits per frame the
 * search must cost well under a millisecond per frame.
 *
 * A pixel is a peak when, in the frame smoothed by a Gaussian of `smooth`
 * pixels, it is the largest value of the (2 * min_distance + 1)^2 square
 * around it (clipped at the frame's edges), exceeds the threshold, and lies
 * at least `border` pixels from every edge (so that a window of side
 * 2 * border + 1 around it fits). An 8-connected group of such pixels (a flat
 * top: neighbouring maxima are always equal) yields one peak, the member
 * nearest the group's centroid, the first in row-major order on ties.
 *
 * Smoothing: the kernel exp(-k^2 / (2 smooth^2)) for |k| <= (int)(4 smooth
 * + 0.5), normalised to sum 1, applied along columns then along rows, edges
 * extended by their nearest pixel. smooth == 0 leaves the frame as it is.
 *
 * Automatic threshold (when `threshold` is NaN): the median of the smoothed
 * frame plus n_sigma times the noise of a smoothed background pixel, that is
 * 1.482602218505602 * MAD(d) / sqrt(2) * sum_k w_k^2, where d are the
 * differences of horizontally neighbouring pixels, MAD their median absolute
 * deviation from their median and w the kernel. Both statistics use the rows
 * 0, k, 2k, ... with k = max(1, im_w * im_h / 8192) (about 8192 pixels; all
 * rows of frames up to 8192 pixels), so that their cost does not grow with
 * the frame. A median of an even count is the mean of the two middle values.
 *
 * Non-finite pixels are first replaced by the median of the frame's finite
 * pixels (0 when there are none), so they neither become peaks nor spread.
 *
 * Local background (find_peaks_in_frames_with_background, background_tile
 * > 0): the smoothed frame is cut into ny x nx tiles of about background_tile
 * pixels a side (ny = max(1, round(im_h / background_tile)), tile t holding
 * rows floor(t im_h / ny) to floor((t + 1) im_h / ny) - 1; columns alike),
 * the median of each tile's pixels in every other row from its first is
 * its background at its centre, and the background B
 * of a pixel is interpolated bilinearly between the tiles' centres (held
 * constant beyond the outer centres). The search then runs on the smoothed
 * frame minus B, and the threshold is above B: the given one, or n_sigma
 * times the smoothed background noise without the median. Uneven
 * illumination (a slope, vignetting) thus neither creates peaks where the
 * frame is bright nor hides them where it is dark. Tiles should be several
 * spot widths wide, so that spots do not move their medians.
 *
 * Conventions as in gauss2_fitter.h: row-major, contiguous float64 frames,
 * caller-owned memory; nothing is allocated, no state is kept, calls from
 * several threads on separate work buffers are safe.
 */
#ifndef GAUSS2_PEAKS_H
#define GAUSS2_PEAKS_H

#include "gauss2_fitter.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest smoothing sigma, pixels: the kernel's weights live on the stack. */
#define GAUSS2_MAX_SMOOTH 64.0

/* Extension. Doubles of work memory that find_peaks_in_frames needs for
 * frames of im_w x im_h pixels (4 * im_w * im_h); allocate once, reuse.
 * A negative size, or one whose count exceeds 64 bits, ends the process
 * through `ensure`. */
C_COMMON_EXPORT Sint64 find_peaks_work_size(Sint64 im_w, Sint64 im_h);

/* Extension. Peak pixels of each of `n_frames` frames (frame f is im_h rows
 * of im_w values at frames + f * im_w * im_h; read only), by the rule above.
 *
 * threshold: in units of the smoothed frame, or NaN for the automatic one.
 * n_sigma: used by the automatic threshold only. border >= 0: peaks lie in
 * [border, im_h - border) x [border, im_w - border). min_distance >= 1
 * (any value from max(im_w, im_h) up finds the same peaks).
 * 0 <= smooth <= GAUSS2_MAX_SMOOTH. work: find_peaks_work_size doubles,
 * overwritten.
 *
 * Stores the peaks in frame order, then row-major order within a frame:
 * peak_frame[k] (0-based index in this call), peak_x[k] (column),
 * peak_y[k] (row), for k < min(total, max_peaks); the threshold used for
 * frame f in thresholds[f]. Returns the total number of peaks found, which
 * may exceed max_peaks: then call again with room for that many (the result
 * is the same). Arguments out of range end the process through `ensure`. */
C_COMMON_EXPORT Sint64 find_peaks_in_frames(const np_float64 *frames, Sint64 n_frames, Sint64 im_w,
                                            Sint64 im_h, np_float64 smooth, Sint64 min_distance,
                                            Sint64 border, np_float64 threshold, np_float64 n_sigma,
                                            np_float64 *work, Sint64 max_peaks, Sint64 *peak_frame,
                                            Sint64 *peak_x, Sint64 *peak_y, np_float64 *thresholds);

/* Extension. find_peaks_in_frames with a local background (above):
 * background_tile > 0 is the tiles' side in pixels; 0 gives
 * find_peaks_in_frames's search, peaks and thresholds exactly. thresholds[f]
 * receives the threshold above the local background. A negative
 * background_tile ends the process through `ensure`; other arguments as for
 * find_peaks_in_frames (the same work memory). */
C_COMMON_EXPORT Sint64 find_peaks_in_frames_with_background(
    const np_float64 *frames, Sint64 n_frames, Sint64 im_w, Sint64 im_h, np_float64 smooth,
    Sint64 min_distance, Sint64 border, np_float64 threshold, np_float64 n_sigma, Sint64 background_tile,
    np_float64 *work, Sint64 max_peaks, Sint64 *peak_frame, Sint64 *peak_x, Sint64 *peak_y,
    np_float64 *thresholds);

#ifdef __cplusplus
}
#endif

#endif /* GAUSS2_PEAKS_H */
