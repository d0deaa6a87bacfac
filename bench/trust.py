"""Whether a table's rows can be trusted: the plausibility flags, and the
standard errors of EMCCD data.

1. Flags. A movie of isolated spots (64 frames of 128 x 128, 36 spots a
   frame on a jittered grid 20 px apart, photons log-uniform 150-10 000,
   PSF sigma 1.1-1.4, background 10-60 photons a pixel, Poisson noise and
   read noise 1.5 e-; spots integrated over each pixel) localised with
   peak search by both estimators; then the same with 30 % of the spots
   given a neighbour 2.5-5 px away (overlapping windows). Each row is matched to the nearest true
   spot of its frame; its error is max(|dx| / lpx, |dy| / lpy). Printed: the
   share of rows the solver calls good (flag 0 before the checks after the
   fit: flags 0 and 4-7) whose error is > 5, and the same share of the
   rows left with flag 0; and how many rows each flag holds.

2. EMCCD. The same spots through an EM register (photo-electrons Poisson,
   each amplified by a gamma distribution of shape n and scale gain, read
   noise 6 ADU, sensitivity 10 e-/ADU, baseline 200 ADU) at gains 100 and
   300, fitted with the camera's default excess noise (2 - 1/gain) and with
   excess_noise=1 (as before it was modelled): per photon bin,
   RMS(error / precision) of x and y over the flag-0 rows within 3 px of
   a true spot (1 is honest; farther rows are false detections); and,
   for reference, the same spots as plain photon counts (gain 1, read
   noise 0.6 e-), whose dimmest bin shows how far any fit strays from the
   Cramer-Rao bound there.

    /usr/bin/python3 bench/trust.py [--frames 64] [--markdown]
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))

SHAPE = (128, 128)
SPACING = 20
READ_NOISE = 1.5
SEED = 20261209
RENDER = 15
PHOTON_EDGES = np.array([150.0, 500.0, 1500.0, 4000.0, 10000.0])
MATCH_RADIUS = 3.0  # px: a row farther from every true spot is a false detection


def spots(rng, n_frames, pairs=0.0):
    """Truth rows (frame, photons, sx, sy, x, y, bg) on a jittered grid;
    with `pairs`, that share of them gets a neighbour 2.5-5 px away."""
    gy, gx = np.mgrid[0:SHAPE[0] // SPACING, 0:SHAPE[1] // SPACING]
    grid = np.stack([gx.ravel(), gy.ravel()], 1) * SPACING + SPACING / 2
    rows = []
    for f in range(n_frames):
        pos = grid + rng.uniform(-3, 3, grid.shape)
        twin = rng.random(len(pos)) < pairs
        angle = rng.uniform(0, 2 * np.pi, twin.sum())
        r = rng.uniform(2.5, 5.0, twin.sum())
        pos = np.concatenate([pos, pos[twin] + np.column_stack([r * np.cos(angle), r * np.sin(angle)])])
        n = len(pos)
        s = rng.uniform(1.1, 1.4, n)
        rows.append(np.column_stack([np.full(n, f), np.exp(rng.uniform(np.log(150), np.log(10000), n)),
                                     s * rng.uniform(0.95, 1.05, n), s * rng.uniform(0.95, 1.05, n),
                                     pos[:, 0], pos[:, 1], rng.uniform(10, 60, n)]))
    return np.concatenate(rows)


def mean_movie(truth, n_frames):
    """The expected photo-electrons of each pixel of each frame."""
    from precision import integrated

    mean = np.empty((n_frames,) + SHAPE)
    for f in range(n_frames):
        t = truth[truth[:, 0] == f]
        frame = np.full(SHAPE, float(np.median(t[:, 6])))
        amp = np.column_stack([t[:, 1], t[:, 2], t[:, 3], t[:, 4], t[:, 5], np.zeros(len(t))])
        x0 = np.floor(t[:, 4]).astype(np.int64) - RENDER // 2
        y0 = np.floor(t[:, 5]).astype(np.int64) - RENDER // 2
        rendered = integrated(amp, x0, y0, RENDER)
        for k in range(len(t)):
            r0, c0 = max(y0[k], 0), max(x0[k], 0)
            r1, c1 = min(y0[k] + RENDER, SHAPE[0]), min(x0[k] + RENDER, SHAPE[1])
            frame[r0:r1, c0:c1] += rendered[k][r0 - y0[k]:r1 - y0[k], c0 - x0[k]:c1 - x0[k]]
        mean[f] = frame
    return mean


def matched(table, truth):
    """Per row: (the true photons of the nearest spot of its frame, dx, dy)."""
    out = np.full((len(table), 3), np.nan)
    frame, x, y = table["frame"].to_numpy(), table["x"].to_numpy(), table["y"].to_numpy()
    for f in np.unique(frame):
        rows = np.flatnonzero(frame == f)
        t = truth[truth[:, 0] == f]
        d2 = (x[rows, None] - t[None, :, 4]) ** 2 + (y[rows, None] - t[None, :, 5]) ** 2
        near = np.nanargmin(np.where(np.isfinite(d2), d2, np.inf), axis=1)
        out[rows, 0] = t[near, 1]
        out[rows, 1] = x[rows] - t[near, 4]
        out[rows, 2] = y[rows] - t[near, 5]
    return out


def normalised_error(table, truth):
    m = matched(table, truth)
    with np.errstate(invalid="ignore", divide="ignore"):
        z = np.maximum(np.abs(m[:, 1]) / table["lpx"].to_numpy(), np.abs(m[:, 2]) / table["lpy"].to_numpy())
    return m, z


def flags_part(g2, args, rng):
    head = ("spots", "estimator", "rows", "solver good", "of them > 5 x precision", "flag 0 now",
            "of them > 5 x precision", "rows by flag")
    print(f"flags: {args.frames} frames of {SHAPE[1]} x {SHAPE[0]} a layout, seed {SEED}")
    if args.markdown:
        print("| " + " | ".join(head) + " |\n|" + "---|" * len(head))
    else:
        print("spots      estimator   rows  solver-good  >5x prec.   flag-0 now  >5x prec.   rows by flag")
    for label, pairs in (("isolated", 0.0), ("30 % pairs", 0.3)):
        flags_layout(g2, args, rng, label, pairs)


def flags_layout(g2, args, rng, label, pairs):
    truth = spots(rng, args.frames, pairs)
    movie = rng.poisson(mean_movie(truth, args.frames)) + rng.normal(0, READ_NOISE, (args.frames,) + SHAPE)
    cam = g2.Camera(read_noise=READ_NOISE)
    lines = []
    for est in ("mle", "lsq"):
        t0 = time.perf_counter()
        locs = g2.localize(movie, camera=cam, estimator=est, n_threads=1)
        dt = time.perf_counter() - t0
        _, z = normalised_error(locs, truth)
        flag = locs["flag"].to_numpy()
        before = (flag == 0) | (flag >= 4)
        after = flag == 0
        bad = ~(z <= 5)  # NaN precision counts as bad
        counts = ", ".join(f"{v}: {int((flag == v).sum())}" for v in range(8) if (flag == v).any())
        lines.append((est, len(locs), before.sum(), 100 * (bad & before).sum() / max(before.sum(), 1),
                      after.sum(), 100 * (bad & after).sum() / max(after.sum(), 1), counts, dt))
    fmt = "| {} | {} | {} | {} | {:.2f} % | {} | {:.2f} % | {} |" if args.markdown else \
        "{:<10} {:>9} {:>6} {:>11} {:>10.2f} % {:>10} {:>10.2f} %   {}"
    for est, n, nb, pb, na, pa, counts, dt in lines:
        print(fmt.format(label, est, n, nb, pb, na, pa, counts))


def emccd_movie(rng, mean, gain, sensitivity=10.0, baseline=200.0, read_noise_adu=6.0):
    electrons = rng.poisson(mean)
    amplified = np.zeros(mean.shape)
    lit = electrons > 0
    amplified[lit] = rng.gamma(electrons[lit], gain)
    return amplified / sensitivity + baseline + rng.normal(0, read_noise_adu, mean.shape)


def emccd_part(g2, args, rng):
    truth = spots(rng, args.frames)
    truth[:, 6] = rng.uniform(5, 30, len(truth))  # EMCCDs are used for dim backgrounds
    mean = mean_movie(truth, args.frames)
    sens, base, rn_adu = 10.0, 200.0, 6.0
    print(f"\nEMCCD: the same layout, gains 100 and 300, sensitivity {sens:g} e-/ADU, read noise {rn_adu:g} ADU; "
          "RMS(error / precision) of x and y over flag-0 rows, per true-photon bin")
    bins = [f"{PHOTON_EDGES[i]:.0f}-{PHOTON_EDGES[i + 1]:.0f}" for i in range(len(PHOTON_EDGES) - 1)]
    if args.markdown:
        print("| gain | estimator | excess noise | " + " | ".join(bins) + " |\n|" + "---|" * (3 + len(bins)))
    else:
        print(f"{'gain':>5} {'est':>4} {'F^2':>6} " + " ".join(f"{b:>11}" for b in bins))
    for gain in (1.0, 100.0, 300.0):
        if gain == 1.0:  # the reference: photon counts without an EM register
            movie = rng.poisson(mean) + rng.normal(0, rn_adu * sens / 100.0, mean.shape)
        else:
            movie = emccd_movie(rng, mean, gain, sens, base, rn_adu)
        for est in ("mle", "lsq"):
            for f2 in (None,) if gain == 1.0 else (None, 1.0):
                cam = g2.Camera(read_noise=rn_adu * sens / 100.0) if gain == 1.0 else \
                    g2.Camera(baseline=base, sensitivity=sens, em_gain=gain, read_noise=rn_adu * sens / gain,
                              excess_noise=f2)
                locs = g2.localize(movie, camera=cam, estimator=est, n_threads=1)
                m, _ = normalised_error(locs, truth)
                # Rows 3 px or more from every spot are false detections (the EM
                # register's tail makes a few), not errors of a spot's position.
                good = (locs["flag"].to_numpy() == 0) & (np.hypot(m[:, 1], m[:, 2]) < MATCH_RADIUS)
                zx = m[:, 1] / locs["lpx"].to_numpy()
                zy = m[:, 2] / locs["lpy"].to_numpy()
                which = np.digitize(m[:, 0], PHOTON_EDGES[1:-1])
                cells = []
                for b in range(len(bins)):
                    sel = good & (which == b)
                    z = np.concatenate([zx[sel], zy[sel]])
                    cells.append(float(np.sqrt(np.mean(z * z))) if len(z) else float("nan"))
                label = f"{cam.excess_noise:.3f}" + (" (default)" if f2 is None else "")
                if args.markdown:
                    print(f"| {gain:.0f} | {est} | {label} | " + " | ".join(f"{c:.2f}" for c in cells) + " |")
                else:
                    print(f"{gain:5.0f} {est:>4} {cam.excess_noise:6.3f} " + " ".join(f"{c:11.2f}" for c in cells))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=64)
    ap.add_argument("--markdown", action="store_true", help="print the tables as Markdown (for the docs)")
    args = ap.parse_args()
    import gauss2_fitter as g2

    rng = np.random.default_rng(SEED)
    flags_part(g2, args, rng)
    emccd_part(g2, args, rng)


if __name__ == "__main__":
    main()
