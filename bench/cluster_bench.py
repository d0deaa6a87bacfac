"""Localisation on a local Dask cluster: scaling from one worker process to
two, and what scheduling costs a task.

The movie of bench/movie_bench.py (256 x 256 uint16 frames in one TIFF,
about 40 emitters a frame), 8 000 frames (1 GB), made once in a temporary
directory, is localised from the file: its first 2 000 frames (8 tasks,
about a second of work, where what a run costs once, graph and gathering,
weighs most) and all 8 000 (32 tasks):

  local         localize() in this process, 1 thread;
  1 worker      localize(client=) on a LocalCluster of 1 worker process of
                1 thread, and on one of 2 such workers (both clusters up at
                once, their runs interleaved, best of N): frames/s, how
                many tasks each worker ran, and the speed-up from 1 to 2
                (target >= 1.8x on a 2-core machine);
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

    /usr/bin/python3 bench/cluster_bench.py [--frames 2000 8000] [--repeats 3] [--keep DIR]
"""

import argparse
import os
import sys
import tempfile
import time
from collections import Counter
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


def timed_run(client, n_workers, movie, estimator, frames, want):
    """(wall, compute, tasks, client CPU, tasks by worker) of one run of
    `frames` on the client's cluster; its table checked against `want`."""
    from distributed import get_task_stream

    with get_task_stream(client) as ts:
        cpu = time.process_time()
        t = time.perf_counter()
        got = g2.localize(movie, camera=CAMERA, estimator=estimator, frames=frames, client=client)
        wall = time.perf_counter() - t
        cpu = time.process_time() - cpu
    assert got.equals(want) and got.attrs == want.attrs, "the cluster's table differs from the local one"
    tasks = [r for r in ts.data if str(r["key"]).startswith("gauss2-localize")]
    busy = sum(s["stop"] - s["start"] for r in tasks for s in r["startstops"] if s["action"] == "compute")
    per_worker = sorted(Counter(r["worker"] for r in tasks).values(), reverse=True)
    return wall, busy, len(tasks), cpu, per_worker + [0] * (n_workers - len(per_worker))


def empty_task_time(client, rows, n=200):
    """Seconds a task costs that returns a table of `rows` rows and computes
    nothing, submitted one after another."""
    client.submit(table_like, rows, pure=False).result()
    t = time.perf_counter()
    for _ in range(n):
        client.submit(table_like, rows, pure=False).result()
    return (time.perf_counter() - t) / n


def main():
    from distributed import Client

    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--frames", type=int, nargs="+", default=[2000, 8000],
                    help="run lengths (the first frames of one movie of the largest)")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--keep", default=None, help="directory to keep the movie in (default: a temporary one)")
    args = ap.parse_args()
    estimator = "mle"
    with tempfile.TemporaryDirectory() as tmp:
        d = Path(args.keep or tmp)
        d.mkdir(parents=True, exist_ok=True)
        movie = d / "movie_bench.tif"
        if not movie.exists() or g2.open_movie(movie).n_frames < max(args.frames):
            make_movie(movie, max(args.frames))
        clients, started = {}, {}
        try:
            for n in (1, 2):
                t = time.perf_counter()
                clients[n] = Client(cluster.local_cluster(n))
                started[n] = time.perf_counter() - t
                # Warm-up: a task on every worker, each of which imports the
                # package and loads the library on its first task.
                g2.localize(movie, camera=CAMERA, estimator=estimator, frames=range(0, 64 * 4 * n), client=clients[n])
            print(f"clusters of 1 and 2 worker processes of 1 thread, started in {started[1]:.1f} and "
                  f"{started[2]:.1f} s (not counted); {estimator}; runs on 1 and 2 workers interleaved, best of "
                  f"{args.repeats}")
            for n_frames in args.frames:
                frames = range(n_frames)
                t = time.perf_counter()
                want = g2.localize(movie, camera=CAMERA, estimator=estimator, frames=frames, n_threads=1)
                t_local = time.perf_counter() - t
                print(f"{n_frames} frames of {SHAPE[0]} x {SHAPE[1]}, {len(want)} localisations; tasks of "
                      f"{cluster.task_frames(n_frames, *SHAPE, 2)} frames on 2 workers")
                print(f"  local, 1 thread        {t_local:6.2f} s  {n_frames / t_local:6.0f} frames/s")
                best, load = {}, {}
                for _ in range(args.repeats):
                    for n in (1, 2):
                        before = os.getloadavg()[0]
                        r = timed_run(clients[n], n, movie, estimator, frames, want)
                        if n not in best or r[0] < best[n][0]:
                            best[n], load[n] = r, before
                for n in (1, 2):
                    wall, busy, n_tasks, cpu, per_worker = best[n]
                    print(f"  {n} worker{'s' if n > 1 else ' '} (1 thread)    {wall:6.2f} s  {n_frames / wall:6.0f} "
                          f"frames/s  ({n_tasks} tasks, {' + '.join(map(str, per_worker))} by worker; workers busy "
                          f"{busy / (n * wall):.0%} of the run; client and scheduler {cpu:.2f} s CPU; load "
                          f"{load[n]:.2f} before; table equal to the local one)")
                    if n == 1:
                        per_task = (wall - busy) / n_tasks
                        task_time = busy / n_tasks
                        empty = empty_task_time(clients[1], len(want) // n_tasks)
                        print(f"  overhead per task      {per_task * 1e3:6.1f} ms in the run (wall - tasks' compute) "
                              f"= {per_task / (task_time + per_task):.1%} of a task's {task_time * 1e3:.0f} ms; "
                              f"empty tasks returning {len(want) // n_tasks} rows: {empty * 1e3:.1f} ms each")
                print(f"  scaling 1 -> 2 workers  {best[1][0] / best[2][0]:.2f}x   (target >= 1.8x; load average now "
                      f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores: other processes' load takes from it)")
        finally:
            for c in clients.values():
                lc = c.cluster
                c.close()
                lc.close()


if __name__ == "__main__":
    main()
