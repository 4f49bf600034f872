"""The buffer: a document needs neither the estimate's 2,000 bytes a record nor to fit the
first block, and escaped text no more room than raw text."""

import os
import resource
import subprocess
import sys

import pytest

from support.inkwright_docs import Doc, Table, header
from support.privileged import in_child
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data

# Their children are forked: run outside the parallel workers (tools/pytest-parallel).
pytestmark = pytest.mark.forks

CHILD = """
import resource, sys
sys.path.insert(0, {tests!r})
from support.inkwright_docs import Doc, Table, header
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data

n, headroom = {records}, {headroom}
doc = Doc({{"t": Table(records=[{{"a": 1}}] * n)}})
expected = (header("t") + "\\n[tables.t]\\ncolumns = [\\n]\\nrecords = [\\n"
            + "    {{ a = 1 }},\\n" * n + "]\\n")
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + headroom, size + headroom))
text = encode_unified_data(doc)
assert text == expected, "text differs"
print("ok", len(text))
"""


# The address-space limit leaves no room for AddressSanitizer's shadow memory.
@pytest.mark.skipif(bool(os.environ.get("WRENFOLD_SANITIZED")),
                    reason="an address-space limit cannot run under ASan")
@pytest.mark.parametrize(("records", "headroom"), [
    (400_000, 400 << 20),  # estimate 800 MB, text 6 MB
    (15_000, 24 << 20),    # estimate 30 MB, refused: the smaller start is taken
], ids=["estimate-beyond-256MiB", "first-allocation-refused"])
def test_document_is_written_where_its_estimate_cannot_be_allocated(records, headroom):
    code = CHILD.format(tests=os.path.dirname(__file__), records=records, headroom=headroom)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.startswith("ok")


@pytest.mark.parametrize(("first", "line"), [({"a": 1}, "{ a = 1 }"),
                                             ({"é": "ü"}, '{ "é" = "ü" }')],
                         ids=["ascii", "non-ascii-before-growth"])
def test_document_larger_than_the_first_block(first, line):
    n = 2_200_000  # 15 bytes a line: past the first block of 31 MiB
    text = encode_unified_data(Doc({"t": Table(records=[first] + [{"a": 1}] * n)}))
    assert text == (header("t") + "\n[tables.t]\ncolumns = [\n]\nrecords = [\n"
                    + f"    {line},\n" + "    { a = 1 },\n" * n + "]\n")


def save_long_text_under_a_limit(folder, headroom):
    """In a child: 50 million Cyrillic letters (100 MB as str and as UTF-8) saved and
    encoded in both modes under an address-space limit of `headroom` past what is in use.
    Escaped mode goes first, before raw mode has left the UTF-8 in the string."""
    text = "ж" * 50_000_000
    doc = Doc({"t": Table(records=[{"v": text}])})
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + headroom, size + headroom))
    outcomes = []
    for escape in (True, False):
        try:
            write_unified_data(doc, os.path.join(folder, "db.toml"), escape)
            outcomes.append(os.path.getsize(os.path.join(folder, "db.toml")) > 100_000_000)
            outcomes.append(len(encode_unified_data(doc, escape)) > 50_000_000)
        except MemoryError:
            outcomes += ["MemoryError"]
    return outcomes


@pytest.mark.skipif(bool(os.environ.get("WRENFOLD_SANITIZED")),
                    reason="an address-space limit cannot run under ASan")
def test_escaped_long_text_needs_no_more_memory_than_raw(tmp_path):
    # Raw mode needs the UTF-8 (100 MB) and a buffer that grows to hold it; escaped mode
    # once reserved six bytes a byte, 600 MB.
    assert in_child(save_long_text_under_a_limit, str(tmp_path), 450 << 20) == [True] * 4
