"""The command-line tool end to end: render -> fit round trips, error paths, atomic output."""

import csv
import io
import os
import re
import signal
import stat
import subprocess
import sys
import textwrap
from pathlib import Path

import h5py
import numpy as np
import pandas as pd
import pytest
import tifffile
import yaml

import gauss2_fitter as g2
from gauss2_fitter import cli, pipeline
from gauss2_fitter.cli import fit, fit_image
from gauss2_fitter.outputs import resolve_output
from hostile_files import hostile_tables
from movie_fields import CAM, SHAPE, adu_movie, make_truth, spots_and_a_blob
from photometry_fields import CAMERA_OPTIONS, acquisition_order, field
from post_fields import PIXEL_NM, blinking, linear

PARAMS = ("amp", "std_x", "std_y", "pos_x", "pos_y", "rho", "offset")


def write_csv(path, header, rows):
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(header)
        w.writerows(rows)
    return path


def read_rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def value(cell):
    return float(cell) if cell != "" else np.nan


@pytest.fixture
def spots(tmp_path):
    """Well separated spots in image coordinates, as a render CSV."""
    rng = np.random.default_rng(11)
    ys, xs = np.mgrid[15:80:20, 15:110:20]
    k = xs.size
    pos = np.column_stack([xs.ravel(), ys.ravel()]) + rng.uniform(0, 1, (k, 2))
    peaks = np.column_stack([rng.uniform(800, 3000, k), rng.uniform(1.1, 1.7, k), rng.uniform(1.1, 1.7, k),
                             pos, rng.uniform(-0.3, 0.3, k), np.zeros(k)])
    return peaks, write_csv(tmp_path / "truth.csv", PARAMS + ("comment",), [list(p) + ["x"] for p in peaks])


def run(*argv):
    return cli.main([str(a) for a in argv])


def test_render_then_fit_recovers_the_peaks_in_image_coordinates(tmp_path, spots, monkeypatch, capsys):
    peaks, truth = spots
    im_path = tmp_path / "im.npy"
    assert run("render", truth, "--shape", 90, 120, "-o", im_path, "--mea", 17, "--background", 100) == 0
    im = np.load(im_path)
    assert im.shape == (90, 120) and im.dtype == np.float64
    assert im.min() == 100.0

    pixels = write_csv(tmp_path / "px.csv", ("y", "x"),  # any column order
                       [(int(p[4]), int(p[3])) for p in peaks])
    monkeypatch.setattr(fit_image, "CHUNK", 3)  # several native batches
    out = tmp_path / "fit.csv"
    assert run("fit", im_path, pixels, "-o", out, "--threads", 2) == 0
    rows = read_rows(out)
    assert list(rows[0]) == list(fit_image.FIT_COLUMNS)
    assert [(int(r["x"]), int(r["y"])) for r in rows] == [(int(p[3]), int(p[4])) for p in peaks]
    got = np.array([[value(r[n]) for n in PARAMS] for r in rows])
    want = peaks.copy()
    want[:, 6] = 100.0
    np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-6)
    assert all(r["flag"] == "0" for r in rows)
    se = np.array([[value(r[n + "_se"]) for n in PARAMS] for r in rows])
    assert np.all(np.isfinite(se)) and np.all(se < 1e-4)  # noise-free: tiny errors
    assert "fitted 20 of 20" in capsys.readouterr().err

    # Without a peak list the finder supplies the same pixels.
    out2 = tmp_path / "found.csv"
    assert run("fit", im_path, "-", "-o", out2, "--no-progress") == 0
    assert sorted((r["x"], r["y"]) for r in read_rows(out2)) == sorted((r["x"], r["y"]) for r in rows)

    # A fit's output renders as it is, each offset over its patch.
    again = tmp_path / "again.npy"
    assert run("render", out, "--shape", 90, 120, "-o", again, "--mea", 17) == 0
    again = np.load(again)
    patches = again > 0
    assert np.count_nonzero(patches) == 20 * 17 * 17
    np.testing.assert_allclose(again[patches], im[patches], rtol=1e-9)

    # Also with peaks it could not fit, whose values it left empty: they are skipped as missing.
    with_flagged = tmp_path / "with_flagged.csv"
    write_csv(with_flagged, ("x", "y"), [(int(p[3]), int(p[4])) for p in peaks] + [(0, 0), (500, 3)])
    assert run("fit", im_path, with_flagged, "-o", out) == 0
    capsys.readouterr()
    assert run("render", out, "--shape", 90, 120, "-o", tmp_path / "again2.npy", "--mea", 17) == 0
    assert "2 peak(s) with missing or non-finite values skipped (first on line 22)" in capsys.readouterr().err
    np.testing.assert_allclose(np.load(tmp_path / "again2.npy")[patches], im[patches], rtol=1e-9)


def test_peaks_outside_the_image_or_its_border_are_warned_and_flagged(tmp_path, capsys):
    im = g2.synth_image([[500.0, 1.3, 1.5, 25.4, 20.6, 0.1, 0.0]], (40, 50), 11) + 10.0
    np.save(tmp_path / "im.npy", im)
    px = write_csv(tmp_path / "px.csv", ("x", "y"),
                   [(25, 20), (-1, 20), (50, 3), (25, 40), (10**15, 1), (4, 20), (45, 20), (25, 35)])
    out = tmp_path / "fit.csv"
    assert run("fit", tmp_path / "im.npy", px, "-o", out) == 0
    err = capsys.readouterr().err
    assert "4 peak(s) outside the 50 x 40 image" in err and "(-1, 20)" in err
    assert "3 peak(s) too close to the border for a window of 11 x 11" in err
    rows = read_rows(out)
    assert len(rows) == 8
    assert rows[0]["flag"] == "0" and rows[0]["amp"] != ""
    for r in rows[1:]:
        assert r["flag"] == "1"
        assert all(r[c] == "" for c in fit_image.FIT_COLUMNS[2:-1])  # no fit, no values


