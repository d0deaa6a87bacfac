/*
 * Extension: localising crowded spots. A Poisson maximum-likelihood batch
 * (gauss2_mle.h's model of the data, its flags and its solver) that fits
 * several emitters jointly where one Gaussian does not explain a peak's
 * window, each molecule reported once; its windows are placed by the
 * caller, anywhere inside the image, so that a peak at the edge of a frame
 * is fitted from a window moved inward (the peak off-centre in it) from
 * pixels of the frame only.
 *
 * Same conventions as gauss2_fitter.h: plain C ABI over caller-owned,
 * row-major, contiguous float64 arrays; no state between calls, no heap,
 * reentrant, and results that do not depend on the thread that computes
 * them, on how the caller splits the peaks between calls, nor on which
 * frames the caller stacks into one image.
 */
#ifndef GAUSS2_MULTI_H
#define GAUSS2_MULTI_H

#include "gauss2_fitter.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest number of emitters in one window's model. */
#define GAUSS2_MULTI_MAX_EMITTERS 8
/* Largest window side of a batch with more than one emitter a window: the
 * joint fit's working memory is on the stack, and a fit at this side with
 * GAUSS2_MULTI_MAX_EMITTERS emitters needs at most 100 KiB of it (86 KiB
 * measured), within a 128 KiB thread stack. */
#define GAUSS2_MULTI_MAX_MEA 31

/* Options of the model selection, {gof_alpha, lrt_alpha, min_photons,
 * min_separation, shape_margin}; NULL takes the defaults
 * GAUSS2_MULTI_DEFAULT_OPTS, and so does an entry that is NaN:
 *   gof_alpha       significance of the tests that open joint fits in a
 *                   window without other peaks: its single fit's
 *                   log-likelihood ratio statistic against the saturated
 *                   model above the upper gof_alpha quantile of chi-square
 *                   with n - 7 degrees of freedom (n the window's pixels;
 *                   Wilson and Hilferty's approximation), or its larger
 *                   width above psf_sigma by more than the upper gof_alpha
 *                   normal quantile times its Cramer-Rao bound (two close
 *                   emitters pass the first test as one elongated spot);
 *   lrt_alpha       significance of the likelihood-ratio test that keeps one
 *                   more emitter: twice the log-likelihood gain above the
 *                   upper lrt_alpha quantile of chi-square with 3 degrees of
 *                   freedom (its photons and position);
 *   min_photons     an emitter added from the residual needs at least this
 *                   volume (photo-electrons) to be kept;
 *   min_separation  and at least this distance, in units of psf_sigma, from
 *                   every other emitter of the model;
 *   shape_margin    in a window without other peaks, more emitters are kept
 *                   only with a log-likelihood ratio statistic below the
 *                   single fit's plus this margin. Two round emitters have
 *                   the seven parameters of the single fit's elliptical
 *                   Gaussian: with margin 0 a clean elongated spot (a PSF
 *                   that is not round) is never split, at the cost of some
 *                   close pairs that one ellipse explains about as well.
 *                   bench/crowded.py --pairs: two emitters of 3000 photons
 *                   1.5 psf_sigma apart are resolved 84 % of the time at 0,
 *                   99 % at 7 and 100 % at +infinity (which turns the
 *                   comparison off), and clean elongated spots split 0, 15
 *                   and 80 % of the time. */
#define GAUSS2_MULTI_N_OPTS 5
#define GAUSS2_MULTI_DEFAULT_OPTS \
    { 1e-3, 1e-6, 0.0, 1.0, 0.0 }

