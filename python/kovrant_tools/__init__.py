"""Reading, validating, fitting, ranking and plotting impedance spectra around the kovrant extension module.

Conventions shared by every function here:

- Data first, then the model, then options, which are keyword-only:
  ``fit(spectrum, circuit, *, ...)``, ``fit_many(spectra, circuit, *, ...)``,
  ``rank_circuits(spectrum, circuits=None, *, ...)``.
- A spectrum is anything `SpectrumLike`: a ``(frequencies, impedances)`` pair,
  a table (dict, DataFrame) with battery-data columns, or an object with
  ``.frequencies`` and ``.impedances`` such as `Spectrum`.
- One result vocabulary: ``params``, ``stderr``, ``chi_square``, ``cost``,
  ``success``, ``termination``, ``iterations``, ``impedance_evals``,
  ``circuit`` (a fitted ``kovrant.Circuit``), ``notation``, ``covariance``,
  ``start`` and ``warnings`` mean the same in `FitReport`, in the frames of
  `fit_many` and in every other result.
- Optional packages (matplotlib, pandas, pyarrow, tqdm, dask, galvani) are
  needed only by the functions that use them, which say so before starting.
"""
from importlib.metadata import PackageNotFoundError, version

from . import _engine_loader

_engine = _engine_loader.load_engine()

from .batch import fit_many  # noqa: E402
from .drt import DrtResult, drt  # noqa: E402
from .drt_batch import DrtSeries, drt_many  # noqa: E402
from .fitting import fit  # noqa: E402
from .plots import plot_fit, plot_spectra  # noqa: E402
from .ranking import rank_circuits  # noqa: E402
from .readers import read_spectra, read_spectrum  # noqa: E402
from .report import FitReport  # noqa: E402
from .series import SeriesReport, fit_series  # noqa: E402
from .spectrum import Spectrum, SpectrumLike  # noqa: E402
from .validation import kramers_kronig  # noqa: E402

try:
    __version__ = version("kovrant")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["DrtResult", "DrtSeries", "FitReport", "SeriesReport", "Spectrum", "SpectrumLike", "__version__", "drt",
           "drt_many", "fit", "fit_many", "fit_series", "kramers_kronig", "plot_fit", "plot_spectra", "rank_circuits",
           "read_spectra", "read_spectrum"]
