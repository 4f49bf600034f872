"""Measurements of one document: the timed comparisons, which bench.harness runs with pyperf,
and the extra peak memory of one call, in a process of its own.

    python -m bench.measure encode DOC WRITER... [--regime R] [--quick] [--timer cpu]
    python -m bench.measure loads DOC READER... [--regime R] [--quick] [--timer cpu]
    python -m bench.measure save DOC WAY... [--regime R] [--quick]
    python -m bench.measure memory DOC WRITER
    python -m bench.measure stream DOC

The timed ones print a table: the time of each writer, reader or save named, in both regimes
(or the one given), and its ratio to the first named (its time over the first one's). The
memory ones print JSON.

Memory is the extra peak of one call: native allocations are invisible to tracemalloc, so the
kernel's resident-set high-water mark is reset just before the call (Linux,
/proc/self/clear_refs) and read after it. Where it cannot be reset, the process's maximum RSS
is used instead, which the building of the document may hide; "method" says which.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import shutil
import sys
import tempfile
from typing import Any

from bench import harness, readers, saves, writers
from bench.docs import DOCS, Document
from bench.markdown import table
from bench.readers import READERS
from bench.saves import SAVES
from bench.writers import RAW_WRITERS, WRITERS


def size_of(out) -> int:
    return len(out) if isinstance(out, bytes) else len(out.encode())


def status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def memory(doc_name: str, writer: str) -> dict:
    raw_safe = writer in RAW_WRITERS
    # Loads whatever the writer loads lazily, on a document too small to move the figures.
    WRITERS[writer](Document("1x100", raw_safe))()
    call = WRITERS[writer](Document(doc_name, raw_safe))
    method, before = reset_peak()
    gc.disable()
    out = call()
    extra = peak_since(method, before)
    return {"doc": doc_name, "writer": writer, "method": method,
            "extra_bytes": extra, "output_bytes": size_of(out),
            "object_bytes": sys.getsizeof(out)}


def reset_peak() -> tuple[str, int]:
    """Resets the resident-set high-water mark where the kernel allows: the method and the
    figure to measure from, in KiB."""
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return "clear_refs", status_kib("VmRSS") or 0
    except OSError:
        return "maxrss", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def peak_since(method: str, before: int) -> int:
    peak = (status_kib("VmHWM") if method == "clear_refs"
            else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    return max(0, (peak or 0) - before) * 1024


def stream(doc_name: str) -> dict:
    """A save that replaces by rename: its extra peak memory, and that of encoding the same
    document; raw mode on the raw-safe document, on the disk of the current folder."""
    from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data

    doc = Document(doc_name, raw_safe=True)
    folder = tempfile.mkdtemp(prefix="bench-stream-", dir=os.getcwd())
    target = os.path.join(folder, "db.toml")
    try:
        write_unified_data(Document("1x100", raw_safe=True).model, target)
        model = doc.model
        method, before = reset_peak()
        write_unified_data(model, target)
        extra = peak_since(method, before)
        method_e, before_e = reset_peak()
        data = encode_unified_data(model)
        encode_extra = peak_since(method_e, before_e)
        del data
        size = os.path.getsize(target)
    finally:
        shutil.rmtree(folder)
    return {"doc": doc_name, "records": doc.records, "bytes": size, "method": method,
            "extra_bytes": extra, "encode_extra_bytes": encode_extra}


def compare(case: str, doc: str, names: list[str], regimes: list[str],
            setting: harness.Settings) -> str:
    """The pyperf benchmarks of `names` on `doc`, in turn, and their table."""
    def spec(name: str, regime: str) -> harness.Spec:
        if case == "encode":
            return writers.spec(doc, name, regime, setting.quick)
        if case == "loads":
            return readers.spec(doc, name, regime, setting.quick)
        return saves.spec(doc, name, regime)

    groups = [[spec(name, regime) for name in names] for regime in regimes]
    results = harness.run(groups, setting)
    rows = []
    for name in names:
        row = [name]
        for regime in regimes:
            first, mine = results[spec(names[0], regime)], results[spec(name, regime)]
            row += [mine.text(), harness.ratio_text(mine, first)]
        rows.append(row)
    header = [case + " " + doc]
    for regime in regimes:
        header += [harness.REGIMES[regime], f"/ {names[0]}"]
    return "\n".join([harness.machine(results), "",
                      harness.method(setting), "", table(header, rows)])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["encode", "loads", "save", "memory", "stream"])
    parser.add_argument("doc", choices=list(DOCS))
    parser.add_argument("names", nargs="*", help="writers, readers or saves (memory: a writer)")
    parser.add_argument("--regime", choices=list(harness.REGIMES), help="default: both")
    harness.add_options(parser)
    args = parser.parse_args()
    known: Any = {"encode": WRITERS, "loads": READERS, "save": SAVES, "memory": WRITERS,
             "stream": {}}[args.what]
    for name in args.names:
        if name not in known:
            parser.error(f"unknown {args.what} {name!r}: one of {', '.join(known)}")
    if args.what == "memory":
        print(json.dumps(memory(args.doc, args.names[0])))
    elif args.what == "stream":
        print(json.dumps(stream(args.doc)))
    elif not args.names:
        parser.error("name at least one writer, reader or save")
    else:
        print(compare(args.what, args.doc, args.names,
                      [args.regime] if args.regime else list(harness.REGIMES),
                      harness.settings(args.quick, args.timer)))


if __name__ == "__main__":
    main()
