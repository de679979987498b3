from os import PathLike
from typing import Any

import numpy as np
import numpy.typing as npt

class KramersKronigResult:
    frequencies: npt.NDArray[np.float64]
    impedances: npt.NDArray[np.complex128]
    fitted: npt.NDArray[np.complex128]
    residuals_real: npt.NDArray[np.float64]
    residuals_imag: npt.NDArray[np.float64]
    pseudo_chi_square: float
    n_elements: int
    mu: float
    time_constants: npt.NDArray[np.float64]
    resistances: npt.NDArray[np.float64]
    series_resistance: float
    capacitance: float | None
    inductance: float | None
    threshold: float
    flagged: npt.NDArray[np.bool_]
    @property
    def rms(self) -> float: ...
    @property
    def passed(self) -> bool: ...
    @property
    def verdict(self) -> str: ...

def kramers_kronig(spectrum: Any, *, capacitance: bool = ..., inductance: bool = ..., mu_limit: float = ...,
                   max_elements: int | None = ..., threshold: float = ...) -> KramersKronigResult: ...
def residual_plot(result: KramersKronigResult, path: str | PathLike[str], title: str | None = ...) -> None: ...
