"""The type stubs: mypy accepts a tour of the public API and rejects misuse."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")
HERE = Path(__file__).parent / "typing"


def mypy(path: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null",
         "--python-executable", sys.executable, str(path)],
        capture_output=True, text=True, timeout=300)


def test_public_api_tour_type_checks():
    result = mypy(HERE / "usage.py")
    assert result.returncode == 0, result.stdout + result.stderr


def test_misuse_is_reported_line_by_line():
    result = mypy(HERE / "misuse.py")
    expected = {i for i, line in enumerate((HERE / "misuse.py").read_text().splitlines(), 1)
                if "# error:" in line}
    reported = {int(m.group(1)) for m in re.finditer(r"misuse\.py:(\d+): error", result.stdout)}
    assert result.returncode == 1 and reported == expected, result.stdout
