"""The README runs as written and renders on the package index."""

import re
import tomllib
from pathlib import Path

from readme_examples import python_blocks, run_examples

README = Path(__file__).parent.parent / "README.md"


def test_python_examples_run(tmp_path):
    assert len(python_blocks(README)) >= 3
    run_examples(README, tmp_path)
    assert (tmp_path / "db.toml").read_text(encoding="utf-8").startswith("[header]\n")


def test_toml_examples_parse():
    blocks = re.findall(r"```toml\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks and all(tomllib.loads(block) for block in blocks)


def test_links_work_outside_the_repository():
    # The package index shows the README on its own: a relative link leads nowhere there.
    targets = re.findall(r"\]\(([^)]*)\)", README.read_text(encoding="utf-8"))
    relative = [t for t in targets if not re.match(r"(https://|#)", t)]
    assert relative == []
