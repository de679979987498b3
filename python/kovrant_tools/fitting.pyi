from collections.abc import Iterable, Mapping
from typing import Any, SupportsFloat

import numpy as np
import numpy.typing as npt

import kovrant

from .report import FitReport

# A (frequencies, impedances) pair, a battery-data table, or an object with .frequencies and .impedances.
Spectrum = Any
CircuitLike = str | kovrant.Circuit

def fit(
    circuit: CircuitLike,
    spectrum: Spectrum,
    fixed: Mapping[str, SupportsFloat] | Iterable[str] | None = None,
    bounds: Mapping[str, tuple[SupportsFloat, SupportsFloat]] | None = None,
    start: Mapping[str, SupportsFloat] | None = None,
    method: str = "levenberg_marquardt",
    weight: str = "modulus",
    **settings: Any,
) -> FitReport: ...
def as_circuit(circuit: CircuitLike) -> kovrant.Circuit: ...
def as_arrays(spectrum: Spectrum) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]: ...
