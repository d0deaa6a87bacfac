"""fit_peaks, fit_patch and fit_pixels as the host uses them."""

import warnings

import numpy as np
import pytest

import gauss2_fitter as g2
from gauss2_fitter import _lib
from spot_fields import grid_spots

I64_MAX, I64_MIN = 2**63 - 1, -2**63


def rendered_field(n=60, seed=3, shape=(200, 240), mea=11):
    """Well separated noise-free spots rendered by the library, on a background."""
    peaks = grid_spots(np.random.default_rng(seed), shape, 25, 15, n, (500, 5000), (1.0, 1.8), 0.3)
    im = g2.synth_image(peaks, shape, 21) + 100.0
    return im, peaks


def test_render_then_fit_returns_the_rendered_parameters():
    im, peaks = rendered_field()
    cx, cy = np.floor(peaks[:, 3]).astype(int), np.floor(peaks[:, 4]).astype(int)
    rec, std, flag = g2.fit_peaks(im, cx, cy, mea=11)
    assert not flag.any()
    # Back from the patch frame to the image: the window starts at centre - 5.
    fitted = rec[:, :7].copy()
    fitted[:, 3] += cx - 5
    fitted[:, 4] += cy - 5
    want = peaks.copy()
    want[:, 6] = 100.0
    # The renderer cuts each spot off at 21 pixels, far beyond these widths.
    np.testing.assert_allclose(fitted, want, rtol=1e-7, atol=1e-7)
    assert np.all(rec[:, 8] < 1e-5)
    assert np.all(std[:, 7:] != std[:, 7:])  # NaN: not written


def test_fit_peaks_accepts_any_real_image_and_integer_peaks():
    im, peaks = rendered_field(n=8)
    cx, cy = np.floor(peaks[:, 3]).astype(np.int32), np.floor(peaks[:, 4]).astype(np.uint16)
    ref = g2.fit_peaks(im, cx.astype(np.int64), cy.astype(np.int64))
    for variant in (np.asfortranarray(im), im.astype(np.float32).astype(np.float64), im[::1, ::1]):
        got = g2.fit_peaks(variant, cx, cy)
        np.testing.assert_array_equal(got[2], ref[2])
    np.testing.assert_allclose(g2.fit_peaks(im.astype(np.float32), cx, cy)[0][:, 3], ref[0][:, 3], atol=1e-3)


def test_starting_records_are_used_and_not_modified():
    im, peaks = rendered_field(n=5)
    cx, cy = np.floor(peaks[:, 3]).astype(int), np.floor(peaks[:, 4]).astype(int)
    start = g2.default_records(5, 11)
    start[:, 7], start[:, 9] = 1.25, -2.5
    keep = start.copy()
    rec, _, flag = g2.fit_peaks(im, cx, cy, params=start)
    assert np.array_equal(start, keep)
    assert np.all(rec[:, 7] == 1.25) and np.all(rec[:, 9] == -2.5)
    rec7, _, _ = g2.fit_peaks(im, cx, cy, params=start[:, :7])
    np.testing.assert_array_equal(rec7[:, :7], rec[:, :7])


def test_skipped_and_outside_peaks_are_flagged():
    im, _ = rendered_field(n=2)
    rec, std, flag = g2.fit_peaks(im, [-1, 0, 30], [5, 5, -2])
    assert flag.tolist() == [1, 1, 1]
    assert np.isnan(std[:, :7]).all()
    assert rec[1, 8] == 0.0


