"""End to end, from a camera movie on disk to a localisation table on disk.

A 2 000-frame 256 x 256 uint16 TIFF with about 40 emitters a frame (photon
and read noise, in ADU: baseline 100, 0.5 e-/ADU), made once in a temporary
directory. Printed, for the least-squares estimator (and the maximum
likelihood one when the library has it), with 1 thread and with all:

  whole run      frames/s and localisations/s from the file to the table
                 written (HDF5; CSV as a separate line), and the share of the
                 threads' time spent fitting;
  fitting alone  the same peaks fitted from frames already in memory (in
                 photo-electrons), in the same chunks: the bound the whole run
                 is measured against (target: whole run >= half of it);
  peak search    per frame: the native finder against the scipy.ndimage
                 search it replaced.

    /usr/bin/python3 bench/movie_bench.py [--frames 2000] [--keep DIR]
"""

import argparse
import os
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import gauss2_fitter as g2  # noqa: E402
from gauss2_fitter import pipeline  # noqa: E402

SHAPE = (256, 256)
EMITTERS = 40
CAMERA = g2.Camera(baseline=100.0, sensitivity=0.5, read_noise=1.5, pixel_size=100.0)
SEED = 15


def make_movie(path, n_frames, seed=SEED):
    """Writes the movie frame by frame (never all in memory)."""
    import tifffile

    rng = np.random.default_rng(seed)
    h, w = SHAPE

    def frames():
        for _ in range(n_frames):
            k = rng.poisson(EMITTERS)
            p = np.column_stack([rng.lognormal(np.log(1500), 0.4, k), rng.uniform(1.1, 1.5, k),
                                 rng.uniform(1.1, 1.5, k), rng.uniform(6, w - 6, k), rng.uniform(6, h - 6, k),
                                 rng.uniform(-0.1, 0.1, k), np.zeros(k)])
            electrons = rng.poisson(g2.synth_image(p, SHAPE, 15) + 20.0) + rng.normal(0, 1.5, SHAPE)
            yield np.clip(electrons / CAMERA.sensitivity + CAMERA.baseline, 0, 65535).astype(np.uint16)

    tifffile.imwrite(path, frames(), shape=(n_frames, h, w), dtype=np.uint16)


def scipy_search(im, mea=11, smooth=1.0, n_sigma=5.0):
    """The search as the package did it before the native finder: scipy.ndimage
    and numpy medians over the whole frame."""
    from scipy import ndimage

    d = np.diff(im, axis=1).ravel()
    noise = 1.482602218505602 * np.median(np.abs(d - np.median(d))) / np.sqrt(2)
    work = ndimage.gaussian_filter(im, smooth, mode="nearest")
    delta = np.zeros((11, 11))
    delta[5, 5] = 1
    gain = np.sqrt(np.sum(ndimage.gaussian_filter(delta, smooth) ** 2))
    thr = np.median(work) + n_sigma * noise * gain
    top = ndimage.maximum_filter(work, size=5, mode="nearest")
    mask = (work == top) & (work > thr)
    half = mea // 2
    mask[:half], mask[-half:], mask[:, :half], mask[:, -half:] = False, False, False, False
    labels, n = ndimage.label(mask, structure=np.ones((3, 3)))
    return n


def whole_run(path, estimator, threads, out):
    settings = g2.Settings(camera=CAMERA, estimator=estimator)
    timings = {}
    t = time.perf_counter()
    n = 0
    mv = g2.open_movie(path)
    with g2.TableWriter(out, g2.RunMetadata.for_run(mv, settings)) as wr:
        for chunk in g2.iter_localize(mv, settings, n_threads=threads, _timings=timings):
            wr.write(chunk)
            n += len(chunk)
    return time.perf_counter() - t, n, timings


