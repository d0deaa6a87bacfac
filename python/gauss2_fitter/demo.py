"""The fitter's main job end to end, on a synthetic field whose truth is known.

    python3 -m gauss2_fitter.demo [--size 2048] [--spots 20000] [--seed 1] [--out out]

Renders spots with the library's synth_image onto a background, adds Poisson
photon noise and Gaussian read noise (pixel values are photons), finds the
peak pixels, fits every peak with fit_peaks on all cores and compares the
fitted positions with the true ones. Prints a short report and writes
<out>/demo.png: a crop of the image with true and fitted positions, and the
distribution of position errors.

The expected error is that of a least-squares fit of a Gaussian limited by
photon statistics (Mortensen et al., Nature Methods 7, 377 (2010), eq. 6,
without the pixel-integration term, as the model samples pixel centres),
extended to an elliptical spot with correlation rho: along x,

    sigma_x^2 = 16/9 * s_x^2 / N  +  8 pi * s_x^3 * s_y * sqrt(1 - rho^2) * b^2 / N^2

with N the spot's photons (its volume, amp), s_x and s_y its widths and b^2
the variance of a background pixel (background photons + read noise^2);
likewise along y with x and y exchanged. It holds for spots that no
neighbour disturbs, so the report gives it beside the error of the
isolated spots and beside that of all matched spots.
"""

import argparse
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from . import fitter
from .peaks import detection_threshold, find_peaks

FIT_MEA = 11  # the fitted window
RENDER_MEA = 17  # rendered patches reach 4 sigma of the widest spots
MATCH_RADIUS = 2.0  # a found peak pixel's centre within this of a true spot matches it
ISOLATION = 10.0  # a spot is isolated when no other lies within this distance
CROWDED = 7.0  # and crowded when another lies within this one


@dataclass
class Field:
    im: np.ndarray  # observed image, photons
    truth: np.ndarray  # (n, 7) rendered peaks, image coordinates
    background: float
    read_noise: float


def render_field(size=2048, n_spots=20000, seed=1, background=100.0, read_noise=5.0):
    """A size x size field of n_spots spots of varied brightness (log-normal,
    median 2500 photons), widths (1 to 2 pixels along each axis) and
    correlation (|rho| <= 0.3), uniformly placed, on a flat background,
    with Poisson photon noise and Gaussian read noise."""
    rng = np.random.default_rng(seed)
    n = n_spots
    margin = RENDER_MEA // 2 + 1  # every spot's patch fits, so all are rendered
    truth = np.column_stack([
        rng.lognormal(np.log(2500.0), 0.6, n),
        rng.uniform(1.0, 2.0, n),
        rng.uniform(1.0, 2.0, n),
        rng.uniform(margin, size - margin, n),
        rng.uniform(margin, size - margin, n),
        rng.uniform(-0.3, 0.3, n),
        np.zeros(n),
    ])
    expected = fitter.synth_image(truth, (size, size), RENDER_MEA)
    expected += background
    im = rng.poisson(expected).astype(np.float64)
    im += rng.normal(0.0, read_noise, im.shape)
    return Field(im, truth, background, read_noise)


def expected_position_sd(truth, background_var):
    """Per-spot expected standard deviations (x, y) of the fitted position
    (the formula in this module's docstring)."""
    n_ph, sx, sy, rho = truth[:, 0], truth[:, 1], truth[:, 2], truth[:, 5]
    area = 8 * np.pi * sx * sy * np.sqrt(1 - rho**2) * background_var / n_ph**2
    var_x = 16 / 9 * sx**2 / n_ph + area * sx**2
    var_y = 16 / 9 * sy**2 / n_ph + area * sy**2
    return np.sqrt(var_x), np.sqrt(var_y)


def match(found_xy, true_xy, radius=MATCH_RADIUS):
    """Pairs (found index, true index): each found point to its nearest true
    point within `radius`, each true point claimed by its nearest found one."""
    from scipy.spatial import cKDTree

    if len(found_xy) == 0 or len(true_xy) == 0:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    d, j = cKDTree(true_xy).query(found_xy, distance_upper_bound=radius)
    i = np.flatnonzero(np.isfinite(d))
    i = i[np.argsort(d[i], kind="stable")]
    _, first = np.unique(j[i], return_index=True)
    i = np.sort(i[first])
    return i, j[i]


def isolated(true_xy, distance=ISOLATION):
    """True for the points with no other point within `distance`."""
    from scipy.spatial import cKDTree

    if len(true_xy) < 2:
        return np.ones(len(true_xy), dtype=bool)
    d, _ = cKDTree(true_xy).query(true_xy, k=2)
    return d[:, 1] > distance


def rms(a):
    return float(np.sqrt(np.mean(np.square(a)))) if len(a) else float("nan")


