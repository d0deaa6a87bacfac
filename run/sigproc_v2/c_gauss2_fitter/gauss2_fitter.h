/*
 * Gaussian spot fitter: an elliptical 2D Gaussian on a constant background,
 * its analytic Jacobian, least-squares fits of patches and of every peak of
 * an image, rendering of peaks into images, and fit diagnostics.
 *
 * Plain C ABI over caller-owned, row-major, contiguous float64 arrays. The
 * library keeps no state between calls and allocates nothing while fitting.
 *
 * Gaussian parameter vector (7 values, always in this order):
 *   [0] amp     volume of the Gaussian term (integral over the plane)
 *   [1] std_x   standard deviation along x (columns), pixels
 *   [2] std_y   standard deviation along y (rows), pixels
 *   [3] pos_x   centre x in the patch frame
 *   [4] pos_y   centre y in the patch frame
 *   [5] rho     correlation of x and y; finite model only for |rho| < 1
 *   [6] offset  constant background
 * Patch frame: pixel (row i, column j) of an s x s patch is element i*s + j
 * and has its centre at (x, y) = (j + 0.5, i + 0.5).
 */
#ifndef GAUSS2_FITTER_H
#define GAUSS2_FITTER_H

#include "c_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef double np_float64;

/* Largest patch side of the image fits (fit_gauss_2d_on_float_image and
 * the batch) and of the renderer, whose patches live on the calling thread's
 * stack. A larger `mea` ends the process through `ensure` with a message
 * naming the bound. fit_gauss_2d takes any side.
 *
 * Stack: a fit reserves working memory for the size class s of its side
 * (7, 11, 15, 21, 31, 45 or 63: the patch and two more arrays of its size,
 * and per-column terms; the larger of the two layouts of the kernels, rows
 * padded to a multiple of 8 with a scalar per column term,
 * 8 * (3 * s * (s rounded up to a multiple of 8) + 8 * s) bytes, and rows
 * padded to a multiple of 4 with a four-lane vector per column term,
 * 8 * (3 * s * (s rounded up to a multiple of 4) + 16 * s) bytes) and needs
 * at most 12 KiB besides, so a fit needs
 *     mea    1-7  9-11  13-15  17-21  23-31  33-45  47-63
 *     KiB     15    17     20     27     40     69    115
 * of the calling thread's stack: 115 KiB at the largest mea, within a
 * 128 KiB thread stack (musl's default) together with the thread's own
 * few KiB. */
#define GAUSS2_MAX_MEA 63

/* ---- model and Jacobian ------------------------------------------------- */

/* Renders the Gaussian `params` (7 values, read) into `pixels`: s*s values
 * are stored, s = (int)sqrt(n_pixels), row-major; the rest of n_pixels is
 * left as it was. n_pixels <= 0 writes nothing. Each pixel is the model at
 * its centre. n_params and adata are not read (levmar callback signature).
 * |rho| >= 1 or a zero width gives NaN everywhere. */
C_COMMON_EXPORT void gauss_2d(np_float64 *params, np_float64 *pixels, int n_params, int n_pixels,
                              void *adata);

/* Writes the model's partial derivatives: for pixel p = i*s + j (s as in
 * gauss_2d) and parameter k, jac[p*7 + k]; 7*s*s values. Entry 6 (offset)
 * is always 1.0. |rho| >= 1 or a zero width makes entries 0..5 NaN. */
C_COMMON_EXPORT void jac_gauss_2d(np_float64 *params, np_float64 *jac, int n_params, int n_pixels,
                                  void *adata);

/* ---- patch and batch fits ---------------------------------------------- */

