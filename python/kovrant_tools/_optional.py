"""Optional packages: imported through one helper, with one style of install hint.

Call `require` before any work starts, so a missing package stops a call
before it has spent time (or produced results it would then discard).
"""
from __future__ import annotations

import importlib
from types import ModuleType

# The pip extra that brings each optional top-level package; one table for every hint.
EXTRAS = {
    "matplotlib": "plot",
    "pandas": "batch",
    "pyarrow": "parquet",
    "tqdm": "batch",
    "dask": "dask",
    "distributed": "dask",
    "galvani": "mpr",
}


def require(module: str, purpose: str) -> ModuleType:
    """The imported `module` (a dotted name is fine), or ImportError saying what needs it and how to install it.

    purpose: what the caller wanted, as the start of a sentence ("plotting", "checkpoint=").
    """
    try:
        return importlib.import_module(module)
    except ImportError as error:
        top = module.partition(".")[0]
        extra = EXTRAS.get(top)
        hint = f"pip install 'kovrant[{extra}]'" if extra else f"pip install {top}"
        if top == "galvani":
            hint += " (galvani is GPL-3.0 and installed separately)"
        raise ImportError(f"{purpose} needs {top}, which is not installed: {hint}") from error
