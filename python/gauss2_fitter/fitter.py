"""Pythonic wrappers over the Gaussian spot fitter."""

import os
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np

from . import _lib
from ._checks import as_f64, as_i64, as_int, excess_noise_factor, largest_abs, read_noise_sigma, warn_pixel_scale
from ._lib import (COVAR_SIZE, FLAG_FAILED, FLAG_GOOD, FLAG_ITERATION_LIMIT, FLAG_SKIPPED,  # noqa: F401 (re-exported)
                   GAUSS2_MAX_MEA, INFO_SIZE, MODEL_MAX_MEA, N_PARAMS, RECORD_SIZE)
from .estimators import ESTIMATORS, estimator as _estimator  # noqa: F401 (ESTIMATORS re-exported)

PARAM_NAMES = _lib.PARAM_NAMES  # the names of the parameter vector, in order


def gauss_2d(params, mea):
    """The model rendered into a (mea, mea) patch: each pixel is the Gaussian
    with `params` (7 values, positions in the patch frame) at its centre."""
    p = as_f64("params", params, shape=(N_PARAMS,))
    mea = as_int("mea", mea, low=0, high=MODEL_MAX_MEA)
    out = np.empty((mea, mea), dtype=np.float64)
    if mea:
        _lib.lib.gauss_2d(p, out.reshape(-1), N_PARAMS, mea * mea, None)
    return out


def jac_gauss_2d(params, mea):
    """The model's Jacobian over a (mea, mea) patch: shape (mea * mea, 7), one
    row of seven partial derivatives per pixel in row-major pixel order."""
    p = as_f64("params", params, shape=(N_PARAMS,))
    mea = as_int("mea", mea, low=0, high=MODEL_MAX_MEA)
    out = np.empty((mea * mea, N_PARAMS), dtype=np.float64)
    if mea:
        _lib.lib.jac_gauss_2d(p, out.reshape(-1), N_PARAMS, mea * mea, None)
    return out


def _image_shape(shape):
    """(h, w) as two non-negative ints."""
    try:
        dims = tuple(shape)
    except TypeError:
        raise TypeError(f"shape must be a pair (h, w), got {type(shape).__name__}") from None
    if len(dims) != 2:
        raise ValueError(f"shape must be a pair (h, w), got {dims}")
    return as_int("shape[0]", dims[0], low=0), as_int("shape[1]", dims[1], low=0)


def synth_image(peaks, shape, mea, im=None):
    """Adds Gaussian spots into an image.

    Each peak is rendered on a (mea, mea) patch around the pixel holding
    it; peaks whose patch would not fit with a column and a row to spare on
    the right and below are skipped silently (`synth_renders` tells which).

    Parameters
    ----------
    peaks : array_like, shape (n, 7)
        amp (the spot's volume), std_x, std_y, pos_x, pos_y, rho, offset;
        positions in image coordinates: pixel (column x, row y) covers
        [x, x + 1) x [y, y + 1). The offset is added over the patch.
    shape : tuple of int
        (h, w) of the image.
    mea : int
        Side of each rendered patch, 0 to 63 (0 renders nothing).
    im : numpy.ndarray, optional
        A C-contiguous, writable float64 array of `shape` to add the peaks
        into, in place; a new image of zeros when omitted.

    Returns
    -------
    numpy.ndarray
        The image, float64 of `shape` (`im` itself when given).

    Raises
    ------
    TypeError
        `peaks` or `im` not of real numbers / not float64.
    ValueError
        `peaks` not of shape (n, 7), a negative size, `mea` outside 0..63,
        `im` of another shape, not contiguous or read-only.

    Examples
    --------
    >>> im = g2.synth_image([[1000.0, 1.5, 1.5, 8.5, 7.5, 0.0, 0.0]], (16, 16), 11)
    >>> np.unravel_index(im.argmax(), im.shape)   # (row, column): the spot's centre is in pixel (8, 7)
    (7, 8)
    >>> round(float(im.sum()), 1)          # its volume, but for the tails beyond the patch
    999.6
    >>> g2.synth_image([[1000.0, 1.5, 1.5, 8.5, 13.5, 0.0, 0.0]], (16, 16), 11).sum()   # no room: skipped
    0.0
    """
    p = as_f64("peaks", peaks, ndim=2)
    if p.shape[1] != N_PARAMS:
        raise ValueError(f"peaks must have shape (n, 7), got {p.shape}")
    h, w = _image_shape(shape)
    mea = as_int("mea", mea, low=0, high=GAUSS2_MAX_MEA)
    if im is None:
        im = np.zeros((h, w), dtype=np.float64)
    else:
        if not isinstance(im, np.ndarray) or im.dtype != np.float64:
            raise TypeError(f"im must be a float64 numpy array, got {getattr(im, 'dtype', type(im).__name__)}")
        if im.shape != (h, w):
            raise ValueError(f"im must have shape {(h, w)}, got {im.shape}")
        if not im.flags.c_contiguous or not im.flags.writeable:
            raise ValueError("im must be a writable C-contiguous array")
    _lib.lib.synth_image(im, w, h, mea, p.shape[0], p)
    return im


