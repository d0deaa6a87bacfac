"""Hostile input through the binding and through its raw prototypes.

The Pythonic layer refuses what would end the process (a TypeError or a
ValueError before any native call); what it passes on comes back as codes
and flags. The raw prototypes in `g2.lib` pass anything, and a broken
contract ends the host process with the message and status 1, which is
checked in a child interpreter."""

import os
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pytest

import gauss2_fitter as g2

ROOT = Path(__file__).resolve().parent.parent
I64_MAX, I64_MIN = 2**63 - 1, -2**63
NAN, INF = float("nan"), float("inf")


def spot_image(w=30, h=30, x0=15.3, y0=14.6):
    y, x = np.mgrid[0:h, 0:w] + 0.5
    return 100.0 + 2000.0 / (2 * np.pi * 1.5 * 1.2) * np.exp(-0.5 * ((x - x0) ** 2 / 2.25 + (y - y0) ** 2 / 1.44))


def run_host(code):
    """Runs `code` in a fresh interpreter with the binding imported as g2."""
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    prelude = "import ctypes, numpy as np\nimport gauss2_fitter as g2\nlib = g2.lib\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, env=env)


def assert_outside(rec, std, fails, i, mea=11):
    """Flagged, with the default start kept, noise 0.0 and no standard errors."""
    assert fails[i] == 1
    np.testing.assert_array_equal(rec[i, :7], g2.default_records(1, mea)[0, :7])
    assert rec[i, 8] == 0.0
    assert np.isnan(std[i, :7]).all()


# ---- centres far outside -----------------------------------------------------------


def test_far_centres_are_flagged_and_nothing_is_read():
    im = spot_image()
    cx = [15, I64_MAX, I64_MIN, 2**32 + 15, 15, 15, 2**32 + 15]
    cy = [14, 14, 14, 14, 2**32 + 14, -2**32, 2**32 + 14]
    rec, std, fails = g2.fit_peaks(im, cx, cy)
    assert fails.tolist() == [0, 1, 1, 1, 1, 1, 1]
    for i in (1, 3, 4, 6):
        assert_outside(rec, std, fails, i)
    fit = g2.fit_patch(im, I64_MAX, I64_MAX)
    assert fit.result == -2 and fit.noise == 0.0 and np.isnan(fit.info).all()
    assert g2.fit_patch(im, 2**32 + 15, 14).result == -2


def test_centres_beyond_64_bits_are_refused():
    im = spot_image()
    with pytest.raises(ValueError, match="center_x"):
        g2.fit_patch(im, 2**63, 14)
    with pytest.raises(ValueError, match="center_y"):
        g2.fit_patch(im, 15, I64_MIN - 1)
    with pytest.raises(ValueError, match="center_x"):
        g2.fit_peaks(im, np.array([2**63], dtype=np.uint64), [14])
    with pytest.raises(TypeError, match="center_y"):
        g2.fit_peaks(im, [15], [2**64])


def test_renderer_skips_far_positions():
    for v in (2.0**32 + 10.5, 2.0**63, -2.0**63, 1e300, -INF, INF, NAN):
        assert not g2.synth_image([[100, 1, 1, v, 10.5, 0, 0], [100, 1, 1, 10.5, v, 0, 0]], (20, 20), 5).any()


# ---- image sizes ---------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(0, 0), (0, 30), (30, 0), (1, 1), (5, 30)])
def test_images_too_small_for_any_window_flag_every_peak(shape):
    rec, std, fails = g2.fit_peaks(np.zeros(shape), [0, 5, 15], [0, 5, 2])
    for i in range(3):
        assert_outside(rec, std, fails, i)
    assert not g2.synth_image([[100, 1, 1, 2.5, 2.5, 0, 0]], shape, 5).any()  # no room for a 5 x 5 patch
    assert g2.validate_im(np.zeros(shape))


def test_negative_sizes_through_the_raw_prototypes():
    im = spot_image()
    for w, h in ((-30, 30), (30, -30), (-30, -30), (I64_MIN, I64_MIN), (I64_MAX, 0)):
        rec = g2.default_records(2, 11)
        std = np.full((2, 10), -7.0)
        fails = np.full(2, -5, dtype=np.int64)
        cx, cy = np.array([15, 0], dtype=np.int64), np.array([14, 0], dtype=np.int64)
        assert g2.lib.fit_array_of_gauss_2d_on_float_image(im, w, h, 11, 2, cx, cy, rec, std, fails) == 0
        assert fails.tolist() == [1, 1]
        before = im.copy()
        assert g2.lib.synth_image(im, w, h, 5, 1, np.array([[100, 1, 1, 0.5, 0.5, 0, 0]], dtype=float)) == 0
        np.testing.assert_array_equal(im, before)
    with pytest.raises(ValueError, match="shape"):
        g2.synth_image([[100, 1, 1, 5, 5, 0, 0]], (-20, 20), 5)
    # Two negative sizes make a positive product, and that many values are read.
    six = np.ones((2, 3))
    six[1, 2] = NAN
    assert g2.lib.validate_im(six, -2, -3) == 0
    assert g2.lib.validate_im(six, -1, -5) == 1
    assert g2.lib.validate_im(six, -2, 3) == 1


