"""The experiment's own precision and resolution, measured from a table.

    r = g2.nena(locs)          # r.precision (pixels), r.precision_nm; r.save_png("nena.png")
    f = g2.frc(locs)           # f.resolution_nm, f.frequency, f.curve; f.save_png("frc.png")

NeNA (nearest neighbour in adjacent frames): a molecule that stays on is
localised again in the next frame, so for every localisation the distance d
to the nearest localisation of the next frame, up to NENA_REACH median
precisions away (NENA_UNKNOWN_REACH pixels in tables without them), is
mostly that of two measurements of one position. Their histogram is fitted
with

    p(d) = a1 d / (2 s^2) exp(-d^2 / (4 s^2))                       (the same molecule)
         + a2 exp(-(d - dc)^2 / (2 w^2)) / sqrt(2 pi w^2)           (its near neighbours)
         + a3 d                                                     (others, at random)

whose s is the localisation precision along one axis (each of the two
positions having s, their difference sqrt(2) s). Precisions vary from blink
to blink, so by default the first term is the mixture of the pairs' own
reported precisions times one fitted ratio (`nena`'s description says
why). The result carries the mean precision as `precision` (pixels) and
`precision_nm`, the histogram, the fitted terms, and a picture of both.

FRC (Fourier ring correlation): the localisations are split into two
halves by alternating blocks of `block_frames` frames (a blink, a few frames
long, then lies in one half), each half is rendered as a 2-D histogram of
bins `bin_size` pixels (render.py), and the correlation of their Fourier
transforms over rings of spatial frequency q is

    FRC(q) = Re sum F1 F2* / sqrt(sum |F1|^2 sum |F2|^2),

smoothed over FRC_SMOOTH_RINGS rings. The resolution is 1 / q where it
first falls below 1/7; the result carries it (`resolution`, pixels, and
`resolution_nm`) with the curve, and draws it.
"""

from dataclasses import dataclass, field

import numpy as np

from ._checks import as_int
from ._post import (check_table, frame_steps, measured_rows, new_figure, optional_length, pixel_size_of,
                    precision_of, save_figure)
from .metadata import metadata_of

NENA_REACH = 12.0  # distances looked at, in median precisions
NENA_UNKNOWN_REACH = 1.0  # pixels, for tables without precisions
NENA_PROFILE = 32  # quantiles of the pairs' precisions in the first term
NENA_BINS = 80
MIN_NENA_PAIRS = 100
FRC_THRESHOLD = 1 / 7
FRC_BLOCK_FRAMES = 50
FRC_BIN_PRECISIONS = 0.5  # the default bin, in median precisions ...
FRC_SIDE = 4096  # ... or coarser, for at most this many bins along the field's longer side
FRC_SMOOTH_RINGS = 3.0  # sigma of the Gaussian smoothing of the curve, rings
MIN_FRC_LOCS = 100  # in each half


def _good(locs, what):
    check_table(locs, what)
    t = locs[measured_rows(locs)]
    frame = t["frame"].to_numpy().astype(np.int64)
    return t, t["x"].to_numpy(dtype=np.float64), t["y"].to_numpy(dtype=np.float64), frame


def _in_nm(value, pixel_size):
    return None if pixel_size is None or value is None else value * pixel_size


class _Drawn:
    """What the results share: lengths in camera pixels, drawn in nm when
    the pixel size is known, and their picture written as PNG."""

    def _unit(self):
        return (self.pixel_size, "nm") if self.pixel_size else (1.0, "px")

    def save_png(self, path):
        """Writes the figure to `path` (.png); complete or not at all."""
        return save_figure(self.figure(), path)


# ---- NeNA ----------------------------------------------------------------------------


