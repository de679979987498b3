"""Command-line and plotting helpers around the kovrant extension module."""

from .readers import read_spectra, read_spectrum
from .spectrum import Spectrum
from .validation import kramers_kronig
