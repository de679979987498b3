from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

FREQUENCY_COLUMNS: tuple[str, str]
REAL_COLUMNS: tuple[str, str]
IMAGINARY_COLUMNS: tuple[str, str]
MODULUS_COLUMNS: tuple[str, str]
PHASE_COLUMNS: tuple[str, str]

class Spectrum:
    frequencies: npt.NDArray[np.float64]
    impedances: npt.NDArray[np.complex128]
    metadata: dict[str, Any]
    def __init__(self, frequencies: npt.ArrayLike, impedances: npt.ArrayLike,
                 metadata: Mapping[str, Any] | None = ...) -> None: ...
    @classmethod
    def from_frame(cls, frame: Any, metadata: Mapping[str, Any] | None = ...) -> Spectrum: ...
    def replace(self, frequencies: npt.ArrayLike, impedances: npt.ArrayLike, **metadata_updates: Any) -> Spectrum: ...
    def __len__(self) -> int: ...
    def __getitem__(self, name: str) -> npt.NDArray[np.float64]: ...
    def to_frame(self) -> Any: ...

def frame_columns(frame: Any) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]: ...
def as_arrays(spectrum: Any) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]: ...