@dataclass
class Measurement:
    """What one run of the demo measured: the field, the peaks found and
    their fits, the matching with the true spots, the times and the figures
    of the report."""

    size: int
    n_spots: int
    seed: int
    n_threads: int
    field: Field
    threshold: float
    x: np.ndarray  # found peak pixels
    y: np.ndarray
    std: np.ndarray  # standard errors of the fits
    flag: np.ndarray
    fit_xy: np.ndarray  # fitted positions, image coordinates
    fi: np.ndarray  # matched pairs: found index, true index
    ti: np.ndarray
    err: np.ndarray  # fitted - true position of each pair
    expect: np.ndarray  # expected standard deviations of each pair
    sel_iso: np.ndarray  # pairs in the isolated-spot figures
    sel_all: np.ndarray  # pairs in the all-matched figures
    seconds: dict  # render, find, fit
    figures: dict


def measure(size=2048, n_spots=20000, seed=1, n_threads=None):
    """Renders the field, finds and fits its peaks, matches them with the
    true spots and returns the Measurement (nothing is printed)."""
    n_threads = n_threads or os.cpu_count() or 1
    t_start = time.perf_counter()
    field = render_field(size, n_spots, seed)
    t_rendered = time.perf_counter()

    threshold = detection_threshold(field.im)
    x, y = find_peaks(field.im, threshold=threshold, mea=FIT_MEA)
    t_found = time.perf_counter()

    rec, std, flag = fitter.fit_peaks(field.im, x, y, mea=FIT_MEA, n_threads=n_threads)
    t_fitted = time.perf_counter()
    fit_xy = np.column_stack([fitter.window_origin(x, FIT_MEA) + rec[:, 3],
                              fitter.window_origin(y, FIT_MEA) + rec[:, 4]])

    true_xy = field.truth[:, 3:5]
    fi, ti = match(np.column_stack([x + 0.5, y + 0.5]), true_xy)
    alone = isolated(true_xy)
    ok = flag[fi] == 0
    err = fit_xy[fi] - true_xy[ti]
    sd_x, sd_y = expected_position_sd(field.truth[ti], field.background + field.read_noise**2)
    expect = np.column_stack([sd_x, sd_y])
    sel_all = ok
    sel_iso = ok & alone[ti]

    off = sel_all & (np.hypot(err[:, 0], err[:, 1]) > 0.5)
    crowded = ~isolated(true_xy, CROWDED)
    fit_time = t_fitted - t_found
    figures = {
        "rendered": n_spots,
        "found": len(x),
        "fitted": int(np.count_nonzero(flag == 0)),
        "flagged": int(np.count_nonzero(flag)),
        "flagged_near": int(np.count_nonzero(flagged_kinds(fit_xy, flag, true_xy)[0])),
        "fits_per_s": len(x) / fit_time if fit_time > 0 else float("inf"),
        "matched": len(fi),
        "isolated_found": float(np.count_nonzero(alone[ti]) / max(np.count_nonzero(alone), 1)),
        "rms_iso": rms(err[sel_iso]),
        "expected_iso": rms(expect[sel_iso]),
        "rms_all": rms(err[sel_all]),
        "expected_all": rms(expect[sel_all]),
        "median_abs_all": float(np.median(np.abs(err[sel_all]))) if sel_all.any() else float("nan"),
        "off_all": int(np.count_nonzero(off)),
        "off_crowded": float(np.count_nonzero(off & crowded[ti]) / max(np.count_nonzero(off), 1)),
        "se_iso": rms(std[fi][sel_iso][:, 3:5]),
    }
    seconds = {"render": t_rendered - t_start, "find": t_found - t_rendered, "fit": fit_time}
    return Measurement(size, n_spots, seed, n_threads, field, threshold, x, y, std, flag, fit_xy, fi, ti, err,
                       expect, sel_iso, sel_all, seconds, figures)


