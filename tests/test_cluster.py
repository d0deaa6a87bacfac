"""Localisation on a real local Dask cluster (two worker processes of one
thread, started once for the module): the tables equal those of a local run
bit for bit, from files and from dask arrays; a worker killed while it runs
a task; a damaged file among several; the tool with --workers and
--scheduler."""

import logging
import os
import pickle
import re
import signal
import subprocess
import sys
import threading
import time
import uuid
from collections import Counter

import dask
import dask.array as da
import dask.array.image
import numpy as np
import pytest
import tifffile
from distributed import Client, Event, Future, LocalCluster, Queue, get_task_stream

import gauss2_fitter as g2
from gauss2_fitter import cli, pipeline
from gauss2_fitter import cluster as gc

CAM = g2.Camera(baseline=100.0, sensitivity=0.5, read_noise=1.5, pixel_size=100.0)
SHAPE = (40, 48)
N_FRAMES = 36
SETTINGS = dict(camera=CAM, estimator="lsq")  # the table must match for any estimator; lsq runs in every build
GUARD = 300  # seconds: only a guard against a hang, never a condition of the test
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")  # tornado, in dask


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as c:
        yield c


@pytest.fixture(autouse=True)
def small_tasks(monkeypatch):
    # Tasks of 4 frames (and local chunks of 3): a small movie still makes
    # several tasks, whose ranges do not line up with the local chunks.
    monkeypatch.setattr(gc, "TASK_PIXELS", 4 * SHAPE[0] * SHAPE[1])
    monkeypatch.setattr(pipeline, "CHUNK_PIXELS", 3 * SHAPE[0] * SHAPE[1])


@pytest.fixture(scope="module")
def frames():
    """uint16 frames in ADU: 2 to 4 spots each, photon and read noise."""
    rng = np.random.default_rng(16)
    out = np.empty((N_FRAMES,) + SHAPE, np.uint16)
    for f in range(N_FRAMES):
        k = rng.integers(2, 5)
        spots = np.column_stack([rng.uniform(800, 3000, k), rng.uniform(1.1, 1.5, (k, 2)),
                                 rng.uniform(8, SHAPE[1] - 8, k), rng.uniform(8, SHAPE[0] - 8, k),
                                 np.zeros((k, 2))])
        e = rng.poisson(g2.synth_image(spots, SHAPE, 15) + 20.0) + rng.normal(0, 1.5, SHAPE)
        out[f] = np.clip(e / CAM.sensitivity + CAM.baseline, 0, 65535)
    return out


@pytest.fixture(scope="module")
def files(frames, tmp_path_factory):
    """The movie in three files of three kinds: a plain TIFF, a compressed
    one (pages decoded one by one) and a .npy."""
    d = tmp_path_factory.mktemp("movie")
    paths = [d / "a.tif", d / "b.tif", d / "c.npy"]
    tifffile.imwrite(paths[0], frames[:10])
    tifffile.imwrite(paths[1], frames[10:23], compression="zlib")
    np.save(paths[2], frames[23:])
    return paths


@pytest.fixture(scope="module")
def reference(files):
    return g2.localize(files, n_threads=1, **SETTINGS)


def assert_same_table(got, want):
    """Row for row and bit for bit: columns, dtypes, every column's bytes,
    and the attributes."""
    assert list(got.columns) == list(want.columns)
    assert list(got.dtypes) == list(want.dtypes)
    assert got.equals(want)
    for c in want.columns:
        assert got[c].to_numpy().tobytes() == want[c].to_numpy().tobytes(), c
    assert got.attrs == want.attrs


