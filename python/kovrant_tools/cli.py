"""The `kovrant` command: one subcommand per commands_<name> module."""
from __future__ import annotations

import argparse
import sys

from . import commands_fit

COMMANDS = (commands_fit,)


def main(argv: list[str] | None = None) -> int:
    """Runs one subcommand; returns the exit status (2 for user errors)."""
    parser = argparse.ArgumentParser(prog="kovrant", description="Impedance spectra: fit, rank and plot circuits.")
    subparsers = parser.add_subparsers(dest="command", required=True)
    for command in COMMANDS:
        command.add_parser(subparsers)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (ValueError, OSError) as error:
        message = " ".join(str(error).split("\n")[0].split())
        print(f"kovrant: error: {message}", file=sys.stderr)
        return 2
