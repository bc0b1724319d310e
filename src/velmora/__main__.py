"""``python -m velmora``: the command line interface of :mod:`velmora.cli`."""

import sys

from velmora.cli import main

if __name__ == "__main__":
    sys.exit(main())
