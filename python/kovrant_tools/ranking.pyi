from collections.abc import Sequence
from typing import Any

from .fitting import _CircuitLike, _Spectrum
from .report import FitReport

CRITERIA: tuple[str, ...]
SHORTLIST_MARGIN: float
FITS_AS_WELL: float

def rank_circuits(
    spectrum: _Spectrum,
    circuits: Sequence[_CircuitLike] | None = None,
    *,
    criterion: str = "aic",
    strategy: str = "thorough",
    shortlist: int = 3,
    equivalents: bool = True,
    **settings: Any,
) -> list[tuple[str, FitReport]]: ...
def undetermined(report: FitReport) -> list[str]: ...
