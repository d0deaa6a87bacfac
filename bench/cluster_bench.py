"""Localisation on a local Dask cluster: scaling from one worker process to
two, and what scheduling costs a task.

The movie of bench/movie_bench.py (256 x 256 uint16 frames in one TIFF,
about 40 emitters a frame), 8 000 frames (1 GB, 32 tasks, a few seconds of
work: a run of about a second is dominated by what a run costs once, graph
and gathering, and scales less), made once in a temporary directory, is
localised from the file:

  local         localize() in this process, 1 thread;
  1 worker      localize(client=) on a LocalCluster of 1 worker process of
                1 thread, then of 2 such workers: frames/s, and the speed-up
                from 1 to 2 (target >= 1.7x on a 2-core machine);
  overhead      per task, measured two ways: the run on 1 worker minus the
                time its tasks spent computing (dask's task stream), divided
                by the tasks; and empty tasks returning a table of a task's
                size, one after another. Its share of a task's time is the
                share of the run that scheduling costs. Also printed: the
                share of the run the workers spent in tasks, and the CPU time
                of this process (client and scheduler) meanwhile: on a shared
                machine, the speed-up is bounded by the cores other processes
                leave free, which these figures tell apart from scheduling.

Every cluster table is checked equal to the local one. Cluster start-up
(a few seconds: worker processes import numpy, pandas and dask) is not
counted; it is printed.

    /usr/bin/python3 bench/cluster_bench.py [--frames 8000] [--keep DIR]
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path


ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))

import gauss2_fitter as g2  # noqa: E402
from gauss2_fitter import cluster  # noqa: E402
from movie_bench import CAMERA, SHAPE, make_movie  # noqa: E402


def table_like(rows):
    """A table of a task's size, for the empty tasks."""
    from gauss2_fitter.schema import empty_columns, make_table

    return make_table(empty_columns(rows), CAMERA.pixel_size)


def run_on(n_workers, movie, estimator, want, repeats):
    from distributed import Client, get_task_stream

    t = time.perf_counter()
    with cluster.local_cluster(n_workers) as lc, Client(lc) as client:
        started = time.perf_counter() - t
        # Warm-up: enough frames for a task on every worker, each of which loads
        # the library and imports the package on its first task.
        g2.localize(movie, camera=CAMERA, estimator=estimator, frames=range(0, 64 * 4 * n_workers), client=client)
        best = None
        for _ in range(repeats):
            with get_task_stream(client) as ts:
                cpu = time.process_time()
                t = time.perf_counter()
                got = g2.localize(movie, camera=CAMERA, estimator=estimator, client=client)
                wall = time.perf_counter() - t
                cpu = time.process_time() - cpu
            assert got.equals(want) and got.attrs == want.attrs, "the cluster's table differs from the local one"
            tasks = [r for r in ts.data if str(r["key"]).startswith("gauss2-localize") and "settings" not in r["key"]]
            busy = sum(s["stop"] - s["start"] for r in tasks for s in r["startstops"] if s["action"] == "compute")
            if best is None or wall < best[0]:
                best = (wall, busy, len(tasks), cpu)
        empty = None
        if n_workers == 1:  # empty tasks, one after another, each returning a table of a task's rows
            rows = len(want) // max(1, best[2])
            client.submit(table_like, rows, pure=False).result()
            n = 200
            t = time.perf_counter()
            for i in range(n):
                client.submit(table_like, rows, pure=False).result()
            empty = (time.perf_counter() - t) / n
    return started, best, empty


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--frames", type=int, default=8000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--keep", default=None, help="directory to keep the movie in (default: a temporary one)")
    args = ap.parse_args()
    estimator = "mle"
    with tempfile.TemporaryDirectory() as tmp:
        d = Path(args.keep or tmp)
        d.mkdir(parents=True, exist_ok=True)
        movie = d / "movie_bench.tif"
        if not movie.exists():
            make_movie(movie, args.frames)
        n_frames = g2.open_movie(movie).n_frames
        t = time.perf_counter()
        want = g2.localize(movie, camera=CAMERA, estimator=estimator, n_threads=1)
        t_local = time.perf_counter() - t
        print(f"{n_frames} frames of {SHAPE[0]} x {SHAPE[1]}, {len(want)} localisations, {estimator}; "
              f"tasks of {cluster.task_frames(n_frames, *SHAPE, 2)} frames on 2 workers")
        print(f"  local, 1 thread        {t_local:6.2f} s  {n_frames / t_local:6.0f} frames/s")
        results = {}
        for n in (1, 2):
            started, (wall, busy, n_tasks, cpu), empty = run_on(n, movie, estimator, want, args.repeats)
            results[n] = wall
            print(f"  {n} worker{'s' if n > 1 else ' '} (1 thread)    {wall:6.2f} s  {n_frames / wall:6.0f} frames/s"
                  f"  ({n_tasks} tasks; workers busy {busy / (n * wall):.0%} of the run; client and scheduler "
                  f"{cpu:.2f} s CPU; cluster started in {started:.1f} s; table equal to the local one)")
            if n == 1:
                per_task = (wall - busy) / n_tasks
                task_time = busy / n_tasks
                print(f"  overhead per task      {per_task * 1e3:6.1f} ms in the run (wall - tasks' compute) "
                      f"= {per_task / (task_time + per_task):.1%} of a task's {task_time * 1e3:.0f} ms; "
                      f"empty tasks returning {len(want) // n_tasks} rows: {empty * 1e3:.1f} ms each")
        print(f"  scaling 1 -> 2 workers  {results[1] / results[2]:.2f}x   (target >= 1.7x; load average now "
              f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores: other processes' load takes from it)")


if __name__ == "__main__":
    main()
