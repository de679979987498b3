from collections.abc import Sequence
from typing import Any

from .fitting import _CircuitLike, _Spectrum
from .report import FitReport

CRITERIA: tuple[str, ...]

def rank_circuits(
    spectrum: _Spectrum, circuits: Sequence[_CircuitLike] | None = None, criterion: str = "aic", **settings: Any
) -> list[tuple[str, FitReport]]: ...
