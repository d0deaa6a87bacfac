"""Blinking tables that the steps after the fit and the tool's subcommands are tested on, made in one place."""

import numpy as np
import pandas as pd

PIXEL_NM = 100.0


def blinking(n_frames=800, n_sites=150, sigma=0.04, drift=None, seed=0, field=40.0, on=4.0):
    """A table of sites blinking on for a few frames at a time: frame, x, y
    (drifted by drift(frames) -> (dx, dy) when given), lpx = lpy = sigma
    (a number or one per site), photons, flag; the pixel size in its attrs.
    Returns (table, site of each row, blink of each row)."""
    rng = np.random.default_rng(seed)
    sites = rng.uniform(2, field, (n_sites, 2))
    sigma = np.broadcast_to(np.asarray(sigma, dtype=np.float64), (n_sites,))
    starts = rng.random((n_frames, n_sites)) < on / 3.0 / n_sites
    f0, site = np.nonzero(starts)
    length = rng.geometric(1 / 3.0, len(f0))
    blink = np.repeat(np.arange(len(f0)), length)
    frame = f0[blink] + np.arange(len(blink)) - np.repeat(np.cumsum(length) - length, length)
    keep = frame < n_frames
    blink, frame = blink[keep], frame[keep]
    order = np.argsort(frame, kind="stable")
    blink, frame = blink[order], frame[order]
    s = site[blink]
    xy = sites[s] + rng.normal(0, 1, (len(s), 2)) * sigma[s][:, None]
    if drift is not None:
        xy += np.column_stack(drift(frame))
    locs = pd.DataFrame({"frame": frame, "x": xy[:, 0], "y": xy[:, 1], "photons": 1000.0, "lpx": sigma[s],
                         "lpy": sigma[s], "flag": np.zeros(len(s), dtype=np.int8)})
    locs["x_nm"], locs["y_nm"] = locs.x * PIXEL_NM, locs.y * PIXEL_NM
    locs.attrs["pixel_size"] = PIXEL_NM  # as localize leaves it: the metadata's copy
    return locs, s, blink


def linear(frames):
    return 0.6 * frames / 800, -0.4 * frames / 800
