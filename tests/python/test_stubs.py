"""The kovrant type stubs name what the module has, with its signatures and docstrings."""
import ast
import inspect
from pathlib import Path

import pytest

import kovrant

STUB = ast.parse((Path(__file__).resolve().parents[2] / "python" / "kovrant-stubs" / "__init__.pyi").read_text())
CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}
FUNCTIONS = {node.name: node for node in STUB.body if isinstance(node, ast.FunctionDef)}


def test_stub_names_are_the_module_names():
    public = {name for name in dir(kovrant) if not name.startswith("_")}
    assert set(CLASSES) | set(FUNCTIONS) == public


def _runtime_parameters(function):
    return [name for name in inspect.signature(function).parameters if name not in ("self", "cls")]


def _stub_parameters(node):
    return [arg.arg for arg in node.args.args if arg.arg not in ("self", "cls")]


@pytest.mark.parametrize("owner, name", [("Circuit", node.name) for node in CLASSES["Circuit"].body
                                         if isinstance(node, ast.FunctionDef) and node.name != "__new__"]
                         + [(None, name) for name in FUNCTIONS])
def test_signature_and_docstring_match(owner, name):
    node = FUNCTIONS[name] if owner is None else next(
        item for item in CLASSES[owner].body if isinstance(item, ast.FunctionDef) and item.name == name)
    runtime = getattr(kovrant if owner is None else getattr(kovrant, owner), name)
    assert (ast.get_docstring(node) or "") == inspect.cleandoc(runtime.__doc__ or "")
    if runtime.__text_signature__ is not None:
        assert _stub_parameters(node) == _runtime_parameters(runtime)


@pytest.mark.parametrize("kind", [name for name, node in CLASSES.items() if node.bases])
def test_element_fields_match(kind):
    fields = ast.literal_eval(next(item.value for item in CLASSES[kind].body if isinstance(item, ast.Assign)))
    assert fields == getattr(kovrant, kind).__match_args__
    assert issubclass(getattr(kovrant, kind), kovrant.Element)