# ---- patch sides -----------------------------------------------------------------------


@pytest.mark.parametrize("mea, exc", [(10, ValueError), (0, ValueError), (-3, ValueError), (65, ValueError),
                                      (2**70 + 1, ValueError), (11.0, TypeError), (True, TypeError)])
def test_the_binding_refuses_sides_that_would_end_the_process(mea, exc):
    im = spot_image()
    with pytest.raises(exc, match="mea"):
        g2.fit_peaks(im, [15], [14], mea=mea)
    with pytest.raises(exc, match="mea"):
        g2.fit_patch(im, 15, 14, mea=mea)


def test_unit_and_oversized_windows():
    im = spot_image()
    rec, std, fails = g2.fit_peaks(im, [15, 20], [14, 20], mea=1)
    assert fails.tolist() == [1, 1] and (rec[:, 8] == 0.0).all() and np.isnan(std[:, :7]).all()
    fit = g2.fit_patch(im, 15, 14, mea=1)
    assert fit.result == -1 and fit.noise == 0.0
    assert g2.fit_patch(im, 15, 14, mea=31).result == -2  # the window is larger than the image
    assert g2.fit_pixels(np.ones((1, 1)), np.ones(7)).result == -1
    assert g2.fit_pixels(np.ones((2, 2)), np.ones(7)).result == -1  # 4 pixels for 7 parameters
    assert g2.fit_pixels(np.zeros((0, 0)), np.ones(7)).result == -1
    with pytest.raises(ValueError, match="mea"):
        g2.fit_pixels(np.ones((64, 64)), np.ones(7))
    for mea in (-1, 64, 2**40):
        with pytest.raises(ValueError, match="mea"):
            g2.synth_image([[100, 1, 1, 10, 10, 0, 0]], (20, 20), mea)
    assert np.count_nonzero(g2.synth_image([[100, 1, 1, 10.5, 10.5, 0, 0]], (20, 20), 4)) == 16  # even is fine


@pytest.mark.parametrize("call, message", [
    ("lib.fit_gauss_2d_on_float_image(im, 30, 30, 15, 14, 10, p, info, covar, noise)", "Mea must be odd"),
    ("lib.fit_gauss_2d_on_float_image(im, 30, 30, 15, 14, -2**63, p, info, covar, noise)", "Mea must be odd"),
    ("lib.fit_gauss_2d_on_float_image(im, 30, 30, 15, 14, -3, p, info, covar, noise)", "size mismatch"),
    ("lib.fit_gauss_2d_on_float_image(im, 30, 30, 15, 14, 65, p, info, covar, noise)",
     "Mea too large: 65 (at most 63)"),
    ("lib.fit_gauss_2d_on_float_image(im, 30, 30, 2**63 - 1, 14, 2**63 - 1, p, info, covar, noise)",
     "Mea too large: 9223372036854775807 (at most 63)"),
    ("lib.fit_gauss_2d(im.reshape(-1), 64, p, info, covar)", "Mea too large: 64 (at most 63)"),
    ("lib.synth_image(im, 30, 30, 64, 0, np.zeros((0, 7)))", "Mea too large: 64 (at most 63)"),
    ("lib.synth_image(im, 30, 30, 2**40, 0, np.zeros((0, 7)))", "Mea too large: 1099511627776 (at most 63)"),
    ("lib.fit_array_of_gauss_2d_on_float_image(im, 30, 30, 2**40, 2, np.array([-1, 15]), np.array([5, 14]),"
     " np.zeros((2, 10)), np.zeros((2, 10)), np.zeros(2, dtype=np.int64))", "Mea must be odd"),
])
def test_raw_calls_that_break_a_contract_end_the_process(call, message):
    r = run_host(f"""
        im = np.full((30, 30), 100.0)
        p, info, covar, noise = np.zeros(7), np.zeros(10), np.zeros(49), np.zeros(1)
        {call}
        print("returned")
    """)
    assert r.returncode == 1, r.stderr
    assert r.stderr.decode() == message + "\n"
    assert r.stdout == b""


def test_even_side_with_every_peak_skipped_returns():
    rec, std, fails = np.zeros((2, 10)), np.zeros((2, 10)), np.zeros(2, dtype=np.int64)
    assert g2.lib.fit_array_of_gauss_2d_on_float_image(np.zeros((30, 30)), 30, 30, 10, 2, np.array([-1, 3]),
                                                       np.array([3, -1]), rec, std, fails) == 0
    assert fails.tolist() == [1, 1]


# ---- values that are not finite --------------------------------------------------------


