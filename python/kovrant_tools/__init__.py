"""Command-line and plotting helpers around the kovrant extension module."""

from kovrant_tools.batch import fit_many
