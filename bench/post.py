"""After the fit: drift correction, linking, NeNA and FRC against a known truth, and their time beside localising.

A blinking structure (rings, lines 100 nm apart and a diagonal, sites 100
nm apart along each, on a 128 x 128 field of 100 nm pixels) drifts by a
straight line (300 nm along x, -200 nm along y over the run) plus a slow
wobble (30 and 25 nm). Each site starts blinks at random (about 5 emitters
on in a frame), each blink lasting a geometric number of frames (mean 3)
with log-normal photons (median 1500) that vary a little from frame to
frame; 5 % of a blink's frames are missed. A localisation's precision is
the least-squares bound of a Gaussian spot (sigma 130 nm on 100 nm pixels,
background 20 photons a pixel) at its photons.

Two paths:

  table   the localisation table simulated directly from the known
          positions, drift and precisions (no fitting): drift error RMS
          against the true drift, events against the true blinks (and any
          event joining emitters more than 3 x their precision apart), NeNA
          against the true mean precision, the FRC resolution, each step's
          time;
  movie   the same acquisition rendered as a uint16 TIFF in camera counts
          (Poisson photons, read noise) and localised with `localize`
          (Poisson MLE, all threads), then corrected, linked and measured:
          each step's time against localising the movie.

Targets: drift <= 5 nm RMS; events within 5 % of the blinks, none joining
emitters > 3 x precision apart; NeNA within 15 % of the true mean precision;
drift correction <= 3 x the localisation time, linking and NeNA <= 1 x.

    /usr/bin/python3 bench/post.py [--frames 6000] [--repeats 3] [--no-movie] [--picture docs/drift.png]
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))

import gauss2_fitter as g2  # noqa: E402
from gauss2_fitter.schema import with_nm_columns  # noqa: E402
from workload import best_rate  # noqa: E402

PIXEL_NM = 100.0
SIZE = 128
PSF = 1.3  # pixels
BACKGROUND = 20.0  # photons per pixel
PHOTONS = 1500.0
ON_PER_FRAME = 5.0
MEAN_ON = 3.0  # frames a blink lasts, on average
MISSED = 0.05  # share of a blink's frames without a localisation
CAMERA = g2.Camera(baseline=100.0, sensitivity=0.5, read_noise=1.5, pixel_size=PIXEL_NM)


def structure(rng):
    """Sites (n, 2), pixels: rings, two lines 1 px apart, a diagonal; 1 px
    (100 nm) between neighbours along each."""
    sites = []
    for cx, cy, r in [(0.25, 0.25, 3), (0.7, 0.3, 4), (0.3, 0.7, 5), (0.72, 0.72, 3.5), (0.5, 0.5, 6)]:
        t = np.linspace(0, 2 * np.pi, int(2 * np.pi * r), endpoint=False)
        sites.append(np.column_stack([cx * SIZE + r * np.cos(t), cy * SIZE + r * np.sin(t)]))
    s = np.arange(0, 0.6 * SIZE, 1.0)
    for off in (0.0, 1.0):
        sites.append(np.column_stack([0.2 * SIZE + s, 0.1 * SIZE + off + 0 * s]))
    u = np.arange(-0.35 * SIZE, 0.35 * SIZE, 1.0)
    sites.append(np.column_stack([SIZE / 2 + u * 0.8, SIZE / 2 + u * 0.6 + 3]))
    xy = np.concatenate(sites)
    return xy + rng.normal(0, 0.02, xy.shape)  # a little label jitter


def true_drift(n_frames):
    """(dx, dy) per frame, pixels: a line plus a slow wobble, zero at frame 0."""
    t = np.arange(n_frames) / n_frames
    dx = (300 * t + 30 * np.sin(2 * np.pi * t)) / PIXEL_NM
    dy = (-200 * t + 25 * (np.sin(3 * np.pi * t + 1) - np.sin(1))) / PIXEL_NM
    return dx, dy


def precision(photons):
    """The least-squares bound of a Gaussian spot's position, pixels."""
    s2 = PSF**2 + 1 / 12
    return np.sqrt(s2 / photons * (16 / 9 + 8 * np.pi * s2 * BACKGROUND / photons))


