"""python -m kovrant_tools: the same as the `kovrant` command."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
