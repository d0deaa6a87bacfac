"""A camera movie end to end: a blinking synthetic structure localised into a table and a picture.

    python3 -m gauss2_fitter.movie_demo [--frames 1000] [--size 128] [--seed 2] [--out out]

The structure: rings of 100 to 300 nm radius and lines, two of them 100 nm
apart (closer than the optics resolve), on a 100 nm camera grid. In every
frame a random few percent of its sites blink on (about 12 emitters a
frame, log-normal brightness around 1500 photons, Gaussian spots of 130 nm
sigma on a background of 20 photons a pixel); photons become
photo-electrons (quantum efficiency 0.9, Poisson), read noise is added (1.5
e-) and the frames are stored as a uint16 TIFF in camera counts (baseline
100 ADU, 0.45 e-/ADU). That file is localised with `localize` and the
camera's settings, with the maximum-likelihood estimator, and rendered.

Reported: localisations, those matched to an emitter that was on (within
1 pixel), their position error (RMS) next to the median Cramer-Rao bound of
the matched spots (computed from the true spots: Poisson photo-electrons
plus read noise, 11 x 11 window), the median reported precision (lpx), and
fits and frames per second of the whole run from the file. Writes
<out>/movie_demo.tif (the movie) and <out>/movie_demo.png: the summed
widefield image, the super-resolution picture (each localisation drawn at
its reported precision) and the ground truth, side by side.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from . import fitter
from .camera import Camera

PIXEL_NM = 100.0
PSF_SIGMA = 1.3  # pixels
BACKGROUND = 20.0  # photons per pixel
PHOTONS = 1500.0  # median per blink
EMITTERS = 12.0  # on per frame, on average
CAMERA = Camera(baseline=100.0, sensitivity=0.45, em_gain=1.0, qe=0.9, read_noise=1.5, pixel_size=PIXEL_NM)
MEA = 11
OVERSAMPLING = 8


def structure(size, rng):
    """Emitter sites (n, 2), image coordinates: rings and lines."""
    sites = []
    c = size / 2
    for (cx, cy), r in zip([(0.3, 0.3), (0.7, 0.28), (0.28, 0.72), (0.72, 0.7), (0.5, 0.86)],
                           [1.0, 1.5, 2.0, 2.5, 3.0]):
        t = np.linspace(0, 2 * np.pi, 32, endpoint=False)
        sites.append(np.column_stack([cx * size + r * np.cos(t), cy * size + r * np.sin(t)]))
    # Two parallel lines 1 pixel (100 nm) apart, and a crossing pair.
    s = np.arange(0, 0.6 * size, 0.5)
    for off in (0.0, 1.0):
        sites.append(np.column_stack([0.2 * size + s, 0.1 * size + off + 0 * s]))
    u = np.arange(-0.35 * size, 0.35 * size, 0.5)
    sites.append(np.column_stack([c + u * 0.8, c + u * 0.6]))
    sites.append(np.column_stack([c + u * 0.6, c - u * 0.8]))
    xy = np.concatenate(sites)
    margin = 8
    keep = np.all((xy > margin) & (xy < size - margin), axis=1)
    return xy[keep] + rng.normal(0, 0.02, xy[keep].shape)  # a little label jitter


def make_movie(path, n_frames, size, seed):
    """Writes the movie; returns (sites, on): on is a list of (frame, site
    indices, photons) of the emitters on in each frame."""
    import tifffile

    rng = np.random.default_rng(seed)
    sites = structure(size, rng)
    p_on = EMITTERS / len(sites)
    events = []

    def frames():
        for f in range(n_frames):
            idx = np.flatnonzero(rng.random(len(sites)) < p_on)
            photons = rng.lognormal(np.log(PHOTONS), 0.4, len(idx))
            events.append((f, idx, photons))
            k = len(idx)
            spots = np.column_stack([photons, np.full(k, PSF_SIGMA), np.full(k, PSF_SIGMA), sites[idx, 0],
                                     sites[idx, 1], np.zeros(k), np.zeros(k)])
            expected = fitter.synth_image(spots, (size, size), 15) + BACKGROUND
            electrons = rng.poisson(expected * CAMERA.qe) + rng.normal(0, CAMERA.read_noise, expected.shape)
            adu = electrons / CAMERA.electrons_per_adu + CAMERA.baseline
            yield np.clip(np.round(adu), 0, 65535).astype(np.uint16)

    tifffile.imwrite(path, frames(), shape=(n_frames, size, size), dtype=np.uint16, photometric="minisblack")
    return sites, events


def crlb_x(photons, x, y):
    """Cramer-Rao bound of x (pixels) for spots of `photons` at (x, y), in
    an 11 x 11 window around the pixel holding each: Poisson photo-electrons
    plus the camera's read noise."""
    out = np.empty(len(photons))
    for i, (n, px, py) in enumerate(zip(photons, x, y)):
        p = [n * CAMERA.qe, PSF_SIGMA, PSF_SIGMA, px - np.floor(px) + MEA // 2, py - np.floor(py) + MEA // 2, 0.0,
             BACKGROUND * CAMERA.qe]
        mu = fitter.gauss_2d(p, MEA).ravel()
        jac = fitter.jac_gauss_2d(p, MEA)
        info = jac.T @ (jac / (mu + CAMERA.read_noise**2)[:, None])
        out[i] = np.sqrt(np.linalg.inv(info)[3, 3])
    return out


