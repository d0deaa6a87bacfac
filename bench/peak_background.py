"""The peak search under uneven illumination: false and missed peaks on a
flat frame and on frames whose illumination varies by +-30 %, with the one
level of the whole frame (today's default) and with the local background
(`background_tile`).

Frames of 512 x 512 pixels with about 1 200 spots (lognormal photons around
`--photons`, widths 1.2-1.5 px) on a background of `--background` photons a
pixel, Poisson noise. The illumination multiplies spots and background
alike: flat; a ramp from 0.7 at the left edge to 1.3 at the right; a bright
centre (1.3 in the middle, 0.7 in the corners). A found peak is true when a
spot lies within 2 px of it; the false share is false / found, the missed
share the spots without a peak within 2 px over all spots. Target (with the
local background): on the ramp the false share is that of the flat frame
within 1 percentage point.

    /usr/bin/python3 bench/peak_background.py [--frames 8] [--tile 32]
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

SHAPE = (512, 512)
SPOTS = 1200


def illumination(kind):
    h, w = SHAPE
    y, x = np.mgrid[0:h, 0:w]
    if kind == "flat":
        return np.ones(SHAPE)
    if kind == "ramp":
        return 0.7 + 0.6 * (x + 0.5) / w
    r = np.hypot((x + 0.5) / w - 0.5, (y + 0.5) / h - 0.5) / np.hypot(0.5, 0.5)
    return 1.3 - 0.6 * r  # "centre": 1.3 in the middle, 0.7 in the corners


def frame(rng, light, photons, background):
    """One frame of spots in photons under `light`, and the spots' positions."""
    h, w = SHAPE
    n = SPOTS
    x, y = rng.uniform(6, w - 6, n), rng.uniform(6, h - 6, n)
    amp = rng.lognormal(np.log(photons), 0.5, n) * light[y.astype(int), x.astype(int)]
    width = rng.uniform(1.2, 1.5, n)
    p = np.column_stack([amp, width, width, x, y, np.zeros(n), np.zeros(n)])
    clean = g2.synth_image(p, SHAPE, 15) + background * light
    return rng.poisson(clean).astype(np.float64), np.column_stack([x, y])


def score(found_x, found_y, truth):
    """(false share of the found peaks, missed share of the spots)."""
    if not len(found_x):
        return 0.0, 1.0
    found = np.column_stack([found_x + 0.5, found_y + 0.5])
    d_found, _ = cKDTree(truth).query(found)
    d_true, _ = cKDTree(found).query(truth)
    return float(np.mean(d_found > 2.0)), float(np.mean(d_true > 2.0))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--frames", type=int, default=8, help="frames per illumination (default 8)")
    ap.add_argument("--tile", type=int, default=32, help="background_tile of the local search (default 32)")
    ap.add_argument("--photons", type=float, default=800.0, help="median photons of a spot (default 800)")
    ap.add_argument("--background", type=float, default=50.0, help="photons a pixel (default 50)")
    args = ap.parse_args()
    print(f"peak search under uneven illumination: {args.frames} frames of {SHAPE[1]} x {SHAPE[0]}, "
          f"{SPOTS} spots, {args.photons:g} photons median, background {args.background:g}; "
          f"load {os.getloadavg()[0]:.1f}")
    print(f"{'illumination':<13} {'search':<12} {'found':>7} {'false share':>12} {'missed share':>13} "
          f"{'ms a frame':>11}")
    shares = {}
    for kind in ("flat", "ramp", "centre"):
        rng = np.random.default_rng(7)
        light = illumination(kind)
        frames = [frame(rng, light, args.photons, args.background) for _ in range(args.frames)]
        stack = np.stack([f for f, _ in frames])
        for name, tile in (("global", 0), (f"local {args.tile}", args.tile)):
            g2.find_peaks_in_frames(stack[:1], background_tile=tile)  # warm-up
            t0 = time.perf_counter()
            fr, px, py, _ = g2.find_peaks_in_frames(stack, background_tile=tile)
            dt = (time.perf_counter() - t0) / len(stack)
            false = missed = 0.0
            for k, (_, truth) in enumerate(frames):
                f, m = score(px[fr == k], py[fr == k], truth)
                false += f / len(frames)
                missed += m / len(frames)
            shares[kind, tile] = false
            print(f"{kind:<13} {name:<12} {len(fr) / len(frames):7.0f} {100 * false:11.2f}% {100 * missed:12.2f}% "
                  f"{1e3 * dt:11.2f}")
    for tile, name in ((0, "global"), (args.tile, "local")):
        worst = max(abs(shares[kind, tile] - shares["flat", tile]) for kind in ("ramp", "centre"))
        print(f"{name}: false share off the flat frame's by at most {100 * worst:.2f} percentage points "
              f"(target for the local background: <= 1)")


if __name__ == "__main__":
    main()