@pytest.mark.parametrize("estimator", sorted(g2.ESTIMATORS))
def test_threads_are_bit_identical_and_work_with_few_peaks(estimator):
    # The binding's own chunks over threads (the library's threads are the
    # C++ tests'), for every estimator.
    im, peaks = rendered_field(n=60)
    rng = np.random.default_rng(0)
    noisy = im + rng.normal(0, 5, im.shape)
    cx, cy = np.floor(peaks[:, 3]).astype(int), np.floor(peaks[:, 4]).astype(int)
    # Each peak again at the end, in other threads' chunks, and a neighbour of the first.
    cx, cy = np.concatenate([cx, cx, cx[:1] + 1]), np.concatenate([cy, cy, cy[:1]])
    one = g2.fit_peaks(noisy, cx, cy, n_threads=1, estimator=estimator, read_noise=2.0)
    for a in one:
        assert a[:60].tobytes() == a[60:120].tobytes()
    spots = g2.fit_spots(noisy, cx, cy, n_threads=1, estimator=estimator, read_noise=2.0)
    for n in (2, 3, 4, 64):
        for a, b in zip(one, g2.fit_peaks(noisy, cx, cy, n_threads=n, estimator=estimator, read_noise=2.0)):
            assert a.tobytes() == b.tobytes()
        # fit_spots too, with the photon-noise errors each chunk computes on its thread.
        other = g2.fit_spots(noisy, cx, cy, n_threads=n, estimator=estimator, read_noise=2.0)
        for f in ("records", "std", "photon_std", "flag", "iterations"):
            assert getattr(spots, f).tobytes() == getattr(other, f).tobytes(), (n, f)
    empty = g2.fit_peaks(noisy, [], [], n_threads=4, estimator=estimator)
    assert [x.shape for x in empty] == [(0, 10), (0, 10), (0,)]


def test_peaks_are_shared_out_in_shrinking_ranges_and_a_failure_stops_the_threads():
    fitter = g2.fitter
    for n, threads in [(0, 2), (1, 2), (31, 4), (5899, 1), (5899, 2), (10_000, 3), (100, 64)]:
        ranges = fitter._chunks(n, threads)
        edges = [0] + [hi for _, hi in ranges]
        assert [lo for lo, _ in ranges] == edges[:-1] and edges[-1] == n  # contiguous, covering 0..n
        sizes = [hi - lo for lo, hi in ranges]
        assert sizes == sorted(sizes, reverse=True)
        assert all(s >= fitter.MIN_CHUNK_PEAKS for s in sizes[:-1])
        if threads == 1:
            assert ranges == ([(0, n)] if n else [])
        elif n > 1000:  # few native calls, and a last range that leaves no thread long alone
            assert len(ranges) < 40 and sizes[0] * 2 * threads >= n and sizes[-1] <= fitter.MIN_CHUNK_PEAKS
    # The first error ends the taking of ranges (on the calling thread or another) and is raised.
    for bad in (0, 3):
        done = []

        def run(lo, hi):
            if lo == fitter._chunks(5899, 2)[bad][0]:
                raise RuntimeError("this range fails")
            done.append(lo)

        with pytest.raises(RuntimeError, match="this range fails"):
            fitter._in_chunks(5899, 2, run)
        assert len(done) < len(fitter._chunks(5899, 2)) - 1


def test_fit_patch_reports_the_solver():
    im, peaks = rendered_field(n=1)
    im += np.random.default_rng(1).normal(0, 5, im.shape)
    x, y = np.floor(peaks[0, 3:5]).astype(int)
    fit = g2.fit_patch(im, x, y, 11)
    assert fit.result == 0 and fit.info[6] == 2.0 and fit.stop_reason == "stopped by small Dp"
    assert fit.covar.shape == (7, 7) and np.allclose(fit.covar, fit.covar.T)
    assert g2.fit_patch(im, 2, 2, 11).result == -2
    cut = im[y - 5:y + 6, x - 5:x + 6]
    direct = g2.fit_pixels(cut, fit.params)
    assert direct.result in (0, -1)
    np.testing.assert_allclose(direct.params, fit.params, rtol=1e-9)


@pytest.mark.parametrize("kwargs,exc", [
    (dict(n_threads=0), ValueError), (dict(params=np.zeros((2, 10))), ValueError),
    (dict(params=np.zeros((3, 8))), ValueError),
])
def test_bad_fit_arguments_raise(kwargs, exc):
    im = np.zeros((30, 30))
    with pytest.raises(exc):
        g2.fit_peaks(im, [10, 12, 14], [10, 12, 14], **kwargs)


@pytest.mark.parametrize("mea, exc", [(10, ValueError), (0, ValueError), (-3, ValueError), (65, ValueError),
                                      (2**70 + 1, ValueError), (11.0, TypeError), (True, TypeError)])
