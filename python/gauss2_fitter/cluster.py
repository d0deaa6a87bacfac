"""The same localisation on a Dask cluster (dask.distributed).

    from dask.distributed import Client
    client = Client("tcp://scheduler:8786")          # or Client(LocalCluster()), dask-jobqueue's clusters
    locs = g2.localize(["run_0.tif", "run_1.tif"], camera=cam, client=client)

The frames are cut into ranges, one task each; a task (`localize_range`)
runs on a worker and returns the rows of its frames (a pipeline.Chunk), and
the client takes them back in frame order. The table equals that of the
same call without a client, row for row and bit for bit, attributes
included: a frame's rows depend on that frame's pixels and the settings
alone, and a task computes them with the same functions of pipeline.py, in
chunks of the same size as a local run, on the same library.

What travels to the workers:

- a movie of files: each task gets the paths of the files holding its
  frames and its frame range; workers open the files themselves (and keep
  them open from task to task), so the files must be readable at the same
  paths on every worker and on the client;
- a dask array: its own graph, cut along its chunks into the tasks' ranges:
  the reading tasks (zarr chunks, image files) run on the workers, and each
  range's block is localised where it was read (dask's placement);
- a numpy array (memory-mapped too) has no paths to send: each task carries
  its range's pixels and no more, and tasks are sent as earlier ones finish
  (at most two a worker thread ahead), so that neither the client nor the
  scheduler holds more of the movie than that at once;
- the settings go once, as a task of their own that any worker can run
  again; given peaks go to each task as its own rows.

Workers import this package and load the library themselves: the library
is found as in any process (GAUSS2_FITTER_LIB in the worker's environment,
the checkout's build tree, or the library installed inside the package by
`pip install .`).

Task size (`task_frames`): at least a local chunk of frames and at most
TASK_PIXELS pixels; within that, as many tasks as TASKS_PER_THREAD per
worker thread, so that the last tasks leave no worker idle for long.
Scheduling costs about 7 ms a task here (bench/cluster_bench.py measures
it: the run on one worker less the time its tasks computed); a task of 250
frames of 256 x 256 with 40 spots a frame computes for about 0.3 s, so
scheduling is 2 to 3 % of the run, under the 5 % the size is chosen for.
Smaller frames make tasks of more frames (TASK_PIXELS), so the share stays
of that order; a movie too short for 4 tasks a thread gets fewer, larger
ones, never tasks below a local chunk.

Workers are asked first, through a builtin, whether they import this
package at the client's version (check_workers), and so is every worker
that joins while the run goes on (every WORKER_CHECK_SECONDS at most): a
worker without the package fails a task it is sent, or waits forever for
the settings it cannot unpickle; the run ends with one line instead.

Faults: a worker that dies takes its running tasks and the results it holds
with it; the scheduler runs them again on the other workers (a task whose
workers died more than distributed.scheduler.allowed-failures times, 3 by
default, is given up: a ClusterError). A task that fails (a damaged file among the
movie's) ends the run: its error is raised on the client (a MovieError
naming the file, as a local run raises it), the tasks not yet done are
cancelled, and a writer that consumes iter_localize discards its output.

localization.py starts a run here (localize(client=...)) through
`cluster_chunks`; this module uses pipeline.py and nothing of
localization.py.
"""

import asyncio
import uuid

import numpy as np

from ._checks import as_int, one_line
from ._version import __version__
from .movie import MovieError, open_movie
from .pipeline import Chunk, Run, chunk_frames, localize_frames, peaks_between, split_frames
from .schema import concat_tables

TASK_PIXELS = 1 << 24  # at most this many pixels a task: 256 frames of 256 x 256
TASKS_PER_THREAD = 4  # aim for this many tasks per worker thread, within the bounds
WORKER_CHECK_SECONDS = 1.0  # workers that joined are asked for the package this often while tasks run


class ClusterError(RuntimeError):
    """A run on the cluster that could not complete, for a reason outside
    the movie and the settings (a worker without the package or the library,
    a task that keeps killing its workers, a cluster gone); one line."""


