"""The README's Python examples run as written."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_readme_has_examples():
    assert len(EXAMPLES) >= 3


@pytest.mark.parametrize("source", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_readme_example_runs(source, capsys, tmp_path, monkeypatch):
    # Examples may write files; they read the bundled data as from the repository root.
    (tmp_path / "data").symlink_to(ROOT / "data")
    monkeypatch.chdir(tmp_path)
    exec(compile(source, str(README), "exec"), {})
    assert capsys.readouterr().out
