"""Every molecule in the frame, as localize gives it: spots at the frame's
edges and corners found with honest errors, the window from the PSF, one
emitter a window equal to today's fits, close pairs resolved and single
spots never split, the same table whatever the threads and chunks, and
bad settings refused in the binding and the tool."""

import numpy as np
import pytest

import gauss2_fitter as g2
from gauss2_fitter import cli, crowded, pipeline

SIGMA = 1.3  # the spots' width, pixels: the fits' own model, sampled at pixel centres
BACKGROUND = 20.0


def frames_of(spots, shape, n_frames=1, seed=None, sigma=SIGMA):
    """Frames (n, h, w) of round spots ((k, 3): x, y, photons, the same in
    every frame) sampled at pixel centres on the background; Poisson noise
    with a seed, none without."""
    h, w = shape
    ys, xs = np.mgrid[0:h, 0:w] + 0.5
    mean = np.full(shape, BACKGROUND)
    for x, y, n in spots:
        mean += n / (2 * np.pi * sigma**2) * np.exp(-((xs - x) ** 2 + (ys - y) ** 2) / (2 * sigma**2))
    if seed is None:
        return np.repeat(mean[None], n_frames, axis=0)
    return np.random.default_rng(seed).poisson(np.repeat(mean[None], n_frames, axis=0)).astype(np.float64)


def nearest_rows(locs, spots):
    """Per frame and true spot, the distance to the nearest unflagged row and
    that row's index (frames x spots)."""
    good = locs[locs.flag == 0]
    frames = sorted(set(locs.frame))
    d = np.full((len(frames), len(spots)), np.inf)
    at = np.zeros((len(frames), len(spots)), dtype=int)
    for k, f in enumerate(frames):
        rows = good[good.frame == f]
        dist = np.hypot(rows.x.to_numpy()[:, None] - spots[None, :, 0], rows.y.to_numpy()[:, None] - spots[None, :, 1])
        d[k], at[k] = dist.min(axis=0), rows.index.to_numpy()[dist.argmin(axis=0)]
    return d, at


# ---- edges -------------------------------------------------------------------------

# One pixel from each edge of a 32 x 32 frame, in each corner, and one spot
# in the middle.
EDGE_SPOTS = np.array([[16.3, 1.2, 3000], [16.6, 30.9, 3000], [1.1, 15.8, 3000], [30.8, 16.4, 3000],
                       [1.3, 1.0, 3000], [30.9, 1.4, 3000], [1.0, 30.7, 3000], [31.2, 31.0, 3000],
                       [16.0, 16.5, 3000]])


@pytest.mark.parametrize("max_emitters", [1, None])
def test_spots_at_every_edge_and_corner_are_found_with_honest_errors(max_emitters):
    movie = frames_of(EDGE_SPOTS, (32, 32), n_frames=150, seed=1)
    locs = g2.localize(movie, max_emitters=max_emitters, n_threads=2)
    # Every fit converged; the checks after the fit find a rare noisy one
    # implausible (its photons beyond its window's), at the edges no more
    # than in the middle. Their rows are fits all the same: scored here.
    assert not locs.flag.isin([1, 2, 3]).any() and (locs.flag == 0).mean() > 0.995
    assert locs.attrs["mea"] == (5 if max_emitters == 1 else 7)
    locs = locs.assign(flag=0)
    d, at = nearest_rows(locs, EDGE_SPOTS[:, :2])
    assert np.all(d < 1.0)  # every spot, in every frame
    assert len(locs) == d.size  # and nothing else
    rows = locs.loc[at.ravel()]
    err_x = (rows.x.to_numpy() - np.tile(EDGE_SPOTS[:, 0], d.shape[0])).reshape(d.shape)
    err_y = (rows.y.to_numpy() - np.tile(EDGE_SPOTS[:, 1], d.shape[0])).reshape(d.shape)
    # Honest: the errors' scatter is what the reported precision says, at the
    # edges and corners as in the middle (150 frames: +-12 % at 2 sigma).
    for spot in range(len(EDGE_SPOTS)):
        lpx = rows.lpx.to_numpy().reshape(d.shape)[:, spot]
        lpy = rows.lpy.to_numpy().reshape(d.shape)[:, spot]
        for err, lp in ((err_x[:, spot], lpx), (err_y[:, spot], lpy)):
            assert 0.8 < np.sqrt(np.mean((err / lp) ** 2)) < 1.2, spot
    # The windows at the edges are the frame's pixels only: a corner spot's
    # precision is poorer than the middle one's, not better.
    mid, corner = at[:, 8], at[:, 4]
    assert np.median(locs.loc[corner].lpx) > 1.1 * np.median(locs.loc[mid].lpx)


