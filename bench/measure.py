"""One measurement of one document, in a process of its own, printed as JSON.

    python -m bench.measure throughput DOC [WRITER...] [--quick]
    python -m bench.measure per-record [--quick]
    python -m bench.measure memory DOC WRITER
    python -m bench.measure save DOC [--quick]
    python -m bench.measure stream DOC [--quick]

A fresh process per document keeps one measurement's garbage and allocator state out of the
next. Memory is the extra peak of one call: native allocations are invisible to tracemalloc,
so the kernel's resident-set high-water mark is reset just before the call (Linux,
/proc/self/clear_refs) and read after it. Where it cannot be reset, the process's maximum
RSS is used instead, which the building of the document may hide; "method" says which.
"""

from __future__ import annotations

import argparse
import functools
import gc
import json
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

from bench.docs import DOCS, build, build_named, first_records, non_ascii_share
from bench.writers import QUICK_RECORD_LIMITS, RAW_WRITERS, RECORD_LIMITS, WRITERS
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data


def median_time(fn, budget: float, least: int, most: int) -> tuple[float, object]:
    """Median seconds of one call, after one untimed call; as many runs as fit the budget."""
    out = fn()
    times: list[float] = []
    while len(times) < least or (len(times) < most and sum(times) < budget):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), out


def interleaved_medians(fns: dict, budget: float, least: int,
                        most: int) -> dict[str, tuple[float, object]]:
    """median_time of every function, their calls taken in turn, round after round. Before
    each timed call, untimed: the cyclic garbage that the call before left is collected
    (else this function pays for it; the documents are frozen first, so that this costs
    little), and the function is called once, so that its code and data are back in the
    caches that the function before it used."""
    outs = {name: fn() for name, fn in fns.items()}
    gc.collect()
    gc.freeze()
    times: dict[str, list[float]] = {name: [] for name in fns}
    spent, rounds = 0.0, 0
    while rounds < least or (rounds < most and spent < budget):
        rounds += 1
        for name, fn in fns.items():
            gc.collect()
            fn()
            start = time.perf_counter()
            fn()
            elapsed = time.perf_counter() - start
            times[name].append(elapsed)
            spent += elapsed
    return {name: (statistics.median(t), outs[name]) for name, t in times.items()}


def size_of(out) -> int:
    return len(out) if isinstance(out, bytes) else len(out.encode())


def throughput(doc_name: str, quick: bool, writers: list[str]) -> dict:
    limits = QUICK_RECORD_LIMITS if quick else RECORD_LIMITS
    budget, least, most = (0.1, 3, 200) if quick else (0.5, 5, 2000)
    doc, plain = build_named(doc_name)
    safe = build_named(doc_name, raw_safe=True) if RAW_WRITERS.intersection(writers) else None
    tables, per_table, _ = DOCS[doc_name]
    result = {"records": tables * per_table, "writers": {}}
    if doc_name.startswith("non-ascii"):
        result["non_ascii"] = non_ascii_share(plain)
    calls = {}
    for writer in writers:
        d, p = safe if safe and writer in RAW_WRITERS else (doc, plain)
        records = tables * per_table
        if records > limits.get(writer, records):
            d, p, records = first_records(d, p, limits[writer])
        calls[writer] = (functools.partial(WRITERS[writer], d, p), records)
    # In alternation, so that whatever else the machine does weighs on every writer alike.
    medians = interleaved_medians({w: fn for w, (fn, _) in calls.items()},
                                  budget * len(calls), least, most)
    for writer, (seconds, out) in medians.items():
        result["writers"][writer] = {"seconds": seconds, "bytes": size_of(out),
                                     "records": calls[writer][1]}
    return result


def per_record(quick: bool) -> dict:
    """ns per record at 1,000 and 100,000 records, timed in alternation so that whatever else
    the machine does weighs on both alike."""
    rounds = 5 if quick else 15
    result = {}
    for writer in ("inkwright", "orjson"):
        write, raw_safe = WRITERS[writer], writer in RAW_WRITERS
        small, large = build_named("1x1k", raw_safe), build_named("1x100k", raw_safe)
        write(*small), write(*large)
        times: dict[str, list[float]] = {"1x1k": [], "1x100k": []}
        for _ in range(rounds):
            for name, (doc, plain), calls in (("1x1k", small, 100), ("1x100k", large, 1)):
                start = time.perf_counter()
                for _ in range(calls):
                    write(doc, plain)
                records = DOCS[name][0] * DOCS[name][1] * calls
                times[name].append((time.perf_counter() - start) / records * 1e9)
        result[writer] = {name: statistics.median(t) for name, t in times.items()}
    return result


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
    doc, plain = build_named(doc_name, raw_safe)
    write = WRITERS[writer]
    # Loads whatever the writer loads lazily, on a document too small to move the figures.
    write(*build("warm-up", 1, 5, raw_safe=raw_safe))
    method, before = reset_peak()
    gc.disable()
    out = write(doc, plain)
    extra = peak_since(method, before)
    return {"doc": doc_name, "writer": writer, "method": method,
            "extra_bytes": extra, "output_bytes": size_of(out),
            "object_bytes": sys.getsizeof(out)}


