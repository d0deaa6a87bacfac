"""Side by side, from one run: this library's fits/s with one thread and
with all cores, a levmar-style baseline (the same solver driven through the
separate model and Jacobian callbacks, as the host's levmar build does),
scipy's least_squares(method='lm') with an analytic Jacobian on a subset of
the same patches, the agreement of fitted positions with scipy, and
instructions per fit from callgrind.

    /usr/bin/python3 bench/compare.py [--build build/release] [--scipy-fits 400]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "bench"))

import workload  # noqa: E402
from workload import best_rate  # noqa: E402


def scipy_fit(patch, start):
    """The same model, Jacobian and starting values, solved by MINPACK's LM."""
    from scipy.optimize import least_squares

    mea = patch.shape[0]
    j, i = np.meshgrid(np.arange(mea) + 0.5, np.arange(mea) + 0.5)
    x, y, z = j.ravel(), i.ravel(), patch.ravel()

    def parts(p):
        amp, sx, sy, px, py, rho, off = p
        L = 1 - rho * rho
        dx, dy = x - px, y - py
        u, v = dx / sx, dy / sy
        G = np.exp(-(u * u - 2 * rho * u * v + v * v) / (2 * L)) / (2 * np.pi * sx * sy * np.sqrt(L))
        return amp, sx, sy, rho, L, dx, dy, G

    def residual(p):
        amp, *_, G = parts(p)
        return amp * G + p[6] - z

    def jac(p):
        amp, sx, sy, rho, L, dx, dy, G = parts(p)
        aG = amp * G
        J = np.empty((len(z), 7))
        J[:, 0] = G
        J[:, 1] = aG * (dx * dx / (L * sx**3) - rho * dx * dy / (L * sx * sx * sy) - 1 / sx)
        J[:, 2] = aG * (dy * dy / (L * sy**3) - rho * dx * dy / (L * sx * sy * sy) - 1 / sy)
        J[:, 3] = aG * (dx / sx**2 - rho * dy / (sx * sy)) / L
        J[:, 4] = aG * (dy / sy**2 - rho * dx / (sx * sy)) / L
        J[:, 5] = aG * (rho / L + (1 + rho * rho) * dx * dy / (sx * sy * L * L)
                        - rho * (dx * dx / sx**2 + dy * dy / sy**2) / (L * L))
        J[:, 6] = 1.0
        return J

    return least_squares(residual, start, jac=jac, method="lm", xtol=1e-15, ftol=1e-15, gtol=1e-15,
                         max_nfev=2000).x


def starting_values(patch, mea):
    lo, hi = patch.min(), patch.max()
    return np.array([(max(hi, 0.0) - min(lo, 1e10)) * (6.283185308 * 1.5) * 1.5, 1.5, 1.5, mea / 2, mea / 2,
                     0.0, min(lo, 1e10)])


def write_workload(path, im, cx, cy, mea):
    with open(path, "wb") as f:
        np.array([im.shape[0], im.shape[1], len(cx), mea], np.int64).tofile(f)
        np.ascontiguousarray(im, np.float64).tofile(f)
        cx.astype(np.int64).tofile(f)
        cy.astype(np.int64).tofile(f)


def run_driver(driver, path, *args):
    out = subprocess.run([str(driver), str(path), *args], capture_output=True, text=True, check=True).stdout
    return float(re.search(r"fits_per_s (\d+)", out).group(1))


