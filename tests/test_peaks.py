"""The peak finder of the demo, the command-line tool and localize (native, gauss2_peaks.h)."""

import hashlib

import numpy as np
import pytest
from scipy import ndimage

import gauss2_fitter as g2
from gauss2_fitter.peaks import detection_threshold, find_peaks, find_peaks_in_frames

MAD_TO_SIGMA = 1.482602218505602  # sigma of a normal distribution per median absolute deviation


def noisy_grid(seed=5, shape=(160, 200), step=20, amp=(800, 4000), background=100.0, read_noise=4.0):
    """Spots on a grid (well apart, one per cell) with photon and read noise."""
    rng = np.random.default_rng(seed)
    h, w = shape
    ys, xs = np.mgrid[step:h - step + 1:step, step:w - step + 1:step]
    k = xs.size
    pos = np.column_stack([xs.ravel(), ys.ravel()]) + rng.uniform(-3, 3, (k, 2))
    peaks = np.column_stack([rng.uniform(*amp, k), rng.uniform(1.0, 2.0, k), rng.uniform(1.0, 2.0, k),
                             pos[:, 0], pos[:, 1], rng.uniform(-0.3, 0.3, k), np.zeros(k)])
    clean = g2.synth_image(peaks, shape, 15) + background
    im = rng.poisson(clean) + rng.normal(0, read_noise, shape)
    return im, peaks


def test_finds_every_rendered_spot_once_at_its_pixel_and_nothing_else():
    im, peaks = noisy_grid()
    x, y = find_peaks(im)
    assert x.dtype == np.int64 and y.dtype == np.int64
    assert len(x) == len(peaks)
    # Each true spot has exactly one peak, within a pixel of its centre.
    d = np.hypot((x[:, None] + 0.5) - peaks[None, :, 3], (y[:, None] + 0.5) - peaks[None, :, 4])
    assert np.all(d.min(axis=0) < 1.5)
    assert sorted(d.argmin(axis=0)) == list(range(len(x)))
    # Row-major order.
    assert np.all(np.diff(y * im.shape[1] + x) > 0)


def background_noise(im):
    """The noise the automatic threshold measures, unsmoothed: the threshold's
    step per sigma."""
    return detection_threshold(im, smooth=0, n_sigma=1.0) - detection_threshold(im, smooth=0, n_sigma=0.0)


def test_pure_noise_yields_almost_no_peaks_and_its_noise_is_measured():
    rng = np.random.default_rng(1)
    im = 100.0 + rng.normal(0, 7.0, (300, 300))
    assert background_noise(im) == pytest.approx(7.0, rel=0.05)
    assert len(find_peaks(im)[0]) <= 1  # 5 sigma over ~90 000 pixels
    # A gradient does not disturb the noise estimate much.
    assert background_noise(im + np.linspace(0, 300, 300)[None, :]) == pytest.approx(7.0, rel=0.05)


def test_threshold_applies_to_the_smoothed_image_or_the_raw_one():
    im = np.zeros((40, 40))
    im[10, 10], im[10, 30], im[30, 20] = 5.0, 10.0, 20.0
    x, y = find_peaks(im, threshold=7.0, smooth=0)
    assert list(zip(x, y)) == [(30, 10), (20, 30)]
    assert len(find_peaks(im, threshold=20.0, smooth=0)[0]) == 0  # strictly above
    x, y = find_peaks(im, threshold=4.9, smooth=0)
    assert len(x) == 3
    # Smoothed with sigma 1, a single bright pixel keeps about 1 / (2 pi) of its value.
    x, _ = find_peaks(im, threshold=2.0, smooth=1.0)
    assert list(x) == [20]
    assert detection_threshold(im, smooth=0) == 0.0  # median 0, no noise


