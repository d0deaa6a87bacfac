"""Photometry of a field imaged many times: every spot measured in every
cycle and channel.

    ph = g2.photometry("run.tif", channels=2, camera=cam)   # or an array (channels, cycles, h, w)
    ph.signal[i, ch, c], ph.signal_se[i, ch, c]     # photons of spot i in channel ch, cycle c
    ph.to_frame()                                   # a long table: id, channel, cycle, signal, ...
    ph.write("run.h5"); g2.Photometry.read("run.h5")

A pipeline that images one field many times (cycles) in several channels
finds its spots once and needs each spot's brightness, with an error bar,
in every image: a spot that goes dark (its dye bleached or removed) is the
signal, not a failure. The steps:

1. Camera counts to photo-electrons (Camera).
2. Registration: each cycle's sub-pixel shift against cycle 0, from all
   channels (registration.cycle_shifts); the images are not resampled for
   measuring, the spots' positions are moved instead.
3. Spots, found once (or taken from `peaks`): on the registered composite
   of all cycles and channels, on each channel's, and, for spots lit in
   few cycles, on each cycle's sum of channels, by the peak search with a
   local background (SEARCH_TILE), so that uneven illumination neither
   creates nor hides spots; the composite's peaks are kept, and of the
   others those not within MERGE_DISTANCE of a kept one.
4. Shapes (_Shapes): each spot's position from a Poisson maximum-likelihood
   fit of the composite of all channels, and its widths and correlation
   per channel from fits of that channel's composite (spots whose signal
   there is at least SHAPE_SNR errors), shrunk towards the channel's median
   by how well the spot's own fit determines them (a spot too dim to tell
   takes the channel's PSF); each window with its neighbours' light, as
   modelled so far, taken out, so that a neighbour pulls neither position
   nor widths. With `psf_sigma`, every spot takes the PSF's width.
5. Measurement: in every image, every spot's signal (photons: the volume of
   its Gaussian) and local background (photons a pixel), with the shape
   held and the position moved by that cycle's shift, by the native
   photometry batch (gauss2_photometry.h): the two-parameter Poisson
   maximum likelihood, spots whose windows overlap fitted jointly, photon
   standard errors, negative signals allowed.

Flags of a cell (flag[i, ch, c]): FLAGS. A dark spot is measured (flag 0),
near zero.
"""

import json
import math
import os
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from . import _lib
from ._checks import as_int, is_real_dtype, need_package
from ._lib import GAUSS2_MAX_MEA, PHOTOMETRY_RESULT_SIZE, PHOTOMETRY_SPOT_SIZE
from .camera import Camera
from .fitter import FLAG_GOOD, ReadVariance, fit_spots, synth_image
from .movie import open_movie
from .outputs import STDOUT, open_output, staged_path
from .peaks import find_peaks_in_frames
from .pipeline import Progress, chunk_frames
from .registration import cycle_shifts, registered_sums, spectra

FLAGS = {
    _lib.PHOTOMETRY_MEASURED: "measured",
    _lib.PHOTOMETRY_OUTSIDE: "outside: the spot lies outside the frame in that cycle",
    _lib.PHOTOMETRY_FAILED: "failed: no pixel of its own (masked, or another spot within a pixel)",
    _lib.PHOTOMETRY_NOT_CONVERGED: "not converged: the last estimate, with its errors",
    _lib.PHOTOMETRY_GROUP_TOO_LARGE: f"group too large: over {_lib.PHOTOMETRY_MAX_GROUP} spots with "
                                     "overlapping windows",
}
DATASETS = ("signal", "signal_se", "bg", "bg_se", "flag")
FRAME_COLUMNS = ("id", "channel", "cycle", "signal", "signal_se", "bg", "bg_se", "flag")

SHAPE_MEA = 11  # window of the composite's shape fits when no PSF width says otherwise
SEARCH_TILE = 32  # background_tile of the spot search
SEARCH_SMOOTH = 0.7  # pixels: resolves spots 4 px apart in composites of PSFs up to 1.55 px
SEARCH_N_SIGMA = 5.0
SEARCH_BORDER = 1  # pixels: spots are found up to the frame's edge but for its outermost pixels
MERGE_DISTANCE = 2.0  # pixels: a peak this close to a kept one is that spot
SHAPE_SNR = 10.0  # a spot's widths are fitted in a channel where its signal is this many times its error
SHAPE_RANGE = (0.3, 4.0)  # a spot's fitted width within this share of its channel's median counts as plausible


def window_for(sigma):
    """The odd window side that holds +-3 PSF widths (at least 5, at most
    GAUSS2_MAX_MEA)."""
    return int(min(GAUSS2_MAX_MEA, max(5, 2 * math.ceil(3.0 * sigma) + 1)))


# ---- the result ---------------------------------------------------------------------------


