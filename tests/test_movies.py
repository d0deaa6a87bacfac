"""Camera movies to localisation tables: the movie readers, the pipeline and
localize, the table files and their metadata, rendering, and the registries
where formats and estimators plug in, through real files (tifffile, numpy,
h5py, pandas). The tool's side of movies is tests/test_cli.py's."""

import io
import tracemalloc

import h5py
import numpy as np
import pandas as pd
import pytest
import tifffile
import yaml

import gauss2_fitter as g2
from gauss2_fitter import pipeline, schema
from gauss2_fitter.formats import FormatError
from gauss2_fitter.render import histogram, save_image
from hostile_files import hostile_tables
from movie_fields import BACKGROUND, CAM, N_FRAMES, SHAPE, adu_movie, make_truth, spots_and_a_blob
from photometry_fields import field

ESTIMATORS = sorted(g2.ESTIMATORS)


@pytest.fixture(scope="module")
def truth():
    return make_truth()


@pytest.fixture(scope="module")
def movie(truth):
    return adu_movie(truth)


def check_against_truth(locs, truth):
    assert list(locs.columns) == list(g2.COLUMNS + g2.NM_COLUMNS)
    assert locs["frame"].dtype == np.int64 and locs["flag"].dtype == np.int8
    assert locs["iterations"].dtype == np.int32
    assert (locs.flag == 0).all()
    assert len(locs) == len(truth)
    # Rows in frame order, row-major peak order within a frame: match each to its spot.
    for f in range(N_FRAMES):
        got = locs[locs.frame == f]
        want = truth[truth[:, 0] == f]
        d = np.hypot(got.x.to_numpy()[:, None] - want[None, :, 4], got.y.to_numpy()[:, None] - want[None, :, 5])
        want = want[d.argmin(axis=1)]
        if locs.attrs.get("estimator") == "mle":
            # The likelihood's fit stops within a small share of a standard
            # error (here under 1e-3), least squares at its 1e-15 tolerances.
            for col, value in [("x", want[:, 4]), ("y", want[:, 5]), ("photons", want[:, 1]), ("sx", want[:, 2]),
                               ("sy", want[:, 3]), ("bg", BACKGROUND)]:
                se = got[{"x": "lpx", "y": "lpy"}.get(col, col + "_se")].to_numpy()
                assert np.all(np.abs(got[col].to_numpy() - value) <= 1e-3 * se), col
            np.testing.assert_allclose(got.rho, want[:, 6], atol=1e-4)
            continue
        np.testing.assert_allclose(got[["x", "y"]], want[:, 4:6], atol=1e-5)
        np.testing.assert_allclose(got.photons, want[:, 1], rtol=1e-5)  # ADU back to photons
        np.testing.assert_allclose(got[["sx", "sy", "rho"]], want[:, [2, 3, 6]], atol=1e-5)
        np.testing.assert_allclose(got.bg, BACKGROUND, rtol=1e-5)
    np.testing.assert_array_equal(locs.x_nm, locs.x * CAM.pixel_size)
    np.testing.assert_array_equal(locs.lpy_nm, locs.lpy * CAM.pixel_size)


@pytest.mark.parametrize("estimator", ESTIMATORS)
def test_a_movie_in_adu_becomes_a_table_in_photons_and_nm(movie, truth, estimator):
    locs = g2.localize(movie, camera=CAM, estimator=estimator, n_threads=2)
    check_against_truth(locs, truth)
    a = locs.attrs
    assert (a["height"], a["width"], a["n_frames"], a["mea"], a["estimator"]) == (*SHAPE, N_FRAMES, 11, estimator)
    assert a["camera"]["sensitivity"] == 0.25 and a["pixel_size"] == 107.0 and a["threshold"] is None
    if estimator == "mle":  # the photon-statistics errors and the iterations come with the estimator
        assert np.all(np.isfinite(locs.lpx)) and np.all(locs.iterations > 0)


def test_files_lists_of_files_chunks_and_threads_give_the_same_table(movie, tmp_path, monkeypatch):
    want = g2.localize(movie, camera=CAM, estimator="lsq", n_threads=1)
    u16 = np.round(movie).astype(np.uint16)
    want16 = g2.localize(u16, camera=CAM, estimator="lsq", n_threads=1)
    tifffile.imwrite(tmp_path / "m.tif", u16)
    tifffile.imwrite(tmp_path / "z.tif", u16, compression="zlib")  # pages decoded one by one
    tifffile.imwrite(tmp_path / "m.ome.tif", u16, ome=True)
    tifffile.imwrite(tmp_path / "big.tif", u16.byteswap().view(u16.dtype.newbyteorder()), bigtiff=True)
    np.save(tmp_path / "m.npy", movie)
    for k, (lo, hi) in enumerate([(0, 3), (3, 4), (4, 10)]):  # a stack in several files
        tifffile.imwrite(tmp_path / f"part{k}.tif", u16[lo:hi] if hi - lo > 1 else u16[lo], photometric="minisblack")
    parts = [tmp_path / f"part{k}.tif" for k in range(3)]
    monkeypatch.setattr(pipeline, "CHUNK_PIXELS", 3 * SHAPE[0] * SHAPE[1])  # chunks of 3 frames
    for source, ref in [(tmp_path / "m.npy", want), (tmp_path / "m.tif", want16), (tmp_path / "z.tif", want16),
                        (tmp_path / "m.ome.tif", want16), (tmp_path / "big.tif", want16), (parts, want16)]:
        for threads in (1, 2):
            got = g2.localize(source, camera=CAM, estimator="lsq", n_threads=threads)
            pd.testing.assert_frame_equal(got, ref)  # bit for bit
    assert g2.localize(parts, camera=CAM, estimator="lsq").attrs["source"] == [str(p) for p in parts]


def test_frames_and_given_peaks(movie, truth):
    locs = g2.localize(movie, camera=CAM, estimator="lsq", frames=range(3, 7))
    assert sorted(set(locs.frame)) == [3, 4, 5, 6]
    full = g2.localize(movie, camera=CAM, estimator="lsq")
    pd.testing.assert_frame_equal(locs.reset_index(drop=True),
                                  full[full.frame.between(3, 6)].reset_index(drop=True), check_like=False)
    assert locs.attrs["frame_range"] == [3, 7] and locs.attrs["n_frames"] == 4

    # Peaks given as a table of sub-pixel positions: the pixel holding each is fitted.
    peaks = pd.DataFrame({"frame": truth[:, 0].astype(int), "x": truth[:, 4], "y": truth[:, 5]})
    peaks = pd.concat([peaks, pd.DataFrame({"frame": [2], "x": [1.5], "y": [20.2]})])  # window leaves the frame
    got = g2.localize(movie, camera=CAM, estimator="lsq", peaks=peaks.iloc[::-1])
    assert len(got) == len(peaks) and np.all(np.diff(got.frame) >= 0)
    edge = got[got.flag == 1]
    assert len(edge) == 1 and (edge.x.item(), edge.y.item()) == (1.5, 20.5) and np.isnan(edge.photons.item())
    check_against_truth(got[got.flag == 0].reset_index(drop=True), truth)
    got = g2.localize(movie, camera=CAM, estimator="lsq", peaks=peaks, frames=(0, 2))
    assert set(got.frame) == {0, 1}
    with pytest.raises(ValueError, match="frame 10"):
        g2.localize(movie, camera=CAM, estimator="lsq", peaks=[[10, 5, 5]])