def test_files_on_the_cluster_give_the_local_table_and_only_paths_travel(client, files, reference, frames):
    assert len(reference) > 2 * N_FRAMES and reference.attrs["source"] == [str(p) for p in files]
    assert_same_table(g2.localize(files, client=client, **SETTINGS), reference)
    # A range of frames, and given peaks (each task gets its own rows).
    peaks = reference[["frame", "x", "y"]].iloc[::2]
    for kw in (dict(frames=range(7, 29)), dict(peaks=peaks), dict(peaks=peaks, frames=(3, 30))):
        assert_same_table(g2.localize(files, client=client, **SETTINGS, **kw),
                          g2.localize(files, n_threads=2, **SETTINGS, **kw))
    # The maximum-likelihood fit too.
    assert_same_table(g2.localize(files, camera=CAM, estimator="mle", client=client),
                      g2.localize(files, camera=CAM, estimator="mle", n_threads=2))
    # Frames without contrast: the same one warning a run as a local run gives.
    flat = np.concatenate([frames[:6], np.full((10,) + SHAPE, 100, np.uint16)])
    said = []
    for kw in (dict(n_threads=2), dict(client=client)):
        with pytest.warns(g2.NoPeaksWarning) as w:
            g2.localize(flat, **SETTINGS, **kw)
        said.append([str(m.message) for m in w if m.category is g2.NoPeaksWarning])
    assert said[0] == said[1] and len(said[0]) == 1 and "10 of 16 frames" in said[0][0], said
    # What is sent for each task: the paths of its files, not their pixels.
    mv = g2.open_movie(files)
    ranges, tasks = gc.plan(mv, g2.Settings(**SETTINGS), 0, N_FRAMES, n_worker_threads=2)
    assert len(ranges) == len(tasks) >= 4 and ranges[0][0] == 0 and ranges[-1][1] == N_FRAMES
    for (lo, hi), t in zip(ranges, tasks):
        sent = len(pickle.dumps(dict(t.__dask_graph__())))
        assert sent < 4000 and sent < frames[lo:hi].nbytes, (lo, hi, sent)
        assert (str(files[1]) in repr(dict(t.__dask_graph__()))) == (lo < 23 and hi > 10)
        assert list(dict(t.__dask_graph__())) == [t.key]  # nothing shared that would tie it to a worker


def tasks_per_worker(stream):
    """How many of a run's tasks each worker ran, from a task stream."""
    return Counter(r["worker"] for r in stream.data if str(r["key"]).startswith("gauss2-localize"))


def test_tasks_spread_over_both_workers_with_small_and_broadcast_settings(client, files, reference, monkeypatch):
    # Settings that travel inside each task: the tasks depend on nothing
    # shared, and both workers run some of the 9.
    with get_task_stream(client) as ts:
        got = g2.localize(files, client=client, **SETTINGS)
    assert_same_table(got, reference)
    ran = tasks_per_worker(ts)
    assert sum(ran.values()) == 9 and sorted(ran) == sorted(client.nthreads()), ran
    # Settings too large to carry (a read-noise map, the bound lowered for
    # the test) reach every worker before the tasks: spread all the same.
    noise_map = np.linspace(1.0, 2.0, SHAPE[0] * SHAPE[1]).reshape(SHAPE)
    cam = g2.Camera(baseline=100.0, sensitivity=0.5, read_noise=noise_map, pixel_size=100.0)
    monkeypatch.setattr(gc, "SETTINGS_INLINE_BYTES", 1000)
    assert isinstance(gc.settings_for_tasks(client, g2.Settings(camera=cam, estimator="lsq"), "probe"), Future)
    with get_task_stream(client) as ts:
        got = g2.localize(files, camera=cam, estimator="mle", client=client)
    assert_same_table(got, g2.localize(files, camera=cam, estimator="mle", n_threads=1))
    assert sorted(tasks_per_worker(ts)) == sorted(client.nthreads())
    assert not [k for k in client.futures if str(k).endswith("-settings")]  # released after the run


