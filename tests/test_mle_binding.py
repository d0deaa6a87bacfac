"""The photon-statistics side of the binding: fit_peaks(estimator=, read_noise=),
photon_errors and fit_spots, as the host uses them, and their refusals."""

import h5py
import numpy as np
import pandas as pd
import pytest

import gauss2_fitter as g2
from gauss2_fitter import _lib
from spot_fields import grid_spots


def photon_field(n=40, seed=4, shape=(160, 200), background=30.0, read_noise=2.0):
    """Separated spots in photo-electrons with Poisson and read noise; (image, cx, cy, truth)."""
    rng = np.random.default_rng(seed)
    truth = grid_spots(rng, shape, 20, 12, n, (1500, 6000), (1.1, 1.6), 0.2)
    mean = g2.synth_image(truth, shape, 17) + background
    im = rng.poisson(mean) + rng.normal(0.0, read_noise, shape)
    return im, np.floor(truth[:, 3]).astype(np.int64), np.floor(truth[:, 4]).astype(np.int64), truth


@pytest.fixture(scope="module")
def field():
    return photon_field()


def test_defaults_and_least_squares_results_are_unchanged(field):
    im, cx, cy, _ = field
    n = len(cx)
    start = g2.default_records(n, 11)
    std = np.full((n, 10), np.nan)
    flag = np.zeros(n, dtype=np.int64)
    _lib.lib.fit_array_of_gauss_2d_on_float_image(im, im.shape[1], im.shape[0], 11, n, cx, cy, start, std, flag)
    for got in (g2.fit_peaks(im, cx, cy), g2.fit_peaks(im, cx, cy, estimator="lsq", read_noise=5.0)):
        np.testing.assert_array_equal(got[0], start)  # bit for bit the native batch
        np.testing.assert_array_equal(got[1], std)
        np.testing.assert_array_equal(got[2], flag)


def test_mle_records_errors_and_a_map_of_read_noise(field):
    # The records in the patch frame with their bounds (the bounds'
    # calibration is the C++ tests'), and a read-noise map equal everywhere
    # passed as the library's map gives the scalar's bits.
    im, cx, cy, truth = field
    rec, std, flag = g2.fit_peaks(im, cx, cy, estimator="mle", read_noise=2.0, n_threads=2)
    assert not flag.any()
    err = np.concatenate([cx - 5 + rec[:, 3] - truth[:, 3], cy - 5 + rec[:, 4] - truth[:, 4]])
    se = np.concatenate([std[:, 3], std[:, 4]])
    assert np.all(np.abs(err) < 6 * se)
    assert np.all(np.isnan(std[:, 7:]))
    # The goodness of fit: about chi-square with 121 - 7 degrees of freedom.
    assert 80 < np.median(rec[:, 8]) < 150
    same = g2.fit_peaks(im, cx, cy, estimator="mle", read_noise=np.full(im.shape, 2.0))
    np.testing.assert_array_equal(same[0], rec)
    np.testing.assert_array_equal(same[1], std)
    # A variance made once serves any call on images of its shape.
    once = g2.fitter.ReadVariance.of(np.full(im.shape, 2.0))
    np.testing.assert_array_equal(g2.fit_peaks(im, cx, cy, estimator="mle", read_noise=once)[0], rec)
    with pytest.raises(ValueError, match="image's shape"):
        g2.fit_peaks(im[:-1], cx, cy, estimator="mle", read_noise=once)


