"""Finding peak pixels to fit: local maxima above a threshold.

    x, y = find_peaks(im)                   # automatic threshold, 11 x 11 patches
    x, y = find_peaks(im, threshold=250.0)  # on the smoothed image

The image is smoothed with a Gaussian of `smooth` pixels (0 for none), and
a pixel is a peak when it is the largest value in the (2 * min_distance + 1)
square around it and exceeds the threshold. A flat top (neighbouring pixels
of equal value) yields one peak, the pixel of the plateau nearest its
centroid. Peaks whose mea x mea window would leave the image are dropped, so
that every returned peak can be fitted.

Without a threshold, the threshold is the smoothed image's median plus
n_sigma times the noise of the smoothed background, measured robustly from
differences of neighbouring pixels (see detection_threshold).
"""

import numpy as np
from scipy import ndimage

from ._checks import as_f64, as_int
from ._lib import GAUSS2_MAX_MEA

MAD_TO_SIGMA = 1.482602218505602  # sigma of a normal distribution per median absolute deviation


def _finite_image(im):
    """The 2-D image as float64, with non-finite pixels set to the median of
    the finite ones (so that they neither become peaks nor spread NaN)."""
    a = as_f64("im", im, ndim=2)
    finite = np.isfinite(a)
    if not finite.all():
        fill = float(np.median(a[finite])) if finite.any() else 0.0
        a = np.where(finite, a, fill)
    return a


def _smoothed(a, smooth):
    if smooth < 0 or not np.isfinite(smooth):
        raise ValueError(f"smooth must be a non-negative number of pixels, got {smooth}")
    return ndimage.gaussian_filter(a, smooth, mode="nearest") if smooth > 0 else a


def pixel_noise(im):
    """Robust standard deviation of the pixel noise of a 2-D image: from the
    median absolute deviation of differences between horizontally
    neighbouring pixels, which smooth structure (background, wide spots)
    barely affects."""
    a = _finite_image(im)
    if a.shape[1] < 2 or a.shape[0] < 1:
        return 0.0
    d = np.diff(a, axis=1).ravel()
    return float(MAD_TO_SIGMA * np.median(np.abs(d - np.median(d))) / np.sqrt(2.0))


def _kernel_gain(smooth):
    """How the Gaussian filter scales white noise: the root of the sum of
    squares of its kernel."""
    if smooth <= 0:
        return 1.0
    r = int(4 * smooth + 0.5) + 1
    delta = np.zeros((2 * r + 1, 2 * r + 1))
    delta[r, r] = 1.0
    return float(np.sqrt(np.sum(ndimage.gaussian_filter(delta, smooth) ** 2)))


def detection_threshold(im, smooth=1.0, n_sigma=5.0):
    """The automatic threshold of find_peaks, in units of the smoothed image:
    its median plus n_sigma times the smoothed background noise."""
    a = _finite_image(im)
    if a.size == 0:
        return 0.0
    level = float(np.median(_smoothed(a, smooth)))
    return level + n_sigma * pixel_noise(a) * _kernel_gain(smooth)


def find_peaks(im, threshold=None, mea=11, smooth=1.0, min_distance=2, n_sigma=5.0):
    """Peak pixels of the 2-D image `im` whose mea x mea window lies inside it.

    threshold: a peak's value in the smoothed image must exceed it; None for
    detection_threshold(im, smooth, n_sigma). smooth: Gaussian sigma in pixels
    applied before the search, 0 for none. min_distance: a peak is the
    maximum of the square of side 2 * min_distance + 1 around it.

    Returns (x, y): int64 arrays of columns and rows, in row-major order."""
    mea = as_int("mea", mea, low=1, high=GAUSS2_MAX_MEA, odd=True)
    min_distance = as_int("min_distance", min_distance, low=1)
    a = _finite_image(im)
    h, w = a.shape
    half = mea // 2
    empty = np.zeros(0, dtype=np.int64)
    if h < mea or w < mea:
        return empty, empty.copy()
    work = _smoothed(a, float(smooth))
    if threshold is None:
        threshold = detection_threshold(a, smooth, n_sigma)
    top = ndimage.maximum_filter(work, size=2 * min_distance + 1, mode="nearest")
    mask = (work == top) & (work > threshold)
    # Only windows that fit: a border of `half` pixels holds no peak.
    mask[:half, :] = False
    mask[h - half:, :] = False
    mask[:, :half] = False
    mask[:, w - half:] = False
    return _one_per_plateau(mask)


def _one_per_plateau(mask):
    """One pixel per 8-connected group of maxima, the one nearest the group's
    centroid (the first in row-major order on ties). Neighbouring maxima
    always have equal values, so a group is a flat top."""
    labels, n = ndimage.label(mask, structure=np.ones((3, 3), dtype=bool))
    flat = np.flatnonzero(mask)
    ys, xs = np.divmod(flat, mask.shape[1])
    if n == len(flat):  # the usual case: no plateaus
        return xs.astype(np.int64), ys.astype(np.int64)
    lab = labels.ravel()[flat]
    count = np.bincount(lab, minlength=n + 1).astype(float)
    cx = np.bincount(lab, weights=xs, minlength=n + 1) / np.maximum(count, 1)
    cy = np.bincount(lab, weights=ys, minlength=n + 1) / np.maximum(count, 1)
    dist = (xs - cx[lab]) ** 2 + (ys - cy[lab]) ** 2
    order = np.lexsort((flat, dist, lab))  # by group, then distance, then position
    first = order[np.r_[True, lab[order][1:] != lab[order][:-1]]]
    first.sort()  # back to row-major order
    return xs[first].astype(np.int64), ys[first].astype(np.int64)
