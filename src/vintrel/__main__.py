"""``python -m vintrel serve module:app``: see ``python -m vintrel serve --help``."""

import sys

from .server._cli import main

if __name__ == "__main__":
    sys.exit(main())