def synth_renders(peaks, shape, mea):
    """Which of `peaks` ((n, 7), image coordinates) synth_image renders into
    an image of `shape` (h, w) with patches of side `mea`: a boolean array
    (n,), so that callers can say what is skipped. The library's placement
    rule (gauss2_fitter.h), vectorised, with the library's double arithmetic:
    the patch corner c0 = floor((pos_x - mea/2) + 0.5), likewise r0; a peak
    is rendered if 0 <= pos < size on both axes, 0 <= c0, c0 + mea < w,
    0 <= r0, r0 + mea < h, and the position within the patch lies in
    [0, mea). Exact for image sides below 2**53 (every image that fits in
    memory). mea 0 renders nothing."""
    p = as_f64("peaks", peaks, ndim=2)
    if p.shape[1] != N_PARAMS:
        raise ValueError(f"peaks must have shape (n, 7), got {p.shape}")
    h, w = _image_shape(shape)
    mea = as_int("mea", mea, low=0, high=GAUSS2_MAX_MEA)
    if mea == 0:
        return np.zeros(p.shape[0], dtype=bool)
    px, py = p[:, 3], p[:, 4]
    half = mea * 0.5
    with np.errstate(invalid="ignore"):
        ok = (0.0 <= px) & (px < float(w)) & (0.0 <= py) & (py < float(h))
        c0 = np.floor((px - half) + 0.5)
        r0 = np.floor((py - half) + 0.5)
        ok &= (0.0 <= c0) & (c0 + mea < w) & (0.0 <= r0) & (r0 + mea < h)
        lx, ly = px - c0, py - r0
        ok &= (0.0 <= lx) & (lx < mea) & (0.0 <= ly) & (ly < mea)
    return ok


def validate_im(im):
    """True unless the 2-D image `im` holds a NaN (infinities pass)."""
    a = as_f64("im", im, ndim=2)
    return bool(_lib.lib.validate_im(a, a.shape[1], a.shape[0]))


# ---- fits ----------------------------------------------------------------------


@dataclass
class PatchFit:
    """One patch fit: `result` 0 (success), -1 (solver failed) or -2 (window
    outside the image); `params` the fitted seven values (positions in the
    patch frame); `info` the solver report (10 values, [6] the stop reason);
    `covar` the (7, 7) covariance; `noise` the residual noise."""

    result: int
    params: np.ndarray
    info: np.ndarray
    covar: np.ndarray
    noise: float

    @property
    def stop_reason(self):
        return _lib.lib.get_dlevmar_stop_reason_from_info(self.info).decode()


def default_records(n, mea):
    """Starting records for n peaks: amp 0.0 (estimated from each patch),
    widths 1.5, position at the patch centre, rho 0, offset 0."""
    rec = np.zeros((n, RECORD_SIZE), dtype=np.float64)
    rec[:, 1:3] = 1.5
    rec[:, 3:5] = mea / 2
    return rec


def _fit_mea(mea):
    return as_int("mea", mea, low=1, high=GAUSS2_MAX_MEA, odd=True)


