"""Crowded frames: how many molecules localize finds, single- and
multi-emitter, from sparse to dense, scored as the 2016 SMLM challenge
scores.

The simulator is this file's own: frames of 96 x 96 pixels of 100 nm,
emitters uniformly at random over the frame (edges included), each a
pixel-integrated Gaussian (erf differences over the pixel's edges) of
`--sigma` pixels and photons uniform in `--photons`, on a background of
`--bg` photons a pixel; Poisson photo-electrons (quantum efficiency 0.9),
then camera counts: 0.5 e-/ADU on a baseline of 100 ADU with Gaussian read
noise of 1.5 e-. localize() gets the camera, so its tables are in photons.

Scoring, per frame: the unflagged localisations are matched one-to-one to
the true positions by the Hungarian algorithm
(scipy.optimize.linear_sum_assignment) on their distances, pairs farther
than 250 nm apart not allowed; TP the matched pairs, FP the localisations
left, FN the molecules left. Recall TP / (TP + FN), precision
TP / (TP + FP), Jaccard TP / (TP + FP + FN), lateral RMSE
sqrt(mean(dx^2 + dy^2)) over the matched pairs, in nm.

    /usr/bin/python3 bench/crowded.py                     # the table, all densities
    /usr/bin/python3 bench/crowded.py --seed 7 --sigma 1.0 --bg 60 --photons 500 4000
    /usr/bin/python3 bench/crowded.py --figure docs/crowded.png
    /usr/bin/python3 bench/crowded.py --mea-scan          # Jaccard and RMSE by window side
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np
from scipy.optimize import linear_sum_assignment
from scipy.special import erf

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

PIXEL_NM = 100.0
SHAPE = (96, 96)
DENSITIES = (0.1, 0.3, 1.0, 2.0, 3.0)  # emitters per um^2
TOLERANCE_NM = 250.0
QE, SENSITIVITY, BASELINE, READ_NOISE = 0.9, 0.5, 100.0, 1.5  # e-/ADU, ADU, e-
EMITTERS_PER_DENSITY = 3000  # about this many true emitters are scored per density
MAX_FRAMES = 300


def frames_for(density, shape=SHAPE, emitters=EMITTERS_PER_DENSITY):
    area_um2 = shape[0] * shape[1] * (PIXEL_NM / 1000.0) ** 2
    return int(min(MAX_FRAMES, max(10, np.ceil(emitters / (density * area_um2)))))


def render(emitters, shape, sigma):
    """Expected photons of each pixel from the emitters ((n, 3): x, y,
    photons; pixel (col, row) covers [col, col + 1) x [row, row + 1)):
    each Gaussian integrated over the pixels within 6 sigma."""
    h, w = shape
    out = np.zeros(shape)
    r = int(np.ceil(6 * sigma)) + 1
    s = np.sqrt(2.0) * sigma
    for x, y, n in emitters:
        c0, c1 = max(0, int(x) - r), min(w, int(x) + r + 1)
        r0, r1 = max(0, int(y) - r), min(h, int(y) + r + 1)
        ex = erf((np.arange(c0, c1 + 1) - x) / s)
        ey = erf((np.arange(r0, r1 + 1) - y) / s)
        out[r0:r1, c0:c1] += n * np.outer(np.diff(ey), np.diff(ex)) / 4.0
    return out


def simulate(density, n_frames, *, shape=SHAPE, sigma=1.25, photons=(800.0, 6000.0), bg=20.0, seed=1):
    """A movie in camera counts (uint16, (n_frames, h, w)) and its truth,
    (m, 4): frame, x, y (pixels), photons."""
    rng = np.random.default_rng(seed)
    h, w = shape
    area_um2 = h * w * (PIXEL_NM / 1000.0) ** 2
    movie = np.empty((n_frames, h, w), dtype=np.uint16)
    truth = []
    for f in range(n_frames):
        n = rng.poisson(density * area_um2)
        em = np.column_stack([rng.uniform(0, w, n), rng.uniform(0, h, n), rng.uniform(*photons, n)])
        electrons = rng.poisson(QE * (render(em, shape, sigma) + bg)).astype(np.float64)
        adu = BASELINE + (electrons + rng.normal(0.0, READ_NOISE, shape)) / SENSITIVITY
        movie[f] = np.clip(np.rint(adu), 0, 65535)
        truth.append(np.column_stack([np.full(n, f), em]))
    return movie, np.concatenate(truth) if truth else np.zeros((0, 4))


def g2_movie(movie):
    import gauss2_fitter as g2

    return g2.open_movie(movie)


def camera():
    import gauss2_fitter as g2

    return g2.Camera(baseline=BASELINE, sensitivity=SENSITIVITY, qe=QE, read_noise=READ_NOISE, pixel_size=PIXEL_NM)


def match(truth, locs, n_frames, tolerance_nm=TOLERANCE_NM):
    """One-to-one matching per frame: (TP, FP, FN, squared lateral errors
    of the matched pairs in nm^2, matched (truth index, loc index) pairs)."""
    tol = tolerance_nm / PIXEL_NM
    good = locs[locs["flag"] == 0]
    lf, lx, ly = good["frame"].to_numpy(), good["x"].to_numpy(), good["y"].to_numpy()
    tf = truth[:, 0].astype(int)
    t_order, l_order = np.argsort(tf, kind="stable"), np.argsort(lf, kind="stable")
    t_edges = np.searchsorted(tf[t_order], np.arange(n_frames + 1))
    l_edges = np.searchsorted(lf[l_order], np.arange(n_frames + 1))
    tp = 0
    sq = []
    pairs = []
    for f in range(n_frames):
        ti = t_order[t_edges[f]:t_edges[f + 1]]
        li = l_order[l_edges[f]:l_edges[f + 1]]
        if not len(ti) or not len(li):
            continue
        d = np.hypot(truth[ti, 1][:, None] - lx[li][None, :], truth[ti, 2][:, None] - ly[li][None, :])
        cost = np.where(d <= tol, d, 1e6)
        r, c = linear_sum_assignment(cost)
        ok = d[r, c] <= tol
        tp += int(ok.sum())
        sq.append((d[r[ok], c[ok]] * PIXEL_NM) ** 2)
        pairs.append(np.column_stack([ti[r[ok]], good.index.to_numpy()[li[c[ok]]]]))
    fp = len(good) - tp
    fn = len(truth) - tp
    matched = np.concatenate(pairs) if pairs else np.zeros((0, 2), dtype=int)
    return tp, fp, fn, np.concatenate(sq) if sq else np.zeros(0), matched


def scores(truth, locs, n_frames):
    tp, fp, fn, sq, _ = match(truth, locs, n_frames)
    return {
        "recall": tp / max(1, tp + fn),
        "precision": tp / max(1, tp + fp),
        "jaccard": tp / max(1, tp + fp + fn),
        "rmse": float(np.sqrt(sq.mean())) if len(sq) else float("nan"),
        "tp": tp, "fp": fp, "fn": fn,
    }


def localise(movie, **kwargs):
    """localize()'s table of the movie and its time, best of `repeats`."""
    import gauss2_fitter as g2

    repeats = kwargs.pop("repeats", 1)
    best, table = float("inf"), None
    for _ in range(repeats):
        t = time.perf_counter()
        table = g2.localize(movie, camera=camera(), **kwargs)
        best = min(best, time.perf_counter() - t)
    return table, best


