"""synth_image, validate_im and the diagnostics' prototypes, as the host calls them."""

import numpy as np
import pytest

import gauss2_fitter as g2
from gauss2_fitter import _lib

PEAK = [100.0, 1.0, 1.0, 10.3, 10.7, 0.0, 0.0]


def test_renders_the_model_on_the_floor_placed_patch():
    im = g2.synth_image([PEAK], (20, 20), 5)
    assert im.shape == (20, 20) and im.dtype == np.float64
    local = list(PEAK)
    local[3], local[4] = 10.3 - 8, 10.7 - 8
    np.testing.assert_array_equal(im[8:13, 8:13], g2.gauss_2d(local, 5))
    im[8:13, 8:13] = 0
    assert not im.any()


def test_shape_is_rows_then_columns():
    # 30 rows, 20 columns: a peak low in the image fits only if h is the row count.
    im = g2.synth_image(np.array([[50.0, 1, 1, 10.5, 24.5, 0, 0]]), (30, 20), 5)
    assert np.count_nonzero(im) == 25
    assert np.count_nonzero(im[22:27, 8:13]) == 25
    # Against the last column: c0 + mea == w is skipped.
    assert not g2.synth_image([[50.0, 1, 1, 17.0, 10.0, 0, 0]], (30, 20), 5).any()


def test_accumulates_in_place_and_returns_the_given_image():
    im = np.full((20, 20), 2.0)
    once = g2.synth_image([PEAK], (20, 20), 5)
    out = g2.synth_image([PEAK, PEAK], (20, 20), 5, im=im)
    assert out is im
    np.testing.assert_array_equal(im, (2.0 + once) + once)  # peaks are added in order


def test_peaks_are_not_modified_and_any_real_dtype_is_accepted():
    peaks = np.array([PEAK, [1.0, 1, 1, -3.0, 4.0, 0, 0]])
    before = peaks.copy()
    g2.synth_image(peaks, (20, 20), 5)
    np.testing.assert_array_equal(peaks, before)
    ints = np.array([[100, 1, 1, 10, 10, 0, 0]], dtype=np.int32)
    np.testing.assert_array_equal(g2.synth_image(ints, (20, 20), np.int64(5)),
                                  g2.synth_image(ints.astype(float), (20, 20), 5))
    assert not g2.synth_image(np.zeros((0, 7)), (20, 20), 5).any()
    assert not g2.synth_image([PEAK], (20, 20), 0).any()


def test_bad_arguments_raise_before_the_native_call():
    with pytest.raises(ValueError, match="peaks"):
        g2.synth_image(PEAK, (20, 20), 5)  # one peak must still be (1, 7)
    with pytest.raises(ValueError, match="peaks"):
        g2.synth_image(np.zeros((2, 6)), (20, 20), 5)
    with pytest.raises(TypeError, match="peaks"):
        g2.synth_image(np.zeros((1, 7), dtype=complex), (20, 20), 5)
    for dtype in ("m8[s]", "M8[s]"):  # durations and dates, which numpy files under the integers
        with pytest.raises(TypeError, match="peaks must hold real numbers"):
            g2.synth_image(np.ones((1, 7)).astype(dtype), (20, 20), 5)
    with pytest.raises(ValueError, match="mea"):
        g2.synth_image([PEAK], (20, 20), 64)  # would end the process natively
    with pytest.raises(ValueError, match="mea"):
        g2.synth_image([PEAK], (20, 20), 2**40)
    with pytest.raises(ValueError, match="mea"):
        g2.synth_image([PEAK], (20, 20), -1)
    with pytest.raises(TypeError, match="mea"):
        g2.synth_image([PEAK], (20, 20), 5.0)
    with pytest.raises(ValueError, match="shape"):
        g2.synth_image([PEAK], (20, 20, 1), 5)
    with pytest.raises(ValueError, match="shape"):
        g2.synth_image([PEAK], (-1, 20), 5)
    with pytest.raises(TypeError, match="shape"):
        g2.synth_image([PEAK], (20.0, 20), 5)
    with pytest.raises(TypeError, match="shape"):
        g2.synth_image([PEAK], 20, 5)


