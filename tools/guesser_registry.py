"""The eleven built-in guesser models and the layout that every file shares.

NumPy-free on purpose: the format tests and the training script both read it.
"""
from __future__ import annotations

from dataclasses import dataclass

ESTIMATOR = "reactive_centroid"
N_GRID = 64
KERNEL = 5
GROUPS = 8
DILATIONS = (1, 2, 4, 8)
ALPHA_MIN = 0.05
ALPHA_MAX = 1.0


@dataclass(frozen=True)
class ModelSpec:
    key: str
    circuit: str
    param_names: tuple[str, ...]
    channels: int

    @property
    def n_params(self) -> int:
        return len(self.param_names)


MODELS = (
    ModelSpec("rc", "R0-(R1,C1)", ("R0.r", "R1.r", "C1.c"), 16),
    ModelSpec("rc_l", "L0-R0-(R1,C1)", ("L0.l", "R0.r", "R1.r", "C1.c"), 32),
    ModelSpec("rq", "R0-(R1,CPE1)", ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha"), 32),
    ModelSpec("rq_l", "L0-R0-(R1,CPE1)",
              ("L0.l", "R0.r", "R1.r", "CPE1.q", "CPE1.alpha"), 32),
    ModelSpec("two_rc", "R0-(R1,C1)-(R2,C2)",
              ("R0.r", "R1.r", "C1.c", "R2.r", "C2.c"), 32),
    ModelSpec("two_rc_l", "L0-R0-(R1,C1)-(R2,C2)",
              ("L0.l", "R0.r", "R1.r", "C1.c", "R2.r", "C2.c"), 32),
    ModelSpec("two_rq", "R0-(R1,CPE1)-(R2,CPE2)",
              ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "CPE2.q", "CPE2.alpha"), 32),
    ModelSpec("two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)",
              ("L0.l", "R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "CPE2.q",
               "CPE2.alpha"), 32),
    ModelSpec("randles", "R0-(R1-W1,CPE1)",
              ("R0.r", "R1.r", "W1.aw", "CPE1.q", "CPE1.alpha"), 32),
    ModelSpec("sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)",
              ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "W2.aw", "CPE2.q",
               "CPE2.alpha"), 64),
    ModelSpec("sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
              ("R0.r", "R1.r", "CPE1.q", "CPE1.alpha", "R2.r", "Wo2.z0", "Wo2.tau",
               "CPE2.q", "CPE2.alpha"), 64),
)

MODELS_BY_KEY = {m.key: m for m in MODELS}

# (a, b, c) of the decoding rescale y * Z_c^a * w_c^(b + c * y[ref]) by element
# kind and field; a CPE coefficient's ref is its own exponent.
_SCALING = {
    ("R", "r"): (1.0, 0.0, 0.0),
    ("C", "c"): (-1.0, -1.0, 0.0),
    ("L", "l"): (1.0, -1.0, 0.0),
    ("CPE", "q"): (-1.0, 0.0, -1.0),
    ("CPE", "alpha"): (0.0, 0.0, 0.0),
    ("W", "aw"): (1.0, 0.5, 0.0),
    ("Wo", "z0"): (1.0, 0.0, 0.0),
    ("Wo", "tau"): (0.0, -1.0, 0.0),
}

LINEAR_FIELDS = frozenset({"alpha"})


def element_kind(param_name: str) -> str:
    """Kind code of a parameter's element, from its label ("CPE1.q" -> "CPE")."""
    label = param_name.split(".", 1)[0]
    return label.rstrip("0123456789")


def field_name(param_name: str) -> str:
    return param_name.split(".", 1)[1]


def log_params_row(param_names) -> list[float]:
    """1.0 for parameters predicted in log10 space, 0.0 for CPE exponents."""
    return [0.0 if field_name(n) in LINEAR_FIELDS else 1.0 for n in param_names]


def scaling_rows(param_names) -> list[tuple[float, float, float, float]]:
    """One (a, b, c, ref) row per parameter; ref is -1 unless c uses an exponent."""
    rows = []
    for name in param_names:
        kind, field = element_kind(name), field_name(name)
        a, b, c = _SCALING[(kind, field)]
        ref = -1
        if c != 0.0:
            ref = list(param_names).index(name.split(".", 1)[0] + ".alpha")
        rows.append((a, b, c, float(ref)))
    return rows


def metadata(model: ModelSpec, channels: int | None = None) -> list[tuple[str, str]]:
    """Metadata pairs in the order the built-in files store them."""
    return [
        ("circuit", model.circuit),
        ("param_names", ",".join(model.param_names)),
        ("estimator", ESTIMATOR),
        ("n_grid", str(N_GRID)),
        ("channels", str(model.channels if channels is None else channels)),
        ("kernel", str(KERNEL)),
        ("groups", str(GROUPS)),
        ("dilations", ",".join(str(d) for d in DILATIONS)),
        ("alpha_min", repr(ALPHA_MIN)),
        ("alpha_max", repr(ALPHA_MAX)),
    ]


def network_tensor_names(n_blocks: int = len(DILATIONS)) -> list[str]:
    """Names of the weight tensors in the order the files store them."""
    names = ["w.stem.weight", "w.stem.bias"]
    for i in range(n_blocks):
        block = f"w.blocks.{i}"
        names += [f"{block}.conv1.weight", f"{block}.conv2.weight",
                  f"{block}.conv1.bias", f"{block}.conv2.bias",
                  f"{block}.norm1.weight", f"{block}.norm1.bias",
                  f"{block}.norm2.weight", f"{block}.norm2.bias"]
    names += ["w.head.0.weight", "w.head.0.bias", "w.head.2.bias", "w.head.2.weight",
              "w.head.4.weight", "w.head.4.bias"]
    return names


STATISTICS_TENSORS = ("target_mean", "target_std", "scaling", "log_params")
