"""Type stubs for the kovrant extension module.

The element classes are named Element_<Kind> at run time and reached as
kovrant.<Kind> and Element.<Kind>; the stubs call them by the short name.
"""
from collections.abc import Mapping, Sequence
from typing import Any, ClassVar, SupportsComplex, SupportsFloat, TypeAlias, final

from typing_extensions import disjoint_base

import numpy as np
import numpy.typing as npt

# A battery-data table: a pandas DataFrame or any object with item access by column name.
_Frame = Any
_Floats = Sequence[SupportsFloat] | npt.NDArray[np.floating[Any]] | npt.NDArray[np.integer[Any]]
_Complexes = Sequence[SupportsComplex] | npt.NDArray[np.number[Any]]
_Part = Element | Circuit

@disjoint_base
class Element:
    """A single circuit element.

    These are Python subclasses taking its fields as arguments.
    They are combined with `Series()` and `Parallel()`."""
    R: ClassVar[type[_R]]
    C: ClassVar[type[_C]]
    L: ClassVar[type[_L]]
    La: ClassVar[type[_La]]
    Cpe: ClassVar[type[_Cpe]]
    W: ClassVar[type[_W]]
    Wo: ClassVar[type[_Wo]]
    Ws: ClassVar[type[_Ws]]
    G: ClassVar[type[_G]]
    Gs: ClassVar[type[_Gs]]
    K: ClassVar[type[_K]]
    Zarc: ClassVar[type[_Zarc]]
    Tlmq: ClassVar[type[_Tlmq]]
    T: ClassVar[type[_T]]

@final
class R(Element):
    __match_args__ = ("r",)
    def __new__(cls, r: float) -> R: ...
    @property
    def r(self) -> float: ...

@final
class C(Element):
    __match_args__ = ("c",)
    def __new__(cls, c: float) -> C: ...
    @property
    def c(self) -> float: ...

@final
class L(Element):
    __match_args__ = ("l",)
    def __new__(cls, l: float) -> L: ...
    @property
    def l(self) -> float: ...

@final
class La(Element):
    __match_args__ = ("l", "alpha")
    def __new__(cls, l: float, alpha: float) -> La: ...
    @property
    def l(self) -> float: ...
    @property
    def alpha(self) -> float: ...

@final
class Cpe(Element):
    __match_args__ = ("q", "alpha")
    def __new__(cls, q: float, alpha: float) -> Cpe: ...
    @property
    def q(self) -> float: ...
    @property
    def alpha(self) -> float: ...

@final
class W(Element):
    __match_args__ = ("aw",)
    def __new__(cls, aw: float) -> W: ...
    @property
    def aw(self) -> float: ...

@final
class Wo(Element):
    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: float, tau: float) -> Wo: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class Ws(Element):
    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: float, tau: float) -> Ws: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class G(Element):
    __match_args__ = ("rg", "tg")
    def __new__(cls, rg: float, tg: float) -> G: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...

@final
class Gs(Element):
    __match_args__ = ("rg", "tg", "phi")
    def __new__(cls, rg: float, tg: float, phi: float) -> Gs: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...
    @property
    def phi(self) -> float: ...

@final
class K(Element):
    __match_args__ = ("r", "tau_k")
    def __new__(cls, r: float, tau_k: float) -> K: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...

