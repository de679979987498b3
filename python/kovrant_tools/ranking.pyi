from collections.abc import Sequence
from typing import Any

from .fitting import CircuitLike, Spectrum
from .report import FitReport

CRITERIA: tuple[str, ...]

def rank_circuits(
    spectrum: Spectrum, circuits: Sequence[CircuitLike] | None = None, criterion: str = "aic", **settings: Any
) -> list[tuple[str, FitReport]]: ...
