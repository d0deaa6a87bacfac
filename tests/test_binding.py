"""The library as the host sees it: exported symbols, prototypes, wrappers."""

import re
import subprocess
from pathlib import Path

import numpy as np
import pytest

import gauss2_fitter as g2
from gauss2_fitter import _lib

API_DIR = Path(__file__).resolve().parent / "api"
ROOT = Path(__file__).resolve().parent.parent


def expected_api():
    names = set()
    for f in API_DIR.glob("*.txt"):
        names |= {line.strip() for line in f.read_text().splitlines() if line.strip()}
    return names


def test_exports_exactly_the_api():
    out = subprocess.run(["nm", "-D", "--defined-only", g2.lib_path], capture_output=True, text=True, check=True)
    exported = {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}
    # AddressSanitizer adds an ODR indicator beside every exported datum.
    exported = {name for name in exported if not name.startswith("__odr_asan.")}
    assert exported == expected_api()


def test_every_exported_function_has_a_prototype():
    for name in expected_api():
        obj = getattr(g2.lib, name)
        if name in ("_log", "dlevmar_opts", "dlevmar_stop_reasons", "gauss2_mle_opts"):
            continue
        assert obj.argtypes is not None or name in ("now", "sanity_check", "tab_tests", "gauss2_check"), name
        assert obj.restype is not None or obj.argtypes is not None, name


def closed_form(p, mea):
    amp, sx, sy, px, py, rho, off = p
    j, i = np.meshgrid(np.arange(mea), np.arange(mea))
    dx, dy = j + 0.5 - px, i + 0.5 - py
    L = 1 - rho * rho
    z = (dx / sx) ** 2 - 2 * rho * dx * dy / (sx * sy) + (dy / sy) ** 2
    return amp / (2 * np.pi * sx * sy * np.sqrt(L)) * np.exp(-z / (2 * L)) + off


def test_gauss_2d_returns_rows_of_columns():
    # A spot off the diagonal, with unequal widths: a transposed or flipped
    # patch would not match. (Its accuracy is the C++ tests' concern.)
    for mea in (1, 5, 11):
        p = [800.0, 1.1, 1.9, 0.3 * mea, 0.7 * mea, 0.4, 5.0]
        got = g2.gauss_2d(p, mea)
        assert got.shape == (mea, mea) and got.dtype == np.float64
        np.testing.assert_allclose(got, closed_form(p, mea), rtol=1e-13)


def test_jac_gauss_2d_has_a_row_per_pixel_and_a_column_per_parameter():
    # The model is linear in amp and offset: their columns are the unit
    # model and ones, row k being pixel k of the patch in row-major order.
    # (The derivatives' values are the C++ tests' concern.)
    p = np.array([500.0, 1.2, 1.7, 5.2, 4.9, 0.3, 3.0])
    jac = g2.jac_gauss_2d(p, 11)
    assert jac.shape == (121, 7)
    assert np.all(jac[:, 6] == 1.0)
    unit = p.copy()
    unit[0], unit[6] = 1.0, 0.0
    np.testing.assert_allclose(jac[:, 0], g2.gauss_2d(unit, 11).ravel(), rtol=1e-12)


def test_accepts_lists_ints_and_strided_arrays():
    base = np.zeros(14)
    base[::2] = [100, 1, 1, 2, 2, 0, 1]
    np.testing.assert_array_equal(g2.gauss_2d(base[::2], 5), g2.gauss_2d([100, 1, 1, 2, 2, 0, 1], 5))
    assert g2.gauss_2d(np.array([100, 1, 1, 2, 2, 0, 1], dtype=np.int32), np.int64(5)).shape == (5, 5)


@pytest.mark.parametrize("fn", [g2.gauss_2d, g2.jac_gauss_2d])
def test_bad_arguments_raise_before_the_native_call(fn):
    with pytest.raises(ValueError, match="params"):
        fn([1.0, 2.0], 5)
    with pytest.raises(ValueError, match="params"):
        fn(np.zeros((7, 1)), 5)
    with pytest.raises(TypeError, match="params"):
        fn(["a"] * 7, 5)
    with pytest.raises(TypeError, match="params"):
        fn(np.zeros(7, dtype=complex), 5)
    with pytest.raises(TypeError, match="mea"):
        fn(np.zeros(7), 5.0)
    with pytest.raises(ValueError, match="mea"):
        fn(np.zeros(7), -1)


def test_zero_mea_gives_empty_arrays():
    assert g2.gauss_2d(np.ones(7), 0).shape == (0, 0)
    assert g2.jac_gauss_2d(np.ones(7), 0).shape == (0, 7)


def test_common_runtime_answers():
    assert g2.lib.sanity_check() == 0
    a = g2.lib.now()
    b = g2.lib.now()
    assert b >= a > 0


