"""rank_circuits(): which circuit does a spectrum support, and can its fit be trusted?

The candidate set is open: the built-in topologies (or the caller's
circuits), plus the simpler circuits that degenerate fits point to (a fit
whose R2 went to 1e12 equals the circuit without R2's branch; that circuit is
fitted too, from the values the limit gives, and when it wins it gets the
thorough fit from the data as well).

A candidate with a network takes a first look: one short solve from its
guess (`SCREEN_ITERATIONS`). That is the whole fast fit whenever the walk
would stop there; a candidate whose walk was cut and that cannot win (more
than `SHORTLIST_MARGIN` behind the best criterion) keeps that look, and its
report says so. The few that can still win (at most `shortlist`) get the
thorough strategy's extra solves and, when degenerate, bring their simpler
circuits. Candidates without a network start from the data, less surely, and
get the thorough fit at once.

Misfits below `ACCURACY_FLOOR` (0.2 % of |Z|, rms) are instrument error, not
evidence: the criterion counts such a fit as if it missed by the floor, so
among the circuits that fit within it the one with fewer parameters wins
(the report notes it).

A pick must be identifiable: a fit with undetermined parameters (NaN
standard errors, |correlation| > 0.99, degenerate limits) is demoted below
every simpler identifiable fit that fits as well (a likelihood-ratio test
of the two chi-squares does not reject the simpler one at `SIGNIFICANCE`),
and its report says why.
"""
from __future__ import annotations

import math
from dataclasses import replace
from typing import TYPE_CHECKING, Any, Literal, get_args

import kovrant

from . import structure
from .fitting import as_circuit, fit, start_point
from .limits import simplest_equivalent
from .report import CORRELATION_LIMIT, FitReport
from .spectrum import as_arrays
from .strategies import STRATEGIES, refine, started_fit

if TYPE_CHECKING:
    from collections.abc import Sequence

    from .fitting import CircuitLike, Strategy
    from .spectrum import SpectrumLike

Criterion = Literal["aic", "bic"]
CRITERIA: tuple[Criterion, ...] = get_args(Criterion)
# Candidates this close to the best criterion (and at most `shortlist` of them) get the thorough fit.
SHORTLIST_MARGIN = 10.0
# The first look at a candidate: one solve of at most this many iterations. A guess of the right
# topology converges in a few; a mismatched one spends the rest walking to a degenerate limit.
SCREEN_ITERATIONS = 8
# A simpler identifiable fit "fits as well" as an undetermined one unless a likelihood-ratio test
# rejects it at this level: the extra parameters then explain real structure, however correlated.
SIGNIFICANCE = 0.05
EXPONENTS = ("alpha", "gamma")
# The accuracy of a good impedance analyser in its best range, about 0.1 % in magnitude and 0.1 degree
# in phase: together about 0.2 % of |Z|. A misfit below it is instrument error, not evidence for an element.
ACCURACY_FLOOR = 2e-3