def callgrind_per_fit(driver, path, n, mode=()):
    if shutil.which("valgrind") is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/cg.out",
               "--toggle-collect=fit_array_of_gauss_2d_on_float_image", "--toggle-collect=fit_by_callbacks",
               str(driver), str(path), "1", *mode]
        err = subprocess.run(cmd, capture_output=True, text=True).stderr
    m = re.search(r"Collected : (\d+)", err)
    return int(m.group(1)) / n if m else None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=str(ROOT / "build" / "release"))
    ap.add_argument("--scipy-fits", type=int, default=400)
    ap.add_argument("--callgrind-fits", type=int, default=400)
    args = ap.parse_args()
    os.environ.setdefault("GAUSS2_FITTER_LIB", str(Path(args.build) / "libgauss2_fitter.so"))
    import gauss2_fitter as g2

    driver = Path(args.build) / "bench" / "fit_workload"
    im, cx, cy, truth = workload.make()
    n, mea, cores = len(cx), workload.MEA, os.cpu_count() or 1
    print(f"workload: {im.shape[1]} x {im.shape[0]} image, {n} bright spots, {mea} x {mea} patches, "
          f"seed {workload.SEED}")

    one = best_rate(lambda: g2.fit_peaks(im, cx, cy, mea, n_threads=1), n)
    many = best_rate(lambda: g2.fit_peaks(im, cx, cy, mea, n_threads=cores), n)
    rec, _, flag = g2.fit_peaks(im, cx, cy, mea, n_threads=1)
    print(f"this library, fit_peaks:        {one:10.0f} fits/s on 1 thread, {many:10.0f} fits/s on {cores} "
          f"threads ({many / one:.2f}x); {int(flag.sum())} flagged")
    mle_one = best_rate(lambda: g2.fit_peaks(im, cx, cy, mea, n_threads=1, estimator="mle",
                                             read_noise=workload.READ_NOISE), n)
    mle = g2.fit_spots(im, cx, cy, mea, estimator="mle", read_noise=workload.READ_NOISE, n_threads=1)
    print(f"  the same, Poisson MLE:        {mle_one:10.0f} fits/s on 1 thread ({mle_one / one:.2f}x least squares), "
          f"{mle.iterations.mean():.2f} iterations per fit; {int((mle.flag != 0).sum())} flagged")

    with tempfile.TemporaryDirectory() as tmp:
        full, small = Path(tmp) / "all.bin", Path(tmp) / "few.bin"
        write_workload(full, im, cx, cy, mea)
        k = min(args.callgrind_fits, n)
        write_workload(small, im, cx[:k], cy[:k], mea)
        if driver.exists():
            native = run_driver(driver, full, "5")
            base = run_driver(driver, full, "2", "callbacks")
            print(f"native batch call (no Python):  {native:10.0f} fits/s on 1 thread")
            native_mle = run_driver(driver, full, "5", "mle", str(workload.READ_NOISE**2))
            print(f"  the same, Poisson MLE:        {native_mle:10.0f} fits/s on 1 thread")
            print(f"levmar-style baseline:          {base:10.0f} fits/s on 1 thread (same solver through the "
                  f"model and Jacobian callbacks); this library is {native / base:.1f}x faster")
            ins = callgrind_per_fit(driver, small, k)
            ins_base = callgrind_per_fit(driver, small, k, ("callbacks",))
            if ins is not None:
                print(f"instructions per fit:           {ins:10.0f} (callgrind, {k} fits; valgrind runs the AVX2 "
                      f"path); baseline {ins_base:.0f}")
            else:
                print("instructions per fit:           valgrind not installed")
        else:
            print(f"({driver} not built: run `make bench`)")

    m = min(args.scipy_fits, n)
    half = mea // 2
    patches = [im[cy[i] - half:cy[i] + half + 1, cx[i] - half:cx[i] + half + 1] for i in range(m)]
    starts = [starting_values(p, mea) for p in patches]
    t = time.perf_counter()
    sp = np.array([scipy_fit(p, s) for p, s in zip(patches, starts)])
    scipy_rate = m / (time.perf_counter() - t)
    print(f"scipy least_squares(lm):        {scipy_rate:10.0f} fits/s on 1 thread ({m} patches); this library "
          f"is {one / scipy_rate:.0f}x faster")
    ok = flag[:m] == 0
    d = np.abs(rec[:m, 3:5][ok] - sp[ok, 3:5])
    print(f"positions vs scipy:             median |d| {np.median(d):.2e} px, max |d| {d.max():.2e} px "
          f"({int(ok.sum())} fits)")
    err = np.hypot(rec[:, 3] + cx - half - truth[:, 3], rec[:, 4] + cy - half - truth[:, 4])[flag == 0]
    print(f"position error against truth:   RMS {np.sqrt(np.mean(err**2)):.4f} px")


if __name__ == "__main__":
    main()
