import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SAMPLE = Path(__file__).parent / "typing_samples" / "public_api.py"


@pytest.mark.skipif(shutil.which("mypy") is None and not Path(sys.executable).with_name("mypy").exists(),
                    reason="mypy is not installed")
def test_a_script_using_the_public_api_passes_mypy_strict():
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(SAMPLE)],
                          capture_output=True, text=True, cwd=SAMPLE.parent)
    assert done.returncode == 0, done.stdout + done.stderr