def test_fit_spots_fits_windows_at_the_edge_in_the_frame_of_the_peak_centred_window():
    im = frames_of(EDGE_SPOTS, (32, 32))[0]
    cx, cy = np.floor(EDGE_SPOTS[:, 0]).astype(np.int64), np.floor(EDGE_SPOTS[:, 1]).astype(np.int64)
    for est in ("lsq", "mle"):
        f = g2.fit_spots(im, cx, cy, 7, estimator=est)
        assert np.all(f.flag == 0)
        # Image positions as before: the peak's pixel less mea // 2, plus the record's.
        np.testing.assert_allclose(cx - 3 + f.records[:, 3], EDGE_SPOTS[:, 0], atol=1e-4)
        np.testing.assert_allclose(cy - 3 + f.records[:, 4], EDGE_SPOTS[:, 1], atol=1e-4)
        assert np.all(np.isfinite(f.photon_std))
    # The window side from the spots' width when mea is not given.
    assert g2.fit_spots(im, cx, cy, estimator="mle").records.shape == (9, 10)
    assert crowded.window_side_for_peaks(im, cx, cy, None, 0.0) == 5


def test_frames_smaller_than_the_window_stay_unfitted():
    movie = frames_of([[3.0, 2.6, 3000]], (5, 40), n_frames=2, seed=2)
    with pytest.warns(g2.NoPeaksWarning, match="smaller than the 7 x 7 window"):
        locs = g2.localize(movie, mea=7)
    assert len(locs) == 0
    with pytest.warns(g2.NoPeaksWarning, match="smaller than the 7 x 7 window"):
        locs = g2.localize(movie, mea=7, peaks=[[0, 3, 2]])
    assert locs.flag.tolist() == [1] and locs.n_emitters.tolist() == [0]


# ---- the window from the PSF -------------------------------------------------------------


@pytest.mark.parametrize("sigma", [1.0, 1.5])
def test_the_psf_is_measured_on_the_first_frames_and_sets_the_window(sigma):
    rng = np.random.default_rng(3)
    spots = np.column_stack([rng.uniform(5, 59, 12), rng.uniform(5, 59, 12), rng.uniform(1500, 5000, 12)])
    movie = np.concatenate([frames_of(spots[i:i + 4], (64, 64), 1, seed=i, sigma=sigma) for i in range(0, 12, 4)] * 4)
    locs = g2.localize(movie)
    a = locs.attrs
    assert abs(a["psf_sigma"] / sigma - 1) < 0.05 and a["psf_sigma_source"].startswith("estimated from")
    assert a["mea"] == crowded.window_side(a["psf_sigma"], joint=True) == 7
    # The rule's steps: single fits 2 floor(2 sigma) + 1, joint ones 2 round(2.25 sigma) + 1.
    assert [crowded.window_side(s) for s in (0.5, 1.49, 1.5, 2.0)] == [5, 5, 7, 9]
    assert [crowded.window_side(s, joint=True) for s in (0.5, 1.55, 1.56, 1.99, 2.0)] == [7, 7, 9, 9, 11]
    assert g2.localize(movie, max_emitters=1).attrs["mea"] == crowded.window_side(a["psf_sigma"]) == 5
    assert a["max_emitters"] == 5
    given = g2.localize(movie, psf_sigma=1.2)
    assert given.attrs["psf_sigma"] == 1.2 and given.attrs["psf_sigma_source"] == "given" and given.attrs["mea"] == 7
    # A movie without spots: the default, said so.
    with pytest.warns(g2.NoPeaksWarning, match="no contrast"):
        flat = g2.localize(np.full((3, 20, 20), 20.0), mea=None)
    assert flat.attrs["psf_sigma"] == crowded.DEFAULT_PSF_SIGMA and flat.attrs["psf_sigma_source"].startswith("default")