def test_fit_spots_for_both_estimators(field):
    im, cx, cy, truth = field
    cx2, cy2 = cx.copy(), cy.copy()
    cx2[0], cy2[1] = -1, im.shape[0] - 2  # skipped, window outside
    for est in ("lsq", "mle"):
        f = g2.fit_spots(im, cx2, cy2, 11, estimator=est, read_noise=2.0, n_threads=2)
        assert f.flag.dtype == np.int8 and f.iterations.dtype == np.int32
        assert f.flag[0] == f.flag[1] == g2.fitter.FLAG_SKIPPED
        assert f.iterations[0] == f.iterations[1] == 0
        assert np.all(f.flag[2:] == g2.fitter.FLAG_GOOD) and np.all(f.iterations[2:] > 0)
        assert np.all(np.isnan(f.photon_std[:2])) and np.all(np.isfinite(f.photon_std[2:]))
        if est == "mle":
            np.testing.assert_array_equal(f.photon_std, f.std)
            assert f.iterations[2:].mean() < 15
        else:
            rec, std, _ = g2.fit_peaks(im, cx2, cy2)
            np.testing.assert_array_equal(f.records, rec)
            np.testing.assert_array_equal(f.std, std[:, :7])
            np.testing.assert_array_equal(f.photon_std, g2.photon_errors(im, np.where(cx2 < 0, -1, cx2), cy2, rec,
                                                                         read_noise=2.0))


def test_photon_errors_take_records_of_seven_or_ten_values(field):
    im, cx, cy, _ = field
    rec, _, _ = g2.fit_peaks(im, cx, cy)
    se = g2.photon_errors(im, cx, cy, rec, read_noise=2.0)
    assert se.shape == (len(cx), 7) and np.all(np.isfinite(se))
    np.testing.assert_array_equal(g2.photon_errors(im, cx, cy, rec[:, :7], read_noise=2.0), se)


def test_an_estimator_is_one_record_that_every_layer_reads(monkeypatch, tmp_path):
    # A record registered beside the others, mixing what they are: the least
    # squares' batch, errors that are not photon errors (so the sandwich
    # errors are computed), and a goodness declared a likelihood (so it
    # stays unscaled by qe and fills HDF5's likelihood field).
    from gauss2_fitter import cli, estimators

    calls = []

    def batch(*args):
        calls.append(len(args[2]))
        estimators.LSQ.batch(*args)

    mixed = g2.Estimator("mixed", "a mixed record", batch, own_errors_are_photon_errors=False,
                         goodness_is_likelihood=True)
    monkeypatch.setitem(estimators.ESTIMATORS, "mixed", mixed)
    im, cx, cy, _ = photon_field(n=6, shape=(60, 80))
    got, want = (g2.fit_spots(im, cx, cy, estimator=e, read_noise=2.0) for e in ("mixed", "lsq"))
    assert sum(calls) == len(cx)  # every peak through the record's batch
    for a, b in zip(vars(got).values(), vars(want).values()):
        np.testing.assert_array_equal(a, b)
    cam = g2.Camera(qe=0.5, read_noise=2.0)
    movie = np.stack([im, im])
    mixed_locs, lsq_locs = (g2.localize(movie, camera=cam, estimator=e) for e in ("mixed", "lsq"))
    assert mixed_locs.attrs["estimator"] == "mixed" and len(mixed_locs) == 12
    pd.testing.assert_frame_equal(mixed_locs.drop(columns="goodness"), lsq_locs.drop(columns="goodness"))
    np.testing.assert_array_equal(mixed_locs.goodness, lsq_locs.goodness * 0.5)
    np.save(tmp_path / "movie.npy", movie)
    assert cli.main(["fit", str(tmp_path / "movie.npy"), "--estimator", "mixed", "--qe", "0.5", "--read-noise", "2",
                     "-o", str(tmp_path / "locs.h5"), "--no-progress"]) == 0
    with h5py.File(tmp_path / "locs.h5") as f:
        np.testing.assert_allclose(f["locs"]["likelihood"], mixed_locs.goodness, rtol=1e-6)
    with pytest.raises(ValueError, match="one of lsq, mle, mixed"):
        g2.localize(movie, estimator="other")


@pytest.mark.parametrize("read_noise, exc", [
    (-1.0, ValueError), (np.nan, ValueError), (np.inf, ValueError), ("2", TypeError), (None, TypeError),
    (np.full((3, 3), 2.0), ValueError), (np.full((160, 200), -1.0), ValueError),
    (1e200, ValueError), (np.full((160, 200), 1e200), ValueError),  # finite, but not their squares
])
def test_bad_read_noise_is_refused_before_any_native_call(field, read_noise, exc):
    im, cx, cy, _ = field
    rec = g2.default_records(len(cx), 11)
    for call in (lambda: g2.fit_peaks(im, cx, cy, estimator="mle", read_noise=read_noise),
                 lambda: g2.fit_spots(im, cx, cy, estimator="mle", read_noise=read_noise),
                 lambda: g2.photon_errors(im, cx, cy, rec, read_noise=read_noise)):
        with pytest.raises(exc):
            call()