def test_bad_images_to_accumulate_into():
    with pytest.raises(TypeError, match="im"):
        g2.synth_image([PEAK], (20, 20), 5, im=np.zeros((20, 20), dtype=np.float32))
    with pytest.raises(TypeError, match="im"):
        g2.synth_image([PEAK], (20, 20), 5, im=[[0.0] * 20] * 20)
    with pytest.raises(ValueError, match="im"):
        g2.synth_image([PEAK], (20, 20), 5, im=np.zeros((20, 21)))
    with pytest.raises(ValueError, match="im"):
        g2.synth_image([PEAK], (20, 20), 5, im=np.zeros((20, 40))[:, ::2])
    frozen = np.zeros((20, 20))
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="im"):
        g2.synth_image([PEAK], (20, 20), 5, im=frozen)


def test_validate_im():
    im = np.ones((6, 9))
    im[0, 0] = np.inf
    im[2, 3] = -np.inf
    assert g2.validate_im(im) is True
    im[5, 8] = np.nan
    assert g2.validate_im(im) is False
    assert g2.validate_im(np.zeros((0, 4))) is True
    assert g2.validate_im(np.ones((6, 9))[:, ::2]) is True  # copied to contiguous
    with pytest.raises(ValueError, match="im"):
        g2.validate_im(np.ones(5))
    with pytest.raises(TypeError, match="im"):
        g2.validate_im(np.ones((2, 2), dtype=complex))


def test_stop_reason_lookup_and_table_through_ctypes():
    # The prototype and the exported table as the host reaches them; which
    # code reads which text is the C++ tests' (test_diagnostics).
    info = np.zeros(10)
    info[6] = 3.0
    assert _lib.lib.get_dlevmar_stop_reason_from_info(info) == b"stopped by itmax"
    assert _lib.dlevmar_stop_reasons[7].startswith(b"stopped by invalid")
    assert len(_lib.dlevmar_stop_reasons) == 8


def test_synth_renders_is_the_librarys_placement_rule():
    # Random positions, and the edges: each side of a half-integer corner,
    # the last patch that fits on the right and below, the image's edges,
    # negative zero, non-finite and huge values; odd and even sides.
    rng = np.random.default_rng(12)
    h, w = 17, 23
    edges = [-1.0, -0.0, 0.0, 1e-300, 0.5, np.nextafter(0.5, 0), 1.5, np.nextafter(1.5, 2)]
    for mea in (1, 2, 3, 4, 5, 7, 11, 16):
        for side in (w, h):
            for k in range(-3, 4):
                edge = side - mea * 0.5 - 0.5 + k * 0.5
                edges += [edge, np.nextafter(edge, -np.inf), np.nextafter(edge, np.inf)]
    edges += [w - 1e-9, w, h, np.nan, np.inf, -np.inf, 2.0**52, 2.0**63, 1e300]
    xs = np.concatenate([rng.uniform(-2, w + 2, 400), edges, rng.choice(edges, 200)])
    ys = np.concatenate([rng.uniform(-2, h + 2, 400), rng.choice(edges, len(edges)), rng.choice(edges, 200)])
    peaks = np.zeros((len(xs), 7))
    peaks[:, 0], peaks[:, 1], peaks[:, 2], peaks[:, 3], peaks[:, 4], peaks[:, 6] = 100.0, 1, 1, xs, ys, 1.0
    for mea in (0, 1, 2, 3, 4, 5, 7, 11, 16):
        predicted = g2.synth_renders(peaks, (h, w), mea)
        rendered = np.array([g2.synth_image(p[None], (h, w), mea).any() for p in peaks])
        mismatch = np.flatnonzero(predicted != rendered)
        assert not len(mismatch), (mea, peaks[mismatch[:3], 3:5])
        if mea > 0:
            assert 0 < np.count_nonzero(predicted) < len(peaks)