def test_sides_that_would_end_the_process_are_refused(mea, exc):
    im = np.zeros((30, 30))
    with pytest.raises(exc, match="mea"):
        g2.fit_peaks(im, [15], [14], mea=mea)
    with pytest.raises(exc, match="mea"):
        g2.fit_patch(im, 15, 14, mea=mea)


def test_centres_at_the_64_bit_limits_pass_intact_and_beyond_them_are_refused():
    im = g2.synth_image([[2000.0, 1.5, 1.2, 15.3, 14.6, 0, 0]], (30, 30), 21) + 100.0
    cx = [15, I64_MAX, I64_MIN, 2**32 + 15, 15, 15, 2**32 + 15]
    cy = [14, 14, 14, 14, 2**32 + 14, -2**32, 2**32 + 14]
    rec, std, flag = g2.fit_peaks(im, cx, cy)
    assert flag.tolist() == [0, 1, 1, 1, 1, 1, 1]  # 2^32 + 15 would be pixel 15 in 32 bits
    start = g2.default_records(1, 11)[0]
    for i in (1, 3, 4, 6):  # outside: the start kept, no standard errors
        np.testing.assert_array_equal(rec[i, :7], start[:7])
        assert rec[i, 8] == 0.0 and np.isnan(std[i, :7]).all()
    fit = g2.fit_patch(im, I64_MAX, I64_MAX)
    assert fit.result == -2 and fit.noise == 0.0 and np.isnan(fit.info).all()
    assert g2.fit_patch(im, 2**32 + 15, 14).result == -2
    with pytest.raises(ValueError, match="center_x"):
        g2.fit_patch(im, 2**63, 14)
    with pytest.raises(ValueError, match="center_y"):
        g2.fit_patch(im, 15, I64_MIN - 1)
    with pytest.raises(ValueError, match="center_x"):
        g2.fit_peaks(im, np.array([2**63], dtype=np.uint64), [14])
    with pytest.raises(TypeError, match="center_y"):
        g2.fit_peaks(im, [15], [2**64])


@pytest.mark.parametrize("shape", [(0, 0), (0, 30), (30, 0), (1, 1), (5, 30)])
def test_images_too_small_for_any_window(shape):
    # Empty arrays, whose data pointers numpy may leave dangling, included.
    rec, std, flag = g2.fit_peaks(np.zeros(shape), [0, 5, 15], [0, 5, 2])
    assert flag.tolist() == [1, 1, 1] and (rec[:, 8] == 0.0).all() and np.isnan(std[:, :7]).all()
    assert g2.fit_patch(np.zeros(shape), 0, 0).result == -2
    assert not g2.synth_image([[100, 1, 1, 2.5, 2.5, 0, 0]], shape, 5).any()  # no room for a 5 x 5 patch
    assert g2.validate_im(np.zeros(shape))


def test_fit_pixels_takes_any_square_patch():
    for side in (0, 1, 2):  # fewer than seven pixels
        assert g2.fit_pixels(np.ones((side, side)), np.ones(7)).result == -1
    big = g2.gauss_2d([5000, 2.0, 2.5, 32.7, 33.2, 0.1, 10.0], 65)  # above the image fits' bound
    fit = g2.fit_pixels(big, [4000, 1.5, 1.5, 32.5, 32.5, 0.0, 9.0])
    assert fit.result == 0 and abs(fit.params[3] - 32.7) < 1e-6
    with pytest.raises(ValueError, match="square"):
        g2.fit_pixels(np.ones((3, 4)), np.ones(7))


def test_bad_images_and_peaks_raise():
    with pytest.raises(ValueError, match="im"):
        g2.fit_peaks(np.zeros(30), [1], [1])
    with pytest.raises(TypeError, match="im"):
        g2.fit_peaks(np.zeros((30, 30), dtype=complex), [1], [1])
    with pytest.raises(TypeError, match="center_x"):
        g2.fit_peaks(np.zeros((30, 30)), [1.5], [1])
    with pytest.raises(ValueError, match="differ"):
        g2.fit_peaks(np.zeros((30, 30)), [1, 2], [1])
    with pytest.raises(TypeError, match="center_y"):
        g2.fit_peaks(np.zeros((30, 30)), [1], [2**70])


