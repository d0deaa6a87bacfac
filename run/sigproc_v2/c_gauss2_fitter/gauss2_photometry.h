/*
 * Extension: photometry of spots of known shape. For each spot, given its
 * position, widths and correlation, the brightness (the volume of its
 * Gaussian) and the local background in one image, with photon-noise
 * standard errors. The job of a pipeline that images one field many times
 * (cycles, channels), finds its spots once, and measures every spot in every
 * image: a spot that has gone dark measures near zero, with its error bar,
 * and is not a failure.
 *
 * Same conventions as gauss2_fitter.h: plain C ABI over caller-owned,
 * row-major, contiguous float64 arrays; no state between calls, reentrant,
 * results that do not depend on the thread that computes them. The working
 * memory is the caller's (gauss2_photometry_work_size): nothing is
 * allocated.
 *
 * Spots: n_spots records of GAUSS2_PHOTOMETRY_SPOT_SIZE values, x, y,
 * std_x, std_y, rho, with x, y in image coordinates (pixel (column c, row r)
 * covers [c, c + 1) x [r, r + 1), its centre at (c + 0.5, r + 0.5)), as
 * synth_image and the localisation tables have them. A spot's window is the
 * mea x mea square of pixels centred on the pixel holding (x, y), cut to the
 * frame: at the frame's edge only the pixels inside it are used.
 *
 * The model of a group of spots (below) over the union P of their windows:
 *     m(p) = sum_k a_k G_k(p) [p in reach k] + b_c(p),
 * G_k the unit-volume Gaussian of spot k sampled at pixel centres (the
 * model of gauss_2d), its reach the square of side 2 mea - 1 around its
 * window's centre (which holds every window that can overlap its own: a
 * spot's light is modelled wherever it falls on its neighbours' pixels, not
 * only in its own window; outside its window, where it is below 1e-4 of the
 * spot's height, it is left out), a_k its signal, and b_c(p) the background
 * of the spot c(p) whose window holds p and whose centre is nearest p's
 * centre (ties: the first in order): each spot has its own background, over
 * the pixels nearest it, so that a slope in the illumination across a group
 * does not bias its members. An isolated spot thus has two parameters, its
 * signal and its background.
 *
 * Estimate: the Poisson maximum likelihood of (a, b) for data x (in
 * photo-electrons) with read-noise variance s2 per pixel (x + s2 taken as a
 * Poisson count of mean m + s2; see gauss2_mle.h), by iteratively
 * reweighted least squares: a first solve with equal weights, then weights
 * 1 / v(p), v = max(m + s2, v_floor), at the last estimate, until the step
 * is below GAUSS2_PHOTOMETRY_STEP_BOUND in units of the standard errors
 * (lambda^2 = step^T F step, F the Fisher information; the likelihood
 * equations of a model linear in its parameters are the weighted normal
 * equations at the estimate, so their fixed point is the maximum
 * likelihood). v_floor is 1/16 of the mean of max(x + s2, 0) over P (1 when
 * that mean is 0): it keeps the weights finite where a negative signal
 * would make m + s2 vanish. Signals may be negative; a dark spot is never
 * flagged for being dark.
 *
 * Standard errors: square roots of the diagonal of F^-1,
 * F = sum over P of J J^T / v (J: the G_k of the spots modelled at p, and
 * 1 for the background b_c(p)), at the last estimate but one (one step
 * below the bound from the last).
 *
 * Masked pixels: a pixel that is not finite, or whose read-noise variance
 * (map) is negative or not finite, is left out of P.
 */
#ifndef GAUSS2_PHOTOMETRY_H
#define GAUSS2_PHOTOMETRY_H

#include "gauss2_fitter.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Values of a spot record: x, y, std_x, std_y, rho. */
#define GAUSS2_PHOTOMETRY_SPOT_SIZE 5
/* Values of a result record: signal, signal_se, bg, bg_se. */
#define GAUSS2_PHOTOMETRY_RESULT_SIZE 4
/* Most spots fitted in one group (one system of 2 * this many unknowns). */
#define GAUSS2_PHOTOMETRY_MAX_GROUP 64
/* Most reweighted solves of a group. */
#define GAUSS2_PHOTOMETRY_MAX_ITERATIONS 30
/* Stopping bound on lambda^2 = step^T F step: the last step moved no
 * parameter by more than 1e-3 of its standard error (the bound of the
 * maximum-likelihood fit, gauss2_mle.h). */
#define GAUSS2_PHOTOMETRY_STEP_BOUND 1e-4