def test_a_plateau_gives_one_peak_near_its_middle():
    im = np.zeros((30, 30))
    im[10:13, 8:15] = 7.0  # 3 x 7 flat top
    im[20, 20:22] = 3.0  # two equal neighbouring pixels
    im[4, 20] = im[4, 24] = 3.0  # two separate equal maxima further apart
    x, y = find_peaks(im, threshold=1.0, smooth=0, mea=5)
    got = set(zip(x.tolist(), y.tolist()))
    assert (11, 11) in got
    assert len([p for p in got if p[1] == 20]) == 1
    assert {(20, 4), (24, 4)} <= got
    assert len(got) == 4
    # An L-shaped top: the chosen pixel lies on it.
    im = np.zeros((20, 20))
    im[5:10, 5] = 2.0
    im[9, 5:10] = 2.0
    (px,), (py,) = find_peaks(im, threshold=1.0, smooth=0, mea=5)
    assert im[py, px] == 2.0


def test_peaks_whose_window_leaves_the_image_are_dropped():
    im = np.zeros((40, 50))
    spots = [(5, 20), (4, 20), (44, 20), (45, 20), (25, 5), (25, 4), (25, 34), (25, 35), (25, 20)]
    for x, y in spots:
        im[y, x] = 1.0
    x, y = find_peaks(im, threshold=0.5, smooth=0, mea=11)
    got = set(zip(x.tolist(), y.tolist()))
    assert got == {(5, 20), (44, 20), (25, 5), (25, 34), (25, 20)}
    # The rule is the library's: the dropped ones are exactly those whose window it refuses (-2).
    for sx, sy in spots:
        assert (g2.fit_patch(im, sx, sy, mea=11).result == -2) == ((sx, sy) not in got)
    # A larger window drops more; an image smaller than the window has none.
    assert set(zip(*find_peaks(im, threshold=0.5, smooth=0, mea=21))) == {(25, 20)}
    assert len(find_peaks(np.ones((8, 8)), threshold=0.0, mea=11)[0]) == 0


def test_non_finite_pixels_are_neither_peaks_nor_spread():
    im, peaks = noisy_grid(seed=2)
    im[50, 50] = np.nan
    im[100, 100] = np.inf
    x, y = find_peaks(im)
    assert len(x) == len(peaks)
    assert np.isfinite(detection_threshold(im))


def test_bad_arguments_are_refused():
    with pytest.raises(ValueError, match="mea"):
        find_peaks(np.zeros((20, 20)), mea=10)
    with pytest.raises(ValueError, match="2 dimension"):
        find_peaks(np.zeros((2, 20, 20)))
    with pytest.raises(ValueError, match="smooth"):
        find_peaks(np.zeros((20, 20)), smooth=-1)


def test_a_min_distance_beyond_the_frame_finds_the_frame_maximum():
    # Any distance from the frame's larger side up covers the whole frame,
    # up to the largest 64-bit one (where i + min_distance would overflow).
    im, _ = noisy_grid(seed=4, shape=(40, 50))
    whole = find_peaks(im, min_distance=50)
    assert len(whole[0]) == 1
    for d in (51, 10**18, 2**63 - 1):
        np.testing.assert_array_equal(find_peaks(im, min_distance=d), whole)
    # Beyond the 64-bit integers: refused before the library is called.
    for name in ("min_distance", "background_tile"):
        with pytest.raises(ValueError, match=f"{name} must be at most {2**63 - 1}"):
            find_peaks(im, **{name: 2**63})


# ---- the native search against the same rules written with scipy -------------


def reference_peaks(im, threshold, mea, smooth, min_distance=2):
    work = ndimage.gaussian_filter(im, smooth, mode="nearest") if smooth > 0 else im
    top = ndimage.maximum_filter(work, size=2 * min_distance + 1, mode="nearest")
    mask = (work == top) & (work > threshold)
    half = mea // 2
    mask[:half], mask[im.shape[0] - half:], mask[:, :half], mask[:, im.shape[1] - half:] = False, False, False, False
    labels, n = ndimage.label(mask, structure=np.ones((3, 3)))
    out = []
    for g in range(1, n + 1):
        ys, xs = np.nonzero(labels == g)
        d = (xs - xs.mean()) ** 2 + (ys - ys.mean()) ** 2
        out.append((xs[np.argmin(d)], ys[np.argmin(d)]))
    return sorted(out, key=lambda p: (p[1], p[0]))


