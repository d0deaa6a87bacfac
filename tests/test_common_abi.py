"""Tables, hash and float64 arrays as the host reaches them: records by value
through ctypes, their layout, a few operations and the no-copy views."""

import ctypes
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

from gauss2_fitter import common
from gauss2_fitter.common import F64Arr, HashRec, lib

ROOT = Path(__file__).resolve().parent.parent


def words(record):
    """The record's raw bytes as 64-bit words, independent of ctypes' field names."""
    return np.frombuffer(bytes(record), dtype=np.uint64).tolist()


def test_the_mirrors_layouts_are_those_the_header_compiles_to(tmp_path):
    # The ctypes records are checked against LAYOUTS when the package is
    # imported; here LAYOUTS against c_common.h, as a C compiler lays it out.
    cc = shutil.which("cc") or shutil.which("gcc") or pytest.skip("no C compiler")
    lines = []
    for cls, (_, offsets) in common.LAYOUTS.items():
        name = cls.__name__
        lines.append(f'printf("{name} %zu\\n", sizeof({name}));')
        lines += [f'printf("{name}.{f} %zu\\n", offsetof({name}, {f}));' for f in offsets]
    (tmp_path / "layouts.c").write_text('#include <stddef.h>\n#include <stdio.h>\n#include "c_common.h"\n'
                                        "int main(void) {\n" + "\n".join(lines) + "\nreturn 0;\n}\n")
    subprocess.run([cc, "-std=c11", "-I", str(ROOT / "tools" / "c_common"), "-o", str(tmp_path / "layouts"),
                    str(tmp_path / "layouts.c")], check=True)
    printed = dict(line.split() for line in subprocess.run([tmp_path / "layouts"], capture_output=True, text=True,
                                                           check=True).stdout.splitlines())
    for cls, (size, offsets) in common.LAYOUTS.items():
        assert int(printed[cls.__name__]) == size, cls.__name__
        assert {f: int(printed[f"{cls.__name__}.{f}"]) for f in offsets} == offsets, cls.__name__


def test_tab_comes_back_by_value_field_for_field():
    buf = np.full(12, 7.0)
    tab = lib.tab_by_arr(buf.ctypes.data, 4, 3, 8, 0x100)
    assert words(tab) == [buf.ctypes.data, 24, 4, 4, 0, 0, 0x100 | common.TAB_FLAGS_ARRAY]
    grow = lib.tab_by_size(buf.ctypes.data, 96, 12, common.TAB_FLAGS_GROWABLE)
    assert words(grow) == [buf.ctypes.data, 12, 8, 0, 0, 0, 2]
    assert not buf.any()  # a growable table starts over zeroed memory
    sub = lib._tab_subset(ctypes.byref(tab), 1, 2, b"host.py", 3)
    assert words(sub) == [buf.ctypes.data + 24, 24, 2, 2, 0, 0, tab.flags]


def test_growable_table_through_the_binding_and_its_view():
    tab = lib.tab_malloc_by_n_rows(3, 16, common.TAB_FLAGS_GROWABLE)
    assert tab.base and tab.n_rows == 0 and tab.n_max_rows == 3
    for i, row in enumerate(([1.0, 2.0], [3.0, 4.0])):
        src = np.array(row)
        assert lib._tab_add(ctypes.byref(tab), src.ctypes.data, None, b"host.py", 10) == i
    assert tab.n_rows == 2
    rows = common.tab_view(tab)
    np.testing.assert_array_equal(rows, [[1.0, 2.0], [3.0, 4.0]])
    assert common.tab_view(tab, all_rows=True).shape == (3, 2)
    # The view is the table's memory: a write through it is what _tab_get sees.
    rows[1, 0] = 9.5
    assert lib._tab_get(ctypes.byref(tab), 1, 0, b"host.py", 11) == tab.base + 16
    assert ctypes.c_double.from_address(tab.base + 16).value == 9.5
    lib.tab_free(ctypes.byref(tab))
    assert tab.base is None and tab.n_rows == 2


def test_table_over_a_numpy_array_shares_it():
    a = np.arange(6.0).reshape(3, 2)
    tab = common.tab_of(a)
    assert (tab.n_rows, tab.n_bytes_per_row) == (3, 16)
    lib._tab_set(ctypes.byref(tab), 2, np.array([-1.0, -2.0]).ctypes.data, b"host.py", 20)
    np.testing.assert_array_equal(a[2], [-1.0, -2.0])
    assert np.shares_memory(common.tab_view(tab), a)
    with pytest.raises(TypeError):
        common.tab_of(np.zeros((2, 2), dtype=np.float32))
    with pytest.raises(ValueError):
        common.tab_of(np.zeros((2, 4))[:, ::2])
    with pytest.raises(ValueError):
        common.tab_view(lib.tab_by_size(None, 0, 12, 0))


