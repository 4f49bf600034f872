"""The readers' extra peak memory, in a process of its own, printed as JSON.

    python -m bench.measure_reader write DOC PATH
    python -m bench.measure_reader memory PATH READER

`memory` reads a document that `write` left in a file (its TOML from our encoder in escaped
mode, and PATH.json: the JSON of the same dict), so that nothing of building the document is
left in the process. The readers' times are pyperf benchmarks (`python -m bench.measure loads`).
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
from typing import Any, Callable

from bench.docs import DOCS, Document
from bench.measure import size_of, status_kib


def write_text(doc_name: str, path: str) -> dict:
    doc = Document(doc_name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(doc.toml)
    with open(path + ".json", "wb") as f:
        f.write(doc.json)
    return {"path": path}


def object_size(root: object) -> int:
    """Bytes of every object reachable from `root` through dicts and lists, each counted once:
    shared key strings are stored once however many records hold them."""
    seen: set[int] = set()
    total, stack = 0, [root]
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        total += sys.getsizeof(obj)
        if isinstance(obj, dict):
            stack.extend(obj)
            stack.extend(obj.values())
        elif isinstance(obj, list):
            stack.extend(obj)
    return total


def memory(path: str, reader: str) -> dict:
    """Extra resident-set peak of one call, reset through /proc/self/clear_refs (Linux)."""
    if reader == "orjson":
        from orjson import loads as read_json

        with open(path + ".json", "rb") as f:
            data: Any = f.read()
        read: Callable[[Any], Any] = read_json
    else:
        from wrenfold.datastore.adapter.toml import loads

        with open(path, encoding="utf-8") as f:
            data = f.read()
        read = loads
    read(b"{}" if reader == "orjson" else "a = 1")  # loads what the reader loads lazily
    gc.collect()
    gc.disable()
    before = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    out = read(data)
    peak = status_kib("VmHWM")
    assert before is not None and peak is not None
    return {"reader": reader, "input_bytes": size_of(data), "object_bytes": object_size(out),
            "extra_bytes": max(0, peak - before) * 1024}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["write", "memory"])
    parser.add_argument("args", nargs=2, help="DOC PATH, or PATH READER (inkreader or orjson)")
    args = parser.parse_args()
    if args.what == "write":
        if args.args[0] not in DOCS:
            parser.error(f"unknown document {args.args[0]!r}")
        print(json.dumps(write_text(*args.args)))
    else:
        print(json.dumps(memory(*args.args)))


if __name__ == "__main__":
    main()
