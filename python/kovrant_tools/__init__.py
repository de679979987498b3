"""Reading, validating, fitting, ranking and plotting impedance spectra around the kovrant extension module."""

from .batch import fit_many
from .drt import DrtResult, drt
from .drt_batch import DrtSeries, drt_many
from .fitting import fit
from .plots import plot_fit, plot_spectra
from .ranking import rank_circuits
from .readers import read_spectra, read_spectrum
from .report import FitReport
from .spectrum import Spectrum
from .validation import kramers_kronig

__all__ = ["DrtResult", "DrtSeries", "FitReport", "Spectrum", "drt", "drt_many", "fit", "fit_many", "kramers_kronig",
           "plot_fit", "plot_spectra", "rank_circuits", "read_spectra", "read_spectrum"]