def test_hash_by_value_finds_and_places_keys():
    recs = (HashRec * 8)()
    recs[3].key = 99
    h = lib.hash_init(recs, 8)
    assert words(h) == [ctypes.addressof(recs), 8, 0] and recs[3].key == 0
    slot = lib.hash_get(h, 10)
    assert ctypes.addressof(slot.contents) == ctypes.addressof(recs[2]) and slot.contents.key == 0
    slot.contents.key = 10
    assert ctypes.addressof(lib.hash_get(h, 18).contents) == ctypes.addressof(recs[3])
    assert ctypes.addressof(lib.hash_get(h, 10).contents) == ctypes.addressof(recs[2])
    full = (HashRec * 2)()
    hf = lib.hash_init(full, 2)
    full[0].key, full[1].key = 2, 4
    assert not lib.hash_get(hf, 6)  # null: absent and no room


def test_f64arr_records_by_value_and_element_addresses():
    a = np.arange(120.0).reshape(2, 3, 4, 5)
    arr = common.f64arr_of(a)
    assert words(arr) == [a.ctypes.data, 4, 2, 3, 4, 5, 60, 20, 5, 1]
    ref = ctypes.byref(arr)
    assert lib.f64arr_ptr4(ref, 1, 2, 3, 4).contents.value == a[1, 2, 3, 4]
    assert lib.f64arr_ptr3(ref, 1, 2, 3).contents.value == a[1, 2, 3, 0]
    assert lib.f64arr_ptr1(ref, 1).contents.value == 60.0
    sub = lib.f64arr_subset(ref, 1)
    assert words(sub) == [a.ctypes.data + 480, 3, 3, 4, 5, 0, 20, 5, 1, 0]
    view = common.f64arr_view(sub)
    assert np.shares_memory(view, a)
    np.testing.assert_array_equal(view, a[1])


def test_f64arr_malloc_zeroed_and_empty():
    shape = (ctypes.c_uint64 * 2)(2, 3)
    arr = lib.f64arr_malloc(2, shape)
    view = common.f64arr_view(arr)
    assert view.shape == (2, 3) and not view.any()
    view[1, 2] = 4.0
    assert lib.f64arr_ptr2(ctypes.byref(arr), 1, 2).contents.value == 4.0
    lib.f64arr_free(ctypes.byref(arr))
    empty = lib.f64arr_malloc(2, (ctypes.c_uint64 * 2)(0, 3))
    assert empty.base and common.f64arr_view(empty).shape == (0, 3)
    lib.f64arr_free(ctypes.byref(empty))
    with pytest.raises(ValueError):
        common.f64arr_view(F64Arr())
    with pytest.raises(ValueError):
        common.f64arr_of(np.zeros((1,) * 5))


def test_self_test_and_dumps_from_a_host_process(run_host):
    r = run_host("""
        lib = common.lib
        lib.tab_tests()
        buf = np.zeros(8)
        tab = lib.tab_by_n_rows(buf.ctypes.data, 5, 12, common.TAB_FLAGS_GROWABLE)
        lib.tab_dump(ctypes.byref(tab), b"t")
        recs = (common.HashRec * 2)()
        lib.hash_dump(lib.hash_init(recs, 2))
    """)
    assert r.returncode == 0 and r.stderr == b""
    lines = r.stdout.decode().splitlines()
    assert lines[0] == "table t:" and lines[1].startswith("  base=0x")
    assert lines[2:] == ["  n_bytes_per_row=12", "  n_max_rows=5", "  n_rows=0", "  flags=2",
                         "00000000: 0000000000000000 (nil)", "00000001: 0000000000000000 (nil)"]


# A broken contract, called through the binding (the caller's position and a
# record by value), ends the host process with the library's message; the
# messages of every contract are the C++ tests' (test_tables, test_hash,
# test_arrays).
@pytest.mark.parametrize("code, message", [
    ("tab = lib.tab_by_n_rows(None, 0, 8, 2)\nlib._tab_get(ctypes.byref(tab), 0, 0, b'host.py', 7)",
     "tab_get outside bounds @host.py:7 requested=0 n_rows=0 n_bytes_per_row=8"),
    ("lib.hash_get(common.Hash(), 0)", "Invalid hashkey"),
])
def test_broken_contracts_end_the_host_process(run_host, code, message):
    r = run_host("lib = common.lib\n" + code)
    assert r.returncode == 1
    assert r.stderr.decode() == message + "\n"