def test_peak_lists_of_other_tools_are_read_alike_by_the_image_fit_and_the_movie_fit(tmp_path, capsys):
    spots = [[900.0, 1.3, 1.4, 15.4, 12.6, 0.1, 0.0], [700.0, 1.5, 1.2, 33.8, 25.3, -0.1, 0.0]]
    im = g2.synth_image(spots, (40, 50), 15) + 10.0
    np.save(tmp_path / "im.npy", im)
    pixels = [(15, 12), (33, 25)]
    lists = {  # name: (text, extra options); every one names the pixels above
        "whole.csv": ("x,y\n15,12\n33,25\n", []),
        "colrow.csv": ("Col,Row,label\n15,12,a\n33,25,b\n", []),
        "column_row.csv": ("frame;column;row\n0;15;12\n0;33;25\n", []),
        "tabs.csv": ("x\ty\n15.5\t12.5\n33.9\t25.01\n", []),
        "decimal_comma.csv": ("x;y\n15,4;12,6\n33,8;25,3\n", []),
        # ThunderSTORM's export: ids, frames from 1, nm from the top-left corner.
        "thunderstorm.csv": ('"id","frame","x [nm]","y [nm]","sigma [nm]"\n1,1,1540,1260,130\n2,1,3380,2530,150\n',
                             ["--pixel-size", 100]),
        "short_rows.csv": ("x,y\n15,12\n7\n33,25\n", []),  # a row without y: left out
        "trailing_delimiters.csv": ("x,y\n15,12,\n33,25,\n", []),  # no column shifted into an index
    }
    outs = {}
    for name, (text, extra) in lists.items():
        (tmp_path / name).write_text(text)
        out = tmp_path / f"fit_{name}"
        assert run("fit", tmp_path / "im.npy", tmp_path / name, "-o", out, *extra) == 0, name
        err = capsys.readouterr().err
        rows = read_rows(out)
        assert [(int(r["x"]), int(r["y"])) for r in rows] == pixels, name
        assert list(rows[0]) == list(fit_image.FIT_COLUMNS), name  # the per-peak table, --pixel-size or not
        outs[name] = [[r[c] for c in fit_image.FIT_COLUMNS] for r in rows]
        assert ("not whole pixels" in err) == (name in ("tabs.csv", "decimal_comma.csv", "thunderstorm.csv")), name
        assert ("without a position left out (first on line 3)" in err) == (name == "short_rows.csv"), name
    assert all(o == outs["whole.csv"] for o in outs.values())  # the same fits from every list

    # The movie path reads the same lists through the same reader.
    for name in ("colrow.csv", "decimal_comma.csv"):
        out = tmp_path / f"locs_{name}"
        assert run("fit", tmp_path / "im.npy", "--peaks", tmp_path / name, "--estimator", "lsq", "-o", out) == 0
        locs = g2.read_localizations(out)
        np.testing.assert_allclose(locs[["x", "y"]], [s[3:5] for s in spots], atol=1e-6)
        assert ("not whole pixels" in capsys.readouterr().err) == (name == "decimal_comma.csv")


def test_images_and_movies_where_nothing_can_be_found_say_why(tmp_path, capsys, monkeypatch):
    rng = np.random.default_rng(5)
    cases = {  # image, words of the warning
        "small": (rng.normal(100, 3, (5, 5)), "the 5 x 5 image is smaller than the 11 x 11 window: no window fits"),
        "flat": (np.full((40, 40), 7.0), "the image is flat (every pixel 7): no contrast above the threshold 7"),
        "noise": (rng.normal(100, 3, (40, 40)), "no contrast above the threshold"),
        "border": (g2.synth_image([[5000.0, 1.3, 1.3, 3.5, 20.5, 0, 0]], (40, 40), 7) + 10.0,
                   "1 peak(s) rise above the threshold"),
    }
    for name, (im, words) in cases.items():
        np.save(tmp_path / f"{name}.npy", im)
        assert run("fit", tmp_path / f"{name}.npy", "-o", tmp_path / f"{name}.csv") == 0, name
        err = capsys.readouterr().err
        assert "found 0 peaks" in err and f"warning: no peak to fit: {words}" in err, (name, err)
    write_csv(tmp_path / "px.csv", ("x", "y"), [(2, 2)])
    assert run("fit", tmp_path / "small.npy", tmp_path / "px.csv", "-o", tmp_path / "given.csv") == 0
    assert "no window fits; 1 peak(s) flagged" in capsys.readouterr().err

    # Movies: once a run, whatever the chunks and threads, naming the frames.
    monkeypatch.setattr(pipeline, "CHUNK_PIXELS", 3 * 40 * 40)  # 3 frames a chunk
    movie = rng.normal(100, 3, (30, 40, 40))
    movie[[4, 7, 8]] = 5.0
    np.save(tmp_path / "movie.npy", movie)
    with pytest.warns(g2.NoPeaksWarning) as said:
        g2.localize(movie, estimator="lsq", n_threads=2)
    assert [str(w.message) for w in said] == [
        "3 of 30 frames have no contrast above the threshold (flat, or no pixel above it; the first is frame 4): "
        "nothing found in them"]
    with pytest.warns(g2.NoPeaksWarning) as said:
        g2.localize(movie[:, :6, :], estimator="lsq", n_threads=2)
    assert [str(w.message) for w in said] == [
        "frames of 40 x 6 are smaller than the 11 x 11 window: no window fits, nothing can be localised"]
    assert run("fit", tmp_path / "movie.npy", "-o", tmp_path / "locs.csv", "--estimator", "lsq") == 0
    assert capsys.readouterr().err.count("warning: 3 of 30 frames have no contrast") == 1


def test_flagged_rows_keep_their_values_but_not_positions_off_their_window(tmp_path):
    # Windows of noise alone: most fits fail, many wander off the window.
    im = np.random.default_rng(0).normal(100, 3, (64, 64))
    np.save(tmp_path / "im.npy", im)
    ys, xs = np.mgrid[6:58:4, 6:58:4]
    x, y = xs.ravel(), ys.ravel()
    write_csv(tmp_path / "px.csv", ("x", "y"), zip(x, y))
    assert run("fit", tmp_path / "im.npy", tmp_path / "px.csv", "-o", tmp_path / "fit.csv") == 0
    rows = read_rows(tmp_path / "fit.csv")
    rec, _, flag = g2.fit_peaks(im, x, y, mea=11)
    inside = (rec[:, 3:5] >= 0) & (rec[:, 3:5] <= 11)
    assert (flag == 1).sum() > 20 and (~inside[flag == 1]).sum() > 20  # the case at hand, plenty of it
    for k, r in enumerate(rows):
        assert r["flag"] == str(flag[k])
        for j, name in enumerate(("pos_x", "pos_y")):
            if flag[k] and not inside[k, j]:
                assert r[name] == "", (k, r)  # not a position in the image
            else:  # what the fit returned
                assert float(r[name]) == pytest.approx(rec[k, 3 + j] + (x[k], y[k])[j] - 5, abs=1e-9)
        assert float(r["amp"]) == pytest.approx(rec[k, 0], rel=1e-11)  # other values stay


def test_tiff_images_are_read(tmp_path):
    tifffile = pytest.importorskip("tifffile")
    im = g2.synth_image([[500.0, 1.3, 1.5, 15.4, 15.6, 0.1, 0.0]], (30, 30), 11) + 5.0
    tifffile.imwrite(tmp_path / "im.tif", im.astype(np.float32))
    out = tmp_path / "fit.csv"
    assert run("fit", tmp_path / "im.tif", "-o", out) == 0
    (row,) = read_rows(out)
    assert (row["x"], row["y"], row["flag"]) == ("15", "15", "0")
    assert float(row["pos_x"]) == pytest.approx(15.4, abs=1e-4)  # float32 pixels


def test_without_tifffile_a_tiff_is_refused_naming_the_package(tmp_path, monkeypatch, capsys):
    (tmp_path / "im.tiff").write_bytes(b"II*\x00")
    monkeypatch.setitem(sys.modules, "tifffile", None)  # as if not installed
    assert run("fit", tmp_path / "im.tiff", "-o", tmp_path / "out.csv") == 1
    assert "tifffile package, which is not installed" in capsys.readouterr().err
    assert not (tmp_path / "out.csv").exists()