@final
class Zarc(Element):
    __match_args__ = ("r", "tau_k", "gamma")
    def __new__(cls, r: float, tau_k: float, gamma: float) -> Zarc: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class Tlmq(Element):
    __match_args__ = ("r_ion", "qs", "gamma")
    def __new__(cls, r_ion: float, qs: float, gamma: float) -> Tlmq: ...
    @property
    def r_ion(self) -> float: ...
    @property
    def qs(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class T(Element):
    __match_args__ = ("a", "b", "k_tau", "tau")
    def __new__(cls, a: float, b: float, k_tau: float, tau: float) -> T: ...
    @property
    def a(self) -> float: ...
    @property
    def b(self) -> float: ...
    @property
    def k_tau(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class Circuit:
    def __new__(cls, s: str) -> Circuit: ...
    def param_names(self) -> list[str]:
        """Parameter names, in the same order `with_values()` consumes and
        `with_named_values()` expects as keys."""
    def param_units(self) -> list[str]:
        """Physical units per parameter"""
    def param_values(self) -> list[float]:
        """Current parameter values, in `param_names()` order."""
    def param_bounds(self) -> list[tuple[float, float]]:
        """Default physical-validity `(lo, hi)` bounds per parameter, in
        `param_names()` order. `hi` is `inf` for open-bound parameters."""
    def with_values(self, values: _Floats) -> Circuit:
        """Rebuild this circuit with a new flat parameter vector, assigned
        positionally in `param_names()` order."""
    def with_named_values(self, values: Mapping[str, SupportsFloat]) -> Circuit:
        """Rebuild this circuit with parameter values looked up by name (see
        `param_names()`). Every name must be present and no unknown names
        may be supplied."""
    def impedance(self, frequencies: _Floats | _Frame) -> npt.NDArray[np.complex128]: ...
    def residuals(self, params: _Floats, frequencies: _Floats | _Frame, impedances: _Complexes | None = None, weight: str = "modulus") -> list[float]:
        """Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an
        arbitrary parameter vector -- the same building block `fit()` uses
        internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.
        `scipy.optimize.least_squares`) can drive this circuit's math directly."""
    def jacobian(self, params: _Floats, frequencies: _Floats | _Frame, impedances: _Complexes | None = None, weight: str = "modulus") -> list[list[float]]:
        """Central-difference Jacobian of `residuals()` at `params`, shape `(2 *
        len(frequencies), len(params))` -- rows are residuals, columns are
        parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."""
    def guess(self, frequencies: _Floats | _Frame, impedances: _Complexes | None = None, weights: str | None = None) -> list[float]:
        """Machine-learning guess of starting parameters for this circuit's
        topology, in `param_names()` order.

        Series and parallel elements may be written with any order and labels:
        `(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach
        the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the
        `R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.

        `weights` loads a `.eisnn` file from disk instead of looking for a
        bundled model.

        Raises if no model has been trained for this topology, or if `weights`
        was trained for a different one."""
    @staticmethod
    def ml_circuits() -> list[str]:
        """Names accepted by the constructor that have trained initial-parameter
        models, and so get a guessed starting point from `fit()` by default."""
    def fit(self, frequencies: _Floats | _Frame, impedances: _Complexes | None = None, guess_init: bool | None = None, weights: str | None = None, weight: str = "modulus", method: str = "levenberg_marquardt", max_iterations: int = 200, ftol: float = 1e-8, xtol: float = 1e-8, num_particles: int = 200, generations: int = 1000, nelder_mead_iterations: int = 2000, de_evaluations: int = 20000, sa_iterations: int = 5000, sa_initial_temperature: float = 2.0, basin_hopping_hops: int = 20, basin_hopping_step_size: float = 1.0, basin_hopping_temperature: float = 1.0, seed: int | None = None) -> FitResult:
        """Fit this circuit's parameters to a measured spectrum.

        Accepts two sequences of frequencies and impedances, or a single battery
        data format dataframe (`impedances` left as None).

        `guess_init` unset means start from a machine-learning guess whenever the
        circuit is not explicitly given starting parameters. If no model has been
        trained for the topology it warns and starts from placeholder values.

        `True` always guesses, and raises rather than warns when it cannot.
        `False` never guesses."""

@final
class FitResult:
    @property
    def circuit(self) -> Circuit: ...
    @property
    def params(self) -> dict[str, float]: ...
    @property
    def stderr(self) -> dict[str, float] | None: ...
    @property
    def success(self) -> bool: ...
    @property
    def iterations(self) -> int: ...
    @property
    def impedance_evals(self) -> int: ...
    @property
    def cost(self) -> float: ...
    @property
    def chi_square(self) -> float: ...


def Series(parts: Sequence[_Part]) -> Circuit:
    """Connect elements and circuits end to end."""

def Parallel(parts: Sequence[_Part]) -> Circuit:
    """Connect elements and circuits as parallel branches."""


_R: TypeAlias = R
_C: TypeAlias = C
_L: TypeAlias = L
_La: TypeAlias = La
_Cpe: TypeAlias = Cpe
_W: TypeAlias = W
_Wo: TypeAlias = Wo
_Ws: TypeAlias = Ws
_G: TypeAlias = G
_Gs: TypeAlias = Gs
_K: TypeAlias = K
_Zarc: TypeAlias = Zarc
_Tlmq: TypeAlias = Tlmq
_T: TypeAlias = T
