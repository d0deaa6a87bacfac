"""The photon-transfer relation of a movie's pixels: what the camera settings
can be checked against, and what a camera can be measured from.

    points = transfer_points(movie)                 # per-pixel mean and variance, ADU, in bins
    est = estimate_camera(movie)                    # baseline and sensitivity with their errors
    for message in camera_warnings(movie, camera):  # settings that do not fit the movie
        ...

A pixel's photo-electrons are Poisson (an EMCCD's electron multiplication
doubles their variance: the excess noise factor F^2 = 2), so in
photo-electrons

    variance = F^2 * mean + read_noise^2

and in camera counts, with c = sensitivity / em_gain photo-electrons per ADU,

    variance_ADU = (F^2 / c) * (mean_ADU - baseline) + read_noise^2 / c^2.

Each pixel's mean and variance come from the movie's first frames, taken in
pairs: the difference of two frames holds no fixed pattern and hardly any
slow drift, and half its square is one estimate of the variance. A pixel's
mean and variance are those of its pairs without the ones far from its
typical pair (in which a molecule blinked on in one frame). The pixels are
sorted by their mean into bins of equal count, and each bin gives its mean
and mean variance.
"""

import functools
import math
from dataclasses import dataclass

import numpy as np

FRAMES = 32  # frames read for the checks (the first of the run)
ESTIMATE_FRAMES = 200  # frames read to estimate a camera
MAX_VALUES = 1 << 20  # pixel values the checks read at most (frames x pixels)
ESTIMATE_VALUES = 1 << 23  # and an estimate of the camera
N_BINS = 24
MIN_BIN_PIXELS = 32
CLIP = 3.5  # pairs further from a pixel's typical one than this many standard deviations are left out
CLIPPED_VARIANCE = 0.99389  # E[z^2 | |z| < 3.5] of a standard normal z: what clipping leaves of a variance
SYSTEMATIC = 0.02  # the least relative error of a point's variance
TOLERANCE = 1.5  # a slope off by more than this factor either way is a warning


class CameraWarning(UserWarning):
    """The camera settings do not look like the movie's camera: photons,
    backgrounds and errors would be wrong by the same factor."""


@dataclass(frozen=True)
class TransferPoints:
    """The photon-transfer relation of a movie's first frames, in ADU: per
    bin of pixels sorted by mean, their mean (`mean`), the variance
    (`variance`, from the bin's median) and its standard error
    (`variance_se`), and the pixels in the bin (`n_pixels`); `n_frames`
    frames were read, and `pixel_means` holds every pixel's mean."""

    mean: np.ndarray
    variance: np.ndarray
    variance_se: np.ndarray
    n_pixels: np.ndarray
    n_frames: int
    pixel_means: np.ndarray  # every pixel's mean over the frames read, ADU

    def below_fraction(self, level):
        """The share of pixels whose mean lies below `level` (ADU)."""
        m = self.pixel_means
        return float(np.count_nonzero(m < level)) / max(1, m.size)


