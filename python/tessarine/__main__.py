"""``python -m tessarine``: the command-line tool (see tessarine.cli)."""

import sys

from tessarine.cli import main

if __name__ == "__main__":
    sys.exit(main())
