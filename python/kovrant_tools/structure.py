"""The shape of a circuit notation: elements, series lists and parallel groups.

A circuit is a series list of nodes; a node is an element (code and label,
"CPE1") or a parallel group of branches, each branch again a series list.
Starts, limits and rankings walk this tree to know which elements form an
arc, which carry the DC current, and which circuit is left when an element
is shorted or opened.
"""
from __future__ import annotations

import re
from dataclasses import dataclass

import kovrant

from . import _engine_loader

_ENGINE = _engine_loader.load_engine()
# Parameter fields of each notation code, in the catalogue's order: the core's own table.
FIELDS: dict[str, tuple[str, ...]] = _ENGINE.CATALOGUE
# Elements that pass direct current (a finite impedance at zero frequency).
DC_CODES = frozenset({"R", "L", "La", "Ws", "G", "Gs", "K", "Zarc", "T"})
CAPACITIVE_CODES = frozenset({"C", "CPE", "Cpe"})
DIFFUSION_CODES = frozenset({"W", "Wo", "Ws"})
INDUCTIVE_CODES = frozenset({"L", "La"})

# The built-in model names the Circuit constructor accepts, with their notations as the core writes them.
MODEL_NOTATIONS = {key: _ENGINE.notation(kovrant.Circuit(key)) for key in kovrant.Circuit.ml_circuits()}

_ELEMENT = re.compile(r"([A-Za-z]+)(\d+)")


@dataclass(frozen=True)
class Element:
    code: str
    label: str

    def names(self) -> list[str]:
        """Its parameter names, "{label}.{field}"."""
        return [f"{self.label}.{field}" for field in FIELDS[self.code]]


@dataclass(frozen=True)
class Parallel:
    branches: tuple[tuple, ...]  # each a series list (tuple of nodes)


def parse(notation: str) -> tuple:
    """The series list of a notation that kovrant.Circuit accepts ("R0-(R1,CPE1)", "R0-p(R1,C1)", "randles")."""
    text = notation.strip()
    text = MODEL_NOTATIONS.get(text.lower(), text)
    series, position = _series(text, 0)
    if position != len(text):
        raise ValueError(f"unexpected text at position {position} of {notation!r}")
    return series


def _series(text, position):
    nodes = []
    while True:
        node, position = _item(text, position)
        nodes.append(node)
        if position < len(text) and text[position] == "-":
            position += 1
            continue
        return tuple(nodes), position


def _item(text, position):
    if text.startswith("(", position) or text.startswith("p(", position):
        position = text.index("(", position) + 1
        branches = []
        while True:
            branch, position = _series(text, position)
            branches.append(branch)
            if position >= len(text):
                raise ValueError(f"unclosed parallel group in {text!r}")
            separator = text[position]
            position += 1
            if separator == ")":
                return Parallel(tuple(branches)), position
            if separator != ",":
                raise ValueError(f"unexpected {separator!r} at position {position - 1} of {text!r}")
    match = _ELEMENT.match(text, position)
    if match is None or match.group(1) not in FIELDS:
        raise ValueError(f"no element at position {position} of {text!r}")
    return Element(match.group(1), match.group(0)), match.end()


def notation(series: tuple) -> str:
    """The notation text of a series list."""
    return "-".join(_node_text(node) for node in series)


def _node_text(node):
    if isinstance(node, Element):
        return node.label
    return "(" + ",".join(notation(branch) for branch in node.branches) + ")"


def elements(series: tuple) -> list[Element]:
    """Every element in tree order (the order of the parameter vector)."""
    found = []
    for node in series:
        if isinstance(node, Element):
            found.append(node)
        else:
            for branch in node.branches:
                found.extend(elements(branch))
    return found


def passes_dc(series: tuple) -> bool:
    """Whether a series list conducts at zero frequency."""
    for node in series:
        if isinstance(node, Element):
            if node.code not in DC_CODES:
                return False
        elif not any(passes_dc(branch) for branch in node.branches):
            return False
    return True


def replace(series: tuple, label: str, replacement: tuple | None) -> tuple | None:
    """`series` with element `label` replaced by the series list `replacement`.

    replacement () shorts the element; None opens it. A branch left empty
    shorts its whole group; an opened branch leaves its group; a group left
    with one branch joins the series around it. Returns None when the whole
    circuit is open, () when it is a short.
    """
    result = []
    for node in series:
        if isinstance(node, Element):
            if node.label != label:
                result.append(node)
            elif replacement is None:
                return None
            else:
                result.extend(replacement)
            continue
        branches = []
        shorted = False
        for branch in node.branches:
            changed = replace(branch, label, replacement)
            if changed is None:
                continue
            if changed == ():
                shorted = True
                break
            branches.append(changed)
        if shorted:
            continue
        if not branches:
            return None
        if len(branches) == 1:
            result.extend(branches[0])
        else:
            result.append(Parallel(tuple(branches)))
    return tuple(result)


def free_label(series: tuple, code: str, wanted: str) -> str:
    """A label code+digits not yet used in `series`, preferring the digits of `wanted`."""
    used = {element.label for element in elements(series)}
    digits = _ELEMENT.match(wanted).group(2) if _ELEMENT.match(wanted) else "0"
    label = code + digits
    number = 0
    while label in used:
        label = f"{code}{digits}{number}"
        number += 1
    return label


def canonical(series: tuple) -> str:
    """A text equal for circuits of the same model: labels, series order and branch order ignored, K and
    Zarc read as the resistor-capacitor and resistor-CPE pairs they stand for."""
    return "-".join(sorted(_canonical_node(node) for node in series))


def _canonical_node(node):
    if isinstance(node, Element):
        return _SHORTHANDS.get(node.code, node.code)
    return "(" + ",".join(sorted(canonical(branch) for branch in node.branches)) + ")"


_SHORTHANDS = {"Cpe": "CPE", "Tlmq": "TLMQ", "K": "(C,R)", "Zarc": "(CPE,R)"}