def bad_inputs(d):
    """(name, argv for fit/render, words the message must hold)."""
    np.save(d / "good.npy", np.ones((30, 30)))
    np.save(d / "cube.npy", np.ones((2, 3, 30, 30)))
    np.save(d / "line.npy", np.ones(30))
    np.save(d / "text.npy", np.array([["a", "b"], ["c", "d"]]))
    np.save(d / "empty.npy", np.ones((0, 30)))
    (d / "corrupt.npy").write_bytes(b"\x93NUMPY garbage")
    (d / "im.png").write_bytes(b"")
    write_csv(d / "nohead.csv", ("15", "15"), [(16, 16)])
    write_csv(d / "nox.csv", ("col", "y"), [(15, 15)])
    write_csv(d / "word.csv", ("x", "y"), [(15, 15), ("fifteen", 15)])
    (d / "semi.csv").write_text("a;b\n15;15\n")
    (d / "nm.csv").write_text("x [nm],y [nm]\n1500,1500\n")
    write_csv(d / "grouped.csv", ("x", "y"), [(15, "1_5")])
    write_csv(d / "arabic.csv", ("x", "y"), [(15, "\u0661\u0665")])  # Arabic-Indic 15
    write_csv(d / "twox.csv", ("x", "y", "X"), [(15, 15, 3)])
    write_csv(d / "far.csv", ("x", "y"), [(15, 1e300)])
    (d / "empty.csv").write_text("")
    write_csv(d / "render_bad.csv", PARAMS[:-1], [(1, 1, 1, 5, 5, 0)])
    write_csv(d / "render.csv", PARAMS, [(100, 1, 1, 5, 5, 0, 0)])
    np.save(d / "durations.npy", np.ones((30, 30), dtype="m8[s]"))
    np.save(d / "dates.npy", np.ones((30, 30), dtype="M8[s]"))
    g, out, r = d / "good.npy", d / "out.csv", d / "render.csv"
    return [
        ("missing image", ["fit", d / "nope.npy", "-o", out], ["nope.npy", "no such file"]),
        ("missing peaks", ["fit", g, d / "nope.csv", "-o", out], ["nope.csv", "no such file"]),
        ("4-D image", ["fit", d / "cube.npy", "-o", out], ["must be 2-D", "or 3-D", "(2, 3, 30, 30)"]),
        ("1-D image", ["fit", d / "line.npy", "-o", out], ["must be 2-D", "(30,)"]),
        ("text image", ["fit", d / "text.npy", "-o", out], ["real numbers"]),
        ("empty image", ["fit", d / "empty.npy", "-o", out], ["empty"]),
        ("corrupt image", ["fit", d / "corrupt.npy", "-o", out], ["cannot read"]),
        ("unknown format", ["fit", d / "im.png", "-o", out], ["unknown format .png"]),
        ("CSV without header", ["fit", g, d / "nohead.csv", "-o", out], ["header", "lacks", "x,y"]),
        ("CSV without x", ["fit", g, d / "nox.csv", "-o", out], ["lacks the column(s) x"]),
        ("CSV word", ["fit", g, d / "word.csv", "-o", out], ["line 3", "'fifteen'", "not a number"]),
        ("CSV of other columns", ["fit", g, d / "semi.csv", "-o", out], ["'a;b'", "semicolon-separated", "col,row"]),
        ("CSV in nm without a pixel size", ["fit", g, d / "nm.csv", "-o", out], ["nm", "--pixel-size"]),
        ("CSV empty", ["fit", g, d / "empty.csv", "-o", out], ["empty"]),
        ("peak list beyond any image", ["fit", g, d / "far.csv", "-o", out], ["beyond any image"]),
        ("even mea", ["fit", g, "-o", out, "--mea", 10], ["--mea must be odd"]),
        ("output directory missing", ["fit", g, "-o", d / "no" / "out.csv"], ["does not exist"]),
        ("render CSV lacks offset", ["render", d / "render_bad.csv", "--shape", 9, 9, "-o", d / "out.npy"],
         ["lacks the column(s) offset"]),
        ("render bad shape", ["render", d / "render_bad.csv", "--shape", 0, 9, "-o", d / "out.npy"], ["--shape"]),
        ("render to a CSV", ["render", d / "render_bad.csv", "--shape", 9, 9, "-o", out],
         ["unknown image format .csv"]),
        ("timedelta image", ["fit", d / "durations.npy", "-o", out], ["real numbers", "timedelta64"]),
        ("datetime image", ["fit", d / "dates.npy", "-o", out], ["real numbers", "datetime64"]),
        ("CSV digit groups", ["fit", g, d / "grouped.csv", "-o", out], ["line 2", "'1_5'", "not a number"]),
        ("CSV other digits", ["fit", g, d / "arabic.csv", "-o", out], ["line 2", "not a number"]),
        ("CSV two x columns", ["fit", g, d / "twox.csv", "-o", out], ["names the column x 2 times"]),
        ("negative smoothing", ["fit", g, "-o", out, "--smooth", -1], ["--smooth", "-1"]),
        ("NaN smoothing", ["fit", g, "-o", out, "--smooth", "nan"], ["--smooth", "nan"]),
        ("infinite smoothing", ["fit", g, "-o", out, "--smooth", "inf"], ["--smooth", "inf"]),
        ("huge smoothing", ["fit", g, "-o", out, "--smooth", 1e300], ["--smooth", "wider than the 30 x 30 image"]),
        ("smoothing wider than the image", ["fit", g, "-o", out, "--smooth", 31], ["wider", "(at most 30)"]),
        ("NaN threshold", ["fit", g, "-o", out, "--threshold", "nan"], ["--threshold"]),
        ("no threads", ["fit", g, "-o", out, "--threads", 0], ["--threads", "from 1"]),
        ("a million threads", ["fit", g, "-o", out, "--threads", 10**6], ["--threads", "to 1024"]),
        ("mea beyond the bound", ["fit", g, "-o", out, "--mea", 65], ["--mea", "to 63"]),
        ("render NaN background", ["render", r, "--shape", 9, 9, "-o", d / "out.npy", "--background", "nan"],
         ["--background", "finite"]),
        ("render infinite background", ["render", r, "--shape", 9, 9, "-o", d / "out.npy", "--background=-inf"],
         ["--background"]),
        ("render image too large", ["render", r, "--shape", 2**40, 2**40, "-o", d / "out.npy"], ["cannot allocate"]),
        ("output not writable", ["fit", g, "-o", "/proc/version"], ["/proc/version"]),
        ("output under a file", ["fit", g, "-o", g / "out.csv"], ["out.csv"]),
        ("demo negative seed", ["demo", "--seed", -1, "--out", d], ["--seed"]),
        ("demo huge field", ["demo", "--size", 10**6, "--out", d], ["--size", "16384"]),
        ("demo no threads", ["demo", "--threads", 0, "--out", d], ["--threads"]),
    ]


def test_each_bad_input_fails_with_a_message_and_leaves_the_output_alone(tmp_path, capsys):
    for name, argv, words in bad_inputs(tmp_path):
        (tmp_path / "out.csv").write_text("old\n")
        before = set(os.listdir(tmp_path))
        assert run(*argv) == 1, name
        err = capsys.readouterr().err
        assert err.startswith("python3 -m gauss2_fitter: error: ") and err.count("\n") == 1, (name, err)
        for w in words:
            assert w in err, (name, err)
        assert (tmp_path / "out.csv").read_text() == "old\n", name
        assert set(os.listdir(tmp_path)) == before, name  # no temporary file left