def test_dask_arrays_are_read_by_range_and_give_the_local_table(client, frames, tmp_path):
    import zarr

    want = g2.localize(frames, n_threads=1, **SETTINGS)
    # zarr, in stored chunks of 5 frames (tasks of 4: ranges follow the chunks).
    z = zarr.open(str(tmp_path / "m.zarr"), mode="w", shape=frames.shape, chunks=(5, 20, 48), dtype=np.uint16)
    z[:] = frames
    zd = da.from_zarr(str(tmp_path / "m.zarr"))
    local = g2.localize(zd, n_threads=2, **SETTINGS)
    assert local.drop(columns=[]).equals(want) and local.attrs["source"] == ["<dask array>"]
    assert_same_table(g2.localize(zd, client=client, **SETTINGS), local)
    ranges, tasks = gc.plan(g2.open_movie(zd), g2.Settings(**SETTINGS), 0, N_FRAMES, n_worker_threads=2)
    assert all(lo % 5 == 0 or hi % 5 == 0 for lo, hi in ranges)  # no stored chunk read by more than two tasks
    for (lo, hi), t in zip(ranges, tasks):  # the store's path and the chunks' keys, not pixels
        assert len(pickle.dumps(dict(t.__dask_graph__()))) < frames[lo:hi].nbytes

    # One TIFF a frame through dask.array.image.imread.
    for f in range(N_FRAMES):
        tifffile.imwrite(tmp_path / f"f{f:03d}.tif", frames[f])
    im = da.image.imread(str(tmp_path / "f*.tif"), imread=tifffile.imread)
    assert_same_table(g2.localize(im, client=client, **SETTINGS), g2.localize(im, **SETTINGS))
    assert g2.localize(im, **SETTINGS).drop(columns=[]).equals(want)


def test_an_array_travels_in_ranges_each_once(client, frames, tmp_path, monkeypatch):
    # A memory-mapped movie has no paths the workers could open: its pixels
    # travel, each task's range with it and no more, the tasks sent as
    # earlier ones finish (never the whole array as one object).
    np.save(tmp_path / "m.npy", frames)
    movie = np.load(tmp_path / "m.npy", mmap_mode="r")
    calls = []
    compute = client.compute

    def recording(tasks, *args, **kwargs):  # the real compute, with what it is given noted
        sizes = {k: len(pickle.dumps(v)) for t in tasks for k, v in dict(t.__dask_graph__()).items()}
        calls.append(sizes)
        return compute(tasks, *args, **kwargs)

    monkeypatch.setattr(client, "compute", recording)
    assert_same_table(g2.localize(movie, client=client, **SETTINGS), g2.localize(frames, n_threads=1, **SETTINGS))
    task_bytes = 4 * frames[0].nbytes  # tasks of 4 frames
    sent = [n for call in calls for n in call.values()]
    assert max(sent) < task_bytes + 4000 and sum(sent) < frames.nbytes + 4000 * len(sent), sent
    assert len(calls) > 1 and all(sum(c.values()) < 4 * (task_bytes + 4000) for c in calls)  # 2 a worker thread


def test_a_dask_array_is_computed_a_range_at_a_time(frames, monkeypatch):
    # Every block computed is recorded: opening computes none, a read only
    # the blocks it covers, and a whole run (chunks of up to 12 frames) each
    # block once, and the first once more for the camera checks.
    monkeypatch.setattr(pipeline, "CHUNK_PIXELS", 12 * SHAPE[0] * SHAPE[1])
    computed = []

    def block(x, block_info=None):
        computed.append(tuple(block_info[0]["array-location"][0]))
        return x

    arr = da.from_array(frames, chunks=(5, 40, 48)).map_blocks(block, dtype=frames.dtype)
    mv = g2.open_movie(arr)
    assert computed == [] and mv.shape == frames.shape and mv.chunk_bounds[-1] == N_FRAMES
    np.testing.assert_array_equal(mv.read(7, 12), frames[7:12])
    assert sorted(computed) == [(5, 10), (10, 15)]
    computed.clear()
    with dask.config.set(scheduler="threads"):  # localize reads in its own threads whatever the default
        g2.localize(arr, n_threads=2, psf_sigma=1.3, **SETTINGS)  # measuring it would read the first frames again
    assert sorted(computed) == sorted([(0, 5)] + [(lo, min(lo + 5, N_FRAMES)) for lo in range(0, N_FRAMES, 5)])
    with pytest.raises(g2.MovieError, match="unknown shape"):
        g2.open_movie(da.from_array(frames)[da.from_array(frames)[:, 0, 0] > 0])


def _gate(started, go):
    """Installed in each worker: a task signals `started` with its process's
    id, then waits for `go` before it localises."""
    from distributed import Event, Queue

    import gauss2_fitter.cluster as c

    real = c.__dict__.setdefault("_ungated", c.localize_frames)

    def gated(*args):
        Queue(started).put(os.getpid())
        Event(go).wait(timeout=GUARD)
        return real(*args)

    c.localize_frames = gated


