"""Loads the toolkit's native module, `kovrant_tools._engine`, from kovrant's own shared object.

The kovrant extension exports a second init function for the toolkit, so both
modules run on one copy of the core: one worker pool, one network cache, one
Circuit type. Importing it this way ships no second library in the wheel.
"""
from __future__ import annotations

import importlib.machinery
import importlib.util
import sys
from types import ModuleType

import kovrant

ENGINE_NAME = "kovrant_tools._engine"


def load_engine() -> ModuleType:
    """The engine module, created once per process and registered under its name."""
    loaded = sys.modules.get(ENGINE_NAME)
    if loaded is not None:
        return loaded
    path = kovrant.__file__
    if path is None:
        raise ImportError("kovrant has no file to load kovrant_tools._engine from")
    loader = importlib.machinery.ExtensionFileLoader(ENGINE_NAME, path)
    spec = importlib.util.spec_from_file_location(ENGINE_NAME, path, loader=loader)
    if spec is None:
        raise ImportError(f"cannot load {ENGINE_NAME} from {path}")
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[ENGINE_NAME] = module
    return module