/* Per-spot flags. Results are NaN unless the flag is MEASURED or
 * NOT_CONVERGED. */
#define GAUSS2_PHOTOMETRY_MEASURED 0
#define GAUSS2_PHOTOMETRY_OUTSIDE 1 /* x or y not finite, or outside the frame */
#define GAUSS2_PHOTOMETRY_FAILED                                            \
    2 /* a shape not finite, a width <= 0, |rho| >= 1; no pixel of its own; \
         or its group's system is singular (spots within a pixel of         \
         each other cannot be told apart) */
#define GAUSS2_PHOTOMETRY_NOT_CONVERGED                                                                    \
    3                                       /* GAUSS2_PHOTOMETRY_MAX_ITERATIONS solves without meeting the \
                                               bound: the last estimate, with its errors */
#define GAUSS2_PHOTOMETRY_GROUP_TOO_LARGE 4 /* more than GAUSS2_PHOTOMETRY_MAX_GROUP spots in its group */

/* Extension. Groups of spots whose windows may overlap: spots i and j are
 * linked when |x_i - x_j| < mea and |y_i - y_j| < mea, and a group is a
 * connected set of links. Windows of spots that are not linked never
 * overlap, whatever shift is added to all positions alike (the windows of a
 * field imaged again after a stage drift), so one grouping serves every
 * image of a field. Spots with a non-finite x or y are groups of their own.
 *
 * spots: n_spots records (only x and y are read). work: 3 * n_spots
 * values. group[i] receives spot i's group, numbered from 0 in the order of
 * each group's first spot. Returns the number of groups. mea < 1 or
 * n_spots < 0 ends the process through `ensure`. */
C_COMMON_EXPORT Sint64 gauss2_photometry_groups(Sint64 n_spots, const np_float64 *spots, Sint64 mea,
                                                Sint64 *work, Sint64 *group);

/* Extension. Doubles of working memory that the photometry batch needs for
 * windows of side mea (1 <= mea <= GAUSS2_MAX_MEA, else `ensure`): a group's
 * pixels and the Gaussians on them, and its system; with K =
 * GAUSS2_PHOTOMETRY_MAX_GROUP, 6 K (mea^2 + 3) + (3 K (2 mea - 1)^2 + 1) / 2
 * + 2 K (2 K + 6) (0.86 MB at mea 11, 24 MB at mea 63). Allocate once,
 * reuse. */
C_COMMON_EXPORT Sint64 gauss2_photometry_work_size(Sint64 mea);

/* Extension. Measures every spot of n_spots in the im_h x im_w image `im`
 * (row-major, read only) with its shape held: signal and background by the
 * model and the estimate above, spots of one group fitted jointly (one
 * system for the group).
 *
 * spots: n_spots records (GAUSS2_PHOTOMETRY_SPOT_SIZE). group: the group of
 * each spot; consecutive spots with the same value form one group, so
 * spots must come in group order (gauss2_photometry_groups gives the groups;
 * a caller that joins spots whose windows do not overlap only solves a
 * larger system, one that splits spots whose windows overlap leaves each
 * part's light out of the other's model). read_var: the read-noise variance
 * of every pixel, or read_var_map: one per pixel, of the image's shape (NULL
 * for none). work: gauss2_photometry_work_size(mea) doubles, overwritten.
 *
 * results: n_spots records (GAUSS2_PHOTOMETRY_RESULT_SIZE) signal,
 * signal_se, bg, bg_se, in the image's units (signal: the Gaussian's volume;
 * bg: per pixel). flags[i]: one of GAUSS2_PHOTOMETRY_*. iterations[i]: the
 * reweighted solves of spot i's group (0 if none ran); may be NULL.
 *
 * Contract breaks end the process through `ensure`: a size below 1, an
 * even mea or one outside 1..GAUSS2_MAX_MEA, a negative n_spots, read_var
 * negative or not finite, null arrays where n_spots > 0. Always returns 0. */
C_COMMON_EXPORT int fit_array_of_gauss_2d_photometry_on_float_image(
    const np_float64 *im, Sint64 im_w, Sint64 im_h, Sint64 mea, Sint64 n_spots, const np_float64 *spots,
    const Sint64 *group, np_float64 read_var, const np_float64 *read_var_map, np_float64 *work,
    np_float64 *results, Sint64 *flags, Sint64 *iterations);

#ifdef __cplusplus
}
#endif

#endif /* GAUSS2_PHOTOMETRY_H */
