"""Resident memory stays flat over 10,000 calls of each path, on success and on failure.

Each path runs in a fresh child process, so that nothing the test process has allocated
counts: the child warms up, then reads its resident size from /proc/self/statm around each of
three windows of 10,000 calls. A leak grows memory in every window; the allocator's one-off
steps do not (failing calls, for one, keep rebuilding the interpreter's table of interned
strings as the names of their traceback entries come and go, and glibc moves that table from
mmap to the heap once), so the smallest growth of the three is what must stay under 1 MiB.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

CALLS = 10_000
LIMIT = 1 << 20

pytestmark = [
    pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs /proc/self/statm"),
    # The sanitizer's quarantine holds on to freed memory by design.
    pytest.mark.skipif(bool(os.environ.get("WRENFOLD_SANITIZED")),
                       reason="resident size is meaningless under AddressSanitizer"),
    # Under qemu-user the resident size is the emulator's too: it grows by megabytes per
    # 10,000 calls on every path, while the program's own heap stays flat.
    pytest.mark.skipif(bool(os.environ.get("WRENFOLD_EMULATED")),
                       reason="resident size counts the emulator's own memory under qemu-user"),
]

PRELUDE = r"""
import atexit, gc, os, shutil, sys, tempfile
from pydantic import BaseModel, ValidationError
from support.inkwright_docs import Doc, Table, column, model
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data as encode
from wrenfold.datastore.adapter.toml.inkwright import write_unified_data as write
from wrenfold.datastore.tables.data import TableData
from wrenfold.datastore.tables.ledgerbox import TablesHolder

def fails(fn, exc):
    try:
        fn()
    except exc:
        return
    raise AssertionError(f"no {exc.__name__}")

class Model(BaseModel):
    tables: TablesHolder

records = [{"id": i, "name": f"n{i}\t\u00e9", "score": i / 7, "big": 2**70 + i,
            "tags": ["a", {"k": [i, None, True]}]} for i in range(50)]
doc = model({"users": TableData(columns=[{"name": "id", "type": "INTEGER", "default": 0}],
                                records=records)})
bad = Doc({"t": Table(records=[{"v": 1}, {"v": "\ud800"}])})
class Failing:
    def tuple_values(self):
        raise LookupError
raising = Doc({"t": Failing()})
# 40,000 saves, each flushed twice: on a busy disk that alone outlasts the time limit.
target = os.path.join(tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None),
                      "db.toml")
atexit.register(shutil.rmtree, os.path.dirname(target), True)
table = TableData(records=[{"a": 1}])
h = TablesHolder({"a": table, "b": None})
other = TablesHolder({"a": table, "b": None})
"""

PATHS = {
    "encode": "encode(doc)",
    "encode_escaped": "encode(doc, escape_strings=True)",
    "write": "write(doc, target)",
    "encode_failing": "fails(lambda: encode(bad, True), UnicodeEncodeError); "
                      "fails(lambda: encode(raising), LookupError); "
                      "fails(lambda: encode(doc, bogus=1), TypeError)",
    "write_failing": "fails(lambda: write(bad, target), UnicodeEncodeError); "
                     "fails(lambda: write(doc, '/nonexistent/db.toml'), OSError); "
                     "fails(lambda: write(doc, '/dev/full'), OSError)",
    "holder_operations": "h.add('t', table); h.get('t'); h['t']; 't' in h; h.contains('t'); "
                         "h.keys(); h.values(); h.items(); list(h.iterate()); h.remove('t')",
    "holder_conversions": "TablesHolder({'a': {'records': [{'x': 1}]}, 'b': table}); "
                          "TablesHolder(h); h.model_dump(); h.model_dump(False); h.as_dict()",
    "holder_compare": "h == other; h != other; hash(h); repr(h)",
    "holder_pydantic": "Model(tables={'a': table}).model_dump(); Model(tables=h).model_dump()",
    "holder_failing": "fails(lambda: h.remove('zz'), KeyError); fails(lambda: h.add(1, 1), TypeError); "
                      "fails(lambda: TablesHolder({'a': {'columns': 5}}), ValidationError); "
                      "fails(lambda: h.model_dump(exclude=1), TypeError)",
}

MEASURE = r"""
def run():
    for _ in range({calls}):
        {path}

def resident():
    gc.collect()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

run()  # warm-up: caches, free lists and the allocator's arenas fill here
growth = []
for _ in range(3):
    before = resident()
    run()
    growth.append(resident() - before)
print(*growth)
"""


@pytest.mark.parametrize("path", PATHS)
def test_resident_memory_stays_flat(path):
    code = PRELUDE + MEASURE.format(calls=CALLS, path=PATHS[path])
    here = str(Path(__file__).parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([here, *(p for p in sys.path if p)]))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=env, timeout=300)
    assert result.returncode == 0, result.stderr
    growth = [int(n) for n in result.stdout.split()]
    assert min(growth) < LIMIT, f"{path}: bytes of growth per {CALLS} calls: {growth}"
