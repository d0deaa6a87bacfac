"""Drift correction: the stage's movement over an acquisition, measured from
the localisations themselves and taken out of their positions.

    corrected, drift = g2.correct_drift(locs)                  # redundant cross-correlation
    corrected, drift = g2.correct_drift(locs, fiducials=True)  # the mean track of fiducial markers
    drift.loc[1200, ["dx", "dy"]]                              # pixels; corrected x = x - dx(frame)

Redundant cross-correlation (method "rcc"): the measured rows (unflagged,
with a finite position) are cut into segments of consecutive frames (by
default of equal numbers of localisations, as many as hold
LOCS_PER_SEGMENT each, at least 2 and at most MAX_SEGMENTS; or of
`segment_frames` frames each). Each segment is
rendered as a 2-D histogram (render.py) of bins `bin_size` pixels (by
default the median precision, coarser if the field would need more than
RENDER_SIDE bins along a side), blurred so that the correlation peak is
PEAK_BINS wide, and every pair of segments is cross-correlated (FFT); the
peak within `max_shift` of zero, fitted with a 2-D Gaussian, is the shift
of one segment against the other to a fraction of a bin. It is then
refined without bins: the displacements between the two segments'
localisations near that shift are the same cross-correlation at the
localisations' own precision, and their mode (mean shift) is the pair's
shift; with coarse bins the structure's neighbouring sites would pull the
fitted peak by nanometres. The segments' shifts are the least-squares
solution over all pairs; pairs whose shift disagrees with it by more than
PAIR_TOLERANCE robust standard deviations (and more than the
displacements' spread) are dropped and the solution repeated, as long as
the pairs left still join every segment. The drift of each frame is a
natural cubic spline through the segments' shifts at their mean frames,
continued linearly before the first and after the last.

Fiducial markers (`fiducials=True`, or a list of their (x, y) positions):
bright spots present in most frames. Their localisations are followed from
frame to frame by linking (link.py: within FIDUCIAL_RADIUS pixels, up to
FIDUCIAL_DARK_FRAMES frames without them); with True every track present in
at least FIDUCIAL_SHARE of the frames is a marker, with positions the
longest track whose mean lies within FIDUCIAL_REACH pixels of each. The
drift of a frame is the mean of the markers' positions there, each less its
own offset (solved together), and is interpolated across frames without a
marker; localisations further than FIDUCIAL_OUTLIER robust standard
deviations from that solution (a molecule that joined a track where its
marker was missed) are dropped and it is solved again.

Either way the drift is zero at the table's first frame, and every row's
position is corrected (flagged rows too: their positions are the frame's
like any other). The corrected table's metadata (a RunMetadata) adds a
"drift" step; its nm columns are those of the corrected x, y (schema.py).
"""

import os

import numpy as np
import pandas as pd

from ._checks import as_int
from ._post import check_table, measured_rows, new_figure, optional_length, pixel_size_of, precision_of
from .metadata import metadata_of
from .schema import with_nm_columns

METHODS = ("rcc", "fiducials")
LOCS_PER_SEGMENT = 1000  # default segments: as many as hold this many localisations each ...
MAX_SEGMENTS = 20  # ... at least 2, at most this many (190 pairs)
MIN_SEGMENT_LOCS = 50  # fewer make too sparse a render to correlate
RENDER_SIDE = 512  # bins along the longer side of the rendered field, at most, by default
PEAK_BINS = 1.0  # sigma of the cross-correlation's peak that the blur aims at, bins
FIT_HALF = 3  # the peak is fitted on (2 FIT_HALF + 1)^2 bins
PAIR_TOLERANCE = 4.0  # robust standard deviations of a pair's disagreement before it is dropped
PAIRS_PER_BATCH = 8  # cross-correlations computed together
REFINE_SUPPORT = 5.0  # weight of displacements near a pair's mode, at the least, to refine its shift
REFINE_POINTS = 5000  # localisations of a segment, at most, in the fine pass
MAX_FRAMES = 10**8  # frames a drift may span: it holds two float64 for every one
FIDUCIAL_SHARE = 0.5
FIDUCIAL_REACH = 2.0  # pixels from a given position to its marker's mean
FIDUCIAL_RADIUS = 0.5  # pixels a marker may move from one localisation to its next
FIDUCIAL_DARK_FRAMES = 10
FIDUCIAL_OUTLIER = 5.0  # robust standard deviations from the solution that drop a marker's localisation


