"""Every molecule in the frame: windows at the frame's edges, a window side
that follows the PSF, and multi-emitter fits of crowded spots.

    mea = window_side(psf_sigma, joint=True)           # the odd side the PSF asks for
    wx, wy = window_centres(cx, cy, mea, (h, w))       # windows moved inside the frame
    rows = fit_multi(im, cx, cy, mea, psf_sigma=1.3, max_emitters=5)   # one row per molecule

Edges. A peak whose mea x mea window would leave its frame is fitted from
the window of that side moved inward until it lies in the frame: the peak
is off-centre in it, and every pixel used is the frame's. Frames smaller
than the window have no such window; their peaks stay unfitted (flag 1).

Window side. window_side(sigma, joint): the odd side 2 half + 1: for single
fits half = floor(2 sigma), at least 2, which keeps a neighbour's light out
(5 for PSF widths below 1.5 px); for joint fits half = round(2.25 sigma),
at least 3, whose window holds its neighbours' light in the model (7 up to
1.55 px, 9 from there to 2). Larger windows fit worse alone, and jointly
better but at 2.5 to 5 times the time: at 2 emitters per um^2 and a PSF of
1.5 px, 9 x 9 windows took 3.5 times as long as 7 x 7 (docs/crowded.md
has the scan).

PSF width. Unless given, estimate_psf_sigma measures it on the movie's
first frames: the median minor semi-axis of the single fits of the spots
with no other peak within PROBE_ISOLATION pixels (the fits' own model: a
Gaussian sampled at the pixel centres, so a pixel-integrated PSF of sigma s
reads as about sqrt(s^2 + 1/12)).

Multi-emitter fits (fit_multi, the library's
fit_array_of_gauss_2d_multi_mle_on_float_image, whose header states the
rules): where one Gaussian does not explain a peak's window, or the window
holds other peaks, the window's emitters are fitted jointly as round
Gaussians of the PSF's width on one background, and emitters are added at
the largest score statistic while a likelihood-ratio test keeps them. Each
molecule is one row: that of the peak nearest to it.
"""

import math
import numbers
from dataclasses import dataclass

import numpy as np

from . import _lib
from ._checks import as_int
from ._lib import MULTI_MAX_EMITTERS, MULTI_MAX_MEA, RECORD_SIZE
from .estimators import MLE