def test_tables_written_and_read_back(movie, tmp_path):
    locs = g2.localize(movie, camera=CAM, estimator="lsq")
    # CSV in nm with ThunderSTORM's headers (the pixel size is in the table's attributes).
    g2.write_csv(locs, tmp_path / "l.csv")
    df = pd.read_csv(tmp_path / "l.csv")
    assert list(df.columns[:14]) == ["id", "frame", "x [nm]", "y [nm]", "sigma [nm]", "intensity [photon]",
                                     "offset [photon]", "bkgstd [photon]", "chi2", "uncertainty_xy [nm]",
                                     "sigma1 [nm]", "sigma2 [nm]", "uncertainty_x [nm]", "uncertainty_y [nm]"]
    np.testing.assert_array_equal(df.frame, locs.frame + 1)
    np.testing.assert_array_equal(df.id, np.arange(1, len(locs) + 1))
    np.testing.assert_allclose(df["x [nm]"], locs.x_nm, rtol=1e-8)
    np.testing.assert_allclose(df["sigma2 [nm]"], locs.sy * 107.0, rtol=1e-8)
    back = g2.read_localizations(tmp_path / "l.csv", pixel_size=107.0)
    pd.testing.assert_frame_equal(back, locs, rtol=1e-8, check_dtype=True)
    with pytest.raises(FormatError, match="pixel size"):
        g2.read_localizations(tmp_path / "l.csv")
    # CSV in pixels: the table's own columns.
    plain = locs.copy()
    plain.attrs = {}
    g2.write_csv(plain, tmp_path / "px.csv")
    assert list(pd.read_csv(tmp_path / "px.csv").columns) == list(g2.COLUMNS)
    assert g2.read_localizations(tmp_path / "px.csv").x.tolist() == pytest.approx(locs.x.tolist(), rel=1e-8)

    # HDF5 as picasso reads it, with the YAML documents beside it.
    g2.write_hdf5(locs, tmp_path / "l.hdf5")
    with h5py.File(tmp_path / "l.hdf5", "r") as f:
        rec = f["locs"][...]
    assert rec.dtype.names[:12] == ("frame", "x", "y", "photons", "sx", "sy", "bg", "lpx", "lpy",  # no likelihood
                                    "iterations", "rho", "flag")
    assert rec.dtype["frame"] == np.uint32 and rec.dtype["x"] == np.float32 and rec.dtype["iterations"] == np.int32
    np.testing.assert_array_equal(rec["frame"], locs.frame)
    np.testing.assert_allclose(rec["x"], locs.x - 0.5, rtol=1e-6)  # picasso's pixel centres
    docs = list(yaml.safe_load_all((tmp_path / "l.yaml").read_text()))
    assert docs[0] == {"Frames": N_FRAMES, "Height": SHAPE[0], "Width": SHAPE[1], "Data Type": "float64",
                       "Byte Order": "<", "File": "<array>"}
    assert docs[1]["Pixelsize"] == 107.0 and docs[1]["Box Size"] == 11 and docs[1]["Estimator"] == "lsq"
    back = g2.read_localizations(tmp_path / "l.hdf5")
    assert back.attrs["pixel_size"] == 107.0 and (back.attrs["height"], back.attrs["width"]) == SHAPE
    pd.testing.assert_frame_equal(back, locs, rtol=1e-6, atol=1e-4)

    # Non-finite values are empty cells.
    odd = locs.iloc[:1].copy()
    odd.loc[0, "photons"], odd.loc[0, "sx"] = np.inf, -np.inf
    g2.write_csv(odd, tmp_path / "odd.csv", pixel_size=None, metadata=g2.RunMetadata())
    row = pd.read_csv(tmp_path / "odd.csv", keep_default_na=False).iloc[0]
    assert row["photons"] == row["sx"] == "" and row["flag"] == 0
    (tmp_path / "odd.csv").unlink()
    # A failed write leaves an existing file as it was; a wrong suffix is refused.
    before = (tmp_path / "l.csv").read_bytes()
    with pytest.raises(ValueError):
        g2.write_csv(locs.drop(columns=["photons"]), tmp_path / "l.csv")
    assert (tmp_path / "l.csv").read_bytes() == before
    with pytest.raises(FormatError, match="unknown table format"):
        g2.write_table(locs, tmp_path / "l.txt")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["l.csv", "l.hdf5", "l.yaml", "px.csv"]


