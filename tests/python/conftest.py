import os
import signal
import time

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


def _built_in_models():
    """Keys of the trained networks compiled into this build: a model whose
    file was absent at build time answers with "no weights were built"."""
    frequencies = [1.0, 10.0, 100.0]
    impedances = [2 - 1j, 1.5 - 0.7j, 1 - 0.1j]
    present = []
    for key in kovrant.Circuit.ml_circuits():
        try:
            kovrant.Circuit(key).guess(frequencies, impedances)
        except ValueError as error:
            if "no weights were built into this module" in str(error):
                continue
            raise
        present.append(key)
    return present


BUILT_IN_MODELS = _built_in_models()


def require_model(key):
    if key not in BUILT_IN_MODELS:
        pytest.skip(f"the {key!r} network was not built into this module")


@pytest.fixture(scope="session")
def built_in_models():
    return list(BUILT_IN_MODELS)


def child_exit_code(pid, seconds):
    """The exit code of a forked child, or None after killing it when it has
    not ended within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        finished, status = os.waitpid(pid, os.WNOHANG)
        if finished:
            return os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return None
