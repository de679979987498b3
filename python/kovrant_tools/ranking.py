"""rank_circuits(): which circuit does a spectrum support best?"""
from __future__ import annotations

import math

import kovrant

from .fitting import fit
from .spectrum import as_arrays
from .report import FitReport

CRITERIA = ("aic", "bic")


def rank_circuits(spectrum, circuits=None, *, criterion="aic", **settings) -> list[tuple[str, FitReport]]:
    """Fit each circuit from its guess and rank them, best (lowest criterion) first.

    circuits: notations, model names or kovrant.Circuit objects; by default
    the eleven built-in topologies of ``kovrant.Circuit.ml_circuits()``.
    criterion: "aic" (default) or "bic", as defined in FitReport. Returns
    (name, FitReport) pairs; a Circuit object is named "circuit #<index>".
    Fits whose criterion is NaN (no degrees of freedom left) come last.
    settings: passed to every fit (method, weight, max_iterations, ...).
    """
    if criterion not in CRITERIA:
        raise ValueError(f"unknown criterion {criterion!r}, expected one of {', '.join(map(repr, CRITERIA))}")
    if circuits is None:
        circuits = kovrant.Circuit.ml_circuits()
    elif isinstance(circuits, (str, kovrant.Circuit)):
        raise TypeError("circuits must be a list of circuits; wrap a single one in a list")
    arrays = as_arrays(spectrum)
    ranked = [(circuit if isinstance(circuit, str) else f"circuit #{index}", fit(arrays, circuit, **settings))
              for index, circuit in enumerate(circuits)]

    def score(pair):
        value = getattr(pair[1], criterion)
        return (math.isnan(value), value)

    return sorted(ranked, key=score)
