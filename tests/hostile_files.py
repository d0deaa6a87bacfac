"""Table files that other programs (or an attacker) made: the readers'
tests (test_movies.py) and the tool's (test_cli.py) refuse each."""

import h5py
import numpy as np

from gauss2_fitter.formats import PICASSO_DTYPE


def hostile_tables(d):
    """(name, HDF5 file, words of its FormatError): tables whose dataset or
    YAML another program (or an attacker) made."""
    good = np.zeros(3, PICASSO_DTYPE)
    good["x"], good["y"], good["lpx"], good["lpy"] = [3, 4, 5], 3, 0.1, 0.1

    def fields(**cols):
        types = [(k, "f4" if isinstance(v, float) else "i4") for k, v in cols.items()]
        return np.array([tuple(cols.values())], dtype=types)

    datasets = {
        "group": (lambda f: f.create_group("locs"), "'locs' is a group, not a dataset"),
        "text x": (lambda f: f.create_dataset("locs", data=np.array([(b"a", 1.0)], dtype=[("x", "S4"), ("y", "f4")])),
                   "field x holds |S4, not numbers"),
        "2-D": (lambda f: f.create_dataset("locs", data=np.zeros((2, 3), good.dtype)), "one-dimensional .* \\(2, 3\\)"),
        "flag 256": (lambda f: f.create_dataset("locs", data=fields(x=1.0, y=1.0, flag=256)), "row 0 .*: flag = 256"),
        "flag NaN": (lambda f: f.create_dataset("locs", data=fields(x=1.0, y=1.0, flag=np.nan)), "flag = NaN"),
        "flag 0.5": (lambda f: f.create_dataset("locs", data=fields(x=1.0, y=1.0, flag=0.5)), "flag = 0.5"),
        "frame NaN": (lambda f: f.create_dataset("locs", data=fields(x=1.0, y=1.0, frame=np.nan)), "frame = NaN"),
        "frame 2.7": (lambda f: f.create_dataset("locs", data=fields(x=1.0, y=1.0, frame=2.7)), "frame = 2.7"),
        # A few KB declaring gigabytes of fill values, compressed or not.
        "rows not stored": (lambda f: f.create_dataset("locs", shape=(50_000_000,), dtype=good.dtype),
                            "declares 50000000 rows .* holds 0 bytes"),
        "rows not stored, compressed": (lambda f: f.create_dataset("locs", shape=(50_000_000,), dtype=good.dtype,
                                                                   chunks=(16384,), compression="gzip"),
                                        "declares 50000000 rows"),
    }
    yamls = {
        "Height abc": (b"Height: abc\nWidth: 10\n", "Height = 'abc'; it must be a whole number"),
        "Height a list": (b"Height: [1, 2]\nWidth: 3\n", "Height = a list"),
        "Width .inf": (b"Height: 3\nWidth: .inf\n", "Width = inf"),
        "Height 0 beside a Width": (b"Height: 0\nWidth: 10\n", "Height = 0"),  # both 0: size unknown
        "Pixelsize text": (b"Pixelsize: abc\n", "Pixelsize = 'abc'; it must be a positive finite number"),
        "Pixelsize negative": (b"Pixelsize: -100\n", "Pixelsize = -100"),
        "Pixelsize NaN": (b"Pixelsize: .nan\n", "Pixelsize = nan"),
        "Pixelsize .inf": (b"Pixelsize: .inf\n", "Pixelsize = inf"),
        "Estimator a map": (b"Estimator: {a: 1}\n", "Estimator is a dict"),
        "alias bomb": (b"a: &a [x, x, x, x, x, x, x, x, x]\nb: &b [*a, *a, *a, *a, *a, *a, *a, *a, *a]\n"
                       b"c: &c [*b, *b, *b, *b, *b, *b, *b, *b, *b]\nPixelsize: *c\n", "aliases"),
        "Latin-1": ("Pixelsize: 100\nFile: caf\xe9.tif\n".encode("latin-1"), "not UTF-8 text"),
        "not YAML": (b"Height: [1, 2\n", "not readable YAML"),
        "a megabyte": (b"#" * (1 << 20) + b"\nPixelsize: 1\n", "more than a table's YAML holds"),
    }
    cases = []
    for name, (build, words) in datasets.items():
        with h5py.File(d / f"{len(cases)}.hdf5", "w") as f:
            build(f)
        cases.append((name, d / f"{len(cases)}.hdf5", words))
    for name, (text, words) in yamls.items():
        with h5py.File(d / f"{len(cases)}.hdf5", "w") as f:
            f["locs"] = good
        (d / f"{len(cases)}.yaml").write_bytes(text)
        cases.append((name, d / f"{len(cases)}.hdf5", words))
    return cases