def _ungate():
    import gauss2_fitter.cluster as c

    c.localize_frames = c.__dict__.pop("_ungated", c.localize_frames)


def test_a_worker_killed_while_running_costs_a_retry_not_rows(client, files, reference):
    started, go = f"started-{uuid.uuid4().hex}", f"go-{uuid.uuid4().hex}"
    before = set(client.run(os.getpid).values())
    client.run(_gate, started, go)
    out = {}

    def run():
        try:
            out["table"] = g2.localize(files, client=client, **SETTINGS)
        except BaseException as e:  # reported below
            out["error"] = e

    runner = threading.Thread(target=run)
    runner.start()
    try:
        victim = Queue(started, client=client).get(timeout=GUARD)  # a task is running in this process
        assert victim in before
        os.kill(victim, signal.SIGKILL)
    finally:
        Event(go, client=client).set()
        runner.join(GUARD)
    try:
        assert not runner.is_alive() and "error" not in out, out.get("error")
        assert_same_table(out["table"], reference)
    finally:
        client.wait_for_workers(2, timeout=GUARD)  # the nanny's new process
        client.run(_ungate)
    assert victim not in set(client.run(os.getpid).values())


def test_a_worker_without_the_package_that_joins_during_a_run_ends_it_in_one_line(files, tmp_path):
    # A worker that cannot import the package (here one that finds a module
    # of that name which refuses to load) joins while the tasks wait: it
    # would fail them, or wait forever for the settings it cannot unpickle.
    # The run ends with one line naming it, whether or not it got a task;
    # or, when a task reached it first (tasks go to any free worker, a new
    # one at once), the worker ends on unpickling it and the run completes
    # without it, its table whole.
    (tmp_path / "gauss2_fitter.py").write_text("raise ImportError('not installed on this worker')\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    started, go = f"started-{uuid.uuid4().hex}", f"go-{uuid.uuid4().hex}"
    with gc.local_cluster(1) as cluster, Client(cluster) as c:
        c.run(_gate, started, go)
        out = {}

        def run():
            try:
                out["table"] = g2.localize(files, client=c, **SETTINGS)
            except BaseException as e:  # reported below (not kept: its frames hold the run's futures)
                out["error"] = (type(e), str(e))

        runner = threading.Thread(target=run)
        runner.start()
        bad = None
        try:
            Queue(started, client=c).get(timeout=GUARD)  # the run is under way
            good = set(c.nthreads())
            bad = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", cluster.scheduler_address,
                                    "--nthreads", "1", "--no-nanny", "--no-dashboard", "--local-directory",
                                    str(tmp_path / "worker")], env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + GUARD
            while len(c.nthreads()) < 2 and bad.poll() is None and time.monotonic() < deadline:
                time.sleep(0.05)  # joined, or ended on the task it was sent
            joined = set(c.nthreads()) - good  # one snapshot: the worker may end any moment
            address = joined.pop() if joined else r"\S+"
        finally:
            Event(go, client=c).set()
            runner.join(GUARD)
            if bad is not None:
                bad.terminate()
                bad.wait(GUARD)
        assert not runner.is_alive(), "the run did not end"
        if "table" in out:  # the worker ended on the first task it was sent, which ran again elsewhere
            assert set(c.nthreads()) == good
            assert_same_table(out["table"], g2.localize(files, n_threads=1, **SETTINGS))
            return
        assert out.get("error", (None,))[0] is gc.ClusterError, out
        assert re.match(rf"worker {address} cannot import gauss2_fitter \(ImportError: not installed on this "
                        r"worker\); every worker needs", out["error"][1]), out["error"]
        left = {s.status for k, s in c.futures.items() if str(k).startswith("gauss2-localize")}
        assert left <= {"cancelled", "finished"}, left  # nothing still running for the run


def damage_a_page(path, page):
    """Overwrites the middle of one compressed page: the file opens, that
    page does not decode."""
    with tifffile.TiffFile(path) as t:
        off, n = t.pages[page].dataoffsets[0], t.pages[page].databytecounts[0]
    with open(path, "r+b") as f:
        f.seek(off + 8)
        f.write(b"\0" * (n - 16))