@dataclass(eq=False)
class Photometry:
    """Every spot measured in every channel and cycle of a field.

    signal, signal_se, bg, bg_se: float64 (n_spots, n_channels, n_cycles),
        photons (signal: the volume of the spot's Gaussian; bg: per pixel),
        with photon-noise standard errors; NaN where not measured.
    flag: int8 of the same shape, FLAGS (0 measured).
    spots: DataFrame, one row a spot: id, x, y (pixels in cycle 0's frame,
        a pixel's centre at + 0.5), then per channel k sx_k, sy_k, rho_k.
    shifts: float64 (n_cycles, 2), dx, dy of each cycle against cycle 0: a
        spot at (x, y) in cycle 0 is at (x + dx, y + dy) in that cycle.
    settings: the run's settings (plain values: camera, windows, ...).
    """

    signal: np.ndarray
    signal_se: np.ndarray
    bg: np.ndarray
    bg_se: np.ndarray
    flag: np.ndarray
    spots: pd.DataFrame
    shifts: np.ndarray
    settings: dict = field(default_factory=dict)

    @property
    def n_spots(self):
        return self.signal.shape[0]

    @property
    def n_channels(self):
        return self.signal.shape[1]

    @property
    def n_cycles(self):
        return self.signal.shape[2]

    def to_frame(self):
        """A long table, one row a cell: id, channel, cycle, signal,
        signal_se, bg, bg_se, flag; spots in order, then channels, then
        cycles."""
        n, n_ch, n_cyc = self.signal.shape
        ids = np.repeat(self.spots["id"].to_numpy(), n_ch * n_cyc)
        cols = {"id": ids, "channel": np.tile(np.repeat(np.arange(n_ch), n_cyc), n),
                "cycle": np.tile(np.arange(n_cyc), n * n_ch)}
        for name in DATASETS:
            cols[name] = getattr(self, name).reshape(-1)
        return pd.DataFrame(cols, columns=list(FRAME_COLUMNS))

    def write(self, path):
        """Writes the photometry to `path`: HDF5 (.h5, .hdf5; datasets
        signal, signal_se, bg, bg_se, flag, shifts and a group `spots` of one
        dataset a column, the settings as attributes of the file), or CSV
        (.csv: to_frame(), missing values as empty cells). The file appears
        complete or not at all. Returns the path."""
        kind = output_kind(path)
        if kind == "csv":
            _write_csv(self.to_frame(), path)
        else:
            h5py = need_package("h5py", f"{path}: writing HDF5", ValueError, "; or write .csv")
            with staged_path(path) as tmp, h5py.File(tmp, "w") as f:
                for name in DATASETS:
                    f.create_dataset(name, data=getattr(self, name))
                f.create_dataset("shifts", data=self.shifts)
                spots = f.create_group("spots")
                for c in self.spots.columns:
                    v = self.spots[c].to_numpy()
                    spots.create_dataset(c, data=v.astype(h5py.string_dtype()) if v.dtype == object else v)
                spots.attrs["columns"] = list(self.spots.columns)
                for k, v in self.settings.items():
                    f.attrs[k] = _attribute(v)
        return Path(path)

    @classmethod
    def read(cls, path):
        """A Photometry from an HDF5 file that write() made."""
        h5py = need_package("h5py", f"{path}: reading HDF5", ValueError)
        with h5py.File(path, "r") as f:
            missing = [n for n in DATASETS + ("shifts", "spots") if n not in f]
            if missing:
                raise ValueError(f"{path}: not a photometry file: no {', '.join(missing)}")
            arrays = {n: f[n][()] for n in DATASETS}
            shifts = f["shifts"][()]
            columns = [str(c) for c in f["spots"].attrs.get("columns", list(f["spots"].keys()))]
            spots = pd.DataFrame({c: _column(f["spots"][c][()]) for c in columns}, columns=columns)
            settings = {k: _setting(v) for k, v in f.attrs.items()}
        shape = arrays["signal"].shape
        if len(shape) != 3 or any(a.shape != shape for a in arrays.values()) or len(spots) != shape[0] \
                or shifts.shape != (shape[2], 2):
            raise ValueError(f"{path}: the datasets' shapes disagree")
        arrays["flag"] = arrays["flag"].astype(np.int8)
        return cls(spots=spots, shifts=shifts, settings=settings, **arrays)


def _attribute(value):
    """A setting as an HDF5 attribute: numbers, strings and lists of them
    as they are; None as an empty string; anything else as JSON text."""
    if value is None:
        return ""
    if isinstance(value, (bool, int, float, str, np.integer, np.floating)):
        return value
    if isinstance(value, (list, tuple)) and all(isinstance(v, (int, float, np.integer, np.floating)) for v in value):
        return np.asarray(value, dtype=np.float64)
    if isinstance(value, (list, tuple)) and all(isinstance(v, str) for v in value):
        return list(value)
    return json.dumps(value)


def _setting(value):
    """An attribute back as a plain value (JSON text decoded)."""
    if isinstance(value, bytes):
        value = value.decode()
    if isinstance(value, str):
        if value.startswith(("{", "[")):
            try:
                return json.loads(value)
            except ValueError:
                return value
        return None if value == "" else value
    if isinstance(value, np.ndarray):
        return [v.decode() if isinstance(v, bytes) else (v.item() if hasattr(v, "item") else v) for v in value]
    return value.item() if hasattr(value, "item") else value


def _column(values):
    if values.dtype.kind in "SO":
        return np.array([v.decode() if isinstance(v, bytes) else v for v in values], dtype=object)
    return values


def output_kind(path):
    """"csv" or "hdf5", the file write() makes of `path` by its suffix
    (standard output, `-`, takes CSV); a ValueError for any other."""
    from .formats import CSV_SUFFIXES, HDF5_SUFFIXES

    if str(path) == STDOUT:
        return "csv"
    suffix = Path(str(path)).suffix.lower()
    if suffix in CSV_SUFFIXES:
        return "csv"
    if suffix in HDF5_SUFFIXES:
        return "hdf5"
    raise ValueError(f"{path}: unknown photometry format {suffix or '(no suffix)'}; use .h5, .hdf5 or .csv")


def _write_csv(table, path):
    """The long table as CSV; non-finite values are empty cells."""
    with open_output(path) as f:
        f.write((",".join(table.columns) + "\n").encode())
        text = table.to_csv(index=False, header=False, float_format="%.9g", na_rep="")
        f.write(text.encode())


