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

With `background_tile` (pixels), the background is local instead: the
medians of tiles of about that side, interpolated between their centres,
are subtracted from the smoothed image and the threshold is taken above
them, so that uneven illumination neither creates nor hides peaks. 0 (the
default) keeps the one level of the whole image.

The search runs in the native library (gauss2_peaks.h), a frame or a
stack of frames per call; `find_peaks_in_frames` is the stack form that
localize uses.
"""

import threading

import numpy as np

from . import _lib
from ._checks import as_f64, as_int
from ._lib import GAUSS2_MAX_MEA

# The largest local-background tile and peak spacing taken: the library's
# 64-bit integers (any beyond a frame's side act as that side).
MAX_BACKGROUND_TILE = MAX_MIN_DISTANCE = 2**63 - 1


def check_smooth(smooth):
    """A smoothing sigma in pixels, from 0 to the library's bound."""
    try:
        smooth = float(smooth)
    except (TypeError, ValueError):
        raise TypeError(f"smooth must be a number of pixels, got {type(smooth).__name__}") from None
    if not 0.0 <= smooth <= _lib.MAX_SMOOTH:
        raise ValueError(f"smooth must be from 0 to {_lib.MAX_SMOOTH:g} pixels, got {smooth}")
    return smooth


_work = threading.local()


def _work_buffer(w, h):
    """This thread's work memory for the native search, kept between calls."""
    need = int(_lib.lib.find_peaks_work_size(w, h))
    buf = getattr(_work, "buf", None)
    if buf is None or buf.size < need:
        buf = _work.buf = np.empty(max(need, 1))
    return buf


def find_peaks_in_frames(frames, threshold=None, mea=11, smooth=1.0, min_distance=2, n_sigma=5.0,
                         background_tile=0):
    """Peak pixels of every frame of a (n, h, w) stack (or one (h, w) frame).

    Arguments as for find_peaks; `threshold` applies to every frame (None:
    each frame's own automatic threshold). Returns (frame, x, y, thresholds):
    int64 arrays of the peaks' frame index (0-based in `frames`), column and
    row, in frame order and row-major order within a frame, and each frame's
    threshold (float64, (n,); above the local background with
    background_tile)."""
    mea = as_int("mea", mea, low=1, high=GAUSS2_MAX_MEA, odd=True)
    min_distance = as_int("min_distance", min_distance, low=1, high=MAX_MIN_DISTANCE)
    background_tile = as_int("background_tile", background_tile, low=0, high=MAX_BACKGROUND_TILE)
    smooth = check_smooth(smooth)
    n_sigma = float(n_sigma)
    if threshold is None:
        threshold = np.nan
    else:
        threshold = float(threshold)
        if np.isnan(threshold):
            raise ValueError("threshold must be a number or None, got NaN")
    a = np.asarray(frames)
    if a.ndim == 2:
        a = a[None]
    if a.ndim != 3:
        raise ValueError(f"frames must have 2 or 3 dimensions, got shape {a.shape}")
    a = as_f64("frames", a, ndim=3)
    n, h, w = a.shape
    thresholds = np.zeros(n)
    if n == 0 or h == 0 or w == 0:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty.copy(), empty.copy(), np.full(n, np.nan)
    half = mea // 2
    if h < mea or w < mea:
        border = max(h, w)  # no window fits: no peak, thresholds still computed
    else:
        border = half
    work = _work_buffer(w, h)
    cap = max(64, 64 * n)
    while True:
        pf, px, py = (np.empty(cap, dtype=np.int64) for _ in range(3))
        total = int(_lib.lib.find_peaks_in_frames_with_background(a, n, w, h, smooth, min_distance, border, threshold,
                                                                  n_sigma, background_tile, work, cap, pf, px, py,
                                                                  thresholds))
        if total <= cap:
            return pf[:total], px[:total], py[:total], thresholds
        cap = total


def detection_threshold(im, smooth=1.0, n_sigma=5.0):
    """The automatic threshold of find_peaks, in units of the smoothed image:
    its median plus n_sigma times the smoothed background noise."""
    a = as_f64("im", im, ndim=2)
    if a.size == 0:
        return 0.0
    return float(find_peaks_in_frames(a, None, mea=1, smooth=smooth, n_sigma=n_sigma)[3][0])


