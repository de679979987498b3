from collections.abc import Iterable, Mapping, Sequence
from os import PathLike
from typing import Any

import pandas as pd

import kovrant

SPECTRUM_ERRORS: tuple[type[BaseException], ...]
OUTCOME_COLUMNS: tuple[str, ...]
STDERR_SUFFIX: str
DEFAULT_CHUNK_SIZE: int
CHECKPOINT_INTERVAL: float
POLL_INTERVAL: float

class FitManyInterrupted(KeyboardInterrupt):
    results: pd.DataFrame
    def __init__(self, results: pd.DataFrame) -> None: ...

def fit_many(
    spectra: Iterable[Any] | Mapping[Any, Any] | str | PathLike[str] | pd.DataFrame,
    circuit: kovrant.Circuit | str,
    *,
    by: str | Sequence[str] | None = None,
    threads: int | None = None,
    warm_start: bool = False,
    poor_fit: float = 1e-3,
    progress: bool | None = None,
    checkpoint: str | PathLike[str] | None = None,
    client: Any = None,
    chunk_size: int = 32,
    fixed: Any = None,
    bounds: Any = None,
    **fit_options: Any,
) -> pd.DataFrame: ...