@dataclass
class NenaResult(_Drawn):
    """NeNA's estimate of the mean localisation precision (one axis), and
    what it was fitted to. Lengths in camera pixels; pixel_size (nm) when
    known. ratio: the measured precision over the reported one (lpx, lpy),
    None for the classic fit. edges, counts: the histogram of the distances
    (pairs per bin); params: the fitted terms (a1, scale, a2, dc, w, a3;
    see quality.py)."""

    precision: float
    precision_nm: object
    pixel_size: object
    n_pairs: int
    ratio: object
    edges: np.ndarray = field(repr=False)
    counts: np.ndarray = field(repr=False)
    params: dict = field(repr=False)
    scales: np.ndarray = field(repr=False)

    def curve(self, d, terms=("same", "near", "random")):
        """The fitted distribution at distances d (pixels), in pairs per
        bin of the histogram; `terms` the ones to include."""
        p = dict(self.params)
        for term, amplitude in (("same", "a1"), ("near", "a2"), ("random", "a3")):
            if term not in terms:
                p[amplitude] = 0.0
        d = np.asarray(d, dtype=np.float64)
        return _nena_model(d, *p.values(), scales=self.scales) * (self.edges[1] - self.edges[0]) * self.n_pairs

    def figure(self):
        """A matplotlib figure: the histogram, the fit and its first term."""
        k, unit = self._unit()
        fig = new_figure()
        ax = fig.add_subplot()
        centres = (self.edges[:-1] + self.edges[1:]) / 2
        ax.bar(centres * k, self.counts, width=np.diff(self.edges) * k, color="0.75", label="distances")
        d = np.linspace(0, self.edges[-1], 400)
        ax.plot(d * k, self.curve(d), color="tab:red", label="fit")
        ax.plot(d * k, self.curve(d, ("same",)), color="tab:blue", ls="--", label="same molecule")
        ax.set_xlabel(f"distance to the nearest localisation in the next frame ({unit})")
        ax.set_ylabel("pairs")
        ax.set_title(f"NeNA precision {self.precision * k:.2f} {unit} ({self.n_pairs} pairs)")
        ax.legend()
        return fig


def _nena_model(d, a1, scale, a2, dc, w, a3, scales):
    s2 = (scale * scales[None, :]) ** 2
    dd = d[:, None]
    same = (dd / (2 * s2) * np.exp(-dd * dd / (4 * s2))).mean(axis=1)
    near = np.exp(-((d - dc) ** 2) / (2 * w * w)) / np.sqrt(2 * np.pi * w * w)
    return a1 * same + a2 * near + a3 * d


def next_frame_pairs(x, y, frame, reach):
    """For each localisation with one in the next frame within `reach`: its
    index, the nearest such one's, and their distance."""
    from scipy.spatial import cKDTree

    # Each frame a band of its own along y, so that the nearest neighbour of
    # a point moved one band on lies in the next frame.
    y0 = y.min()
    band = (y.max() - y0) + 2 * reach + 1.0
    yy = (y - y0) + frame_steps(frame, 1) * band
    tree = cKDTree(np.column_stack([x, yy]))
    d, j = tree.query(np.column_stack([x, yy + band]), k=1, distance_upper_bound=reach)
    i = np.flatnonzero(np.isfinite(d))
    return i, j[i], d[i]


