/*
 * Extensions of the Gaussian spot fitter for photon-counting data: a Poisson
 * maximum-likelihood batch fit with Cramer-Rao standard errors, photon-noise
 * standard errors for least-squares records, and a least-squares batch that
 * reports each peak's stop reason and iteration count.
 *
 * Same conventions as gauss2_fitter.h: plain C ABI over caller-owned,
 * row-major, contiguous float64 arrays; the 7-parameter model, its patch
 * frame, the 10-value records and the window of fit_gauss_2d_on_float_image;
 * no state between calls, no heap while fitting, reentrant, and results that
 * do not depend on the thread that computes them. The stack a fit needs is
 * the least-squares fit's for the same mea (gauss2_fitter.h).
 *
 * Images are in photo-electrons (the camera's counts converted by the
 * caller). Read noise enters as the usual approximation for EMCCD and sCMOS
 * data: pixel x with read-noise variance s2 is taken as a Poisson count
 * x + s2 of mean mu + s2, mu being the model. s2 is one value for the whole
 * image (`read_var`), or a map of the image's shape (`read_var_map`, per
 * pixel, sCMOS; NULL for none, in which case read_var applies everywhere).
 */
#ifndef GAUSS2_MLE_H
#define GAUSS2_MLE_H

#include "gauss2_fitter.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Per-peak flags of the batches below. */
#define GAUSS2_FLAG_GOOD 0
#define GAUSS2_FLAG_SKIPPED 1 /* a negative index, or the window leaves the image */
#define GAUSS2_FLAG_FAILED 2  /* no estimate: invalid data or start, singular information */
#define GAUSS2_FLAG_ITERATION_LIMIT 3

/* Largest number of iterations of a maximum-likelihood fit. */
#define GAUSS2_MLE_MAX_ITERATIONS 75

/* Options of the maximum-likelihood fit {tau, eps2}: the initial damping,
 * relative to the diagonal of the Fisher information (default 1e-3; a value
 * that is not positive and finite counts as the default), and the stopping
 * bound (see below; NaN or a negative bound never stops a fit before the
 * iteration limit). Read at every fit; the host may change them. */
C_COMMON_EXPORT extern np_float64 gauss2_mle_opts[2];

/* ---- Poisson maximum likelihood ----------------------------------------- */

/* Fits every peak i of n_peaks by maximum likelihood: pixel (center_x[i],
 * center_y[i]) is the window's centre, a negative index skips the peak;
 * params holds n_peaks records of 10 values, [0..6] the start, replaced by
 * the estimate, with the least-squares batch's starting values (amp 0.0 is
 * estimated from the window's range and the starting widths, the offset
 * starts at the window's minimum).
 *
 * Likelihood: with y = x + s2 and m = mu + s2 per pixel,
 *     log L = sum (y log m - m) + const,
 * over the window's pixels. A pixel with x + s2 <= 0 counts as y = 0 (its
 * term is -m): a Poisson count is never negative, and a negative y would
 * make the likelihood grow without bound as m -> 0.
 * The domain: widths > 0, |rho| < 1 and m > 0 (at least DBL_MIN) on every
 * pixel. The start has the offset at the window's minimum lo; when
 * lo + s2 <= 0 on some pixel, the offset starts at 1 - min(s2) instead (a
 * background of one photo-electron), inside the domain.
 *
 * Solver: damped Fisher scoring (Levenberg-Marquardt's damping on the Fisher
 * information with Marquardt's diagonal scaling; cf. Laurence and Chromy,
 * Nature Methods 7, 338 (2010), who apply Levenberg-Marquardt to the Poisson
 * likelihood). Steps that would leave the domain are rejected and the
 * damping raised, never taken. The Fisher information and the score are the
 * least-squares fit's moments weighted per pixel: sum J J^T / m and
 * sum (y / m - 1) J.
 *
 * Stopping: when lambda^2 = s^T I^-1 s <= eps2 (gauss2_mle_opts[1], default
 * 1e-6) at the current point, s the score and I the Fisher information.
 * lambda^2 is twice the log-likelihood gain of the full scoring step: the
 * likelihood would change by less than eps2 / 2, and that step moves no
 * parameter by more than lambda = 1e-3 of its standard error. A 100x
 * tighter bound moves the estimates by 3e-4 of their standard error (RMS),
 * 7e-3 at most, on the photon workload of bench/precision.py, which prints
 * the measurement; 1e-4 would allow 0.4 % RMS and 11 % at most, at two
 * iterations less. At most GAUSS2_MLE_MAX_ITERATIONS iterations.
 *
 * Outputs per fitted peak: [0..6] of the record the estimate (the last
 * accepted point if the fit failed), [8] the log-likelihood ratio statistic
 * against the saturated model (m = y), 2 sum (m - y + y log(y / m)), about
 * chi-square with n - 7 degrees of freedom for a good fit (NaN without an
 * estimate); [7] and [9] are never touched. std_params[0..6] the Cramer-Rao
 * bounds: square roots of the diagonal of the inverse Fisher information at
 * the estimate (NaN without one); [7..9] never touched. flags[i] one of the
 * GAUSS2_FLAG_* codes; iterations[i] the iterations done (0 for a skipped
 * peak); `iterations` may be NULL. A skipped peak's records are left as they
 * were; a window outside the image writes NaN into [8] and the standard
 * errors.
 *
 * Contract breaks end the process through `ensure`: read_var negative or not
 * finite ("Read-noise variance ..."), before any peak; an even mea, mea >
 * GAUSS2_MAX_MEA or mea < -1 as for fit_gauss_2d_on_float_image, at the
 * first fitted peak. A map value that is negative or not finite fails the
 * peaks whose window holds it (GAUSS2_FLAG_FAILED), as does a NaN pixel.
 * Always returns 0. */