# ---- one emitter a window, pairs, single spots ------------------------------------------------


def test_one_emitter_a_window_is_todays_fit_bit_for_bit():
    rng = np.random.default_rng(5)
    spots = np.column_stack([rng.uniform(2, 46, 30), rng.uniform(2, 46, 30), rng.uniform(800, 5000, 30)])
    movie = frames_of(spots, (48, 48), n_frames=2, seed=6)
    locs = g2.localize(movie, max_emitters=1, mea=7, n_threads=2, background_tile=0)  # find_peaks_in_frames' search
    assert (locs.n_emitters == 1).all()
    for f in (0, 1):
        rows = locs[locs.frame == f]
        _, px, py, _ = g2.find_peaks_in_frames(movie[f], mea=1)  # localize's peaks, one row each
        assert len(rows) == len(px)
        inner = (px >= 3) & (px < 45) & (py >= 3) & (py < 45)  # their windows lie in the frame
        assert inner.sum() > 10
        rec, std, flags = g2.fit_peaks(movie[f], px[inner], py[inner], mea=7, estimator="mle")
        np.testing.assert_array_equal(rows.x.to_numpy()[inner], px[inner] - 3 + rec[:, 3])
        np.testing.assert_array_equal(rows.y.to_numpy()[inner], py[inner] - 3 + rec[:, 4])
        for col, k in (("photons", 0), ("sx", 1), ("rho", 5), ("bg", 6), ("goodness", 8)):
            np.testing.assert_array_equal(rows[col].to_numpy()[inner], rec[:, k])
        np.testing.assert_array_equal(rows.lpx.to_numpy()[inner], std[:, 3])
        np.testing.assert_array_equal(rows.flag.to_numpy()[inner] != 0, flags != 0)