def reference_threshold(im, smooth, n_sigma=5.0):
    step = max(1, im.size // 8192)
    rows = im[::step]
    d = np.diff(rows, axis=1).ravel()
    noise = MAD_TO_SIGMA * np.median(np.abs(d - np.median(d))) / np.sqrt(2)
    work = ndimage.gaussian_filter(im, smooth, mode="nearest") if smooth > 0 else im
    r = int(4 * smooth + 0.5)
    k = np.exp(-0.5 * np.arange(-r, r + 1) ** 2 / smooth**2) if smooth > 0 else np.ones(1)
    return np.median(work[::step]) + n_sigma * noise * np.sum((k / k.sum()) ** 2)


@pytest.mark.parametrize("smooth", [0.0, 1.0, 1.7])
def test_the_native_search_follows_the_rules_frame_by_frame(smooth):
    # Integer-valued frames (camera counts) have flat tops; spots near every edge.
    rng = np.random.default_rng(int(smooth * 10))
    frames = []
    for shape in [(130, 150)] * 3:
        im, _ = noisy_grid(seed=int(rng.integers(1000)), shape=shape, step=15)
        frames.append(np.round(im / 4))
    stack = np.array(frames)
    thresholds = [reference_threshold(f, smooth) for f in frames]
    fr, x, y, thr = find_peaks_in_frames(stack, mea=7, smooth=smooth)
    np.testing.assert_allclose(thr, thresholds, rtol=1e-12)
    for k, f in enumerate(frames):
        want = reference_peaks(f, thr[k], 7, smooth)
        assert list(zip(x[fr == k].tolist(), y[fr == k].tolist())) == want
        assert detection_threshold(f, smooth=smooth) == thr[k]
    # A fixed threshold applies to every frame; a stack of one frame is one frame.
    fr, x, y, thr = find_peaks_in_frames(stack, threshold=30.0, mea=7, smooth=smooth)
    assert np.all(thr == 30.0) and np.all(np.diff(fr) >= 0)
    assert list(zip(x[fr == 1], y[fr == 1])) == reference_peaks(frames[1], 30.0, 7, smooth)


def test_many_peaks_are_all_returned():
    # More peaks than the first guess of room: the search runs again with enough.
    im = np.zeros((3, 200, 200))
    im[:, 3:197:3, 3:197:3] = 1.0
    fr, x, y, _ = find_peaks_in_frames(im, threshold=0.5, mea=3, smooth=0, min_distance=1)
    assert len(x) == 3 * 65 * 65 and np.bincount(fr).tolist() == [65 * 65] * 3


def test_any_min_distance_finds_what_the_search_square_by_square_found():
    # Frames whose candidates are many (a threshold at the median) take
    # every square's maximum at once beyond a few reads a pixel; the peaks
    # and thresholds are those of testing each candidate's square, bit for
    # bit (the digest of the search before it was bounded, on these frames)
    # and, without smoothing (exact values), those of the rules in scipy.
    rng = np.random.default_rng(2024)
    h, w = 61, 83
    yy, xx = np.mgrid[0:h, 0:w]
    frames = np.array([rng.normal(0, 1, (h, w)),                         # noise
                       0.05 * (yy + xx) + rng.normal(0, 1, (h, w)),      # a ramp under noise
                       np.round(rng.normal(0, 1, (h, w)) + 0.1 * xx),    # whole numbers: flat tops
                       np.round(3 * np.sin(xx / 7.0) * np.cos(yy / 5.0))])  # broad plateaus
    digest = hashlib.sha256()
    for smooth in (0.0, 1.0):
        for d in (1, 2, 3, 6, 17, 40, 83, 500):
            for thr in (None, float(np.median(frames))):
                fr, x, y, t = find_peaks_in_frames(frames, threshold=thr, mea=3, smooth=smooth, min_distance=d)
                for a in (fr, x, y, t):
                    digest.update(np.ascontiguousarray(a).tobytes())
                if smooth == 0.0:
                    for k, f in enumerate(frames):
                        assert list(zip(x[fr == k].tolist(), y[fr == k].tolist())) == \
                            reference_peaks(f, t[k], 3, 0.0, d), (k, d, thr)
    assert digest.hexdigest() == "bef8d1e43a3f7e39585b2b242f9c7654d40f64e7798c8f537c31c26d03b4f8d7"
