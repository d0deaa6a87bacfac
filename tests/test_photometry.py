"""Photometry of a field imaged many times, through the package and the
tool: registration against known shifts, spots found on a field with uneven
illumination, dark spots measured, ids kept, HDF5 and CSV files read back,
and bad input refused with nothing written."""

import importlib

import h5py
import numpy as np
import pandas as pd
import pytest
import tifffile

import gauss2_fitter as g2
from gauss2_fitter import cli

reg = importlib.import_module("gauss2_fitter.registration")
pm = importlib.import_module("gauss2_fitter.photometry")

SHAPE = (96, 112)
CAM = g2.Camera(baseline=100.0, sensitivity=0.5, qe=0.9, read_noise=1.5)


def render(photons, sigma, x, y, shape):
    """Spots sampled at every pixel's centre (as the library's model), none
    cut off at the frame's edge."""
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]]
    out = np.zeros(shape)
    for a, s, xs, ys in zip(photons, sigma, x, y):
        out += a * pm._gaussians([xs], [ys], [s], [s], [0.0], cols[None], rows[None])[0]
    return out


def field(seed=0, n_channels=2, n_cycles=5, shifts=None, ramp=0.3, background=40.0):
    """Camera counts (channels, cycles, h, w) of spots on a grid (jittered,
    8 px from the edges) with channel-dependent widths; spot 3 goes dark
    from cycle 2 in every channel, spot 5 is lit in channel 1 only. The
    illumination rises from 1 - ramp to 1 + ramp across the field. Returns
    (counts, photons truth (n, channels, cycles), x, y, shifts)."""
    rng = np.random.default_rng(seed)
    h, w = SHAPE
    gx, gy = np.meshgrid(np.arange(12, w - 8, 14.0), np.arange(12, h - 8, 14.0))
    x = gx.ravel() + rng.uniform(-2, 2, gx.size)
    y = gy.ravel() + rng.uniform(-2, 2, gy.size)
    n = len(x)
    if shifts is None:
        shifts = np.vstack([[0, 0], rng.uniform(-2.5, 2.5, (n_cycles - 1, 2))])
    photons = rng.uniform(1500, 4000, (n, n_channels))
    photons[5, 0] = 0.0
    truth = np.zeros((n, n_channels, n_cycles))
    counts = np.empty((n_channels, n_cycles, h, w), dtype=np.uint16)
    for ch in range(n_channels):
        for c in range(n_cycles):
            xs, ys = x + shifts[c, 0], y + shifts[c, 1]
            light = 1 - ramp + 2 * ramp * xs / w
            truth[:, ch, c] = photons[:, ch] * light
            if c >= 2:
                truth[3, ch, c] = 0.0
            clean = render(truth[:, ch, c], np.full(n, 1.2 + 0.3 * ch), xs, ys, SHAPE) \
                + background * (1 - ramp + 2 * ramp * (np.arange(w) + 0.5) / w)
            electrons = rng.poisson(clean * CAM.qe) + rng.normal(0, CAM.read_noise, SHAPE)
            counts[ch, c] = np.clip(np.round(electrons / CAM.sensitivity + CAM.baseline), 0, 65535)
    return counts, truth, x, y, shifts


def nearest(ph, x, y):
    """For each true spot, the index of the found spot nearest it and the distance."""
    fx, fy = ph.spots.x.to_numpy(), ph.spots.y.to_numpy()
    d = np.hypot(fx[None, :] - x[:, None], fy[None, :] - y[:, None])
    return d.argmin(axis=1), d.min(axis=1)


@pytest.fixture(scope="module")
def measured():
    counts, truth, x, y, shifts = field()
    return g2.photometry(counts, camera=CAM, n_threads=2), counts, truth, x, y, shifts


def test_shifts_between_cycles_are_measured_from_all_channels(measured):
    ph, _, _, _, _, shifts = measured
    assert np.abs(ph.shifts - shifts).max() < 0.05
    assert ph.shifts.shape == (5, 2) and np.all(ph.shifts[0] == 0)
    # A large shift, and a cycle whose images are the reference's moved by a
    # whole number of pixels (the interpolation then copies pixels).
    big = np.array([[0.0, 0.0], [-7.3, 5.6], [11.0, -3.0]])
    counts, *_ = field(1, n_channels=1, n_cycles=3, shifts=big)
    e = CAM.to_electrons(counts)
    assert np.abs(reg.cycle_shifts(e) - big).max() < 0.05
    moved = reg.move(e[0, 0], 3.0, -2.0)
    assert np.array_equal(moved[2:-2, 3:-3], e[0, 0][4:, :-6])