def rank_circuits(spectrum: "SpectrumLike", circuits: "Sequence[CircuitLike] | None" = None, *,
                  criterion: Criterion = "bic", strategy: "Strategy" = "thorough", shortlist: int = 3,
                  equivalents: bool = True, screen: bool = True, **settings: Any) -> list[tuple[str, FitReport]]:
    """Fit each circuit and rank them, best first (see the module docstring).

    circuits: notations, model names or kovrant.Circuit objects; by default
    the eleven built-in topologies of ``kovrant.Circuit.ml_circuits()``.
    criterion: "bic" (default) or "aic", as defined in FitReport; BIC's
    stiffer price per parameter names the generating circuit more often on
    synthetic spectra (bench/bench_confusion.py), where AIC prefers
    supersets. strategy: "thorough" refits the shortlist with
    kovrant_tools.fit's thorough strategy; "fast" fits every candidate once
    (Circuit.fit's walk). equivalents: add the simpler circuits that
    degenerate fits equal (named by their notation). screen: take the first
    look described in the module docstring; False gives every candidate its
    whole fit. Returns (name, FitReport) pairs; a Circuit object is named
    "circuit #<index>". Demoted fits carry a warning saying why; fits
    whose criterion is NaN (no degrees of freedom left) come last.
    settings: passed to every fit (method, weight, max_iterations, ...).
    """
    if criterion not in CRITERIA:
        raise ValueError(f"unknown criterion {criterion!r}, expected one of {', '.join(map(repr, CRITERIA))}")
    if strategy not in STRATEGIES:
        raise ValueError(f"unknown strategy {strategy!r}, expected one of {', '.join(map(repr, STRATEGIES))}")
    if shortlist < 0:
        raise ValueError(f"shortlist must be >= 0, got {shortlist}")
    if circuits is None:
        circuits = kovrant.Circuit.ml_circuits()
    elif isinstance(circuits, (str, kovrant.Circuit)):
        raise TypeError("circuits must be a list of circuits; wrap a single one in a list")
    arrays = as_arrays(spectrum)
    named = dict((circuit if isinstance(circuit, str) else f"circuit #{index}", circuit)
                 for index, circuit in enumerate(circuits))
    # A first look at the candidates a network guesses for: one solve from the guess. Most are
    # then far behind; the walk and the extra solves go only to those that can still win.
    # Other candidates start from the data, less surely, and get their whole fit at once.
    screened = {name for name, circuit in named.items()
                if screen and start_point(as_circuit(circuit), settings) == "guess"}
    limit = settings.get("max_iterations")
    look = {**settings, "max_starts": 1,
            "max_iterations": SCREEN_ITERATIONS if limit is None else min(SCREEN_ITERATIONS, limit)}
    started = {name: started_fit(arrays, circuit, **(look if name in screened else settings))
               for name, circuit in named.items()}
    reports = {name: fitted.report for name, fitted in started.items()}
    thorough = strategy == "thorough" and shortlist > 0
    if thorough:
        reports.update((name, refine(started[name], **settings)) for name in reports.keys() - screened)
    best = min(_score(report, criterion) for report in reports.values())
    contenders = sorted((name for name in reports if _score(reports[name], criterion) <= best + SHORTLIST_MARGIN),
                        key=lambda name: _score(reports[name], criterion))[:max(shortlist, 1)]
    # A walk that stopped on a plausible first solve is the whole walk already.
    cut = {name for name in screened if started[name].solution.walk_cut}
    for name in cut - set(contenders):
        gap = _score(reports[name], criterion) - best
        reports[name] = replace(reports[name], notes=(
            *reports[name].notes, f"screened out: one solve from its guess left its {criterion.upper()} "
                                  f"{gap:.3g} above the best, so it was not fitted further"))
    for name in screened.intersection(contenders):
        # A converged first solve that the walk would not accept (a value on a bound, or far from
        # the guess) is what the thorough strategy's held faces and the equivalents examine.
        if name in cut and not (thorough and started[name].solution.success):
            started[name] = started_fit(arrays, named[name], **settings)
        refined = thorough and name in contenders[:shortlist]
        reports[name] = refine(started[name], **settings) if refined else started[name].report
    added = _add_equivalents(reports, contenders, arrays, settings) if equivalents else set()
    ordered = _ordered(dict(reports), criterion)
    pick = ordered[0][0]
    if pick in added and thorough:
        # A simpler equivalent was fitted only from the values its limit gave; as the pick it gets
        # the whole thorough fit, from the data too, as kovrant_tools.fit would give it.
        whole = fit(arrays, pick, **settings)
        if whole.chi_square < reports[pick].chi_square:
            reports[pick] = replace(whole, notes=reports[pick].notes)
            ordered = _ordered(reports, criterion)
    return [(name, _noting_floor(report)) for name, report in ordered]


def _noting_floor(report):
    if _below_floor(report) == 1:
        return report
    note = (f"fits within the instruments' accuracy ({ACCURACY_FLOOR:.1%} of |Z|): ranked as if its misfit "
            "were that, so that fewer parameters decide")
    return replace(report, notes=(*report.notes, note))


def _add_equivalents(reports, contenders, arrays, settings):
    """Fit the simplest circuit each degenerate contender equals, unless it is a candidate already.

    Returns the names added.
    """
    known = {_canonical(report.notation) for report in reports.values()}
    added = set()
    for name in contenders:
        report = reports[name]
        if not report.limits:
            continue
        notation, values = simplest_equivalent(report.notation, report.params, report.frequencies,
                                               report.impedances, chi_square=report.chi_square, dof=report.dof,
                                               weight=report.weight)
        if _canonical(notation) in known:
            continue
        known.add(_canonical(notation))
        fitted = fit(arrays, notation, start=values, strategy="fast", **settings)
        note = f"the simpler circuit that the degenerate fit of {name} equals"
        reports[notation] = replace(fitted, notes=(*fitted.notes, note))
        added.add(notation)
    return added