def test_rendering(movie, tmp_path):
    locs = g2.localize(movie, camera=CAM, estimator="lsq")
    locs.loc[0, "flag"] = 2  # flagged rows are not drawn
    locs["lpx"], locs["lpy"] = 0.05, 0.08
    locs.loc[1, "lpx"] = np.nan  # nor rows without a precision
    hist = g2.render_localizations(locs, oversampling=4, blur=None)
    assert hist.shape == (SHAPE[0] * 4, SHAPE[1] * 4) and hist.sum() == len(locs) - 1
    r, c = int(locs.y[2] * 4), int(locs.x[2] * 4)
    assert hist[r, c] >= 1
    sr = g2.render_localizations(locs, oversampling=4)
    assert sr.sum() == pytest.approx(len(locs) - 2, rel=1e-9)
    # Each spot's mass sits where it was found, spread as its precision says.
    ys, xs = np.mgrid[0:sr.shape[0], 0:sr.shape[1]]
    win = (np.abs(ys + 0.5 - locs.y[2] * 4) < 2) & (np.abs(xs + 0.5 - locs.x[2] * 4) < 2)
    assert sr[win].sum() == pytest.approx(1.0, abs=0.02)
    wide = g2.render_localizations(locs, oversampling=4, blur=0.5)
    assert wide.max() < sr.max() and wide.sum() == pytest.approx(len(locs) - 1, rel=1e-6)
    # A fit with an enormous reported error (a wide Gaussian fitted over two
    # emitters) beside sharp ones: its footprint stops at the image, and the
    # sharp ones are drawn as before.
    huge = locs.copy()
    huge.loc[3, "lpx"], huge.loc[4, "lpy"] = 80.0, 1e6
    sr_huge = g2.render_localizations(huge, oversampling=4)
    assert sr_huge[win].sum() == pytest.approx(1.0, abs=0.02)
    assert sr_huge.sum() == pytest.approx(len(locs) - 4, abs=1.0)
    # Unflagged rows far outside the frame, one with an enormous error too:
    # nothing of theirs reaches the picture, and nothing of theirs is computed
    # (a footprint as wide as its distance would take memory by its square).
    far = huge.copy()
    far.loc[5, ["x", "lpx", "lpy"]] = 1e6, 1e6, 1e6
    far.loc[6, "x"], far.loc[7, "y"] = 1e300, -1e19
    sr_far = g2.render_localizations(far, oversampling=4)
    assert sr_far[win].sum() == pytest.approx(1.0, abs=0.02)
    assert sr_far.sum() == pytest.approx(len(locs) - 7, abs=1.0)
    # A table without the frame size (a CSV file) is drawn as large as its
    # unflagged rows reach: a failed fit that wandered far off is not drawn
    # and does not size the picture either.
    bare = pd.DataFrame(locs)
    bare.attrs = {}
    wild = bare.copy()
    wild.loc[0, ["x", "y"]] = 3e6, 5e3
    np.testing.assert_array_equal(g2.render_localizations(wild, oversampling=4),
                                  g2.render_localizations(bare, oversampling=4))
    # A position on a pixel's edge lies in the pixel that starts there: x =
    # 5.0 needs six columns (not five, which would drop it).
    edge = pd.DataFrame({"x": [5.0, 0.2], "y": [2.0, 0.5], "flag": [0, 0]})
    hist = g2.render_localizations(edge, oversampling=1, blur=None)
    assert hist.shape == (3, 6) and hist[2, 5] == 1 and hist.sum() == 2

    for name in ("sr.npy", "sr.tif", "sr.png"):
        save_image(sr, tmp_path / name, pixel_size=107.0 / 4)
    np.testing.assert_array_equal(np.load(tmp_path / "sr.npy"), sr)
    np.testing.assert_allclose(tifffile.imread(tmp_path / "sr.tif"), sr.astype(np.float32))
    assert (tmp_path / "sr.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    import matplotlib.image

    assert matplotlib.image.imread(tmp_path / "sr.png").shape[:2] == sr.shape
    with pytest.raises(ValueError, match="unknown image format"):
        save_image(sr, tmp_path / "sr.jpg")
    assert not (tmp_path / "sr.jpg").exists()


def test_the_histogram_counts_alike_sparse_and_dense():
    rng = np.random.default_rng(7)
    for n in (10, 5000):  # below and above an eighth of the 64 x 48 pixels
        x, y = rng.uniform(-2, 50, n), rng.uniform(-2, 66, n)
        want = np.histogram2d(y, x, bins=(64, 48), range=((0, 64), (0, 48)))[0]
        got = histogram(x, y, (64, 48), np.float32)
        assert got.dtype == np.float32 and (got == want).all()


def test_memory_stays_bounded_on_a_memory_mapped_movie(movie, tmp_path, monkeypatch):
    # Traced allocations (numpy's included) while streaming a memory-mapped
    # movie: the same for 80 and 320 frames, and far below the movie's size.
    base = movie[:8]
    monkeypatch.setattr(pipeline, "CHUNK_PIXELS", 4 * SHAPE[0] * SHAPE[1])
    peaks = {}
    for n in (80, 320):
        mm = np.lib.format.open_memmap(tmp_path / f"m{n}.npy", mode="w+", dtype=np.float64, shape=(n,) + SHAPE)
        for lo in range(0, n, 8):
            mm[lo:lo + 8] = base
        mm.flush()
        for source in (np.load(tmp_path / f"m{n}.npy", mmap_mode="r"), tmp_path / f"m{n}.npy"):
            tracemalloc.start()
            rows = sum(len(t) for t in g2.iter_localize(source, g2.Settings(camera=CAM, estimator="lsq"),
                                                        n_threads=2))
            peaks[n, type(source).__name__] = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            assert rows > 0
    movie_bytes = 320 * SHAPE[0] * SHAPE[1] * 8
    for kind in ("memmap", "PosixPath"):
        assert peaks[320, kind] < 1.25 * peaks[80, kind] + 64 * 1024, peaks
        assert peaks[320, kind] < movie_bytes / 4, peaks


def test_bad_movies_and_settings_are_refused(tmp_path):
    with pytest.raises(g2.MovieError, match="2-D .* or 3-D"):
        g2.localize(np.zeros((2, 3, 20, 20)), estimator="lsq")
    (tmp_path / "text.tif").write_text("not an image\n")
    with pytest.raises(g2.MovieError, match="not a TIFF"):
        g2.localize(tmp_path / "text.tif", estimator="lsq")
    (tmp_path / "text.npy").write_text("not an array\n")
    with pytest.raises(g2.MovieError, match="not a .npy"):
        g2.open_movie(tmp_path / "text.npy")
    (tmp_path / "movie.txt").write_text("x")
    with pytest.raises(g2.MovieError, match="unknown format .txt"):
        g2.open_movie(tmp_path / "movie.txt")
    # .npy headers: a negative size, and numpy's message of several lines (as one).
    np.save(tmp_path / "neg.npy", np.zeros((2, 16, 16)))
    (tmp_path / "neg.npy").write_bytes((tmp_path / "neg.npy").read_bytes().replace(b"(2, ", b"(-1,"))
    with pytest.raises(g2.MovieError, match=r"neg.npy: a negative size in its shape \(-1, 16, 16\)"):
        g2.open_movie(tmp_path / "neg.npy")
    header = "{'descr': '<f8', 'fortran_order': False, 'shape': (2, 16, 16), }" + " " * 20000 + "\n"
    (tmp_path / "long.npy").write_bytes(b"\x93NUMPY\x02\x00" + len(header).to_bytes(4, "little") + header.encode())
    with pytest.raises(g2.MovieError, match="long.npy: cannot read it: not a .npy file .* is large") as e:
        g2.open_movie(tmp_path / "long.npy")
    assert "\n" not in str(e.value)
    with pytest.raises(FileNotFoundError):
        g2.open_movie(tmp_path / "missing.tif")
    tifffile.imwrite(tmp_path / "rgb.tif", np.zeros((20, 30, 3), np.uint8), photometric="rgb")
    with pytest.raises(g2.MovieError, match="colour samples"):  # not 20 frames of 30 x 3
        g2.open_movie(tmp_path / "rgb.tif")
    tifffile.imwrite(tmp_path / "a.tif", np.zeros((2, 20, 20), np.uint16))
    tifffile.imwrite(tmp_path / "b.tif", np.zeros((2, 20, 21), np.uint16))
    with pytest.raises(g2.MovieError, match="20 x 21"):
        g2.open_movie([tmp_path / "a.tif", tmp_path / "b.tif"])
    for bad in ({"sensitivity": 0}, {"em_gain": -1}, {"qe": 0}, {"qe": 1.5}, {"pixel_size": 0},
                {"read_noise": -1}, {"baseline": np.nan}, {"read_noise": np.full((3, 3), -1.0)},
                {"read_noise": 1e200}, {"read_noise": np.full((3, 3), 1e200)}):  # variances beyond the floats
        with pytest.raises(ValueError, match="camera " + next(iter(bad))):
            g2.Camera(**bad)
    with pytest.raises(ValueError, match="read_noise map has shape"):
        g2.localize(np.zeros((2, 20, 20)), camera=g2.Camera(read_noise=np.ones((20, 21))), estimator="lsq")
    with pytest.raises(ValueError, match="estimator"):
        g2.localize(np.zeros((20, 20)), estimator="bayes")
    with pytest.raises(ValueError, match="step"):
        g2.localize(np.zeros((4, 20, 20)), frames=range(0, 4, 2), estimator="lsq")


# ---- the pieces one by one ------------------------------------------------------------


def test_movie_reads_any_range_across_files_and_pickles_as_its_paths(tmp_path):
    import pickle

    rng = np.random.default_rng(1)
    data = rng.integers(0, 4000, (23, 9, 11)).astype(np.uint16)
    cuts = [0, 5, 6, 14, 23]
    paths = []
    for k, (lo, hi) in enumerate(zip(cuts[:-1], cuts[1:])):
        paths.append(tmp_path / f"p{k}.{'npy' if k % 2 else 'tif'}")
        if k % 2:
            np.save(paths[-1], data[lo:hi])
        else:
            tifffile.imwrite(paths[-1], data[lo:hi], photometric="minisblack")
    mv = g2.open_movie(paths)
    assert mv.shape == data.shape and mv.dtype == np.uint16
    for _ in range(60):
        lo = int(rng.integers(0, 24))
        hi = int(rng.integers(lo, 24))
        np.testing.assert_array_equal(mv.read(lo, hi), data[lo:hi])
    with pytest.raises(IndexError):
        mv.read(20, 24)
    # Column-major .npy files hold no frame as consecutive rows, one frame neither.
    for k, frames in enumerate((data[:1], data[0], data[:4])):
        np.save(tmp_path / f"f{k}.npy", np.asfortranarray(frames))
        np.testing.assert_array_equal(g2.open_movie(tmp_path / f"f{k}.npy").read(0, 1)[0], data[0])
    again = pickle.loads(pickle.dumps(mv))
    assert len(pickle.dumps(mv)) < 2000  # paths, not pixels
    np.testing.assert_array_equal(again.read(0, 23), data)
    # One chunk's work, sent elsewhere: the same rows as the whole run's.
    settings = g2.Settings(camera=g2.Camera(), estimator="lsq", mea=5)
    chunk = pickle.loads(pickle.dumps((mv, 6, 14, settings)))
    whole = g2.localize(paths, mea=5, estimator="lsq")
    pd.testing.assert_frame_equal(g2.localize_chunk(*chunk).reset_index(drop=True),
                                  whole[whole.frame.between(6, 13)].reset_index(drop=True))


def test_a_local_background_finds_the_spots_of_an_uneven_field_and_is_recorded(tmp_path):
    # A movie on a +-30 % ramp: with the local background the table holds
    # the spots only; one level a frame (the default) takes the bright
    # side's noise for peaks. The run's metadata records the choice, and the
    # HDF5 table's YAML holds it.
    counts, truth, x, y, _ = field(6, n_channels=1, n_cycles=4, shifts=np.zeros((4, 2)), background=200.0)
    cam = g2.Camera(baseline=100.0, sensitivity=0.5, qe=0.9, read_noise=1.5)
    local = g2.localize(counts[0], camera=cam, background_tile=32, n_threads=1)
    default = g2.localize(counts[0], camera=cam, n_threads=1)
    good = local[local.flag == 0]
    d = np.hypot(good.x.to_numpy()[:, None] - x[None], good.y.to_numpy()[:, None] - y[None]).min(axis=1)
    assert (d < 1).all() and len(good) >= 4 * (len(x) - 1) - 2
    assert len(default) > len(local) + 20
    assert local.attrs["background_tile"] == 32 and default.attrs["background_tile"] == 0
    meta = g2.RunMetadata.for_run(counts[0], g2.Settings(camera=cam, background_tile=32))
    assert meta.background_tile == 32
    g2.write_hdf5(local, tmp_path / "l.hdf5", metadata=meta)
    assert list(yaml.safe_load_all((tmp_path / "l.yaml").read_text()))[1]["Background Tile"] == 32
    # A flat frame says it has no contrast with the local background too.
    with pytest.warns(g2.NoPeaksWarning, match="every frame has no contrast"):
        g2.localize(np.full((2, 40, 40), 150.0), camera=cam, background_tile=16)
    with pytest.raises(ValueError, match="background_tile must be at least 0"):
        g2.Settings(camera=cam, background_tile=-1)


def test_a_tiffs_frames_are_its_pages_in_file_order(tmp_path):
    frames = np.arange(10)[:, None, None] + np.zeros((10, 12, 14), np.uint16)
    # Written a frame at a time: a series each (tifffile's first series is one frame).
    with tifffile.TiffWriter(tmp_path / "each.tif") as t:
        for f in frames:
            t.write(f)
    # One page compressed among plain ones: every later frame keeps its number.
    with tifffile.TiffWriter(tmp_path / "mixed.tif") as t:
        for k, f in enumerate(frames):
            t.write(f, compression="zlib" if k == 5 else None)
    for name in ("each.tif", "mixed.tif"):
        mv = g2.open_movie(tmp_path / name)
        assert mv.shape == frames.shape, name
        np.testing.assert_array_equal(mv.read(0, 10), frames)
        np.testing.assert_array_equal(mv.read(4, 7), frames[4:7])
    # A page of another size is no frame: an error naming it.
    with tifffile.TiffWriter(tmp_path / "odd.tif") as t:
        for k, f in enumerate(frames[:4]):
            t.write(f if k != 2 else f[:, :7])
    with pytest.raises(g2.MovieError, match="odd.tif: page 2 is 12 x 7 pixels, page 0 12 x 14"):
        g2.open_movie(tmp_path / "odd.tif")
    # One frame in a 3-D array is a movie of one frame, in every format.
    for name in ("one.npy", "one.btf", "one.tf8", "one.tif"):
        if name.endswith(".npy"):
            np.save(tmp_path / name, frames[:1])
        else:
            tifffile.imwrite(tmp_path / name, frames[:1], bigtiff=not name.endswith(".tif"))
        np.testing.assert_array_equal(g2.open_movie(tmp_path / name).read(0, 1), frames[:1])


def ome_xml(size_t, files):
    """OME metadata of a movie of size_t frames of 8 x 8, frame t in the
    file named files[t] (name, uuid)."""
    data = "".join(f'<TiffData FirstT="{t}" IFD="0" PlaneCount="1"><UUID FileName="{name}">urn:uuid:{u}</UUID>'
                   "</TiffData>" for t, (name, u) in enumerate(files))
    return ('<?xml version="1.0" encoding="UTF-8"?><OME xmlns="http://www.openmicroscopy.org/Schemas/OME/2016-06" '
            f'UUID="urn:uuid:{files[0][1]}"><Image ID="Image:0"><Pixels ID="Pixels:0" DimensionOrder="XYCZT" '
            f'Type="uint16" SizeX="8" SizeY="8" SizeC="1" SizeZ="1" SizeT="{size_t}">'
            f'<Channel ID="Channel:0:0" SamplesPerPixel="1"/>{data}</Pixels></Image></OME>')


@pytest.mark.filterwarnings("error")  # tifffile warns of a page read from a file it has closed
def test_an_ome_tiff_reads_only_files_in_its_own_folder(tmp_path):
    import uuid

    (tmp_path / "run").mkdir()
    (tmp_path / "other").mkdir()
    ids = [str(uuid.uuid4()) for _ in range(3)]
    for folder, name, value, u in [("run", "b.ome.tif", 2, ids[1]), ("other", "secret.ome.tif", 7, ids[2])]:
        tifffile.imwrite(tmp_path / folder / name, np.full((8, 8), value, np.uint16), metadata=None,
                         description=ome_xml(1, [(name, u)]))
    # Its frames in two files of its folder: both are read.
    tifffile.imwrite(tmp_path / "run" / "a.ome.tif", np.full((8, 8), 1, np.uint16), metadata=None,
                     description=ome_xml(2, [("a.ome.tif", ids[0]), ("b.ome.tif", ids[1])]))
    np.testing.assert_array_equal(g2.open_movie(tmp_path / "run" / "a.ome.tif").read(0, 2)[:, 0, 0], [1, 2])
    # A frame said to be in a file of another folder: that file is not read.
    for where in ("../other/secret.ome.tif", str(tmp_path / "other" / "secret.ome.tif")):
        tifffile.imwrite(tmp_path / "run" / "c.ome.tif", np.full((8, 8), 1, np.uint16), metadata=None,
                         description=ome_xml(2, [("c.ome.tif", ids[0]), (where, ids[2])]))
        with pytest.raises(g2.MovieError, match=f"c.ome.tif: its OME metadata names {where}, outside its folder"):
            g2.open_movie(tmp_path / "run" / "c.ome.tif")


def test_a_movie_of_many_files_keeps_few_of_them_open(run_host, tmp_path):
    # 300 files of three kinds under a limit of 100 open files: every frame
    # read, and at most OPEN_FILES of them open between reads.
    result = run_host(f"""
        import os, resource, tifffile
        from gauss2_fitter import movie
        resource.setrlimit(resource.RLIMIT_NOFILE, (100, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        paths = []
        for k in range(300):
            frames = np.full((2, 6, 7), k, np.uint16)
            paths.append(os.path.join({str(tmp_path)!r}, f"p{{k}}." + ("npy", "tif", "z.tif")[k % 3]))
            if k % 3 == 0:
                np.save(paths[-1], np.asarray(frames, order="F" if k % 2 else "C"))
            else:
                tifffile.imwrite(paths[-1], frames, compression="zlib" if k % 3 == 2 else None)
        mv = g2.open_movie(paths)
        assert (mv.read(0, 600)[:, 3, 3] == np.repeat(np.arange(300), 2)).all()
        assert len(os.listdir("/proc/self/fd")) <= movie.OPEN_FILES + 10
        print("ok")
        """)
    assert result.returncode == 0 and result.stdout == b"ok\n", result.stderr.decode()[-2000:]


def test_files_that_shrink_while_read_are_an_error_in_either_order(run_host, tmp_path):
    # Row-major and column-major .npy files alike: a clean error when their
    # frames are gone, never a signal (a mapped read would die of SIGBUS).
    result = run_host(f"""
        import os
        data = np.arange(20 * 16 * 16, dtype=np.float64).reshape(20, 16, 16)
        for order in "CF":
            path = os.path.join({str(tmp_path)!r}, order + ".npy")
            np.save(path, np.asarray(data, order=order))
            mv = g2.open_movie(path)
            np.testing.assert_array_equal(mv.read(3, 9), data[3:9])
            os.truncate(path, 2000)
            try:
                mv.read(0, 20)
            except g2.MovieError as e:
                print(order, str(e).split(": ", 1)[1])
        """)
    assert result.returncode == 0, result
    assert result.stdout.decode().splitlines() == [
        "C cannot read its frames 0 to 19: file ends 39088 bytes early",
        "F cannot read its frames 0 to 19: file ends 688 bytes early"]


def test_frame_selections_ranges_and_camera_formulas():
    from gauss2_fitter.movie import frame_range

    assert frame_range(None, 10) == (0, 10)
    assert frame_range(range(2, 5), 10) == (2, 5)
    assert frame_range(slice(-3, None), 10) == (7, 10)
    assert frame_range((4, 100), 10) == (4, 10)
    assert frame_range((8, 3), 10) == (8, 8)  # empty, not reversed
    for bad, err in ((slice(0, 5, 2), ValueError), ([1, 2], TypeError), ((1.5, 3), TypeError)):
        with pytest.raises(err):
            frame_range(bad, 10)
    # Ranges of a run: of a step each, or whole stored chunks up to the step, longer ones cut.
    assert pipeline.split_frames(0, 10, 4) == [(0, 4), (4, 8), (8, 10)]
    assert pipeline.split_frames(2, 30, 6, [0, 5, 10, 12, 25, 30]) == [(2, 5), (5, 10), (10, 12), (12, 18),
                                                                       (18, 24), (24, 25), (25, 30)]
    assert pipeline.split_frames(0, 9, 4, [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]) == [(0, 4), (4, 8), (8, 9)]
    mine = np.full((2, 3), 1.5)
    cam = g2.Camera(baseline=100, sensitivity=0.5, em_gain=10, qe=0.8, read_noise=mine)
    mine[0, 0] = 9.0  # the caller's map stays the caller's: writable, and no longer the camera's
    assert cam.read_noise[0, 0] == 1.5
    adu = np.array([[100, 120, 300], [1100, 100, 90]], dtype=np.uint16)
    np.testing.assert_allclose(cam.to_photons(adu), (adu.astype(float) - 100) * 0.5 / 10 / 0.8)
    assert cam.to_electrons(adu).dtype == np.float64 and cam.to_electrons(adu)[1, 2] == -0.5
    with pytest.raises(ValueError):
        cam.read_noise[0, 0] = 0  # the map cannot change behind the camera's back
    d = cam.as_dict()
    assert d["read_noise"] == {"map_shape": [2, 3], "median": 1.5}
    assert g2.Camera.from_dict(d).read_noise == 1.5 and g2.Camera.from_dict(d).em_gain == 10


def test_thunderstorm_tables_and_broken_files_are_read_or_refused(tmp_path):
    from gauss2_fitter.formats import read_localizations

    # ThunderSTORM's own export: an id column, one sigma and one uncertainty, frames from 1.
    (tmp_path / "ts.csv").write_text('"id","frame","x [nm]","y [nm]","sigma [nm]","intensity [photon]",'
                                     '"offset [photon]","bkgstd [photon]","uncertainty_xy [nm]"\n'
                                     "1,1,150.0,250.0,130.0,1000,10,3,12\n2,3,1050.0,50.0,120.0,800,11,3,15\n")
    t = read_localizations(tmp_path / "ts.csv", pixel_size=100)
    assert t.frame.tolist() == [0, 2] and t.x.tolist() == [1.5, 10.5] and t.y.tolist() == [2.5, 0.5]
    assert t.sx.tolist() == t.sy.tolist() == [1.3, 1.2] and t.lpx.tolist() == [0.12, 0.15]
    assert t.photons.tolist() == [1000, 800] and t.flag.tolist() == [0, 0] and np.isnan(t.rho).all()
    assert t.x_nm.tolist() == [150.0, 1050.0]
    # A plain peak list: x, y only.
    (tmp_path / "px.csv").write_text("x,y\n3,4\n5.5,6\n")
    t = read_localizations(tmp_path / "px.csv")
    assert t.frame.tolist() == [0, 0] and t.x.tolist() == [3, 5.5]
    for name, text, words in [("word.csv", "x,y\n1,2\n3,four\n", "line 3: y = 'four'"),
                              ("nopos.csv", "a,b\n1,2\n", "names no positions"),
                              ("empty.csv", "", "not a readable CSV"),
                              # Not frame 0, frame 1 or a good fit: rows of unknown frame or flag.
                              ("noframe.csv", "frame,x,y\n0,1,2\n,3,4\n", "line 3: frame = an empty cell"),
                              ("halfframe.csv", "frame;x;y\n1,5;3;4\n", "line 2: frame = 1.5"),
                              ("noflag.csv", "x,y,flag\n1,2,0\n3,4,\n", "line 3: flag = an empty cell"),
                              ("farframe.csv", "frame,x,y\n1e300,3,4\n", "line 2: frame = 1e\\+300"),
                              # Cast to the column's type, these would read as other numbers.
                              ("flag256.csv", "x,y,flag\n1,2,0\n3,4,256\n", "line 3: flag = 256; .* -128 to 127"),
                              ("negframe.csv", "frame,x,y\n-1,3,4\n", "line 2: frame = -1; .* from 0"),
                              ("manyiter.csv", "x,y,iterations\n1,2,3e9\n", "line 2: iterations = 3e\\+09"),
                              # More cells than the header: not a row cut to fit, from any line.
                              ("long.csv", "frame,x,y\n0,10,5,20,5\n", "line 2: 5 cells, but the header row names 3"),
                              ("longer.csv", "x;y\n1;2\n3;4;5\n", "line 3: 3 cells")]:
        (tmp_path / name).write_text(text)
        with pytest.raises(FormatError, match=words):
            read_localizations(tmp_path / name)
    # Trailing delimiters (empty cells beyond the header) are no more cells.
    for text in ("frame,x,y\n0,3,4,\n1,5,6,,\n", "frame,x,y,\n0,3,4,\n1,5,6,\n", "frame,x,y\n0,3,4\n1,5,6,\n"):
        (tmp_path / "trailing.csv").write_text(text)
        t = read_localizations(tmp_path / "trailing.csv")
        assert t[["frame", "x", "y"]].values.tolist() == [[0, 3, 4], [1, 5, 6]], text
    with h5py.File(tmp_path / "other.h5", "w") as f:
        f["data"] = np.zeros(3)
    with pytest.raises(FormatError, match="no dataset 'locs'"):
        read_localizations(tmp_path / "other.h5")
    (tmp_path / "fake.hdf5").write_text("not hdf5")
    with pytest.raises(FormatError, match="not a readable HDF5"):
        read_localizations(tmp_path / "fake.hdf5")
    with pytest.raises(FileNotFoundError):
        read_localizations(tmp_path / "none.csv")


def test_hostile_hdf5_tables_and_yaml_files_are_refused_before_they_cost_anything(tmp_path):
    for name, path, words in hostile_tables(tmp_path):
        with pytest.raises(FormatError, match=words) as e:
            g2.read_localizations(path)
        assert str(e.value).startswith(str(path)[:-5]) and "\n" not in str(e.value), (name, e.value)
    # A YAML's frame size asks for a picture no larger than the drawing's bound.
    g2.write_hdf5(g2.localize(np.ones((1, 20, 20)), peaks=[[0, 10, 10]], estimator="lsq"), tmp_path / "big.hdf5")
    (tmp_path / "big.yaml").write_text("Height: 100000\nWidth: 100000\nPixelsize: 100\n")
    locs = g2.read_localizations(tmp_path / "big.hdf5")
    assert locs.attrs["height"] == 100000
    with pytest.raises(ValueError, match="too large"):
        g2.render_localizations(locs, blur=None)


def test_progress_bar_counts_frames_and_localisations(movie, capsys):
    g2.localize(movie, camera=CAM, estimator="lsq", progress=True)
    err = capsys.readouterr().err
    assert "localize" in err and f"{N_FRAMES}/{N_FRAMES}" in err and "locs/s" in err
    g2.localize(movie, camera=CAM, estimator="lsq")
    assert capsys.readouterr().err == ""


# ---- the plug-in points and what travels beside the table -----------------------------


def tool(*argv):
    from gauss2_fitter import cli

    return cli.main([str(a) for a in argv])


def test_run_metadata_travels_beside_the_table(movie, tmp_path):
    settings = g2.Settings(camera=CAM, estimator="lsq")
    locs = g2.localize(movie, camera=CAM, estimator="lsq")
    meta = g2.RunMetadata.for_run(movie, settings)
    assert locs.attrs == meta.as_attrs()  # a copy, for convenience
    # A table that lost its attrs writes the same files when the metadata is given.
    bare = locs.copy()
    bare.attrs = {}
    g2.write_hdf5(locs, tmp_path / "a.hdf5")
    g2.write_hdf5(bare, tmp_path / "b.hdf5", metadata=meta)
    assert (tmp_path / "a.yaml").read_text() == (tmp_path / "b.yaml").read_text()
    g2.write_csv(locs, tmp_path / "a.csv")
    g2.write_csv(bare, tmp_path / "b.csv", metadata=meta)  # nm headers: the metadata's pixel size
    assert (tmp_path / "a.csv").read_bytes() == (tmp_path / "b.csv").read_bytes()
    # The readers return it; their table's attrs are a copy only.
    table, back = g2.read_table(tmp_path / "b.hdf5")
    assert table.attrs == {} and (back.frame_shape, back.pixel_size, back.estimator) == (SHAPE, 107.0, "lsq")
    assert g2.read_localizations(tmp_path / "b.hdf5").attrs == back.as_attrs()
    # A chunk's rows carry nothing in their attrs: what a chunk tells beyond them is in its Chunk.
    flat = movie.copy()
    flat[2] = 100.0
    chunk = pipeline.localize_frames(g2.open_movie(flat), 1, 4, settings)
    assert chunk.table.attrs == {} and (chunk.start, chunk.stop, chunk.no_contrast) == (1, 4, [2])
    with pytest.raises(TypeError, match="RunMetadata"):
        g2.write_csv(locs, tmp_path / "c.csv", metadata=locs.attrs)
    # Through a symbolic link: the YAML goes beside the file the link leads
    # to, and comes back from there when the table is read through the link.
    (tmp_path / "data").mkdir()
    (tmp_path / "link.hdf5").symlink_to(tmp_path / "data" / "real.hdf5")
    g2.write_hdf5(locs, tmp_path / "link.hdf5")
    assert sorted(p.name for p in (tmp_path / "data").iterdir()) == ["real.hdf5", "real.yaml"]
    assert g2.formats.table_format(tmp_path / "link.hdf5").companions(tmp_path / "link.hdf5") == (
        tmp_path / "data" / "real.yaml",)
    _, linked = g2.read_table(tmp_path / "link.hdf5")
    assert (linked.frame_shape, linked.pixel_size) == (SHAPE, 107.0)


@pytest.mark.parametrize("name, pixel_size", [("ev.csv", None), ("ev.csv", 107.0), ("ev.hdf5", 107.0)])
def test_linked_tables_and_the_steps_after_the_fit_written_and_read_back(tmp_path, name, pixel_size):
    cols = schema.empty_columns(4)
    cols.update(frame=np.array([0, 2, 9, 12]), x=np.array([3.25, 17.5, 9.0, 30.125]), y=np.array([4.5, 8.0, 1.25, 2.0]),
                lpx=np.full(4, 0.05), lpy=np.full(4, 0.06), len=np.array([1, 5, 2, 9]), n=np.array([1, 4, 2, 7]))
    events = schema.make_table(cols, pixel_size)
    assert list(events.columns[17:19]) == ["len", "n"] and events["n"].dtype == np.int64
    steps = ({"step": "drift", "method": "rcc", "segments": 4, "range_dx": 0.5},
             {"step": "link", "radius": None, "max_dark_frames": 1, "events": 4})
    g2.write_table(events, tmp_path / name, metadata=g2.RunMetadata(pixel_size=pixel_size, steps=steps))
    back, meta = g2.read_table(tmp_path / name, pixel_size)
    pd.testing.assert_frame_equal(back, events, rtol=1e-6)
    if name.endswith(".hdf5"):
        with h5py.File(tmp_path / name) as f:
            assert f["locs"].dtype["len"] == np.uint32 and f["locs"].dtype.names[-2:] == ("len", "n")
        docs = list(yaml.safe_load_all((tmp_path / "ev.yaml").read_text()))
        assert docs[-1]["Generated by"].endswith(" link") and docs[-1]["events"] == 4
        assert meta.steps == steps  # one YAML document a step, read back in order
    else:
        assert open(tmp_path / name).readline().rstrip().endswith(',"len","n"' if pixel_size else ",len,n")


@pytest.mark.parametrize("name", ["t.csv", "t.hdf5"])
def test_a_value_that_is_not_a_whole_number_in_an_integer_column_is_refused(tmp_path, name):
    # A table of the user's, with NaN where an integer belongs: a CSV cell
    # would read back as 0 (or be refused), an HDF5 field would be cast to
    # any number; the writer names the column and writes nothing.
    table = schema.make_table(schema.empty_columns(3))
    (tmp_path / name).write_bytes(b"old")
    for column, value in (("iterations", np.nan), ("flag", 0.5), ("frame", np.inf)):
        bad = table.astype({column: np.float64})
        bad.loc[1, column] = value
        with pytest.raises(ValueError, match=rf"^{column} = {value:g} at row 1 is not a whole number"):
            g2.write_table(bad, tmp_path / name, metadata=g2.RunMetadata())
        assert (tmp_path / name).read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]


