"""One measurement of the readers, in a process of its own, printed as JSON.

    python -m bench.measure_reader throughput DOC [READER...] [--quick]
    python -m bench.measure_reader file DOC [--quick]
    python -m bench.measure_reader write DOC PATH
    python -m bench.measure_reader memory PATH READER
    python -m bench.measure_reader scale [--quick]

Every reader reads what our encoder writes in escaped mode (orjson: the JSON of the same dict)
and its result is compared with that dict once, untimed. `memory` reads a document that
`write` left in a file, so that nothing of building the document is left in the process.
"""

from __future__ import annotations

import argparse
import functools
import gc
import json
import os
import statistics
import sys
import tempfile
import time
from typing import Any

import orjson

from bench import floor
from bench.docs import DOCS, build, build_named, first_records
from bench.measure import interleaved_medians, median_time, size_of, status_kib
from bench.readers import (INPUT, MISSING, QUICK_RECORD_LIMITS, READERS, RECORD_LIMITS,
                           inkreader, validated)
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data

# Mixed records of about 1 MB and 100 MB of TOML, for the time per MB at both sizes.
SCALE_DOCS = {"1 MB": (1, 4_400), "100 MB": (44, 10_000)}


def inputs(doc: Any, plain: dict[str, Any]) -> dict[str, Any]:
    return {"toml": encode_unified_data(doc, escape_strings=True), "json": orjson.dumps(plain),
            "tape": floor.tape(plain)}


def throughput(doc_name: str, quick: bool, readers: list[str]) -> dict:
    limits = QUICK_RECORD_LIMITS if quick else RECORD_LIMITS
    budget, least, most = (0.1, 3, 200) if quick else (0.5, 5, 2000)
    doc, plain = build_named(doc_name)
    tables, per_table, _ = DOCS[doc_name]
    whole = inputs(doc, plain)
    result: dict[str, Any] = {"records": tables * per_table, "readers": {}, "missing": MISSING}
    calls, meta = {}, {}
    for reader in readers:
        data, expected, records = whole, plain, tables * per_table
        if records > limits.get(reader, records):
            d, expected, records = first_records(doc, plain, limits[reader])
            data = inputs(d, expected)
        text = data[INPUT[reader]]
        calls[reader] = functools.partial(READERS[reader], text)
        meta[reader] = (size_of(text), records, expected)
    # In alternation, as the writers are timed.
    medians = interleaved_medians(calls, budget * len(calls), least, most)
    for reader, (seconds, out) in medians.items():
        size, records, expected = meta[reader]
        result["readers"][reader] = {"seconds": seconds, "bytes": size, "records": records,
                                     "equal": out == expected}
    return result


def file_round(doc_name: str, quick: bool) -> dict:
    """read_unified_data of a file against write_unified_data of it, and against orjson.loads
    (alone and followed by validation into the model) of the same content."""
    budget, least, most = (0.1, 3, 50) if quick else (0.5, 5, 200)
    doc, plain = build_named(doc_name)
    data = inputs(doc, plain)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "doc.toml")
        write, _ = median_time(lambda: write_unified_data(doc, path, True), budget, least, most)
        read, model = median_time(lambda: inkreader.read_unified_data(path), budget, least, most)
    parse, _ = median_time(lambda: orjson.loads(data["json"]), budget, least, most)
    validate, expected = median_time(lambda: validated(orjson.loads(data["json"])), budget,
                                     least, most)
    return {"doc": doc_name, "bytes": size_of(data["toml"]), "write": write, "read": read,
            "orjson": parse, "orjson_validated": validate, "equal": model == expected}


def write_text(doc_name: str, path: str) -> dict:
    doc, plain = build_named(doc_name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(inputs(doc, plain)["toml"])
    with open(path + ".json", "wb") as f:
        f.write(orjson.dumps(plain))
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
    kind = INPUT[reader]
    if kind == "toml":
        with open(path, encoding="utf-8") as f:
            data: str | bytes = f.read()
    else:
        with open(path + ".json", "rb") as f:
            data = f.read()
    read = READERS[reader]
    read(b"{}" if kind == "json" else "a = 1")  # loads what the reader loads lazily
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


def scale(quick: bool) -> dict:
    """Seconds per MB at about 1 MB and 100 MB, ours and orjson's on the same content, timed
    in alternation like bench.measure's per-record figures, so that whatever else the machine
    does weighs on both sizes alike."""
    data = {}
    for name, (tables, records) in SCALE_DOCS.items():
        doc, plain = build(f"scale {name}", tables, records)
        data[name] = inputs(doc, plain)
        del doc, plain
    gc.collect()
    result: dict[str, dict] = {}
    for reader in ("inkreader", "orjson"):
        read, kind = READERS[reader], INPUT[reader]
        for d in data.values():
            read(d[kind])
        times: dict[str, list[float]] = {name: [] for name in data}
        for _ in range(3 if quick else 5):
            for name, d in data.items():
                calls = 1 if name == "100 MB" else 10
                start = time.perf_counter()
                for _ in range(calls):
                    read(d[kind])
                times[name].append((time.perf_counter() - start) / calls / (size_of(d[kind]) / 1e6))
        result[reader] = {name: {"bytes": size_of(data[name][kind]),
                                 "s_per_mb": statistics.median(t)} for name, t in times.items()}
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["throughput", "file", "write", "memory", "scale"])
    parser.add_argument("args", nargs="*", help="document, path or readers (see above)")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.what == "throughput":
        out = throughput(args.args[0], args.quick, args.args[1:] or list(READERS))
    elif args.what == "file":
        out = file_round(args.args[0], args.quick)
    elif args.what == "write":
        out = write_text(args.args[0], args.args[1])
    elif args.what == "memory":
        out = memory(args.args[0], args.args[1])
    else:
        out = scale(args.quick)
    print(json.dumps(out))


if __name__ == "__main__":
    main()
