"""The `kovrant` command: one subcommand per commands_<name> module."""
from __future__ import annotations

import argparse
import sys
import warnings

from . import commands_drt, commands_fit, commands_series, commands_validate

COMMANDS = (commands_validate, commands_fit, commands_drt, commands_series)


def main(argv: list[str] | None = None) -> int:
    """Runs one subcommand; returns the exit status (2 for user errors)."""
    parser = argparse.ArgumentParser(prog="kovrant", description="Impedance spectra: validate, fit, rank and plot circuits.")
    subparsers = parser.add_subparsers(dest="command", required=True)
    for command in COMMANDS:
        command.add_parser(subparsers)
    args = parser.parse_args(argv)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            status = args.run(args)
        except (ValueError, OSError, ImportError) as error:
            print(f"kovrant: error: {_one_line(error)}", file=sys.stderr)
            status = 2
    for warning in caught:
        print(f"kovrant: warning: {_one_line(warning.message)}", file=sys.stderr)
    return status


def _one_line(message):
    return " ".join(str(message).split("\n")[0].split())