def simulate(n_frames, seed):
    """The acquisition: sites, and per localisation its frame, site, blink,
    photons and true position without drift and noise."""
    rng = np.random.default_rng(seed)
    sites = structure(rng)
    n_sites = len(sites)
    start_f, site = np.nonzero(rng.random((n_frames, n_sites)) < ON_PER_FRAME / MEAN_ON / n_sites)
    length = rng.geometric(1 / MEAN_ON, len(start_f))
    blink = np.repeat(np.arange(len(start_f)), length)
    frame = start_f[blink] + (np.arange(len(blink)) - np.repeat(np.cumsum(length) - length, length))
    keep = (frame < n_frames) & (rng.random(len(frame)) >= MISSED)
    blink, frame = blink[keep], frame[keep]
    photons = rng.lognormal(np.log(PHOTONS), 0.4, len(start_f))[blink] * rng.lognormal(0, 0.1, len(blink))
    order = np.argsort(frame, kind="stable")
    blink, frame, photons = blink[order], frame[order], photons[order]
    return {"sites": sites, "frame": frame, "site": site[blink], "blink": blink, "photons": photons,
            "n_frames": n_frames}


def table_of(sim, seed):
    """The localisation table of the acquisition, drifted, with noise of
    each localisation's precision, in this package's columns."""
    rng = np.random.default_rng(seed + 1)
    dx, dy = true_drift(sim["n_frames"])
    f, xy = sim["frame"], sim["sites"][sim["site"]]
    sigma = precision(sim["photons"])
    n = len(f)
    locs = pd.DataFrame({
        "frame": f, "x": xy[:, 0] + dx[f] + rng.normal(0, 1, n) * sigma,
        "y": xy[:, 1] + dy[f] + rng.normal(0, 1, n) * sigma, "photons": sim["photons"], "sx": PSF, "sy": PSF,
        "rho": 0.0, "bg": BACKGROUND, "lpx": sigma, "lpy": sigma, "photons_se": np.sqrt(sim["photons"]),
        "sx_se": 0.01, "sy_se": 0.01, "bg_se": 0.5, "goodness": 0.0, "iterations": np.int32(5), "flag": np.int8(0)})
    with_nm_columns(locs, PIXEL_NM)
    g2.RunMetadata(pixel_size=PIXEL_NM, height=SIZE, width=SIZE).attach(locs)
    return locs, sigma


def write_movie(path, sim, seed):
    """The acquisition as a uint16 TIFF in camera counts, frame by frame."""
    import tifffile

    rng = np.random.default_rng(seed + 2)
    dx, dy = true_drift(sim["n_frames"])
    f = sim["frame"]
    bounds = np.searchsorted(f, np.arange(sim["n_frames"] + 1))
    xy = sim["sites"][sim["site"]] + np.column_stack([dx[f], dy[f]])

    def frames():
        for k in range(sim["n_frames"]):
            a, b = bounds[k], bounds[k + 1]
            spots = np.column_stack([sim["photons"][a:b], np.full(b - a, PSF), np.full(b - a, PSF), xy[a:b, 0],
                                     xy[a:b, 1], np.zeros(b - a), np.zeros(b - a)])
            electrons = rng.poisson(g2.synth_image(spots, (SIZE, SIZE), 15) + BACKGROUND) \
                + rng.normal(0, CAMERA.read_noise, (SIZE, SIZE))
            yield np.clip(electrons / CAMERA.sensitivity + CAMERA.baseline, 0, 65535).astype(np.uint16)

    tifffile.imwrite(path, frames(), shape=(sim["n_frames"], SIZE, SIZE), dtype=np.uint16)


def best_time(fn, repeats):
    return 1.0 / best_rate(fn, 1, repeats)


def drift_error(drift, n_frames):
    """RMS (nm) along x, y and in the plane of the measured drift less the
    true one, over the frames it covers, after taking out their mean (the
    drift's origin is a choice; a constant shift of the whole table is no
    error)."""
    tx, ty = true_drift(n_frames)
    ex = drift.dx.to_numpy() - tx[drift.index]
    ey = drift.dy.to_numpy() - ty[drift.index]
    ex, ey = (ex - ex.mean()) * PIXEL_NM, (ey - ey.mean()) * PIXEL_NM
    return np.sqrt(np.mean(ex**2)), np.sqrt(np.mean(ey**2)), np.sqrt(np.mean(ex**2 + ey**2))


def impure_events(labels, sim, sigma):
    """Events joining emitters further apart than 3 x their precision (the
    mean of the true precisions of the event's localisations)."""
    site = sim["site"]
    order = np.lexsort((site, labels))
    lab, st = labels[order], site[order]
    mixed = np.unique(lab[np.r_[False, (lab[1:] == lab[:-1]) & (st[1:] != st[:-1])]])
    bad = 0
    for e in mixed:
        rows = np.flatnonzero(labels == e)
        xy = sim["sites"][np.unique(site[rows])]
        span = np.max(np.hypot(*(xy[:, None, :] - xy[None, :, :]).transpose(2, 0, 1)))
        bad += span > 3 * sigma[rows].mean()
    return len(mixed), bad


