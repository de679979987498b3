"""The `kovrant` command: one subcommand per commands_<name> module.

A subcommand module has `add_parser(subparsers)`, which adds its parser and
sets `run` (args -> exit status) as its default; it is registered by adding
the module to COMMANDS. Exit status: 0 success, 1 a negative verdict (as the
subcommand defines it), 2 a user error.
"""
from __future__ import annotations

import argparse
import re
import sys
import warnings

from . import commands_drt, commands_fit, commands_series, commands_validate

COMMANDS = (commands_validate, commands_fit, commands_drt, commands_series)

# Warnings of the Python interface, told in the command's terms: (pattern of the message, CLI wording).
_CLI_WORDING = [
    (re.compile(r"There is no ML model to guess initial parameters for this circuit\..*"
                r"Models available for (?P<models>.*)", re.S),
     "there is no network to guess start values for this circuit, so the fit starts from the elements' "
     "default values; give start values with --start NAME=VALUE,... (networks exist for {models})"),
    (re.compile(r"No training data on this circuit\..*Starting from the catalogue values", re.S),
     "there is no network to guess start values for this circuit, so the fit starts from the elements' "
     "default values; give start values with --start NAME=VALUE,..."),
]


def _version():
    from . import __version__

    return __version__


def main(argv: list[str] | None = None) -> int:
    """Runs one subcommand; returns the exit status (2 for user errors)."""
    parser = argparse.ArgumentParser(prog="kovrant",
                                     description="Impedance spectra: validate, fit, rank and plot circuits.")
    parser.add_argument("--version", action="version", version=f"kovrant {_version()}")
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
            for note in getattr(error, "__notes__", ()):
                print(note, file=sys.stderr)
            status = 2
    for message in dict.fromkeys(_in_cli_terms(str(warning.message)) for warning in caught):
        print(f"kovrant: warning: {message}", file=sys.stderr)
    return status


def _in_cli_terms(message):
    for pattern, wording in _CLI_WORDING:
        found = pattern.match(message)
        if found:
            return wording.format(**found.groupdict())
    return _one_line(message)


def _one_line(message):
    return " ".join(str(message).split("\n")[0].split())
