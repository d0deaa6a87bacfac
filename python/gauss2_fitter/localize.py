"""From camera movies to localisation tables.

    import gauss2_fitter as g2
    cam = g2.Camera(baseline=100, sensitivity=0.45, qe=0.82, read_noise=1.6, pixel_size=108)
    locs = g2.localize("run1.tif", camera=cam)          # pandas.DataFrame, one row per spot

Each frame goes movie -> photo-electrons (Camera) -> peak pixels (the
native finder) -> fits (fit_spots) -> rows; no stage looks back. Frames are
read lazily and processed in chunks of frames over threads; one chunk's work
is `localize_chunk`, a pure function of (movie, frame range, settings) that
returns that chunk's rows, so that the same work can run anywhere the movie
can be opened. Every frame's rows depend on that frame alone, so the table
is the same, bit for bit, whatever the chunking and the number of threads.

Columns (COLUMNS, in this order): frame (from 0), x, y (pixels; pixel
(col, row) covers [col, col + 1) x [row, row + 1), centre at + 0.5),
photons, sx, sy (pixels), rho, bg (photons per pixel), lpx, lpy
(photon-statistics standard errors of x and y, pixels), photons_se, sx_se,
sy_se, bg_se, goodness (least squares: residual noise in photons; maximum
likelihood: the log-likelihood ratio against the saturated model),
iterations, flag (FLAG_*), n_emitters (the emitters of the fit the row
comes from: 1 for a single fit, more for a joint fit of crowded spots, 0
for a row flagged 1); with a camera pixel size also x_nm, y_nm, lpx_nm,
lpy_nm. A row flagged 1 (skipped, or a frame smaller than the window) has
x, y at its peak pixel's centre and no fitted values (NaN). Windows at a
frame's edge are moved inside it (crowded.py).
"""

import math
import os
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
import pandas as pd

from ._checks import as_int, as_real
from ._lib import GAUSS2_MAX_MEA
from . import crowded
from .camera import Camera
from .fitter import ESTIMATORS, FLAG_SKIPPED
from .movie import frame_range, open_movie
from .peaks import NoPeaksWarning, _check_smooth, find_peaks_in_frames, no_window_fits

COLUMNS = ("frame", "x", "y", "photons", "sx", "sy", "rho", "bg", "lpx", "lpy", "photons_se", "sx_se", "sy_se",
           "bg_se", "goodness", "iterations", "flag", "n_emitters")
NM_COLUMNS = ("x_nm", "y_nm", "lpx_nm", "lpy_nm")
DTYPES = {"frame": np.int64, "iterations": np.int32, "flag": np.int8, "n_emitters": np.int32}  # others float64

CHUNK_PIXELS = 1 << 21  # frames per chunk: about this many pixels (16 MB as float64)
MAX_CHUNK_FRAMES = 256


@dataclass(frozen=True, eq=False)
class Settings:
    """Everything but the movie that decides a table: the camera, the fit
    window side `mea`, the estimator, and the peak search (threshold in
    photons on the smoothed frame or None for each frame's automatic one,
    smoothing sigma in pixels, n_sigma of the automatic threshold,
    min_distance of local maxima); the PSF sigma in pixels and the emitters
    a window's model may hold (crowded.py). mea and psf_sigma may be None
    until crowded.resolved() fills them from the movie; psf_source says
    where psf_sigma came from."""

    camera: Camera
    mea: object = 11
    estimator: str = "mle"
    threshold: object = None
    smooth: float = 1.0
    n_sigma: float = 5.0
    min_distance: int = 2
    psf_sigma: object = None
    max_emitters: object = 1
    psf_source: object = None

    def __post_init__(self):
        if not isinstance(self.camera, Camera):
            raise TypeError(f"camera must be a Camera, got {type(self.camera).__name__}")
        if self.mea is not None:
            object.__setattr__(self, "mea", as_int("mea", self.mea, low=1, high=GAUSS2_MAX_MEA, odd=True))
        if self.estimator not in ESTIMATORS:
            raise ValueError(f"estimator must be one of {', '.join(ESTIMATORS)}, got {self.estimator!r}")
        if self.threshold is not None:
            object.__setattr__(self, "threshold", as_real("threshold", self.threshold, kind="a number or None"))
        object.__setattr__(self, "smooth", _check_smooth(self.smooth))
        n_sigma = float(self.n_sigma)
        if not (math.isfinite(n_sigma) and n_sigma >= 0):
            raise ValueError(f"n_sigma must be non-negative, got {self.n_sigma}")
        object.__setattr__(self, "n_sigma", n_sigma)
        object.__setattr__(self, "min_distance", as_int("min_distance", self.min_distance, low=1))
        crowded.check_settings(self)


