"""The package's docstring examples run as doctests (`make test`): each in a
directory of its own, with numpy as np and the package as g2."""

import numpy as np
import pytest


@pytest.fixture(autouse=True)
def _doctest_setup(request, doctest_namespace, tmp_path, monkeypatch):
    import gauss2_fitter

    doctest_namespace["np"] = np
    doctest_namespace["g2"] = gauss2_fitter
    monkeypatch.chdir(tmp_path)  # examples that write files write them there
