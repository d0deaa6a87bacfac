"""The command-line tool end to end: render -> fit round trips, error paths, atomic output."""

import csv
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import gauss2_fitter as g2
from gauss2_fitter import cli

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
    monkeypatch.setattr(cli, "CHUNK", 3)  # several native batches
    out = tmp_path / "fit.csv"
    assert run("fit", im_path, pixels, "-o", out, "--threads", 2) == 0
    rows = read_rows(out)
    assert list(rows[0]) == list(cli.FIT_COLUMNS)
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
        assert all(r[c] == "" for c in cli.FIT_COLUMNS[2:-1])  # no fit, no values


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
    write_csv(d / "frac.csv", ("x", "y"), [(15, 15.5)])
    write_csv(d / "short.csv", ("x", "y"), [(15,)])
    (d / "empty.csv").write_text("")
    write_csv(d / "render_bad.csv", PARAMS[:-1], [(1, 1, 1, 5, 5, 0)])
    g, out = d / "good.npy", d / "out.csv"
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
        ("CSV fraction", ["fit", g, d / "frac.csv", "-o", out], ["line 2", "y = 15.5", "whole pixel"]),
        ("CSV short row", ["fit", g, d / "short.csv", "-o", out], ["line 2", "y = ''"]),
        ("CSV empty", ["fit", g, d / "empty.csv", "-o", out], ["empty"]),
        ("even mea", ["fit", g, "-o", out, "--mea", 10], ["--mea must be odd"]),
        ("output directory missing", ["fit", g, "-o", d / "no" / "out.csv"], ["does not exist"]),
        ("render CSV lacks offset", ["render", d / "render_bad.csv", "--shape", 9, 9, "-o", d / "out.npy"],
         ["lacks the column(s) offset"]),
        ("render bad shape", ["render", d / "render_bad.csv", "--shape", 0, 9, "-o", d / "out.npy"], ["--shape"]),
        ("render to a CSV", ["render", d / "render_bad.csv", "--shape", 9, 9, "-o", out], ["unknown image format .csv"]),
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


def test_a_failure_while_writing_keeps_the_old_output(tmp_path, monkeypatch):
    np.save(tmp_path / "im.npy", np.ones((30, 30)))
    out = tmp_path / "out.csv"
    out.write_text("old\n")

    def half_then_fail(f, rows):
        f.write(b"x,y\n1,")
        raise OSError("disk full")

    monkeypatch.setattr(cli, "write_fit_csv", half_then_fail)
    with pytest.raises(OSError, match="disk full"):
        run("fit", tmp_path / "im.npy", "-o", out)
    assert out.read_text() == "old\n"
    assert sorted(os.listdir(tmp_path)) == ["im.npy", "out.csv"]
    # And a new file is not created at all.
    with pytest.raises(OSError):
        run("fit", tmp_path / "im.npy", "-o", tmp_path / "new.csv")
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
    # The predicate agrees with the library peak by peak.
    grid = np.array([[50.0, 1, 1, px, py, 0, 0] for px in np.linspace(-1, 21, 89) for py in (0.2, 10.0, 15.5)])
    ok = cli.renderable(grid, (20, 20), 5)
    for p, k in zip(grid, ok):
        assert bool(g2.synth_image(p[None], (20, 20), 5).any()) == k, p


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