def test_a_failure_while_writing_keeps_the_old_output(tmp_path, monkeypatch, capsys):
    np.save(tmp_path / "im.npy", np.ones((30, 30)))
    out = tmp_path / "out.csv"
    out.write_text("old\n")

    def half_then_fail(f, rows):
        f.write(b"x,y\n1,")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(fit_image, "write_fit_csv", half_then_fail)
    assert run("fit", tmp_path / "im.npy", "-o", out) == 1
    assert capsys.readouterr().err.endswith("error: No space left on device\n")  # one line, no traceback
    assert out.read_text() == "old\n"
    assert sorted(os.listdir(tmp_path)) == ["im.npy", "out.csv"]
    # And a new file is not created at all.
    assert run("fit", tmp_path / "im.npy", "-o", tmp_path / "new.csv") == 1
    assert not (tmp_path / "new.csv").exists()


def test_render_skips_what_synth_image_would_and_says_so(tmp_path, capsys):
    rows = [(100, 1, 1, 10.3, 10.7, 0, 0),  # rendered
            (100, 1, 1, 16.9, 10, 0, 0),  # last patch that fits on the right (mea 5, width 20)
            (100, 1, 1, 17.0, 10, 0, 0),  # one too far
            (100, 1, 1, -0.5, 10, 0, 0),
            (100, 1, 1, "nan", 10, 0, 0)]
    src = write_csv(tmp_path / "p.csv", PARAMS, rows)
    assert run("render", src, "--shape", 20, 20, "--mea", 5, "-o", tmp_path / "im.npy") == 0
    err = capsys.readouterr().err
    assert "1 peak(s) with missing or non-finite values skipped (first on line 6)" in err
    assert "2 peak(s) too close to the border" in err and "rendered 2 of 5" in err
    want = g2.synth_image(np.array(rows[:2], dtype=float), (20, 20), 5)
    np.testing.assert_array_equal(np.load(tmp_path / "im.npy"), want)


def test_render_skips_peaks_whose_gaussian_is_not_finite(tmp_path, capsys):
    good = (100, 1.2, 1.4, 10.3, 10.7, 0.2, 0)
    rows = [good,
            (100, 0, 1, 5.5, 5.5, 0, 0),  # zero width
            (100, 1, 0, 5.5, 12.5, 0, 0),
            (100, 1, 1, 12.5, 5.5, 1, 0),  # |rho| = 1
            (100, 1, 1, 12.5, 12.5, -1, 0),
            (100, 1, 1, 14.5, 14.5, 1.5, 0),
            (100, 1e-170, 1, 14.5, 5.5, 0, 0),  # its square underflows to zero
            (100, 1e200, 1, 5.5, 14.5, 0, 0),  # its square overflows
            (1e308, 0.1, 0.1, 8.5, 8.5, 0, 0)]  # the peak height overflows
    src = write_csv(tmp_path / "p.csv", PARAMS, rows)
    assert run("render", src, "--shape", 20, 20, "--mea", 5, "-o", tmp_path / "im.npy") == 0
    err = capsys.readouterr().err
    assert "8 peak(s) with a zero width, |rho| >= 1 or values beyond the float range skipped (first on line 3)" in err
    im = np.load(tmp_path / "im.npy")
    assert np.isfinite(im).all()
    np.testing.assert_array_equal(im, g2.synth_image([good], (20, 20), 5))
    # Each row skipped is one the model renders with non-finite values.
    for row in rows[1:]:
        local = np.array(row, dtype=float)
        local[3:5] = 2.5
        assert not np.isfinite(g2.gauss_2d(local, 5)).all(), row


def test_the_demo_measures_without_printing_and_reports_what_it_measured(capsys):
    import io

    from gauss2_fitter import demo

    m = demo.measure(size=160, n_spots=30, seed=4, n_threads=1)
    assert capsys.readouterr() == ("", "")
    assert m.figures["found"] == len(m.x) and m.figures["matched"] == len(m.fi) > 20
    first, second = io.StringIO(), io.StringIO()
    demo.report(m, first)
    demo.report(m, second)
    assert first.getvalue() == second.getvalue()
    assert f"found     {len(m.x):7d} peak pixels" in first.getvalue()
    assert f"{m.figures['rms_iso']:.4f} px" in first.getvalue()


def test_the_demo_picture_tells_flagged_fits_apart_and_counts_the_hidden_tail():
    from gauss2_fitter import demo

    true_xy = np.array([[10.0, 10.0], [30.0, 30.0]])
    fit_xy = np.array([[10.5, 11.0], [30.2, 29.9], [20.0, 20.0], [np.nan, 5.0], [50.0, 50.0]])
    flag = np.array([1, 0, 1, 1, 0])
    near, alone = demo.flagged_kinds(fit_xy, flag, true_xy)
    assert near.tolist() == [True, False, False, False, False]
    assert alone.tolist() == [False, False, True, True, False]  # unflagged fits are neither
    assert demo.beyond(np.array([0.1, -0.6, 0.5, 0.7]), 0.5) == "50.0 %"
    assert demo.beyond(np.r_[np.zeros(2000), 1.0], 0.5) == "< 0.1 %" and demo.beyond(np.zeros(3), 0.5) == "0.0 %"
    m = demo.measure(size=160, n_spots=60, seed=4, n_threads=1)
    assert 0 <= m.figures["flagged_near"] <= m.figures["flagged"]


def test_the_module_runs_as_a_program(tmp_path):
    env = dict(os.environ)
    root = Path(__file__).resolve().parent.parent
    env["PYTHONPATH"] = str(root / "python") + os.pathsep + env.get("PYTHONPATH", "")
    bad = subprocess.run([sys.executable, "-m", "gauss2_fitter", "fit", tmp_path / "x.npy", "-o", tmp_path / "o.csv"],
                         env=env, capture_output=True, text=True)
    assert bad.returncode == 1 and "no such file" in bad.stderr and not (tmp_path / "o.csv").exists()
    usage = subprocess.run([sys.executable, "-m", "gauss2_fitter", "fit"], env=env, capture_output=True, text=True)
    assert usage.returncode == 2 and "usage" in usage.stderr
    demo = subprocess.run([sys.executable, "-m", "gauss2_fitter", "demo", "--size", "200", "--spots", "40",
                           "--seed", "3", "--out", tmp_path / "demo"], env=env, capture_output=True, text=True)
    assert demo.returncode == 0, demo.stderr
    assert "rendered       40 spots" in demo.stdout and "expected" in demo.stdout
    assert (tmp_path / "demo" / "demo.png").stat().st_size > 10000


# ---- outputs that are not plain files ------------------------------------------------


@pytest.fixture
def fit_input(tmp_path):
    im = g2.synth_image([[800.0, 1.3, 1.5, 15.4, 15.6, 0.1, 0.0]], (30, 30), 11) + 10.0
    np.save(tmp_path / "im.npy", im)
    return tmp_path / "im.npy", write_csv(tmp_path / "px.csv", ("x", "y"), [(15, 15)])


def fit_csv_bytes(fit_input, tmp_path):
    """What `fit` writes for fit_input, through a plain new file."""
    assert run("fit", *fit_input, "-o", tmp_path / "plain.csv") == 0
    return (tmp_path / "plain.csv").read_bytes()