# ---- peak tables ----------------------------------------------------------------


def peak_table(peaks, n_frames=None):
    """Peak pixels (frame, x, y) as three int64 arrays sorted by frame
    (stably), from a DataFrame or mapping with those columns or an (n, 3)
    array. Positions may be sub-pixel (a localisation table): a peak is the
    pixel holding the position, floor(x), floor(y), in this package's
    convention (pixel centres at + 0.5)."""
    if isinstance(peaks, pd.DataFrame) or isinstance(peaks, dict):
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


# ---- one chunk --------------------------------------------------------------------


def _empty_columns(n):
    cols = {c: np.full(n, np.nan) for c in COLUMNS}
    for c, t in DTYPES.items():
        cols[c] = np.zeros(n, dtype=t)
    return cols


def _table(cols, camera):
    if camera.pixel_size is not None:
        ps = camera.pixel_size
        cols["x_nm"], cols["y_nm"] = cols["x"] * ps, cols["y"] * ps
        cols["lpx_nm"], cols["lpy_nm"] = cols["lpx"] * ps, cols["lpy"] * ps
    names = COLUMNS + (NM_COLUMNS if camera.pixel_size is not None else ())
    return pd.DataFrame({c: cols[c] for c in names}, columns=list(names), copy=False)


def empty_table(camera):
    """A table with the columns and types of `camera`'s tables and no rows."""
    return _table(_empty_columns(0), camera)


def _frames_without_contrast(frames, fr, thresholds, mea):
    """The frames of the stack `frames` in which the search found no peak
    and that are flat (one value throughout) or have no pixel above their
    threshold (frames too small for a window are reported apart)."""
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
    return empty[~(top > thresholds[empty]) | (top <= bottom)]


def _chunk_done(bar, flat, frames, table):
    """Progress, and the frames without contrast, of a finished chunk."""
    bar.update(frames, len(table))
    flat.extend(table.attrs.pop("no_contrast_frames", ()))


def _warn_nothing_found(small, flat, n_frames):
    """One warning a run for what could not be found, with the reason."""
    if small and n_frames:
        warnings.warn(f"{small}, nothing can be localised", NoPeaksWarning, stacklevel=3)
    elif flat:
        which = "every frame has" if len(flat) == n_frames else f"{len(flat)} of {n_frames} frames have"
        warnings.warn(f"{which} no contrast above the threshold (flat, or no pixel above it; the first is frame "
                      f"{flat[0]}): nothing found in them", NoPeaksWarning, stacklevel=3)