MODES = {
    "single": {"max_emitters": 1},
    "multi": {},
}


def run(args, densities, modes):
    """Rows of (density, mode, scores, ms a frame, frames scored, table):
    scored on about EMITTERS_PER_DENSITY emitters, timed on --time-frames
    frames of the same density (another seed), best of --repeats."""
    rows = []
    for density in densities:
        n_frames = args.frames or frames_for(density)
        movie, truth = simulate(density, n_frames, sigma=args.sigma, photons=tuple(args.photons), bg=args.bg,
                                seed=args.seed + int(density * 1000))
        timed, _ = simulate(density, args.time_frames, sigma=args.sigma, photons=tuple(args.photons), bg=args.bg,
                            seed=args.seed + int(density * 1000) + 1)
        for name, kw in modes.items():
            table, _ = localise(movie, n_threads=args.threads, **kw)
            _, seconds = localise(timed, n_threads=args.threads, repeats=args.repeats, **kw)
            rows.append((density, name, scores(truth, table, n_frames), 1e3 * seconds / args.time_frames, n_frames,
                         table))
    return rows


def print_rows(rows, file=sys.stdout):
    print(f"{'density':>8} {'mode':>8} {'frames':>6} {'recall':>7} {'precision':>9} {'jaccard':>7} "
          f"{'rmse nm':>8} {'ms/frame':>8} {'locs':>7} {'mea':>4}", file=file)
    single = {}
    for density, name, s, ms, n_frames, table in rows:
        ratio = f"  {ms / single[density]:.2f}x single" if density in single else ""
        single.setdefault(density, ms)
        print(f"{density:8.1f} {name:>8} {n_frames:6d} {s['recall']:7.3f} {s['precision']:9.3f} {s['jaccard']:7.3f} "
              f"{s['rmse']:8.1f} {ms:8.2f} {int((table['flag'] == 0).sum()):7d} {table.attrs['mea']:4d}{ratio}",
              file=file)