C_COMMON_EXPORT int fit_array_of_gauss_2d_mle_on_float_image(np_float64 *im, Sint64 im_w, Sint64 im_h,
                                                             Sint64 mea, Sint64 n_peaks, Sint64 *center_x,
                                                             Sint64 *center_y, np_float64 read_var,
                                                             const np_float64 *read_var_map,
                                                             np_float64 *params, np_float64 *std_params,
                                                             Sint64 *flags, Sint64 *iterations);

/* ---- photon-noise errors of least-squares fits ------------------------------ */

/* For records fitted by the least-squares batch (n_peaks records of 10
 * values, [0..6] the parameters in the patch frame, read only) on the
 * windows of the same centres and mea in an im_h x im_w image: the
 * photon-noise standard errors, square roots of the diagonal of the sandwich
 * covariance (J^T J)^-1 J^T diag(mu + s2) J (J^T J)^-1 at the record's
 * parameters, mu the fitted model, into std_params[0..6] (n_peaks x 10;
 * [7..9] never touched). No pixel value is read: only the model and the
 * read-noise variance enter. Negative indices skip the peak (untouched);
 * NaN for a window outside the image, for mu + s2 <= 0 on a pixel, a map
 * value that is negative or not finite, or J^T J not of full rank.
 * Contract breaks as for the maximum-likelihood batch. Always returns 0. */
C_COMMON_EXPORT int photon_std_of_gauss_2d_records(Sint64 im_w, Sint64 im_h, Sint64 mea, Sint64 n_peaks,
                                                   const Sint64 *center_x, const Sint64 *center_y,
                                                   np_float64 read_var, const np_float64 *read_var_map,
                                                   const np_float64 *params, np_float64 *std_params);

/* ---- least squares with a per-peak report ------------------------------------- */

/* fit_array_of_gauss_2d_on_float_image's fits, records and standard errors,
 * bit for bit (the same per-peak loop), with flags[i] one of the
 * GAUSS2_FLAG_* codes in place of fails[i] (a window outside the image is
 * GAUSS2_FLAG_SKIPPED, a solver failure GAUSS2_FLAG_FAILED, stop reason 3
 * GAUSS2_FLAG_ITERATION_LIMIT), stop_reasons[i] the solver's stop reason
 * (1..7, dlevmar_stop_reasons; 0 if the solver did not run) and
 * iterations[i] its iteration count (0 if it did not run). stop_reasons and
 * iterations may be NULL. Always returns 0. */
C_COMMON_EXPORT int fit_array_of_gauss_2d_on_float_image_report(np_float64 *im, Sint64 im_w, Sint64 im_h,
                                                                Sint64 mea, Sint64 n_peaks, Sint64 *center_x,
                                                                Sint64 *center_y, np_float64 *params,
                                                                np_float64 *std_params, Sint64 *flags,
                                                                Sint64 *stop_reasons, Sint64 *iterations);

#ifdef __cplusplus
}
#endif

#endif /* GAUSS2_MLE_H */
