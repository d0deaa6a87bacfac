"""Agreement with the reference fits in tests/data/golden (see its README).

The last iterations of a fit are driven by rounding, so iteration counts may
differ; failure flags, patch results and fitted values may not, beyond the
few peaks whose fit ends right at the 75-iteration limit on one side."""

from pathlib import Path

import numpy as np
import pytest

import gauss2_fitter as g2

GOLDEN = Path(__file__).resolve().parent / "data" / "golden"
# Named, not globbed: a missing file fails its tests instead of vanishing from them.
FILES = [GOLDEN / f"{name}.npz" for name in ("bright_mea11", "dim_mea11", "edges_nans_skips_mea9")]
ITMAX = 75


def relative(a, b):
    """Relative difference, absolute for reference values below 1e-3."""
    return np.abs(a - b) / np.maximum(np.abs(b), 1e-3)


def run_batch(d):
    im = np.ascontiguousarray(d["im"])
    h, w = im.shape
    n = len(d["center_x"])
    params = d["params_in"].copy()
    std = np.full((n, 10), -7.0)
    fails = np.full(n, -5, dtype=np.int64)
    cx, cy = d["center_x"].copy(), d["center_y"].copy()
    assert g2.lib.fit_array_of_gauss_2d_on_float_image(im, w, h, int(d["mea"]), n, cx, cy, params, std, fails) == 0
    return params, std, fails


def run_patches(d):
    n = len(d["center_x"])
    results = np.full(n, -99)
    infos = np.full((n, 10), np.nan)
    for i in range(n):
        if d["center_x"][i] < 0:
            continue
        fit = g2.fit_patch(d["im"], d["center_x"][i], d["center_y"][i], int(d["mea"]), d["params_in"][i, :7])
        results[i], infos[i] = fit.result, fit.info
    return results, infos


@pytest.fixture(scope="module", params=FILES, ids=[f.stem for f in FILES])
def golden(request):
    d = dict(np.load(request.param))
    params, std, fails = run_batch(d)
    results, infos = run_patches(d)
    return d, params, std, fails, results, infos


def test_flags_and_results_agree(golden):
    d, _, _, fails, results, infos = golden
    ref_fails, ref_info = d["fails_out"], d["patch_info"]
    assert np.array_equal(results, d["patch_ret"])
    differ = np.flatnonzero(fails != ref_fails)
    assert len(differ) <= 0.0075 * len(fails)
    # Any disagreement is a fit that one side ended at the iteration limit and
    # the other converged within the last few iterations before it.
    for i in differ:
        ours, ref = infos[i], ref_info[i]
        assert {ours[6], ref[6]} == {2.0, 3.0}, i
        assert min(ours[5], ref[5]) >= ITMAX - 5, i


def test_fitted_values_agree(golden):
    d, params, std, fails, _, _ = golden
    both = (fails == 0) & (d["fails_out"] == 0)
    assert both.sum() > 0.5 * len(fails)
    cols = [0, 1, 2, 3, 4, 5, 6, 8]  # seven parameters and the noise
    assert relative(params[both][:, cols], d["params_out"][both][:, cols]).max() < 1e-5
    assert relative(std[both][:, :7], d["std_params_out"][both][:, :7]).max() < 1e-4


def test_caller_elements_and_skipped_peaks_untouched(golden):
    d, params, std, fails, _, _ = golden
    assert np.array_equal(params[:, [7, 9]], d["params_in"][:, [7, 9]])
    assert np.all(std[:, 7:] == -7.0)
    skipped = (d["center_x"] < 0) | (d["center_y"] < 0)
    assert np.all(fails[skipped] == 1)
    assert np.array_equal(params[skipped], d["params_in"][skipped])
    assert np.all(std[skipped] == -7.0)


def test_flagged_peaks_without_a_fit_have_nan_errors(golden):
    d, _, std, _, results, _ = golden
    no_fit = (results == -2) | (results == -99)
    no_fit &= d["center_x"] >= 0
    assert np.all(np.isnan(std[no_fit][:, :7]))


def test_threads_give_bit_identical_results(golden):
    d = golden[0]
    cx, cy, mea = d["center_x"], d["center_y"], int(d["mea"])
    one = g2.fit_peaks(d["im"], cx, cy, mea, d["params_in"], n_threads=1)
    four = g2.fit_peaks(d["im"], cx, cy, mea, d["params_in"], n_threads=4)
    for a, b in zip(one, four):
        assert a.tobytes() == b.tobytes()


def test_flags_agree_on_all_files_together():
    same = total = 0
    for f in FILES:
        d = dict(np.load(f))
        _, _, fails = run_batch(d)
        same += int((fails == d["fails_out"]).sum())
        total += len(fails)
    assert same >= 0.998 * total, f"{same} of {total}"