def mea_scan(args):
    """Jaccard and RMSE by window side, single- and multi-emitter, per
    density, with the PSF's width measured (as localize does): what the rule
    window_side(psf_sigma, joint) is chosen on."""
    from gauss2_fitter import crowded as cr

    print(f"window side scan, PSF sigma {args.sigma} px")
    for density in args.densities:
        n_frames = args.frames or frames_for(density)
        movie, truth = simulate(density, n_frames, sigma=args.sigma, photons=tuple(args.photons), bg=args.bg,
                                seed=args.seed + int(density * 1000))
        psf, _ = cr.estimate_psf_sigma(g2_movie(movie), camera())
        for name, kw in MODES.items():
            line = []
            for mea in (5, 7, 9, 11):
                table, _ = localise(movie, mea=mea, psf_sigma=psf, n_threads=args.threads, **kw)
                s = scores(truth, table, n_frames)
                line.append(f"{mea:2d}: J {s['jaccard']:.3f} rmse {s['rmse']:5.1f}")
            rule = cr.window_side(psf, joint=name == "multi")
            print(f"  {density:4.1f}/um2 {name:>6} (psf {psf:.3f}, rule: {rule})  " + "   ".join(line))


def pairs(args):
    """Close pairs and elongated single spots against the shape margin
    (gauss2_multi.h): the share of pairs resolved into two unflagged rows
    within 0.5 px of their emitters, by separation and photons, and the
    share of clean and noisy elongated single spots split, for margins 0
    (the default), 7 and +infinity (no comparison with the single fit)."""
    import gauss2_fitter as g2
    from gauss2_fitter import crowded as cr

    sigma, n = args.sigma, 200
    print(f"pairs and elongated spots, PSF sigma {sigma} px (pixel-integrated), background {args.bg:g}, "
          f"{n} frames each")
    for margin in (0.0, 7.0, np.inf):
        opts = np.array([np.nan, np.nan, np.nan, np.nan, margin])
        line = []
        for sep in (1.5, 2.0):
            for photons in (1000.0, 3000.0, 6000.0):
                rng = np.random.default_rng(args.seed)
                d = sep * sigma
                truth = np.array([[20.3 - d / 2, 19.4], [20.3 + d / 2, 19.4]])
                resolved = 0
                for _ in range(n):
                    em = np.column_stack([truth, [photons, photons]])
                    im = rng.poisson(render(em, (40, 40), sigma) + args.bg).astype(np.float64)
                    rows = cr.fit_multi(im, [20], [19], 7, psf_sigma=np.sqrt(sigma**2 + 1 / 12), max_emitters=5,
                                        opts=opts)
                    good = rows.flag == 0
                    dist = np.hypot(rows.x[good][:, None] - truth[None, :, 0],
                                    rows.y[good][:, None] - truth[None, :, 1])
                    resolved += good.sum() == 2 and np.all(dist.min(axis=0) < 0.5)
                line.append(f"{sep} sigma {photons:g}: {resolved / n:.2f}")
        split = {"clean": 0, "noisy": 0}
        total = 0
        rng = np.random.default_rng(args.seed)
        for photons in (500, 2000, 5000, 20000, 50000):
            for sx, sy, rho in ((1.1, 1.5, 0.0), (1.2, 1.5, 0.2), (1.1, 1.4, -0.2), (1.0, 1.5, 0.0)):
                for off in (0.0, 0.3):
                    im = g2.synth_image([[photons, sx, sy, 15.5 + off, 15.2 + off / 2, rho, 0]], (31, 31), 17,
                                        im=np.full((31, 31), args.bg))
                    for kind, data in (("clean", im), ("noisy", rng.poisson(im).astype(np.float64))):
                        rows = cr.fit_multi(data, [15], [15], 7, psf_sigma=min(sx, sy), max_emitters=5, opts=opts)
                        split[kind] += len(rows.peak) > 1
                    total += 1
        print(f"  margin {margin:g}: pairs resolved " + ", ".join(line) +
              f"; elongated spots split: clean {split['clean'] / total:.2f}, noisy {split['noisy'] / total:.2f}")


