/*
 * Extension: drawing localisations into a picture, each a Gaussian.
 *
 * Not part of the fitter's own interface (gauss2_fitter.h); this is what the
 * Python layer's render_localizations draws with, native because a picture
 * of millions of localisations must take seconds, not minutes.
 *
 * Gaussian k is axis-aligned, centred at (x[k], y[k]) in output pixels (pixel
 * (row i, column j) covers [j, j + 1) x [i, i + 1)), of standard deviations
 * sx[k], sy[k] output pixels and total 1 over the plane. Pixel (i, j) gets its
 * integral over the pixel, the product of
 *     Phi((j + 1 - x) / sx) - Phi((j - x) / sx)  and  the same in y, i, sy,
 * (Phi the standard normal distribution function) for the columns within
 * ceil(5 * sx) + 1 of the one holding x, floor(x), and the rows within
 * ceil(5 * sy) + 1 of floor(y), clipped to the image: beyond 5 standard
 * deviations a Gaussian holds under 1e-6 of its total.
 *
 * Conventions as in gauss2_fitter.h: row-major, contiguous float64 images,
 * caller-owned memory; nothing is allocated, no state is kept. Calls on
 * separate images may run on several threads at once.
 */
#ifndef GAUSS2_RENDER_H
#define GAUSS2_RENDER_H

#include "gauss2_fitter.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Extension. Adds the n Gaussians of the rule above to `image` (im_h rows
 * of im_w values), in the order given. A Gaussian whose centre is not finite
 * or whose sx or sy is not finite and positive is skipped. Returns the number
 * of Gaussians that added to at least one pixel. im_w, im_h >= 1 and n >= 0
 * (with im_w * im_h within 64 bits), else the process ends through `ensure`. */
C_COMMON_EXPORT Sint64 render_gaussians(np_float64 *image, Sint64 im_w, Sint64 im_h, Sint64 n,
                                        const np_float64 *x, const np_float64 *y, const np_float64 *sx,
                                        const np_float64 *sy);

#ifdef __cplusplus
}
#endif

#endif