def nena(locs, *, pixel_size_nm=None, classic=False, metadata=None):
    """The mean localisation precision of a table by NeNA.

    The distances to the nearest localisation in the next frame are fitted
    with the three terms of the module's description. When the rows have
    precisions (lpx, lpy), the first term is by default the mixture of the
    pairs' own: the pairs' precisions (the root mean square of the two
    rows', in NENA_PROFILE quantiles, which leaves out the few wild ones of
    failed fits) times one fitted ratio, and the result their mean times it. The classic fit (classic=True, and tables
    without precisions) has one precision for all, as NeNA was published;
    where precisions vary (dim and bright blinks) its near-neighbour term
    takes the first term's tail, and it comes out low (bench/post.py: 17 %
    below the true mean precision, where the default is within 3 %).

    Parameters
    ----------
    locs : pandas.DataFrame
        A localisation table (frame, x, y; lpx, lpy). Flagged rows and rows
        without a position are left out. Not linked: NeNA needs the
        repeated localisations of a blink.
    pixel_size_nm : float, optional
        Camera pixel, nm (default the metadata's).
    classic : bool, optional
        One precision for all localisations (default False).
    metadata : RunMetadata, optional
        The table's run metadata (default what its attrs hold).

    Returns
    -------
    NenaResult
        precision (pixels, one axis), precision_nm (None without a pixel
        size), ratio (measured over reported), the histogram, the fit;
        .figure() and .save_png(path).

    Raises
    ------
    TypeError
        `locs` not a DataFrame.
    ValueError
        No frame column, every localisation in one frame, fewer than
        MIN_NENA_PAIRS pairs in adjacent frames, a pixel size that is not
        positive.

    Examples
    --------
    >>> import pandas as pd
    >>> rng = np.random.default_rng(4)
    >>> sites = rng.uniform(2, 98, (400, 2))
    >>> frame = np.repeat(np.arange(2000), 3)
    >>> site = (frame // 4 * 7 + np.tile([0, 1, 2], 2000)) % 400   # each site on for 4 frames at a time
    >>> xy = sites[site] + rng.normal(0, 0.05, (frame.size, 2))    # precision 0.05 px
    >>> locs = pd.DataFrame({"frame": frame, "x": xy[:, 0], "y": xy[:, 1], "lpx": 0.05, "lpy": 0.05})
    >>> r = g2.nena(locs, pixel_size_nm=100)
    >>> round(r.precision_nm), round(r.ratio, 1)
    (5, 1.0)
    """
    t, x, y, frame = _good(locs, "NeNA")
    ps = pixel_size_of(metadata_of(locs, metadata), pixel_size_nm)
    if len(frame) < 2:
        raise ValueError(f"NeNA: {len(frame)} localisation(s) are too few; at least {MIN_NENA_PAIRS} pairs in "
                         "adjacent frames are needed")
    if frame.min() == frame.max():
        raise ValueError(f"NeNA needs localisations in adjacent frames; all {len(frame)} are in frame {frame[0]}")
    sigma = precision_of(t)
    known = np.isfinite(sigma)
    reach = NENA_REACH * float(np.median(sigma[known])) if known.any() else NENA_UNKNOWN_REACH
    i, j, d = next_frame_pairs(x, y, frame, reach)
    if len(d) < MIN_NENA_PAIRS:
        raise ValueError(f"NeNA: {len(d)} pair(s) of localisations in adjacent frames within {reach:.3g} px, fewer "
                         f"than the {MIN_NENA_PAIRS} needed; is the table linked? NeNA needs the localisations "
                         "of each frame")
    if classic or not known.all():
        return _fit_nena(d, reach, ps, None, None)
    pair = np.sqrt((sigma[i] ** 2 + sigma[j] ** 2) / 2)
    scales = np.quantile(pair, (np.arange(NENA_PROFILE) + 0.5) / NENA_PROFILE)
    return _fit_nena(d, reach, ps, scales, float(np.mean(scales)))


def _fit_nena(d, reach, ps, scales, reported):
    """Fits the histogram of the distances d: with `scales` (the pairs'
    precisions, quantiles) the first term is their mixture times a ratio,
    the precision `reported` times it; without, one precision."""
    from scipy.optimize import curve_fit

    edges = np.linspace(0, reach, NENA_BINS + 1)
    counts = np.histogram(d, edges)[0].astype(np.float64)
    width = edges[1] - edges[0]
    centres = (edges[:-1] + edges[1:]) / 2
    density = counts / (len(d) * width)
    sd = np.sqrt(np.maximum(counts, 1.0)) / (len(d) * width)
    if scales is None:
        # One precision, started from the Rayleigh of the distances' median
        # (the median of a Rayleigh of scale sqrt(2) s is 2 s sqrt(ln 2)).
        scales = np.ones(1)
        first, low, high = float(np.median(d)) / (2 * np.sqrt(np.log(2))), width / 4, reach / 2
    else:
        first, low, high = 1.0, 0.05, 20.0
    start = [0.8, first, 0.1, reach / 2, reach / 4, 0.1 / reach**2]
    lower = [0, low, 0, 0, width, 0]
    upper = [np.inf, high, np.inf, reach, reach, np.inf]

    def model(d, *p):
        return _nena_model(d, *p, scales=scales)

    try:
        p, _ = curve_fit(model, centres, density, p0=start, sigma=sd, bounds=(lower, upper), maxfev=20000)
    except RuntimeError as e:
        raise ValueError(f"NeNA: the fit of the distances did not converge ({e})") from None
    params = dict(zip(("a1", "scale", "a2", "dc", "w", "a3"), (float(v) for v in p)))
    precision = params["scale"] * (reported if reported is not None else 1.0)
    return NenaResult(precision=precision, precision_nm=_in_nm(precision, ps), pixel_size=ps, n_pairs=int(len(d)),
                      ratio=params["scale"] if reported is not None else None, edges=edges, counts=counts,
                      params=params, scales=scales)


