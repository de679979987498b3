import pytest

import kovrant

# Kind name, fields in constructor order, catalogue code, parameter units.
KINDS = [
    ("R", ("r",), "R", ("ohm",)),
    ("C", ("c",), "C", ("F",)),
    ("L", ("l",), "L", ("H",)),
    ("La", ("l", "alpha"), "La", ("H*s", "-")),
    ("Cpe", ("q", "alpha"), "CPE", ("ohm^-1*s^alpha", "-")),
    ("W", ("aw",), "W", ("ohm*s^-0.5",)),
    ("Wo", ("z0", "tau"), "Wo", ("ohm", "s")),
    ("Ws", ("z0", "tau"), "Ws", ("ohm", "s")),
    ("G", ("rg", "tg"), "G", ("ohm", "s")),
    ("Gs", ("rg", "tg", "phi"), "Gs", ("ohm", "s", "-")),
    ("K", ("r", "tau_k"), "K", ("ohm", "s")),
    ("Zarc", ("r", "tau_k", "gamma"), "Zarc", ("ohm", "s", "-")),
    ("Tlmq", ("r_ion", "qs", "gamma"), "TLMQ", ("ohm", "F*s^(gamma-1)", "-")),
    ("T", ("a", "b", "k_tau", "tau"), "T", ("ohm*m^2", "ohm*m^2", "-", "s")),
]

KIND_NAMES = [name for name, _, _, _ in KINDS]

TWO_PI = 6.283185307179586


@pytest.fixture
def empty_circuit():
    """A circuit whose model impedance is exactly zero, so that unit-weighted
    residuals are the negated measured values."""
    return kovrant.Series([])
