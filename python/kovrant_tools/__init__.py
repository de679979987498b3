"""Reading, validating, fitting, ranking and plotting impedance spectra around the kovrant extension module."""

from .batch import fit_many
from .fitting import fit
from .plots import plot_fit, plot_spectra
from .ranking import rank_circuits
from .readers import read_spectra, read_spectrum
from .report import FitReport
from .series import SeriesReport, fit_series
from .spectrum import Spectrum
from .validation import kramers_kronig

__all__ = ["FitReport", "SeriesReport", "Spectrum", "fit", "fit_many", "kramers_kronig", "plot_fit", "plot_spectra",
           "fit_series", "rank_circuits", "read_spectra", "read_spectrum"]