def test_a_symlink_output_writes_its_target_and_stays_a_link(tmp_path, fit_input):
    want = fit_csv_bytes(fit_input, tmp_path)
    (tmp_path / "real.csv").write_text("old\n")
    os.chmod(tmp_path / "real.csv", 0o640)
    (tmp_path / "link.csv").symlink_to("real.csv")
    assert run("fit", *fit_input, "-o", tmp_path / "link.csv") == 0
    assert (tmp_path / "link.csv").is_symlink() and os.readlink(tmp_path / "link.csv") == "real.csv"
    assert (tmp_path / "real.csv").read_bytes() == want
    assert stat.S_IMODE(os.stat(tmp_path / "real.csv").st_mode) == 0o640  # the file's permissions are kept
    # A link to a file not yet there creates the file.
    (tmp_path / "ahead.csv").symlink_to("later.csv")
    assert run("fit", *fit_input, "-o", tmp_path / "ahead.csv") == 0
    assert (tmp_path / "ahead.csv").is_symlink() and (tmp_path / "later.csv").read_bytes() == want
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".part")]


@pytest.fixture
def devices(tmp_path):
    """Character devices like /dev/null and /dev/full that a faulty tool cannot
    destroy: as root, who could replace the system's nodes, private nodes in
    tmp_path; otherwise the system's, which only root could replace."""
    if os.geteuid() != 0:
        return Path("/dev/null"), Path("/dev/full")
    nodes = []
    for name, minor in (("null", 3), ("full", 7)):
        node = tmp_path / name
        try:
            os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, minor))
            with open(node, "rb"):
                pass
        except OSError as e:
            pytest.skip(f"root, but no private device nodes ({e}): the system's are not risked")
        nodes.append(node)
    return tuple(nodes)


def test_devices_are_written_through_and_never_replaced(tmp_path, fit_input, devices, capsys):
    null, full = devices
    null_before = os.stat(null)
    assert run("fit", *fit_input, "-o", null) == 0
    after = os.stat(null)
    assert stat.S_ISCHR(after.st_mode) and (after.st_ino, after.st_rdev) == (null_before.st_ino, null_before.st_rdev)
    capsys.readouterr()
    # A full device: one line and status 1.
    assert run("fit", *fit_input, "-o", full) == 1
    err = capsys.readouterr().err
    assert err.endswith(f"error: output {full}: cannot write it: No space left on device\n")
    assert err.count("error") == 1 and "Traceback" not in err
    assert stat.S_ISCHR(os.stat(full).st_mode)
    assert not [n for n in os.listdir(null.parent) if n.endswith(".part")]


def test_a_fifo_output_is_written_through_to_its_reader(tmp_path, fit_input):
    want = fit_csv_bytes(fit_input, tmp_path)
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    # A reader is there before the tool opens the FIFO; the few hundred bytes fit in its buffer.
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        assert run("fit", *fit_input, "-o", fifo) == 0
        got = os.read(reader, 1 << 16)
        assert os.read(reader, 1) == b""  # the tool closed its end
    finally:
        os.close(reader)
    assert got == want
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)


def test_dash_writes_to_standard_output(tmp_path, fit_input, capsysbinary, monkeypatch):
    monkeypatch.chdir(tmp_path)  # where a file named "-" would appear
    want = fit_csv_bytes(fit_input, tmp_path)
    capsysbinary.readouterr()
    assert run("fit", *fit_input, "-o", "-") == 0
    assert capsysbinary.readouterr().out == want
    assert not (tmp_path / "-").exists()
    src = write_csv(tmp_path / "p.csv", PARAMS, [(100, 1, 1, 5.5, 5.5, 0, 0)])
    assert run("render", src, "--shape", 12, 12, "--mea", 5, "-o", "-") == 0
    assert capsysbinary.readouterr().out.startswith(b"\x93NUMPY")


# ---- termination signals ---------------------------------------------------------------


def run_tool(code, env_extra=None):
    """Runs `code` in a child interpreter that has imported the tool as `cli`."""
    env = dict(os.environ)
    root = Path(__file__).resolve().parent.parent
    env["PYTHONPATH"] = str(root / "python") + os.pathsep + env.get("PYTHONPATH", "")
    prelude = "import os, signal, sys\nfrom gauss2_fitter import cli\nfrom gauss2_fitter.cli import fit_image\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env, capture_output=True,
                          text=True)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_while_writing_keeps_the_old_output_and_leaves_no_part_file(tmp_path, fit_input, signum):
    out = tmp_path / "out.csv"
    out.write_text("old\n")
    before = sorted(os.listdir(tmp_path))
    r = run_tool(f"""
        def write_then_signal(f, rows):
            f.write(b"x,y\\n1,")
            os.kill(os.getpid(), {int(signum)})
            f.write(b"2\\n")
        fit_image.write_fit_csv = write_then_signal
        sys.exit(cli.main(["fit", "{fit_input[0]}", "{fit_input[1]}", "-o", "{out}"]))
    """)
    assert r.returncode == 128 + signum, r.stderr
    assert r.stderr.splitlines()[-1] in ("python3 -m gauss2_fitter: interrupted",
                                         f"python3 -m gauss2_fitter: terminated by {signum.name}")
    assert "Traceback" not in r.stderr
    assert out.read_text() == "old\n"
    assert sorted(os.listdir(tmp_path)) == before


def test_an_ignored_hangup_stays_ignored(tmp_path, fit_input):
    # As under nohup: the run goes on and completes.
    out = tmp_path / "out.csv"
    r = run_tool(f"""
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
        write = fit_image.write_fit_csv
        def write_after_hangup(f, rows):
            os.kill(os.getpid(), signal.SIGHUP)
            write(f, rows)
        fit_image.write_fit_csv = write_after_hangup
        sys.exit(cli.main(["fit", "{fit_input[0]}", "{fit_input[1]}", "-o", "{out}"]))
    """)
    assert r.returncode == 0, r.stderr
    assert read_rows(out)[0]["flag"] == "0"


# ---- the scale of pixel values -------------------------------------------------------


def test_fit_warns_about_pixel_values_outside_the_trusted_range(tmp_path, fit_input, capsys):
    im = np.load(fit_input[0])
    for factor in (1e9, 1e-12):
        np.save(tmp_path / "scaled.npy", im * factor)
        shown = f"{im.max() * factor:.3g}"
        assert run("fit", tmp_path / "scaled.npy", fit_input[1], "-o", tmp_path / "o.csv") == 0
        err = capsys.readouterr().err
        assert f"warning: the largest absolute pixel value of the image is {shown}, outside 1e-06 to 1e+08" in err
        assert "PixelScaleWarning" not in err  # the tool's own line, not the binding's warning
    assert run("fit", *fit_input, "-o", tmp_path / "o.csv") == 0
    assert "warning" not in capsys.readouterr().err


# ---- movies: the localisation table ------------------------------------------------------


@pytest.fixture(scope="module")
def movie():
    return adu_movie(make_truth())