def test_a_new_table_format_is_one_registered_record(movie, tmp_path, monkeypatch):
    from gauss2_fitter import formats, schema
    from gauss2_fitter.outputs import staged_path

    class NpzWriter(formats.FormatWriter):
        def _open(self, out):
            self._path, self._parts = self._files.enter_context(staged_path(out)), []

        def write(self, table):
            self._parts.append(table)

        def close(self):
            with open(self._path, "wb") as f:
                np.savez(f, **{c: np.concatenate([p[c].to_numpy() for p in self._parts]) for c in g2.COLUMNS})
            super().close()

    def read(path, pixel_size):
        with np.load(path) as z:
            return schema.make_table({c: z[c] for c in g2.COLUMNS}, pixel_size), g2.RunMetadata(pixel_size=pixel_size)

    npz = formats.TableFormat("npz", (".npz",), NpzWriter, read)
    monkeypatch.setitem(formats.TABLE_FORMATS, "npz", npz)
    locs = g2.localize(movie, camera=CAM, estimator="lsq")
    g2.write_table(locs, tmp_path / "t.npz")
    pd.testing.assert_frame_equal(g2.read_localizations(tmp_path / "t.npz", pixel_size=107.0), locs)
    # The tool writes it, and reads peaks from it.
    np.save(tmp_path / "m.npy", movie)
    cam = ["--baseline", 100, "--sensitivity", 0.25, "--em-gain", 2, "--qe", 0.8, "--estimator", "lsq"]
    assert tool("fit", tmp_path / "m.npy", "-o", tmp_path / "u.npz", *cam, "--no-progress") == 0
    again = tmp_path / "again.csv"
    assert tool("fit", tmp_path / "m.npy", "-o", again, *cam, "--peaks", tmp_path / "u.npz", "--no-progress") == 0
    np.testing.assert_allclose(pd.read_csv(again)[["x", "y"]], locs[["x", "y"]], atol=1e-5)
    with pytest.raises(FormatError, match=r"use \.csv, \.hdf5, \.h5 or \.npz"):
        g2.write_table(locs, tmp_path / "t.txt")