/* Fits the peaks first .. first + count - 1 of the n_peaks peaks of an image
 * of im_h rows, a stack of frames of frame_h rows each (im_h itself for one
 * frame). Peak i is pixel (center_x[i], center_y[i]) (a negative index
 * skips it) and is fitted in the mea x mea window centred on pixel
 * (window_x[i], window_y[i]), which must lie inside the peak's frame (a
 * peak whose window leaves the image, or whose pixel lies outside its
 * window, is skipped). All n_peaks peaks are read: those of a peak's frame
 * are its neighbours. They are found fastest sorted by row (center_y
 * non-decreasing); any order gives the same result.
 *
 * `single`, `single_std`, `single_flags` and `single_iterations` (n_peaks
 * records of 10 values, records, flags, iterations; single_iterations may
 * be NULL) are every peak's single fit: the maximum-likelihood batch's
 * (fit_array_of_gauss_2d_mle_on_float_image) outputs on the same windows
 * with the same read_var and read_var_map, positions in each window's patch
 * frame. They are read only.
 *
 * A peak whose window holds no other peak and whose single fit explains it
 * (the tests of gof_alpha above), or any peak with max_emitters 1, keeps its
 * single fit: its one row is that fit, to the bit, with the position moved
 * into frame coordinates (n_emitters 1).
 *
 * Otherwise a joint fit on its window: round Gaussians of width psf_sigma
 * (pixels) on one shared background; free emitters, whose photons and
 * position are fitted, for the peak and for the other peaks in the window,
 * nearest first, up to max_emitters; the next peaks of the frame, in the
 * window or up to 2 psf_sigma beyond its edges, as emitters whose photons
 * are fitted at the position of their single fit (nearest first, up to 3 of
 * them); the light of any others, from their single fits, as known; at most
 * GAUSS2_MULTI_MAX_EMITTERS emitters in all. Free emitters start from their peaks' single
 * fits, and may move up to 3 psf_sigma beyond the window's edges. Damped
 * Fisher scoring (lm/scoring.h) to lambda^2 <= 1e-4 (no parameter would move
 * by more than 1 % of its standard error). Then, while the model has fewer
 * than max_emitters free emitters and GAUSS2_MULTI_MAX_EMITTERS in all: one
 * more, started at the pixel centre
 * (not on the window's edge, at least min_separation psf_sigma from every
 * emitter) of the largest score statistic for a new emitter there, where
 * that statistic reaches half the likelihood-ratio test's threshold; kept if
 * the fit with it beats the fit without it by that test, has photons and
 * distances meeting min_photons and min_separation and, in a window without
 * other peaks, a log-likelihood ratio statistic below the single fit's plus
 * shape_margin. A window without other peaks and
 * without light from beyond whose joint fit keeps one emitter keeps its
 * single fit.
 *
 * Rows: peak i owns rows max_emitters i .. max_emitters i + n_rows[i] - 1
 * of `out` and `out_std` (10 values a row) and of `out_flags`. The first
 * row is the peak's own emitter; then the emitters added from the residual
 * that lie nearer to this peak's pixel centre than to any other peak's of
 * its frame: an emitter is reported by the window of the peak it belongs
 * to and by no other. A row's out[0..6] are photons (volume), sx, sy, x, y,
 * rho and background, with x and y in the coordinates of the peak's frame
 * (column x, row y of the frame covers [x, x + 1) x [y, y + 1)); out[8] the
 * window's log-likelihood ratio statistic against the saturated model;
 * out[7] and out[9] are never touched. A joint fit's rows have
 * sx = sy = psf_sigma and rho = 0, and out_std[0..6] the Cramer-Rao bounds
 * from the joint Fisher information (NaN for sx, sy and rho, which are not
 * fitted); a single fit's row its record and bounds. out_flags one of the
 * GAUSS2_FLAG_* codes of gauss2_mle.h; n_emitters[i] the emitters of the
 * window's model; iterations[i] the solver's iterations of the reported
 * fit. A skipped peak has one row, flagged GAUSS2_FLAG_SKIPPED, whose
 * values are not touched (n_emitters 0, iterations 0).
 *
 * Contract breaks end the process through `ensure`, before any peak:
 * read_var negative or not finite, max_emitters outside
 * 1..GAUSS2_MULTI_MAX_EMITTERS, psf_sigma not positive or above
 * GAUSS2_MULTI_MAX_MEA, frame_h below 1, first or count negative or
 * first + count beyond n_peaks, mea > GAUSS2_MULTI_MAX_MEA with
 * max_emitters > 1; an even mea, mea > GAUSS2_MAX_MEA or mea < -1 as for
 * the maximum-likelihood batch, at the first fitted peak. Always returns 0. */
C_COMMON_EXPORT int fit_array_of_gauss_2d_multi_mle_on_float_image(
    const np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 frame_h, Sint64 mea, Sint64 n_peaks,
    const Sint64 *center_x, const Sint64 *center_y, const Sint64 *window_x, const Sint64 *window_y,
    Sint64 first, Sint64 count, np_float64 read_var, const np_float64 *read_var_map, Sint64 max_emitters,
    np_float64 psf_sigma, const np_float64 *opts, const np_float64 *single, const np_float64 *single_std,
    const Sint64 *single_flags, const Sint64 *single_iterations, np_float64 *out, np_float64 *out_std,
    Sint64 *out_flags, Sint64 *n_rows, Sint64 *n_emitters, Sint64 *iterations);

#ifdef __cplusplus
}
#endif

#endif /* GAUSS2_MULTI_H */
