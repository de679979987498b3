from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

import kovrant

CORRELATION_LIMIT: float
CONFIDENCE: float
CURVE_POINTS_PER_DECADE: int

@dataclass(frozen=True)
class FitReport:
    circuit: str | None
    names: list[str]
    units: list[str]
    params: dict[str, float]
    stderr: dict[str, float]
    fixed: frozenset[str]
    bounds: dict[str, tuple[float, float]]
    confidence_intervals: dict[str, tuple[float, float]]
    correlation: npt.NDArray[np.float64]
    chi_square: float
    reduced_chi_square: float
    aic: float
    bic: float
    dof: int
    success: bool
    iterations: int
    impedance_evals: int
    method: str
    weight: str
    frequencies: npt.NDArray[np.float64]
    impedances: npt.NDArray[np.complex128]
    model_impedances: npt.NDArray[np.complex128]
    residuals: npt.NDArray[np.complex128]
    model_frequencies: npt.NDArray[np.float64]
    model_curve: npt.NDArray[np.complex128]
    warnings: list[str] = ...
    @property
    def free(self) -> list[str]: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_json(self, indent: int | None = 2) -> str: ...
    def to_frame(self) -> Any: ...

def build_report(
    circuit: kovrant.Circuit,
    notation: str | None,
    frequencies: npt.NDArray[np.float64],
    impedances: npt.NDArray[np.complex128],
    values: Any,
    fixed: frozenset[str],
    bounds: dict[str, tuple[float, float]],
    *,
    chi_square: float,
    success: bool,
    iterations: int,
    impedance_evals: int,
    method: str,
    weight: str,
) -> FitReport: ...
def student_t_quantile(probability: float, dof: int) -> float: ...