class Raw16(g2.movie.FrameSource):
    """A movie format for the test: three uint32 (frames, height, width), then uint16 frames."""

    def __init__(self, path, what):
        self.path, self.what, self.dtype = path, what, np.dtype("<u2")
        self.n_frames, self.height, self.width = (int(v) for v in np.fromfile(path, dtype="<u4", count=3))

    def read(self, start, stop, out):
        frames = np.memmap(self.path, dtype=self.dtype, mode="r", offset=12, shape=(self.n_frames, self.height,
                                                                                    self.width))
        out[...] = frames[start:stop]


def write_raw16(path, frames):
    with open(path, "wb") as f:
        f.write(np.array(frames.shape, dtype="<u4").tobytes() + frames.astype("<u2").tobytes())


def test_a_new_movie_format_is_one_registered_opener(movie, tmp_path, monkeypatch):
    monkeypatch.setitem(g2.movie.MOVIE_FORMATS, ".raw16", (Raw16, "raw16 (.raw16)"))
    u16 = np.round(movie).astype(np.uint16)
    write_raw16(tmp_path / "m.raw16", u16)
    pd.testing.assert_frame_equal(g2.localize(tmp_path / "m.raw16", camera=CAM, estimator="lsq"),
                                  g2.localize(u16, camera=CAM, estimator="lsq"), check_like=False)
    # The tool's single images are read by the same readers.
    write_raw16(tmp_path / "one.raw16", u16[:1])
    np.save(tmp_path / "one.npy", u16[0])
    for name in ("one.raw16", "one.npy"):
        assert tool("fit", tmp_path / name, "-o", tmp_path / f"{name}.csv") == 0
    assert (tmp_path / "one.raw16.csv").read_bytes() == (tmp_path / "one.npy.csv").read_bytes()
    (tmp_path / "m.txt").write_text("x")
    with pytest.raises(g2.MovieError, match=r"unknown format \.txt; use TIFF \(\.tif, \.tiff\) or \.npy or raw16"):
        g2.open_movie(tmp_path / "m.txt")


