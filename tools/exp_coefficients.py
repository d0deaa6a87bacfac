"""The coefficients of the fit's inline exponential (vexp in
run/sigproc_v2/c_gauss2_fitter/gauss2_simd.h): regenerates them and measures
the approximation error of any set.

vexp computes exp(r) on |r| <= ln2 / 2 as 1 + r + r^2 (c2 + c3 r + ... + c11 r^9).
This script finds c2..c11 as the minimax polynomial for relative error on that
interval by the Remez exchange, in 60-digit decimal arithmetic (Python's own
decimal module: no dependencies), rounds them to doubles, and prints them in
vexp's Horner order as C hex literals. It also reads the set in the header and
reports the largest relative error of both sets over the interval, with the
polynomial evaluated exactly from its double coefficients (the rounding of
vexp's own arithmetic, about 1.1e-16, comes on top: tests/test_exp.cpp).

    /usr/bin/python3 tools/exp_coefficients.py
"""

import math
import re
from decimal import Decimal, getcontext
from pathlib import Path

getcontext().prec = 60

HEADER = Path(__file__).resolve().parent.parent / "run/sigproc_v2/c_gauss2_fitter/gauss2_simd.h"
DEGREE = 11  # of the whole polynomial; c0 = c1 = 1 are fixed
HALF_WIDTH = Decimal(2).ln() / 2


def polynomial(coefficients, r):
    """1 + r + r^2 (c2 + c3 r + ...), exactly, for c2.. given as Decimals."""
    q = Decimal(0)
    for c in reversed(coefficients):
        q = q * r + c
    return 1 + r + r * r * q


def relative_error(coefficients, r):
    e = r.exp()
    return (polynomial(coefficients, r) - e) / e


def solve(matrix, rhs):
    """Gaussian elimination with partial pivoting."""
    n = len(rhs)
    a = [row[:] + [b] for row, b in zip(matrix, rhs)]
    for col in range(n):
        pivot = max(range(col, n), key=lambda i: abs(a[i][col]))
        a[col], a[pivot] = a[pivot], a[col]
        for i in range(col + 1, n):
            f = a[i][col] / a[col][col]
            for j in range(col, n + 1):
                a[i][j] -= f * a[col][j]
    x = [Decimal(0)] * n
    for i in reversed(range(n)):
        x[i] = (a[i][n] - sum(a[i][j] * x[j] for j in range(i + 1, n))) / a[i][i]
    return x


def bisect_zero(f, lo, hi, steps=200):
    f_lo = f(lo)
    for _ in range(steps):
        mid = (lo + hi) / 2
        f_mid = f(mid)
        if (f_mid > 0) == (f_lo > 0):
            lo, f_lo = mid, f_mid
        else:
            hi = mid
    return (lo + hi) / 2


def golden_max(f, lo, hi, steps=160):
    """The point of [lo, hi] where f is largest (f unimodal there)."""
    g = (Decimal(5).sqrt() - 1) / 2
    c, d = hi - g * (hi - lo), lo + g * (hi - lo)
    fc, fd = f(c), f(d)
    for _ in range(steps):
        if fc > fd:
            hi, d, fd = d, c, fc
            c = hi - g * (hi - lo)
            fc = f(c)
        else:
            lo, c, fc = c, d, fd
            d = lo + g * (hi - lo)
            fd = f(d)
    return (lo + hi) / 2


def remez(iterations=12):
    """c2..c11 minimising max |relative error| on [-HALF_WIDTH, HALF_WIDTH]."""
    n = DEGREE - 1  # unknowns c2..c11; with the level E, n + 1 reference points
    a, b = -HALF_WIDTH, HALF_WIDTH
    points = [Decimal(-math.cos(math.pi * k / n)) * HALF_WIDTH for k in range(n + 1)]
    for _ in range(iterations):
        # p(r_i) - e^(r_i) = (-1)^i E e^(r_i), linear in c2..c11 and E.
        rows, rhs = [], []
        for i, r in enumerate(points):
            e = r.exp()
            rows.append([r ** (j + 2) / e for j in range(n)] + [Decimal(-1) ** i])
            rhs.append((e - 1 - r) / e)
        coefficients = solve(rows, rhs)[:n]
        err = lambda r: relative_error(coefficients, r)
        zeros = [bisect_zero(err, points[i], points[i + 1]) for i in range(n)]
        bounds = [a] + zeros + [b]
        new_points = []
        for i in range(n + 1):
            sign = 1 if err(points[i]) > 0 else -1
            candidates = [golden_max(lambda r: sign * err(r), bounds[i], bounds[i + 1])]
            candidates += [a] if i == 0 else []
            candidates += [b] if i == n else []
            new_points.append(max(candidates, key=lambda r: sign * err(r)))
        points = new_points
    return coefficients


def max_error(coefficients, samples=4000):
    """Largest |relative error| over the interval: dense samples, each local
    maximum then refined."""
    err = lambda r: abs(relative_error(coefficients, r))
    step = 2 * HALF_WIDTH / samples
    xs = [-HALF_WIDTH + step * k for k in range(samples + 1)]
    ys = [err(x) for x in xs]
    best = max(ys[0], ys[-1])
    for k in range(1, samples):
        if ys[k] >= ys[k - 1] and ys[k] >= ys[k + 1]:
            best = max(best, err(golden_max(err, xs[k - 1], xs[k + 1], steps=60)))
    return best


def header_coefficients():
    """c2..c11 as vexp has them: the literals of its Horner steps."""
    body = HEADER.read_text().split("inline v4d vexp(v4d x)")[1]
    literals = re.findall(r"p = (?:splat\()?(?:p \* r \+ )?(0x[0-9a-fA-Fp.+-]+)", body)
    return [Decimal(float.fromhex(h)) for h in reversed(literals)]


def main():
    fresh = [Decimal(float(c)) for c in remez()]
    print("minimax coefficients, in vexp's Horner order (c11 first):")
    for c in reversed(fresh):
        print(f"    {float(c).hex()}")
    current = header_coefficients()
    print(f"largest relative error on [-ln2/2, ln2/2] of the polynomial with these coefficients: "
          f"{float(max_error(fresh)):.3g}")
    if len(current) == len(fresh):
        print(f"... with the coefficients in {HEADER.name}: {float(max_error(current)):.3g}")


if __name__ == "__main__":
    main()
