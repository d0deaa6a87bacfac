"""Rows per second of render_localizations on one core: a fixed blur and each
row's own precision, and a 2-D histogram.

The table (deterministic): localisations uniform over 256 x 256 camera
pixels, precisions lpx, lpy of 0.05-0.25 pixels (5-27 nm at 107 nm), drawn
at oversampling 10 (a 2560 x 2560 picture). Best of --repeat runs, pinned to
one core; the rate is per second of this process's CPU time (the machine's
other work does not count; the wall time is printed beside it).

    /usr/bin/python3 bench/render_bench.py [--rows 1000000] [--repeat 3]
"""

import argparse
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from gauss2_fitter.render import render_localizations  # noqa: E402


def table(n, seed=7):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"x": rng.uniform(0, 256, n), "y": rng.uniform(0, 256, n),
                         "lpx": rng.uniform(0.05, 0.25, n), "lpy": rng.uniform(0.05, 0.25, n),
                         "flag": np.zeros(n, dtype=np.int8)})


def best(f, repeat):
    """The least CPU time and the least wall time of `repeat` calls."""
    cpu, wall = [], []
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        f()
        cpu.append(time.process_time() - c0)
        wall.append(time.perf_counter() - t0)
    return min(cpu), min(wall)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    a = ap.parse_args()
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})  # one core
    locs = table(a.rows)
    print(f"render_localizations, {a.rows} rows over 256 x 256 pixels, oversampling 10; "
          f"load {os.getloadavg()[0]:.1f}")
    for name, blur in (("fixed blur 0.1 px", 0.1), ("per-row precision", "precision"), ("histogram", None)):
        cpu, wall = best(lambda: render_localizations(locs, 10, blur, shape=(256, 256)), a.repeat)
        print(f"  {name:20s} {a.rows / cpu:12,.0f} rows/s  ({cpu:.3f} s CPU, {wall:.3f} s wall)")


if __name__ == "__main__":
    main()
