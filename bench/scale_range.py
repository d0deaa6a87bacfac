"""The range of pixel values within which fits are trustworthy.

The solver's stopping rules compare the step with the norm of the whole
parameter vector, whose amplitude and offset grow with the image's values
while positions and widths do not. On an image scaled far enough up (or
down) a fit stops after a few iterations with the position and widths
barely moved, and nothing flags it. This script fits spots of 3 000 photons
(widths 1.3 to 1.7 px, |rho| <= 0.2, at varied sub-pixel places) on a
background of 100, with and without Poisson noise, and the same images
multiplied by factors from 1e-16 to 1e16. A factor counts as trustworthy
when every fit is unflagged and agrees with the fit of the unscaled image
within 1e-3 px in position, 1e-3 relative in the widths and 1e-3 in rho
(about a thirtieth of the photon-limited error of these spots). It prints
the worst deviation at each factor and the range of factors around 1 within
that tolerance (and within 1e-2 and 1e-1), as factors and as the largest
absolute pixel value of the images.

    GAUSS2_FITTER_LIB=build/release/libgauss2_fitter.so /usr/bin/python3 bench/scale_range.py
"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))

import gauss2_fitter as g2  # noqa: E402

MEA = 11
TOLERANCE = 1e-3


def field(seed, noisy):
    """A row of well separated spots, their peak pixels and the image."""
    rng = np.random.default_rng(seed)
    n = 24
    xs = 10 + 20 * np.arange(n) + rng.uniform(0, 1, n)
    ys = 10 + rng.uniform(0, 1, n)
    truth = np.column_stack([np.full(n, 3000.0), rng.uniform(1.3, 1.7, n), rng.uniform(1.3, 1.7, n), xs, ys,
                             rng.uniform(-0.2, 0.2, n), np.zeros(n)])
    im = g2.synth_image(truth, (21, 20 * n + 20), 17) + 100.0
    if noisy:
        im = rng.poisson(im).astype(np.float64)
    return im, xs.astype(np.int64), ys.astype(np.int64)


def worst_disagreement(rec, flag, ref):
    """The largest deviation from the reference fit (positions in px, widths
    relative, rho absolute), infinite if any fit is flagged."""
    if flag.any():
        return float("inf")
    d_pos = np.abs(rec[:, 3:5] - ref[:, 3:5]).max()
    d_std = (np.abs(rec[:, 1:3] - ref[:, 1:3]) / ref[:, 1:3]).max()
    d_rho = np.abs(rec[:, 5] - ref[:, 5]).max()
    return float(max(d_pos, d_std, d_rho))


def main():
    exponents = np.arange(-16, 16.5, 0.5)
    images = [field(seed, noisy) for seed in (1, 2, 3) for noisy in (False, True)]
    refs = []
    for im, x, y in images:
        rec, _, flag = g2.fit_peaks(im, x, y, mea=MEA, n_threads=1)
        assert not flag.any()
        refs.append(rec)
    peak = max(float(np.abs(im).max()) for im, _, _ in images)
    print(f"{len(images)} images of 24 spots (3000 photons, background 100), largest pixel {peak:.0f} at factor 1")
    print("factor    largest pixel   worst deviation from the unscaled fit")
    worst_at = {}
    for e in exponents:
        factor = 10.0**e
        worst = 0.0
        for (im, x, y), ref in zip(images, refs):
            rec, _, flag = g2.fit_peaks(im * factor, x, y, mea=MEA, n_threads=1)
            worst = max(worst, worst_disagreement(rec, flag, ref))
        worst_at[e] = worst
        verdict = "ok" if worst <= TOLERANCE else "NOT TRUSTWORTHY"
        print(f"1e{e:+05.1f}  {peak * factor:14.3g}   {worst:10.3g}  {verdict}")
    for tolerance in (TOLERANCE, 1e-2, 1e-1):
        # The contiguous run of factors around 1 whose fits agree within the tolerance.
        lo = hi = 0.0
        while worst_at.get(lo - 0.5, np.inf) <= tolerance:
            lo -= 0.5
        while worst_at.get(hi + 0.5, np.inf) <= tolerance:
            hi += 0.5
        print(f"within {tolerance:g}: factors 1e{lo:+.1f} to 1e{hi:+.1f}, largest pixel {peak * 10**lo:.3g} to "
              f"{peak * 10**hi:.3g}")


if __name__ == "__main__":
    main()