@pytest.mark.parametrize("dtype", ["m8[s]", "M8[s]", "m8[ns]"])
def test_durations_and_dates_are_not_numbers(dtype):
    # numpy files timedelta64 under the integers; it would pass as pixel values.
    values = np.ones((30, 30)).astype(dtype)
    with pytest.raises(TypeError, match="im must hold real numbers"):
        g2.fit_peaks(values, [15], [15])
    with pytest.raises(TypeError, match="im must hold real numbers"):
        g2.fit_patch(values, 15, 15)
    with pytest.raises(TypeError, match="center_x must hold integers"):
        g2.fit_peaks(np.ones((30, 30)), np.array([15]).astype(dtype), [15])


# ---- the scale of pixel values ------------------------------------------------------------


def scaled_to(im, top):
    """`im` multiplied so that its largest absolute value is `top`."""
    return im * (top / np.abs(im).max())


def test_fits_agree_across_the_trusted_range_of_pixel_values():
    # The documented range, pinned to the solver's behaviour: at both ends a
    # fit agrees with that of the unscaled image (noise-free spots on 100).
    im, peaks = rendered_field(n=12)
    cx, cy = np.floor(peaks[:, 3]).astype(int), np.floor(peaks[:, 4]).astype(int)
    ref, _, flag = g2.fit_peaks(im, cx, cy)
    assert not flag.any()
    for top in _lib.TRUSTED_PIXEL_RANGE:
        rec, _, flag = g2.fit_peaks(scaled_to(im, top), cx, cy)
        assert not flag.any(), top
        np.testing.assert_allclose(rec[:, 1:6], ref[:, 1:6], rtol=1e-3, atol=1e-3, err_msg=str(top))


@pytest.mark.parametrize("copies", [1, 60])  # few windows are read; many are judged from the image first
def test_pixel_values_outside_the_trusted_range_warn(copies):
    im, peaks = rendered_field(n=4)
    cx, cy = np.floor(peaks[:, 3]).astype(int), np.floor(peaks[:, 4]).astype(int)
    cx, cy = np.tile(cx, copies), np.tile(cy, copies)
    low, high = _lib.TRUSTED_PIXEL_RANGE
    x, y = int(cx[0]), int(cy[0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for top in (low, high):
            g2.fit_peaks(scaled_to(im, top), cx, cy)
            g2.fit_patch(scaled_to(im, top), x, y)
        g2.fit_peaks(np.zeros((30, 30)), [15], [15])  # nothing to scale
        spotted = im.copy()
        spotted[0, 0], spotted[0, 1] = np.inf, np.nan  # non-finite pixels fail their window, not the scale
        g2.fit_peaks(spotted, cx, cy)
        g2.fit_peaks(im * 1e12, [], [])  # nothing is fitted
    for top in (high * 1.01, 1e12, low * 0.99, 1e-12):
        big = scaled_to(im, top)
        with pytest.warns(g2.PixelScaleWarning, match=r"outside 1e-06 to 1e\+08, the range within which fits"):
            g2.fit_peaks(big, cx, cy)
        with pytest.warns(g2.PixelScaleWarning, match="of the window"):
            g2.fit_patch(big, x, y)
        with pytest.warns(g2.PixelScaleWarning, match="of the pixels"):
            g2.fit_pixels(big[y - 5:y + 6, x - 5:x + 6], [1000, 1.5, 1.5, 5.5, 5.5, 0, 100])
    # Only the fitted windows count: a bright pixel elsewhere, or in the
    # window of a peak that is skipped or outside, is no concern of the fits.
    far = im.copy()
    far[-1, -1] = far[y + 5, x + 6] = 1e12
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        g2.fit_patch(far, x, y)
        g2.fit_peaks(far, cx, cy)
        g2.fit_peaks(far, [-1, x + 6, im.shape[1] - 1] * copies, [y + 5, -1, im.shape[0] - 1] * copies)
    with pytest.warns(g2.PixelScaleWarning, match="of the windows is 1e\\+12"):
        g2.fit_peaks(far, [x, x + 1] * copies, [y, y] * copies)
    with pytest.warns(g2.PixelScaleWarning, match="of the window is 1e\\+12"):
        g2.fit_patch(far, x + 1, y)
