"""The type stubs: mypy and pyright, both strict, accept a tour of the public API and report
each line of misuse."""

import importlib.util
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

import wrenfold

HERE = Path(__file__).parent / "typing"


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          timeout=300)


@pytest.fixture(params=["mypy", "pyright"])
def check(request, tmp_path):
    # Skipped only when the checker cannot start, never for what it reports.
    if importlib.util.find_spec(request.param) is None:
        pytest.skip(f"{request.param} is not installed (it is in the typing dependency group)")
    if (started := run(request.param, "--version")).returncode != 0:
        pytest.skip(f"{request.param} cannot start: {started.stderr.strip()[-500:]}")
    if request.param == "mypy":
        return lambda path: run("mypy", "--strict", "--no-incremental", "--cache-dir=/dev/null",
                                "--python-executable", sys.executable, str(path))
    # A project of its own, pointed at the build this interpreter imports: beside the
    # checkout's pyproject.toml, pyright would read the package from src/.
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict",
                                  "extraPaths": [str(Path(wrenfold.__file__).parents[1])]}))
    return lambda path: run("pyright", "-p", str(config), "--pythonpath", sys.executable,
                            str(path))


def test_public_api_tour_type_checks(check):
    result = check(HERE / "usage.py")
    assert result.returncode == 0, result.stdout + result.stderr


def test_misuse_is_reported_line_by_line(check):
    result = check(HERE / "misuse.py")
    expected = {i for i, line in enumerate((HERE / "misuse.py").read_text().splitlines(), 1)
                if "# error:" in line}
    reported = {int(m.group(1))
                for m in re.finditer(r"misuse\.py:(\d+):(?:\d+ -)? error", result.stdout)}
    assert result.returncode == 1 and reported == expected, result.stdout