def draw(rows, args, path):
    """A small PNG: Jaccard against density for both modes (with the
    window of 11 that single fits had by default before, for reference),
    and a crop of a frame at 2 emitters per um^2 where close pairs are
    resolved: true positions, single- and multi-emitter localisations."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, crop) = plt.subplots(1, 2, figsize=(8.4, 3.4), gridspec_kw={"width_ratios": [1.25, 1]})
    for name, style in (("single", "s--"), ("multi", "o-")):
        pts = [(d, s["jaccard"]) for d, n, s, *_ in rows if n == name]
        ax.plot(*zip(*pts), style, label=f"{name}-emitter (default)" if name == "multi" else f"{name}-emitter")
    before = []
    for density in sorted({r[0] for r in rows}):
        n_frames = args.frames or frames_for(density)
        movie, truth = simulate(density, n_frames, sigma=args.sigma, photons=tuple(args.photons), bg=args.bg,
                                seed=args.seed + int(density * 1000))
        table, _ = localise(movie, mea=11, max_emitters=1, n_threads=args.threads)
        before.append((density, scores(truth, table, n_frames)["jaccard"]))
    ax.plot(*zip(*before), "x:", color="grey", label="single, window 11 (before)")
    for target, density in ((0.75, 1.0), (0.60, 2.0), (0.48, 3.0)):
        ax.plot([density], [target], "v", color="crimson", ms=6)
    ax.set_xlabel("emitters per µm²")
    ax.set_ylabel("Jaccard index (250 nm)")
    ax.set_ylim(0, 1.02)
    ax.legend(fontsize=7, loc="lower left")
    ax.set_title("crowded frames: targets ▼", fontsize=9)
    # A crop: the 16 x 16 px square of a 2 / um^2 frame (of 20) with the most
    # members of true pairs closer than 250 nm that the multi-emitter fit
    # finds (a row within 1 px) and the single fit misses.
    side, n_frames = 16, 20
    movie, truth = simulate(2.0, n_frames, sigma=args.sigma, photons=tuple(args.photons), bg=args.bg,
                            seed=args.seed + 77)
    single, _ = localise(movie, max_emitters=1, n_threads=args.threads)
    multi, _ = localise(movie, n_threads=args.threads)
    best, at = -1, (0, 0, 0)
    for f in range(n_frames):
        t = truth[truth[:, 0] == f, 1:3]
        d = np.hypot(t[:, None, 0] - t[None, :, 0], t[:, None, 1] - t[None, :, 1])

        def found(table):
            g = table[(table.flag == 0) & (table.frame == f)]
            return np.hypot(t[:, None, 0] - g.x.to_numpy()[None], t[:, None, 1] - g.y.to_numpy()[None]).min(
                axis=1, initial=np.inf) < 1.0

        gained = t[np.any((d < 2.5) & (d > 0), axis=1) & found(multi) & ~found(single)]
        for y0 in range(0, SHAPE[0] - side + 1, 2):
            for x0 in range(0, SHAPE[1] - side + 1, 2):
                k = np.sum((gained[:, 0] >= x0) & (gained[:, 0] < x0 + side) & (gained[:, 1] >= y0) &
                           (gained[:, 1] < y0 + side))
                if k > best:
                    best, at = k, (f, x0, y0)
    f, x0, y0 = at
    t = truth[truth[:, 0] == f, 1:3]
    single, multi = single[single.frame == f], multi[multi.frame == f]
    im = np.sqrt(np.maximum(movie[f, y0:y0 + side, x0:x0 + side] - BASELINE, 0))
    crop.imshow(im, cmap="gray", extent=(x0, x0 + side, y0 + side, y0))
    inside = (t[:, 0] >= x0) & (t[:, 0] < x0 + side) & (t[:, 1] >= y0) & (t[:, 1] < y0 + side)
    crop.plot(t[inside, 0], t[inside, 1], "o", mfc="none", mec="lime", ms=9, mew=1.2, label="true")
    for table, marker, colour, label in ((single, "x", "orange", "single"), (multi, "+", "magenta", "multi")):
        g = table[(table.flag == 0) & (table.x >= x0) & (table.x < x0 + side) & (table.y >= y0) &
                  (table.y < y0 + side)]
        crop.plot(g.x, g.y, marker, color=colour, ms=7, mew=1.5, label=label)
    crop.set_xlim(x0, x0 + side)
    crop.set_ylim(y0 + side, y0)
    crop.set_xticks([]), crop.set_yticks([])
    crop.set_title(f"2 / µm², {side / 10:g} x {side / 10:g} µm", fontsize=9)
    crop.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.0, 1.0), framealpha=0.8)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    print(f"figure: {path}")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--densities", type=float, nargs="+", default=list(DENSITIES))
    p.add_argument("--sigma", type=float, default=1.25, help="PSF sigma, pixels (default 1.25)")
    p.add_argument("--photons", type=float, nargs=2, default=[800.0, 6000.0])
    p.add_argument("--bg", type=float, default=20.0, help="background photons a pixel (default 20)")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--frames", type=int, default=None, help="frames per density (default: ~3000 emitters)")
    p.add_argument("--threads", type=int, default=None)
    p.add_argument("--repeats", type=int, default=3, help="time: best of this many runs")
    p.add_argument("--time-frames", type=int, default=100, help="frames of the timed movie of each density")
    p.add_argument("--modes", nargs="+", default=list(MODES), choices=list(MODES))
    p.add_argument("--mea-scan", action="store_true")
    p.add_argument("--pairs", action="store_true", help="close pairs and elongated spots against the shape margin")
    p.add_argument("--figure", default=None, help="draw Jaccard against density and a crop into this PNG")
    args = p.parse_args(argv)
    if args.mea_scan:
        return mea_scan(args)
    if args.pairs:
        return pairs(args)
    rows = run(args, args.densities, {m: MODES[m] for m in args.modes})
    print(f"crowded frames: {SHAPE[1]} x {SHAPE[0]} px of {PIXEL_NM:g} nm, PSF sigma {args.sigma} px, photons "
          f"{args.photons[0]:g}-{args.photons[1]:g}, background {args.bg:g}, seed {args.seed}, "
          f"threads {args.threads or os.cpu_count()}; load average {os.getloadavg()[0]:.2f}")
    print_rows(rows)
    if args.figure:
        draw(rows, args, Path(args.figure))
    return 0


if __name__ == "__main__":
    sys.exit(main())