def _start(params, mea):
    if params is None:
        return default_records(1, mea)[0, :N_PARAMS]
    return as_f64("params", params, shape=(N_PARAMS,)).copy()


def _new_report():
    return np.full(INFO_SIZE, np.nan), np.full(COVAR_SIZE, np.nan)


def windows_inside(cx, cy, mea, shape):
    """Whether the mea x mea window centred on each pixel (cx, cy) lies
    inside an image of `shape` (h, w): the windows the library fits (it
    flags the others). Arrays or scalars."""
    half = mea // 2
    h, w = shape
    return (cx >= half) & (cx < w - half) & (cy >= half) & (cy < h - half)


def window_origin(center, mea):
    """The image coordinate of the patch frame's origin of the window
    centred on pixel `center`: a position in the patch frame plus this is
    one in the image."""
    return center - mea // 2


def _window(a, cx, cy, mea):
    """The mea x mea window around pixel (cx, cy) of `a`, empty if it leaves the image."""
    if not windows_inside(cx, cy, mea, a.shape):
        return a[:0, :0]
    x0, y0 = window_origin(cx, mea), window_origin(cy, mea)
    return a[y0:y0 + mea, x0:x0 + mea]


def _windows_top(a, cx, cy, mea, chunk=8192):
    """The largest absolute finite value in the windows of the peaks that are
    fitted (those whose window lies inside the image): what the solver's
    scale depends on. Few windows are read directly. Many are not read when
    their top surely lies in the trusted range (the peak pixels reach its
    lower end and the whole image stays below its upper end): a value in
    that range stands for it, at the cost of one pass over the image.
    Windows are read in chunks of a few MiB."""
    half = mea // 2
    w = a.shape[1]
    inside = windows_inside(cx, cy, mea, a.shape)
    centres = (cy[inside] * w + cx[inside]).astype(np.intp)
    if not len(centres):
        return 0.0
    flat = a.reshape(-1)
    if len(centres) * mea * mea * 8 > a.size:
        low, high = _lib.TRUSTED_PIXEL_RANGE
        at_centres = largest_abs(flat[centres])
        if at_centres >= low and largest_abs(a) <= high:
            return at_centres
    rows = (np.arange(mea) - half) * w
    offsets = (rows[:, None] + (np.arange(mea) - half)[None, :]).ravel()
    top = 0.0
    for lo in range(0, len(centres), chunk):
        top = max(top, largest_abs(flat[centres[lo:lo + chunk, None] + offsets[None, :]]))
    return top


def fit_patch(im, center_x, center_y, mea=11, params=None):
    """Fits one Gaussian to the (mea, mea) window centred on a pixel.

    Parameters
    ----------
    im : array_like, shape (h, w)
        The image, real numbers (converted to float64).
    center_x, center_y : int
        Column and row of the window's centre pixel.
    mea : int, optional
        Side of the window, odd, 1 to 63 (default 11).
    params : array_like of 7 floats, optional
        Starting values amp, std_x, std_y, pos_x, pos_y, rho, offset, in
        the patch frame (the window's pixel (i, j) has its centre at
        (j + 0.5, i + 0.5)); amp 0.0 asks for an estimate, and the offset
        always starts at the window's minimum. Default: `default_records`.

    Returns
    -------
    PatchFit
        `result` 0 (success), -1 (the solver failed) or -2 (the window
        leaves the image); `params` the fitted values (patch frame);
        `info` the solver's report, `covar` the (7, 7) covariance, `noise`
        the residual noise, `stop_reason` the solver's reason in words.

    Raises
    ------
    TypeError
        `im` or `params` not of real numbers.
    ValueError
        `im` not 2-D, `params` not of 7 values, `mea` even or outside 1..63.

    Warns
    -----
    PixelScaleWarning
        The window's values lie outside the range in which fits are
        trustworthy (1e-6 to 1e8): scale the image.

    Examples
    --------
    >>> im = g2.synth_image([[2000, 1.4, 1.2, 20.3, 15.6, 0.1, 0]], (32, 40), 17) + 100.0
    >>> fit = g2.fit_patch(im, 20, 15, mea=11)
    >>> fit.result, np.round(fit.params, 4)   # positions in the window: 20.3 - (20 - 5), 15.6 - (15 - 5)
    (0, array([2.0e+03, 1.4e+00, 1.2e+00, 5.3e+00, 5.6e+00, 1.0e-01, 1.0e+02]))
    >>> g2.fit_patch(im, 3, 15, mea=11).result   # the window would leave the image
    -2
    """
    a = as_f64("im", im, ndim=2)
    mea = _fit_mea(mea)
    cx = as_int("center_x", center_x, low=np.iinfo(np.int64).min, high=np.iinfo(np.int64).max)
    cy = as_int("center_y", center_y, low=np.iinfo(np.int64).min, high=np.iinfo(np.int64).max)
    p = _start(params, mea)
    warn_pixel_scale("the window", largest_abs(_window(a, cx, cy, mea)))
    info, covar = _new_report()
    noise = np.zeros(1)
    r = _lib.lib.fit_gauss_2d_on_float_image(a, a.shape[1], a.shape[0], cx, cy, mea, p, info, covar, noise)
    return PatchFit(int(r), p, info, covar.reshape(N_PARAMS, N_PARAMS), float(noise[0]))


