"""The stages from frames to table rows, shared by every way of running them.

    settings = Settings(camera=cam, estimator="mle")
    chunk = localize_frames(movie, 0, 64, settings)     # a Chunk: the rows of frames 0 .. 63
    chunk.table, chunk.no_contrast

Each frame goes movie -> photo-electrons (Camera) -> peak pixels (the
native finder) -> fits (fit_spots) -> rows; no stage looks back. One call
of `localize_frames` does that for a range of frames, a pure function of
(frames, settings, peaks): its rows depend on those frames alone, so a
table is the same, bit for bit, whatever the chunking, the threads and the
machines. The drivers cut a run into chunks and run them: localization.py
over threads in this process, cluster.py as tasks on a Dask cluster; both
use only what is here.

What a run computes once (the read-noise variance, squared and tiled for a
stack of frames) is a `Run`, made by the driver and handed to every chunk.
What a chunk tells beyond its rows (the frames in which nothing stood out)
comes back in its `Chunk`, and `RunReport` gathers it for the run's one
NoPeaksWarning.
"""

import math
import sys
import time
import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from ._checks import as_int, as_real
from ._lib import FLAG_SKIPPED, GAUSS2_MAX_MEA
from .camera import Camera
from .estimators import DEFAULT, estimator
from .fitter import ReadVariance, fit_spots, window_origin, windows_inside
from .peaks import (MAX_BACKGROUND_TILE, MAX_MIN_DISTANCE, NoPeaksWarning, check_smooth, find_peaks_in_frames,
                    no_window_fits)
from .plausibility import flag_implausible, window_sums
from .schema import FITTED, make_table

CHUNK_PIXELS = 1 << 21  # frames per chunk: about this many pixels (16 MB as float64)
MAX_CHUNK_FRAMES = 256


@dataclass(frozen=True, eq=False)
class Settings:
    """Everything but the movie that decides a table: the camera, the fit
    window side `mea`, the estimator's name (estimators.ESTIMATORS), and the
    peak search (threshold in photons on the smoothed frame or None for each
    frame's automatic one, smoothing sigma in pixels, n_sigma of the
    automatic threshold, min_distance of local maxima, background_tile: 0
    for one background level a frame, or the side in pixels of the tiles of
    a local background, see peaks.py)."""

    camera: Camera
    mea: int = 11
    estimator: str = DEFAULT
    threshold: object = None
    smooth: float = 1.0
    n_sigma: float = 5.0
    min_distance: int = 2
    background_tile: int = 0

    def __post_init__(self):
        if not isinstance(self.camera, Camera):
            raise TypeError(f"camera must be a Camera, got {type(self.camera).__name__}")
        object.__setattr__(self, "mea", as_int("mea", self.mea, low=1, high=GAUSS2_MAX_MEA, odd=True))
        estimator(self.estimator)
        if self.threshold is not None:
            object.__setattr__(self, "threshold", as_real("threshold", self.threshold, kind="a number or None"))
        object.__setattr__(self, "smooth", check_smooth(self.smooth))
        n_sigma = float(self.n_sigma)
        if not (math.isfinite(n_sigma) and n_sigma >= 0):
            raise ValueError(f"n_sigma must be non-negative, got {self.n_sigma}")
        object.__setattr__(self, "n_sigma", n_sigma)
        object.__setattr__(self, "min_distance", as_int("min_distance", self.min_distance, low=1,
                                                        high=MAX_MIN_DISTANCE))
        object.__setattr__(self, "background_tile", as_int("background_tile", self.background_tile, low=0,
                                                           high=MAX_BACKGROUND_TILE))

    @property
    def estimator_record(self):
        """The Estimator named by `estimator`."""
        return estimator(self.estimator)


# ---- peak tables ----------------------------------------------------------------