def test_bad_estimators_records_and_sides_are_refused(field):
    im, cx, cy, _ = field
    rec = g2.default_records(len(cx), 11)
    with pytest.raises(ValueError, match="estimator"):
        g2.fit_peaks(im, cx, cy, estimator="ml")
    with pytest.raises(TypeError, match="estimator"):
        g2.fit_spots(im, cx, cy, estimator=None)
    with pytest.raises(ValueError, match="records"):
        g2.photon_errors(im, cx, cy, rec[:-1])
    with pytest.raises(ValueError, match="records"):
        g2.photon_errors(im, cx, cy, rec[:, :5])
    with pytest.raises(TypeError):
        g2.photon_errors(im, cx, cy, rec.astype(object))
    for mea in (10, 65, 0, -3):
        with pytest.raises(ValueError):
            g2.fit_peaks(im, cx, cy, mea=mea, estimator="mle")
        with pytest.raises(ValueError):
            g2.photon_errors(im, cx, cy, rec, mea=mea)
    with pytest.raises(ValueError, match="differ"):
        g2.fit_peaks(im, cx, cy[:-1], estimator="mle")


def emccd_field(gain, seed=11, n=120, shape=(240, 300), background=15.0, read_noise=0.2):
    """Separated spots in photo-electrons as an EM register gives them: each
    electron count amplified by a gamma distribution of scale `gain`, then
    divided by it again; (image, cx, cy, truth)."""
    rng = np.random.default_rng(seed)
    truth = grid_spots(rng, shape, 20, 12, n, (800, 4000), (1.1, 1.5), 0.1)
    counts = rng.poisson(g2.synth_image(truth, shape, 17) + background)
    amplified = np.where(counts > 0, rng.gamma(np.maximum(counts, 1), gain), 0.0)
    im = amplified / gain + rng.normal(0.0, read_noise, shape)
    return im, np.floor(truth[:, 3]).astype(np.int64), np.floor(truth[:, 4]).astype(np.int64), truth


@pytest.mark.parametrize("estimator", ["mle", "lsq"])
def test_the_em_registers_excess_noise_is_in_the_fit_and_every_error(estimator):
    im, cx, cy, truth = emccd_field(200.0)
    plain = g2.fit_spots(im, cx, cy, estimator=estimator, read_noise=0.2)
    em = g2.fit_spots(im, cx, cy, estimator=estimator, read_noise=0.2, excess_noise=2.0)
    assert (plain.flag == 0).all() and (em.flag == 0).all()
    # Photons and background come back in photo-electrons; the positions hardly move.
    np.testing.assert_allclose(em.records[:, 0], plain.records[:, 0], rtol=0.05)
    np.testing.assert_allclose(em.records[:, 6], plain.records[:, 6], rtol=0.05)
    np.testing.assert_allclose(em.records[:, 3:5], plain.records[:, 3:5], atol=0.05)
    # Every photon-statistics error grows by about sqrt(2) ...
    ratio = em.photon_std / plain.photon_std
    np.testing.assert_allclose(np.median(ratio, axis=0), np.sqrt(2.0), rtol=0.08)
    # ... and is then honest, where without the excess noise it was not.
    err = np.column_stack([cx - 5 + em.records[:, 3] - truth[:, 3], cy - 5 + em.records[:, 4] - truth[:, 4]])
    for fits, low, high in ((em, 0.85, 1.15), (plain, 1.25, 1.7)):
        z = err / fits.photon_std[:, 3:5]
        assert low < np.sqrt(np.mean(z * z)) < high
    for bad, exc in ((0.5, ValueError), (np.nan, ValueError), (None, TypeError)):
        with pytest.raises(exc, match="excess_noise"):
            g2.fit_spots(im, cx, cy, excess_noise=bad)