# ---- inputs ---------------------------------------------------------------------------------


def stack_frames(stack, channels=None):
    """The images of `stack` as a Movie of frames (movie.py's readers) and
    how they split into channels and cycles: (movie, n_channels,
    interleaved). Frame i is channel i % n_channels of cycle i //
    n_channels when interleaved, else channel i // n_cycles of cycle
    i % n_cycles.

    stack: an array (channels, cycles, h, w), or (cycles, h, w) for one
    channel (numpy, memory-mapped or dask); or a path or a list of paths
    (any movie format movie.py reads: TIFF of any kind tifffile reads,
    .npy) whose images follow each other in acquisition order with the
    channels interleaved (channel fastest, the order of ImageJ hyperstacks
    and OME-TIFF's XYCZT), `channels` of them (default 1)."""
    paths = isinstance(stack, (list, tuple)) and stack and all(isinstance(s, (str, os.PathLike)) for s in stack)
    if isinstance(stack, (str, os.PathLike)) or paths:
        movie = open_movie(stack)
        n_ch = 1 if channels is None else as_int("channels", channels, low=1)
        if movie.n_frames % n_ch:
            raise ValueError(f"{movie.n_frames} image(s) do not split into {n_ch} channels")
        return movie, n_ch, True
    if isinstance(stack, (list, tuple)) or not hasattr(stack, "shape"):
        stack = np.asarray(stack)
    if not is_real_dtype(np.dtype(stack.dtype)):
        raise TypeError(f"stack must hold real numbers, got dtype {stack.dtype}")
    shape = tuple(int(s) for s in stack.shape)
    if len(shape) not in (3, 4):
        raise ValueError(f"stack must be (channels, cycles, h, w) or (cycles, h, w), got shape {shape}")
    n_ch = shape[0] if len(shape) == 4 else 1
    if channels is not None and as_int("channels", channels, low=1) != n_ch:
        raise ValueError(f"channels={channels}, but the stack has {n_ch} channel(s)")
    return open_movie(stack.reshape((math.prod(shape[:-2]),) + shape[-2:])), n_ch, False