def peak_table(peaks, n_frames=None):
    """Peak pixels (frame, x, y) as three int64 arrays sorted by frame
    (stably), from a DataFrame or mapping with those columns or an (n, 3)
    array. Positions may be sub-pixel (a localisation table): a peak is the
    pixel holding the position, floor(x), floor(y), in this package's
    convention (pixel centres at + 0.5)."""
    if isinstance(peaks, (pd.DataFrame, dict)):
        missing = [c for c in ("frame", "x", "y") if c not in peaks]
        if missing:
            raise ValueError(f"peaks lack the column(s) {', '.join(missing)}; expected frame, x, y")
        cols = [np.asarray(peaks[c]) for c in ("frame", "x", "y")]
    else:
        a = np.asarray(peaks)
        if a.ndim != 2 or a.shape[1] != 3:
            raise ValueError(f"peaks must be a table of frame, x, y, or an array of shape (n, 3), got {a.shape}")
        cols = [a[:, 0], a[:, 1], a[:, 2]]
    out = []
    for name, c in zip(("frame", "x", "y"), cols):
        if not (np.issubdtype(c.dtype, np.integer) or np.issubdtype(c.dtype, np.floating)):
            raise TypeError(f"peaks {name} must hold numbers, got dtype {c.dtype}")
        c = c.astype(np.float64)
        bad = ~np.isfinite(c) | (np.abs(c) > 2**53) | ((np.floor(c) != c) if name == "frame" else False)
        if bad.any():
            what = "a whole number" if name == "frame" else "a finite number"
            raise ValueError(f"peaks {name} in row {np.flatnonzero(bad)[0]} is not {what}: {c[bad][0]}")
        out.append(np.floor(c).astype(np.int64))
    frame, x, y = out
    if n_frames is not None and len(frame) and (frame.min() < 0 or frame.max() >= n_frames):
        bad = frame[(frame < 0) | (frame >= n_frames)][0]
        raise ValueError(f"peaks name frame {bad}, outside the movie's frames 0 to {n_frames - 1}")
    order = np.argsort(frame, kind="stable")
    return frame[order], x[order], y[order]


def peaks_between(peaks, lo, hi):
    """The rows of the peak table (peak_table's arrays) in frames lo .. hi - 1."""
    if peaks is None:
        return None
    a, b = np.searchsorted(peaks[0], [lo, hi])
    return peaks[0][a:b], peaks[1][a:b], peaks[2][a:b]


# ---- cutting a run into chunks -------------------------------------------------------


