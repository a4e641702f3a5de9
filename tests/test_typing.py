"""The module's type stubs, as mypy sees them from a caller's code."""

import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).parent / "typecheck"


def mypy(path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--follow-imports=silent",
         "--ignore-missing-imports", "--python-version", "3.11", str(path)],
        capture_output=True, text=True, cwd=HERE.parent.parent,
    )
    return result.returncode, result.stdout


def test_correct_use_passes():
    status, output = mypy(HERE / "usage.py")
    assert status == 0, output


def test_misuse_is_caught_line_by_line():
    status, output = mypy(HERE / "misuse.py")
    marked = {
        number
        for number, line in enumerate((HERE / "misuse.py").read_text().splitlines(), 1)
        if "# E:" in line
    }
    reported = {int(n) for n in re.findall(r"misuse\.py:(\d+): error", output)}
    assert status == 1 and reported == marked, output
