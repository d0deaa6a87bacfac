"""The camera checks of a run and the camera measured from its movie (the photon-transfer relation)."""

import warnings

import numpy as np
import pytest

import gauss2_fitter as g2
from gauss2_fitter import cli
from gauss2_fitter.photon_transfer import CameraWarning, camera_warnings, fit_line, transfer_points

SHAPE = (64, 64)
BASELINE, SENSITIVITY, READ_NOISE = 100.0, 0.5, 1.5


def scene(n_frames, rng):
    """Photo-electrons: static beads of 300-20 000 photons and a few blinking spots on a background of 20."""
    beads = [[p, 1.3, 1.3, x, y, 0, 0] for p, (x, y) in
             zip(np.exp(rng.uniform(np.log(300), np.log(20000), 14)), rng.uniform(6, 58, (14, 2)))]
    still = g2.synth_image(beads, SHAPE, 15) + 20.0
    frames = np.empty((n_frames,) + SHAPE)
    for f in range(n_frames):
        blinks = [[rng.uniform(500, 2000), 1.3, 1.3, x, y, 0, 0] for x, y in rng.uniform(6, 58, (2, 2))]
        frames[f] = still + g2.synth_image(blinks, SHAPE, 15)
    return frames


def adu(n_frames=40, seed=1, em_gain=1.0, sensitivity=SENSITIVITY, dtype=np.uint16):
    """A movie in ADU: Poisson photo-electrons (through an EM register of gamma-distributed gain when
    em_gain > 1), read noise, the sensitivity (e-/ADU of what reaches the converter) and the baseline."""
    rng = np.random.default_rng(seed)
    e = rng.poisson(scene(n_frames, rng)).astype(np.float64)
    if em_gain > 1:
        e = rng.gamma(np.maximum(e, 1e-12), em_gain) * (e > 0)
    counts = (e + rng.normal(0, READ_NOISE, e.shape)) / sensitivity + BASELINE
    return np.round(counts).astype(dtype)


@pytest.fixture(scope="module")
def movie():
    return adu()


def said(mv, camera):
    return " | ".join(camera_warnings(mv, camera))


def test_the_right_camera_draws_no_warning_and_each_mistake_names_its_cause(movie):
    right = g2.Camera(baseline=BASELINE, sensitivity=SENSITIVITY, read_noise=READ_NOISE, pixel_size=107)
    assert said(movie, right) == ""
    assert "no camera given" in said(movie, g2.Camera())
    assert "gain inverted" in said(movie, g2.Camera(baseline=BASELINE, sensitivity=1 / SENSITIVITY))
    em = said(movie, g2.Camera(baseline=BASELINE, sensitivity=SENSITIVITY, em_gain=300))
    assert "EM gain 300 on a movie from a camera without one" in em
    high = said(movie, g2.Camera(baseline=2000, sensitivity=SENSITIVITY))
    assert "the baseline 2000 ADU is above 100 % of the pixels" in high and "variance" not in high
    assert "under 1 nm" in said(movie, g2.Camera(baseline=BASELINE, sensitivity=SENSITIVITY, pixel_size=0.108))
    # An EMCCD movie fits the EMCCD's noise model (excess noise: twice the variance) and not sCMOS's.
    em_movie = adu(em_gain=100, sensitivity=25.0)
    emccd = g2.Camera(baseline=BASELINE, sensitivity=25.0, em_gain=100)
    assert said(em_movie, emccd) == ""
    assert "an EMCCD movie without its em_gain" in said(em_movie, g2.Camera(baseline=BASELINE, sensitivity=0.25))


def test_integer_counts_without_a_camera_warn_but_noiseless_or_electron_movies_do_not(movie):
    # Counts of a camera of 1 e-/ADU and no offset: the slope fits, the integers still tell.
    ones = adu(sensitivity=1.0) - np.uint16(BASELINE)
    assert "integer counts (uint16) and no camera was given" in said(ones, g2.Camera())
    assert said(ones.astype(np.float32), g2.Camera()) == ""  # photo-electrons, as a simulation gives
    noiseless = np.repeat(scene(1, np.random.default_rng(2)), 6, axis=0)  # no variance to check
    assert said(noiseless, g2.Camera(baseline=0, sensitivity=3.0)) == ""
    assert said(movie[:1], g2.Camera(baseline=BASELINE, sensitivity=SENSITIVITY)) == ""  # one frame: no pairs