# ---- FRC -------------------------------------------------------------------------------


@dataclass
class FrcResult(_Drawn):
    """Fourier ring correlation of two halves of a table. frequency: the
    rings' spatial frequencies, cycles per camera pixel; curve: the FRC
    smoothed, raw: as computed; resolution: 1 / the frequency where the
    curve first falls below 1/7, pixels (NaN if it never does);
    resolution_nm with a pixel size."""

    resolution: float
    resolution_nm: object
    pixel_size: object
    bin_size: float
    frequency: np.ndarray = field(repr=False)
    curve: np.ndarray = field(repr=False)
    raw: np.ndarray = field(repr=False)

    def figure(self):
        """A matplotlib figure of the curve, the threshold and the crossing."""
        k, unit = self._unit()
        fig = new_figure()
        ax = fig.add_subplot()
        q = self.frequency / k
        ax.plot(q, self.raw, color="0.75", lw=0.8, label="FRC")
        ax.plot(q, self.curve, color="tab:blue", label="smoothed")
        ax.axhline(FRC_THRESHOLD, color="tab:red", ls="--", lw=0.8, label="1/7")
        if np.isfinite(self.resolution):
            ax.axvline(1 / (self.resolution * k), color="tab:red", lw=0.8)
            ax.set_title(f"FRC resolution {self.resolution * k:.1f} {unit}")
        else:
            ax.set_title("FRC: the curve stays above 1/7")
        ax.set_xlabel(f"spatial frequency (1/{unit})")
        ax.set_ylabel("FRC")
        ax.set_ylim(-0.2, 1.05)
        ax.legend()
        return fig


def check_frc_options(bin_size=None, block_frames=FRC_BLOCK_FRAMES):
    """frc's options checked, before any table is looked at: (bin_size,
    block_frames)."""
    return optional_length("bin_size", bin_size), as_int("block_frames", block_frames, low=1)


