"""Peak memory of localising a 100 MB and a 1 GB movie (uint16 TIFF,
256 x 256, about 40 emitters a frame), each in a fresh process, measured as
the process's peak resident set (ru_maxrss): the command-line tool writing
HDF5 as it goes (memory bounded by the chunks in flight), and localize()
returning the table (which adds the table itself).

    /usr/bin/python3 bench/movie_memory.py [--dir DIR] [--threads N]

The movies are written frame by frame into DIR (default: a temporary
directory; 1.1 GB of disk) from a set of 64 noisy frames repeated.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))

FRAME_BYTES = 256 * 256 * 2

CHILD = r"""
import resource, sys, time
sys.path.insert(0, {python!r})
import gauss2_fitter as g2
from gauss2_fitter.cli import main
t = time.perf_counter()
if sys.argv[1] == "tool":
    main(["fit", sys.argv[2], "-o", sys.argv[3], "--estimator", "lsq", "--baseline", "100", "--sensitivity", "0.5",
          "--pixel-size", "100", "--no-progress", "--threads", sys.argv[4]])
    n = None
else:
    cam = g2.Camera(baseline=100, sensitivity=0.5, pixel_size=100)
    n = len(g2.localize(sys.argv[2], camera=cam, estimator="lsq", n_threads=int(sys.argv[4])))
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, time.perf_counter() - t, n)
"""


def make(path, n_frames):
    import tifffile

    import movie_bench

    if path.exists() and path.stat().st_size >= n_frames * FRAME_BYTES:
        return
    tmp = path.with_suffix(".part.tif")
    movie_bench.make_movie(tmp, 64)
    base = tifffile.imread(tmp)
    tmp.unlink()
    tifffile.imwrite(path, (base[i % 64] for i in range(n_frames)), shape=(n_frames, 256, 256), dtype=np.uint16,
                     bigtiff=n_frames * FRAME_BYTES > 2**31)


def run(kind, movie, out, threads):
    code = CHILD.format(python=str(ROOT / "python"))
    r = subprocess.run([sys.executable, "-c", code, kind, str(movie), str(out), str(threads)], check=True,
                       capture_output=True, text=True, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    rss_kb, seconds, n = r.stdout.split()
    return int(rss_kb) / 1024, float(seconds), n


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--dir", default=None)
    ap.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        d = Path(args.dir or tmp)
        d.mkdir(parents=True, exist_ok=True)
        sizes = {"100 MB": 100 * 10**6 // FRAME_BYTES, "1 GB": 10**9 // FRAME_BYTES}
        t = time.perf_counter()
        for name, n in sizes.items():
            make(d / f"movie_{n}.tif", n)
        print(f"movies made in {time.perf_counter() - t:.0f} s; {args.threads} thread(s); "
              "peak resident memory of a fresh process:")
        base = subprocess.run([sys.executable, "-c", "import resource, sys; sys.path.insert(0, %r); "
                               "import gauss2_fitter, pandas, h5py, tifffile; "
                               "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)" % str(ROOT / "python")],
                              check=True, capture_output=True, text=True)
        print(f"  importing the package (numpy, pandas, h5py, tifffile): {int(base.stdout) / 1024:6.0f} MB")
        for name, n in sizes.items():
            movie = d / f"movie_{n}.tif"
            size = movie.stat().st_size / 2**20
            rss, s, _ = run("tool", movie, d / "locs.hdf5", args.threads)
            rss_l, s_l, locs = run("localize", movie, d / "unused", args.threads)
            print(f"  {name:6} movie ({n:5d} frames, {size:5.0f} MiB): tool fit -> HDF5 {rss:6.0f} MB ({s:5.1f} s);"
                  f"  localize() {rss_l:6.0f} MB with its table of {int(locs):,} rows")
    print("(kernel's ru_maxrss in MiB; the movie itself is never held, only the chunks in flight)")


if __name__ == "__main__":
    main()