def movie_errors(locs, sim):
    """The position errors (nm, x and y) of the movie's unflagged
    localisations matched to an emitter on in their frame within 1 px (the
    band trick of link.py: one k-d tree over all frames)."""
    from scipy.spatial import cKDTree

    dx, dy = true_drift(sim["n_frames"])
    f = sim["frame"]
    tx, ty = sim["sites"][sim["site"], 0] + dx[f], sim["sites"][sim["site"], 1] + dy[f]
    good = locs[locs.flag == 0]
    band = 3.0 * SIZE
    tree = cKDTree(np.column_stack([tx, ty + f * band]))
    d, k = tree.query(np.column_stack([good.x, good.y + good.frame * band]), distance_upper_bound=1.0)
    hit = np.isfinite(d)
    return (good.x.to_numpy()[hit] - tx[k[hit]]) * PIXEL_NM, (good.y.to_numpy()[hit] - ty[k[hit]]) * PIXEL_NM


def post_report(locs, sim, sigma, repeats, label):
    """Runs the four steps on a table; prints their figures and times."""
    from gauss2_fitter.link import link_labels

    t_drift = best_time(lambda: g2.correct_drift(locs), repeats)
    fixed, drift = g2.correct_drift(locs)
    rx, ry, rxy = drift_error(drift, sim["n_frames"])
    a = drift.attrs
    print(f"  drift      RMS error x {rx:.2f} nm, y {ry:.2f} nm, in the plane {rxy:.2f} nm   (target <= 5 nm; "
          f"true drift up to {np.hypot(*true_drift(sim['n_frames'])).max() * PIXEL_NM:.0f} nm; {a['segments']} "
          f"segments, {a['pairs_used']} of {a['pairs']} pairs, bins {a['bin_size'] * PIXEL_NM:.1f} nm)  "
          f"{t_drift:.2f} s")
    t_link = best_time(lambda: g2.link(fixed), repeats)
    events = g2.link(fixed)
    out = {"drift": t_drift, "link": t_link, "fixed": fixed, "drift_table": drift}
    if sigma is not None:
        blinks = len(np.unique(sim["blink"]))
        labels, _ = link_labels(fixed.x.to_numpy(), fixed.y.to_numpy(), fixed.frame.to_numpy(), None,
                                np.sqrt((fixed.lpx.to_numpy() ** 2 + fixed.lpy.to_numpy() ** 2) / 2))
        mixed, bad = impure_events(labels, sim, sigma)
        print(f"  link       {len(events)} events for {blinks} true blinks: {len(events) / blinks - 1:+.2%}   "
              f"(target within 5 %); {mixed} join two sites, {bad} of them more than 3 x precision apart "
              f"(target 0)  {t_link:.2f} s")
    else:
        blinks = len(np.unique(sim["blink"]))
        print(f"  link       {len(events)} events from {len(fixed)} localisations, for {blinks} true blinks: "
              f"{len(events) / blinks - 1:+.2%} (the fits also split and merge spots)  {t_link:.2f} s")
    t_nena = best_time(lambda: g2.nena(fixed), repeats)
    r = g2.nena(fixed)
    classic = g2.nena(fixed, classic=True)
    if sigma is not None:
        true = sigma.mean() * PIXEL_NM
        print(f"  NeNA       {r.precision_nm:.2f} nm against the true mean precision {true:.2f} nm: "
              f"{r.precision_nm / true - 1:+.1%}   (target within 15 %; the classic one-precision fit "
              f"{classic.precision_nm:.2f} nm, {classic.precision_nm / true - 1:+.1%})  {t_nena:.2f} s")
    else:
        ex, ey = movie_errors(locs, sim)
        rms = np.sqrt((np.mean(ex**2) + np.mean(ey**2)) / 2)
        sd = np.mean([1.4826 * np.median(np.abs(e - np.median(e))) for e in (ex, ey)])
        print(f"  NeNA       {r.precision_nm:.2f} nm against the localisations' errors, {len(ex)} matched to the truth "
              f"within 1 px: robust sd {sd:.2f} nm ({r.precision_nm / sd - 1:+.1%}), RMS {rms:.2f} nm (crowded "
              f"spots' misfits weigh on it); median reported "
              f"precision {np.median(fixed.lpx_nm[fixed.flag == 0]):.2f} nm; classic fit "
              f"{classic.precision_nm:.2f} nm  {t_nena:.2f} s")
    t_frc = best_time(lambda: g2.frc(fixed), repeats)
    f = g2.frc(fixed)
    print(f"  FRC        resolution {f.resolution_nm:.1f} nm (bins {f.bin_size * PIXEL_NM:.1f} nm)  {t_frc:.2f} s")
    out.update(nena=t_nena, frc=t_frc)
    return out