def frc(locs, *, pixel_size_nm=None, bin_size=None, block_frames=FRC_BLOCK_FRAMES, metadata=None):
    """The resolution of a table by Fourier ring correlation.

    Parameters
    ----------
    locs : pandas.DataFrame
        A localisation table (frame, x, y; lpx, lpy set the default bin),
        drift-corrected. Flagged rows and rows without a position are left
        out.
    pixel_size_nm : float, optional
        Camera pixel, nm (default the metadata's).
    bin_size : float, optional
        The renders' bin, camera pixels (default FRC_BIN_PRECISIONS median
        precisions, coarser if the field would need more than FRC_SIDE bins a
        side).
    block_frames : int, optional
        The halves alternate in blocks of this many frames (default 50).
    metadata : RunMetadata, optional
        The table's run metadata (default what its attrs hold).

    Returns
    -------
    FrcResult
        resolution (pixels; NaN if the curve never falls below 1/7),
        resolution_nm (None without a pixel size), the curve; .figure() and
        .save_png(path).

    Raises
    ------
    TypeError
        `locs` not a DataFrame; a bin_size or block_frames of the wrong type.
    ValueError
        No frame column, a half with fewer than MIN_FRC_LOCS localisations
        (one frame only, or fewer than two blocks), a bin_size or
        block_frames that is not positive, no bin size to take (no
        precisions and no bin_size).

    Examples
    --------
    >>> import pandas as pd
    >>> rng = np.random.default_rng(5)
    >>> sites = rng.uniform(2, 62, (3000, 2))
    >>> frame = rng.integers(0, 2000, 30000)
    >>> xy = sites[rng.integers(0, 3000, frame.size)] + rng.normal(0, 0.1, (frame.size, 2))
    >>> locs = pd.DataFrame({"frame": frame, "x": xy[:, 0], "y": xy[:, 1], "lpx": 0.1, "lpy": 0.1})
    >>> f = g2.frc(locs, pixel_size_nm=100)
    >>> 20 < f.resolution_nm < 60                      # a few times the 10 nm precision
    True
    """
    from scipy import fft
    from scipy.ndimage import gaussian_filter1d

    from .render import histogram

    bin_size, block_frames = check_frc_options(bin_size, block_frames)
    t, x, y, frame = _good(locs, "FRC")
    ps = pixel_size_of(metadata_of(locs, metadata), pixel_size_nm)
    half = ((frame - (frame.min() if len(frame) else 0)) // block_frames) % 2 == 1
    sizes = (int(np.count_nonzero(~half)), int(np.count_nonzero(half)))
    if min(sizes) < MIN_FRC_LOCS:
        raise ValueError(f"FRC: the halves (alternate blocks of {block_frames} frames) hold {sizes[0]} and "
                         f"{sizes[1]} localisations; each needs at least {MIN_FRC_LOCS} (more frames, or smaller "
                         "block_frames)")
    x0, y0 = x.min(), y.min()
    ext = max(x.max() - x0, y.max() - y0, 1.0)
    if bin_size is None:
        sigma = precision_of(t)
        sigma = sigma[np.isfinite(sigma)]
        if not len(sigma):
            raise ValueError("FRC: the table has no precisions (lpx, lpy) to choose a bin by; give bin_size")
        bin_size = max(float(np.median(sigma)) * FRC_BIN_PRECISIONS, ext / FRC_SIDE)
    H, W = int(np.ceil((y.max() - y0) / bin_size)) + 2, int(np.ceil((x.max() - x0) / bin_size)) + 2
    if H * W > 1 << 28:
        raise ValueError(f"FRC: a {H} x {W} render is too large; give a larger bin_size (now {bin_size:g} px)")
    f1, f2 = (fft.rfft2(histogram((x[part] - x0) / bin_size + 1, (y[part] - y0) / bin_size + 1, (H, W),
                                  np.float32), workers=-1) for part in (~half, half))
    side = max(H, W)
    ky = fft.fftfreq(H, 1 / side).astype(np.float32)[:, None]  # in rings of 1 / the longer side
    kx = fft.rfftfreq(W, 1 / side).astype(np.float32)[None, :]
    ring = np.rint(np.sqrt(ky * ky + kx * kx)).astype(np.int32).ravel()
    n_rings = side // 2

    def ring_sum(v):
        # The half-plane holds the conjugate of every column but the first
        # (and Nyquist's, for an even width), which count once.
        v[:, 1:(W + 1) // 2] *= 2
        return np.bincount(ring, weights=v.ravel(), minlength=n_rings)[:n_rings]

    num = ring_sum(f1.real * f2.real + f1.imag * f2.imag)
    den = np.sqrt(ring_sum(f1.real * f1.real + f1.imag * f1.imag) * ring_sum(f2.real * f2.real + f2.imag * f2.imag))
    with np.errstate(invalid="ignore", divide="ignore"):
        raw = np.where(den > 0, num / den, 0.0)
    curve = gaussian_filter1d(raw, FRC_SMOOTH_RINGS, mode="nearest")
    freq = np.arange(n_rings) / (side * bin_size)  # cycles per camera pixel
    below = np.flatnonzero(curve[1:] < FRC_THRESHOLD) + 1
    if len(below):
        k = below[0]
        a, b = curve[k - 1], curve[k]
        q = freq[k - 1] + (freq[k] - freq[k - 1]) * (a - FRC_THRESHOLD) / (a - b)
        resolution = float(1 / q)
    else:
        resolution = float("nan")
    return FrcResult(resolution=resolution, resolution_nm=_in_nm(resolution, ps), pixel_size=ps,
                     bin_size=float(bin_size), frequency=freq, curve=curve, raw=raw)