@pytest.mark.parametrize("call, message", [
    ("fit_gauss_2d_on_float_image(im, 30, 30, 15, 14, 2**32 + 1, p, info, covar, noise)",
     "Mea too large: 4294967297 (at most 63)"),
    ("fit_gauss_2d_on_float_image(im, 30, 30, 2**63 - 1, 14, 2**63 - 1, p, info, covar, noise)",
     "Mea too large: 9223372036854775807 (at most 63)"),
    ("synth_image(im, 30, 30, 2**40, 0, np.zeros((0, 7)))", "Mea too large: 1099511627776 (at most 63)"),
    ("fit_array_of_gauss_2d_on_float_image(im, 30, 30, 2**32 + 11, 2, np.array([-1, 15]), np.array([5, 14]),"
     " np.zeros((2, 10)), np.zeros((2, 10)), np.zeros(2, dtype=np.int64))", "Mea too large: 4294967307 (at most 63)"),
])
def test_raw_prototypes_pass_64_bit_values_intact(run_host, call, message):
    # Sides that 32 bits would turn into ones that fit reach the library as
    # they are: its checks see them and end the host process with their message.
    r = run_host(f"""
        im = np.full((30, 30), 100.0)
        p, info, covar, noise = np.zeros(7), np.zeros(10), np.zeros(49), np.zeros(1)
        g2.lib.{call}
        print("returned")
    """)
    assert r.returncode == 1, r.stderr
    assert r.stderr.decode() == message + "\n"
    assert r.stdout == b""


def header_defines(path):
    """The integer #define constants of a C header."""
    text = (ROOT / path).read_text()
    return {m[1]: int(m[2], 0) for m in re.finditer(r"#define\s+(\w+)\s+(?:UINT64_C\()?\(?(0x[0-9a-fA-F]+|\d+)", text)}


def test_the_mirror_of_the_headers_holds_their_constants():
    fitter_h = header_defines("run/sigproc_v2/c_gauss2_fitter/gauss2_fitter.h")
    common_h = header_defines("tools/c_common/c_common.h")
    assert _lib.GAUSS2_MAX_MEA == fitter_h["GAUSS2_MAX_MEA"]
    assert (_lib.TAB_FLAGS_GROWABLE, _lib.TAB_FLAGS_ARRAY) == (common_h["TAB_FLAGS_GROWABLE"],
                                                               common_h["TAB_FLAGS_ARRAY"])
    assert len(_lib.dlevmar_stop_reasons) == _lib.N_STOP_REASONS and len(_lib.dlevmar_opts) == _lib.N_DLEVMAR_OPTS
    peaks_h = (ROOT / "run/sigproc_v2/c_gauss2_fitter/gauss2_peaks.h").read_text()
    assert _lib.MAX_SMOOTH == float(re.search(r"#define\s+GAUSS2_MAX_SMOOTH\s+([0-9.]+)", peaks_h)[1])
    multi_h = header_defines("run/sigproc_v2/c_gauss2_fitter/gauss2_multi.h")
    assert (_lib.MULTI_MAX_EMITTERS, _lib.MULTI_MAX_MEA, _lib.MULTI_N_OPTS) == (
        multi_h["GAUSS2_MULTI_MAX_EMITTERS"], multi_h["GAUSS2_MULTI_MAX_MEA"], multi_h["GAUSS2_MULTI_N_OPTS"])
    # n_pixels = mea * mea is a C int.
    assert _lib.MODEL_MAX_MEA**2 <= 2**31 - 1 < (_lib.MODEL_MAX_MEA + 1) ** 2
    assert g2.gauss_2d([1, 1, 1, 0.5, 0.5, 0, 0], 1).shape == (1, 1)
    with pytest.raises(ValueError, match="at most 46340"):
        g2.gauss_2d([1, 1, 1, 0.5, 0.5, 0, 0], _lib.MODEL_MAX_MEA + 1)


def test_the_mirrors_sizes_are_what_the_library_writes():
    # Arrays one row or a few values longer than the mirror's sizes, filled
    # with a sentinel: the library writes up to each size and not beyond,
    # and the second peak's record starts RECORD_SIZE values in.
    spots = [[2000, 1.4, 1.2, 20.3, 15.6, 0.1, 0], [1500, 1.3, 1.5, 40.7, 22.2, 0.0, 0]]
    im = g2.synth_image(spots, (40, 60), 17) + 100.0
    sentinel = -7.0
    info, covar = np.full(_lib.INFO_SIZE + 3, sentinel), np.full(_lib.COVAR_SIZE + 3, sentinel)
    p, noise = g2.default_records(1, 11)[0, :7].copy(), np.zeros(1)
    assert _lib.lib.fit_gauss_2d_on_float_image(im, 60, 40, 20, 15, 11, p, info, covar, noise) == 0
    assert info[_lib.INFO_SIZE - 1] != sentinel and np.all(info[_lib.INFO_SIZE:] == sentinel)
    assert np.all(covar[:_lib.COVAR_SIZE] != sentinel) and np.all(covar[_lib.COVAR_SIZE:] == sentinel)
    rec, std = np.full((3, _lib.RECORD_SIZE), sentinel), np.full((3, _lib.RECORD_SIZE), sentinel)
    rec[:2] = g2.default_records(2, 11)
    flag = np.full(3, -1, dtype=np.int64)
    _lib.lib.fit_array_of_gauss_2d_on_float_image(im, 60, 40, 11, 2, np.array([20, 40]), np.array([15, 22]), rec,
                                                  std, flag)
    np.testing.assert_allclose(rec[:2, 3:5], [[5.3, 5.6], [5.7, 5.2]], atol=1e-6)
    assert flag.tolist() == [0, 0, -1]
    assert np.all(rec[2] == sentinel) and np.all(std[2] == sentinel)


def test_prototypes_are_declared_in_the_mirror_only():
    package = ROOT / "python" / "gauss2_fitter"
    sources = list(package.rglob("*.py"))
    assert package / "cli" / "fit.py" in sources
    for source in sources:
        if source.name != "_lib.py":
            text = source.read_text()
            assert "_declare(" not in text and ".argtypes" not in text and "in_dll(" not in text, source.name
