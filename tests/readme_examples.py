"""Runs the README's Python examples as written, in a scratch directory.

Used by tests/test_readme.py against the build under test, and run as a script against the
package installed from the sdist (tools/check-package):
    python tests/readme_examples.py README.md
"""

from __future__ import annotations

import os
import re
import sys
import tempfile
from pathlib import Path
from typing import Any


def python_blocks(readme: Path) -> list[str]:
    return re.findall(r"```python\n(.*?)```", readme.read_text(encoding="utf-8"), re.S)


def run_examples(readme: Path, workdir: Path) -> dict[str, Any]:
    """Executes every block in one namespace, from `workdir`; returns the namespace."""
    namespace: dict[str, Any] = {}
    here = Path.cwd()
    os.chdir(workdir)
    try:
        for block in python_blocks(readme):
            exec(compile(block, str(readme), "exec"), namespace)
    finally:
        os.chdir(here)
    return namespace


if __name__ == "__main__":
    readme = Path(sys.argv[1]).resolve()
    with tempfile.TemporaryDirectory() as scratch:
        run_examples(readme, Path(scratch))
        saved = (Path(scratch) / "db.toml").read_text(encoding="utf-8")
    assert saved.startswith("[header]\n"), saved[:100]
    print(f"README: {len(python_blocks(readme))} Python examples ran")