def _process_chunk(movie, start, stop, settings, peaks, n_threads, timings):
    t0 = time.perf_counter()
    cam = settings.camera
    raw = movie.read(start, stop)
    k, h, w = raw.shape
    im = cam.to_electrons(raw)
    del raw
    t1 = time.perf_counter()
    if peaks is None:
        thr = None if settings.threshold is None else settings.threshold * cam.qe  # photons -> electrons
        # Peaks up to the frame's edge (their windows are moved inside it), if a window fits.
        border_mea = 1 if min(h, w) >= settings.mea else settings.mea
        fr, px, py, thresholds = find_peaks_in_frames(im, thr, mea=border_mea, smooth=settings.smooth,
                                                      min_distance=settings.min_distance, n_sigma=settings.n_sigma)
        fittable = np.ones(len(fr), dtype=bool)
        flat = _frames_without_contrast(im, fr, thresholds, settings.mea) + start
    else:
        fr, px, py = peaks
        fr = fr - start
        fittable = (px >= 0) & (px < w) & (py >= 0) & (py < h)
    t2 = time.perf_counter()
    # One native batch for the whole chunk: the frames stacked into one tall
    # image, each peak's row shifted into its frame. Every window lies in its
    # peak's frame (crowded.window_centres), so every fit sees exactly its
    # frame's pixels.
    tall = im.reshape(k * h, w)
    cx = np.where(fittable, px, -1)
    cy = np.where(fittable, py + fr * h, -1)
    rn = cam.read_noise
    if isinstance(rn, np.ndarray):
        rn = np.tile(rn, (k, 1))
    rows = crowded.chunk_rows(tall, cx, cy, px, py, h, settings, rn, n_threads)
    t3 = time.perf_counter()
    fr, px, py = fr[rows.peak], px[rows.peak], py[rows.peak]
    rec, err, flag = rows.records, rows.photon_std, rows.flag
    qe = cam.qe
    cols = {
        "frame": (fr + start).astype(np.int64),
        "x": rows.x,
        "y": rows.y,
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
        "goodness": rec[:, 8] / qe if settings.estimator == "lsq" else rec[:, 8].copy(),
        "iterations": rows.iterations,
        "flag": flag,
        "n_emitters": rows.n_emitters,
    }
    skipped = flag == FLAG_SKIPPED
    if skipped.any():
        for c in COLUMNS[3:COLUMNS.index("iterations")]:
            cols[c][skipped] = np.nan
        cols["x"][skipped] = px[skipped] + 0.5
        cols["y"][skipped] = py[skipped] + 0.5
        cols["iterations"][skipped] = 0
    table = _table(cols, cam)
    if peaks is None:
        table.attrs["no_contrast_frames"] = flat.tolist()
    if timings is not None:
        t4 = time.perf_counter()
        for key, dt in (("read", t1 - t0), ("find", t2 - t1), ("fit", t3 - t2), ("table", t4 - t3)):
            timings[key] = timings.get(key, 0.0) + dt
    return table


def localize_chunk(movie, start, stop, settings, peaks=None, n_threads=1):
    """The rows of frames start .. stop - 1 of `movie` (anything open_movie
    takes; a Movie pickles as its files) under `settings`: a DataFrame with
    the table's columns, frame numbers counted in the whole movie. `peaks`:
    None to find them, or (frame, x, y) int64 arrays (peak_table) of which
    the rows of these frames are used. n_threads: threads for the fits.
    When peaks are searched, attrs["no_contrast_frames"] lists the frames
    flat or without a pixel above their threshold (iter_localize gathers
    them into one NoPeaksWarning a run)."""
    movie = open_movie(movie)
    return _process_chunk(movie, start, stop, settings, peaks_between(peaks, start, stop), n_threads, None)


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


def peaks_between(peaks, lo, hi):
    """The rows of the peak table (peak_table's arrays) in frames lo .. hi - 1."""
    if peaks is None:
        return None
    a, b = np.searchsorted(peaks[0], [lo, hi])
    return peaks[0][a:b], peaks[1][a:b], peaks[2][a:b]


def concat_tables(parts, camera):
    """One table from chunks' tables in order (no attributes)."""
    if not parts:
        return empty_table(camera)
    cols = {c: np.concatenate([p[c].to_numpy() for p in parts]) for c in parts[0].columns}
    return _table(cols, camera)


# ---- the whole movie -------------------------------------------------------------


class _Progress:
    """A tqdm bar over frames on stderr with localisations per second, or
    nothing."""

    def __init__(self, total, enabled):
        self.bar = None
        self.locs = 0
        self.t0 = time.perf_counter()
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit="frame", desc="localize", file=sys.stderr, dynamic_ncols=True,
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