def test_the_composite_of_moved_images_keeps_spots_sharp():
    # Through the FFT in the interior and by interpolation near the edges
    # (and everywhere in a frame too small for the FFT's edge bands), a
    # spot's composite has its width, and its volume within its sampling
    # (0.2 % of Lanczos's lobes); near an edge, whose pixels are extended,
    # within 2 %.
    shifts = np.array([[0.0, 0.0], [1.37, -0.61], [-2.25, 1.8]])
    spots = [[2000, 1.3, 1.3, 60.4, 61.7, 0, 0], [2000, 1.3, 1.3, 4.6, 5.2, 0, 0]]
    for h, w in ((128, 136), (64, 72)):
        inside = [p for p in spots if p[3] < w - 8]
        stack = np.stack([[render([p[0] for p in inside], [1.3] * len(inside), [p[3] + dx for p in inside],
                                  [p[4] + dy for p in inside], (h, w)) + 10.0 for dx, dy in shifts]])
        comp = reg.registered_sums(stack, shifts, reg.spectra(stack))[0]
        inner = 0 if w > 100 else 1
        rec, _, fails = g2.fit_peaks(comp, [60, 5], [61, 5], mea=9)
        assert not fails[inner:].any()
        assert abs(rec[inner, 0] / 6000 - 1) < (2e-3 if inner == 0 else 2e-2)
        assert np.allclose(rec[inner, 1:3], 1.3, rtol=1e-3 if inner == 0 else 5e-2)
        if inner == 0:  # the FFT's interior and the interpolated band agree
            lanczos = reg.registered_sum(stack[0], shifts)
            assert np.abs(comp - lanczos)[20:-20, 20:-20].max() < 2e-3 * comp.max()


def test_every_spot_is_found_and_measured_dark_or_lit(measured):
    ph, _, truth, x, y, _ = measured
    idx, dist = nearest(ph, x, y)
    assert dist.max() < 0.3 and ph.n_spots == len(x)  # none missed, none false, on a +-30 % ramp
    assert (ph.flag == 0).all()
    sig, se = ph.signal[idx], ph.signal_se[idx]
    lit = truth > 0
    assert abs(np.median(sig[lit] / truth[lit]) - 1) < 0.02
    z = (sig - truth) / se
    assert 0.7 < np.sqrt(np.mean(z**2)) < 1.4
    assert abs(np.mean(z[~lit])) < 0.5  # dark cells: spot 3 from cycle 2, spot 5 in channel 0
    assert np.all(np.abs(sig[3, :, 2:]) < 4 * se[3, :, 2:])
    # Widths per channel: 1.2 and 1.5 px.
    assert np.allclose(ph.settings["psf_sigma_x"], [1.2, 1.5], atol=0.03)
    assert abs(ph.spots.sx_1.median() - 1.5) < 0.03


def test_given_peaks_keep_their_ids_and_psf_sigma_fixes_the_widths():
    counts, truth, x, y, shifts = field(3, n_channels=1, n_cycles=3)
    ids = [f"spot-{i}" for i in range(len(x))][::-1]
    peaks = pd.DataFrame({"id": ids, "x": x + 0.2, "y": y - 0.2})
    ph = g2.photometry(counts, camera=CAM, peaks=peaks, psf_sigma=1.2, n_threads=1)
    assert ph.spots.id.tolist() == ids
    lit = truth[:, 0, 0] > 0  # spot 5 is dark here: nothing to refine it on
    assert np.abs(ph.spots.x - x)[lit].max() < 0.15  # refined on the composite
    assert (ph.spots.sx_0 == 1.2).all() and (ph.spots.rho_0 == 0).all()
    frame = ph.to_frame()
    assert list(frame.columns) == ["id", "channel", "cycle", "signal", "signal_se", "bg", "bg_se", "flag"]
    assert len(frame) == len(x) * 3 and frame.id.iloc[0] == "spot-0".replace("0", str(len(x) - 1))
    assert np.array_equal(frame.signal.to_numpy(), ph.signal.reshape(-1))


def test_hdf5_and_csv_files_hold_what_was_measured(measured, tmp_path):
    ph = measured[0]
    path = ph.write(tmp_path / "run.h5")
    with h5py.File(path) as f:
        assert set(f) == {"signal", "signal_se", "bg", "bg_se", "flag", "shifts", "spots"}
        assert f["signal"].shape == (ph.n_spots, 2, 5) and f["flag"].dtype == np.int8
        assert f.attrs["n_channels"] == 2 and f.attrs["units"] == "photons"
        assert list(f["spots"].attrs["columns"]) == list(ph.spots.columns)
    back = g2.Photometry.read(path)
    for name in pm.DATASETS:
        assert np.array_equal(getattr(back, name), getattr(ph, name), equal_nan=True)
    assert np.array_equal(back.shifts, ph.shifts)
    pd.testing.assert_frame_equal(back.spots, ph.spots, check_dtype=False)
    assert back.settings["camera"] == ph.settings["camera"] and back.settings["mea"] == ph.settings["mea"]
    csv = pd.read_csv(ph.write(tmp_path / "run.csv"))
    assert np.allclose(csv.signal.to_numpy(), ph.signal.reshape(-1))
    with pytest.raises(ValueError, match="not a photometry file"):
        with h5py.File(tmp_path / "other.h5", "w") as f:
            f["x"] = [1]
        g2.Photometry.read(tmp_path / "other.h5")
    with pytest.raises(ValueError, match="unknown photometry format"):
        ph.write(tmp_path / "run.txt")


