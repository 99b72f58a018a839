"""python -m korvex_computer: the command line (see korvex_computer.cli)."""

import sys

from korvex_computer.cli import main

if __name__ == "__main__":
    sys.exit(main())