/* Scale of the pixel values. The solver's stopping rules compare each step
 * with the norm of the whole parameter vector, whose amp and offset grow
 * with the pixel values while positions and widths do not. On an image
 * scaled far up (or down) a fit can therefore stop after a few iterations
 * with the position and widths barely moved, and nothing flags it (result
 * 0, flag 0). Measured on spots of 3000 photons on a background of 100
 * (largest pixel 373) and the same images multiplied by powers of ten
 * (bench/scale_range.py): fits agree with those of the unscaled images
 * within 1e-3 px (widths 1e-3 relative) for factors 1e-9 to 10^5.5, within
 * 0.1 px for factors 1e-9 to 1e7; beyond, positions are off by up to half a
 * pixel. Fits are trustworthy while the largest absolute pixel value of the
 * fitted windows lies between 1e-6 and 1e8; scale other images (to photons,
 * say) before fitting. The Python layer and the tool warn outside that range. */

/* Solver options {tau, eps1, eps2, eps3, delta}: the scale of the initial
 * damping and the stopping thresholds on ||J^T e||_inf, ||dp|| and ||e||^2
 * (delta is not used by the analytic-Jacobian solver). Read at every fit; the
 * host may change them. */
C_COMMON_EXPORT extern np_float64 dlevmar_opts[5];

/* Fits the Gaussian to a mea x mea patch (row-major `pixels`, read) from the
 * seven starting values in `params`, which receive the fitted values. Writes
 * the solver report `info` (10 values: [0] initial and [1] final sum of
 * squared residuals, [5] iterations, [6] stop reason 1..7) and the 7 x 7
 * covariance `covar`, row-major. At most 75 iterations.
 * Returns 0 if the solver finished at least one iteration without error,
 * else -1 (also for mea <= 0 or a patch of fewer than 7 pixels, which writes
 * nothing). Any side fits: above GAUSS2_MAX_MEA the working memory comes
 * from the heap for the call (-1, nothing written, if the heap refuses it).
 * mea > 46340, whose square overflows the solver's 32-bit count of
 * measurements, returns -1 without reading the patch. */
C_COMMON_EXPORT int fit_gauss_2d(np_float64 *pixels, Sint64 mea, np_float64 *params, np_float64 *info,
                                 np_float64 *covar);

/* Cuts the mea x mea window centred on pixel (center_x, center_y) out of the
 * im_h x im_w image (row-major, read) and fits it. `params` holds the start
 * in the patch frame, whose middle pixel's centre is (mea/2, mea/2): amp 0.0
 * asks for an estimate from the window's range and the starting widths; the
 * offset always starts at the window's minimum. On return `params` holds
 * the fit (positions in the patch frame), `info` and `covar` as above, and
 * `noise` the root of the sum of squared deviations of the residuals from
 * their mean (0.0 unless the solver succeeded).
 * The window runs from half = mea / 2 (truncated toward zero) pixels before
 * the centre to half after it, in both directions: for mea = -1 it is the
 * centre pixel alone.
 * Returns 0 on success, -1 if the solver failed (e.g. NaN pixels, or mea =
 * 1 or -1, a single pixel), -2 if the window leaves the image (nothing
 * written). Ends the process through `ensure` for an even mea ("Mea must be
 * odd"), mea > GAUSS2_MAX_MEA ("Mea too large") and, once the window is
 * inside the image, mea < -1, whose window of 2 * half + 1 pixels a side
 * does not hold mea * mea pixels ("size mismatch"). */
C_COMMON_EXPORT int fit_gauss_2d_on_float_image(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 center_x,
                                                Sint64 center_y, Sint64 mea, np_float64 *params,
                                                np_float64 *info, np_float64 *covar, np_float64 *noise);

/* Fits every peak i of n_peaks: pixel (center_x[i], center_y[i]); a negative
 * index skips the peak. params holds n_peaks records of 10 values: [0..6]
 * the start, replaced by the fit; [8] receives the residual noise; [7] and
 * [9] belong to the caller and are never touched. std_params (n_peaks x 10)
 * receives the standard errors of the seven parameters in [0..6] (NaN where
 * the fit produced no covariance: window outside, solver refused); [7..9]
 * are never touched. fails[i] becomes 1 if the peak was skipped, its fit
 * failed or it stopped at the iteration limit, else 0. A skipped peak's
 * records are left as they were. Always returns 0; contract breaks (see
 * fit_gauss_2d_on_float_image) end the process at the first fitted peak. */
