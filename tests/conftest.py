import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "python"))

HOST_PRELUDE = "import ctypes, numpy as np\nimport gauss2_fitter as g2\nfrom gauss2_fitter import common\n"


@pytest.fixture
def run_host():
    """Runs code in a fresh interpreter with the binding imported (as g2 and
    common, numpy as np): for calls that end the host process."""

    def run(code):
        env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
        return subprocess.run([sys.executable, "-c", HOST_PRELUDE + textwrap.dedent(code)], capture_output=True,
                              env=env)

    return run