def test_movies_of_durations_or_dates_are_refused(tmp_path):
    # numpy files timedelta64 under the integers: its values would pass as counts.
    for dtype in ("m8[s]", "M8[s]"):
        frames = np.ones((2, 20, 20)).astype(dtype)
        np.save(tmp_path / "d.npy", frames)
        for source in (frames, tmp_path / "d.npy"):
            with pytest.raises(g2.MovieError, match="must hold real numbers"):
                g2.open_movie(source)


def test_the_read_noise_map_is_checked_squared_and_tiled_once_a_run(movie, monkeypatch):
    rng = np.random.default_rng(7)
    noise = rng.uniform(1.0, 3.0, SHAPE)
    cam = g2.Camera(baseline=CAM.baseline, sensitivity=CAM.sensitivity, em_gain=CAM.em_gain, qe=CAM.qe,
                    read_noise=noise, pixel_size=CAM.pixel_size)
    one_frame_chunks = g2.localize(movie, camera=cam, n_threads=1)
    tiles, squares = [], []
    tile, from_sigma = np.tile, g2.fitter.ReadVariance.from_sigma
    monkeypatch.setattr(np, "tile", lambda a, reps: tiles.append(reps) or tile(a, reps))
    monkeypatch.setattr(g2.fitter.ReadVariance, "from_sigma",
                        classmethod(lambda cls, s: squares.append(1) or from_sigma(s)))
    monkeypatch.setattr(pipeline, "CHUNK_PIXELS", 3 * SHAPE[0] * SHAPE[1])  # 4 chunks, the last of one frame
    three_frame_chunks = g2.localize(movie, camera=cam, n_threads=2)
    assert tiles == [(3, 1)] and squares == [1]
    pd.testing.assert_frame_equal(three_frame_chunks, one_frame_chunks)  # each frame its own rows of the map
    # The map equal everywhere is the scalar, bit for bit.
    flat_map = g2.Camera(qe=CAM.qe, read_noise=np.full(SHAPE, 1.5))
    assert g2.localize(movie, camera=flat_map).drop(columns=[]).equals(g2.localize(movie, camera=g2.Camera(
        qe=CAM.qe, read_noise=1.5)))