def fit_pixels(pixels, params):
    """Fits a patch cut by the caller ((mea, mea), any side from 1 to
    MODEL_MAX_MEA, whose pixel count the solver counts in 32 bits; sides above
    GAUSS2_MAX_MEA take their working memory from the heap) from all seven
    starting values; the offset and amplitude are taken as given. Returns a
    PatchFit with noise 0.0 and result 0 or -1. Pixels outside the trusted
    range of values give a PixelScaleWarning."""
    px = as_f64("pixels", pixels, ndim=2)
    if px.shape[0] != px.shape[1]:
        raise ValueError(f"pixels must be square, got {px.shape}")
    mea = as_int("mea", px.shape[0], low=0, high=MODEL_MAX_MEA)
    p = as_f64("params", params, shape=(N_PARAMS,)).copy()
    warn_pixel_scale("the pixels", largest_abs(px))
    info, covar = _new_report()
    r = _lib.lib.fit_gauss_2d(px.reshape(-1), mea, p, info, covar)
    return PatchFit(int(r), p, info, covar.reshape(N_PARAMS, N_PARAMS), 0.0)


class ReadVariance:
    """The read-noise variance as the library takes it: one value (`scalar`,
    `map` None), or a map of the image's shape (`map`, C-contiguous float64,
    `scalar` 0). Made once from sigma (`of`), it serves any number of fits:
    a run of many stacks of frames squares and checks its camera's map once,
    and tiles it once for a stack (`stacked`)."""

    def __init__(self, scalar=0.0, variance_map=None):
        self.scalar, self.map = float(scalar), variance_map
        self._tiled, self._lock = None, threading.Lock()

    @classmethod
    def of(cls, read_noise, shape=None):
        """From sigma in photo-electrons: a number, or an array of `shape`
        (h, w); a TypeError or ValueError for anything else (see
        _checks.read_noise_sigma)."""
        return cls.from_sigma(read_noise_sigma("read_noise", read_noise, shape))

    @classmethod
    def from_sigma(cls, sigma):
        """From a sigma already checked by read_noise_sigma (a Camera's): a
        float, or a float64 map."""
        if not isinstance(sigma, np.ndarray):
            return cls(sigma * sigma)
        var = sigma * sigma
        var.setflags(write=False)
        return cls(0.0, var)

    def check_shape(self, shape):
        if self.map is not None and self.map.shape != tuple(shape):
            raise ValueError(f"read_noise must be a scalar or have the image's shape {tuple(shape)}, "
                             f"got {self.map.shape}")
        return self

    def scaled(self, factor):
        """This variance times `factor` (a new ReadVariance)."""
        if self.map is None:
            return ReadVariance(self.scalar * factor)
        var = self.map * factor
        var.setflags(write=False)
        return ReadVariance(0.0, var)

    def stacked(self, k):
        """The variance of k frames stacked into one tall image (k * h, w):
        the map repeated k times, tiled once for the largest stack asked
        for and shared (read-only) by the others."""
        if self.map is None:
            return self
        rows = k * self.map.shape[0]
        with self._lock:
            if self._tiled is None or self._tiled.shape[0] < rows:
                self._tiled = np.tile(self.map, (k, 1))
                self._tiled.setflags(write=False)
            return ReadVariance(0.0, self._tiled[:rows])


