"""The photon-statistics side of the binding: fit_peaks(estimator=, read_noise=),
photon_errors and fit_spots, as the host uses them, and their refusals."""

import numpy as np
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
    fails = np.zeros(n, dtype=np.int64)
    _lib.lib.fit_array_of_gauss_2d_on_float_image(im, im.shape[1], im.shape[0], 11, n, cx, cy, start, std, fails)
    for got in (g2.fit_peaks(im, cx, cy), g2.fit_peaks(im, cx, cy, estimator="lsq", read_noise=5.0)):
        np.testing.assert_array_equal(got[0], start)  # bit for bit the native batch
        np.testing.assert_array_equal(got[1], std)
        np.testing.assert_array_equal(got[2], fails)


def test_mle_positions_and_errors(field):
    im, cx, cy, truth = field
    rec, std, fails = g2.fit_peaks(im, cx, cy, estimator="mle", read_noise=2.0, n_threads=2)
    assert not fails.any()
    err = np.concatenate([cx - 5 + rec[:, 3] - truth[:, 3], cy - 5 + rec[:, 4] - truth[:, 4]])
    se = np.concatenate([std[:, 3], std[:, 4]])
    assert 0.7 < np.sqrt(np.mean((err / se) ** 2)) < 1.3
    assert np.all(np.isnan(std[:, 7:]))
    # The goodness of fit: about chi-square with 121 - 7 degrees of freedom.
    assert 80 < np.median(rec[:, 8]) < 150
    # A per-pixel read noise equal everywhere is the scalar.
    same = g2.fit_peaks(im, cx, cy, estimator="mle", read_noise=np.full(im.shape, 2.0))
    np.testing.assert_array_equal(same[0], rec)
    np.testing.assert_array_equal(same[1], std)
    # Threads do not change a bit.
    one = g2.fit_peaks(im, cx, cy, estimator="mle", read_noise=2.0, n_threads=1)
    np.testing.assert_array_equal(one[0], rec)


def test_fit_spots_for_both_estimators(field):
    im, cx, cy, truth = field
    cx2, cy2 = cx.copy(), cy.copy()
    cx2[0], cy2[1] = -1, im.shape[0] + 2  # skipped: a negative index, a pixel outside the image
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
            # Photon noise is larger than the equal-noise covariance assumes on bright spots.
            assert np.median(f.photon_std[2:, 3] / f.std[2:, 3]) > 1.1


def test_photon_errors_describe_the_least_squares_scatter():
    im, cx, cy, truth = photon_field(n=80, seed=8)
    rec, _, fails = g2.fit_peaks(im, cx, cy)
    se = g2.photon_errors(im, cx, cy, rec, read_noise=2.0)
    assert se.shape == (len(cx), 7)
    ok = fails == 0
    z = np.concatenate([(cx - 5 + rec[:, 3] - truth[:, 3])[ok] / se[ok, 3],
                        (cy - 5 + rec[:, 4] - truth[:, 4])[ok] / se[ok, 4]])
    assert 0.7 < np.sqrt(np.mean(z**2)) < 1.3
    np.testing.assert_array_equal(g2.photon_errors(im, cx, cy, rec[:, :7], read_noise=2.0), se)


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