def test_the_tool_localises_movies_into_each_format(movie, tmp_path, capsys):
    u16 = np.round(movie).astype(np.uint16)
    parts = []
    for k, (lo, hi) in enumerate([(0, 4), (4, 10)]):
        parts.append(tmp_path / f"part{k}.tif")
        tifffile.imwrite(parts[-1], u16[lo:hi], photometric="minisblack")
    cam = ["--baseline", 100, "--sensitivity", 0.25, "--em-gain", 2, "--qe", 0.8, "--estimator", "lsq"]
    want = g2.localize(u16, camera=CAM, estimator="lsq")
    assert run("fit", *parts, "-o", tmp_path / "l.csv", *cam, "--pixel-size", 107, "--no-progress") == 0
    assert f"localised {len(want)} of {len(want)} peaks (0 flagged) in 10 frame(s)" in capsys.readouterr().err
    df = pd.read_csv(tmp_path / "l.csv")
    np.testing.assert_array_equal(df.frame, want.frame + 1)  # ThunderSTORM's layout: frames from 1
    np.testing.assert_allclose(df["x [nm]"], want.x_nm, rtol=1e-8)
    np.testing.assert_allclose(df["intensity [photon]"], want.photons, rtol=1e-8)

    assert run("fit", *parts, "-o", tmp_path / "l.h5", *cam, "--frames", "2:5") == 0
    with h5py.File(tmp_path / "l.h5", "r") as f:
        rec = f["locs"][...]
    sel = want[want.frame.between(2, 4)]
    np.testing.assert_array_equal(rec["frame"], sel.frame)
    np.testing.assert_allclose(rec["photons"], sel.photons, rtol=1e-6)
    assert yaml.safe_load_all((tmp_path / "l.yaml").read_text()).__next__()["File"] == [str(p) for p in parts]

    # Peaks from a table written before (picasso's layout): the same spots again.
    assert run("fit", *parts, "-o", tmp_path / "again.csv", *cam, "--peaks", tmp_path / "l.h5") == 0
    again = pd.read_csv(tmp_path / "again.csv")
    np.testing.assert_array_equal(again.frame, sel.frame)
    np.testing.assert_allclose(again[["x", "y"]], sel[["x", "y"]], atol=1e-5)

    for name in ("sr.png", "sr.tif", "sr.npy"):
        assert run("render", tmp_path / "l.h5", "--oversampling", 5, "--blur", 0.3, "-o", tmp_path / name) == 0
    assert tifffile.imread(tmp_path / "sr.tif").shape == (SHAPE[0] * 5, SHAPE[1] * 5)
    assert np.load(tmp_path / "sr.npy").sum() == pytest.approx(len(sel), rel=1e-6)
    assert (tmp_path / "sr.png").read_bytes()[:4] == b"\x89PNG"
    # Tables in nm need the pixel size.
    assert run("render", tmp_path / "l.csv", "--blur", "none", "-o", tmp_path / "h.npy") == 1
    assert "pixel size" in capsys.readouterr().err
    assert run("render", tmp_path / "l.csv", "--blur", "none", "--pixel-size", 107, "-o", tmp_path / "h.npy") == 0
    assert np.load(tmp_path / "h.npy").sum() == len(want)


def test_tables_go_to_standard_output_and_hdf5_only_to_regular_files(movie, tmp_path, capfd, devices):
    np.save(tmp_path / "m.npy", movie)
    assert run("fit", tmp_path / "m.npy", "-o", "-", "--estimator", "lsq", "--no-progress") == 0
    printed = pd.read_csv(io.StringIO(capfd.readouterr().out))
    assert list(printed.columns) == list(g2.COLUMNS) and len(printed) > 0
    # A device has no suffix: it takes CSV, as standard output does.
    assert run("fit", tmp_path / "m.npy", "-o", devices[0], "--estimator", "lsq", "--no-progress") == 0
    assert stat.S_ISCHR(os.stat(devices[0]).st_mode) and f"-> {devices[0]}" in capfd.readouterr().err
    os.mkfifo(tmp_path / "pipe.h5")
    before = sorted(p.name for p in tmp_path.iterdir())
    assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "pipe.h5", "--estimator", "lsq") == 1
    assert "must be a regular file" in capfd.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == before  # no temporary file left behind


@pytest.mark.parametrize("suffix", [".hdf5", ".csv"])
def test_a_write_beyond_the_file_size_limit_ends_in_one_line_and_keeps_the_old_output(movie, tmp_path, suffix):
    import resource

    np.save(tmp_path / "m.npy", movie)
    out = tmp_path / f"locs{suffix}"
    out.write_bytes(b"old")
    env = dict(os.environ, PYTHONPATH=str(Path(__file__).resolve().parent.parent / "python"),
               PYTHONDONTWRITEBYTECODE="1")
    # ulimit -f: a write beyond 1 KB fails with EFBIG (Python ignores SIGXFSZ).
    r = subprocess.run([sys.executable, "-m", "gauss2_fitter", "fit", str(tmp_path / "m.npy"), "-o", str(out),
                        "--estimator", "lsq", "--no-progress"], capture_output=True, text=True, env=env,
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024)))
    assert r.returncode == 1, r
    assert r.stderr == f"python3 -m gauss2_fitter: error: output {out}: cannot write it: File too large\n"
    assert out.read_bytes() == b"old" and sorted(p.name for p in tmp_path.iterdir()) == ["locs" + suffix, "m.npy"]


def test_the_tool_refuses_hostile_tables_in_one_line(movie, tmp_path, capsys):
    np.save(tmp_path / "m.npy", movie)
    for name, path, words in hostile_tables(tmp_path):
        for argv in (["render", path, "-o", tmp_path / "sr.png"],
                     ["fit", tmp_path / "m.npy", "-o", tmp_path / "l.csv", "--peaks", path, "--no-progress"]):
            assert run(*argv) == 1, (name, argv[0])
            err = capsys.readouterr().err
            assert err.startswith("python3 -m gauss2_fitter: error: ") and err.count("\n") == 1, (name, err)
    assert not (tmp_path / "sr.png").exists() and not (tmp_path / "l.csv").exists()


def test_the_tool_refuses_bad_movies_settings_and_suffixes(movie, tmp_path, capsys):
    np.save(tmp_path / "m.npy", movie)
    np.save(tmp_path / "4d.npy", np.zeros((2, 2, 20, 20)))
    (tmp_path / "text.tif").write_text("not an image\n")
    m, out = tmp_path / "m.npy", tmp_path / "out.h5"
    cases = [
        (["fit", tmp_path / "4d.npy", "-o", out], "or 3-D"),
        (["fit", tmp_path / "text.tif", "-o", out], "not a TIFF"),
        (["fit", m, "-o", out, "--sensitivity", 0], "--sensitivity must be positive"),
        (["fit", m, "-o", out, "--qe", -0.5], "--qe must be positive"),
        (["fit", m, "-o", out, "--pixel-size", 0], "--pixel-size must be positive"),
        (["fit", m, "-o", out, "--read-noise", 1e200], "--read-noise must be non-negative and finite, its square"),
        (["fit", m, "-o", tmp_path / "out.txt"], "unknown table format .txt"),
        (["fit", m, "-o", out, "--frames", "3"], "--frames must be A:B"),
        (["fit", m, "-o", out, "--background-tile", -1], "--background-tile must be from 0"),
        (["fit", m, "-o", out, "--frames=--"], "--frames must be A:B"),
        (["fit", m, "-o", out, "--frames", "100:200"], "--frames 100:200 selects none of the movie's 10 frames"),
        (["render", tmp_path / "none.h5", "-o", tmp_path / "sr.png", "--pixel-size", "inf"],
         "--pixel-size must be positive and finite"),
        (["fit", m, "-o", out, "--estimator", "lsq", "--peaks", tmp_path / "none.csv"], "no such file"),
        (["render", m, "-o", tmp_path / "sr.jpg"], "unknown image format .jpg"),
        (["render", tmp_path / "none.h5", "-o", tmp_path / "sr.png"], "no such file"),
    ]
    for argv, words in cases:
        before = sorted(p.name for p in tmp_path.iterdir())
        assert run(*argv) == 1, argv
        err = capsys.readouterr().err
        assert err.startswith("python3 -m gauss2_fitter: error: ") and err.count("\n") == 1, err
        assert words in err, (argv, err)
        assert sorted(p.name for p in tmp_path.iterdir()) == before, argv