def _read_variance(read_noise, shape):
    """The checked ReadVariance of a call's `read_noise` for an image of `shape`."""
    if isinstance(read_noise, ReadVariance):
        return read_noise.check_shape(shape)
    return ReadVariance.of(read_noise, shape)


def _peaks(im, center_x, center_y, mea):
    a = as_f64("im", im, ndim=2)
    cx = as_i64("center_x", center_x)
    cy = as_i64("center_y", center_y)
    if cx.shape != cy.shape:
        raise ValueError(f"center_x and center_y differ in length: {cx.shape[0]} and {cy.shape[0]}")
    return a, cx, cy, _fit_mea(mea)


def _start_records(params, n, mea):
    if params is None:
        return default_records(n, mea)
    given = as_f64("params", params, ndim=2)
    if given.shape[0] != n or given.shape[1] not in (N_PARAMS, RECORD_SIZE):
        raise ValueError(f"params must have shape ({n}, 10) or ({n}, 7), got {given.shape}")
    rec = np.zeros((n, RECORD_SIZE))
    rec[:, : given.shape[1]] = given
    return rec


def _threads(n_threads):
    if n_threads is None:
        n_threads = os.cpu_count() or 1
    return as_int("n_threads", n_threads, low=1)


def _fit_arguments(im, center_x, center_y, mea, estimator, read_noise, params, n_threads):
    """The checked arguments of a batch of fits (a TypeError or ValueError
    before any native call), with the pixel-scale warning of its windows:
    (image, center_x, center_y, mea, Estimator, ReadVariance, starting
    records, threads)."""
    a, cx, cy, mea = _peaks(im, center_x, center_y, mea)
    est = _estimator(estimator)
    variance = _read_variance(read_noise, a.shape)
    rec = _start_records(params, cx.shape[0], mea)
    n_threads = _threads(n_threads)
    warn_pixel_scale("the windows", _windows_top(a, cx, cy, mea), stacklevel=4)
    return a, cx, cy, mea, est, variance, rec, n_threads


def _batch(a, cx, cy, mea, rec, n_threads, est, variance):
    """Runs the estimator's native batch over contiguous chunks of peaks:
    (std (n, 10), flags (n,) with the FLAG_* codes, iterations (n,)); `rec`
    is fitted in place."""
    n = len(cx)
    std = np.full((n, RECORD_SIZE), np.nan)
    flag = np.zeros(n, dtype=np.int64)
    iterations = np.zeros(n, dtype=np.int64)

    def run(lo, hi):
        est.batch(a, mea, cx[lo:hi], cy[lo:hi], variance, rec[lo:hi], std[lo:hi], flag[lo:hi], iterations[lo:hi])

    _in_chunks(n, n_threads, run)
    return std, flag, iterations


def _in_chunks(n, n_threads, run):
    chunks = _chunks(n, n_threads)
    if n_threads == 1 or len(chunks) <= 1:
        for lo, hi in chunks:
            run(lo, hi)
    else:
        # ctypes releases the GIL during each native call.
        with ThreadPoolExecutor(max_workers=n_threads) as pool:
            for f in [pool.submit(run, lo, hi) for lo, hi in chunks]:
                f.result()


