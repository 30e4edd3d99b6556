"""``python -m zelk``: the demonstration, or ``fit FILE.csv --target COLUMN``."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
