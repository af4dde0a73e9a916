"""`python -m oculane`: the oculane command line."""

import sys

from .cli import main

sys.exit(main())
