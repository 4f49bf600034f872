"""Checks on the native sources that the compiler does not make.

The interpreter's recursion guard is only entered through common::RecursionGuard, which leaves
it on every path out of its scope: a raw enter without its leave makes the recursion depth
drift with every failing call.
"""

import re
from pathlib import Path

SRC = Path(__file__).parents[1] / "src"
GUARD_HEADER = SRC / "wrenfold" / "_cpp" / "common" / "recursion.hpp"
RAW_GUARD = re.compile(r"\bPy_(Enter|Leave)RecursiveCall\s*\(")


def test_recursion_guard_is_entered_only_through_its_raii_type():
    sources = [p for p in SRC.rglob("*") if p.suffix in {".cpp", ".hpp", ".h", ".c"}]
    raw = [str(p.relative_to(SRC)) for p in sources
           if p != GUARD_HEADER and RAW_GUARD.search(p.read_text())]
    assert raw == []
    guarded = [p for p in sources if "RecursionGuard guard(" in p.read_text()]
    assert guarded, "no container writer uses the guard"