def test_bad_input_is_refused_before_any_work():
    counts, _, x, y, _ = field(4, n_channels=2, n_cycles=2)
    with pytest.raises(ValueError, match="channels, cycles, h, w"):
        g2.photometry(counts[0, 0])  # 2-D
    with pytest.raises(ValueError, match="the stack has 2 channel"):
        g2.photometry(counts, channels=3)
    with pytest.raises(ValueError, match="one per channel"):
        g2.photometry(counts, psf_sigma=[1.2, 1.3, 1.4])
    with pytest.raises(ValueError, match="outside the 112 x 96 frame"):
        g2.photometry(counts, peaks={"x": [10.0, 112.0], "y": [10.0, 10.0]})
    with pytest.raises(ValueError, match="duplicates"):
        g2.photometry(counts, peaks={"id": [1, 1], "x": [10.0, 20.0], "y": [10.0, 10.0]})
    bad = counts.astype(float)
    bad[1, 1, 7, 9] = np.nan
    with pytest.raises(ValueError, match="non-finite pixel.*channel 1, cycle 1 at x 9, y 7"):
        g2.photometry(bad)
    with pytest.raises(TypeError, match="camera must be a Camera"):
        g2.photometry(counts, camera="cam")
    with pytest.raises(TypeError, match="real numbers"):
        g2.photometry(counts.astype("timedelta64[s]"))


def test_the_tool_writes_the_table_or_nothing(tmp_path, capsys):
    counts, truth, x, y, _ = field(5, n_channels=2, n_cycles=3)
    frames = counts.transpose(1, 0, 2, 3).reshape(-1, *SHAPE)  # acquisition order: channel fastest
    tifffile.imwrite(tmp_path / "a.tif", frames[:4], photometric="minisblack")
    tifffile.imwrite(tmp_path / "b.tif", frames[4:], photometric="minisblack")
    files = [str(tmp_path / "a.tif"), str(tmp_path / "b.tif")]
    camera = ["--baseline", "100", "--sensitivity", "0.5", "--qe", "0.9", "--read-noise", "1.5"]
    out = tmp_path / "run.h5"
    assert cli.main(["photometry", *files, "-o", str(out), "--channels", "2", "--no-progress", *camera]) == 0
    assert "measured" in capsys.readouterr().err
    ph = g2.Photometry.read(out)
    assert ph.n_channels == 2 and ph.n_cycles == 3 and ph.n_spots == len(x)
    assert ph.settings["camera"]["sensitivity"] == 0.5 and ph.settings["source"] == files
    # Bad input: one line, status 1, the old output untouched.
    old = out.read_bytes()
    (tmp_path / "broken.tif").write_text("not an image")
    np.save(tmp_path / "small.npy", np.zeros((2, 4, 5), dtype=np.uint16))
    peaks = tmp_path / "peaks.csv"
    peaks.write_text("id,x,y\na,10,10\nb,500,10\n")
    for argv, message in (
            ([files[0], "--channels", "3"], "4 image(s) do not split into 3 channels"),
            ([str(tmp_path / "broken.tif")], "broken.tif: cannot read it"),
            ([*files, "--channels", "2", "--peaks", str(peaks)], "outside the 112 x 96 frame"),
            ([*files, "--channels", "2", "--psf-sigma", "-1"], "psf_sigma must be positive"),
            ([str(tmp_path / "missing.tif")], "no such file"),
            ([files[0], str(tmp_path / "small.npy")], "small.npy: images of 5 x 4, but")):
        assert cli.main(["photometry", *argv, "-o", str(out), "--no-progress"]) == 1
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and err[0].startswith("python3 -m gauss2_fitter: error:")
        assert any(m in err[0] for m in message.split("|")), err[0]
        assert out.read_bytes() == old
    assert cli.main(["photometry", *files, "-o", str(tmp_path / "run.txt")]) == 1
    assert "unknown photometry format" in capsys.readouterr().err
    assert not list(tmp_path.glob(".*part"))


def test_localize_takes_the_local_background(tmp_path):
    # A movie on a +-30 % ramp: with the local background the table holds
    # the spots only; today's default keeps one level a frame.
    counts, truth, x, y, _ = field(6, n_channels=1, n_cycles=4, shifts=np.zeros((4, 2)), background=200.0)
    movie = counts[0]
    local = g2.localize(movie, camera=CAM, background_tile=32, n_threads=1)
    default = g2.localize(movie, camera=CAM, n_threads=1)
    assert local.attrs["background_tile"] == 32 and default.attrs["background_tile"] == 0
    good = local[local.flag == 0]
    d = np.hypot(good.x.to_numpy()[:, None] - x[None], good.y.to_numpy()[:, None] - y[None]).min(axis=1)
    assert (d < 1).all() and len(good) >= 4 * (len(x) - 1) - 2
    assert len(default) > len(local) + 20  # the bright side's noise as peaks