def match(locs, sites, events):
    """For each unflagged localisation, the nearest emitter that was on in
    its frame, within 1 pixel: (rows, true xy, photons, isolated), isolated
    when no other emitter was on within 6 pixels of it."""
    by_frame = {f: (idx, ph) for f, idx, ph in events}
    rows, true_xy, photons, isolated = [], [], [], []
    good = locs[locs.flag == 0]
    for f, grp in good.groupby("frame"):
        idx, ph = by_frame[f]
        if not len(idx):
            continue
        d = np.hypot(grp.x.to_numpy()[:, None] - sites[idx, 0][None], grp.y.to_numpy()[:, None] - sites[idx, 1][None])
        j = d.argmin(axis=1)
        ok = d[np.arange(len(j)), j] < 1.0
        on = sites[idx]
        crowd = np.hypot(on[:, None, 0] - on[None, :, 0], on[:, None, 1] - on[None, :, 1]) < 6.0
        rows.append(grp.index.to_numpy()[ok])
        true_xy.append(on[j[ok]])
        photons.append(ph[j[ok]])
        isolated.append(crowd.sum(axis=1)[j[ok]] == 1)
    if not rows:
        return np.zeros(0, int), np.zeros((0, 2)), np.zeros(0), np.zeros(0, bool)
    return np.concatenate(rows), np.concatenate(true_xy), np.concatenate(photons), np.concatenate(isolated)


def run(n_frames=1000, size=128, seed=2, out="out", n_threads=None, stream=sys.stdout):
    from .localization import localize
    from .render import render_localizations

    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    movie = out / "movie_demo.tif"
    t = time.perf_counter()
    sites, events = make_movie(movie, n_frames, size, seed)
    t_make = time.perf_counter() - t
    n_on = sum(len(e[1]) for e in events)
    t = time.perf_counter()
    locs = localize(movie, camera=CAMERA, estimator="mle", n_threads=n_threads)
    t_loc = time.perf_counter() - t
    rows, true_xy, photons, iso = match(locs, sites, events)
    err = locs.loc[rows, ["x", "y"]].to_numpy() - true_xy
    rng = np.random.default_rng(0)
    sample = rng.permutation(np.flatnonzero(iso))[:3000]
    crlb = crlb_x(photons[sample], true_xy[sample, 0], true_xy[sample, 1])
    lpx = locs.loc[rows, "lpx"].to_numpy()
    good = int((locs.flag == 0).sum())

    p = lambda *a: print(*a, file=stream)  # noqa: E731
    p(f"gauss2_fitter movie demo: {n_frames} frames of {size} x {size}, {PIXEL_NM:g} nm pixels, seed {seed}")
    p(f"  movie      {len(sites)} sites on rings and lines; {n_on} blinks ({n_on / n_frames:.1f} a frame), "
      f"{PHOTONS:g} photons median, PSF sigma {PSF_SIGMA * PIXEL_NM:g} nm, background {BACKGROUND:g}")
    p(f"             camera counts: baseline {CAMERA.baseline:g} ADU, {CAMERA.sensitivity:g} e-/ADU, qe "
      f"{CAMERA.qe:g}, read noise {CAMERA.read_noise:g} e-  -> {movie} ({t_make:.1f} s)")
    p(f"  localised  {len(locs)} localisations, {good} unflagged, with the Poisson MLE:"
      f" {t_loc:.2f} s from the file, {len(locs) / t_loc:,.0f} fits/s ({n_frames / t_loc:,.0f} frames/s)")
    p(f"  matched    {len(rows)} to an emitter that was on (within 1 px); "
      f"{len(rows) / max(n_on, 1):.0%} of the blinks")
    rms = np.sqrt(np.mean(err[iso] ** 2, axis=0)) * PIXEL_NM
    med = np.median(np.abs(err), axis=0) * PIXEL_NM
    p(f"  precision  isolated blinks ({iso.sum()}, no other emitter on within 6 px): error RMS x {rms[0]:.1f} nm, "
      f"y {rms[1]:.1f} nm;  median CRLB {np.median(crlb) * PIXEL_NM:.1f} nm")
    p(f"             all matched: median |error| x {med[0]:.1f} nm, y {med[1]:.1f} nm;  "
      f"median reported lpx {np.nanmedian(lpx[iso]) * PIXEL_NM:.1f} nm (isolated)")
    picture = out / "movie_demo.png"
    sr = render_localizations(locs, OVERSAMPLING, blur="precision")
    write_picture(picture, movie, sr, sites)
    p(f"picture: {picture} (widefield sum, super-resolution at {PIXEL_NM / OVERSAMPLING:g} nm pixels, truth)")
    return locs


