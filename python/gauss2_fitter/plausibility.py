"""Plausibility checks of fitted rows: a fit the solver calls converged can
still be no measurement (a spot that drifted out of its window, a width of
eight pixels for a PSF of one, more photons than the window holds, a NaN
precision). These checks run after the fit, on a chunk's table columns, and
give such rows a flag of their own (schema.FLAGS):

    FLAG_NOT_FINITE  a fitted value or a standard error is not finite
    FLAG_OUTSIDE     the position lies outside its fit window or the frame
    FLAG_WIDTH       sx or sy not positive, or outside WIDTH_RANGE times
                     the reference width
    FLAG_PHOTONS     photons not positive, or more than the window holds
                     (its sum, background included, plus 5 standard
                     deviations of its noise)

checked in that order (a row gets the first that applies). Rows the solver
already flagged keep their flag. The reference width is the run's PSF sigma
when known, otherwise the median width sqrt(sx sy) of the frame's rows that
are finite and inside (with at least MIN_ROWS_FOR_MEDIAN of them; fewer and
only non-positive widths are flagged). Each frame's flags depend on that
frame alone, so a table stays the same whatever the chunking.
"""

import numpy as np

from ._lib import FLAG_GOOD
from .fitter import windows_inside
from .schema import FITTED, FLAG_NOT_FINITE, FLAG_OUTSIDE, FLAG_PHOTONS, FLAG_WIDTH

WIDTH_RANGE = (0.5, 2.0)  # a plausible width, as a factor of the reference width
PHOTON_NOISE_ALLOWANCE = 5.0  # standard deviations of the window's noise above its sum
MIN_ROWS_FOR_MEDIAN = 3
FINITE_COLUMNS = ("x", "y") + FITTED + ("lpx", "lpy")


def window_sums(im, cx, cy, mea):
    """The sum of the mea x mea window around each pixel (cx, cy) of the 2-D
    image `im` (NaN where the window leaves the image, as for a skipped
    peak's negative index)."""
    n = len(cx)
    out = np.full(n, np.nan)
    ok = windows_inside(cx, cy, mea, im.shape)
    if not ok.any():
        return out
    half = mea // 2
    w = im.shape[1]
    flat = im.reshape(-1)
    offsets = (((np.arange(mea) - half) * w)[:, None] + (np.arange(mea) - half)[None, :]).ravel()
    centres = (cy[ok] * w + cx[ok]).astype(np.intp)
    sums = np.empty(len(centres))
    for lo in range(0, len(centres), 4096):
        sums[lo:lo + 4096] = flat[centres[lo:lo + 4096, None] + offsets[None, :]].sum(axis=1)
    out[ok] = sums
    return out


def flag_implausible(cols, origin_x, origin_y, mea, frame_shape, window_photons, window_noise, psf_sigma=None):
    """Sets the plausibility flags in `cols["flag"]` (in place) of the rows
    flagged FLAG_GOOD by the solver. `cols`: the table's columns (x, y in
    image pixels, photons in photons); origin_x, origin_y: each fit
    window's top-left pixel; window_photons: the sum of each window
    (photons, the background included); window_noise: its noise standard
    deviation (photons); psf_sigma: the run's PSF sigma in pixels, or None.
    Returns the flag array."""
    flag = cols["flag"]
    good = flag == FLAG_GOOD
    with np.errstate(invalid="ignore"):
        finite = np.logical_and.reduce([np.isfinite(cols[c]) for c in FINITE_COLUMNS])
        flag[good & ~finite] = FLAG_NOT_FINITE
        good &= finite
        x, y = cols["x"], cols["y"]
        h, w = frame_shape
        inside = ((x >= origin_x) & (x <= origin_x + mea) & (y >= origin_y) & (y <= origin_y + mea)
                  & (x >= 0) & (x <= w) & (y >= 0) & (y <= h))
        flag[good & ~inside] = FLAG_OUTSIDE
        good &= inside
        sx, sy = cols["sx"], cols["sy"]
        positive = (sx > 0) & (sy > 0)
        flag[good & ~positive] = FLAG_WIDTH
        good &= positive
        reference = _reference_widths(cols["frame"], np.sqrt(sx * sy), good, psf_sigma)
        lo, hi = WIDTH_RANGE
        plausible = ~((sx < lo * reference) | (sx > hi * reference) | (sy < lo * reference) | (sy > hi * reference))
        flag[good & ~plausible] = FLAG_WIDTH
        good &= plausible
        photons = cols["photons"]
        held = (photons > 0) & ~(photons > window_photons + PHOTON_NOISE_ALLOWANCE * window_noise)
        flag[good & ~held] = FLAG_PHOTONS
    return flag


def _reference_widths(frame, width, good, psf_sigma):
    """Each row's reference width: psf_sigma, or the median width of its
    frame's `good` rows (NaN, no check, where a frame has too few)."""
    if psf_sigma is not None:
        return np.full(len(frame), float(psf_sigma))
    ref = np.full(len(frame), np.nan)
    if not good.any():
        return ref
    frames = np.unique(frame)
    order = np.argsort(frame, kind="stable")
    bounds = np.searchsorted(frame[order], frames)
    ends = np.append(bounds[1:], len(frame))
    for a, b in zip(bounds, ends):
        rows = order[a:b]
        ok = rows[good[rows]]
        if len(ok) >= MIN_ROWS_FOR_MEDIAN:
            ref[rows] = np.median(width[ok])
    return ref
