#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/.

Each seed is encoded for FuzzInput (fuzz_input.h): one byte per choice, small
integers in one or two bytes, doubles as a kind byte and a payload. The seeds
name the situation they start the search from; the fuzzer mutates them.

    python3 fuzz/make_seeds.py        # rewrites the seed-* files only
"""

import math
import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent

EXTREMES = [-2**63, 2**63 - 1, -2**63 + 1, 2**63 - 2, 2**32, 2**32 + 1, 2**32 - 1, -2**32, 2**31, -2**31,
            2**31 - 1, -1, 0, 2**32 + 5, 2**62]
SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 1.5, 5.5, 1e10, -1e10, 1e300, -1e300, 1.7976931348623157e308,
           -1.7976931348623157e308, 2.2250738585072014e-308, 5e-324, -5e-324, math.inf, -math.inf, math.nan,
           -math.nan, 9223372036854775808.0, -9223372036854775808.0, 4294967296.0, 4294967296.5, 0.999999999,
           -0.999999999, 1.0000000000000002, 6.283185308]


class Enc:
    def __init__(self):
        self.out = bytearray()

    def byte(self, v):
        self.out.append(v & 0xFF)
        return self

    def raw(self, fmt, v):
        self.out += struct.pack("<" + fmt, v)
        return self

    def in_range(self, lo, hi, v):
        assert lo <= v <= hi, (lo, v, hi)
        if hi - lo + 1 > 256:
            return self.raw("H", v - lo)
        return self.byte(v - lo)

    def index(self, lo, hi, v):
        if lo <= v <= hi:
            return self.byte(0).in_range(lo, hi, v)
        if v in EXTREMES:
            return self.byte(200).byte(EXTREMES.index(v))
        return self.byte(240).raw("q", v)

    def real(self, v):
        for i, s in enumerate(SPECIAL):
            if struct.pack("<d", s) == struct.pack("<d", v):
                return self.byte(96).byte(i)
        if v * 64 == int(v * 64) and -32768 <= v * 64 < 32768:
            return self.byte(0).raw("h", int(v * 64))
        return self.byte(192).raw("d", v)


# ---- fuzz_batch_fit ---------------------------------------------------------

USUAL_START = 0  # mask 0: the usual start for every field


def batch(flags, mea, w, h, image, peaks, opts=None, tail=b""):
    """image: ("spot", background, amp, px, py, sx_byte, sy_byte, pokes) or ("raw", values);
    peaks: (cx, cy, {field: value}) with the usual start elsewhere."""
    e = Enc().byte(flags)
    for v in opts or []:
        e.real(v)
    if flags & 0x10:
        e.in_range(0, 1000, 3).index(-3, 40, 10).index(-3, 40, 10)
    e.byte((mea - 1) // 2)
    if flags & 0x08:
        e.in_range(-3, 40, 0).in_range(-3, 40, 0)
        axis_w, big, small = w
        e.byte(1 if axis_w else 0).index(-3, 40, big).in_range(-3, 0, small)
        w, h = (big, small) if axis_w else (small, big)
    else:
        e.in_range(-3, 40, w).in_range(-3, 40, h)
    if w > 0 and h > 0:
        if image[0] == "raw":
            for v in image[1]:
                e.real(v)
        else:
            _, background, amp, px, py, sx, sy, pokes = image
            e.real(background) if flags & 0x04 else e.in_range(0, 255, background)
            e.in_range(1, 4000, amp) if flags & 0x02 else e.real(amp)
            e.in_range(0, w * 16, int(px * 16)).in_range(0, h * 16, int(py * 16)).byte(sx).byte(sy)
            e.byte(len(pokes))
            for at, v in pokes:
                e.in_range(0, w * h - 1, at).real(v)
    e.in_range(0, 8, len(peaks))
    cw, ch = max(0, min(w, 64)), max(0, min(h, 64))
    for cx, cy, fields in peaks:
        e.index(-2, cw + 1, cx).index(-2, ch + 1, cy)
        mask = sum(1 << k for k in fields)
        e.raw("H", mask)
        for k in sorted(fields):
            e.real(fields[k])
    return bytes(e.out) + tail


def batch_seeds():
    spot = ("spot", 100, 2000, 15.3, 14.6, 64, 32, [])
    return {
        "spot-fitted-outside-skipped-duplicate": batch(
            0x02, 11, 30, 30, spot, [(15, 14, {}), (0, 14, {}), (-1, 3, {}), (15, 14, {}), (16, 14, {})]),
        "nan-and-inf-pixels": batch(
            0x02, 11, 30, 30, ("spot", 100, 2000, 15.3, 14.6, 64, 32, [(14 * 30 + 15, math.nan), (3, math.inf)]),
            [(15, 14, {}), (5, 5, {}), (20, 20, {})]),
        "hostile-starts": batch(
            0x02, 11, 30, 30, spot,
            [(15, 14, {0: math.nan}), (15, 14, {1: 0.0}), (15, 14, {5: 1.0}), (15, 14, {3: math.inf}),
             (15, 14, {0: 1e300, 2: -1e-300}), (15, 14, {6: math.nan, 7: math.nan, 8: math.inf, 9: -0.0})]),
        "extreme-width-and-centres": batch(
            0x08, 11, (True, 2**63 - 1, 0), None, None,
            [(2**63 - 1, 5, {}), (2**32 + 5, 2**32 + 5, {}), (-2**63, 0, {}), (5, 2**62, {})]),
        "extreme-height": batch(0x08, 3, (False, 2**32, -3), None, None, [(1, 2**32 - 1, {}), (2**31, 1, {})]),
        "hostile-options": batch(
            0x03, 11, 30, 30, spot, [(15, 14, {})], opts=[math.nan, -1.0, math.inf, 0.0, 1e300]),
        "zero-options": batch(0x03, 7, 20, 20, ("spot", 10, 500, 10.5, 9.5, 32, 32, []), [(10, 9, {})],
                              opts=[0.0, 0.0, 0.0, 0.0, 0.0]),
        "raw-image-mea-one": batch(0x00, 1, 4, 3, ("raw", [1.0, 2.0, math.nan, -1.0, 0.5, 1e300, -1e300, 0.0,
                                                            5.5, 1.5, -0.0, math.inf]),
                                   [(1, 1, {}), (3, 2, {})]),
        "largest-window-in-image": batch(0x02, 39, 40, 40, ("spot", 5, 3000, 20.2, 19.7, 160, 128, []),
                                         [(19, 19, {1: 3.0, 2: 3.0})]),
        "negative-peak-count-and-flat": batch(0x16, 5, 12, 12, ("spot", 7, 1, 0.0, 0.0, 0, 0, []),
                                              [(6, 6, {}), (6, 6, {0: 3.5})]),
        "overlapping-peaks": batch(0x02, 9, 24, 24, ("spot", 50, 1500, 12.0, 12.0, 80, 80, []),
                                   [(11, 11, {}), (12, 11, {}), (12, 12, {}), (13, 12, {}), (11, 11, {})],
                                   tail=bytes([14, 0]) + bytes(range(0, 60))),
    }


# ---- fuzz_synth_image ---------------------------------------------------------


def synth(flags, w, h, mea, peaks, base=None, pokes=(), size_choice=None):
    e = Enc().byte(flags)
    e.in_range(-3, 48, w if not flags & 1 else 0).in_range(-3, 48, h if not flags & 1 else 0)
    if flags & 1:
        big, small = size_choice
        e.index(-3, 48, big).in_range(-3, 0, small)
        w, h = (big, small) if flags & 2 else (small, big)
    e.in_range(-4, 63, mea if not flags & 4 else 0)
    if flags & 4:
        e.byte([-2**63, -2**63 + 1, -2**32, -2**31, -1].index(mea))
    count = w * h if w > 0 and h > 0 else 0
    if flags & 8:
        e.real(base)
    if count:
        e.byte(len(pokes))
        for at, v in pokes:
            e.in_range(0, count - 1, at).real(v)
    e.in_range(0, 12, len(peaks))
    sw, sh = (w if 0 < w <= 48 else 8), (h if 0 < h <= 48 else 8)
    for pos_x, pos_y, fields in peaks:
        e.in_range(-32, (sw + 2) * 16, int(round(pos_x * 16)) + 0).in_range(-32, (sh + 2) * 16, int(round(pos_y * 16)))
        e.byte(sum(1 << k for k in fields))
        for k in sorted(fields):
            e.real(fields[k])
    return bytes(e.out)


def synth_seeds():
    return {
        "peaks-inside-and-at-every-edge": synth(0, 20, 20, 5, [(10.3, 10.7, {}), (16.9, 10, {}), (17.0, 10, {}),
                                                               (2.0, 10, {}), (1.9375, 10, {}),
                                                               (10, 20.0, {}), (-0.5, 3, {})]),
        "even-and-largest-mea": synth(8, 40, 40, 4, [(20.0, 20.0, {}), (20.5, 19.5, {})], base=1.0),
        "mea-63": synth(0, 48, 48, 63, [(24.0, 24.0, {})]),
        "mea-47-fits": synth(0, 48, 48, 47, [(23.5, 23.5, {}), (24.0, 24.0, {})]),
        "zero-and-negative-mea": synth(4, 20, 20, -2**63, [(10, 10, {})]),
        "mea-zero": synth(0, 20, 20, 0, [(10, 10, {})]),
        "non-finite-values": synth(8, 16, 12, 5, [(8, 6, {0: math.nan}), (4, 4, {1: 0.0}), (12, 6, {5: 1.0}),
                                                  (8, 6, {3: math.inf}), (8, 6, {4: math.nan}),
                                                  (8, 6, {0: 1e300, 1: 5e-324})], base=-0.0,
                                   pokes=[(5, math.nan), (11, math.inf)]),
        "duplicates-and-overlaps": synth(0, 30, 30, 7, [(15.2, 14.8, {})] * 3 + [(16.0, 15.0, {}), (14.0, 14.0, {})]),
        "extreme-width": synth(3, None, None, 5, [(4.0, 0.0, {3: 9.2e18})], size_choice=(2**63 - 1, 0)),
        "extreme-height": synth(1, None, None, 63, [(0.5, 3.0, {4: 4294967296.5})], size_choice=(2**32, -2)),
        "no-image": synth(0, -3, 0, 5, [(1, 1, {})]),
    }


# ---- fuzz_tables_hash -----------------------------------------------------------


class Ops(Enc):
    def construct(self, slot, kind, flags, growable, array, row_bytes, n_rows, n_bytes, n_cols=1, elem=1):
        self.byte(0).byte(slot).byte(kind).byte(flags).byte(growable).byte(array)
        self.in_range(1, 48, row_bytes).in_range(0, 12, n_rows).in_range(0, 400, n_bytes)
        if kind >= 4:
            self.in_range(1, 6, n_cols).in_range(1, 8, elem)
            row_bytes, n_bytes = n_cols * elem, n_rows * n_cols * elem
        elif kind in (2, 3):
            n_bytes = n_rows * row_bytes
        if kind % 2 == 0:
            self.out += bytes((i * 7 + 3) & 0xFF for i in range(n_bytes))
        return self

    def op(self, code, *payload):
        self.byte(code)
        for b in payload:
            self.byte(b)
        return self


def tables_seeds():
    grow = Ops().construct(0, 3, 0x40, 1, 0, 12, 5, 0)
    for i in range(6):  # five appends fill it; a sixth is never asked for
        grow.op(4, 0, 2, i, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0)
    grow.op(1, 0, 0, 3, 0, 0).op(5, 0, 1, 1, 2).op(1, 1, 0, 0).op(7, 1, 3)
    fixed = Ops().construct(1, 0, 0, 0, 1, 12, 0, 100).op(2, 1, 4, 1, 3).op(2, 1, 1, 0).op(3, 1, 0, 3, 2, 1, 1, 9)
    fixed.op(6, 1, 2).op(1, 2, 7, 1).op(0, 1, 1, 0, 0, 0, 0, 0, 0).op(1, 2, 0)
    arrays = Ops().construct(2, 4, 0, 0, 0, 1, 4, 0, n_cols=3, elem=8).op(1, 2, 3, 1).op(10, 2, 2, 3, 4, 1, 2, 3)
    for n_dims in range(4):
        arrays.op(10, n_dims, 2, 3, 4, 5, 1, 2, 3, 4)
    arrays.op(10, 0, 0).op(10, 1, 5, 0)
    hashes = Ops().op(8, 7)  # 8 slots
    for key in (10, 18, 10, 7, 15, 23, 2, 3, 4, 5, 6, 24, 1):
        hashes.op(9, 1, key - 1, 1)
    hashes.op(8, 0).op(9, 1, 0, 1).op(9, 1, 0, 1).op(9, 0).raw("Q", 2**64 - 1).byte(1)
    mixed = Ops().construct(0, 1, 0xFF, 1, 1, 16, 0, 160).construct(3, 5, 0, 0, 0, 1, 12, 0, n_cols=6, elem=8)
    for i in range(10):
        mixed.op(4, 0, 1, i % 1, 1).op(3, 0, 3, 0, 1, 2, 7).op(5, 0, 3, i % 4, 2).op(2, 3, i, 1, i % 12)
    mixed.op(6, 0, 2).op(7, 0, 9).op(4, 2, 2, *range(16), 1).op(0, 0, 2, 0, 0, 0, 1, 0, 0)
    return {"growable-to-full-and-subset": bytes(grow.out), "fixed-view-set-and-columns": bytes(fixed.out),
            "arrays-of-every-rank": bytes(arrays.out), "hash-probe-wrap-and-full": bytes(hashes.out),
            "copies-subsets-and-free": bytes(mixed.out)}


def main():
    for target, seeds in (("fuzz_batch_fit", batch_seeds()), ("fuzz_synth_image", synth_seeds()),
                          ("fuzz_tables_hash", tables_seeds())):
        d = HERE / "corpus" / target
        d.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (d / f"seed-{name}").write_bytes(data)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