def report(m, stream=sys.stdout):
    """Writes the report of the Measurement `m` to `stream`."""
    figures, field = m.figures, m.field
    n_found, n_matched = len(m.x), len(m.fi)
    pct = lambda a, b: 100.0 * a / b if b else 0.0  # noqa: E731
    w = stream.write
    w(f"gauss2_fitter demo: {m.size} x {m.size} photons, seed {m.seed}, {m.n_threads} thread(s)\n")
    w(f"  rendered  {m.n_spots:7d} spots (synth_image): 2500 photons median (log-normal), widths 1-2 px,\n"
      f"                    |rho| <= 0.3, background {field.background:g}, Poisson + read noise {field.read_noise:g}\n")
    w(f"  found     {n_found:7d} peak pixels ({pct(n_found, m.n_spots):.1f} %; "
      f"{100 * figures['isolated_found']:.1f} % of the isolated spots), threshold {m.threshold:.1f}\n")
    w(f"  fitted    {figures['fitted']:7d} with fit_peaks, {FIT_MEA} x {FIT_MEA} patches: {m.seconds['fit']:.2f} s, "
      f"{figures['fits_per_s']:,.0f} fits/s\n")
    w(f"  flagged   {figures['flagged']:7d} ({pct(figures['flagged'], n_found):.1f} %): "
      f"{figures['flagged_near']} fitted within {MATCH_RADIUS:g} px of a true spot, "
      f"{figures['flagged'] - figures['flagged_near']} with none there\n")
    w(f"  matched   {n_matched:7d} found -> true within {MATCH_RADIUS:g} px\n")
    w("position error, fitted - true, per axis RMS (unflagged matched spots):\n")
    w(f"  isolated (no spot within {ISOLATION:g} px) {np.count_nonzero(m.sel_iso):6d}  "
      f"{figures['rms_iso']:.4f} px   expected {figures['expected_iso']:.4f} px"
      f"   fit's own std. error {figures['se_iso']:.4f} px\n")
    w(f"  all matched                     {np.count_nonzero(m.sel_all):6d}  {figures['rms_all']:.4f} px   "
      f"expected {figures['expected_all']:.4f} px   median |error| {figures['median_abs_all']:.4f} px\n"
      f"                                  {figures['off_all']:6d} of them more than 0.5 px off, "
      f"{100 * figures['off_crowded']:.0f} % of those with another spot within {CROWDED:g} px\n")
    w("  expected: sigma_x^2 = 16/9 s_x^2/N + 8 pi s_x^3 s_y sqrt(1-rho^2) b^2/N^2, b^2 = background + read noise^2\n"
      "            (least-squares fit, photon statistics; neighbours inside a patch add to the error of "
      "crowded spots)\n")


def run(size=2048, n_spots=20000, seed=1, n_threads=None, out="out", picture=True, stream=sys.stdout):
    """Runs the demo: measures, prints the report to `stream`, writes the
    picture, and returns the report's figures."""
    t_start = time.perf_counter()
    m = measure(size, n_spots, seed, n_threads)
    report(m, stream)
    if picture:
        path = Path(out) / "demo.png"
        write_picture(path, m.field, m.x, m.y, m.fit_xy, m.flag, m.fi, m.ti, m.err, m.expect, m.sel_iso,
                      m.sel_all)
        stream.write(f"picture: {path}\n")
    stream.write(f"total {time.perf_counter() - t_start:.1f} s (render {m.seconds['render']:.1f} s, "
                 f"find {m.seconds['find']:.1f} s, fit {m.seconds['fit']:.1f} s)\n")
    return m.figures


def beyond(errors, span):
    """The share of `errors` outside [-span, span], as a percentage text."""
    if not len(errors):
        return "none"
    share = 100.0 * np.count_nonzero(np.abs(errors) > span) / len(errors)
    return f"{share:.1f} %" if share >= 0.1 or share == 0 else "< 0.1 %"


def flagged_kinds(fit_xy, flag, true_xy, radius=MATCH_RADIUS):
    """Masks of the flagged fits whose fitted position has a true spot
    within `radius`, and of those that have none (a position that is not
    finite has none)."""
    from scipy.spatial import cKDTree

    flagged = flag != 0
    near = np.zeros(len(flag), dtype=bool)
    ok = flagged & np.all(np.isfinite(fit_xy), axis=1)
    if ok.any() and len(true_xy):
        d, _ = cKDTree(true_xy).query(fit_xy[ok], distance_upper_bound=radius)
        near[np.flatnonzero(ok)] = np.isfinite(d)
    return near, flagged & ~near


