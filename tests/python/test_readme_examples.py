"""The README's Python examples run as written."""

import importlib.util
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
# Fixed parameters and narrowed bounds run in the native kovrant_tools._engine.
HAS_ENGINE = importlib.util.find_spec("kovrant_tools._engine") is not None


def test_readme_has_examples():
    assert len(EXAMPLES) >= 3


@pytest.mark.parametrize("source", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_readme_example_runs(source, capsys, tmp_path, monkeypatch):
    if not HAS_ENGINE and re.search(r"\b(fixed|bounds)=", source):
        pytest.skip("needs kovrant_tools._engine")
    monkeypatch.chdir(tmp_path)  # examples may write files
    exec(compile(source, str(README), "exec"), {})
    assert capsys.readouterr().out
