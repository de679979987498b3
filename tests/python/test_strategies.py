"""kovrant_tools.fit strategies: "fast" is Circuit.fit, "thorough" finds boundary optima."""
import warnings

import numpy as np
import pytest

import kovrant
from kovrant_tools import fit
from noisy_spectra import noisy as noisy_spectrum

FREQUENCIES = np.logspace(5, -2, 60)


def noisy(notation, values, noise=0.005, seed=0):
    return noisy_spectrum(notation, values, FREQUENCIES, noise=noise, seed=seed)


# Two arcs, the first an ideal capacitor: two_rq's best fit has CPE1.alpha exactly 1.
IDEAL_FIRST_ARC = noisy("R0-(R1,C1)-(R2,CPE2)", {"R0.r": 0.4, "R1.r": 2.0, "C1.c": 1e-6, "R2.r": 5.0,
                                                  "CPE2.q": 1e-2, "CPE2.alpha": 0.7})


def test_fast_is_circuit_fit():
    report = fit(IDEAL_FIRST_ARC, "two_rq", strategy="fast")
    expected = kovrant.Circuit("two_rq").fit(*IDEAL_FIRST_ARC)
    assert report.params == expected.params and report.chi_square == expected.chi_square
    assert report.iterations == expected.iterations


def test_thorough_is_never_worse_and_counts_its_work():
    fast = fit(IDEAL_FIRST_ARC, "two_rq", strategy="fast")
    thorough = fit(IDEAL_FIRST_ARC, "two_rq")
    assert thorough.chi_square <= fast.chi_square
    assert thorough.iterations > fast.iterations and thorough.impedance_evals > fast.impedance_evals
    assert thorough.fixed == frozenset()


def test_thorough_reaches_an_exponent_on_its_bound():
    report = fit(IDEAL_FIRST_ARC, "R0-(R1,CPE1)-(R2,CPE2)")
    exponents = sorted((report.params["CPE1.alpha"], report.params["CPE2.alpha"]))
    assert exponents[1] == 1.0 and exponents[0] == pytest.approx(0.7, abs=0.05)
    assert report.chi_square < 2 * 2 * len(FREQUENCIES) * 0.005 ** 2 * 2


def test_thorough_starts_a_circuit_without_network_from_the_data():
    spectrum = noisy("R0-(R1,CPE1)-W2", {"R0.r": 5.0, "R1.r": 40.0, "CPE1.q": 1e-5, "CPE1.alpha": 0.9,
                                         "W2.aw": 30.0})
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no catalogue-placeholder warning
        report = fit(spectrum, "R0-(R1,CPE1)-W2")
    assert report.params["R1.r"] == pytest.approx(40.0, rel=0.05)
    assert report.params["W2.aw"] == pytest.approx(30.0, rel=0.05)


def test_thorough_keeps_the_users_constraints():
    report = fit(IDEAL_FIRST_ARC, "two_rq", fixed={"R0.r": 0.4},
                 bounds={"CPE2.alpha": (0.5, 0.9)})
    assert report.params["R0.r"] == 0.4 and report.fixed == {"R0.r"}
    assert 0.5 <= report.params["CPE2.alpha"] <= 0.9


def test_a_parameter_held_on_its_bound_needs_one_walk_start():
    # Started at the optimum with the exponent held at its bound, the first solve is plausible:
    # the walk stops there instead of solving all nine starts.
    values = {"R0.r": 0.4, "R1.r": 2.0, "CPE1.q": 1e-6, "CPE1.alpha": 1.0, "R2.r": 5.0, "CPE2.q": 1e-2,
              "CPE2.alpha": 0.7}
    held = fit(IDEAL_FIRST_ARC, "two_rq", start=values, fixed=["CPE1.alpha"], strategy="fast")
    free = fit(IDEAL_FIRST_ARC, "two_rq", start={**values, "CPE1.alpha": 0.999999},
               bounds={"CPE1.alpha": (0.0, 1.0)}, strategy="fast")
    assert held.params["CPE1.alpha"] == 1.0
    assert held.iterations < free.iterations


def test_an_unknown_strategy_is_named():
    with pytest.raises(ValueError, match="'quick'"):
        fit(IDEAL_FIRST_ARC, "rq", strategy="quick")
