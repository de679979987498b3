"""Command-line, analysis and plotting helpers around the kovrant extension module."""

from .fitting import fit
from .plots import plot_fit, plot_spectra
from .ranking import rank_circuits
from .report import FitReport

__all__ = ["FitReport", "fit", "plot_fit", "plot_spectra", "rank_circuits"]