class NoPeaksWarning(UserWarning):
    """A search that can find nothing, with the reason: no window fits in
    the image, or nothing rises above the threshold."""


def no_window_fits(shape, mea, what="image"):
    """The reason no peak of an image (or frames: what="frames") of `shape`
    (h, w) can be fitted in mea x mea windows, or None when one fits."""
    h, w = shape
    if h >= mea and w >= mea:
        return None
    if what == "frames":
        return f"frames of {w} x {h} are smaller than the {mea} x {mea} window: no window fits"
    return f"the {w} x {h} {what} is smaller than the {mea} x {mea} window: no window fits"


def why_no_peaks(im, threshold, mea=11, smooth=1.0, min_distance=2):
    """Why find_peaks(im, threshold, mea, smooth, min_distance) finds no
    peak, as one line: no window fits, the image is flat, every peak is too
    close to the border, or no local maximum rises above the threshold."""
    a = as_f64("im", im, ndim=2)
    reason = no_window_fits(a.shape, mea)
    if reason:
        return reason
    finite = a[np.isfinite(a)]
    if not finite.size:
        return "the image holds no finite pixel"
    lo, hi = float(finite.min()), float(finite.max())
    if lo == hi:
        return f"the image is flat (every pixel {lo:g}): no contrast above the threshold {threshold:.6g}"
    _, x, _, _ = find_peaks_in_frames(a, threshold, mea=1, smooth=smooth, min_distance=min_distance)
    if len(x):
        return (f"{len(x)} peak(s) rise above the threshold {threshold:.6g}, all too close to the border for a "
                f"{mea} x {mea} window")
    return (f"no contrast above the threshold {threshold:.6g}: no local maximum of the smoothed image exceeds it "
            f"(pixel values from {lo:g} to {hi:g})")


def find_peaks(im, threshold=None, mea=11, smooth=1.0, min_distance=2, n_sigma=5.0, background_tile=0):
    """Peak pixels of an image whose mea x mea window lies inside it.

    A pixel is a peak when, in the image smoothed by a Gaussian of `smooth`
    pixels, it is the largest value of the square of side
    2 * min_distance + 1 around it and exceeds the threshold.

    Parameters
    ----------
    im : array_like, shape (h, w)
        The image, real numbers; non-finite pixels count as the median.
    threshold : float, optional
        A peak's smoothed value must exceed it; default
        `detection_threshold(im, smooth, n_sigma)`: the smoothed image's
        median plus n_sigma times its background noise.
    mea : int, optional
        Side of the fit window, odd (default 11): peaks whose window would
        leave the image are dropped.
    smooth : float, optional
        Gaussian sigma in pixels applied before the search, 0 for none
        (default 1).
    min_distance : int, optional
        Half the side of the square a peak is the maximum of (default 2).
    n_sigma : float, optional
        Of the automatic threshold (default 5).
    background_tile : int, optional
        Side in pixels of the tiles whose medians form a local background,
        subtracted before the search and under the threshold; 0 (the
        default) for one level over the whole image.

    Returns
    -------
    x, y : numpy.ndarray of int64
        Columns and rows of the peaks, in row-major order.

    Raises
    ------
    TypeError
        `im` not of real numbers, or `smooth` not a number.
    ValueError
        `im` not 2-D, `mea` even or outside 1..63, `smooth` negative or too
        wide, `min_distance` below 1, a negative `background_tile`, a NaN
        threshold.

    See Also
    --------
    why_no_peaks : the reason, when nothing is found.

    Examples
    --------
    >>> im = g2.synth_image([[2000, 1.4, 1.2, 20.3, 15.6, 0.1, 0], [1500, 1.6, 1.5, 45.8, 30.2, -0.2, 0]],
    ...                     (48, 64), 17) + 100.0
    >>> g2.find_peaks(im, mea=11)
    (array([20, 45]), array([15, 30]))
    >>> g2.find_peaks(im, threshold=500.0)      # neither rises that high
    (array([], dtype=int64), array([], dtype=int64))
    """
    a = as_f64("im", im, ndim=2)
    _, x, y, _ = find_peaks_in_frames(a, threshold, mea=mea, smooth=smooth, min_distance=min_distance,
                                      n_sigma=n_sigma, background_tile=background_tile)
    return x, y
