"""Precision of both estimators on photon-counting data, against the exact
Cramer-Rao bound.

The photon workload (deterministic): a 1024 x 1024 image in photo-electrons
with 5 000 isolated spots, photons log-uniform in 200-20 000, widths 1.0-1.8,
rho in +-0.3, a background of 20-100 photons around each spot, spots
integrated over each pixel (Gauss-Legendre, 4 x 4 points a pixel), Poisson
noise and Gaussian read noise of sigma 2. Fitted on 11 x 11 windows.

Per photon bin: the exact CRLB of the positions (from the Fisher information
of the generating, pixel-integrated model with variance mu + sigma^2 over the
fitted window), the position RMS of both estimators and its ratio to the
CRLB, the calibration RMS(error / reported standard error) of the
maximum-likelihood CRLB errors, of the least-squares sandwich errors and of
the least-squares covariance errors, and the flagged fractions. Then fits/s
on one thread and mean iterations of both, and the change of the
maximum-likelihood estimates when its stopping bound is 100x tighter.

    /usr/bin/python3 bench/precision.py [--spots 5000] [--markdown]
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))

SHAPE = (1024, 1024)
N_SPOTS = 5000
MEA = 11
READ_NOISE = 2.0
SEED = 20261214
CELL = 14  # one spot per cell; the fitted window stays inside its cell
RENDER = 15  # spots are rendered on this many pixels a side
BIN_EDGES = 200.0 * 100.0 ** (np.arange(6) / 5)  # 200, 502, 1262, 3170, 7962, 20000

_GL_X, _GL_W = np.polynomial.legendre.leggauss(4)
_GL_X, _GL_W = 0.5 * _GL_X + 0.5, 0.5 * _GL_W  # on [0, 1]


def integrated(truth, x0, y0, side, derivatives=False):
    """The pixel-integrated spots (amp, sx, sy, x, y, rho; image coordinates)
    on side x side pixels from column x0, row y0 per spot: (n, side, side),
    and with `derivatives` their partial derivatives (n, 6, side, side) with
    respect to the six shape parameters."""
    amp, sx, sy, px, py, rho = (truth[:, k][:, None, None, None, None] for k in range(6))
    cols = x0[:, None] + np.arange(side)[None, :]
    rows = y0[:, None] + np.arange(side)[None, :]
    X = cols[:, None, :, None, None] + _GL_X[None, None, None, None, :]  # n, 1, side, 1, 4
    Y = rows[:, :, None, None, None] + _GL_X[None, None, None, :, None]  # n, side, 1, 4, 1
    w = _GL_W[:, None] * _GL_W[None, :]
    amp, sx, sy, px, py, rho = (v[:, :, :, :, :] for v in (amp, sx, sy, px, py, rho))
    dx, dy = X - px, Y - py
    L = 1.0 - rho * rho
    u, v = dx / sx, dy / sy
    G = np.exp(-(u * u - 2 * rho * u * v + v * v) / (2 * L)) / (2 * np.pi * sx * sy * np.sqrt(L))
    value = (amp * G * w).sum(axis=(3, 4))
    if not derivatives:
        return value
    aG = amp * G
    d = [G,
         aG * (dx * dx / (L * sx**3) - rho * dx * dy / (L * sx * sx * sy) - 1 / sx),
         aG * (dy * dy / (L * sy**3) - rho * dx * dy / (L * sx * sy * sy) - 1 / sy),
         aG * (dx / sx**2 - rho * dy / (sx * sy)) / L,
         aG * (dy / sy**2 - rho * dx / (sx * sy)) / L,
         aG * (rho / L + (1 + rho * rho) * dx * dy / (sx * sy * L * L)
               - rho * (dx * dx / sx**2 + dy * dy / sy**2) / (L * L))]
    return value, np.stack([(t * w).sum(axis=(3, 4)) for t in d], axis=1)


def make(seed=SEED, n_spots=N_SPOTS):
    """(image, center_x, center_y, truth (n, 7) image coordinates with the
    background in [6], exact CRLB (n, 7))."""
    rng = np.random.default_rng(seed)
    h, w = SHAPE
    gy, gx = np.mgrid[0: h // CELL, 0: w // CELL]
    cells = np.stack([gx.ravel(), gy.ravel()], 1)
    cells = cells[rng.permutation(len(cells))[:n_spots]]
    n = len(cells)
    half = MEA // 2
    # The peak pixel lies in [half, CELL - half - 1) of its cell: the window stays inside.
    pos = cells * CELL + half + rng.uniform(0.0, CELL - 2 * half - 1, cells.shape)
    truth = np.column_stack([
        np.exp(rng.uniform(np.log(200.0), np.log(20000.0), n)),
        rng.uniform(1.0, 1.8, n), rng.uniform(1.0, 1.8, n),
        pos[:, 0], pos[:, 1],
        rng.uniform(-0.3, 0.3, n),
        rng.uniform(20.0, 100.0, n),
    ])
    mean = np.zeros(SHAPE)
    for k, (cx, cy) in enumerate(cells):
        mean[cy * CELL:(cy + 1) * CELL, cx * CELL:(cx + 1) * CELL] = truth[k, 6]
    x0 = np.floor(truth[:, 3]).astype(np.int64) - RENDER // 2
    y0 = np.floor(truth[:, 4]).astype(np.int64) - RENDER // 2
    for lo in range(0, n, 500):
        sl = slice(lo, lo + 500)
        spots = integrated(truth[sl], x0[sl], y0[sl], RENDER)
        for k in range(spots.shape[0]):
            i = lo + k
            r0, c0 = max(y0[i], 0), max(x0[i], 0)  # clipped at the image's border
            r1, c1 = min(y0[i] + RENDER, SHAPE[0]), min(x0[i] + RENDER, SHAPE[1])
            mean[r0:r1, c0:c1] += spots[k][r0 - y0[i]:r1 - y0[i], c0 - x0[i]:c1 - x0[i]]
    im = rng.poisson(mean).astype(np.float64) + rng.normal(0.0, READ_NOISE, SHAPE)
    cx = np.floor(truth[:, 3]).astype(np.int64)
    cy = np.floor(truth[:, 4]).astype(np.int64)
    # The exact CRLB over each fitted window, from the generating model.
    crlb = np.empty((n, 7))
    for lo in range(0, n, 500):
        sl = slice(lo, lo + 500)
        value, d = integrated(truth[sl], cx[sl] - half, cy[sl] - half, MEA, derivatives=True)
        var = value + truth[sl, 6][:, None, None] + READ_NOISE**2
        J = np.concatenate([d, np.ones((d.shape[0], 1, MEA, MEA))], axis=1).reshape(d.shape[0], 7, -1)
        info = np.einsum("nkp,nlp->nkl", J / var.reshape(d.shape[0], 1, -1), J)
        crlb[sl] = np.sqrt(np.diagonal(np.linalg.inv(info), axis1=1, axis2=2))
    return im, cx, cy, truth, crlb


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--spots", type=int, default=N_SPOTS)
    ap.add_argument("--markdown", action="store_true", help="print the table as Markdown (for the README)")
    args = ap.parse_args()
    import gauss2_fitter as g2
    from gauss2_fitter import _lib
    from workload import best_rate

    t = time.perf_counter()
    im, cx, cy, truth, crlb = make(n_spots=args.spots)
    n, half = len(cx), MEA // 2
    print(f"photon workload: {SHAPE[1]} x {SHAPE[0]}, {n} spots, photons 200-20000 log-uniform, background 20-100, "
          f"read noise {READ_NOISE:g}, pixel-integrated, seed {SEED} ({time.perf_counter() - t:.1f} s)")
    mle = g2.fit_spots(im, cx, cy, MEA, estimator="mle", read_noise=READ_NOISE, n_threads=1)
    lsq = g2.fit_spots(im, cx, cy, MEA, estimator="lsq", read_noise=READ_NOISE, n_threads=1)
    _, lsq_std, _ = g2.fit_peaks(im, cx, cy, MEA, n_threads=1)

    def errors(fits):
        return np.column_stack([cx - half + fits.records[:, 3] - truth[:, 3],
                                cy - half + fits.records[:, 4] - truth[:, 4]])

    e_mle, e_lsq = errors(mle), errors(lsq)
    bins = np.digitize(truth[:, 0], BIN_EDGES[1:-1])
    rows = []
    for b in range(len(BIN_EDGES) - 1):
        sel = bins == b
        good_m = sel & (mle.flag == 0)
        good_l = sel & (lsq.flag == 0)
        sand = good_l & np.isfinite(lsq.photon_std[:, 3])  # no sandwich where the fitted model + s2 <= 0
        rms = lambda e: float(np.sqrt(np.mean(e**2)))  # noqa: E731
        bound = rms(crlb[good_m][:, 3:5])
        bound_l = rms(crlb[good_l][:, 3:5])
        rows.append((f"{BIN_EDGES[b]:.0f}-{BIN_EDGES[b + 1]:.0f}", int(sel.sum()), bound,
                     rms(e_mle[good_m]), rms(e_mle[good_m]) / bound,
                     rms(e_lsq[good_l]), rms(e_lsq[good_l]) / bound_l,
                     rms(e_mle[good_m] / mle.std[good_m][:, 3:5]),
                     rms(e_lsq[sand] / lsq.photon_std[sand][:, 3:5]),
                     rms(e_lsq[good_l] / lsq_std[good_l][:, 3:5]),
                     100.0 * np.mean(mle.flag[sel] != 0), 100.0 * np.mean(lsq.flag[sel] != 0)))
    head = ("photons", "spots", "CRLB px", "MLE RMS", "MLE/CRLB", "LSQ RMS", "LSQ/CRLB", "MLE calib",
            "LSQ sandwich calib", "LSQ covar calib", "MLE flagged %", "LSQ flagged %")
    fmt = ("{}", "{}", "{:.4f}", "{:.4f}", "{:.3f}", "{:.4f}", "{:.3f}", "{:.3f}", "{:.3f}", "{:.3f}", "{:.1f}",
           "{:.1f}")
    cells = [[f.format(v) for f, v in zip(fmt, r)] for r in rows]
    if args.markdown:
        print("| " + " | ".join(head) + " |")
        print("|" + "|".join("---" for _ in head) + "|")
        for c in cells:
            print("| " + " | ".join(c) + " |")
    else:
        widths = [max(len(h), *(len(c[i]) for c in cells)) for i, h in enumerate(head)]
        print("  ".join(h.rjust(wd) for h, wd in zip(head, widths)))
        for c in cells:
            print("  ".join(v.rjust(wd) for v, wd in zip(c, widths)))
    print("(positions x and y pooled; RMS / CRLB over unflagged fits; calib = RMS(error / reported standard error))")

    r_mle = best_rate(lambda: g2.fit_peaks(im, cx, cy, MEA, n_threads=1, estimator="mle", read_noise=READ_NOISE), n, 3)
    r_lsq = best_rate(lambda: g2.fit_peaks(im, cx, cy, MEA, n_threads=1), n, 3)
    print(f"fits/s on 1 thread: MLE {r_mle:.0f} ({mle.iterations[mle.flag != 1].mean():.2f} iterations per fit), "
          f"least squares {r_lsq:.0f} ({lsq.iterations[lsq.flag != 1].mean():.2f} iterations per fit); "
          f"MLE {r_mle / r_lsq:.2f}x per fit")

    eps2 = _lib.gauss2_mle_opts[1]
    _lib.gauss2_mle_opts[1] = eps2 / 100.0
    try:
        tight = g2.fit_spots(im, cx, cy, MEA, estimator="mle", read_noise=READ_NOISE, n_threads=os.cpu_count() or 1)
    finally:
        _lib.gauss2_mle_opts[1] = eps2
    both = (mle.flag == 0) & (tight.flag == 0)
    d = np.abs(mle.records[both, :7] - tight.records[both, :7]) / mle.std[both]
    print(f"stopping bound {eps2:g} vs {eps2 / 100:g}: estimates move by RMS {np.sqrt(np.mean(d**2)):.1e}, "
          f"at most {d.max():.1e} of their standard error ({int(both.sum())} fits; positions at most "
          f"{d[:, 3:5].max():.1e}); {tight.iterations[tight.flag != 1].mean():.2f} iterations per fit")


if __name__ == "__main__":
    main()