def test_the_tool_keeps_the_per_peak_table_for_a_single_image_unless_asked(movie, tmp_path, capsys):
    tifffile.imwrite(tmp_path / "one.tif", np.round(movie[0]).astype(np.uint16))
    assert run("fit", tmp_path / "one.tif", "-o", tmp_path / "a.csv") == 0
    assert list(pd.read_csv(tmp_path / "a.csv").columns[:4]) == ["x", "y", "amp", "std_x"]
    for option in (["--table"], ["--baseline", "100"], ["--frames", "0:1"], []):  # --estimator asks too
        assert run("fit", tmp_path / "one.tif", "-o", tmp_path / "b.csv", "--estimator", "lsq", *option) == 0
        assert list(pd.read_csv(tmp_path / "b.csv").columns) == list(g2.COLUMNS)
    with pytest.raises(SystemExit):  # argparse: an estimator it does not know
        run("fit", tmp_path / "one.tif", "-o", tmp_path / "b.csv", "--estimator", "bayes")
    capsys.readouterr()


def test_fit_finds_peaks_above_a_local_background_and_records_it(movie, tmp_path):
    np.save(tmp_path / "m.npy", movie)
    assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "l.h5", "--estimator", "lsq", "--background-tile", 16,
               "--no-progress") == 0
    want = g2.localize(movie, estimator="lsq", background_tile=16)
    table, meta = g2.read_table(tmp_path / "l.h5")
    np.testing.assert_allclose(table[["x", "y"]], want[["x", "y"]], atol=1e-4)
    assert list(yaml.safe_load_all((tmp_path / "l.yaml").read_text()))[1]["Background Tile"] == 16


# ---- photometry ----------------------------------------------------------------------------


def test_photometry_writes_its_file_or_nothing(tmp_path, capsys):
    counts, truth, x, y, _ = field(5, n_channels=2, n_cycles=3)
    frames = acquisition_order(counts)
    tifffile.imwrite(tmp_path / "a.tif", frames[:4], photometric="minisblack")
    tifffile.imwrite(tmp_path / "b.tif", frames[4:], photometric="minisblack")
    files = [str(tmp_path / "a.tif"), str(tmp_path / "b.tif")]
    out = tmp_path / "run.h5"
    assert run("photometry", *files, "-o", out, "--channels", 2, "--no-progress", *CAMERA_OPTIONS) == 0
    said = capsys.readouterr().err
    assert f"measured {len(x) * 6} of {len(x) * 6} cells ({len(x)} spots x 2 channel(s) x 3 cycle(s)" in said
    ph = g2.Photometry.read(out)
    assert ph.n_channels == 2 and ph.n_cycles == 3 and ph.n_spots == len(x)
    assert ph.settings["camera"]["sensitivity"] == 0.5 and ph.settings["source"] == files
    # The long table on standard output.
    assert run("photometry", *files, "-o", "-", "--channels", 2, "--no-progress", *CAMERA_OPTIONS) == 0
    printed = pd.read_csv(io.StringIO(capsys.readouterr().out))
    assert np.allclose(printed.signal, ph.signal.reshape(-1))
    # Bad input: one line, status 1, the old output untouched, nothing left beside it.
    old = out.read_bytes()
    (tmp_path / "broken.tif").write_text("not an image")
    np.save(tmp_path / "small.npy", np.zeros((2, 4, 5), dtype=np.uint16))
    peaks = tmp_path / "peaks.csv"
    peaks.write_text("id,x,y\na,10,10\nb,500,10\n")
    os.mkfifo(tmp_path / "fifo.h5")
    for argv, message in (
            ([files[0], "--channels", "3"], "4 image(s) do not split into 3 channels"),
            ([str(tmp_path / "broken.tif")], "broken.tif: cannot read it"),
            ([*files, "--channels", "2", "--peaks", peaks], "outside the 112 x 96 frame"),
            ([*files, "--channels", "2", "--peaks", tmp_path / "none.csv"], "none.csv"),
            ([*files, "--channels", "2", "--psf-sigma", "-1"], "--psf-sigma must be positive"),
            ([*files, "--mea", "4"], "--mea must be odd"),
            ([*files, "--sensitivity", "0"], "--sensitivity must be positive"),
            ([str(tmp_path / "missing.tif")], "no such file"),
            ([files[0], str(tmp_path / "small.npy")], "small.npy: frames of 4 x 5, but"),
            ([*files, "-o", tmp_path / "run.txt"], "unknown photometry format .txt"),
            ([*files, "-o", tmp_path / "fifo.h5"], "must be a regular file")):  # before any work
        assert run("photometry", "-o", out, *argv, "--no-progress") == 1  # a later -o wins
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and err[0].startswith("python3 -m gauss2_fitter: error:"), err
        assert message in err[0], err[0]
        assert out.read_bytes() == old
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.tif", "b.tif", "broken.tif", "fifo.h5", "peaks.csv",
                                                          "run.h5", "small.npy"]


# ---- after the fit: drift, link, nena, frc ------------------------------------------------


def as_written(locs):
    """The table with every column a table file holds."""
    return locs.reindex(columns=g2.COLUMNS).fillna({"iterations": 0, "flag": 0})


def test_the_tool_corrects_links_and_measures_table_files(tmp_path, capsys):
    locs, _, _ = blinking(n_frames=1500, drift=linear)
    g2.write_hdf5(as_written(locs), tmp_path / "l.hdf5")
    assert run("drift", tmp_path / "l.hdf5", "-o", tmp_path / "d.hdf5", "--drift-csv", tmp_path / "d.csv",
               "--png", tmp_path / "d.png") == 0
    assert re.search(r"corrected a drift of 11\d\.\d x 7\d\.\d nm over frames 0 to 1499", capsys.readouterr().err)
    drift = pd.read_csv(tmp_path / "d.csv")
    assert list(drift.columns) == ["frame", "dx", "dy", "dx_nm", "dy_nm"] and (tmp_path / "d.png").stat().st_size
    fixed = g2.read_localizations(tmp_path / "d.hdf5")
    assert fixed.x.corr(fixed.frame) == pytest.approx(0, abs=0.05)
    assert run("link", tmp_path / "d.hdf5", "-o", tmp_path / "e.csv", "--max-dark-frames", 2) == 0
    assert "linked" in capsys.readouterr().err
    assert g2.read_localizations(tmp_path / "e.csv", PIXEL_NM)["n"].sum() == len(locs)
    assert run("link", tmp_path / "d.hdf5", "-o", tmp_path / "e.hdf5") == 0  # the steps so far, and its own
    assert [s["step"] for s in g2.read_table(tmp_path / "e.hdf5")[1].steps] == ["drift", "link"]
    assert run("nena", tmp_path / "d.hdf5") == 0
    assert re.match(r"NeNA precision 0\.0[34]\d* px = [34]\.\d\d nm from \d+ pairs", capsys.readouterr().out)
    assert run("frc", tmp_path / "d.hdf5", "--png", tmp_path / "f.png") == 0
    assert "FRC resolution" in capsys.readouterr().out and (tmp_path / "f.png").exists()