def write_picture(path, movie, sr, sites):
    """Top: the whole field, widefield / super-resolution / truth; bottom:
    the two lines 100 nm apart and a ring of 250 nm radius, close up, the
    true sites as dots."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import tifffile
    from scipy import ndimage

    widefield = CAMERA.to_photons(tifffile.imread(movie)).sum(axis=0)
    size = widefield.shape[0]
    truth = np.zeros_like(sr)
    j = np.clip((sites * OVERSAMPLING).astype(int), 0, sr.shape[0] - 1)
    np.add.at(truth, (j[:, 1], j[:, 0]), 1.0)
    truth = ndimage.gaussian_filter(truth, 1.0)
    um = PIXEL_NM / 1000

    def show(ax, im, cmap, title, box=None, dots=False, scale=1):
        lit = im[im > 0]
        ext = (0, im.shape[1] / scale * um, im.shape[0] / scale * um, 0)
        if box is not None:
            x0, x1, y0, y1 = box
            im = im[int(y0 * scale):int(y1 * scale), int(x0 * scale):int(x1 * scale)]
            ext = (x0 * um, x1 * um, y1 * um, y0 * um)
        ax.imshow(im, cmap=cmap, vmin=0, vmax=np.percentile(lit, 99.5) if lit.size else 1, extent=ext,
                  interpolation="nearest")
        if dots and box is not None:
            x0, x1, y0, y1 = box
            inside = (sites[:, 0] > x0) & (sites[:, 0] < x1) & (sites[:, 1] > y0) & (sites[:, 1] < y1)
            ax.plot(sites[inside, 0] * um, sites[inside, 1] * um, "o", color="cyan", ms=2.5, mfc="none", mew=0.5)
        ax.set_title(title, fontsize=9)
        ax.set_xlabel("µm", fontsize=8)
        ax.tick_params(labelsize=7)

    lines = (0.2 * size, 0.2 * size + 12, 0.1 * size - 4, 0.1 * size + 5)
    ring = (0.72 * size - 5, 0.72 * size + 5, 0.7 * size - 5, 0.7 * size + 5)
    fig, axes = plt.subplots(2, 3, figsize=(14, 9.6))
    show(axes[0, 0], widefield, "gray", "summed widefield, all frames")
    show(axes[0, 1], sr, "hot", "super-resolution (each localisation at its precision)", scale=OVERSAMPLING)
    show(axes[0, 2], truth, "hot", "ground truth: the emitter sites", scale=OVERSAMPLING)
    show(axes[1, 0], widefield, "gray", "widefield: two lines 100 nm apart", box=lines)
    show(axes[1, 1], sr, "hot", "super-resolution: the same lines (cyan: true sites)", box=lines, dots=True,
         scale=OVERSAMPLING)
    show(axes[1, 2], sr, "hot", "super-resolution: a ring of 250 nm radius", box=ring, dots=True, scale=OVERSAMPLING)
    fig.suptitle("gauss2_fitter movie demo: a blinking structure from a camera movie")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m gauss2_fitter.movie_demo", description=__doc__.split("\n")[0])
    ap.add_argument("--frames", type=int, default=1000)
    ap.add_argument("--size", type=int, default=128)
    ap.add_argument("--seed", type=int, default=2)
    ap.add_argument("--threads", type=int, default=None)
    ap.add_argument("--out", default="out")
    args = ap.parse_args(argv)
    if args.frames < 1 or args.size < 32:
        ap.error("--frames must be at least 1 and --size at least 32")
    run(args.frames, args.size, args.seed, args.out, args.threads)
    return 0


if __name__ == "__main__":
    sys.exit(main())