def test_localize_and_the_tool_warn_once_a_run(movie, tmp_path, capsys):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        g2.localize(movie, camera=g2.Camera(baseline=BASELINE, sensitivity=1 / SENSITIVITY), estimator="lsq",
                    n_threads=2)
    camera = [w for w in caught if issubclass(w.category, CameraWarning)]
    assert len(camera) == 1 and "gain inverted" in str(camera[0].message)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        g2.localize(movie, camera=g2.Camera(baseline=BASELINE, sensitivity=SENSITIVITY, read_noise=READ_NOISE))
    assert not [w for w in caught if issubclass(w.category, CameraWarning)]

    np.save(tmp_path / "m.npy", movie)
    assert cli.main(["fit", str(tmp_path / "m.npy"), "-o", str(tmp_path / "l.csv"), "--baseline", "100",
                     "--sensitivity", "0.5", "--em-gain", "300"]) == 0
    err = capsys.readouterr().err
    assert err.count("EM gain 300 on a movie from a camera without one") == 1


def test_from_movie_measures_baseline_and_sensitivity():
    est = g2.Camera.from_movie(adu(n_frames=120, seed=5), read_noise=READ_NOISE, pixel_size=107)
    assert est.n_frames == 120
    # Static beads give the slope; the blinking molecules bias it a little (bench/camera_bench.py).
    assert est.baseline == pytest.approx(BASELINE, abs=8) and 0 < est.baseline_se < 5
    assert est.sensitivity == pytest.approx(SENSITIVITY, rel=0.12) and 0 < est.sensitivity_se < 0.05
    cam = est.camera
    assert (cam.baseline, cam.sensitivity, cam.pixel_size) == (est.baseline, est.sensitivity, 107.0)
    assert said(adu(seed=6), cam) == ""  # the estimate passes the checks on the same camera's movies
    # An EMCCD: the sensitivity before the gain, from a slope twice as steep.
    em = g2.Camera.from_movie(adu(n_frames=120, seed=7, em_gain=100, sensitivity=25.0), em_gain=100)
    assert em.sensitivity == pytest.approx(25.0, rel=0.15) and em.camera.em_gain == 100


def test_from_movie_refuses_movies_without_a_photon_transfer_slope():
    with pytest.raises(ValueError, match="at least 2 frames"):
        g2.Camera.from_movie(adu(n_frames=1))
    with pytest.raises(ValueError, match="does not grow with their mean"):
        g2.Camera.from_movie(np.full((8, 40, 40), 100, dtype=np.uint16))
    with pytest.raises(ValueError, match="n_frames"):
        g2.Camera.from_movie(adu(n_frames=4), n_frames=1)


def test_the_line_fit_leaves_out_points_far_off_it():
    m = np.arange(10.0)
    v = 3 + 2 * m
    v[7] += 50  # a bin of blinking molecules
    se = np.ones(10)
    fit = fit_line(m, v, se)
    assert (fit.slope, fit.intercept) == pytest.approx((2, 3)) and not fit.used[7] and fit.used.sum() == 9
    held = fit_line(m, v, se, intercept=0.0)
    assert held.intercept == 0.0 and held.cov[0, 0] == 0.0


def test_transfer_points_are_unbiased_on_normal_noise_and_read_in_pairs():
    rng = np.random.default_rng(3)
    level = np.linspace(10, 200, 64 * 64).reshape(64, 64)
    frames = level + rng.normal(0, 1, (40, 64, 64)) * np.sqrt(4.0 + 0.5 * level)  # variance 4 + 0.5 mean
    pts = transfer_points(frames, n_frames=39)
    assert pts.n_frames == 38  # an even number: pairs
    fit = fit_line(pts.mean, pts.variance, pts.variance_se)
    assert fit.slope == pytest.approx(0.5, rel=0.04) and fit.intercept == pytest.approx(4.0, abs=2.0)