def write_picture(path, field, x, y, fit_xy, flag, fi, ti, err, expect, sel_iso, sel_all):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    path.parent.mkdir(parents=True, exist_ok=True)
    fig, (ax_im, ax_h) = plt.subplots(1, 2, figsize=(13, 6), gridspec_kw={"width_ratios": [1, 1.1]})

    size = field.im.shape[0]
    side = min(96, size)
    lo = (size - side) // 2
    crop = field.im[lo:lo + side, lo:lo + side]
    v0, v1 = np.percentile(crop, [1, 99.7])
    ax_im.imshow(crop, cmap="gray", vmin=v0, vmax=v1, extent=(lo, lo + side, lo + side, lo), interpolation="nearest")

    def inside(xy):
        return (xy[:, 0] >= lo) & (xy[:, 0] < lo + side) & (xy[:, 1] >= lo) & (xy[:, 1] < lo + side)

    t = field.truth[:, 3:5]
    t = t[inside(t)]
    good = fit_xy[(flag == 0) & inside(fit_xy)]
    ax_im.scatter(t[:, 0], t[:, 1], s=70, facecolors="none", edgecolors="deepskyblue", linewidths=1.2, label="true")
    ax_im.scatter(good[:, 0], good[:, 1], s=40, marker="+", color="red", linewidths=1.2, label="fitted")
    # Flagged fits, told apart by whether their fitted position has a true
    # spot near it (a fit stopped on a real, mostly crowded, spot) or none
    # (a fit that wandered off, or a peak of noise or of a neighbour's tail).
    near, alone = flagged_kinds(fit_xy, flag, field.truth[:, 3:5])
    for sel, style in ((near, dict(marker="x", color="gold", label=f"flagged, a true spot within {MATCH_RADIUS:g} px")),
                       (alone, dict(marker="D", facecolors="none", edgecolors="magenta",
                                    label=f"flagged, no true spot within {MATCH_RADIUS:g} px"))):
        xy = fit_xy[sel]
        xy = xy[inside(xy)]
        if len(xy):
            ax_im.scatter(xy[:, 0], xy[:, 1], s=30, linewidths=1.2, **style)
    ax_im.set_xlim(lo, lo + side)
    ax_im.set_ylim(lo + side, lo)
    ax_im.set_title(f"crop of the {size} x {size} image (pixel (x, y) spans [x, x+1) x [y, y+1))", fontsize=10)
    ax_im.legend(loc="upper right", fontsize=8, framealpha=0.8)

    span = 0.5
    bins = np.linspace(-span, span, 101)
    e_all = err[sel_all].ravel()
    e_iso = err[sel_iso].ravel()
    ax_h.hist(e_all, bins=bins, histtype="step", color="gray",
              label=f"all matched ({len(e_all) // 2}): {beyond(e_all, span)} beyond ±{span:g} px")
    ax_h.hist(e_iso, bins=bins, histtype="stepfilled", alpha=0.5, color="tab:blue",
              label=f"isolated ({len(e_iso) // 2}): {beyond(e_iso, span)} beyond ±{span:g} px")
    # Expected distribution of the isolated spots: a mixture of their normals.
    sd = expect[sel_iso].ravel()
    if len(sd):
        grid = np.linspace(-span, span, 401)
        dens = np.mean(np.exp(-0.5 * (grid[:, None] / sd[None, :]) ** 2) / (np.sqrt(2 * np.pi) * sd[None, :]), axis=1)
        ax_h.plot(grid, dens * len(e_iso) * (bins[1] - bins[0]), color="tab:red", label="expected, photon statistics")
    ax_h.set_yscale("log")
    ax_h.set_xlabel("fitted - true position, x and y (pixels)")
    ax_h.set_ylabel("count")
    ax_h.set_title(f"position errors: RMS {rms(err[sel_iso]):.3f} px isolated, expected {rms(sd):.3f} px",
                   fontsize=10)
    ax_h.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def add_arguments(parser):
    parser.add_argument("--size", type=int, default=2048, help="image side in pixels (default 2048)")
    parser.add_argument("--spots", type=int, default=20000, help="spots to render (default 20000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--threads", type=int, default=None, help="fit threads (default: all cores)")
    parser.add_argument("--out", default="out", help="directory for demo.png (default out)")
    parser.add_argument("--no-picture", action="store_true", help="skip the picture")


MAX_SIZE = 16384  # a 2 GiB image, rendered and copied a few times
MAX_SPOTS = 10_000_000
MAX_THREADS = 1024


def check_arguments(args):
    """Raises ValueError with a one-line message for an argument out of range."""
    low = 2 * (RENDER_MEA // 2 + 1) + 1
    if not low <= args.size <= MAX_SIZE:
        raise ValueError(f"--size must be from {low} to {MAX_SIZE}, got {args.size}")
    if not 0 <= args.spots <= MAX_SPOTS:
        raise ValueError(f"--spots must be from 0 to {MAX_SPOTS}, got {args.spots}")
    if args.seed < 0:
        raise ValueError(f"--seed must be at least 0, got {args.seed}")
    if args.threads is not None and not 1 <= args.threads <= MAX_THREADS:
        raise ValueError(f"--threads must be from 1 to {MAX_THREADS}, got {args.threads}")


def run_with_args(args):
    run(args.size, args.spots, args.seed, args.threads, args.out, picture=not args.no_picture)
    return 0


def main_with_args(args):
    try:
        check_arguments(args)
    except ValueError as e:
        raise SystemExit(f"python3 -m gauss2_fitter.demo: error: {e}") from None
    return run_with_args(args)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m gauss2_fitter.demo", description=__doc__.split("\n")[0])
    add_arguments(parser)
    return main_with_args(parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
