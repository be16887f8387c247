"""python -m kelvara: the kelvara command."""

import sys

from kelvara.cli import main

sys.exit(main())