def correct_drift(locs, *, segment_frames=None, method="rcc", fiducials=None, bin_size=None, max_shift=None,
                  metadata=None):
    """Measures the drift of an acquisition and corrects the positions.

    Parameters
    ----------
    locs : pandas.DataFrame
        A localisation table: frame, x, y (lpx, lpy set the default bin;
        flag when present).
    segment_frames : int, optional
        Frames per segment for cross-correlation (default: segments of
        equal numbers of localisations, see the module's description).
    method : {"rcc", "fiducials"}, optional
        Redundant cross-correlation (default), or fiducial markers (as
        fiducials=True).
    fiducials : True or sequence of (x, y), optional
        Correct by fiducial markers: found (True) or near these positions
        (pixels, as in the table); overrides `method`.
    bin_size : float, optional
        Cross-correlation: the render's bin, camera pixels (default: see
        the module's description).
    max_shift : float, optional
        Cross-correlation: the largest shift between two segments searched,
        camera pixels (default a quarter of the field's longer side, at
        least 2).
    metadata : RunMetadata, optional
        The table's run metadata (default what its attrs hold).

    Returns
    -------
    (pandas.DataFrame, pandas.DataFrame)
        The corrected table (x, y and the nm columns with the metadata's
        pixel size; without one it has no nm columns; its attrs: the
        metadata with a "drift" step) and the drift: index frame (every frame from the
        table's first to its last), columns dx, dy in pixels, zero at the
        first frame; corrected x = x - dx(frame). `drift.attrs` holds what
        it was measured from (the segments' frames and shifts, or the
        markers' positions).

    Raises
    ------
    TypeError
        `locs` not a DataFrame; an argument of the wrong type.
    ValueError
        No frame column, every localisation in one frame, too few
        localisations for a segment (or for two), an unknown method, a
        bin_size, max_shift or segment_frames that is not positive, no
        fiducial marker found.

    Examples
    --------
    >>> import pandas as pd
    >>> rng = np.random.default_rng(1)
    >>> sites = rng.uniform(5, 45, (300, 2))                 # a structure of 300 sites
    >>> frame = np.repeat(np.arange(400), 10)
    >>> on = rng.integers(0, 300, frame.size)                 # 10 of them on in each frame
    >>> shift = 0.002 * frame                                # 0.8 px along x over the run
    >>> locs = pd.DataFrame({"frame": frame, "x": sites[on, 0] + shift + rng.normal(0, 0.05, frame.size),
    ...                      "y": sites[on, 1] + rng.normal(0, 0.05, frame.size), "lpx": 0.05, "lpy": 0.05})
    >>> fixed, drift = g2.correct_drift(locs)
    >>> round(float(drift.dx[399]), 1), round(float(drift.dy[399]), 1)
    (0.8, 0.0)
    """
    fixed, drift, meta = correct(locs, metadata_of(locs, metadata), segment_frames=segment_frames, method=method,
                                 fiducials=fiducials, bin_size=bin_size, max_shift=max_shift)
    return meta.attach(fixed), drift


