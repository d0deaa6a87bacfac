"""Linking: the localisations of one blink, found in consecutive frames,
joined into one event.

    events = g2.link(locs)                               # reach from each row's precision
    events = g2.link(locs, radius=0.4, max_dark_frames=2)   # 0.4 camera pixels

A localisation continues an event when it lies in one of the next
max_dark_frames + 1 frames after the event's last localisation and within
the radius of it: a fixed one, or by default LINK_SIGMAS times the
standard deviation of the difference of the two positions,
sqrt(s_a^2 + s_b^2), s the root mean square of a row's lpx and lpy. Where
several continuations compete, fewer frames apart wins, then the smaller
distance in units of that radius; each localisation continues at most one
event and is continued by at most one localisation. An event is then
written as one row of the table's columns: the precision-weighted mean
position (weights 1 / lpx^2, 1 / lpy^2) with its combined precision
(1 / sqrt(sum of the weights)), the summed photons, the first frame, the
mean of the widths, rho, background and goodness, and after the others
`len` (frames from its first to its last, dark frames included) and `n`
(localisations joined), as picasso's linked tables carry them
(schema.EVENT_COLUMNS; every table format writes them). Only measurements
are linked: flagged rows and rows without a finite position are left out
of the events. The events' metadata (a RunMetadata) adds a "link" step.
"""

import itertools

import numpy as np

from ._checks import as_int
from ._post import check_table, frame_steps, measured_rows, optional_length, pixel_size_of, precision_of
from .metadata import metadata_of
from .schema import COLUMNS, EVENT_COLUMNS, as_column, make_table

LINK_SIGMAS = 3.0  # default reach, in standard deviations of the difference of two positions
WIDE_QUANTILE = 0.999  # rows of a reach beyond this quantile are looked up one by one