def test_the_tool_says_what_is_wrong_in_one_line_and_keeps_outputs(tmp_path, capsys):
    locs, _, _ = blinking(n_frames=300)
    one = as_written(locs.assign(frame=0))
    one.attrs = {}  # in pixels
    g2.write_csv(one, tmp_path / "one.csv")
    (tmp_path / "out.csv").write_text("old")
    cases = [
        (["drift", tmp_path / "one.csv", "-o", tmp_path / "out.csv"], "all .* are in frame 0"),
        (["drift", tmp_path / "one.csv", "-o", tmp_path / "out.csv", "--segment-frames", "0"],
         "--segment-frames must be at least 1"),
        (["drift", tmp_path / "one.csv", "-o", tmp_path / "out.csv", "--png", tmp_path / "x.gif"], "ending in .png"),
        (["drift", tmp_path / "one.csv", "-o", tmp_path / "out.txt"], "unknown table format"),
        (["link", tmp_path / "missing.csv", "-o", tmp_path / "out.csv"], "no such file"),
        (["link", tmp_path / "one.csv", "-o", tmp_path / "out.csv", "--radius", "0"], "--radius must be positive"),
        (["nena", tmp_path / "one.csv"], "adjacent frames"),
        (["frc", tmp_path / "one.csv", "--block-frames", "0"], "--block-frames must be at least 1"),
    ]
    for argv, message in cases:
        assert run(*argv) == 1
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and err.startswith("python3 -m gauss2_fitter: error: ")
        assert re.search(message, err), err
    assert (tmp_path / "out.csv").read_text() == "old"


def test_fit_corrects_and_links_after_localising(tmp_path, capsys):
    # A small blinking movie drifting 1 px along x over 200 frames.
    rng = np.random.default_rng(8)
    sites = rng.uniform(8, 40, (60, 2))
    frames = []
    for f in range(200):
        on = sites[rng.random(60) < 0.15] + [f / 200, 0]
        spots = [[2000, 1.3, 1.3, x, y, 0, 0] for x, y in on]
        frames.append(rng.poisson(g2.synth_image(spots, (48, 48), 13) + 10.0))
    np.save(tmp_path / "m.npy", np.array(frames, dtype=np.float64))
    assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "l.hdf5", "--pixel-size", 100, "--drift", "--link") == 0
    err = capsys.readouterr().err
    assert "corrected a drift of 9" in err and "-> " + str(tmp_path / "l_link.hdf5") in err
    docs = list(yaml.safe_load_all((tmp_path / "l.yaml").read_text()))
    assert docs[-1]["Generated by"].endswith(" drift")
    events = g2.read_localizations(tmp_path / "l_link.hdf5")
    assert events["n"].sum() == (g2.read_localizations(tmp_path / "l.hdf5").flag == 0).sum()
    # A step that cannot run: the localisations are written as they are, and the tool says so.
    assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "few.csv", "--frames", "0:2", "--drift") == 1
    assert "written uncorrected to" in capsys.readouterr().err
    assert len(pd.read_csv(tmp_path / "few.csv")) > 0
    # Linking alone that cannot run (rows without precisions) says the table was written without events.
    few = g2.read_localizations(tmp_path / "few.csv").assign(lpx=np.nan)
    with pytest.raises(cli.CliError, match=r"give a radius .*; the localisations were written without events to"):
        fit.after_fit(few, g2.RunMetadata(), resolve_output(tmp_path / "w.csv"), False,
                      resolve_output(tmp_path / "w_ev.csv"))
    assert len(pd.read_csv(tmp_path / "w.csv")) == len(few) and not (tmp_path / "w_ev.csv").exists()
    assert run("fit", tmp_path / "m.npy", "-o", "-", "--link") == 1
    assert "give --link EVENTS" in capsys.readouterr().err
    # Nothing found: an empty table and no events, both written.
    np.save(tmp_path / "flat.npy", np.full((3, 32, 32), 10.0))
    assert run("fit", tmp_path / "flat.npy", "-o", tmp_path / "flat.csv", "--link", tmp_path / "ev.csv") == 0
    assert "linked 0 localisations into 0 events" in capsys.readouterr().err
    assert open(tmp_path / "ev.csv").read().rstrip().endswith(",len,n")


def test_the_tool_writes_the_rows_asked_for(tmp_path, capsys):
    np.save(tmp_path / "m.npy", spots_and_a_blob())
    full = g2.localize(spots_and_a_blob(), camera=g2.Camera(), n_threads=1)
    good = full[full.flag == 0]
    assert len(good) == 8 and len(full) == 10
    # picasso's layout: the unflagged rows only, unless --keep-flagged; our CSV in pixels keeps all.
    assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "l.hdf5", "--no-progress") == 0
    assert "localised 8 of 10 peaks (2 flagged, 8 rows written)" in capsys.readouterr().err
    assert len(g2.read_localizations(tmp_path / "l.hdf5")) == 8
    for extra in ([], ["--drift"]):  # the same whether the table streams or is gathered
        assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "k.hdf5", "--keep-flagged", "--no-progress",
                   *extra) in (0, 1)
        assert len(g2.read_localizations(tmp_path / "k.hdf5")) == 10
    assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "px.csv", "--table", "--no-progress") == 0
    assert len(pd.read_csv(tmp_path / "px.csv")) == 10
    # The criteria: photons, precision (nm), widths.
    cut = float(np.median(good.photons))
    assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "f.csv", "--min-photons", cut, "--width-range", "1:1.6",
               "--no-progress") == 0
    kept = pd.read_csv(tmp_path / "f.csv")
    assert len(kept) == int((good.photons >= cut).sum()) and (kept.photons >= cut).all() and (kept.flag == 0).all()
    assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "p.csv", "--pixel-size", 100, "--max-precision", 1e-3,
               "--no-progress") == 0
    assert len(pd.read_csv(tmp_path / "p.csv")) == 0
    capsys.readouterr()
    for argv, words in [(["--max-precision", 20], "--max-precision is in nm: give --pixel-size"),
                        (["--width-range", "2"], "--width-range must be LO:HI"),
                        (["--width-range", "2:1"], "--width-range must be \\(low, high\\)"),
                        (["--min-photons", "nan"], "--min-photons must be finite")]:
        assert run("fit", tmp_path / "m.npy", "-o", tmp_path / "e.csv", *argv) == 1
        assert re.search(words, capsys.readouterr().err)
    assert not (tmp_path / "e.csv").exists()
