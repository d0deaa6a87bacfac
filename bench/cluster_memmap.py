"""A memory-mapped movie on a local Dask cluster: what travels, and the time.

A NumPy array (memory-mapped or not) has no paths that workers could open:
its pixels travel to the cluster. Printed for a memory-mapped .npy of the
movie of bench/movie_bench.py (256 x 256 uint16 frames, about 40 emitters a
frame; 1 600 frames, 210 MB by default) on a LocalCluster of 2 worker
processes of 1 thread: the largest object and the total bytes in the
graphs the client submitted (pickled; every range once is the movie's size
in all, a range at most in one), and the run's time (best of --repeats),
beside the same movie read from its file by the workers (paths travel). Every
table is checked equal to a local run's.

    /usr/bin/python3 bench/cluster_memmap.py [--frames 1600] [--repeats 3] [--keep DIR]
"""

import argparse
import os
import pickle
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))

import gauss2_fitter as g2  # noqa: E402
from gauss2_fitter import cluster  # noqa: E402
from movie_bench import CAMERA, SHAPE, make_movie  # noqa: E402


class Sent:
    """Records the pickled size of every key's value in the graphs that
    client.compute is given, each key once (what the client sends)."""

    def __init__(self, client):
        self.client, self.compute = client, client.compute
        self.largest = self.total = 0
        self.keys = set()
        client.compute = self

    def __call__(self, collections, *args, **kwargs):
        many = isinstance(collections, (list, tuple))
        for c in (collections if many else [collections]):
            for k, v in dict(c.__dask_graph__()).items():
                if k not in self.keys:
                    self.keys.add(k)
                    n = len(pickle.dumps(v, protocol=5))
                    self.largest, self.total = max(self.largest, n), self.total + n
        return self.compute(collections, *args, **kwargs)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--frames", type=int, default=1600)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--keep", default=None, help="directory to keep the movie in (default: a temporary one)")
    args = ap.parse_args()
    from distributed import Client

    with tempfile.TemporaryDirectory() as tmp:
        d = Path(args.keep or tmp)
        d.mkdir(parents=True, exist_ok=True)
        tif, npy = d / "movie_bench.tif", d / f"movie_bench_{args.frames}.npy"
        if not tif.exists():
            make_movie(tif, args.frames)
        if not npy.exists():
            np.save(npy, g2.open_movie(tif).read(0, args.frames))
        mm = np.load(npy, mmap_mode="r")
        want = g2.localize(npy, camera=CAMERA, estimator="lsq", n_threads=1)
        print(f"{len(mm)} frames of {SHAPE[0]} x {SHAPE[1]} uint16 ({mm.nbytes / 1e6:.0f} MB), {len(want)} "
              f"localisations, least squares; 2 worker processes of 1 thread; load average "
              f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
        with cluster.local_cluster(2) as lc, Client(lc) as client:
            g2.localize(npy, camera=CAMERA, estimator="lsq", frames=range(0, 512), client=client)  # warm-up
            for name, movie in (("memory-mapped array", mm), ("its file (paths travel)", npy)):
                best = None
                for _ in range(args.repeats):
                    sent = Sent(client)
                    t = time.perf_counter()
                    got = g2.localize(movie, camera=CAMERA, estimator="lsq", client=client)
                    wall = time.perf_counter() - t
                    client.compute = sent.compute
                    assert got.drop(columns=[]).equals(want), "the cluster's table differs from the local one"
                    best = min(best or (wall, sent), (wall, sent), key=lambda r: r[0])
                wall, sent = best
                print(f"  {name:24s} {wall:6.2f} s  {len(mm) / wall:6.0f} frames/s   sent: {sent.total / 1e6:7.1f} MB "
                      f"in all, the largest object {sent.largest / 1e6:7.1f} MB")


if __name__ == "__main__":
    main()
