"""localize under uneven illumination: the share of false localisations with
the peak search's one level a frame and with its local background, and what
the local background costs.

Movies of --frames frames of 256 x 256 pixels in photo-electrons, 120 spots a
frame (photons lognormal around 1 500, widths 1.2-1.5 px, at least 9 px
apart), a background of 20 photons a pixel, Poisson noise; the illumination
multiplies spots and background alike: flat, or a ramp from 0.7 at the left
edge to 1.3 at the right (+-30 %). A localisation of flag 0 is true when a
spot lies within 1.5 px of it; the false share is false / (flag-0 rows), the
missed share the spots without one over all spots. Target, with the local
background: the ramp's false share is the flat frame's within 1 percentage
point. Time: CPU seconds of localize on one thread (best of --repeat).

    /usr/bin/python3 bench/localize_background.py [--frames 20] [--tiles 0 32 64]
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np
from scipy.spatial import cKDTree

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import gauss2_fitter as g2  # noqa: E402

SHAPE = (256, 256)
SPOTS = 120
BACKGROUND = 20.0


def spots_of_frame(rng):
    pts = []
    while len(pts) < SPOTS:
        p = rng.uniform(6, 250, 2)
        if all(np.hypot(*(p - q)) >= 9 for q in pts):
            pts.append(p)
    pts = np.array(pts)
    photons = rng.lognormal(np.log(1500), 0.4, SPOTS)
    widths = rng.uniform(1.2, 1.5, (SPOTS, 2))
    return pts, photons, widths


def movie(kind, n_frames, seed):
    rng = np.random.default_rng(seed)
    gain = np.ones(SHAPE)
    if kind == "ramp":
        gain = np.broadcast_to(np.linspace(0.7, 1.3, SHAPE[1])[None, :], SHAPE)
    frames, truth = [], []
    for f in range(n_frames):
        pts, photons, widths = spots_of_frame(rng)
        local = gain[pts[:, 1].astype(int), pts[:, 0].astype(int)]
        spots = np.column_stack([photons * local, widths, pts, np.zeros(SPOTS), np.zeros(SPOTS)])
        frames.append(rng.poisson(g2.synth_image(spots, SHAPE, 15) + BACKGROUND * gain).astype(np.float32))
        truth.append(pts)
    return np.array(frames), truth


def score(locs, truth):
    false = found = missed = 0
    for f, pts in enumerate(truth):
        rows = locs[(locs.frame == f) & (locs.flag == 0)]
        xy = rows[["x", "y"]].to_numpy()
        found += len(xy)
        if len(xy):
            d, _ = cKDTree(pts).query(xy)
            false += int(np.count_nonzero(d > 1.5))
            d2, _ = cKDTree(xy).query(pts)
            missed += int(np.count_nonzero(d2 > 1.5))
        else:
            missed += len(pts)
    return false / max(1, found), missed / sum(len(t) for t in truth), found


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=20)
    ap.add_argument("--tiles", type=int, nargs="+", default=[0, 32, 64])
    ap.add_argument("--repeat", type=int, default=2)
    a = ap.parse_args()
    print(f"localize, {a.frames} frames of 256 x 256, {SPOTS} spots a frame; load {os.getloadavg()[0]:.1f}")
    print(f"{'background_tile':>15s} {'movie':>6s} {'false %':>8s} {'missed %':>9s} {'rows':>7s} {'CPU s':>7s}")
    movies = {kind: movie(kind, a.frames, 11 + i) for i, kind in enumerate(("flat", "ramp"))}
    for tile in a.tiles:
        shares = {}
        for kind, (mv, truth) in movies.items():
            best = np.inf
            for _ in range(a.repeat):
                c0 = time.process_time()
                locs = g2.localize(mv, estimator="mle", n_threads=1, background_tile=tile)
                best = min(best, time.process_time() - c0)
            false, missed, found = score(locs, truth)
            shares[kind] = false
            print(f"{tile:15d} {kind:>6s} {100 * false:8.2f} {100 * missed:9.2f} {found:7d} {best:7.2f}")
        print(f"{'':15s} ramp - flat false share: {100 * (shares['ramp'] - shares['flat']):+.2f} points")


if __name__ == "__main__":
    main()
