"""Small EISNN001 guesser files built by the tests, and the NumPy reference
forward pass that judges what the module makes of them."""
from __future__ import annotations

import warnings
from pathlib import Path

import numpy as np

from tools import eisnn_format, guesser_reference
from tools.guesser_registry import MODELS, log_params_row, scaling_rows

REPO = Path(__file__).resolve().parents[2]

MODEL_KEYS = [m.key for m in MODELS]
QUOTED_KEYS = ", ".join(f"'{key}'" for key in MODEL_KEYS)
NO_MODEL = ("No training data on this circuit. Machine-learning based initial parameters "
            "available for " + QUOTED_KEYS)


def quoted(text: str) -> str:
    """A text in double quotes with its quotes and backslashes escaped."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def unparsable(message: str) -> str:
    return "weight file has an unparsable value for " + quoted(message)


def guesser_contents(circuit, param_names, rng, *, channels=4, groups=2, dilations=(1, 2),
                     n_grid=16, kernel=3, hidden=None, encoding=eisnn_format.ENCODING_F32,
                     alpha_max=1.0):
    """(metadata, tensors) of a random network for `circuit`; each tensor is a
    list entry (name, values, encoding) that callers may drop or replace."""
    p, c = len(param_names), channels
    hidden = 3 * c if hidden is None else hidden
    shapes = {"w.stem.weight": (c, 3, kernel), "w.stem.bias": (c,)}
    for i in range(len(dilations)):
        for layer in ("conv1", "conv2"):
            shapes[f"w.blocks.{i}.{layer}.weight"] = (c, c, kernel)
            shapes[f"w.blocks.{i}.{layer}.bias"] = (c,)
        for layer in ("norm1", "norm2"):
            shapes[f"w.blocks.{i}.{layer}.weight"] = shapes[f"w.blocks.{i}.{layer}.bias"] = (c,)
    shapes.update({"w.head.0.weight": (hidden, 2 * c + 2), "w.head.0.bias": (hidden,),
                   "w.head.2.weight": (hidden, hidden), "w.head.2.bias": (hidden,),
                   "w.head.4.weight": (2 * p, hidden), "w.head.4.bias": (2 * p,)})
    tensors = [(name, rng.normal(0.0, 0.4, shape) + (".norm" in name and name.endswith(".weight")),
                encoding) for name, shape in shapes.items()]
    tensors += [("target_mean", rng.normal(0.0, 0.5, p), encoding),
                ("target_std", rng.uniform(0.1, 0.6, p), encoding),
                ("scaling", np.asarray(scaling_rows(param_names), float), eisnn_format.ENCODING_F32),
                ("log_params", np.asarray(log_params_row(param_names), float), eisnn_format.ENCODING_F32)]
    metadata = [("circuit", circuit), ("param_names", ",".join(param_names)),
                ("estimator", "reactive_centroid"), ("n_grid", str(n_grid)), ("channels", str(c)),
                ("kernel", str(kernel)), ("groups", str(groups)),
                ("dilations", ",".join(str(d) for d in dilations)),
                ("alpha_min", "0.05"), ("alpha_max", repr(alpha_max))]
    return metadata, tensors


def guesser_bytes(circuit, param_names, rng, **options) -> bytes:
    return eisnn_format.encode(*guesser_contents(circuit, param_names, rng, **options))


def reference_guess(data: bytes, frequencies, impedances) -> np.ndarray:
    """The NumPy forward pass on a file's bytes, in the file's parameter order."""
    network = guesser_reference.ReferenceGuesser(eisnn_format.decode(data))
    # Empty groups and non-finite features are legal; NumPy merely warns.
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return network.guess(np.asarray(frequencies, dtype=np.float64),
                             np.asarray(impedances, dtype=np.complex128))


class WeightFiles:
    """Writes each file under a new path: the module caches a loaded network
    by its path and notices a rewrite only through the file's size and
    modification time, which a quick same-size rewrite may leave unchanged."""

    def __init__(self, directory: Path):
        self.directory = directory
        self.count = 0

    def write(self, data: bytes) -> str:
        self.count += 1
        path = self.directory / f"net{self.count}.eisnn"
        path.write_bytes(data)
        return str(path)
