"""Command-line and plotting helpers around the kovrant extension module."""