def test_a_damaged_file_ends_the_run_naming_it_and_writes_nothing(client, files, frames, tmp_path, capsys):
    bad = tmp_path / "bad.tif"
    tifffile.imwrite(bad, frames[:10], compression="zlib")
    damage_a_page(bad, 6)
    movie = [files[0], bad, files[2]]  # the damaged page is frame 16
    with pytest.raises(g2.MovieError, match=rf"^movie {bad}: cannot read its frames \d+ to \d+: "):
        g2.localize(movie, n_threads=1, **SETTINGS)
    with pytest.raises(g2.MovieError, match=rf"^movie {bad}: cannot read its frames \d+ to \d+: ") as e:
        g2.localize(movie, client=client, **SETTINGS)
    assert "\n" not in str(e.value)
    # The tool: one line naming the file, status 1, the old output untouched
    # and no file left beside it.
    out = tmp_path / "out" / "locs.hdf5"
    out.parent.mkdir()
    out.write_bytes(b"old")
    capsys.readouterr()
    assert cli.main(["fit", *map(str, movie), "-o", str(out), "--estimator", "lsq", "--no-progress",
                     "--scheduler", client.scheduler.address]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and str(bad) in err[0] and err[0].startswith("python3 -m gauss2_fitter: error: movie")
    assert out.read_bytes() == b"old" and sorted(p.name for p in out.parent.iterdir()) == ["locs.hdf5"]
    assert not [k for k in client.futures if str(k).startswith("gauss2-localize")]  # all cancelled or taken


def test_the_tool_on_a_cluster_it_starts_or_joins(client, files, tmp_path, capsys, monkeypatch):
    args = [*map(str, files), "--estimator", "lsq", "--baseline", "100", "--sensitivity", "0.5",
            "--read-noise", "1.5", "--pixel-size", "100", "--no-progress"]
    assert cli.main(["fit", *args, "-o", str(tmp_path / "local.csv")]) == 0
    assert cli.main(["fit", *args, "-o", str(tmp_path / "joined.hdf5"), "--scheduler", client.scheduler.address]) == 0
    assert cli.main(["fit", *args, "-o", str(tmp_path / "local.hdf5")]) == 0
    capsys.readouterr()
    # --workers 2 in a process of its own, as a user runs it: its own cluster,
    # stopped after, and nothing of dask's on the terminal.
    run = subprocess.run([sys.executable, "-m", "gauss2_fitter", "fit", *args, "-o", str(tmp_path / "started.csv"),
                          "--workers", "2"], capture_output=True, text=True, timeout=GUARD, env=os.environ.copy())
    assert run.returncode == 0, run.stderr
    assert re.fullmatch(r"python3 -m gauss2_fitter: localised \d+ of \d+ peaks .* -> \S+started\.csv\n", run.stderr)
    assert (tmp_path / "started.csv").read_bytes() == (tmp_path / "local.csv").read_bytes()
    a, b = g2.read_localizations(tmp_path / "joined.hdf5"), g2.read_localizations(tmp_path / "local.hdf5")
    assert a.equals(b) and len(a) > N_FRAMES
    assert (tmp_path / "joined.yaml").read_text() == (tmp_path / "local.yaml").read_text()
    # Options checked before anything starts: one line, status 1.
    for extra, message in [(["--workers", "0"], "--workers must be from 1"),
                           (["--workers", "2", "--scheduler", "tcp://x:1"], "give one of them"),
                           (["--scheduler", client.scheduler.address, "--threads", "2"], "--threads is for local"),
                           (["--scheduler", "nowhere://x"], "cannot connect")]:
        assert cli.main(["fit", *args, "-o", str(tmp_path / "never.csv"), *extra]) == 1, extra
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and message in err[0], (extra, err)
    assert not (tmp_path / "never.csv").exists()
    # Workers are asked for the package before any task: one at another
    # version is refused (a worker without it, likewise, by its import error).
    monkeypatch.setattr(gc, "__version__", "0.0.other")
    with pytest.raises(gc.ClusterError, match=r"^worker tcp://\S+ has gauss2_fitter \S+ and this client 0.0.other;"):
        g2.localize(files, client=client, **SETTINGS)
    with pytest.raises(TypeError, match="dask.distributed.Client"):
        g2.localize(files, client="tcp://127.0.0.1:8786", **SETTINGS)