def _frames_to_read(mv, start, stop, n_frames, max_values):
    """An even number of frames from `start`, read at once. Of a dask array,
    no more than its first stored chunk holds (when that has two or more):
    the run computes its chunks once each, and this adds one, not several."""
    k = min(stop - start, n_frames, max(2, max_values // max(1, mv.height * mv.width)))
    bounds = mv.chunk_bounds
    if bounds is not None:
        first = next((int(b) for b in bounds if int(b) > start), stop)
        if first - start >= 2:
            k = min(k, first - start)
    return k - k % 2


@functools.lru_cache(maxsize=64)
def _median_scale(n):
    """1 / E[the median of n chi-square values of one degree of freedom]:
    what turns the median of n halved squared differences of two frames
    into an unbiased estimate of their variance (exact for normal noise)."""
    from scipy.stats import beta, chi2

    u = (np.arange(1 << 16) + 0.5) / (1 << 16)  # midpoints: the quantile function is finite there
    q = chi2.ppf(u, 1)

    def order_mean(r):  # E of the r-th smallest of n: F^-1 of a Beta(r, n - r + 1) quantile
        w = beta.pdf(u, r, n - r + 1)
        return float(np.sum(q * w) / np.sum(w))

    mid = (n + 1) // 2
    e = order_mean(mid) if n % 2 else 0.5 * (order_mean(mid) + order_mean(mid + 1))
    return 1.0 / e


def transfer_points(movie, n_frames=FRAMES, start=0, stop=None, n_bins=N_BINS, max_values=MAX_VALUES):
    """The TransferPoints of up to `n_frames` frames of `movie` (an even
    number, from `start`; fewer when they would hold more than `max_values`
    pixels), or None when fewer than two frames (or too few finite pixels)
    are there. The pairs are kept as float32: the memory is about
    4 x max_values bytes."""
    from .movie import open_movie

    mv = open_movie(movie)
    stop = mv.n_frames if stop is None else stop
    k = _frames_to_read(mv, start, stop, n_frames, max_values)
    if k < 2:
        return None
    n_pairs = k // 2
    means = np.empty((n_pairs, mv.height * mv.width), dtype=np.float32)
    squares = np.empty((n_pairs, mv.height * mv.width), dtype=np.float32)
    frames = mv.read(start, start + k).reshape(k, -1)
    for j in range(n_pairs):
        a, b = frames[2 * j].astype(np.float64), frames[2 * j + 1].astype(np.float64)
        np.add(a, b, out=means[j], casting="same_kind")
        np.square(b - a, out=squares[j], casting="same_kind")
    del frames
    means *= 0.5
    squares *= 0.5
    ok = np.isfinite(means).all(axis=0) & np.isfinite(squares).all(axis=0)
    means, squares = means[:, ok], squares[:, ok]
    n_bins = min(n_bins, means.shape[1] // MIN_BIN_PIXELS)
    if n_bins < 1:
        return None
    # Each pixel's mean and variance over its pairs: first as medians, then
    # as means over the pairs within CLIP standard deviations (twice), so that
    # a molecule blinking on in a frame spoils that pair only. A pixel's
    # standard deviation for the clip is at least its bin's (pooled over the
    # bin's pixels and pairs): a few pairs that happen to lie close together
    # would otherwise clip honest ones and bias the variance low.
    centre = np.median(means, axis=0)
    own = np.median(squares, axis=0) * _median_scale(n_pairs)
    bins = np.array_split(np.argsort(centre, kind="stable"), n_bins)
    pooled = np.empty_like(own)
    for b in bins:
        pooled[b] = np.median(squares[:, b]) * _median_scale(1)
    mean, var = centre, own
    for _ in range(2):
        limit = np.maximum(var, pooled)
        keep = (squares <= (CLIP * CLIP) * limit) & (np.square(means - mean) <= (CLIP * CLIP / 2) * limit)
        n = np.maximum(keep.sum(axis=0), 1)
        mean = np.where(keep, means, np.float32(0)).sum(axis=0, dtype=np.float64) / n
        var = np.where(keep, squares, np.float32(0)).sum(axis=0, dtype=np.float64) / n / CLIPPED_VARIANCE
    del means, squares
    bm = np.array([mean[b].mean() for b in bins])
    bv = np.array([var[b].mean() for b in bins])
    n = np.array([len(b) for b in bins], dtype=np.int64)
    # The points' errors: their spread over the bin's pixels, and a floor of
    # SYSTEMATIC of the variance for what the spread does not show (pixels'
    # gains that differ, molecules too faint to clip).
    se = np.hypot(np.array([var[b].std() for b in bins]) / np.sqrt(n), SYSTEMATIC * bv)
    return TransferPoints(bm, bv, np.maximum(se, 1e-300), n, k, mean)


@dataclass(frozen=True)
class LineFit:
    """variance = intercept + slope * mean, the covariance of (intercept,
    slope) (scaled up by the scatter of the points when it exceeds their
    errors), and the bins used."""

    slope: float
    intercept: float
    cov: np.ndarray
    used: np.ndarray


def fit_line(mean, variance, se, intercept=None):
    """The weighted least-squares line through the points (intercept free,
    or fixed at `intercept`), fitted twice: the second time without the
    points the first put more than 4 robust deviations away (bins of
    blinking molecules)."""
    used = np.ones(len(mean), dtype=bool)
    for _ in range(2):
        w = 1.0 / np.square(se[used])
        m, v = mean[used], variance[used]
        if intercept is None:
            a = np.column_stack([np.ones_like(m), m])
            normal = a.T @ (a * w[:, None])
            cov = np.linalg.pinv(normal)
            a0, b = cov @ (a.T @ (w * v))
        else:
            a0 = float(intercept)
            mm = float(np.sum(w * m * m))
            b = float(np.sum(w * m * (v - a0))) / mm
            cov = np.array([[0.0, 0.0], [0.0, 1.0 / mm]])
        resid = (variance - (a0 + b * mean)) / se
        dof = max(1, int(used.sum()) - (2 if intercept is None else 1))
        scale = max(1.0, float(np.sum(np.square(resid[used]))) / dof)
        spread = max(1.0, 1.4826 * float(np.median(np.abs(resid[used]))))
        keep = np.abs(resid) <= 4 * spread
        if keep.sum() < 3 or (keep == used).all():
            break
        used = keep
    return LineFit(float(b), float(a0), cov * scale, used)


def excess_factor(camera):
    """The variance of a photo-electron count over its mean: the camera's
    `excess_noise` when it has one, else 2 for an EMCCD (em_gain > 1: the
    excess noise of the multiplication) and 1 for others."""
    f = getattr(camera, "excess_noise", None)
    if f is not None:
        return float(f)
    return 2.0 if camera.em_gain > 1 else 1.0


def _read_variance(camera):
    rn = np.asarray(camera.read_noise, dtype=np.float64)
    return float(np.mean(np.square(rn)))


def transfer_ratio(points, camera):
    """The slope of variance against mean in the camera's photo-electrons
    (the line held at the camera's read-noise variance where the mean is
    zero), over what its noise model expects: 1 when the settings fit."""
    c = camera.electrons_per_adu
    m = (points.mean - camera.baseline) * c
    fit = fit_line(m, points.variance * c * c, points.variance_se * c * c, intercept=_read_variance(camera))
    return fit.slope / excess_factor(camera)


def _near(a, b):
    return abs(math.log(a / b)) <= math.log(TOLERANCE) if a > 0 and b > 0 else False


def _likely_cause(ratio, camera):
    """What most likely makes the slope `ratio` times the expected one."""
    no_conversion = camera.baseline == 0 and camera.sensitivity == 1 and camera.em_gain == 1
    if no_conversion:
        return ("no camera given: the movie looks like camera counts (ADU), not photo-electrons; give its baseline "
                "and sensitivity (Camera(baseline=, sensitivity=), the tool's --baseline, --sensitivity; "
                "Camera.from_movie estimates them)")
    s = camera.sensitivity
    if not _near(s * s, 1.0) and _near(ratio, s * s):
        return (f"gain inverted? sensitivity is photo-electrons per ADU, and the pixels fit {1 / s:.4g} "
                f"(1 / {s:g}) rather than {s:g}")
    if camera.em_gain > 1 and ratio < 1 and _near(ratio * camera.em_gain * excess_factor(camera), 1.0):
        return (f"EM gain {camera.em_gain:g} on a movie from a camera without one (sCMOS or CCD)? Without it the "
                "pixels fit")
    if camera.em_gain == 1 and excess_factor(camera) == 1 and _near(ratio, 2.0):
        return ("an EMCCD movie without its em_gain? The EM register's excess noise doubles the variance; give "
                "em_gain (and the sensitivity before it)")
    return "check the baseline, sensitivity and em_gain (Camera.from_movie estimates them)"


def camera_warnings(movie, camera, start=0, stop=None, points=None):
    """The warnings (messages) that `camera` draws on the frames of `movie`
    from `start`: a pixel size under 1 nm, a baseline above most pixels, and
    a photon-transfer slope off by more than TOLERANCE either way (naming
    the likely cause), or, when that holds, integer counts with no camera
    conversion at all."""
    from .movie import open_movie

    mv = open_movie(movie)
    stop = mv.n_frames if stop is None else stop
    said = []
    if camera.pixel_size is not None and camera.pixel_size < 1:
        said.append(f"the pixel size is {camera.pixel_size:g} nm, under 1 nm: it is in nm (a pixel of 0.108 um is "
                    "108), so the nm columns are far too small")
    if stop <= start:
        return said
    if points is None:
        points = transfer_points(mv, start=start, stop=stop)
    if points is None:  # one frame: its pixels alone
        means = mv.read(start, start + 1).astype(np.float64).ravel()
        below = float(np.count_nonzero(means < camera.baseline)) / max(1, means.size)
    else:
        below = points.below_fraction(camera.baseline)
    if below > 0.5:
        said.append(f"the baseline {camera.baseline:g} ADU is above {100 * below:.0f} % of the pixels: the "
                    "background comes out negative and most fits fail; check the baseline (the camera's offset, "
                    "ADU)")
    integer = np.issubdtype(mv.dtype, np.integer)
    # Simulated frames without noise (a variance of rounding errors at most) have no relation to check.
    noiseless = points is None or not (np.median(points.variance) > 1e-9 * np.median(np.square(points.mean)))
    ratio = None if noiseless else transfer_ratio(points, camera)
    if ratio is not None and np.isfinite(ratio) and not _near(ratio, 1.0) and below <= 0.5:
        said.append(f"the pixels' variance grows {ratio:.3g} times as fast with their mean as the camera's noise "
                    f"model expects ({excess_factor(camera):g} x the photo-electrons + read noise^2): photons and "
                    f"their errors will be off; {_likely_cause(ratio, camera)}")
    elif integer and camera.baseline == 0 and camera.sensitivity == 1 and camera.em_gain == 1:
        said.append(f"the movie holds integer counts ({mv.dtype}) and no camera was given: photons and background "
                    "are those counts, as if each were one photo-electron; give the camera's baseline and "
                    "sensitivity (Camera.from_movie estimates them)")
    return said


# ---- a camera measured from its movie ------------------------------------------------


@dataclass(frozen=True)
class CameraEstimate:
    """A camera measured from a movie by the photon-transfer relation:
    `camera` (a Camera of the estimated baseline and sensitivity and the
    other settings given), the estimates with their standard errors
    (`baseline`, `baseline_se` in ADU; `sensitivity`, `sensitivity_se` in
    photo-electrons per ADU), the frames read and the bins fitted
    (`points`, `fit`)."""

    camera: object
    baseline: float
    baseline_se: float
    sensitivity: float
    sensitivity_se: float
    n_frames: int
    points: TransferPoints
    fit: LineFit

    def __repr__(self):
        return (f"CameraEstimate(baseline={self.baseline:.4g} +- {self.baseline_se:.2g} ADU, "
                f"sensitivity={self.sensitivity:.4g} +- {self.sensitivity_se:.2g} e-/ADU, "
                f"from {self.n_frames} frames)")


def estimate_camera(movie, *, em_gain=1.0, qe=1.0, read_noise=0.0, pixel_size=None, n_frames=ESTIMATE_FRAMES,
                    excess_noise=None):
    """Baseline and sensitivity of the camera of `movie` by the
    photon-transfer (mean-variance) method: see Camera.from_movie."""
    from ._checks import as_int, as_real
    from .camera import Camera

    n_frames = as_int("n_frames", n_frames, low=2)
    em_gain = as_real("em_gain", em_gain, positive=True)
    rn2 = float(np.mean(np.square(np.asarray(read_noise, dtype=np.float64))))
    if excess_noise is None:
        f2 = excess_factor(Camera(em_gain=em_gain))
    else:
        f2 = as_real("excess_noise", excess_noise, positive=True)
    points = transfer_points(movie, n_frames=n_frames, max_values=ESTIMATE_VALUES)
    if points is None:
        raise ValueError("estimating a camera needs at least 2 frames with 32 or more finite pixels")
    flat = not (points.variance > 0).any() or points.mean.max() <= points.mean.min()
    fit = None if flat else fit_line(points.mean, points.variance, points.variance_se)
    if fit is None or not (fit.slope > 0 and np.isfinite(fit.slope)):
        raise ValueError("the pixels' variance does not grow with their mean over the frames read: the movie "
                         "gives no photon-transfer slope (a dark or flat movie?)")
    a, b = fit.intercept, fit.slope
    # slope b = F^2 / c; intercept a = rn^2 / c^2 - b * baseline
    c = f2 / b
    baseline = (rn2 / (c * c) - a) / b
    sensitivity = c * em_gain
    # Standard errors through the Jacobian of (baseline, sensitivity) in (a, b).
    dc_db = -f2 / (b * b)
    db_da = -1.0 / b
    db_db = -(rn2 / (c * c) - a) / (b * b) + (-2 * rn2 / c**3) * dc_db / b
    jac = np.array([[db_da, db_db], [0.0, dc_db * em_gain]])
    cov = jac @ fit.cov @ jac.T
    camera = Camera(baseline=baseline, sensitivity=sensitivity, em_gain=em_gain, qe=qe, read_noise=read_noise,
                    pixel_size=pixel_size)
    return CameraEstimate(camera, float(baseline), float(math.sqrt(max(cov[0, 0], 0.0))), float(sensitivity),
                          float(math.sqrt(max(cov[1, 1], 0.0))), points.n_frames, points, fit)