def fit_peaks(im, center_x, center_y, mea=11, params=None, n_threads=None, estimator="lsq", read_noise=0.0):
    """Fits a Gaussian to every peak of an image, spread over threads.

    Parameters
    ----------
    im : array_like, shape (h, w)
        The image, real numbers (converted to float64).
    center_x, center_y : array_like of int, shape (n,)
        Columns and rows of the peak pixels; each peak is fitted in the
        (mea, mea) window centred on its pixel. A negative index skips the
        peak.
    mea : int, optional
        Side of the windows, odd, 1 to 63 (default 11).
    params : array_like, shape (n, 10) or (n, 7), optional
        Starting records: amp, std_x, std_y, pos_x, pos_y, rho, offset, with
        positions in the patch frame (amp 0.0: estimated from the window).
        Default: `default_records`. The caller's array is not modified.
    n_threads : int, optional
        Threads to spread contiguous chunks of peaks over (default: all
        cores); the results do not depend on it.
    estimator : {"lsq", "mle"}, optional
        "lsq", least squares (the default), or "mle", Poisson maximum
        likelihood of an image in photo-electrons (estimators.ESTIMATORS).
    read_noise : float, array_like of shape (h, w) or ReadVariance, optional
        The read noise sigma in photo-electrons, one value or one per pixel
        (sCMOS), or its variance made once for many calls
        (`ReadVariance.of`); used by the maximum likelihood only (default 0).

    Returns
    -------
    records : numpy.ndarray, shape (n, 10)
        The fitted parameters in [0..6] (positions in the patch frame: add
        center - mea // 2 for image coordinates) and in [8] the residual
        noise (least squares) or the log-likelihood ratio statistic against
        the saturated model (maximum likelihood).
    std_errors : numpy.ndarray, shape (n, 10)
        The parameters' standard errors in [0..6] (least squares: from its
        covariance; maximum likelihood: the Cramer-Rao bound; NaN where the
        fit gave none), NaN in [7..9].
    flag : numpy.ndarray of int64, shape (n,)
        1 for a skipped peak, a window that leaves the image, a failed fit
        or one stopped at the iteration limit; 0 otherwise. Flagged rows
        are not measurements (fit_spots tells the reasons apart).

    Raises
    ------
    TypeError
        Arrays not of real numbers, indices not integers.
    ValueError
        `im` not 2-D, `center_x` and `center_y` of different lengths,
        `params` of the wrong shape, `mea` even or outside 1..63,
        `n_threads` below 1, an unknown estimator, a read noise that is
        negative, not finite or not of the image's shape.

    Warns
    -----
    PixelScaleWarning
        The fitted windows' values lie outside the range in which fits are
        trustworthy (1e-6 to 1e8); such fits may stop early, unflagged.

    Examples
    --------
    >>> im = g2.synth_image([[2000, 1.4, 1.2, 20.3, 15.6, 0.1, 0]], (32, 40), 17) + 100.0
    >>> x, y = np.array([20, 3]), np.array([15, 15])    # the second window leaves the image
    >>> rec, std, flag = g2.fit_peaks(im, x, y, mea=11)
    >>> flag
    array([0, 1])
    >>> print(f"{x[0] - 5 + rec[0, 3]:.4f} {y[0] - 5 + rec[0, 4]:.4f}")   # image coordinates
    20.3000 15.6000
    >>> print(f"amp {rec[0, 0]:.1f}, offset {rec[0, 6]:.1f}")
    amp 2000.0, offset 100.0
    """
    a, cx, cy, mea, est, variance, rec, n_threads = _fit_arguments(
        im, center_x, center_y, mea, estimator, read_noise, params, n_threads)
    std, flag, _ = _batch(a, cx, cy, mea, rec, n_threads, est, variance)
    return rec, std, (flag != FLAG_GOOD).astype(np.int64)


def photon_errors(im, center_x, center_y, records, mea=11, read_noise=0.0):
    """Photon-noise standard errors (n, 7) of least-squares `records` ((n, 10)
    or (n, 7), as fit_peaks returns them for the same centres and mea on the
    image `im` in photo-electrons): square roots of the diagonal of the
    sandwich covariance (J^T J)^-1 J^T diag(mu + s2) J (J^T J)^-1 at the
    records' parameters, mu the fitted model and s2 = read_noise**2 (a scalar
    or an array of the image's shape; or a ReadVariance). NaN for skipped peaks (negative
    index), windows outside the image, and fits whose model is not positive
    or whose J^T J is singular."""
    a, cx, cy, mea = _peaks(im, center_x, center_y, mea)
    variance = _read_variance(read_noise, a.shape)
    n = cx.shape[0]
    rec = as_f64("records", records, ndim=2)
    if rec.shape[0] != n or rec.shape[1] not in (N_PARAMS, RECORD_SIZE):
        raise ValueError(f"records must have shape ({n}, 10) or ({n}, 7), got {rec.shape}")
    full = np.zeros((n, RECORD_SIZE))
    full[:, : rec.shape[1]] = rec
    std = np.full((n, RECORD_SIZE), np.nan)
    _lib.lib.photon_std_of_gauss_2d_records(a.shape[1], a.shape[0], mea, n, cx, cy, variance.scalar, variance.map,
                                            full, std)
    return std[:, :N_PARAMS].copy()


