"""python3 -m gauss2_fitter: the command-line tool (see cli.py)."""

import sys

from .cli import main

sys.exit(main())