def _canonical(notation):
    return structure.canonical(structure.parse(notation))


def _score(report, criterion):
    value = getattr(report, criterion) + 2 * report.frequencies.size * math.log(_below_floor(report))
    return math.inf if math.isnan(value) else value


def _below_floor(report):
    """How many times the misfit is scaled up to the accuracy floor (1 when it lies above it).

    An exact fit keeps its infinitely good criterion: no scale turns a zero misfit into the floor's.
    """
    rms = report.relative_rms
    return max(1.0, (ACCURACY_FLOOR / rms) ** 2) if rms > 0 else 1.0


def undetermined(report: FitReport) -> list[str]:
    """Why a fit's parameters are not determined by the data (empty when they are).

    A constant-phase coefficient and its own exponent are left out: q is
    defined at 1 rad/s, so away from it any change of the exponent moves q
    along, however well the data fix the element.
    """
    stderr = report.stderr or {}
    reasons = [f"{name} has no standard error" for name in report.free if math.isnan(stderr.get(name, math.nan))]
    names = report.names
    for i, first in enumerate(names):
        for j in range(i + 1, len(names)):
            value = report.correlation[i, j]
            if _same_element_exponent(first, names[j]):
                continue
            if abs(value) > CORRELATION_LIMIT:
                reasons.append(f"{first} and {names[j]} are correlated ({value:+.4f})")
    reasons.extend(f"{limit.element} is at a degenerate limit" for limit in report.limits)
    return reasons


def _same_element_exponent(first, second):
    label, _, field = first.partition(".")
    other_label, _, other_field = second.partition(".")
    return label == other_label and (field in EXPONENTS or other_field in EXPONENTS)


def _fits_as_well(simpler: FitReport, fuller: FitReport) -> bool:
    """Whether the extra parameters of `fuller` fail a likelihood-ratio test against `simpler`."""
    if not fuller.chi_square > 0:
        return False
    statistic = 2 * fuller.frequencies.size * math.log(
        simpler.chi_square * _below_floor(simpler) / (fuller.chi_square * _below_floor(fuller)))
    return _chi_square_survival(statistic, len(fuller.free) - len(simpler.free)) > SIGNIFICANCE


def _chi_square_survival(x: float, dof: int) -> float:
    """P(X > x) for a chi-square variable with `dof` (a positive integer) degrees of freedom."""
    if x <= 0:
        return 1.0
    half = x / 2
    if dof % 2 == 0:
        return math.exp(-half) * sum(half ** i / math.factorial(i) for i in range(dof // 2))
    series = sum(half ** (i - 0.5) / math.gamma(i + 0.5) for i in range(1, (dof + 1) // 2))
    return math.erfc(math.sqrt(half)) + math.exp(-half) * series


def _ordered(reports, criterion):
    """Identifiable fits by criterion; an undetermined fit after every simpler identifiable one that fits as well."""
    scores = {name: _score(report, criterion) for name, report in reports.items()}
    reasons = {name: undetermined(report) for name, report in reports.items()}
    placed = {}
    for name, report in reports.items():
        placed[name] = scores[name]
        if not reasons[name]:
            continue
        rivals = [other for other, rival in reports.items()
                  if not reasons[other] and len(rival.free) < len(report.free)
                  and _fits_as_well(rival, report) and scores[other] > scores[name]]
        if rivals:
            simplest = min(rivals, key=lambda other: (len(reports[other].free), scores[other]))
            placed[name] = max(scores[other] for other in rivals)
            reports[name] = replace(report, notes=(
                *report.notes, f"ranked below {simplest}, which fits as well with fewer parameters: "
                               + "; ".join(reasons[name])))
    order = sorted(reports, key=lambda name: (math.isinf(placed[name]), placed[name], bool(reasons[name]),
                                              scores[name]))
    return [(name, reports[name]) for name in order]