def _chunks(n, n_threads):
    """Contiguous ranges covering 0..n, a few per thread for balance."""
    if n == 0:
        return []
    count = min(n, n_threads * 4) if n_threads > 1 else 1
    edges = np.linspace(0, n, count + 1).astype(int)
    return [(int(lo), int(hi)) for lo, hi in zip(edges[:-1], edges[1:]) if hi > lo]


# ---- per-spot results for tables ------------------------------------------------


@dataclass
class SpotFits:
    """Everything a localisation table needs from the fits of one image's
    peaks, n rows each.

    records: (n, 10) the fitted parameters in [0..6] (positions in the patch
        frame), in [8] the residual noise (least squares) or the
        log-likelihood ratio against the saturated model (maximum likelihood).
    std: (n, 7) the estimator's own standard errors (least squares: from its
        covariance; maximum likelihood: the Cramer-Rao bound).
    photon_std: (n, 7) photon-statistics standard errors: the Cramer-Rao
        bound for maximum likelihood, the sandwich errors for least squares.
    flag: (n,) int8, FLAG_GOOD, FLAG_SKIPPED (skipped, or the window leaves
        the image), FLAG_FAILED (the solver failed) or FLAG_ITERATION_LIMIT.
    iterations: (n,) int32, the solver's iterations (0 for skipped peaks).
    """

    records: np.ndarray
    std: np.ndarray
    photon_std: np.ndarray
    flag: np.ndarray
    iterations: np.ndarray


def fit_spots(im, center_x, center_y, mea=11, *, estimator="lsq", read_noise=0.0, params=None, n_threads=None,
              excess_noise=1.0):
    """Fits every peak of the 2-D image `im` (in photo-electrons for
    photon-statistics errors) with the chosen estimator, "lsq" or "mle", and
    returns a SpotFits. `read_noise` is the read noise sigma in
    photo-electrons: a scalar or an array of the image's shape (or a
    ReadVariance). `excess_noise` is the variance factor F^2 >= 1 of an
    electron-multiplying register (2 for an EMCCD at high gain, 1 without
    one): the photo-electrons' variance is F^2 times their mean, so the
    image divided by F^2 holds Poisson-like counts. The fits and their
    photon-statistics errors run on those (the read-noise variance divided
    by F^4), and the amplitude, the offset, their errors and the residual
    noise are scaled back to photo-electrons; the maximum likelihood's
    goodness is that of the scaled counts. Other arguments as for
    fit_peaks."""
    a, cx, cy, mea, est, variance, rec, n_threads = _fit_arguments(
        im, center_x, center_y, mea, estimator, read_noise, params, n_threads)
    f2 = excess_noise_factor(excess_noise)
    if f2 != 1.0:
        a = a / f2
        variance = variance.scaled(1.0 / (f2 * f2))
        rec[:, [0, 6]] /= f2
    std, flag, iterations = _batch(a, cx, cy, mea, rec, n_threads, est, variance)
    if est.own_errors_are_photon_errors:
        photon_std = std[:, :N_PARAMS].copy()
    else:
        fitted = np.where(flag == FLAG_SKIPPED, -1, cx)
        photon_std = photon_errors(a, fitted, cy, rec, mea, variance)
    if f2 != 1.0:
        rec[:, [0, 6]] *= f2
        std[:, [0, 6]] *= f2
        photon_std[:, [0, 6]] *= f2
        if not est.goodness_is_likelihood:
            rec[:, 8] *= f2
    return SpotFits(rec, std[:, :N_PARAMS].copy(), photon_std, flag.astype(np.int8), iterations.astype(np.int32))
