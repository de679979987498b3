"""The `kovrant` console command: one subcommand per module in COMMAND_MODULES.

User errors (bad input files, bad values) print one line
`kovrant: error: ...` to stderr and exit with code 2, without a traceback.
"""

import argparse
import sys

from . import commands_validate

COMMAND_MODULES = (commands_validate,)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="kovrant", description="Impedance spectra: validate, fit and plot.")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for module in COMMAND_MODULES:
        module.add_parser(subparsers)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (ValueError, OSError, ImportError) as error:
        print(f"kovrant: error: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