def iter_localize(movie, settings, *, peaks=None, frames=None, n_threads=None, progress=False, client=None,
                  _timings=None):
    """The table of `movie` as a stream of DataFrames, one per chunk of
    frames, in frame order: what localize concatenates, for writers that
    stream to a file. Arguments as for localize; settings a Settings."""
    mv = open_movie(movie)
    settings.camera.check_frame_shape((mv.height, mv.width))
    start, stop = frame_range(frames, mv.n_frames)
    settings = crowded.resolved(settings, mv, frames)
    if peaks is not None:
        peaks = peak_table(peaks, mv.n_frames)
    if client is not None:
        from .cluster import iter_on_cluster

        yield from iter_on_cluster(client, mv, settings, start, stop, peaks, n_threads, progress)
        return
    if n_threads is None:
        n_threads = os.cpu_count() or 1
    n_threads = as_int("n_threads", n_threads, low=1)
    ranges = split_frames(start, stop, chunk_frames(mv.height, mv.width), mv.chunk_bounds)
    # Threads go to chunks; with fewer chunks than threads, the fits of each
    # chunk are spread too.
    inner = max(1, n_threads // max(1, len(ranges))) if len(ranges) < n_threads else 1

    def run(lo, hi):
        return _process_chunk(mv, lo, hi, settings, peaks_between(peaks, lo, hi), inner, _timings)

    bar = _Progress(stop - start, progress)
    flat, completed = [], False
    try:
        if n_threads == 1 or len(ranges) <= 1:
            for lo, hi in ranges:
                t = run(lo, hi)
                _chunk_done(bar, flat, hi - lo, t)
                yield t
            completed = True
            return
        with ThreadPoolExecutor(max_workers=n_threads) as pool:
            pending = []  # in frame order; at most 2 per thread in flight bound the memory
            it = iter(ranges)
            try:
                for r in it:
                    pending.append((r, pool.submit(run, *r)))
                    if len(pending) >= 2 * n_threads:
                        (lo, hi), f = pending.pop(0)
                        t = f.result()
                        _chunk_done(bar, flat, hi - lo, t)
                        yield t
                while pending:
                    (lo, hi), f = pending.pop(0)
                    t = f.result()
                    _chunk_done(bar, flat, hi - lo, t)
                    yield t
                completed = True
            finally:
                for _, f in pending:
                    f.cancel()
    finally:
        bar.close()
        if completed:
            _warn_nothing_found(no_window_fits((mv.height, mv.width), settings.mea, "frames"), flat, stop - start)


def table_attrs(movie, settings, frames=None, peaks_given=False):
    """The attributes a table of `movie` under `settings` carries: plain
    values (camera, estimator, mea, threshold, image size, frame count and
    range, source, pixel size)."""
    from . import __version__

    mv = open_movie(movie)
    start, stop = frame_range(frames, mv.n_frames)
    return {
        "software": f"gauss2_fitter {__version__}",
        "camera": settings.camera.as_dict(),
        "pixel_size": settings.camera.pixel_size,
        "estimator": settings.estimator,
        "mea": settings.mea,
        "psf_sigma": settings.psf_sigma,
        "psf_sigma_source": settings.psf_source,
        "max_emitters": settings.max_emitters,
        "threshold": "given peaks" if peaks_given else settings.threshold,
        "smooth": settings.smooth,
        "n_sigma": settings.n_sigma,
        "height": mv.height,
        "width": mv.width,
        "n_frames": stop - start,
        "frame_range": [start, stop],
        "movie_frames": mv.n_frames,
        "dtype": str(mv.dtype),
        "source": list(mv.names),
    }


def localize(movie, *, camera=None, mea=None, estimator="mle", threshold=None, smooth=1.0, peaks=None, frames=None,
             n_threads=None, progress=False, client=None, psf_sigma=None, max_emitters=None):
    """Localises every spot of a camera movie into a table.

    Frames are read lazily and processed in chunks over threads; each is
    converted to photo-electrons (`camera`), searched for peaks (or given
    them), and each peak's window fitted.

    Parameters
    ----------
    movie : array_like, dask array, str, os.PathLike or list of them
        A 2-D or 3-D array (numpy or memory-mapped; 2-D is one frame), a dask
        array (from zarr, dask.array.image.imread, ...: read a range of
        frames at a time, along its own chunks), a path (TIFF of any kind
        tifffile reads, or .npy), or a list of paths whose frames follow
        each other.
    camera : Camera, optional
        The conversion of counts (default: counts are photo-electrons and
        photons).
    mea : int, optional
        Side of the fitted square window, odd; default (None) from the PSF
        (crowded.window_side): 2 floor(2 psf_sigma) + 1 for single fits,
        at least 5; 2 round(2.5 psf_sigma) + 1 for joint fits, at least 7.
        Windows at a frame's edge are moved inside it.
    estimator : {"mle", "lsq"}, optional
        Poisson maximum likelihood (the default) or least squares.
    psf_sigma : float, optional
        The PSF's sigma in pixels (as the fits see it: a Gaussian sampled at
        pixel centres). Default: measured on the first frames
        (crowded.estimate_psf_sigma) when the window side or joint fits
        need it; attrs["psf_sigma"] and attrs["psf_sigma_source"] say what
        was used.
    max_emitters : int, optional
        Emitters one window's model may hold, 1 to 8: where one Gaussian
        does not explain a peak's window, up to this many are fitted
        jointly, each molecule one row (crowded.fit_multi). Default 5 with
        the maximum likelihood, 1 (the only choice) with least squares.
    threshold : float, optional
        Peak threshold in photons on the smoothed frame; None for each
        frame's automatic one (median + 5 sigma of the background).
    smooth : float, optional
        Gaussian smoothing before the peak search, pixels (default 1).
    peaks : pandas.DataFrame, mapping or array_like, optional
        Fit these peaks instead of searching: columns frame, x, y (or an
        (n, 3) array); the pixel holding each position is fitted.
    frames : range, slice or (start, stop), optional
        The frames to process (default all).
    n_threads : int, optional
        Threads (default: all cores); the table does not depend on it. With
        a client: threads of each task's fits (default 1, as the workers'
        own threads run tasks side by side).
    progress : bool, optional
        A progress bar on stderr with frames/s and localisations/s.
    client : dask.distributed.Client, optional
        Localise on its cluster: the frames in tasks that its workers run,
        reading the movie's files themselves (see cluster.py). The table is
        the same, bit for bit.

    Returns
    -------
    pandas.DataFrame
        One row per spot, columns COLUMNS (frame, x, y in pixels, photons,
        sx, sy, rho, bg, lpx, lpy, their errors, goodness, iterations,
        flag, n_emitters) and, with the camera's pixel size, NM_COLUMNS.
        Rows flagged (flag != 0) are not measurements. `attrs` records the
        camera, estimator, mea, PSF sigma, max_emitters, threshold, image
        size and frames (`table_attrs`).

    Raises
    ------
    TypeError
        A movie, camera or argument of the wrong type.
    ValueError
        A movie that is not 2-D or 3-D or not an image file (MovieError),
        settings out of range (max_emitters outside 1..8, or above 1 with
        least squares; psf_sigma not positive), peaks outside the movie's
        frames.
    FileNotFoundError
        A movie file that does not exist.

    Warns
    -----
    NoPeaksWarning
        Once a run: frames smaller than the window, or frames flat or
        without a pixel above the threshold.

    Examples
    --------
    >>> spots = [[3000, 1.3, 1.3, 12.4, 10.7, 0, 0], [2500, 1.3, 1.3, 30.2, 25.5, 0, 0]]
    >>> frame = g2.synth_image(spots, (36, 44), 15) + 20.0     # photo-electrons
    >>> movie = np.stack([frame, frame]) / 0.5 + 100           # 2 frames in ADU: 0.5 e-/ADU, baseline 100
    >>> cam = g2.Camera(baseline=100, sensitivity=0.5, pixel_size=100)
    >>> locs = g2.localize(movie, camera=cam, estimator="lsq", mea=11)
    >>> print(locs[["frame", "x", "y", "photons", "bg", "flag"]].round(2).to_string(index=False))
     frame    x    y  photons   bg  flag
         0 12.4 10.7   3000.0 20.0     0
         0 30.2 25.5   2500.0 20.0     0
         1 12.4 10.7   3000.0 20.0     0
         1 30.2 25.5   2500.0 20.0     0
    >>> locs.x_nm.round(1).tolist()[:2], locs.attrs["width"], locs.attrs["n_frames"]
    ([1240.0, 3020.0], 44, 2)
    """
    settings = Settings(camera=Camera() if camera is None else camera, mea=mea, estimator=estimator,
                        threshold=threshold, smooth=smooth, psf_sigma=psf_sigma, max_emitters=max_emitters)
    mv = open_movie(movie)
    settings = crowded.resolved(settings, mv, frames)
    parts = list(iter_localize(mv, settings, peaks=peaks, frames=frames, n_threads=n_threads, progress=progress,
                               client=client))
    table = concat_tables(parts, settings.camera)
    table.attrs.update(table_attrs(mv, settings, frames, peaks is not None))
    return table