def read_electrons(movie, n_ch, interleaved, camera, n_threads=1):
    """Photo-electrons (float64, (channels, cycles, h, w)) of the frames of
    `movie` (as stack_frames splits them), read and converted a chunk of
    frames at a time (on n_threads threads), so that the stack is never
    held whole in its own dtype; non-finite pixels are refused, naming the
    first."""
    n, h, w = movie.shape
    n_cyc = n // n_ch
    out = np.empty((n, h, w))
    # Integers whose largest magnitude converts to a finite value convert
    # to finite values: their frames need no test.
    dtype = np.dtype(movie.dtype)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        tested = not np.isfinite(camera.to_electrons(np.array([float(info.min), float(info.max)]))).all()
    else:
        tested = True

    def convert(lo, hi):  # frames lo .. hi - 1: (non-finite pixels, the first (frame, x, y) or None)
        part = camera.to_electrons(movie.read(lo, hi), out=out[lo:hi])
        finite = np.isfinite(part) if tested else None
        if finite is None or finite.all():
            return 0, None
        f, y, x = (int(v[0]) for v in np.nonzero(~finite))
        return int(part.size - np.count_nonzero(finite)), (lo + f, x, y)

    step = chunk_frames(h, w)
    chunks = [(lo, min(n, lo + step)) for lo in range(0, n, step)]
    if n_threads > 1 and len(chunks) > 1:
        with ThreadPoolExecutor(max_workers=n_threads) as pool:
            found = list(pool.map(lambda c: convert(*c), chunks))
    else:
        found = [convert(*c) for c in chunks]
    bad = sum(count for count, _ in found)
    if bad:
        f, x, y = next(first for _, first in found if first is not None)
        ch, c = (f % n_ch, f // n_ch) if interleaved else (f // n_cyc, f % n_cyc)
        raise ValueError(f"stack holds {bad} non-finite pixel(s), the first in channel {ch}, cycle {c} at x {x}, "
                         f"y {y}")
    if interleaved:
        return out.reshape(n_cyc, n_ch, h, w).transpose(1, 0, 2, 3)
    return out.reshape(n_ch, n_cyc, h, w)


def _psf(psf_sigma, n_ch):
    """psf_sigma per channel (n_ch,) or None."""
    if psf_sigma is None:
        return None
    values = np.atleast_1d(np.asarray(psf_sigma, dtype=np.float64))
    if values.ndim != 1 or len(values) not in (1, n_ch):
        raise ValueError(f"psf_sigma must be one width or one per channel ({n_ch}), got {len(values)}")
    if not np.all(np.isfinite(values) & (values > 0)):
        raise ValueError(f"psf_sigma must be positive and finite, got {values.tolist()}")
    return np.broadcast_to(values, (n_ch,)).copy()


def _given_peaks(peaks, h, w):
    """(id, x, y) of a peak table: a DataFrame or mapping with x, y and an
    optional id, or an (n, 2) array; positions inside the frame."""
    if isinstance(peaks, (pd.DataFrame, dict)):
        missing = [c for c in ("x", "y") if c not in peaks]
        if missing:
            raise ValueError(f"peaks lack the column(s) {', '.join(missing)}; expected x, y and an optional id")
        x, y = (np.asarray(peaks[c]) for c in ("x", "y"))
        ids = np.asarray(peaks["id"]) if "id" in peaks else None
    else:
        a = np.asarray(peaks)
        if a.ndim != 2 or a.shape[1] != 2:
            raise ValueError(f"peaks must be a table of x, y (and id), or an array of shape (n, 2), got {a.shape}")
        x, y, ids = a[:, 0], a[:, 1], None
    for name, v in (("x", x), ("y", y)):
        if not is_real_dtype(v.dtype):
            raise TypeError(f"peaks {name} must hold numbers, got dtype {v.dtype}")
    x, y = x.astype(np.float64), y.astype(np.float64)
    outside = ~(np.isfinite(x) & np.isfinite(y) & (x >= 0) & (x < w) & (y >= 0) & (y < h))
    if outside.any():
        i = int(np.flatnonzero(outside)[0])
        raise ValueError(f"{int(outside.sum())} peak(s) outside the {w} x {h} frame, the first (row {i}) at "
                         f"x {x[i]:g}, y {y[i]:g}")
    if ids is None:
        ids = np.arange(len(x))
    elif len(pd.unique(ids)) != len(ids):
        raise ValueError("peaks id holds duplicates")
    return ids, x, y


# ---- spots and shapes -------------------------------------------------------------------


def _find_spots(composite, channel_composites, cycle_sums, shifts, n_threads=1):
    """Spot positions (x, y in cycle 0's frame, pixel centres) from the
    composite of all channels, from each channel's composite, and from each
    cycle's sum of channels (own frames, moved back by the cycle's shift):
    the composite's peaks are kept, and of the others those not within
    MERGE_DISTANCE of a kept one."""
    parts = (composite[None], channel_composites, cycle_sums)  # searched in place: frames 0, 1.., then the cycles'
    starts = np.cumsum([0] + [len(p) for p in parts])
    shifts = np.concatenate([np.zeros((len(channel_composites) + 1, 2)), shifts])

    def search(lo, hi):
        found = []
        for part, first in zip(parts, starts):
            a, b = max(lo, first), min(hi, first + len(part))
            if a < b:
                fr, px, py, _ = find_peaks_in_frames(part[a - first:b - first], mea=SEARCH_BORDER * 2 + 1,
                                                     smooth=SEARCH_SMOOTH, n_sigma=SEARCH_N_SIGMA,
                                                     background_tile=SEARCH_TILE)
                found.append((fr + a, px, py))
        return tuple(np.concatenate([f[k] for f in found]) for k in range(3))

    edges = np.linspace(0, starts[-1], min(n_threads, starts[-1]) + 1).astype(int)
    with ThreadPoolExecutor(max_workers=max(1, len(edges) - 1)) as pool:
        found = list(pool.map(lambda e: search(*e), zip(edges[:-1], edges[1:])))
    fr, px, py = (np.concatenate([f[k] for f in found]) for k in range(3))
    dx, dy = shifts[fr, 0], shifts[fr, 1]
    x, y = px + 0.5 - dx, py + 0.5 - dy
    h, w = composite.shape
    inside = (x >= 0) & (x < w) & (y >= 0) & (y < h)
    first, x, y = (fr == 0)[inside], x[inside], y[inside]
    from scipy.spatial import cKDTree

    # The composite's peaks are kept; of the others, those not within
    # MERGE_DISTANCE of one of them, each unless an earlier one kept is.
    keep = first.copy()
    rest = np.flatnonzero(~first)
    if first.any() and len(rest):
        d, _ = cKDTree(np.column_stack([x[first], y[first]])).query(np.column_stack([x[rest], y[rest]]))
        rest = rest[d > MERGE_DISTANCE]
    if len(rest):
        # Greedy, in order: a peak is kept unless an earlier kept one lies
        # near; only peaks with an earlier neighbour need the loop.
        pairs = cKDTree(np.column_stack([x[rest], y[rest]])).query_pairs(MERGE_DISTANCE, output_type="ndarray")
        taken = np.ones(len(rest), dtype=bool)
        if len(pairs):
            earlier = {}
            for i, j in pairs[np.lexsort((pairs[:, 0], pairs[:, 1]))]:  # by the later peak j
                earlier.setdefault(int(j), []).append(int(i))
            for j in sorted(earlier):
                taken[j] = not taken[earlier[j]].any()
        keep[rest[taken]] = True
    return x[keep], y[keep]


def _windows(image, x, y, mea):
    """The mea x mea windows (n, mea, mea) of `image` around (x, y): centred
    on the pixel holding it, or moved inwards as far as needed to lie
    inside the frame (the spot then off its centre, within it); their
    centre pixels cx, cy; and whether any fits (the frame at least mea
    pixels a side; zeros if not)."""
    half = mea // 2
    h, w = image.shape
    inside = np.full(len(x), h >= mea and w >= mea)
    cx = np.clip(np.floor(x).astype(np.int64), half, max(half, w - 1 - half))
    cy = np.clip(np.floor(y).astype(np.int64), half, max(half, h - 1 - half))
    offsets = np.arange(-half, half + 1)
    rows = np.clip(cy[:, None, None] + offsets[None, :, None], 0, h - 1)
    cols = np.clip(cx[:, None, None] + offsets[None, None, :], 0, w - 1)
    return np.where(inside[:, None, None], image[rows, cols], 0.0), inside, cx, cy


def _gaussians(x, y, sx, sy, rho, cols, rows):
    """Unit-volume Gaussians of spots (k,) sampled at the centres of pixels
    cols, rows (k, ...), as the library's model samples them."""
    extra = (slice(None),) + (None,) * (np.ndim(cols) - 1)
    x, y, sx, sy, rho = (np.asarray(v)[extra] for v in (x, y, sx, sy, rho))
    dx, dy = cols + 0.5 - x, rows + 0.5 - y
    spread = 1.0 - rho * rho
    q = (dx / sx) ** 2 + (dy / sy) ** 2 - 2.0 * rho * dx * dy / (sx * sy)
    return np.exp(-q / (2.0 * spread)) / (2.0 * np.pi * sx * sy * np.sqrt(spread))


def _fit_windows(windows, inside, read_noise, n_threads):
    """Poisson maximum-likelihood fits of windows (n, mea, mea), stacked
    into one tall image: records (n, 10) in each window's frame, photon
    errors (n, 7), flags."""
    n, mea, _ = windows.shape
    half = mea // 2
    tall = np.ascontiguousarray(windows.reshape(n * mea, mea))
    cy = np.where(inside, np.arange(n) * mea + half, -1)
    cx = np.where(inside, half, -1)
    fits = fit_spots(tall, cx, cy, mea, estimator="mle", read_noise=read_noise, n_threads=n_threads)
    return fits.records, fits.photon_std, fits.flag


def _plausible(rec, err, flag, x, y, cx, cy, half):
    """Fits that measured a spot: good, significant, within 1.5 px of (x, y)
    (where it was found), with positive widths; and the fits' positions
    (windows centred on pixels cx, cy)."""
    fx, fy = cx - half + rec[:, 3], cy - half + rec[:, 4]
    with np.errstate(invalid="ignore"):
        return (flag == FLAG_GOOD) & (rec[:, 0] > 3.0 * err[:, 0]) & (np.abs(fx - x) < 1.5) & (np.abs(fy - y) < 1.5) \
            & (rec[:, 1] > 0) & (rec[:, 2] > 0), fx, fy


def _shrunk(values, errors, good):
    """Each value shrunk towards the median of the good ones by
    tau^2 / (tau^2 + error^2), tau^2 the spread of the good values beyond
    their errors (robust: MAD and the median squared error); values that
    are not good take the median. Returns (values, median)."""
    centre = float(np.median(values[good]))
    spread = 1.482602218505602 * float(np.median(np.abs(values[good] - centre)))
    tau2 = max(0.0, spread**2 - float(np.median(errors[good] ** 2)))
    with np.errstate(invalid="ignore", divide="ignore"):
        weight = np.where(good, tau2 / (tau2 + errors**2), 0.0) if tau2 > 0 else np.zeros(len(values))
    weight = np.nan_to_num(weight)
    return centre + weight * np.nan_to_num(values - centre), centre


class _Shapes:
    """Spots' positions and per-channel widths from the composites.

    Positions come from fits of the composite of all channels; widths and
    rho from fits of each channel's composite, of the spots whose signal
    there is at least SHAPE_SNR times its error, shrunk towards the
    channel's median (_shrunk); the others take the median. Each window
    has its neighbours' light taken out, as the spots' shapes so far and a
    joint photometry of each composite model it, so that a neighbour pulls
    neither a spot's position nor its widths: the positions are fitted
    twice, the second time with the neighbours modelled on the median
    widths of the first fits, then the widths with the neighbours modelled
    on the second positions. The neighbours' signals come from one joint
    photometry of each composite, at the first fits' positions, for both
    passes: measured again at the second positions, they gave the same
    figures on bench/photometry.py (signal/truth 0.9992 against 0.9991,
    RMS z 1.041 both) at the cost of two more photometries of the
    composites. (Fitting the widths once more before the positions' second
    fit measured the same: RMS z 1.043 against 1.046, at 1.7 times the
    cost.)"""

    def __init__(self, composites, mea, psf, read_noise, n_cycles, n_threads, composite=None):
        self.composites, self.mea, self.psf, self.n_threads = composites, mea, psf, n_threads
        self.composite = composites.sum(axis=0) if composite is None else composite  # of all channels
        self.n_ch = len(composites)
        self.read_noise, self.n_cycles = read_noise, n_cycles
        self._cache = {}

    def fit(self, x, y):
        n = len(x)
        self.anchor = (x, y)  # where each spot was found or given: fits may not wander off
        x, y, start = self._positions(x, y, None)
        self.measured_at = (x, y)  # the composites' photometry, once, at the first fits' positions
        sx, sy, rho = (np.empty((n, self.n_ch)) for _ in range(3))
        for ch in range(self.n_ch):
            first = start if self.psf is None else (self.psf[ch], self.psf[ch])
            sx[:, ch], sy[:, ch], rho[:, ch] = first[0], first[1], 0.0
        x, y, _ = self._positions(x, y, (sx.copy(), sy.copy(), rho.copy()))
        psf_xy = self._widths(x, y, (sx.copy(), sy.copy(), rho.copy()), sx, sy, rho)
        return x, y, sx, sy, rho, psf_xy

    def _signals(self, ch, x, y, sx, sy, rho):
        """Every spot's signal and its error in channel ch's composite (the
        joint photometry of the spots as they are)."""
        spots = np.column_stack([x, y, sx, sy, rho])
        key = (ch, spots.tobytes())
        if key not in self._cache:
            var = self.n_cycles * self.read_noise**2
            layout = _Layout(_groups(spots, self.mea), self.n_threads)
            out, _ = _measure_image(self.composites[ch], spots, layout, self.mea, var, None)
            self._cache[key] = (np.nan_to_num(out[:, 0]), out[:, 1])
        return self._cache[key]

    def _cut(self, image, x, y, model=None, channels=None):
        """The windows of `image`, less the light of each spot's neighbours
        in `channels` as the model (sx, sy, rho) has it: the model of every
        spot (each on a square of side 2 mea - 1, which holds every window
        that can overlap its own, or of 8 widths if that is less) taken out
        of the image, each spot's own added back to its window."""
        if model is None:
            return _windows(image, x, y, self.mea)
        sx, sy, rho = model
        # Beyond 4 widths a spot's light is below 3e-4 of its height.
        reach = 2 * math.ceil(4.0 * max(float(np.max(sx[:, list(channels)])), float(np.max(sy[:, list(channels)])))) + 1
        side = min(GAUSS2_MAX_MEA, 2 * self.mea - 1, reach)
        h, w = image.shape
        pad = side + 1  # every spot's square lies inside the padded picture
        light = np.zeros((h + 2 * pad, w + 2 * pad))
        amps = []
        for k in channels:
            amp, _ = self._signals(k, *self.measured_at, sx[:, k], sy[:, k], rho[:, k])
            params = np.column_stack([amp, sx[:, k], sy[:, k], x + pad, y + pad, rho[:, k], np.zeros(len(x))])
            synth_image(params, light.shape, side, im=light)
            amps.append((amp, k))
        windows, inside, cx, cy = _windows(image - light[pad:pad + h, pad:pad + w], x, y, self.mea)
        half = self.mea // 2
        offsets = np.arange(-half, half + 1)
        cols = cx[:, None, None] + offsets[None, None, :]
        rows = cy[:, None, None] + offsets[None, :, None]
        for amp, k in amps:
            windows += amp[:, None, None] * _gaussians(x, y, sx[:, k], sy[:, k], rho[:, k], cols, rows)
        return windows, inside, cx, cy

    def _positions(self, x, y, model):
        """Positions from the composite of all channels (where a fit is
        plausible; the given ones elsewhere), and the median widths of the
        plausible fits."""
        windows, inside, cx, cy = self._cut(self.composite, x, y, model, range(self.n_ch))
        rn = self.read_noise * np.sqrt(self.n_ch * self.n_cycles)
        rec, err, flag = _fit_windows(windows, inside, rn, self.n_threads)
        good, fx, fy = _plausible(rec, err, flag, *self.anchor, cx, cy, self.mea // 2)
        widths = np.median(rec[good, 1:3], axis=0) if good.any() else np.array([1.0, 1.0])
        return np.where(good, fx, x), np.where(good, fy, y), widths

    def _widths(self, x, y, model, sx, sy, rho):
        """Widths and rho of each channel into sx, sy, rho; each channel's
        median widths (n_ch, 2)."""
        psf_xy = np.empty((self.n_ch, 2))
        fitted = {}
        for ch in range(self.n_ch):
            if self.psf is not None:
                psf_xy[ch] = self.psf[ch]
                continue
            amp, amp_se = self._signals(ch, *self.measured_at, model[0][:, ch], model[1][:, ch], model[2][:, ch])
            with np.errstate(invalid="ignore"):
                bright = amp > SHAPE_SNR * amp_se
            windows, inside, cx, cy = self._cut(self.composites[ch], x, y, model, (ch,))
            rn = self.read_noise * np.sqrt(self.n_cycles)
            rec, err, flag = _fit_windows(windows, inside & bright, rn, self.n_threads)
            good, _, _ = _plausible(rec, err, flag, *self.anchor, cx, cy, self.mea // 2)
            good &= bright
            if good.any():
                centre = np.median(rec[good, 1:3], axis=0)
                good &= np.all((rec[:, 1:3] > SHAPE_RANGE[0] * centre) & (rec[:, 1:3] < SHAPE_RANGE[1] * centre),
                               axis=1)
            fitted[ch] = (rec, err, good)
        usable = [f for f in fitted.values() if f[2].any()]
        for ch, (rec, err, good) in fitted.items():
            if not good.any():  # no spot lit in this channel: the other channels' PSF stands in
                if not usable:
                    raise ValueError("no spot's shape could be fitted in any channel; give psf_sigma")
                psf_xy[ch] = np.median(np.vstack([r[g, 1:3] for r, _, g in usable]), axis=0)
                sx[:, ch], sy[:, ch], rho[:, ch] = psf_xy[ch, 0], psf_xy[ch, 1], 0.0
                continue
            sx[:, ch], psf_xy[ch, 0] = _shrunk(rec[:, 1], err[:, 1], good)
            sy[:, ch], psf_xy[ch, 1] = _shrunk(rec[:, 2], err[:, 2], good)
            rho[:, ch], _ = _shrunk(rec[:, 5], err[:, 5], good)
            rho[:, ch] = np.clip(rho[:, ch], -0.9, 0.9)
        return psf_xy


# ---- measurement ------------------------------------------------------------------------------

_work = threading.local()


def _work_buffer(mea):
    need = int(_lib.lib.gauss2_photometry_work_size(mea))
    buf = getattr(_work, "buf", None)
    if buf is None or buf.size < need:
        buf = _work.buf = np.empty(need)
    return buf


def _groups(records, mea):
    """Each spot's group (gauss2_photometry_groups) of records (n, 5+)."""
    n = len(records)
    group = np.empty(n, dtype=np.int64)
    spots = np.ascontiguousarray(records[:, :PHOTOMETRY_SPOT_SIZE], dtype=np.float64)
    _lib.lib.gauss2_photometry_groups(n, spots, mea, np.empty(3 * max(n, 1), dtype=np.int64), group)
    return group


class _Layout:
    """Spots in the order the native batch takes them, their groups'
    (gauss2_photometry_groups, any numbering), and where calls on n_threads
    threads cut them (at the end of a group: no group is split). Made once
    for every image measured at the same spots."""

    def __init__(self, group, n_threads=1):
        n = len(group)
        self.order = np.argsort(group, kind="stable")
        self.group = np.ascontiguousarray(group[self.order])
        starts = np.flatnonzero(np.r_[True, self.group[1:] != self.group[:-1]]) if n else np.zeros(0, np.int64)
        cuts = starts[np.searchsorted(starts, np.linspace(0, n, min(n_threads, len(starts)) + 1)[1:-1])]
        self.edges = np.unique(np.r_[0, cuts, n]).astype(np.int64)


def _measure_image(image, records, layout, mea, read_var, var_map):
    """The native photometry of one image: spots records (n, 5) at the
    _Layout `layout`, the calls it cuts them into on threads of their own.
    Returns (results (n, 4), flags (n,)) in the records' order."""
    n = len(records)
    out = np.full((n, PHOTOMETRY_RESULT_SIZE), np.nan)
    flags = np.zeros(n, dtype=np.int64)
    if not n:
        return out, flags
    h, w = image.shape
    im = np.ascontiguousarray(image, dtype=np.float64)
    rec = np.ascontiguousarray(records[layout.order], dtype=np.float64)
    grp = layout.group
    res = np.empty((n, PHOTOMETRY_RESULT_SIZE))
    fl = np.empty(n, dtype=np.int64)

    def run(lo, hi):
        _lib.lib.fit_array_of_gauss_2d_photometry_on_float_image(
            im, w, h, mea, hi - lo, rec[lo:hi], grp[lo:hi], read_var, var_map, _work_buffer(mea), res[lo:hi],
            fl[lo:hi], np.empty(hi - lo, dtype=np.int64))

    edges = layout.edges
    if len(edges) <= 2:
        run(0, n)
    else:
        with ThreadPoolExecutor(max_workers=len(edges) - 1) as pool:
            for f in [pool.submit(run, lo, hi) for lo, hi in zip(edges[:-1], edges[1:])]:
                f.result()
    out[layout.order], flags[layout.order] = res, fl
    return out, flags


def measure(images, spots, shifts, mea, read_noise=0.0, n_threads=1, done=None):
    """The native photometry of every image.

    images: (channels, cycles, h, w) photo-electrons. spots: (n, 2 + 3 *
    channels) x, y (cycle 0's frame), then sx, sy, rho of each channel.
    shifts: (cycles, 2). read_noise: sigma in photo-electrons, a number or a
    map of the frame's shape. done(): called after each image.

    Returns (results (n, channels, cycles, 4): signal, signal_se, bg, bg_se
    in photo-electrons, flags (n, channels, cycles) int8)."""
    n_ch, n_cyc, h, w = images.shape
    n = len(spots)
    mea = as_int("mea", mea, low=1, high=GAUSS2_MAX_MEA, odd=True)
    variance = ReadVariance.of(read_noise, (h, w))
    read_var, var_map = variance.scalar, variance.map
    layout = _Layout(_groups(np.column_stack([spots[:, :2], np.zeros((n, 3))]), mea))
    results = np.full((n, n_ch, n_cyc, PHOTOMETRY_RESULT_SIZE), np.nan)
    flags = np.zeros((n, n_ch, n_cyc), dtype=np.int8)

    def run(ch, c):
        rec = np.column_stack([spots[:, 0] + shifts[c, 0], spots[:, 1] + shifts[c, 1], spots[:, 2 + 3 * ch:5 + 3 * ch]])
        results[:, ch, c], flags[:, ch, c] = _measure_image(images[ch, c], rec, layout, mea, read_var, var_map)
        if done is not None:
            done()

    cells = [(ch, c) for ch in range(n_ch) for c in range(n_cyc)]
    if n_threads == 1:
        for cell in cells:
            run(*cell)
    else:
        with ThreadPoolExecutor(max_workers=n_threads) as pool:
            for f in [pool.submit(run, *cell) for cell in cells]:
                f.result()
    return results, flags


# ---- the whole job ------------------------------------------------------------------------------


class _Steps(Progress):
    """A tqdm bar over the steps and the images measured, or nothing."""

    def __init__(self, total, enabled):
        super().__init__(total, enabled, unit="step", desc="photometry")
        self.lock = threading.Lock()

    def step(self, what=None):
        if self.bar is not None:
            with self.lock:
                if what:
                    self.bar.set_postfix_str(what, refresh=False)
                self.bar.update(1)


def photometry(stack, *, camera=None, peaks=None, register=True, mea=None, psf_sigma=None, channels=None,
               n_threads=None, progress=False):
    """Measures every spot of a field in every cycle and channel.

    Parameters
    ----------
    stack : array_like, str, os.PathLike or list of them
        The images: an array (channels, cycles, h, w), or (cycles, h, w)
        for one channel, in camera counts; or a path or list of paths (TIFF,
        .npy) whose images follow each other with the channels interleaved
        (channel fastest), `channels` of them.
    camera : Camera, optional
        The conversion of counts to photo-electrons and photons (default:
        counts are photons).
    peaks : pandas.DataFrame, mapping or array_like, optional
        The spots to measure instead of searching: x, y in cycle 0's frame
        (pixels, a pixel's centre at + 0.5) and an optional id, kept.
    register : bool, optional
        Measure each cycle's shift against cycle 0 (default); False: none.
    mea : int, optional
        The fit windows' side, odd; default from the PSF: window_for(its
        largest width), the composite's shape fits at SHAPE_MEA.
    psf_sigma : float or sequence of float, optional
        The PSF's width in pixels, one or one per channel: every spot takes
        it (sx = sy = psf_sigma, rho 0) and no width is fitted.
    channels : int, optional
        The channels of a stack given as files (default 1).
    n_threads : int, optional
        Threads (default: all cores); the results do not depend on them.
    progress : bool, optional
        A progress bar on stderr.

    Returns
    -------
    Photometry

    Raises
    ------
    TypeError
        A stack, camera or argument of the wrong type.
    ValueError
        A stack that is not 3-D or 4-D, images that do not split into the
        channels, non-finite pixels, peaks outside the frame or with
        duplicate ids, a psf_sigma not positive or not one per channel, a
        read-noise map not of the frames' shape.

    Examples
    --------
    >>> rng = np.random.default_rng(1)
    >>> spots = [[4000, 1.3, 1.3, x, y, 0, 0] for x, y in [(12.3, 14.6), (40.2, 30.5), (25.7, 45.1)]]
    >>> lit = g2.synth_image(spots, (60, 60), 15) + 20
    >>> dark = g2.synth_image(spots[:2], (60, 60), 15) + 20          # the third spot goes dark
    >>> stack = rng.poisson(np.stack([lit, lit, dark])).astype(float)   # one channel, 3 cycles
    >>> ph = g2.photometry(stack, register=False, n_threads=1)
    >>> ph.n_spots, ph.flag.max()
    (3, 0)
    >>> i = int(np.argmin(np.hypot(ph.spots.x - 25.7, ph.spots.y - 45.1)))
    >>> bool(abs(ph.signal[i, 0, 2]) < 3 * ph.signal_se[i, 0, 2]), bool(ph.signal[i, 0, 0] > 3000)
    (True, True)
    """
    camera = Camera() if camera is None else camera
    if not isinstance(camera, Camera):
        raise TypeError(f"camera must be a Camera, got {type(camera).__name__}")
    if n_threads is None:
        n_threads = os.cpu_count() or 1
    n_threads = as_int("n_threads", n_threads, low=1)
    if not isinstance(register, (bool, np.bool_)):
        raise TypeError(f"register must be True or False, got {type(register).__name__}")
    movie, n_ch, interleaved = stack_frames(stack, channels)
    n_cyc, h, w = movie.n_frames // n_ch, movie.height, movie.width
    if min(n_cyc, h, w) == 0:
        raise ValueError(f"stack holds no image, shape {(n_ch, n_cyc, h, w)}")
    camera.check_frame_shape((h, w))
    psf = _psf(psf_sigma, n_ch)
    if mea is not None:
        mea = as_int("mea", mea, low=3, high=GAUSS2_MAX_MEA, odd=True)
    shape_mea = mea or (window_for(psf.max()) if psf is not None else SHAPE_MEA)
    given = None if peaks is None else _given_peaks(peaks, h, w)
    electrons = read_electrons(movie, n_ch, interleaved, camera, n_threads)
    steps = _Steps(3 + n_ch * n_cyc, progress)
    try:
        f = spectra(electrons, n_threads)
        shifts = cycle_shifts(electrons, n_threads, f) if register and n_cyc > 1 else np.zeros((n_cyc, 2))
        steps.step("registered")
        composites = registered_sums(electrons, shifts, f, n_threads)
        composite = composites.sum(axis=0)
        del f
        if given is None:
            x, y = _find_spots(composite, composites, electrons.sum(axis=0), shifts, n_threads)
            ids = np.arange(len(x))
        else:
            ids, x, y = given
        steps.step(f"{len(x)} spots")
        rn = camera.read_noise
        read_sigma = float(np.median(rn)) if isinstance(rn, np.ndarray) else rn
        shapes = _Shapes(composites, shape_mea, psf, read_sigma, n_cyc, n_threads, composite)
        x, y, sx, sy, rho, psf_xy = shapes.fit(x, y) \
            if len(x) else (x, y, np.zeros((0, n_ch)), np.zeros((0, n_ch)), np.zeros((0, n_ch)),
                            np.full((n_ch, 2), np.nan) if psf is None else np.column_stack([psf, psf]))
        steps.step("shapes")
        measure_mea = mea or window_for(float(np.nanmax(psf_xy)) if np.isfinite(psf_xy).any() else 1.5)
        spots = np.column_stack([x, y] + [np.column_stack([sx[:, k], sy[:, k], rho[:, k]]) for k in range(n_ch)]) \
            if len(x) else np.zeros((0, 2 + 3 * n_ch))
        results, flags = measure(electrons, spots, shifts, measure_mea, rn, n_threads, steps.step)
    finally:
        steps.close()
    qe = camera.qe
    table = {"id": ids, "x": x, "y": y}
    for k in range(n_ch):
        table[f"sx_{k}"], table[f"sy_{k}"], table[f"rho_{k}"] = sx[:, k], sy[:, k], rho[:, k]
    from . import __version__

    settings = {
        "software": f"gauss2_fitter {__version__} photometry",
        "units": "photons",
        "n_channels": n_ch, "n_cycles": n_cyc, "height": h, "width": w,
        "mea": measure_mea, "shape_mea": shape_mea, "register": bool(register),
        "psf_sigma": None if psf is None else psf.tolist(),
        "psf_sigma_x": psf_xy[:, 0].tolist(), "psf_sigma_y": psf_xy[:, 1].tolist(),
        "spots_from": "search" if given is None else "peaks",
        "search_background_tile": SEARCH_TILE, "search_n_sigma": SEARCH_N_SIGMA,
        "camera": camera.as_dict(),
        "source": list(movie.names),
    }
    return Photometry(signal=results[..., 0] / qe, signal_se=results[..., 1] / qe, bg=results[..., 2] / qe,
                      bg_se=results[..., 3] / qe, flag=flags, spots=pd.DataFrame(table), shifts=shifts,
                      settings=settings)