def picture(path, locs, fixed, drift, sim):
    """Before and after: a crop of the structure rendered from the drifted
    and the corrected table, and the measured drift against the truth."""
    from matplotlib.figure import Figure

    from gauss2_fitter._post import save_figure

    x0, y0, side = 78.0, 8.0, 34  # the two lines 100 nm apart and a ring of 400 nm radius
    fig = Figure(figsize=(10.5, 3.4), dpi=80, layout="constrained")
    axes = fig.subplots(1, 3, gridspec_kw={"width_ratios": [1, 1, 1.4]})
    for ax, table, title in ((axes[0], locs, "before"), (axes[1], fixed, "after drift correction")):
        crop = table[(table.x > x0) & (table.x < x0 + side) & (table.y > y0) & (table.y < y0 + side)]
        sr = g2.render_localizations({"x": crop.x - x0, "y": crop.y - y0, "lpx": crop.lpx, "lpy": crop.lpy},
                                     oversampling=8, shape=(side, side))
        ax.imshow(sr, cmap="hot", vmax=np.percentile(sr[sr > 0], 99.5), interpolation="nearest")
        ax.set_title(f"{title} ({side * PIXEL_NM / 1000:.1f} µm)")
        ax.set_axis_off()
    tx, ty = true_drift(sim["n_frames"])
    ax = axes[2]
    fr = drift.index.to_numpy()
    for c, truth, colour in (("dx", tx, "tab:blue"), ("dy", ty, "tab:orange")):
        est = drift[c].to_numpy()
        ax.plot(fr, (truth[fr] - truth[fr].mean()) * PIXEL_NM, color="0.6", lw=3)
        ax.plot(fr, (est - est.mean()) * PIXEL_NM, color=colour, lw=1, label=f"{c} measured")
    ax.plot([], [], color="0.6", lw=3, label="true")
    ax.set_xlabel("frame")
    ax.set_ylabel("drift (nm, mean taken out)")
    ax.legend(fontsize=8)
    save_figure(fig, path)
    print(f"picture: {path} ({Path(path).stat().st_size / 1024:.0f} KiB)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--frames", type=int, default=6000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeats", type=int, default=3, help="best of this many runs for each time")
    ap.add_argument("--no-movie", action="store_true", help="the table path only")
    ap.add_argument("--picture", default=None, help="write the before/after picture here (.png)")
    args = ap.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores at the start")
    sim = simulate(args.frames, args.seed)
    locs, sigma = table_of(sim, args.seed)
    print(f"acquisition: {args.frames} frames of {SIZE} x {SIZE} px of {PIXEL_NM:g} nm, {len(sim['sites'])} sites, "
          f"{len(np.unique(sim['blink']))} blinks, {len(locs)} localisations, true mean precision "
          f"{sigma.mean() * PIXEL_NM:.2f} nm")
    print("table path (simulated from the truth):")
    res = post_report(locs, sim, sigma, args.repeats, "table")
    if args.picture:
        picture(args.picture, locs, res["fixed"], res["drift_table"], sim)
    if not args.no_movie:
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "post_bench.tif"
            t = time.perf_counter()
            write_movie(path, sim, args.seed)
            print(f"movie path: {path.name} written in {time.perf_counter() - t:.1f} s "
                  f"({path.stat().st_size / 1e6:.0f} MB)")
            t_loc = best_time(lambda: g2.localize(path, camera=CAMERA), max(1, args.repeats - 1))
            movie_locs = g2.localize(path, camera=CAMERA)
            good = int((movie_locs.flag == 0).sum())
            print(f"  localise   {len(movie_locs)} localisations ({good} unflagged), Poisson MLE, "
                  f"{os.cpu_count()} threads  {t_loc:.2f} s")
            m = post_report(movie_locs, sim, None, args.repeats, "movie")
            print(f"  time against localising: drift {m['drift'] / t_loc:.2f}x (target <= 3), link "
                  f"{m['link'] / t_loc:.2f}x (target <= 1), NeNA {m['nena'] / t_loc:.2f}x (target <= 1), "
                  f"FRC {m['frc'] / t_loc:.2f}x")
    print(f"load average {os.getloadavg()[0]:.2f} at the end; times are the best of {args.repeats} runs")


if __name__ == "__main__":
    main()
