// Localisations drawn as pixel-integrated Gaussians: the rule is stated in
// gauss2_render.h. Each Gaussian is separable, so a pixel's value is the
// product of a column weight and a row weight: per Gaussian, the weights of
// each axis come from one pass of distribution-function values at the pixel
// edges, and the footprint is their outer product added row by row.

#include "gauss2_render.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double k_reach_sigmas = 5.0;
// Room for the weights of one axis on the stack; a wider footprint is drawn
// in pieces of this many pixels.
constexpr Sint64 k_max_span = 512;

// Phi(z), the standard normal distribution function.
inline double normal_cdf(double z) { return 0.5 * std::erfc(-z * M_SQRT1_2); }

// The pixels [lo, hi) of an axis of `size` pixels within reach of the one
// holding `centre` (reach = ceil(5 sigma) + 1), clipped; lo >= hi: none.
// Computed in double so that any finite centre and sigma are fine.
inline void axis_span(double centre, double sigma, Sint64 size, Sint64 *lo, Sint64 *hi) {
    const double reach = std::ceil(k_reach_sigmas * sigma) + 1.0;
    const double first = std::floor(centre) - reach;
    const double last = first + 2.0 * reach + 1.0;
    const auto clip = [size](double v) {
        return static_cast<Sint64>(std::clamp(v, 0.0, static_cast<double>(size)));
    };
    *lo = clip(first);
    *hi = clip(last);
}

// The weights of pixels lo .. lo + count - 1 of an axis.
inline void axis_weights(double centre, double sigma, Sint64 lo, Sint64 count, double *w) {
    const double inv = 1.0 / sigma;
    double below = normal_cdf((static_cast<double>(lo) - centre) * inv);
    for (Sint64 t = 0; t < count; t++) {
        const double above = normal_cdf((static_cast<double>(lo + t + 1) - centre) * inv);
        w[t] = above - below;
        below = above;
    }
}

}  // namespace

extern "C" Sint64 render_gaussians(np_float64 *image, Sint64 im_w, Sint64 im_h, Sint64 n, const np_float64 *x,
                                   const np_float64 *y, const np_float64 *sx, const np_float64 *sy) {
    ensure(im_w >= 1 && im_h >= 1 && n >= 0, "render_gaussians: bad sizes %ld x %ld, %ld Gaussians",
           static_cast<long>(im_w), static_cast<long>(im_h), static_cast<long>(n));
    ensure(im_h <= std::numeric_limits<Sint64>::max() / im_w,
           "render_gaussians: an image of %ld x %ld is too large", static_cast<long>(im_w),
           static_cast<long>(im_h));
    double wx[k_max_span];
    double wy[k_max_span];
    Sint64 drawn = 0;
    for (Sint64 k = 0; k < n; k++) {
        const double cx = x[k], cy = y[k], sdx = sx[k], sdy = sy[k];
        if (!(std::isfinite(cx) && std::isfinite(cy) && std::isfinite(sdx) && std::isfinite(sdy) &&
              sdx > 0.0 && sdy > 0.0)) {
            continue;
        }
        Sint64 jlo = 0, jhi = 0, ilo = 0, ihi = 0;
        axis_span(cx, sdx, im_w, &jlo, &jhi);
        axis_span(cy, sdy, im_h, &ilo, &ihi);
        if (jlo >= jhi || ilo >= ihi) {
            continue;
        }
        drawn++;
        for (Sint64 j0 = jlo; j0 < jhi; j0 += k_max_span) {
            const Sint64 nx = std::min(k_max_span, jhi - j0);
            axis_weights(cx, sdx, j0, nx, wx);
            for (Sint64 i0 = ilo; i0 < ihi; i0 += k_max_span) {
                const Sint64 ny = std::min(k_max_span, ihi - i0);
                axis_weights(cy, sdy, i0, ny, wy);
                for (Sint64 r = 0; r < ny; r++) {
                    const double a = wy[r];
                    np_float64 *row = image + (i0 + r) * im_w + j0;
                    for (Sint64 t = 0; t < nx; t++) {
                        row[t] += a * wx[t];
                    }
                }
            }
        }
    }
    return drawn;
}