SINGLE_WINDOW_SIGMAS = 2.0  # half the window side of single fits, in PSF widths (rounded down)
JOINT_WINDOW_SIGMAS = 2.25  # and of joint fits (rounded half up)
MIN_MEA, MIN_JOINT_MEA = 5, 7
MAX_PSF_SIGMA = (MULTI_MAX_MEA // 2) / JOINT_WINDOW_SIGMAS  # the widest PSF whose window a joint fit takes
DEFAULT_MAX_EMITTERS = 5  # of localize with the maximum-likelihood estimator
PROBE_MEA = 9  # the window of the fits that measure the PSF's width
PROBE_ISOLATION = 5  # pixels from the nearest other peak of a spot that measures it
PROBE_FRAMES = 20  # frames read at a time while measuring it
PROBE_MAX_FRAMES = 200
PROBE_SPOTS = 50  # enough spots: stop reading frames
DEFAULT_PSF_SIGMA = 1.3  # when no spot serves (pixels)


def check_psf_sigma(psf_sigma):
    """None, or the PSF sigma in pixels as a float: positive, finite and at
    most MAX_PSF_SIGMA."""
    if psf_sigma is None:
        return None
    if isinstance(psf_sigma, bool) or not isinstance(psf_sigma, numbers.Real):
        raise TypeError(f"psf_sigma must be a number of pixels or None, got {type(psf_sigma).__name__}")
    s = float(psf_sigma)
    if not (math.isfinite(s) and 0.0 < s <= MAX_PSF_SIGMA):
        raise ValueError(f"psf_sigma must be positive, in pixels, at most {MAX_PSF_SIGMA:g}, got {psf_sigma}")
    return s


def check_max_emitters(max_emitters, estimator):
    """The emitters a window's model may hold: 1 to MULTI_MAX_EMITTERS; None
    is DEFAULT_MAX_EMITTERS with the maximum likelihood and 1 with least
    squares (joint fits are the likelihood's)."""
    if max_emitters is None:
        return DEFAULT_MAX_EMITTERS if estimator == MLE.name else 1
    k = as_int("max_emitters", max_emitters, low=1, high=MULTI_MAX_EMITTERS)
    if k > 1 and estimator != MLE.name:
        raise ValueError(f"max_emitters {k} needs the maximum-likelihood estimator (estimator='mle'); least squares "
                         "fits one emitter a window")
    return k


def window_side(psf_sigma, joint=False):
    """The odd window side for a PSF of psf_sigma pixels: 2 floor(2 sigma) + 1
    for single fits, at least MIN_MEA; 2 round(2.25 sigma) + 1 (half up) for
    joint fits, at least MIN_JOINT_MEA."""
    sigma = check_psf_sigma(psf_sigma)
    if sigma is None:
        raise ValueError("window_side needs a psf_sigma")
    if joint:
        return max(MIN_JOINT_MEA, 2 * math.floor(JOINT_WINDOW_SIGMAS * sigma + 0.5) + 1)
    return max(MIN_MEA, 2 * math.floor(SINGLE_WINDOW_SIGMAS * sigma) + 1)


def window_centres(center_x, center_y, mea, shape, frame_height=None):
    """The centre pixels (wx, wy) of the peaks' mea x mea windows in an
    image of `shape` (h, w) made of frames of frame_height rows stacked
    (default: one frame): each peak's own pixel, moved inward where its
    window would leave its frame. -1 for peaks outside the image (or with a
    negative index) and for frames smaller than the window."""
    cx, cy = np.asarray(center_x, dtype=np.int64), np.asarray(center_y, dtype=np.int64)
    h, w = shape
    fh = h if frame_height is None else frame_height
    half = mea // 2
    ok = (cx >= 0) & (cy >= 0) & (cx < w) & (cy < h) & (w >= mea) & (fh >= mea)
    top = np.where(ok, cy // max(fh, 1) * fh, 0)
    wx = np.where(ok, np.clip(cx, half, max(half, w - 1 - half)), -1)
    wy = np.where(ok, np.clip(cy, top + half, top + max(half, fh - 1 - half)), -1)
    return wx, wy


# How far beyond its window's edge a joint fit's free emitter may lie, in
# PSF widths (the library's bound, gauss2_multi.h).
JOINT_REACH_SIGMAS = 3.0


def emitter_reach(n_emitters, psf_sigma):
    """Per row, how far (pixels) beyond its window the position of a row
    from a fit of n_emitters may lie: JOINT_REACH_SIGMAS psf_sigma for a
    joint fit's rows, 0 for single fits'."""
    return np.where(np.asarray(n_emitters) > 1, JOINT_REACH_SIGMAS * (psf_sigma or 0.0), 0.0)


def share_in_window(x, y, sx, sy, origin_x, origin_y, mea):
    """The share of each row's fitted Gaussian (centre x, y, widths sx, sy,
    pixels) that falls in its mea x mea window of top-left corner
    (origin_x, origin_y): a spot at a frame's edge, fitted from a window
    moved inside the frame, has light beyond the window and the frame that
    its photons count and the window's sum does not. NaN where the widths
    are not positive."""
    from scipy.special import erf

    def along(c, s, lo):
        with np.errstate(invalid="ignore", divide="ignore"):
            k = 1.0 / (np.sqrt(2.0) * np.where(s > 0, s, np.nan))
            return 0.5 * (erf((lo + mea - c) * k) - erf((lo - c) * k))

    return along(x, sx, origin_x) * along(y, sy, origin_y)


def moved(records, shift_x, shift_y, where=True):
    """Records (n, 10) with pos_x and pos_y moved, in place, by the integer
    shifts where these are not 0 and `where` holds (other rows keep their
    bits)."""
    for col, shift in ((3, shift_x), (4, shift_y)):
        at = np.flatnonzero((shift != 0) & where)
        if len(at):
            records[at, col] = records[at, col] + shift[at]
    return records


# ---- the PSF's width ----------------------------------------------------------


def minor_axis(records):
    """The minor semi-axis (pixels) of each record's fitted Gaussian: the
    square root of the smaller eigenvalue of its covariance
    [[sx^2, rho sx sy], [rho sx sy, sy^2]]."""
    sx, sy, rho = records[:, 1], records[:, 2], records[:, 5]
    a, c, b = sx * sx, sy * sy, rho * sx * sy
    half_trace = 0.5 * (a + c)
    with np.errstate(invalid="ignore"):
        return np.sqrt(half_trace - np.sqrt(np.maximum(half_trace * half_trace - (a * c - b * b), 0.0)))


def psf_sigma_of_fits(x, y, frame, records, flags, min_distance=PROBE_ISOLATION):
    """The PSF sigma from single fits: the median minor semi-axis of the
    unflagged fits with no other peak of their frame within min_distance
    pixels. Two emitters too close to be found apart widen their spot along
    the line between them only, so the minor axis keeps the PSF's width
    where the mean width does not (measured in docs/crowded.md). Returns
    (sigma, spots used), or (None, 0) when none qualifies."""
    n = len(x)
    if n == 0:
        return None, 0
    isolated = np.ones(n, dtype=bool)
    for f in np.unique(frame):
        at = np.flatnonzero(frame == f)
        d2 = (x[at, None] - x[None, at]) ** 2 + (y[at, None] - y[None, at]) ** 2
        np.fill_diagonal(d2, np.iinfo(np.int64).max)
        isolated[at] = d2.min(axis=1) >= min_distance**2
    minor = minor_axis(records)
    ok = isolated & (flags == 0) & (records[:, 1] > 0) & (records[:, 2] > 0) & (minor > 0)
    if not ok.any():
        return None, 0
    return float(np.median(minor[ok])), int(ok.sum())


def _probe(im, cx, cy, read_noise):
    """Single maximum-likelihood fits of the peaks in PROBE_MEA windows:
    (records, flags) of those whose window lies in the image (others
    flagged 1)."""
    from .fitter import FLAG_SKIPPED, fit_spots

    a = np.asarray(im)
    half = PROBE_MEA // 2
    inside = (cx >= half) & (cy >= half) & (cx < a.shape[1] - half) & (cy < a.shape[0] - half)
    fits = fit_spots(a, np.where(inside, cx, -1), cy, PROBE_MEA, estimator=MLE.name, read_noise=read_noise,
                     n_threads=1)
    return fits.records, np.where(inside, fits.flag, FLAG_SKIPPED)


def window_side_for_peaks(im, center_x, center_y, psf_sigma, read_noise):
    """The single fits' window_side of psf_sigma, or of the PSF sigma
    measured on the peaks of the image (their single fits, as
    estimate_psf_sigma takes them; the default when none serves)."""
    from ._checks import as_f64, as_i64

    sigma = check_psf_sigma(psf_sigma)
    if sigma is None:
        a = as_f64("im", im, ndim=2)
        cx, cy = as_i64("center_x", center_x), as_i64("center_y", center_y)
        if cx.shape != cy.shape:
            raise ValueError(f"center_x and center_y differ in length: {cx.shape[0]} and {cy.shape[0]}")
        rec, flags = _probe(a, cx, cy, read_noise)
        sigma, _ = psf_sigma_of_fits(cx, cy, np.zeros(len(cx), dtype=np.int64), rec, flags)
    return window_side(DEFAULT_PSF_SIGMA if sigma is None else sigma)


def estimate_psf_sigma(movie, camera, start=0, stop=None):
    """The PSF's sigma in pixels as this package's fits see it, measured on
    the frames of `movie` (a Movie) from `start`: frames are read
    PROBE_FRAMES at a time until PROBE_SPOTS spots serve or PROBE_MAX_FRAMES
    are read. Returns (sigma, description); DEFAULT_PSF_SIGMA when no spot
    serves."""
    from .peaks import find_peaks_in_frames

    stop = movie.n_frames if stop is None else stop
    found = []
    lo = start
    sigma, n = None, 0
    while lo < min(stop, start + PROBE_MAX_FRAMES) and n < PROBE_SPOTS:
        hi = min(stop, lo + PROBE_FRAMES)
        im = camera.to_electrons(movie.read(lo, hi))
        k, h, w = im.shape
        fr, px, py, _ = find_peaks_in_frames(im, None, mea=PROBE_MEA)
        rn = camera.read_noise
        if isinstance(rn, np.ndarray):
            rn = np.tile(rn, (k, 1))
        rec, flags = _probe(im.reshape(k * h, w), px, py + fr * h, rn)
        found.append((px, py, fr + lo, rec, flags))
        x, y, f, rec, flag = (np.concatenate(c) for c in zip(*found))
        sigma, n = psf_sigma_of_fits(x, y, f, rec, flag)
        lo = hi
    frames = f"frames {start} to {lo - 1}"
    if sigma is None:
        return DEFAULT_PSF_SIGMA, f"default {DEFAULT_PSF_SIGMA} px: no isolated spot in {frames}"
    return sigma, f"estimated from {n} isolated spots in {frames}"


def check_settings(settings):
    """The crowded-spot settings of a localize Settings, checked and
    normalised in place: psf_sigma, max_emitters (None: the estimator's
    default), and mea's bound for joint fits."""
    object.__setattr__(settings, "psf_sigma", check_psf_sigma(settings.psf_sigma))
    k = check_max_emitters(settings.max_emitters, settings.estimator)
    object.__setattr__(settings, "max_emitters", k)
    if k > 1 and settings.mea is not None and settings.mea > MULTI_MAX_MEA:
        raise ValueError(f"mea {settings.mea} is above {MULTI_MAX_MEA}, the largest window of joint fits "
                         "(max_emitters > 1)")


def check_resolved(settings):
    """Refuses (ValueError) settings that a chunk of frames cannot run on
    alone: a window side or a PSF sigma that the whole run decides
    (resolved()) still missing. Each chunk measuring its own would make a
    table depend on its chunks."""
    if settings.mea is None or (settings.max_emitters > 1 and settings.psf_sigma is None):
        raise ValueError("the settings' window side (mea) or psf_sigma is not decided yet: run "
                         "crowded.resolved(settings, movie) over the whole run first")


def resolved(settings, movie, frames=None):
    """The settings with mea and psf_sigma filled in for the movie (a Movie):
    psf_sigma, when not given, measured on the first frames of the run
    (estimate_psf_sigma) if the window side (mea None) or joint fits
    (max_emitters > 1) need it; mea None from window_side(psf_sigma, joint). The
    same settings when nothing is missing."""
    import dataclasses

    from .movie import frame_range

    settings.camera.check_frame_shape((movie.height, movie.width))
    needs_sigma = settings.mea is None or settings.max_emitters > 1
    if settings.psf_sigma is not None or not needs_sigma:
        source = settings.psf_source or ("given" if settings.psf_sigma is not None else None)
        sigma = settings.psf_sigma
    else:
        start, stop = frame_range(frames, movie.n_frames)
        sigma, source = estimate_psf_sigma(movie, settings.camera, start, stop)
    mea = window_side(sigma, settings.max_emitters > 1) if settings.mea is None else settings.mea
    if (mea, sigma, source) == (settings.mea, settings.psf_sigma, settings.psf_source):
        return settings
    return dataclasses.replace(settings, mea=mea, psf_sigma=sigma, psf_source=source)


# ---- multi-emitter fits ----------------------------------------------------------


@dataclass
class Rows:
    """Localisations of n peaks, m rows: `peak` (m,) the peak each row
    belongs to, in peak order; `x`, `y` (m,) the positions in the peak's
    frame; `records` (m, 10) the fits' records; `photon_std` (m, 7) the
    photon-statistics standard errors; `flag` (m,) int8; `iterations` (m,)
    int32; `n_emitters` (m,) int32, the emitters of the fit each row comes
    from (0 for a skipped peak)."""

    peak: np.ndarray
    x: np.ndarray
    y: np.ndarray
    records: np.ndarray
    photon_std: np.ndarray
    flag: np.ndarray
    iterations: np.ndarray
    n_emitters: np.ndarray


def fit_multi(im, center_x, center_y, mea, *, psf_sigma, max_emitters, read_noise=0.0, frame_height=None,
              n_threads=None, opts=None, excess_noise=1.0):
    """Multi-emitter maximum-likelihood fits of the peaks of the image `im`
    (photo-electrons; frames of frame_height rows stacked, default one), each
    in its mea x mea window (window_centres), with up to max_emitters
    emitters a window of psf_sigma pixels; `opts` the library's model
    selection options (GAUSS2_MULTI_N_OPTS values, NaN for a default; None
    for all defaults); `excess_noise` an EM register's variance factor F^2,
    taken as fit_spots takes it. Returns Rows (records with x and y in the
    frame's coordinates)."""
    from ._checks import excess_noise_factor
    from .fitter import _batch, _fit_arguments, _in_chunks, default_records

    sigma = check_psf_sigma(psf_sigma)
    if sigma is None:
        raise ValueError("fit_multi needs a psf_sigma")
    k = check_max_emitters(max_emitters, MLE.name)
    a, cx, cy, mea, _, variance, _, n_threads = _fit_arguments(
        im, center_x, center_y, mea, MLE.name, read_noise, None, n_threads)
    if k > 1 and mea > MULTI_MAX_MEA:
        raise ValueError(f"mea must be at most {MULTI_MAX_MEA} with max_emitters > 1, got {mea}")
    f2 = excess_noise_factor(excess_noise)
    if f2 != 1.0:  # Poisson-like counts, as fit_spots fits them
        a = a / f2
        variance = variance.scaled(1.0 / (f2 * f2))
    if opts is not None:
        opts = np.ascontiguousarray(opts, dtype=np.float64)
    n = len(cx)
    h, w = a.shape
    wx, wy = window_centres(cx, cy, mea, a.shape, frame_height)
    skip = wx < 0
    cx, cy = np.where(skip, -1, cx), np.where(skip, -1, cy)
    # The peaks sorted by row, so that the library finds each window's
    # neighbours by binary search; the rows come back in the caller's order.
    order = np.lexsort((cx, cy))
    cx, cy, wx, wy = cx[order], cy[order], wx[order], wy[order]
    # First the single fit of every peak: the joint fits start from them, and
    # take the light of the peaks around a window from them.
    single = moved(default_records(n, mea), cx - wx, cy - wy)
    single_std, single_flags, single_iterations = _batch(a, wx, wy, mea, single, n_threads, MLE, variance)
    out = np.zeros((n * k, RECORD_SIZE))
    out_std = np.full((n * k, RECORD_SIZE), np.nan)
    out_flags = np.zeros(n * k, dtype=np.int64)
    n_rows, n_emitters, iterations = (np.zeros(n, dtype=np.int64) for _ in range(3))

    def run(lo, hi):
        _lib.lib.fit_array_of_gauss_2d_multi_mle_on_float_image(
            a, w, h, h if frame_height is None else frame_height, mea, n, cx, cy, wx, wy, lo, hi - lo,
            variance.scalar, variance.map, k, sigma, opts, single, single_std, single_flags, single_iterations, out,
            out_std, out_flags, n_rows, n_emitters, iterations)

    _in_chunks(n, n_threads, run)
    out[:, [0, 6]] *= f2
    out_std[:, [0, 6]] *= f2
    back = np.empty(n, dtype=np.int64)
    back[order] = np.arange(n)
    counts = n_rows[back]
    peak = np.repeat(np.arange(n), counts)
    first = np.repeat(back * k, counts) + (np.arange(len(peak)) - np.repeat(np.cumsum(counts) - counts, counts))
    rec = out[first]
    return Rows(peak, rec[:, 3].copy(), rec[:, 4].copy(), rec, out_std[first, :7], out_flags[first].astype(np.int8),
                np.repeat(iterations[back], counts).astype(np.int32),
                np.repeat(n_emitters[back], counts).astype(np.int32))


def chunk_rows(tall, cx, cy, px, py, frame_height, settings, read_noise, n_threads, excess_noise=1.0):
    """The fits of a chunk of frames stacked into the image `tall` (frames of
    frame_height rows), its peaks at columns cx and rows cy of it (-1 to
    skip), px and py within their frames: single fits (fit_spots) with
    max_emitters 1, else fit_multi. Returns Rows."""
    from .fitter import fit_spots

    mea = settings.mea
    if settings.max_emitters > 1:
        return fit_multi(tall, cx, cy, mea, psf_sigma=settings.psf_sigma, max_emitters=settings.max_emitters,
                         read_noise=read_noise, frame_height=frame_height, n_threads=n_threads,
                         excess_noise=excess_noise)
    fits = fit_spots(tall, cx, cy, mea, estimator=settings.estimator, read_noise=read_noise, n_threads=n_threads,
                     frame_height=frame_height, excess_noise=excess_noise)
    half = mea // 2
    return Rows(np.arange(len(cx)), px - half + fits.records[:, 3], py - half + fits.records[:, 4], fits.records,
                fits.photon_std, fits.flag, fits.iterations,
                np.where(fits.flag == _lib.FLAG_SKIPPED, 0, 1).astype(np.int32))
