"""Photometry of a field imaged many times, through the package:
registration against known shifts, spots found on a field with uneven
illumination, dark spots measured, ids kept, stacks read through the movie
readers, HDF5 and CSV files read back, and bad input refused. (The tool's
subcommand: test_cli.py; the native batch: test_photometry.cpp.)"""

import importlib

import h5py
import numpy as np
import pandas as pd
import pytest
import tifffile

import gauss2_fitter as g2
from gauss2_fitter import pipeline
from photometry_fields import CAM, acquisition_order, field, render

reg = importlib.import_module("gauss2_fitter.registration")
pm = importlib.import_module("gauss2_fitter.photometry")


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
    with np.errstate(over="ignore"):  # integer counts too large for the camera's scale
        overflow = int(np.isinf((counts - 100.0) * 1e307).sum())
        with pytest.raises(ValueError, match=f"stack holds {overflow} non-finite pixel"):
            g2.photometry(counts, camera=g2.Camera(baseline=100, sensitivity=1e307))
    with pytest.raises(TypeError, match="camera must be a Camera"):
        g2.photometry(counts, camera="cam")
    with pytest.raises(TypeError, match="real numbers"):
        g2.photometry(counts.astype("timedelta64[s]"))


def test_files_read_by_the_movie_readers_in_chunks_measure_as_the_array(tmp_path, monkeypatch):
    # The images of a camera in acquisition order (channels interleaved),
    # split over a TIFF and a .npy file and read one frame at a time, are
    # the array's (channels, cycles, h, w), bit for bit; a non-finite pixel
    # in a later read is named by its channel and cycle.
    counts, *_ = field(7, n_channels=2, n_cycles=3)
    frames = acquisition_order(counts)
    tifffile.imwrite(tmp_path / "a.tif", frames[:4], photometric="minisblack")
    np.save(tmp_path / "b.npy", frames[4:])
    files = [tmp_path / "a.tif", tmp_path / "b.npy"]
    monkeypatch.setattr(pipeline, "CHUNK_PIXELS", 1)
    from_files = g2.photometry(files, channels=2, camera=CAM, n_threads=2)
    from_array = g2.photometry(counts, camera=CAM, n_threads=1)
    for name in pm.DATASETS:
        assert np.array_equal(getattr(from_files, name), getattr(from_array, name), equal_nan=True)
    assert from_files.settings["source"] == [str(f) for f in files] and from_array.settings["source"] == ["<array>"]
    bad = frames.astype(np.float32)
    bad[5, 7, 9] = bad[5, 8, 9] = np.inf  # frame 5: channel 1 of cycle 2
    np.save(tmp_path / "bad.npy", bad)
    with pytest.raises(ValueError, match="2 non-finite pixel.*channel 1, cycle 2 at x 9, y 7"):
        g2.photometry(tmp_path / "bad.npy", channels=2)
