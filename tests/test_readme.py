"""The README's Python examples run as written."""

import re
from pathlib import Path

from wrenfold.datastore.example import EXAMPLE

README = Path(__file__).parent.parent / "README.md"


def test_python_examples_run(tmp_path, monkeypatch):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert len(blocks) >= 3
    monkeypatch.chdir(tmp_path)
    namespace = {"data": EXAMPLE}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)
    assert (tmp_path / "db.toml").read_text(encoding="utf-8").startswith("[header]\n")
