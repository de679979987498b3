"""The documentation site builds without warnings, its examples run, and its reference pages match the code."""

import argparse
import re
import subprocess
import sys
from pathlib import Path

import pytest

import kovrant
from kovrant_tools import cli

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
# Pages whose examples run as written (from the repository root, on the bundled files).
EXAMPLE_PAGES = ["index.md", "getting-started.md", "workflow.md", "notation.md", "elements.md", "reading.md",
                 "fitting.md", "many-spectra.md"]
EXAMPLES = [(page, source) for page in EXAMPLE_PAGES
            for source in re.findall(r"```python\n(.*?)```", (DOCS / page).read_text(), flags=re.S)]


def test_site_builds_strictly(tmp_path):
    pytest.importorskip("mkdocs")
    pytest.importorskip("mkdocstrings")
    # `python -m mkdocs` from the repository root, so that `kovrant` is the module, not the console script.
    done = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(tmp_path)],
                          cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:]
    assert (tmp_path / "api" / "index.html").read_text().count("plot_kramers_kronig") >= 1


@pytest.mark.parametrize("page, source", EXAMPLES, ids=[f"{page}-{i}" for i, (page, _) in enumerate(EXAMPLES)])
def test_example_runs(page, source, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib").use("Agg")
    plt = pytest.importorskip("matplotlib.pyplot")
    for folder in ("data", "tests"):
        (tmp_path / folder).symlink_to(ROOT / folder)
    monkeypatch.chdir(tmp_path)
    exec(compile(source, str(DOCS / page), "exec"), {})
    plt.close("all")


def test_cli_page_names_every_option():
    parser = argparse.ArgumentParser()
    subparsers = parser.add_subparsers()
    for command in cli.COMMANDS:
        command.add_parser(subparsers)
    page = (DOCS / "cli.md").read_text()
    options = {option for sub in subparsers.choices.values() for action in sub._actions
               for option in action.option_strings if option not in ("-h", "--help")}
    assert options and not sorted(option for option in options if f"`{option}" not in page)


def test_element_catalogue_matches_the_module():
    rows = {match.group(1): match.group(0) for match in re.finditer(r"^\| `(\w+)`.*$", (DOCS / "elements.md").read_text(),
                                                                     flags=re.M)}
    assert len(rows) == 14
    for code, row in rows.items():
        circuit = kovrant.Circuit(f"{code}0")
        columns = [cell.strip() for cell in row.split("|")[1:-1]]
        fields = [name.partition(".")[2] for name in circuit.param_names()]
        assert re.findall(r"`(\w+)` \[", columns[2]) == fields, code
        assert [float(value) for value in columns[3].split(",")] == circuit.param_values(), code
