"""python -m kovrant_tools: the same as the `kovrant` command."""
import sys

from .cli import main

sys.exit(main())
