from collections.abc import Sequence
from typing import Any

from .fitting import _Spectrum
from .report import FitReport

INSTALL_HINT: str

def plot_fit(report: FitReport, ax: Sequence[Any] | None = None) -> Any: ...
def plot_spectra(
    spectra: Sequence[_Spectrum],
    values: Sequence[float] | None = None,
    label: str = "spectrum",
    cmap: str = "viridis",
    ax: Sequence[Any] | None = None,
) -> Any: ...