def chunk_frames(height, width):
    """Frames per chunk for frames of height x width."""
    return int(min(MAX_CHUNK_FRAMES, max(1, CHUNK_PIXELS // max(1, height * width))))


def split_frames(start, stop, step, bounds=None):
    """Consecutive ranges (lo, hi) covering frames start .. stop - 1: of
    `step` frames each, or, given `bounds` (where the stored chunks of a
    dask array start), whole stored chunks gathered up to `step` frames, a
    stored chunk longer than `step` cut into pieces of `step`, so that a
    stored chunk is read by as few ranges as the step allows."""
    if bounds is None:
        return [(lo, min(lo + step, stop)) for lo in range(start, stop, step)]
    edges = [start] + [int(b) for b in bounds if start < b < stop] + [stop]
    ranges = []
    lo = start
    for a, b in zip(edges[:-1], edges[1:]):
        if b - a > step:
            if a > lo:
                ranges.append((lo, a))
            ranges += [(x, min(x + step, b)) for x in range(a, b, step)]
            lo = b
        elif b - lo > step:
            ranges.append((lo, a))
            lo = a
    if lo < stop:
        ranges.append((lo, stop))
    return ranges


# ---- one chunk --------------------------------------------------------------------


class Run:
    """What a run of `settings` over frames of height x width computes once
    and its chunks share: the camera's read-noise variance (the camera
    checked sigma), tiled for stacks of frames. Thread-safe."""

    def __init__(self, settings, height, width):
        self.settings = settings
        self._variance = ReadVariance.from_sigma(settings.camera.read_noise).check_shape((height, width))

    @property
    def mean_read_variance(self):
        """The read-noise variance of a pixel, on average over the frame."""
        v = self._variance
        return v.scalar if v.map is None else float(v.map.mean())

    def variance(self, k):
        """The variance of k frames stacked into one tall image."""
        return self._variance.stacked(k)


@dataclass
class Chunk:
    """The rows (`table`) of frames start .. stop - 1, and the frames of
    that range in which the search found nothing and that are flat or have
    no pixel above their threshold (`no_contrast`; empty when the peaks were
    given)."""

    table: pd.DataFrame
    start: int
    stop: int
    no_contrast: list = field(default_factory=list)


def frames_without_contrast(frames, fr, thresholds, mea, local=False):
    """The frames of the stack `frames` in which the search found no peak
    and that are flat (one value throughout) or have no pixel above their
    threshold (with a local background, `local`: no pixel that far above
    the frame's median; frames too small for a window are reported
    apart)."""
    k, h, w = frames.shape
    if h < mea or w < mea:
        return np.zeros(0, dtype=np.int64)
    empty = np.flatnonzero(np.bincount(fr, minlength=k) == 0)
    if not len(empty):
        return empty
    sub = frames[empty]
    finite = np.isfinite(sub)
    top = np.where(finite, sub, -np.inf).max(axis=(1, 2))
    bottom = np.where(finite, sub, np.inf).min(axis=(1, 2))
    above = top - np.array([np.median(f[np.isfinite(f)]) if np.isfinite(f).any() else 0.0 for f in sub]) \
        if local else top
    return empty[~(above > thresholds[empty]) | (top <= bottom)]


def localize_frames(source, start, stop, settings, peaks=None, n_threads=1, run=None, timings=None):
    """The Chunk of frames start .. stop - 1 of `source` (a Movie, or
    anything whose read(start, stop) returns those frames as a (k, h, w)
    array) under `settings`: frame numbers as `source` numbers them.

    peaks: None to search, or (frame, x, y) int64 arrays (peak_table) of
    these frames. n_threads: threads for the fits. run: the run's Run (made
    here when None). timings: a dict to which the seconds spent reading,
    finding, fitting and building the table are added."""
    t0 = time.perf_counter()
    cam = settings.camera
    raw = source.read(start, stop)
    k, h, w = raw.shape
    im = cam.to_electrons(raw)
    del raw
    t1 = time.perf_counter()
    mea = settings.mea
    if peaks is None:
        thr = None if settings.threshold is None else settings.threshold * cam.qe  # photons -> electrons
        fr, px, py, thresholds = find_peaks_in_frames(im, thr, mea=mea, smooth=settings.smooth,
                                                      min_distance=settings.min_distance, n_sigma=settings.n_sigma,
                                                      background_tile=settings.background_tile)
        fittable = np.ones(len(fr), dtype=bool)
        local = settings.background_tile > 0
        no_contrast = (frames_without_contrast(im, fr, thresholds, mea, local) + start).tolist()
    else:
        fr, px, py = peaks
        fr = fr - start
        fittable = windows_inside(px, py, mea, (h, w))
        no_contrast = []
    t2 = time.perf_counter()
    # One native batch for the whole chunk: the frames stacked into one tall
    # image, each peak's row shifted into its frame. No window crosses from
    # one frame into the next (those that would leave a frame are skipped), so
    # every fit sees exactly its frame's pixels.
    tall = im.reshape(k * h, w)
    cx = np.where(fittable, px, -1)
    cy = np.where(fittable, py + fr * h, -1)
    run = run if run is not None else Run(settings, h, w)
    est = settings.estimator_record
    fits = fit_spots(tall, cx, cy, mea, estimator=est.name, read_noise=run.variance(k), n_threads=n_threads,
                     excess_noise=cam.excess_noise)
    t3 = time.perf_counter()
    rec, err, flag = fits.records, fits.photon_std, fits.flag.astype(np.int8)
    qe = cam.qe
    cols = {
        "frame": (fr + start).astype(np.int64),
        "x": window_origin(px, mea) + rec[:, 3],
        "y": window_origin(py, mea) + rec[:, 4],
        "photons": rec[:, 0] / qe,
        "sx": rec[:, 1].copy(),
        "sy": rec[:, 2].copy(),
        "rho": rec[:, 5].copy(),
        "bg": rec[:, 6] / qe,
        "lpx": err[:, 3].copy(),
        "lpy": err[:, 4].copy(),
        "photons_se": err[:, 0] / qe,
        "sx_se": err[:, 1].copy(),
        "sy_se": err[:, 2].copy(),
        "bg_se": err[:, 6] / qe,
        "goodness": rec[:, 8].copy() if est.goodness_is_likelihood else rec[:, 8] / qe,
        "iterations": fits.iterations.astype(np.int32),
        "flag": flag,
    }
    skipped = flag == FLAG_SKIPPED
    if skipped.any():
        for c in FITTED:
            cols[c][skipped] = np.nan
        cols["x"][skipped] = px[skipped] + 0.5
        cols["y"][skipped] = py[skipped] + 0.5
        cols["iterations"][skipped] = 0
    # What the window holds, for the plausibility of the photons: its sum and
    # that sum's noise, in photons.
    held = window_sums(tall, cx, cy, mea)
    noise = np.sqrt(cam.excess_noise * np.maximum(held, 0.0) + mea * mea * run.mean_read_variance)
    flag_implausible(cols, window_origin(px, mea), window_origin(py, mea), mea, (h, w), held / qe, noise / qe,
                     getattr(settings, "psf_sigma", None))
    table = make_table(cols, cam.pixel_size)
    if timings is not None:
        t4 = time.perf_counter()
        for key, dt in (("read", t1 - t0), ("find", t2 - t1), ("fit", t3 - t2), ("table", t4 - t3)):
            timings[key] = timings.get(key, 0.0) + dt
    return Chunk(table, start, stop, no_contrast)


# ---- a run's progress and its one warning ------------------------------------------


class Progress:
    """A tqdm bar over frames on stderr with localisations per second, or
    nothing. `enabled`: True, "auto" (only at a terminal) or False; `unit`
    and `desc` name what it counts and the job, for jobs other than
    localising."""

    def __init__(self, total, enabled, unit="frame", desc="localize"):
        self.bar = None
        self.locs = 0
        self.t0 = time.perf_counter()
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit=unit, desc=desc, file=sys.stderr, dynamic_ncols=True,
                            disable=None if enabled == "auto" else False)

    def update(self, frames, locs):
        self.locs += locs
        if self.bar is not None:
            dt = max(time.perf_counter() - self.t0, 1e-9)
            self.bar.set_postfix_str(f"{self.locs} locs, {self.locs / dt:,.0f} locs/s", refresh=False)
            self.bar.update(frames)

    def close(self):
        if self.bar is not None:
            self.bar.close()


class RunReport:
    """A run's progress bar, and what its chunks found nothing in, for one
    NoPeaksWarning a run (`warn`)."""

    def __init__(self, n_frames, progress):
        self.n_frames = n_frames
        self.no_contrast = []
        self._bar = Progress(n_frames, progress)

    def chunk_done(self, chunk):
        self._bar.update(chunk.stop - chunk.start, len(chunk.table))
        self.no_contrast.extend(chunk.no_contrast)

    def close(self):
        self._bar.close()

    def warn(self, frame_shape, mea, stacklevel=3):
        """The run's one warning of what could not be found, with the reason:
        frames too small for a window, or frames flat or without a pixel
        above their threshold (the first named)."""
        small = no_window_fits(frame_shape, mea, "frames")
        flat = sorted(self.no_contrast)
        if small and self.n_frames:
            warnings.warn(f"{small}, nothing can be localised", NoPeaksWarning, stacklevel=stacklevel)
        elif flat:
            which = ("every frame has" if len(flat) == self.n_frames
                     else f"{len(flat)} of {self.n_frames} frames have")
            warnings.warn(f"{which} no contrast above the threshold (flat, or no pixel above it; the first is frame "
                          f"{flat[0]}): nothing found in them", NoPeaksWarning, stacklevel=stacklevel)