def test_the_movie_demo_runs_end_to_end(tmp_path):
    from gauss2_fitter import movie_demo

    printed = io.StringIO()
    locs = movie_demo.run(n_frames=20, size=48, seed=3, out=tmp_path, n_threads=1, stream=printed)
    assert len(locs) > 20 and (tmp_path / "movie_demo.tif").stat().st_size > 20 * 48 * 48 * 2
    assert (tmp_path / "movie_demo.png").read_bytes()[:4] == b"\x89PNG"
    text = printed.getvalue()
    assert "localised" in text and "median reported lpx" in text and "n/a" not in text


@pytest.mark.parametrize("estimator", ESTIMATORS)
def test_a_converged_fit_that_is_no_measurement_gets_a_flag_of_its_own(estimator):
    locs = g2.localize(spots_and_a_blob(), camera=g2.Camera(), estimator=estimator, n_threads=1)
    blob = np.hypot(locs.x - 66.4, locs.y - 26.3) < 1
    assert blob.sum() == 2 and (locs.flag[blob] == schema.FLAG_WIDTH).all()
    assert (locs.flag[~blob] == 0).all() and (~blob).sum() == 8
    # The reference is the frame's own: a frame's rows whatever the chunking.
    one = g2.localize(spots_and_a_blob()[1:], camera=g2.Camera(), estimator=estimator, n_threads=1)
    pd.testing.assert_frame_equal(one.drop(columns="frame"), locs[locs.frame == 1].reset_index(drop=True)
                                  .drop(columns="frame"))


