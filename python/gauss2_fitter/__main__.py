"""python3 -m gauss2_fitter: the command-line tool (the package cli/)."""

import sys

from .cli import main

sys.exit(main())