def link_labels(x, y, frame, radius=None, sigma=None, max_dark_frames=1):
    """The event of each localisation: (labels, n_events), labels int64 in
    the rows' order, events numbered by their first row in frame order.

    x, y: positions (pixels); frame: whole numbers. radius: a fixed reach
    (pixels), or None for LINK_SIGMAS * sqrt(sigma_a^2 + sigma_b^2) with
    `sigma` each row's precision (finite, positive). See the module's
    description for the rule."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components
    from scipy.spatial import cKDTree

    n = len(x)
    if n == 0:
        return np.zeros(0, dtype=np.int64), 0
    order = np.argsort(frame, kind="stable")
    xs, ys, fs = x[order], y[order], frame_steps(np.asarray(frame)[order], max_dark_frames + 1)
    var = None
    if radius is None:
        var = sigma[order] ** 2
        reach = LINK_SIGMAS * np.sqrt(2 * var)  # the larger of a pair's two reaches covers the pair
    else:
        reach = np.full(n, float(radius))
    # Each frame a band of its own along y, `band` apart: moved back g bands,
    # the rows g frames later lie over the frame's own, and one search of
    # the two trees within `cap` finds every pair whose larger reach is at
    # most `cap`. The few rows of a wider reach (failed fits' precisions)
    # are looked up one by one, both ways.
    cap = float(np.quantile(reach, WIDE_QUANTILE)) if radius is None else float(radius)
    wide = np.flatnonzero(reach > cap)
    y0 = ys.min()
    band = (ys.max() - y0) + 2 * reach.max() + 1.0
    here = np.column_stack([xs, (ys - y0) + (fs - fs[0]) * band])
    tree = cKDTree(here)
    earlier, later, gaps = [], [], []
    for g in range(1, max_dark_frames + 2):
        found = tree.sparse_distance_matrix(cKDTree(here - [0.0, g * band]), cap, output_type="ndarray")
        a, b = [found["i"].astype(np.int64)], [found["j"].astype(np.int64)]
        for step in (1, -1) if len(wide) else ():
            hits = tree.query_ball_point(here[wide] + [0.0, step * g * band], reach[wide])
            counts = np.fromiter(map(len, hits), dtype=np.int64, count=len(wide))
            other = np.fromiter(itertools.chain.from_iterable(hits), dtype=np.int64, count=int(counts.sum()))
            me = np.repeat(wide, counts)
            a.append(me if step == 1 else other)
            b.append(other if step == 1 else me)
        earlier.append(np.concatenate(a))
        later.append(np.concatenate(b))
        gaps.append(np.full(len(earlier[-1]), g))
    i, j, gap = np.concatenate(earlier), np.concatenate(later), np.concatenate(gaps)
    # Both directions find a pair twice when both reaches hold it.
    i, first = np.unique(i * n + j, return_index=True)
    i, j, gap = i // n, j[first], gap[first]
    d2 = (xs[i] - xs[j]) ** 2 + (ys[i] - ys[j]) ** 2
    limit2 = LINK_SIGMAS**2 * (var[i] + var[j]) if radius is None else np.full(len(i), float(radius) ** 2)
    near = d2 <= limit2
    i, j, gap = i[near], j[near], gap[near]
    key = gap + 0.5 * np.sqrt(d2[near] / limit2[near])  # fewer frames apart first, then nearer
    succ = _match(i, j, key, n)
    src = np.flatnonzero(succ >= 0)
    graph = coo_matrix((np.ones(len(src)), (src, succ[src])), shape=(n, n))
    _, lab = connected_components(graph, directed=True, connection="weak")
    # Number the events by their first row (frame order).
    _, first_row = np.unique(lab, return_index=True)
    rank = np.empty(len(first_row), dtype=np.int64)
    rank[np.argsort(first_row, kind="stable")] = np.arange(len(first_row))
    labels = np.empty(n, dtype=np.int64)
    labels[order] = rank[lab]
    return labels, len(first_row)


def _match(i, j, key, n):
    """Each earlier row's successor (-1: none) from candidate pairs (i
    earlier, j later) by ascending key: in rounds, every pair that is both
    i's best and j's best among the pairs still open is taken, and pairs
    whose i or j is taken close. The pair of the smallest key is always
    taken, so every round takes one at least."""
    succ = np.full(n, -1, dtype=np.int64)
    taken_j = np.zeros(n, dtype=bool)
    o = np.argsort(key, kind="stable")
    i, j = i[o], j[o]
    while len(i):
        best = np.zeros(len(i), dtype=bool)
        best_i = np.zeros(len(i), dtype=bool)
        best_i[np.unique(i, return_index=True)[1]] = True
        best[np.unique(j, return_index=True)[1]] = True
        best &= best_i
        succ[i[best]] = j[best]
        taken_j[j[best]] = True
        open_ = (succ[i] < 0) & ~taken_j[j]
        i, j = i[open_], j[open_]
    return succ


def check_options(radius=None, max_dark_frames=1):
    """link's options checked, before any table is looked at: (radius,
    max_dark_frames)."""
    return optional_length("radius", radius), as_int("max_dark_frames", max_dark_frames, low=0)


def link(locs, *, radius=None, max_dark_frames=1, metadata=None):
    """Joins the localisations of each blink into one event.

    Localisations in consecutive frames, with up to `max_dark_frames`
    frames without one between them, closer than the radius are one event
    (the module's description gives the rule); each event becomes one row.

    Parameters
    ----------
    locs : pandas.DataFrame
        A localisation table (frame, x, y; lpx, lpy for the default radius
        and the weights). Flagged rows and rows without a finite position
        are left out.
    radius : float, optional
        Reach in camera pixels, positive; default LINK_SIGMAS times the
        standard deviation of the difference of the two rows' positions.
    max_dark_frames : int, optional
        Frames without the emitter that an event may bridge (default 1; 0
        links consecutive frames only).
    metadata : RunMetadata, optional
        The table's run metadata (default what its attrs hold).

    Returns
    -------
    pandas.DataFrame
        One row per event, in the order of their first frames: the table's
        columns (frame the first; x, y, lpx, lpy precision-weighted; photons
        summed, photons_se combined; sx, sy, rho, bg, goodness, iterations
        the rows' mean, their errors that of the mean; flag 0; n_emitters
        the rows' largest), then len
        (frames spanned) and n (localisations joined); nm columns with the
        metadata's pixel size. Its attrs: the metadata with a "link" step.

    Raises
    ------
    TypeError
        `locs` not a DataFrame, `radius` or `max_dark_frames` of the wrong
        type.
    ValueError
        No frame column, a radius that is not positive, max_dark_frames
        negative, rows without a precision when no radius is given.

    Examples
    --------
    >>> import pandas as pd
    >>> locs = pd.DataFrame({"frame": [0, 1, 2, 5, 0], "x": [10.0, 10.02, 9.98, 10.0, 30.0],
    ...                      "y": [10.0, 9.99, 10.01, 10.0, 30.0], "photons": 1000.0,
    ...                      "lpx": 0.05, "lpy": 0.05, "flag": 0})
    >>> ev = g2.link(locs)                    # frames 0-2 one blink; frame 5 is too late for it
    >>> ev[["frame", "x", "y", "photons", "len", "n"]].round(3).values.tolist()
    [[0.0, 10.0, 10.0, 3000.0, 3.0, 3.0], [0.0, 30.0, 30.0, 1000.0, 1.0, 1.0], [5.0, 10.0, 10.0, 1000.0, 1.0, 1.0]]
    >>> round(float(ev.lpx[0]), 4)            # 0.05 / sqrt(3)
    0.0289
    """
    events, meta = link_events(locs, metadata_of(locs, metadata), radius=radius, max_dark_frames=max_dark_frames)
    return meta.attach(events)


def link_events(locs, metadata, *, radius=None, max_dark_frames=1):
    """link with the run metadata explicit: (events, the RunMetadata
    `metadata` with the "link" step); the events have no attrs."""
    radius, max_dark_frames = check_options(radius, max_dark_frames)
    pixel_size = pixel_size_of(metadata)
    check_table(locs, "link")
    t = locs[measured_rows(locs)]
    x, y = t["x"].to_numpy(dtype=np.float64), t["y"].to_numpy(dtype=np.float64)
    sigma = precision_of(t)
    if radius is None and not np.isfinite(sigma).all():
        bad = int(np.count_nonzero(~np.isfinite(sigma)))
        raise ValueError(f"link: {bad} localisation(s) have no precision (lpx, lpy finite and positive) to set "
                         "the radius by; give a radius in pixels")
    labels, n_events = link_labels(x, y, t["frame"].to_numpy(), radius, sigma, max_dark_frames)
    events = _events(t, labels, n_events, pixel_size)
    step = {"step": "link", "radius": radius, "radius_sigmas": LINK_SIGMAS if radius is None else None,
            "max_dark_frames": max_dark_frames, "localisations": int(len(t)), "events": int(n_events)}
    return events, metadata.with_step(step)


def _column(t, name):
    return t[name].to_numpy(dtype=np.float64) if name in t.columns else np.full(len(t), np.nan)


def _events(t, labels, n_events, pixel_size):
    """One row per event from the rows `t` and their labels, a table of the
    schema's (nm columns with `pixel_size`)."""
    o = np.lexsort((t["frame"].to_numpy(), labels))
    lab = labels[o]
    starts = np.flatnonzero(np.r_[True, lab[1:] != lab[:-1]]) if len(lab) else np.zeros(0, dtype=np.int64)
    ends = np.r_[starts[1:], len(lab)] - 1 if len(lab) else starts
    count = (ends - starts + 1).astype(np.float64)

    def total(v):
        return np.add.reduceat(v[o], starts) if len(starts) else np.zeros(0)

    def mean(name):
        return total(_column(t, name)) / count

    def of_mean(name):  # the standard error of the mean of independent rows
        se = _column(t, name)
        return np.sqrt(total(se * se)) / count

    frame = t["frame"].to_numpy().astype(np.int64)[o]
    cols = {"frame": frame[starts]}
    for pos, lp in (("x", "lpx"), ("y", "lpy")):
        v, s = _column(t, pos), _column(t, lp)
        with np.errstate(divide="ignore", invalid="ignore"):
            w = np.where(s > 0, 1.0 / (s * s), np.nan)
            wsum = total(w)
            weighted = total(w * v) / wsum
        plain = total(v) / count
        cols[pos] = np.where(np.isfinite(wsum), weighted, plain)  # a row without a precision: the plain mean
        cols[lp] = 1.0 / np.sqrt(wsum)
    cols["photons"] = total(_column(t, "photons"))
    se = _column(t, "photons_se")
    cols["photons_se"] = np.sqrt(total(se * se))
    for c in ("sx", "sy", "rho", "bg", "goodness"):
        cols[c] = mean(c)
    for c in ("sx_se", "sy_se", "bg_se"):
        cols[c] = of_mean(c)
    it = mean("iterations")
    cols["iterations"] = np.where(np.isfinite(it), np.round(it), 0)
    cols["flag"] = np.zeros(len(starts))
    n_emitters = _column(t, "n_emitters")[o]
    cols["n_emitters"] = np.fmax.reduceat(n_emitters, starts) if len(starts) else np.zeros(0)
    cols["len"] = frame[ends] - frame[starts] + 1
    cols["n"] = count
    assert len(starts) == n_events
    return make_table({c: as_column(c, cols[c]) for c in COLUMNS + EVENT_COLUMNS}, pixel_size)
