from collections.abc import Iterable, Mapping
from typing import Any, SupportsFloat

import numpy as np
import numpy.typing as npt

import kovrant

from .report import FitReport

# A (frequencies, impedances) pair, a battery-data table, or an object with .frequencies and .impedances.
_Spectrum = Any
_CircuitLike = str | kovrant.Circuit

def fit(
    circuit: _CircuitLike,
    spectrum: _Spectrum,
    fixed: Mapping[str, SupportsFloat] | Iterable[str] | None = None,
    bounds: Mapping[str, tuple[SupportsFloat, SupportsFloat]] | None = None,
    start: Mapping[str, SupportsFloat] | None = None,
    method: str = "levenberg_marquardt",
    weight: str = "modulus",
    **settings: Any,
) -> FitReport: ...
def as_circuit(circuit: _CircuitLike) -> kovrant.Circuit: ...