@pytest.mark.parametrize("value", [NAN, INF, -INF, 1e300, -1e300])
def test_non_finite_or_huge_pixels_fail_their_window_only(value):
    im = spot_image()
    im[12, 18] = value
    # A huge value is a scale no fit can be trusted at; non-finite ones are not a scale.
    expect_warning = pytest.warns(g2.PixelScaleWarning) if np.isfinite(value) else warnings.catch_warnings()
    with expect_warning:
        if not np.isfinite(value):
            warnings.simplefilter("error")
        rec, std, fails = g2.fit_peaks(im, [15, 25], [14, 25])
    clean = g2.fit_peaks(spot_image(), [25], [25])
    assert fails[0] == 1 and rec[0, 8] == 0.0
    np.testing.assert_array_equal(rec[1], clean[0][0])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", g2.PixelScaleWarning)
        fit = g2.fit_patch(im, 15, 14)
    assert fit.result == -1 and fit.noise == 0.0
    assert fit.stop_reason == "stopped by invalid (i.e. NaN or Inf) 'func' values. This is a user error"
    assert g2.validate_im(im) == (value == value)  # False only for NaN


@pytest.mark.parametrize("field, value", [(0, NAN), (0, INF), (1, 0.0), (2, NAN), (3, NAN), (4, -INF), (5, 1.0),
                                          (5, -1.0), (5, 1.5), (5, NAN)])
def test_starts_outside_the_models_domain_are_flagged(field, value):
    start = g2.default_records(2, 11)
    start[0, field] = value
    rec, std, fails = g2.fit_peaks(spot_image(), [15, 15], [14, 14], params=start)
    assert fails.tolist() == [1, 0]
    assert rec[0, 8] == 0.0


def test_a_nan_offset_start_is_ignored_and_caller_fields_pass_through():
    start = g2.default_records(1, 11)
    start[0, 6], start[0, 7], start[0, 9] = NAN, NAN, -INF
    rec, _, fails = g2.fit_peaks(spot_image(), [15], [14], params=start)
    assert fails[0] == 0 and abs(rec[0, 3] - 5.3) < 1e-6
    assert np.isnan(rec[0, 7]) and rec[0, 9] == -INF


def test_rendered_non_finite_values_stay_in_their_patch():
    for amp in (NAN, INF, -INF):
        im = g2.synth_image([[amp, 1, 1, 10.3, 10.7, 0, 0]], (20, 20), 5)
        assert not np.isfinite(im[8:13, 8:13]).any()
        im[8:13, 8:13] = 0.0
        assert not im.any()
    assert not g2.validate_im(g2.synth_image([[100, 0.0, 1, 10.3, 10.7, 0, 0]], (20, 20), 5))
    assert np.isnan(g2.gauss_2d([NAN, 1, 1, 2.5, 2.5, 0, 0], 5)).all()
    assert np.isnan(g2.gauss_2d([1, 1, 1, 2.5, 2.5, 1.0, 0], 5)).all()


# ---- peak lists -------------------------------------------------------------------------


def test_duplicate_and_overlapping_peaks_fit_alike_on_any_thread_count():
    im = spot_image() + np.random.default_rng(5).normal(0, 2.0, (30, 30))
    cx, cy = [15, 15, 16, 15, 14, 15] * 4, [14, 14, 14, 15, 13, 14] * 4
    one = g2.fit_peaks(im, cx, cy, n_threads=1)
    for a in one:
        assert a[0].tobytes() == a[1].tobytes() == a[5].tobytes()
    solo = g2.fit_peaks(im, [16], [14], n_threads=1)
    assert one[0][2].tobytes() == solo[0][0].tobytes()
    many = g2.fit_peaks(im, cx, cy, n_threads=6)
    for a, b in zip(one, many):
        assert a.tobytes() == b.tobytes()


def test_empty_and_negative_peak_counts():
    rec, std, fails = g2.fit_peaks(spot_image(), [], [])
    assert rec.shape == (0, 10) and std.shape == (0, 10) and fails.shape == (0,)
    empty_f, empty_i = np.zeros((0, 10)), np.zeros(0, dtype=np.int64)
    for n in (0, -1, I64_MIN):
        assert g2.lib.fit_array_of_gauss_2d_on_float_image(spot_image(), 30, 30, 10, n, empty_i, empty_i, empty_f,
                                                           empty_f, empty_i) == 0
    assert not g2.synth_image(np.zeros((0, 7)), (20, 20), 5).any()
    with pytest.raises(ValueError, match="differ"):
        g2.fit_peaks(spot_image(), [1, 2], [3])


# ---- values that are not numbers -------------------------------------------------------------


@pytest.mark.parametrize("dtype", ["m8[s]", "M8[s]", "m8[ns]"])
def test_durations_and_dates_are_not_numbers(dtype):
    # numpy files timedelta64 under the integers; it would pass as pixel values.
    values = np.ones((30, 30)).astype(dtype)
    with pytest.raises(TypeError, match="im must hold real numbers"):
        g2.fit_peaks(values, [15], [15])
    with pytest.raises(TypeError, match="im must hold real numbers"):
        g2.fit_patch(values, 15, 15)
    with pytest.raises(TypeError, match="peaks must hold real numbers"):
        g2.synth_image(np.ones((1, 7)).astype(dtype), (20, 20), 5)
    with pytest.raises(TypeError, match="center_x must hold integers"):
        g2.fit_peaks(np.ones((30, 30)), np.array([15]).astype(dtype), [15])