C_COMMON_EXPORT int fit_array_of_gauss_2d_on_float_image(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea,
                                                         Sint64 n_peaks, Sint64 *center_x, Sint64 *center_y,
                                                         np_float64 *params, np_float64 *std_params,
                                                         Sint64 *fails);

/* ---- image synthesis ---------------------------------------------------- */

/* Adds the Gaussians of `n_peaks` peaks into the image `im` (im_h rows of
 * im_w values, row-major, row stride im_w; read and written, never cleared).
 * `params` holds 7 values per peak (read only, never modified) with pos_x /
 * pos_y in image coordinates: column x, row y covers [x, x+1) x [y, y+1).
 * Each peak is rendered on a mea x mea patch whose corner is
 * c0 = floor(pos_x - mea/2 + 0.5), r0 = floor(pos_y - mea/2 + 0.5); it is
 * skipped silently unless 0 <= pos < size, 0 <= c0, c0 + mea < im_w,
 * 0 <= r0 and r0 + mea < im_h (so the last column and row are never
 * written). mea <= 0 renders nothing; mea > GAUSS2_MAX_MEA ends the process
 * with "Mea too large: <mea> (at most 63)". Allocates nothing. Returns 0. */
C_COMMON_EXPORT int synth_image(np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea, Uint64 n_peaks,
                                const np_float64 *params);

/* ---- fit diagnostics ---------------------------------------------------- */

/* Texts of the solver's stop reasons, indexed by the code in info[6]; entry
 * 0 ("Unknown") stands for every code outside 1..7. Writable: an entry the
 * host replaces is what later lookups return and dump_info prints. */
C_COMMON_EXPORT extern char *dlevmar_stop_reasons[8];

/* The entry of dlevmar_stop_reasons for the solver report `info` (slot 6
 * read, truncated toward zero): entries 0..7 by code, entry 0 for any other
 * value, NaN and values outside the 32-bit range included. The caller
 * neither frees nor changes the string. */
C_COMMON_EXPORT char *get_dlevmar_stop_reason_from_info(const np_float64 *info);

/* The dumps write a header record through `_trace` (to the log and to
 * stderr), then a body of values, each as "%f, ", to the log stream `_log`
 * only, closed by "]\n\n"; the body is not flushed. If the log cannot be
 * opened the body is dropped and the call still returns. */

/* Header "<label>: PIXELS [", then 121 values (an 11 x 11 patch), 11 per
 * line, each line starting with a newline. */
C_COMMON_EXPORT void dump_pixels(const char *label, const np_float64 *pixels);

/* Header "<label>: PARAMS [", 10 values on one line, then the record
 * "<label>: END PARAMS" (log and stderr, also when the log is missing). */
C_COMMON_EXPORT void dump_params(const char *label, const np_float64 *params);

/* Header "<label>: JAC [", then n values (none if n <= 0), 7 per line with
 * an extra empty line before every group of 77. */
C_COMMON_EXPORT void dump_jacobian(const char *label, const np_float64 *jac, int n);

/* Five records to the log and stderr: "INFO:", then info[0] ("e^2 at p0"),
 * info[4] ("mu?"), info[5] ("n_iter") as %f and the stop-reason text. */
C_COMMON_EXPORT void dump_info(const np_float64 *info);

/* 1 if none of the im_w * im_h values of `im` is NaN, 0 at the first NaN
 * (later values are not read). Infinities pass. Returns 1 without reading
 * when the product is 0 or negative, or when it overflows 64 bits. */
C_COMMON_EXPORT int validate_im(const np_float64 *im, Sint64 im_w, Sint64 im_h);

/* Does nothing; lets the host check that the library is loaded. */
C_COMMON_EXPORT void gauss2_check(void);

#ifdef __cplusplus
}
#endif

#endif /* GAUSS2_FITTER_H */