def correct(locs, metadata, *, segment_frames=None, method="rcc", fiducials=None, bin_size=None, max_shift=None):
    """correct_drift with the run metadata explicit: (corrected table, drift,
    the RunMetadata `metadata` with the "drift" step); the table has no
    attrs."""
    segment_frames, fiducials, bin_size, max_shift = check_options(segment_frames, method, fiducials, bin_size,
                                                                   max_shift)
    pixel_size = pixel_size_of(metadata)
    check_table(locs, "drift correction")
    good = measured_rows(locs)
    frame_all = locs["frame"].to_numpy().astype(np.int64)
    t = locs[good]
    frame = frame_all[good]
    if len(t) == 0:
        raise ValueError("drift correction: the table holds no measured localisation (unflagged, with a position)")
    if frame.min() == frame.max():
        raise ValueError(f"drift correction needs localisations over time; all {len(t)} are in frame {frame[0]}")
    first, last = int(frame_all.min()), int(frame_all.max())
    if last - first >= MAX_FRAMES:
        raise ValueError(f"drift correction: the frames run from {first} to {last}, more than the {MAX_FRAMES} "
                         "frames a drift by frame may cover; are the frame numbers right?")
    x, y = t["x"].to_numpy(dtype=np.float64), t["y"].to_numpy(dtype=np.float64)
    if fiducials is not None:
        dx, dy, info = _fiducial_drift(t, x, y, frame, fiducials, first, last)
    else:
        dx, dy, info = _rcc_drift(t, x, y, frame, first, last, segment_frames, bin_size, max_shift)
    for c, v in (("dx", dx), ("dy", dy)):  # zero at the first frame
        if f"segment_{c}" in info:
            info[f"segment_{c}"] = (np.asarray(info[f"segment_{c}"]) - v[0]).tolist()
        v -= v[0]
    drift = pd.DataFrame({"dx": dx, "dy": dy}, index=pd.RangeIndex(first, last + 1, name="frame"))
    drift.attrs.update(info)
    out = locs.copy()
    out.attrs = {}
    k = frame_all - first
    out["x"] = locs["x"].to_numpy(dtype=np.float64) - dx[k]
    out["y"] = locs["y"].to_numpy(dtype=np.float64) - dy[k]
    with_nm_columns(out, pixel_size)
    summary = ("method", "segment_frames", "segments", "bin_size", "pairs", "pairs_used", "fiducials")
    step = {"step": "drift", **{key: info[key] for key in summary if key in info},
            "range_dx": float(np.ptp(dx)), "range_dy": float(np.ptp(dy))}
    return out, drift, metadata.with_step(step)


def check_options(segment_frames=None, method="rcc", fiducials=None, bin_size=None, max_shift=None):
    """correct_drift's options checked, before any table is looked at:
    (segment_frames, fiducials (None, True or an (n, 2) array), bin_size,
    max_shift)."""
    if segment_frames is not None:
        segment_frames = as_int("segment_frames", segment_frames, low=1)
    if fiducials is None and method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, got {method!r}")
    if fiducials is None and method == "fiducials":
        fiducials = True
    if isinstance(fiducials, (bool, np.bool_)):
        if not fiducials:
            raise ValueError("fiducials must be True or a list of (x, y) positions, got False")
        fiducials = True
    elif fiducials is not None:
        try:
            pos = np.asarray(fiducials, dtype=np.float64)
        except (TypeError, ValueError):
            pos = np.zeros(0)
        if pos.ndim != 2 or pos.shape[1] != 2 or not len(pos) or not np.isfinite(pos).all():
            raise ValueError(f"fiducials must be True or a list of (x, y) positions, got {fiducials!r}")
        fiducials = pos
    return segment_frames, fiducials, optional_length("bin_size", bin_size), optional_length("max_shift", max_shift)


# ---- redundant cross-correlation ----------------------------------------------------