def fit_alone(frames_e, peaks, estimator, threads):
    """The same peaks, fitted from frames in memory, chunk by chunk as the
    whole run fits them."""
    n, h, w = frames_e.shape
    step = pipeline.chunk_frames(h, w)
    fr, px, py = peaks

    def run(lo):
        hi = min(n, lo + step)
        a, b = np.searchsorted(fr, [lo, hi])
        tall = frames_e[lo:hi].reshape(-1, w)
        g2.fit_spots(tall, px[a:b], py[a:b] + (fr[a:b] - lo) * h, 11, estimator=estimator,
                     read_noise=CAMERA.read_noise, n_threads=1)

    t = time.perf_counter()
    if threads == 1:
        for lo in range(0, n, step):
            run(lo)
    else:
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(run, range(0, n, step)))
    return time.perf_counter() - t


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--frames", type=int, default=2000)
    ap.add_argument("--keep", default=None, help="directory to keep the movie in (default: a temporary one)")
    args = ap.parse_args()
    all_threads = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as tmp:
        d = Path(args.keep or tmp)
        d.mkdir(parents=True, exist_ok=True)
        movie = d / "movie_bench.tif"
        if not movie.exists():
            t = time.perf_counter()
            make_movie(movie, args.frames)
            print(f"made {movie.name}: {args.frames} x {SHAPE[0]} x {SHAPE[1]} uint16, "
                  f"{movie.stat().st_size / 1e6:.0f} MB, in {time.perf_counter() - t:.1f} s")
        mv = g2.open_movie(movie)
        frames_e = CAMERA.to_electrons(mv.read(0, mv.n_frames))
        fr, px, py, _ = g2.find_peaks_in_frames(frames_e[:200])  # warm-up and a peak count
        fr, px, py, _ = g2.find_peaks_in_frames(frames_e)
        print(f"{len(fr) / mv.n_frames:.1f} peaks a frame, {len(fr)} in all\n")

        print("peak search, ms a frame (one thread):")
        sample = frames_e[:100]
        t = time.perf_counter()
        for im in sample:
            scipy_search(im)
        t_scipy = (time.perf_counter() - t) / len(sample)
        t = time.perf_counter()
        for im in sample:
            g2.find_peaks(im)
        t_native = (time.perf_counter() - t) / len(sample)
        t = time.perf_counter()
        g2.find_peaks_in_frames(sample)
        t_stack = (time.perf_counter() - t) / len(sample)
        print(f"  scipy.ndimage search (before)   {t_scipy * 1e3:7.3f}")
        print(f"  native, frame by frame          {t_native * 1e3:7.3f}")
        print(f"  native, a stack per call        {t_stack * 1e3:7.3f}   ({t_scipy / t_stack:.0f}x faster)\n")

        estimators = ["lsq", "mle"]
        print(f"{'estimator':9} {'threads':>7}  {'whole run':>22}  {'fitting alone':>14}  {'whole/alone':>11}"
              f"  {'fit share':>9}  {'read':>5} {'find':>5} {'table':>5}")
        for est in estimators:
            for threads in sorted({1, all_threads}):
                t_fit = min(fit_alone(frames_e, (fr, px, py), est, threads) for _ in range(2))
                t_run, n, tm = min((whole_run(movie, est, threads, d / "locs.hdf5") for _ in range(2)),
                                   key=lambda r: r[0])
                busy = sum(tm.values())
                fps, lps, alone = mv.n_frames / t_run, n / t_run, len(fr) / t_fit
                print(f"{est:9} {threads:7d}  {fps:7.0f} frames/s {lps:7.0f} locs/s  {alone:8.0f} locs/s"
                      f"  {lps / alone:11.2f}  {tm['fit'] / busy:9.0%}  {tm['read'] / busy:5.0%}"
                      f" {tm['find'] / busy:5.0%} {tm['table'] / busy:5.0%}")
        # Text output costs more than the fits: measured on its own.
        t = time.perf_counter()
        table = g2.read_localizations(d / "locs.hdf5")
        t_read = time.perf_counter() - t
        t = time.perf_counter()
        g2.write_csv(table, d / "locs.csv", pixel_size=CAMERA.pixel_size)
        t_csv = time.perf_counter() - t
        print(f"\nwriting the table as CSV: {len(table) / t_csv:,.0f} rows/s ({t_csv:.2f} s for {len(table)} rows); "
              f"reading the HDF5 back: {t_read:.2f} s")
        print("whole run: read the TIFF, convert to photo-electrons, find, fit, write HDF5 (+ YAML); "
              "shares are of the threads' busy time")


if __name__ == "__main__":
    main()