def test_each_implausible_row_gets_the_first_flag_that_applies():
    from gauss2_fitter.plausibility import flag_implausible

    n = 10
    cols = {c: np.ones(n) for c in schema.FITTED + ("lpx", "lpy")}
    cols.update(frame=np.zeros(n, dtype=np.int64), x=np.full(n, 10.5), y=np.full(n, 10.5),
                photons=np.full(n, 1000.0), sx=np.full(n, 1.2), sy=np.full(n, 1.3), flag=np.zeros(n, dtype=np.int8))
    cols["lpx"][1] = np.nan                      # a NaN precision
    cols["bg_se"][2] = np.inf                    # a standard error not finite
    cols["x"][3] = 4.9                           # left of its window (origin 5)
    cols["y"][4] = 200.0                         # below the frame and the window
    cols["sx"][5] = 2.7                          # > 2 x the median width
    cols["sy"][6] = 0.0                          # no width at all
    cols["photons"][7] = 5000.0                  # more than the window's 2000 + 5 x 40
    cols["photons"][8] = -3.0                    # no photons
    cols["flag"][9] = schema.FLAG_ITERATION_LIMIT
    cols["x"][9] = np.nan                        # the solver's verdict stands
    origin = np.full(n, 5.0)
    flag = flag_implausible(cols, origin, origin, 11, (64, 64), np.full(n, 2000.0), np.full(n, 40.0))
    assert flag.tolist() == [0, 5, 5, 4, 4, 6, 6, 7, 7, 3]
    # With the run's PSF width as the reference, 1.2 and 1.3 px are too wide for 0.5 px.
    cols["flag"][:] = 0
    flag = flag_implausible(cols, origin, origin, 11, (64, 64), np.full(n, 2000.0), np.full(n, 40.0), psf_sigma=0.5)
    assert flag.tolist()[0] == 6 and set(schema.FLAGS) == set(range(8))


def test_an_emccd_cameras_excess_noise_reaches_every_standard_error(movie):
    assert g2.Camera().excess_noise == 1.0 and g2.Camera(em_gain=300).excess_noise == pytest.approx(2 - 1 / 300)
    assert g2.Camera(excess_noise=2).excess_noise == 2.0
    assert g2.Camera.from_dict(g2.Camera(em_gain=50, excess_noise=1.5).as_dict()).excess_noise == 1.5
    with pytest.raises(ValueError, match="camera excess_noise must be at least 1"):
        g2.Camera(excess_noise=0.9)
    # CAM's em_gain of 2 gives 1.5 by default; its errors are sqrt(1.5) those without.
    kw = {k: getattr(CAM, k) for k in ("baseline", "sensitivity", "em_gain", "qe", "pixel_size")}
    em = g2.localize(movie, camera=CAM, n_threads=1)
    plain = g2.localize(movie, camera=g2.Camera(**kw, excess_noise=1.0), n_threads=1)
    for c in ("lpx", "lpy", "photons_se", "sx_se", "bg_se"):
        np.testing.assert_allclose(em[c] / plain[c], np.sqrt(1.5), rtol=0.02, err_msg=c)
    np.testing.assert_allclose(em.photons, plain.photons, rtol=1e-3)
    assert g2.RunMetadata.from_attrs(em.attrs).camera["excess_noise"] == 1.5


# picasso's documented localisation record: what its loader and its tools read.
PICASSO_RECORD = np.dtype([("frame", "u4"), ("x", "f4"), ("y", "f4"), ("photons", "f4"), ("sx", "f4"), ("sy", "f4"),
                           ("bg", "f4"), ("lpx", "f4"), ("lpy", "f4")])
TS_2D = ["id", "frame", "x [nm]", "y [nm]", "sigma [nm]", "intensity [photon]", "offset [photon]", "bkgstd [photon]",
         "chi2", "uncertainty_xy [nm]"]


def read_thunderstorm_2d(path):
    """A reader of ThunderSTORM's 2-D tables that knows its columns only:
    the csv module, quoted headers, every value a finite number."""
    import csv

    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0][:len(TS_2D)] == TS_2D
    return np.array([[float(v) for v in r[:len(TS_2D)]] for r in rows[1:]]).reshape(-1, len(TS_2D))


@pytest.mark.parametrize("estimator", ESTIMATORS)
def test_other_tools_formats_load_every_row_written_and_get_no_flagged_rows(estimator, tmp_path):
    cam = g2.Camera(pixel_size=100.0)
    locs = g2.localize(spots_and_a_blob(), camera=cam, estimator=estimator, n_threads=1)
    ok = locs[locs.flag == 0].reset_index(drop=True)
    assert 0 < len(ok) < len(locs)
    # picasso's HDF5: the flag-0 rows only, every value finite (picasso drops a row holding a NaN),
    # likelihood present for the maximum likelihood only.
    g2.write_hdf5(locs, tmp_path / "l.hdf5")
    with h5py.File(tmp_path / "l.hdf5", "r") as f:
        ds = f["locs"]
        rec = np.empty(ds.shape, PICASSO_RECORD)
        for name in PICASSO_RECORD.names:
            rec[name] = ds[name]
        names = ds.dtype.names
    assert len(rec) == len(ok) and all(np.isfinite(rec[n]).all() for n in PICASSO_RECORD.names[1:])
    np.testing.assert_allclose(rec["x"], ok.x - 0.5, rtol=1e-6)
    assert ("likelihood" in names) == (estimator == "mle")
    with h5py.File(tmp_path / "l.hdf5", "r") as f:
        assert estimator != "mle" or np.isfinite(f["locs"]["likelihood"]).all()
    g2.write_hdf5(locs, tmp_path / "all.hdf5", keep_flagged=True)
    assert len(g2.read_localizations(tmp_path / "all.hdf5")) == len(locs)
    # ThunderSTORM's CSV: its 2-D columns first, frames and ids from 1, one sigma and one uncertainty.
    g2.write_csv(locs, tmp_path / "l.csv")
    ts = read_thunderstorm_2d(tmp_path / "l.csv")
    assert len(ts) == len(ok) and np.isfinite(ts).all()
    np.testing.assert_array_equal(ts[:, 0], np.arange(1, len(ok) + 1))
    np.testing.assert_array_equal(ts[:, 1], ok.frame + 1)
    np.testing.assert_allclose(ts[:, 2], ok.x * 100, rtol=1e-8)
    np.testing.assert_allclose(ts[:, 4], np.sqrt(ok.sx * ok.sy) * 100, rtol=1e-8)
    np.testing.assert_allclose(ts[:, 7], np.sqrt(ok.bg), rtol=1e-8)
    np.testing.assert_allclose(ts[:, 9], np.sqrt((ok.lpx ** 2 + ok.lpy ** 2) / 2) * 100, rtol=1e-8)
    if estimator == "mle":
        np.testing.assert_allclose(ts[:, 8], ok.goodness, rtol=1e-8)
    # ... read back whole by read_localizations, which recognises the layout.
    pd.testing.assert_frame_equal(g2.read_localizations(tmp_path / "l.csv", pixel_size=100.0), ok, rtol=1e-8,
                                  check_dtype=True)
    g2.write_csv(locs, tmp_path / "all.csv", keep_flagged=True)
    assert len(g2.read_localizations(tmp_path / "all.csv", pixel_size=100.0)) == len(locs)
    # Our own full table (CSV in pixels) keeps every row.
    g2.write_csv(locs, tmp_path / "px.csv", pixel_size=None, metadata=g2.RunMetadata())
    assert len(g2.read_localizations(tmp_path / "px.csv")) == len(locs)


def test_picassos_own_log_likelihood_is_kept_on_reading(tmp_path):
    dtype = [("frame", "u4"), ("x", "f4"), ("y", "f4"), ("photons", "f4"), ("sx", "f4"), ("sy", "f4"), ("bg", "f4"),
             ("lpx", "f4"), ("lpy", "f4"), ("net_gradient", "f4"), ("log_likelihood", "f4"), ("iterations", "i4")]
    rec = np.zeros(2, dtype)
    rec["x"], rec["log_likelihood"] = [1.0, 2.0], [-120.5, -98.25]
    with h5py.File(tmp_path / "p.hdf5", "w") as f:
        f["locs"] = rec
    t = g2.read_localizations(tmp_path / "p.hdf5")
    assert t.goodness.tolist() == [-120.5, -98.25] and t.x.tolist() == [1.5, 2.5]