def _segment_edges(frame, segment_frames):
    """The first frame of each segment, and the end: (n + 1,) int64."""
    lo, hi = int(frame.min()), int(frame.max()) + 1
    if segment_frames is not None:
        edges = np.arange(lo, hi, segment_frames)
        return np.r_[edges, hi]
    n = len(frame)
    k = int(np.clip(n // LOCS_PER_SEGMENT, 2, MAX_SEGMENTS))
    ordered = np.sort(frame)
    cuts = ordered[(np.arange(1, k) * n) // k]
    return np.unique(np.r_[lo, cuts[cuts > lo], hi])


def _segments(frame, segment_frames):
    """Each row's segment, the segments' edges and their counts; refuses
    segments with fewer than MIN_SEGMENT_LOCS rows."""
    if len(frame) < 2 * MIN_SEGMENT_LOCS:
        raise ValueError(f"drift correction: {len(frame)} localisations are too few; two segments of at least "
                         f"{MIN_SEGMENT_LOCS} each are needed")
    edges = _segment_edges(frame, segment_frames)
    if len(edges) < 3:
        raise ValueError(f"drift correction: segments of {segment_frames} frames leave one segment for frames "
                         f"{edges[0]} to {edges[-1] - 1}; give fewer frames a segment")
    seg = np.searchsorted(edges, frame, side="right") - 1
    counts = np.bincount(seg, minlength=len(edges) - 1)
    sparse = np.flatnonzero(counts < MIN_SEGMENT_LOCS)
    if len(sparse):
        s = sparse[0]
        how = f"segments of {segment_frames} frames" if segment_frames is not None else "the segments"
        raise ValueError(f"drift correction: segment {s} (frames {edges[s]} to {edges[s + 1] - 1}) holds "
                         f"{counts[s]} localisation(s), fewer than the {MIN_SEGMENT_LOCS} a segment needs; "
                         f"{how} are too short for this table: give more frames a segment")
    return seg, edges, counts


def _rcc_drift(t, x, y, frame, first, last, segment_frames, bin_size, max_shift):
    from scipy import fft

    from .render import histogram

    seg, edges, counts = _segments(frame, segment_frames)
    n_seg = len(counts)
    x0, y0 = x.min(), y.min()
    ext = max(x.max() - x0, y.max() - y0, 1.0)
    if max_shift is None:
        max_shift = max(ext / 4, 2.0)
    if bin_size is None:
        bin_size = max(_median_precision(t), (ext + max_shift) / RENDER_SIDE)
    # The field and a margin of max_shift, so that the circular correlation
    # of the FFT does not wrap one edge's localisations onto the other's.
    H = int(np.ceil((y.max() - y0 + max_shift) / bin_size)) + 2
    W = int(np.ceil((x.max() - x0 + max_shift) / bin_size)) + 2
    if H * W > 1 << 26:
        raise ValueError(f"drift correction: a {H} x {W} render is too large; give a larger bin_size "
                         f"(now {bin_size:g} px) or a smaller max_shift")
    sh = (fft.next_fast_len(H, real=True), fft.next_fast_len(W, real=True))
    fy = fft.fftfreq(sh[0])[:, None]
    fx = fft.rfftfreq(sh[1])[None, :]
    blur2 = _blur_variance(t, bin_size)
    blur = np.exp(-2 * np.pi**2 * blur2 * (fx * fx + fy * fy)).astype(np.float32)
    spectra = np.empty((n_seg, sh[0], sh[1] // 2 + 1), dtype=np.complex64)
    for s in range(n_seg):
        mine = seg == s
        im = histogram((x[mine] - x0) / bin_size + 1, (y[mine] - y0) / bin_size + 1, (H, W), np.float32)
        spectra[s] = fft.rfft2(im, s=sh, workers=_workers()) * blur
    reach = int(np.ceil(max_shift / bin_size))
    i, j = np.triu_indices(n_seg, 1)
    shifts, ok = _pair_shifts(spectra, i, j, sh, reach)
    d, used = _solve_shifts(i, j, shifts * bin_size, ok, n_seg, bin_size / 4)
    centres = np.bincount(seg, weights=frame.astype(np.float64)) / counts
    frames = np.arange(first, last + 1, dtype=np.float64)
    k = frame - first
    coarse = [_interpolate(centres, d[:, a], frames) for a in (0, 1)]
    # The fine pass, on the positions less the coarse drift: each segment is
    # then sharp (not smeared by its own frames' drift), so the mode of the
    # displacements between two segments is their remaining shift.
    points = np.column_stack([x - coarse[0][k], y - coarse[1][k]])
    width = np.sqrt(2) * _median_precision(t) or bin_size / 2
    rest = _refine_shifts(points, seg, i, j, np.zeros_like(shifts), used, width, bin_size + 3 * width)
    r, used = _solve_shifts(i, j, rest, used, n_seg, width)
    dx, dy = (coarse[a] + _interpolate(centres, r[:, a], frames) for a in (0, 1))
    d = np.column_stack([np.bincount(seg, weights=dx[k]), np.bincount(seg, weights=dy[k])]) / counts[:, None]
    info = {"method": "rcc", "segment_frames": segment_frames, "segments": int(n_seg), "bin_size": float(bin_size),
            "pairs": int(len(i)), "pairs_used": int(used.sum()),
            "segment_edges": edges.tolist(), "segment_frame": centres.tolist(),
            "segment_dx": d[:, 0].tolist(), "segment_dy": d[:, 1].tolist()}
    return dx, dy, info


def _median_precision(t):
    """The rows' median precision, pixels; 0.0 when none has one."""
    sigma = precision_of(t)
    return float(np.median(sigma[np.isfinite(sigma)])) if np.isfinite(sigma).any() else 0.0


def _blur_variance(t, bin_size):
    """The variance (bins^2) of the Gaussian each render is blurred with, so
    that the cross-correlation's peak, of variance 2 (blur + precision^2 +
    the bin's own 1/12), has a standard deviation of PEAK_BINS: narrower,
    its fit locks to the bins; wider, it takes in the structure's other
    peaks (neighbouring sites) and is pulled by them."""
    sigma = _median_precision(t) / bin_size
    return max(0.0, PEAK_BINS**2 / 2 - sigma**2 - 1 / 12)


def _workers():
    return os.cpu_count() or 1


def _pair_shifts(spectra, i, j, shape, reach):
    """The shift (x, y), in bins, of segment j's render against segment
    i's for each pair: the peak of their cross-correlation within `reach`
    bins of zero, fitted; and which pairs gave a peak."""
    from scipy import fft

    H, W = shape
    half = FIT_HALF
    span = np.arange(-reach - half, reach + half + 1)
    rows, cols = span % H, span % W
    windows, starts = [], []
    for lo in range(0, len(i), PAIRS_PER_BATCH):
        a, b = i[lo:lo + PAIRS_PER_BATCH], j[lo:lo + PAIRS_PER_BATCH]
        corr = fft.irfft2(spectra[b] * np.conj(spectra[a]), s=shape, workers=_workers())
        near = corr[:, rows][:, :, cols]  # shifts -reach - half .. reach + half, zero at reach + half
        inner = near[:, half:-half, half:-half]
        top = inner.reshape(len(a), -1).argmax(axis=1)
        r, c = np.unravel_index(top, inner.shape[1:])
        k = np.arange(len(a))[:, None, None]
        side = np.arange(2 * half + 1)
        windows.append(near[k, (r[:, None] + side)[:, :, None], (c[:, None] + side)[:, None, :]])
        starts.append(np.column_stack([c, r]) - reach)  # the window's centre, bins from zero shift
    win = np.concatenate(windows).astype(np.float64)
    centre = np.concatenate(starts).astype(np.float64)
    offset, ok = fit_peaks(win)
    return centre + offset, ok


def fit_peaks(win):
    """Sub-bin centres (u, v) of peaks, relative to the centre of their
    square windows (n, k, k), by least squares on a round 2-D Gaussian on
    a constant (Levenberg-Marquardt, vectorised over the windows); and
    which fits succeeded: finite, within the window, of positive height."""
    n, k, _ = win.shape
    c = k // 2
    v, u = (g.ravel().astype(np.float64) - c for g in np.mgrid[0:k, 0:k])
    z = win.reshape(n, -1)
    lo, hi = z.min(axis=1), z.max(axis=1)
    scale = np.where(hi > lo, hi - lo, 1.0)
    z = (z - lo[:, None]) / scale[:, None]
    p = np.column_stack([np.ones(n), np.zeros(n), np.zeros(n), np.full(n, 1.5), np.zeros(n)])
    lam = np.full(n, 1e-3)

    def residual(p):
        du, dv = u[None] - p[:, 1:2], v[None] - p[:, 2:3]
        s2 = p[:, 3:4] ** 2
        e = np.exp(-(du * du + dv * dv) / (2 * s2))
        return z - (p[:, 0:1] * e + p[:, 4:5]), e, du, dv, s2

    with np.errstate(all="ignore"):
        r, e, du, dv, s2 = residual(p)
        cost = (r * r).sum(axis=1)
        for _ in range(40):
            a = p[:, 0:1]
            jac = np.stack([e, a * e * du / s2, a * e * dv / s2, a * e * (du * du + dv * dv) / (s2 * p[:, 3:4]),
                            np.ones_like(e)], axis=-1)
            jtj = np.einsum("nki,nkj->nij", jac, jac)
            g = np.einsum("nki,nk->ni", jac, r)
            damp = jtj + lam[:, None, None] * np.eye(5) * np.diagonal(jtj, axis1=1, axis2=2)[:, :, None]
            ok = np.isfinite(damp).all(axis=(1, 2)) & np.isfinite(g).all(axis=1)
            step = np.zeros_like(p)
            try:
                step[ok] = np.linalg.solve(damp[ok], g[ok][:, :, None])[:, :, 0]
            except np.linalg.LinAlgError:
                step[ok] = np.stack([np.linalg.lstsq(m, b, rcond=None)[0] for m, b in zip(damp[ok], g[ok])])
            trial = p + step
            r2, e2, du2, dv2, s22 = residual(trial)
            cost2 = (r2 * r2).sum(axis=1)
            better = np.isfinite(cost2) & (cost2 < cost)
            p[better], cost[better], r[better], e[better] = trial[better], cost2[better], r2[better], e2[better]
            du[better], dv[better], s2[better] = du2[better], dv2[better], s22[better]
            lam = np.where(better, lam / 10, lam * 10)
            lam = np.clip(lam, 1e-9, 1e9)
    ok = np.isfinite(p).all(axis=1) & (p[:, 0] > 0) & (np.abs(p[:, 1]) <= c) & (np.abs(p[:, 2]) <= c)
    return p[:, 1:3], ok


def _refine_shifts(points, seg, i, j, shifts, ok, width, reach):
    """Each pair's shift (pixels) from the localisations themselves, started
    from the render's: the displacements from segment i's localisations to
    segment j's within `reach` of the shift are the two segments' cross-
    correlation without bins, and their mode, found by mean shift with a
    Gaussian kernel halved from reach / 3 down to `width` (the displacements'
    own spread), is the shift. A pair without REFINE_SUPPORT displacements
    near the mode keeps the render's shift. Segments of more than
    REFINE_POINTS localisations take that many, evenly spread over their
    frames: the displacements grow with the square of the localisations a
    site has in a segment, and a few thousand pin the mode to well below a
    nanometre."""
    from scipy.spatial import cKDTree

    parts = []
    for s in range(seg.max() + 1):
        mine = points[seg == s]
        if len(mine) > REFINE_POINTS:
            mine = mine[np.linspace(0, len(mine) - 1, REFINE_POINTS).astype(np.int64)]
        parts.append(mine)
    trees = [cKDTree(p) for p in parts]
    out = shifts.copy()
    for p in np.flatnonzero(ok):
        a, b = parts[i[p]], parts[j[p]]
        near = trees[i[p]].sparse_distance_matrix(cKDTree(b - shifts[p]), reach, output_type="ndarray")
        vx, vy = b[near["j"], 0] - a[near["i"], 0], b[near["j"], 1] - a[near["i"], 1]
        (mx, my), h = shifts[p], max(width, reach / 3)
        for _ in range(40):
            d2 = (vx - mx) ** 2 + (vy - my) ** 2
            close = d2 < (4 * h) ** 2  # the kernel's reach; the rest weigh nothing
            vx, vy, d2 = vx[close], vy[close], d2[close]
            w = np.exp(-d2 / (2 * h * h))
            total = w.sum()
            if total < REFINE_SUPPORT:
                break
            nx, ny = np.dot(w, vx) / total, np.dot(w, vy) / total
            moved = np.hypot(nx - mx, ny - my)
            mx, my = nx, ny
            if h == width and moved < 1e-3 * width:
                out[p] = mx, my
                break
            h = max(width, h / 2)
    return out


def _solve_shifts(i, j, shifts, ok, n, floor):
    """The segments' shifts (n, 2) in the least-squares sense over the pairs
    (shift of j - shift of i = the pair's), their mean zero, dropping pairs
    that disagree (see the module's description); and which pairs were
    used."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    def joined(use):
        g = coo_matrix((np.ones(use.sum()), (i[use], j[use])), shape=(n, n))
        return connected_components(g, directed=False)[0] == 1

    def solve(use):
        a = np.zeros((use.sum() + 1, n))
        a[np.arange(use.sum()), j[use]] = 1.0
        a[np.arange(use.sum()), i[use]] = -1.0
        a[-1] = 1.0  # the mean shift zero: the problem's free constant
        rhs = np.vstack([shifts[use], np.zeros((1, 2))])
        return np.linalg.lstsq(a, rhs, rcond=None)[0]

    use = ok.copy()
    if not joined(use):
        raise ValueError("drift correction: the segments' cross-correlations gave no peak joining them all; give "
                         "longer segments (segment_frames) or a larger max_shift")
    d = solve(use)
    for _ in range(5):
        miss = np.hypot(*(shifts - (d[j] - d[i])).T)
        spread = 1.4826 * np.median(miss[use])
        drop = use & (miss > max(PAIR_TOLERANCE * spread, floor))
        if not drop.any() or not joined(use & ~drop):
            break
        use &= ~drop
        d = solve(use)
    return d, use


def _interpolate(centres, values, frames):
    """Values at `frames` from those at the segments' centres: a natural
    cubic spline between the first and the last centre (a straight line for
    two), continued along its end slopes."""
    from scipy.interpolate import CubicSpline

    spline = CubicSpline(centres, values, bc_type="natural")
    out = spline(np.clip(frames, centres[0], centres[-1]))
    before, after = frames < centres[0], frames > centres[-1]
    out[before] += spline(centres[0], 1) * (frames[before] - centres[0])
    out[after] += spline(centres[-1], 1) * (frames[after] - centres[-1])
    return out


# ---- fiducial markers ----------------------------------------------------------------


def _fiducial_tracks(t, x, y, frame, fiducials):
    """The rows of each marker's track: a list of index arrays into t."""
    from .link import link_labels

    labels, n = link_labels(x, y, frame, FIDUCIAL_RADIUS, None, FIDUCIAL_DARK_FRAMES)
    size = np.bincount(labels, minlength=n)
    mx = np.bincount(labels, weights=x, minlength=n) / np.maximum(size, 1)
    my = np.bincount(labels, weights=y, minlength=n) / np.maximum(size, 1)
    n_frames = int(frame.max() - frame.min() + 1)
    if fiducials is True:
        chosen = np.flatnonzero(size >= FIDUCIAL_SHARE * n_frames)
        if not len(chosen):
            raise ValueError(f"drift correction: no fiducial marker found: no track of localisations is present in "
                             f"{FIDUCIAL_SHARE:.0%} of the {n_frames} frames; give their positions, or use "
                             "cross-correlation")
    else:
        chosen = []
        for px, py in fiducials:
            near = np.flatnonzero(np.hypot(mx - px, my - py) <= FIDUCIAL_REACH)
            if not len(near):
                raise ValueError(f"drift correction: no track of localisations has its mean within "
                                 f"{FIDUCIAL_REACH:g} px of the fiducial at ({px:g}, {py:g})")
            chosen.append(near[np.argmax(size[near])])
        chosen = np.unique(chosen)
    order = np.argsort(labels, kind="stable")
    bounds = np.searchsorted(labels[order], np.r_[chosen, chosen + 1].reshape(2, -1))
    return [order[a:b] for a, b in bounds.T]


def _fiducial_drift(t, x, y, frame, fiducials, first, last):
    """Per frame first .. last, the markers' mean displacement: positions
    = offset of the marker + drift of the frame, solved by alternating
    means; frames without a marker interpolated."""
    tracks = _fiducial_tracks(t, x, y, frame, fiducials)
    rows = np.concatenate(tracks)
    marker = np.repeat(np.arange(len(tracks)), [len(r) for r in tracks])
    f = frame[rows] - first
    n_frames = last - first + 1
    keep = np.ones(len(rows), dtype=bool)
    for _ in range(2):  # the second time without the outliers of the first
        (dx, ox), (dy, oy) = (_marker_means(v, marker, len(tracks), f, n_frames, keep) for v in (x[rows], y[rows]))
        miss = np.hypot(x[rows] - ox[marker] - dx[f], y[rows] - oy[marker] - dy[f])
        keep = miss <= max(FIDUCIAL_OUTLIER * 1.4826 * np.median(miss), 1e-9)
    out = [dx, dy]
    centres = [(float(np.mean(x[r])), float(np.mean(y[r]))) for r in tracks]
    info = {"method": "fiducials", "fiducials": [list(c) for c in centres],
            "fiducial_localisations": [int(len(r)) for r in tracks]}
    return out[0], out[1], info


def _marker_means(v, marker, n_markers, f, n_frames, keep):
    """v = offset of its marker + drift of its frame, over the rows kept,
    solved by alternating means: (drift for every frame, interpolated where
    no marker was seen; offsets)."""
    v, marker, f = v[keep], marker[keep], f[keep]
    seen = np.bincount(f, minlength=n_frames)
    have = seen > 0
    per_marker = np.maximum(np.bincount(marker, minlength=n_markers), 1)
    offset = np.bincount(marker, weights=v, minlength=n_markers) / per_marker
    for _ in range(10):
        drift = np.zeros(n_frames)
        drift[have] = np.bincount(f, weights=v - offset[marker], minlength=n_frames)[have] / seen[have]
        offset = np.bincount(marker, weights=v - drift[f], minlength=n_markers) / per_marker
    return np.interp(np.arange(n_frames), np.flatnonzero(have), drift[have]), offset


# ---- picture -----------------------------------------------------------------------------


def drift_figure(drift, pixel_size=None):
    """A matplotlib figure of the drift against the frame (nm with a pixel
    size, else pixels), the segments' measured shifts as dots."""
    fig = new_figure(7.0, 3.5)
    ax = fig.add_subplot()
    unit, k = ("nm", pixel_size) if pixel_size else ("px", 1.0)
    for c, colour in (("dx", "tab:blue"), ("dy", "tab:orange")):
        ax.plot(drift.index, drift[c] * k, color=colour, label=c[1])
        if f"segment_{c}" in drift.attrs:
            ax.plot(drift.attrs["segment_frame"], np.asarray(drift.attrs[f"segment_{c}"]) * k, "o", color=colour,
                    markersize=3)
    ax.set_xlabel("frame")
    ax.set_ylabel(f"drift ({unit})")
    ax.set_title(f"drift ({drift.attrs.get('method', '')})")
    ax.legend()
    return fig
