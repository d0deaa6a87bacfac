"""One thread against two, in the same run, for fit_peaks and for localize,
and what holds the second thread back.

Cases: fit_peaks on bench/workload.py's image (least squares and the Poisson
MLE) and localize of bench/movie_bench.py's movie from its file (2 000
frames of 256 x 256; both estimators). The variants run interleaved (1
thread, then 2, N times over) and each figure is the best of its N. Printed
for each case:

  wall           seconds with 1 and with 2 threads, and the speed-up;
  prelude        fit_peaks: the CPU time the calling thread spends before
                 any work is shared out (arguments checked and converted,
                 starting records, the windows' pixel scale); localize: the
                 calling thread's CPU time at 2 threads, where it only opens
                 the movie, hands out chunks and joins the table. The serial
                 share that bounds the speed-up (Amdahl's bound beside it);
  CPU / item     this process's CPU time per fit or per frame at 1 and at 2
                 threads: a rise at 2 is contention inside the machine
                 (memory bandwidth, a lower clock with both cores busy, the
                 GIL's hand-overs);
  busy           this process's CPU time over (threads x wall): below 100 %
                 the threads wait (for the GIL, on each other at the end of
                 the work, or for a core taken by another process);
  others         the cores other processes used meanwhile (from /proc/stat):
                 on a shared machine what it takes from the two-thread
                 figure, told apart from what the code does.

The load average (1 minute) is printed before each case; quote the figures
of a quiet machine (below 0.5).

    /usr/bin/python3 bench/threads.py [--repeats 7] [--frames 2000] [--keep DIR]
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
import workload  # noqa: E402
from gauss2_fitter import fitter  # noqa: E402
from movie_bench import CAMERA, make_movie  # noqa: E402


def machine_busy():
    """Seconds of CPU time every process has used so far (user, nice,
    system, irq, softirq, steal), from /proc/stat; None elsewhere."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()[1:]
    except OSError:
        return None
    ticks = [int(v) for v in fields]
    busy = ticks[0] + ticks[1] + ticks[2] + ticks[5] + ticks[6] + (ticks[7] if len(ticks) > 7 else 0)
    return busy / os.sysconf("SC_CLK_TCK")


def measure(fn):
    """(wall, this process's CPU, every other process's CPU, the calling
    thread's CPU) of one call of fn."""
    busy0, cpu0, own0, t0 = machine_busy(), time.process_time(), time.thread_time(), time.perf_counter()
    fn()
    wall, cpu, own, busy1 = (time.perf_counter() - t0, time.process_time() - cpu0, time.thread_time() - own0,
                             machine_busy())
    others = None if busy0 is None else max(0.0, busy1 - busy0 - cpu)
    return wall, cpu, others, own


def compare(name, fn, items, unit, repeats, prelude=None, caller_serial=False):
    """Runs fn(1) and fn(2) interleaved `repeats` times and prints the best
    of each, with the breakdown of the module's docstring. prelude: the
    serial part, timed alone; caller_serial: the calling thread only hands
    out work at 2 threads, so its CPU time there is the serial part."""
    load = os.getloadavg()[0]
    fn(1), fn(2)  # warm-up: caches, the library's first calls, the file in the page cache
    best = {}
    for _ in range(repeats):
        for n in (1, 2):
            r = measure(lambda: fn(n))
            if n not in best or r[0] < best[n][0]:
                best[n] = r
    (w1, c1, o1, _), (w2, c2, o2, own2) = best[1], best[2]
    line = (f"{name:24} 1 thread {w1 * 1e3:8.1f} ms   2 threads {w2 * 1e3:8.1f} ms   {w1 / w2:5.2f}x"
            f"   (load {load:.2f} before)")
    print(line)
    serial = None
    if prelude is not None:
        serial, what = min(timed_cpu(prelude) for _ in range(repeats)), "prelude"
    elif caller_serial:
        serial, what = own2, "calling thread at 2 threads (opening, handing out, joining the table)"
    if serial is not None:
        bound = c1 / (serial + (c1 - serial) / 2)  # CPU times: not lengthened by other processes
        print(f"{'':24}   {what}: {serial * 1e3:.2f} ms CPU = {serial / c1:.1%} of the 1-thread run's CPU; "
              f"Amdahl's bound with it {bound:.2f}x")
    scale = 1e6 / items
    print(f"{'':24}   CPU / {unit} {c1 * scale:7.1f} us at 1 thread, {c2 * scale:7.1f} us at 2 ({c2 / c1 - 1:+.1%});"
          f"   busy {c1 / w1:.0%} of 1 core, {c2 / (2 * w2):.0%} of 2"
          + ("" if o2 is None else f";   others {o1 / w1:.2f} and {o2 / w2:.2f} cores meanwhile"))
    return w1 / w2


def timed_cpu(fn):
    t = time.thread_time()
    fn()
    return time.thread_time() - t


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--frames", type=int, default=2000)
    ap.add_argument("--keep", default=None, help="directory to keep the movie in (default: a temporary one)")
    args = ap.parse_args()
    print(f"{os.cpu_count()} cores; best of {args.repeats}, 1 and 2 threads interleaved")

    im, cx, cy, _ = workload.make()
    mea = workload.MEA
    for est, rn in (("lsq", 0.0), ("mle", workload.READ_NOISE)):
        compare(f"fit_peaks {est} ({len(cx)} fits)",
                lambda n, est=est, rn=rn: g2.fit_peaks(im, cx, cy, mea, n_threads=n, estimator=est, read_noise=rn),
                len(cx), "fit", args.repeats,
                prelude=lambda est=est, rn=rn: fitter._fit_arguments(im, cx, cy, mea, est, rn, None, 2))

    with tempfile.TemporaryDirectory() as tmp:
        d = Path(args.keep or tmp)
        d.mkdir(parents=True, exist_ok=True)
        movie = d / "movie_bench.tif"
        if not movie.exists():
            make_movie(movie, args.frames)
        mv = g2.open_movie(movie)
        for est in ("lsq", "mle"):
            compare(f"localize {est} ({mv.n_frames} frames)",
                    lambda n, est=est: g2.localize(movie, camera=CAMERA, estimator=est, n_threads=n),
                    mv.n_frames, "frame", max(2, args.repeats // 2), caller_serial=True)


if __name__ == "__main__":
    main()