def task_frames(n_frames, height, width, n_threads):
    """Frames per task for n_frames frames of height x width spread over
    n_threads worker threads."""
    local = chunk_frames(height, width)
    most = max(local, TASK_PIXELS // max(1, height * width))
    balanced = -(-n_frames // (TASKS_PER_THREAD * max(1, n_threads)))
    return int(max(local, min(most, balanced)))


class _Numbered:
    """A movie (or a block of one) whose first frame is frame `first` of the
    whole movie: reads take the whole movie's frame numbers."""

    def __init__(self, movie, first):
        self.movie, self.first = movie, first

    def read(self, start, stop):
        return self.movie.read(start - self.first, stop - self.first)


def localize_range(source, first, start, stop, settings, peaks=None, n_threads=1):
    """A task: the Chunk of frames start .. stop - 1 of a movie of which
    `source` (anything open_movie takes: the files holding these frames, or
    these frames' block) begins at frame `first`. Frame numbers, and the
    peak table's (the rows of these frames, peak_table's arrays), count in
    the whole movie. Processed in local chunks, as localize does, with what
    the run computes once (pipeline.Run) computed once a task."""
    mv = open_movie(source)
    frames = _Numbered(mv, first)
    run = Run(settings, mv.height, mv.width)
    parts = [localize_frames(frames, lo, hi, settings, peaks_between(peaks, lo, hi), n_threads, run)
             for lo, hi in split_frames(start, stop, chunk_frames(mv.height, mv.width))]
    table = concat_tables([p.table for p in parts], settings.camera.pixel_size)
    return Chunk(table, start, stop, [f for p in parts for f in p.no_contrast])


def local_cluster(n_workers, threads_per_worker=1):
    """A dask.distributed.LocalCluster of n_workers worker processes, set up
    for localisation: no dashboard (its HTTP server on a free port, so no
    "port in use" chatter), dask's log lines below errors quiet, and glibc's
    own allocator settings in the workers. (The nanny sets
    MALLOC_TRIM_THRESHOLD_=65536 in the workers it spawns, which switches off
    glibc's adaptive mmap threshold: every array above 128 KB is then mapped
    and unmapped afresh, and a task ran 1.6 times slower than the same frames
    in the client's process. An environment that sets the variable itself
    keeps it.) Close it after use (a context manager)."""
    import logging

    import dask
    from distributed import LocalCluster

    environ = {k: v for k, v in dask.config.get("distributed.nanny.pre-spawn-environ", {}).items()
               if k != "MALLOC_TRIM_THRESHOLD_"}
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        return LocalCluster(n_workers=n_workers, threads_per_worker=threads_per_worker, processes=True,
                            dashboard_address=None, scheduler_kwargs={"dashboard_address": ":0"},
                            silence_logs=logging.ERROR)


def check_client(client):
    """Refuses anything but a running, synchronous dask.distributed.Client."""
    try:
        from distributed import Client
    except ImportError:
        raise ImportError("client= needs dask.distributed, which is not installed "
                          "(Debian: apt-get install python3-distributed)") from None
    if not isinstance(client, Client):
        raise TypeError(f"client must be a dask.distributed.Client, got {type(client).__name__}")
    if client.asynchronous:
        raise TypeError("client must be a synchronous Client (asynchronous=False)")
    if client.status not in ("running", "newly-created"):
        raise ValueError(f"client is {client.status}, not running")


def plan(mv, settings, start, stop, peaks=None, n_threads=1, n_worker_threads=1, name=None):
    """The tasks of a run, as dask.delayed objects to compute: (ranges,
    tasks), one task per frame range, in frame order. Each task's graph is
    what travels to the cluster for it. name: the prefix of the keys
    (default: unique to the run)."""
    import dask

    prefix = name or f"gauss2-localize-{uuid.uuid4().hex[:12]}"
    step = task_frames(stop - start, mv.height, mv.width, n_worker_threads)
    s = dask.delayed(settings, name=f"{prefix}-settings", pure=False, traverse=False)
    arr = mv.array
    if arr is None:  # files: the paths of each range's files travel
        ranges = split_frames(start, stop, step)
        sources = [mv.files(lo, hi) for lo, hi in ranges]
    else:
        import dask.array as da

        if isinstance(arr, da.Array):  # cut along its own chunks
            ranges = split_frames(start, stop, step, mv.chunk_bounds)
            sizes = tuple(hi - lo for lo, hi in ranges)
            arr = arr[start:stop].rechunk((sizes, -1, -1))
            sources = [(block, lo) for block, (lo, _) in zip(arr.to_delayed().ravel(), ranges)]
        else:  # an array: each task its range's pixels (a view, read when the task is sent)
            ranges = split_frames(start, stop, step)
            sources = [(arr[lo:hi], lo) for lo, hi in ranges]
    run = dask.delayed(localize_range, pure=False)
    tasks = [run(source, first, lo, hi, s, peaks_between(peaks, lo, hi), n_threads,
                 dask_key_name=f"{prefix}-{lo:012d}")
             for (source, first), (lo, hi) in zip(sources, ranges)]
    return ranges, tasks


def _one_line(exc):
    text = one_line(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _failure(exc, lo, hi):
    """The exception to raise on the client for a task that failed: the
    movie's and the settings' own errors as they are; anything else a
    ClusterError in one line."""
    if isinstance(exc, (MovieError, ClusterError)):
        return exc
    what = f"frames {lo} to {hi - 1}"
    if type(exc).__name__ == "KilledWorker":
        return ClusterError(f"{what}: the task was given up after its workers died while running it "
                            "(out of memory, or a crash: see the workers' logs)")
    if type(exc).__name__ == "CancelledError":
        return ClusterError(f"{what}: the task was cancelled (the client or the scheduler closed?)")
    text = _one_line(exc)
    if isinstance(exc, FileNotFoundError):
        return ClusterError(f"{what}, on a worker: {text}; the movie's files must be readable at the same "
                            "paths on every worker")
    if isinstance(exc, (ImportError, OSError)):
        return ClusterError(f"{what}, on a worker: {text}; every worker needs this package and its library "
                            "(pip install ., or a shared environment)")
    if isinstance(exc, (ValueError, TypeError)):
        return exc
    return ClusterError(f"{what}, on a worker: {text}")


def check_workers(client, known=()):
    """Every worker connected now but those in `known` (addresses) imports
    this package, with its library, at this client's version; returns the
    addresses of all the workers connected. A worker that cannot fails the
    tasks it is sent (it cannot unpickle them), or waits forever for data it
    cannot unpickle; asked here through a builtin, it just reports the
    error."""
    workers = set(client.nthreads())
    new = sorted(workers - set(known))
    if not new:
        return workers
    # eval of a constant expression: a builtin pickles by name, so the worker
    # imports nothing to run it, and the import's error comes back as a value.
    found = client.run(eval, "__import__('gauss2_fitter').__version__", workers=new, on_error="return")
    for address, version in sorted(found.items()):
        if isinstance(version, BaseException):
            raise ClusterError(f"worker {address} cannot import gauss2_fitter ({_one_line(version)}); every worker "
                               "needs this package and its library (pip install ., or a shared environment)")
        if version != __version__:
            raise ClusterError(f"worker {address} has gauss2_fitter {version} and this client {__version__}; "
                               "tables are the same only with the same version everywhere")
    return workers


def cluster_chunks(client, mv, settings, start, stop, peaks, n_threads, report):
    """The Chunks of frames start .. stop - 1 of the Movie `mv`, computed by
    tasks on the client's cluster: each task's, in frame order, as soon as
    it and those before it are done; each is told to the RunReport `report`
    as soon as it is done. Closing the generator early (a failure, or a
    consumer that stops) cancels the tasks not yet taken back."""
    from distributed import wait

    check_client(client)
    n_threads = as_int("n_threads", 1 if n_threads is None else n_threads, low=1)
    if stop <= start:
        return
    workers = check_workers(client)
    worker_threads = sum(client.nthreads().values())
    ranges, tasks = plan(mv, settings, start, stop, peaks, n_threads, worker_threads)
    # An array's tasks carry its pixels: sent as earlier ones finish, at most
    # two a worker thread ahead. Files and dask arrays: all at once (a dask
    # array's tasks may share the reading of a stored chunk).
    ahead = max(2, 2 * worker_threads) if isinstance(mv.array, np.ndarray) else len(tasks)
    index, waiting = {}, {}  # future key -> task; task -> future not yet taken back
    done = {}
    next_task = sent = 0
    try:
        while sent < len(tasks) or waiting:
            if sent < len(tasks) and len(waiting) < ahead:
                batch = range(sent, min(len(tasks), sent + ahead - len(waiting)))
                for i, f in zip(batch, client.compute([tasks[i] for i in batch])):
                    index[f.key], waiting[i], tasks[i] = i, f, None
                sent = batch.stop
            try:
                finished, _ = wait(list(waiting.values()), timeout=WORKER_CHECK_SECONDS,
                                   return_when="FIRST_COMPLETED")
            except (TimeoutError, asyncio.TimeoutError):  # none finished meanwhile
                finished = ()
            for f in finished:
                i = index[f.key]
                lo, hi = ranges[i]
                try:
                    chunk = f.result()
                except Exception as e:
                    raise _failure(e, lo, hi) from e
                del waiting[i]
                report.chunk_done(chunk)
                done[i] = chunk
            workers = check_workers(client, workers)
            while next_task in done:
                yield done.pop(next_task)
                next_task += 1
    finally:
        if waiting:  # nothing more is wanted
            client.cancel(list(waiting.values()))
        # A failure's traceback keeps this frame: no future of the run taken
        # back may outlive the run in it (the client would keep its key).
        finished = f = None