def test_a_close_pair_is_resolved_and_a_single_spot_never_split():
    d = 1.5 * SIGMA
    pair = np.array([[20.3 - d / 2, 19.4, 6000], [20.3 + d / 2, 19.4, 5000]])
    clean = g2.localize(frames_of(pair, (40, 40), 2), psf_sigma=SIGMA)
    dist, _ = nearest_rows(clean, pair[:, :2])
    assert len(clean) == 4 and np.all(dist < 0.05) and (clean.n_emitters == 2).all()
    assert len(g2.localize(frames_of(pair, (40, 40), 2), psf_sigma=SIGMA, max_emitters=1)) == 2  # one for two
    # With photon noise, in most frames (96 % in bench/crowded.py --pairs),
    # and within a third of a pixel.
    locs = g2.localize(frames_of(pair, (40, 40), 50, seed=7), psf_sigma=SIGMA)
    dist, _ = nearest_rows(locs, pair[:, :2])
    rows = np.bincount(locs.frame[locs.flag == 0], minlength=50)
    resolved = (rows == 2) & np.all(dist < 1 / 3, axis=1)
    assert resolved.mean() >= 0.85 and rows.max() == 2
    # Isolated spots, dim to bright, at sub-pixel offsets, clean and noisy: one row each.
    rng = np.random.default_rng(9)
    spots = np.array([[8 + 12 * (k % 5) + rng.uniform(0, 1), 8 + 12 * (k // 5) + rng.uniform(0, 1), n]
                      for k, n in enumerate(np.geomspace(400, 40000, 25))])
    for seed in (None, 10):
        locs = g2.localize(frames_of(spots, (64, 64), 8, seed=seed))
        dist, _ = nearest_rows(locs, spots[:, :2])
        assert len(locs) == 8 * len(spots) and np.all(dist < 0.5), seed


def test_tables_are_the_same_whatever_the_threads_and_chunks(monkeypatch):
    rng = np.random.default_rng(12)
    movie = np.concatenate([frames_of(np.column_stack([rng.uniform(0, 48, 40), rng.uniform(0, 48, 40),
                                                       rng.uniform(800, 5000, 40)]), (48, 48), 1, seed=s)
                            for s in range(6)])
    want = g2.localize(movie, n_threads=1)
    assert (want.n_emitters > 1).mean() > 0.3  # crowded: jointly fitted
    monkeypatch.setattr(pipeline, "CHUNK_PIXELS", 2 * 48 * 48)
    got = g2.localize(movie, n_threads=2)
    assert got.equals(want)
    for c in want.columns:
        assert got[c].to_numpy().tobytes() == want[c].to_numpy().tobytes(), c


# ---- bad settings ---------------------------------------------------------------------------


def test_bad_settings_are_refused_before_any_fit(tmp_path, capsys):
    movie = frames_of([[10.2, 10.7, 3000]], (24, 24), 2, seed=1)
    for bad, error in [(0, ValueError), (9, ValueError), (-1, ValueError), (10**9, ValueError), (2.5, TypeError),
                       (True, TypeError), ("3", TypeError)]:
        with pytest.raises(error, match="max_emitters"):
            g2.localize(movie, max_emitters=bad)
    for bad, error in [(0.0, ValueError), (-1.3, ValueError), (np.nan, ValueError), (np.inf, ValueError),
                       (1e6, ValueError), ("1.3", TypeError), (True, TypeError)]:
        with pytest.raises(error, match="psf_sigma"):
            g2.localize(movie, psf_sigma=bad)
        with pytest.raises(error, match="psf_sigma"):
            g2.fit_spots(movie[0], [10], [10], psf_sigma=bad)
    with pytest.raises(ValueError, match="maximum-likelihood"):
        g2.localize(movie, estimator="lsq", max_emitters=3)
    with pytest.raises(ValueError, match="largest window of joint fits"):
        g2.localize(movie, mea=33, max_emitters=2)
    assert len(g2.localize(movie, estimator="lsq")) == 2  # least squares: one emitter a window by default
    # The tool: one line, status 1, nothing written.
    np.save(tmp_path / "m.npy", movie)
    out = tmp_path / "l.csv"
    for argv, words in [(["--max-emitters", "0"], "--max-emitters must be at least 1"),
                        (["--max-emitters", "9"], "--max-emitters must be at most 8"),
                        (["--psf-sigma", "-1"], "--psf-sigma must be positive"),
                        (["--max-emitters", "3", "--estimator", "lsq"], "needs the maximum-likelihood")]:
        assert cli.main(["fit", str(tmp_path / "m.npy"), "-o", str(out), *argv]) == 1
        err = capsys.readouterr().err.strip().splitlines()
        assert len(err) == 1 and words in err[0], err
        assert not out.exists()
    assert cli.main(["fit", str(tmp_path / "m.npy"), "-o", str(out), "--max-emitters", "2", "--psf-sigma", "1.3"]) == 0
    assert "n_emitters" in out.read_text().splitlines()[0]


def test_a_chunk_runs_only_on_settings_the_whole_run_decided():
    movie = g2.open_movie(frames_of([[10.2, 10.7, 3000]], (24, 24), 4, seed=1))
    for settings in (pipeline.Settings(camera=g2.Camera(), mea=None, max_emitters=1),
                     pipeline.Settings(camera=g2.Camera(), mea=7, max_emitters=3)):
        with pytest.raises(ValueError, match="crowded.resolved"):
            pipeline.localize_frames(movie, 0, 2, settings)
        chunk = pipeline.localize_frames(movie, 0, 2, crowded.resolved(settings, movie))
        assert len(chunk.table) == 2 and (chunk.table.flag == 0).all()