def save(doc_name: str, quick: bool) -> dict:
    """write_unified_data, which flushes the file and its folder, against the same steps in
    Python (encode, write a temporary file, rename it) with and without those flushes; on
    the disk of the current folder, as a temporary folder's may be in memory. Raw mode, as
    the library's default, on the raw-safe document."""
    doc, _ = build_named(doc_name, raw_safe=True)
    folder = tempfile.mkdtemp(prefix="bench-save-", dir=os.getcwd())
    target = os.path.join(folder, "db.toml")

    def python_save(flush: bool) -> None:
        data, temp = encode_unified_data(doc).encode(), target + ".tmp"
        with open(temp, "wb") as f:
            f.write(data)
            if flush:
                os.fsync(f.fileno())
        os.replace(temp, target)
        if flush:
            fd = os.open(folder, os.O_RDONLY)
            os.fsync(fd)
            os.close(fd)

    budget, least, most = (0.5, 3, 50) if quick else (3.0, 7, 200)
    try:
        ours, _ = median_time(lambda: write_unified_data(doc, target), budget, least, most)
        flushed, _ = median_time(lambda: python_save(True), budget, least, most)
        unflushed, _ = median_time(lambda: python_save(False), budget, least, most)
        size = os.path.getsize(target)
    finally:
        shutil.rmtree(folder)
    return {"doc": doc_name, "bytes": size, "ours": ours, "flushed": flushed,
            "unflushed": unflushed}


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


def stream(doc_name: str, quick: bool) -> dict:
    """A save that replaces by rename: its extra peak memory, and its time against the parts
    it is made of done one after the other in Python (encode, then one os.write and one
    fsync of the same bytes to a new file), on the disk of the current folder; raw mode on
    the raw-safe document."""
    doc, _ = build_named(doc_name, raw_safe=True)
    tables, per_table, _ = DOCS[doc_name]
    folder = tempfile.mkdtemp(prefix="bench-stream-", dir=os.getcwd())
    target = os.path.join(folder, "db.toml")
    try:
        write_unified_data(build("warm-up", 1, 5, raw_safe=True)[0], target)
        method, before = reset_peak()
        write_unified_data(doc, target)
        extra = peak_since(method, before)
        method_e, before_e = reset_peak()
        data = encode_unified_data(doc)
        encode_extra = peak_since(method_e, before_e)
        del data

        def write_and_flush() -> None:
            data = encode_unified_data(doc).encode()
            start = time.perf_counter()
            fd = os.open(os.path.join(folder, "plain"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
            try:
                os.write(fd, data)
                os.fsync(fd)
            finally:
                os.close(fd)
            write_times.append(time.perf_counter() - start)

        budget, least, most = (1.0, 3, 10) if quick else (6.0, 5, 30)
        write_times: list[float] = []
        ours, _ = median_time(lambda: write_unified_data(doc, target), budget, least, most)
        encode, _ = median_time(lambda: encode_unified_data(doc), budget, least, most)
        for _ in range(least):
            write_and_flush()
        size = os.path.getsize(target)
    finally:
        shutil.rmtree(folder)
    return {"doc": doc_name, "records": tables * per_table, "bytes": size, "method": method,
            "extra_bytes": extra, "encode_extra_bytes": encode_extra, "ours": ours,
            "encode": encode, "write_fsync": statistics.median(write_times)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what",
                        choices=["throughput", "per-record", "memory", "save", "stream"])
    parser.add_argument("doc", nargs="?", choices=list(DOCS))
    parser.add_argument("writers", nargs="*", choices=list(WRITERS),
                        help="the writers to measure (throughput: default all; memory: one)")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.what == "throughput":
        print(json.dumps(throughput(args.doc, args.quick, args.writers or list(WRITERS))))
    elif args.what == "per-record":
        print(json.dumps(per_record(args.quick)))
    elif args.what == "save":
        print(json.dumps(save(args.doc, args.quick)))
    elif args.what == "stream":
        print(json.dumps(stream(args.doc, args.quick)))
    else:
        print(json.dumps(memory(args.doc, args.writers[0])))


if __name__ == "__main__":
    main()
