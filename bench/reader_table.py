"""The reader's part of `python -m bench`: its measurements, tables and targets.

Every figure comes from a fresh process (bench.measure_reader); `child` and `progress` are
the runner's own, passed in by bench.__main__.
"""

from __future__ import annotations

import os
import tempfile
from importlib import metadata
from typing import Any, Callable

from bench.markdown import table, throughput_table
from bench.readers import MISSING, PEERS, QUICK_RECORD_LIMITS, RECORD_LIMITS, compiled

THROUGHPUT_DOCS = ["10x1k", "20x10k", "non-ascii-10x1k", "numeric-10x1k"]
MIXED_DOCS = ["10x1k", "20x10k"]
READERS = ["inkreader", *PEERS]
MODULE = "bench.measure_reader"


def measure(quick: bool, child: Callable[..., dict], progress: Callable[[str], None]) -> dict:
    extra = ["--quick"] if quick else []
    out: dict[str, Any] = {"throughput": {}, "memory": []}
    for name in THROUGHPUT_DOCS:
        progress(f"  reading: {name}")
        out["throughput"][name] = child("throughput", name, *extra, module=MODULE)
    big = "10x1k" if quick else "20x10k"
    progress(f"  reading a file: {big}")
    out["file"] = child("file", big, *extra, module=MODULE)
    with tempfile.TemporaryDirectory() as folder:
        for doc_name, readers in ((big, ["inkreader", "orjson"]),
                                  ("non-ascii-10x1k", ["inkreader"])):
            path = os.path.join(folder, f"{doc_name}.toml")
            child("write", doc_name, path, module=MODULE)
            for reader in readers:
                progress(f"  reading memory: {doc_name}, {reader}")
                out["memory"].append({"doc": doc_name,
                                      **child("memory", path, reader, module=MODULE)})
    progress("  reading at 1 MB and 100 MB")
    out["scale"] = child("scale", *extra, module=MODULE)
    return out


def peers() -> str:
    found = []
    for name in PEERS:
        if name in MISSING or name == "tomllib":
            continue
        label = f"{name} {metadata.version(name.replace('_', '-'))}"
        found.append(label + (" (compiled)" if name == "tomli" and compiled(name) else ""))
    missing = [f"{name} {why}" for name, why in MISSING.items()]
    return "Readers: " + ", ".join(found + missing) + "."


def mb_s(row: dict, reader: str) -> float:
    r = row["readers"][reader]
    return r["bytes"] / r["seconds"] / 1e6


def report(res: dict, quick: bool) -> str:
    thr = res["throughput"]
    out = ["## Reading: throughput, MB/s of each reader's own input", "", peers(),
           "TOML from our encoder in escaped mode; orjson reads the JSON of the same dict. "
           "A reader whose result differs from that dict is marked WRONG.", ""]
    present = [r for r in READERS if r not in MISSING]
    out += throughput_table(
        thr, "readers", present,
        lambda row, reader, mark: f"{mb_s(row, reader):.1f}{mark}"
        + ("" if row["readers"][reader]["equal"] else " WRONG"),
        QUICK_RECORD_LIMITS if quick else RECORD_LIMITS)
    peers_present = present[1:]
    rows = [[name] + [f"{mb_s(row, 'inkreader') / mb_s(row, p):.3g}x" for p in peers_present]
            for name, row in thr.items()]
    out += ["inkreader's MB/s divided by each reader's:", "",
            table(["document"] + peers_present, rows), ""]

    rows = [[name, f"{row['readers']['inkreader']['seconds'] * 1e3:.2f}",
             f"{row['readers']['floor']['seconds'] * 1e3:.2f}",
             f"{row['readers']['inkreader']['seconds'] / row['readers']['floor']['seconds']:.2f}x",
             f"{row['readers']['orjson']['seconds'] * 1e3:.2f}"] for name, row in thr.items()]
    out += ["The floor: the same objects built from a compact form with no text to scan, each "
            "key made once (bench/floor.cpp): the cost of the objects alone.", "",
            table(["document", "loads ms", "floor ms", "loads / floor", "orjson.loads ms"], rows),
            ""]

    f = res["file"]
    out += ["## Reading a whole document from its file", "",
            table(["document", "TOML MB", "write_unified_data ms", "read_unified_data ms",
                   "read / write", "orjson.loads ms", "read / orjson.loads",
                   "orjson.loads + validation ms", "same model"],
                  [[f["doc"], f"{f['bytes'] / 1e6:.1f}", f"{f['write'] * 1e3:.1f}",
                    f"{f['read'] * 1e3:.1f}", f"{f['read'] / f['write']:.1f}x",
                    f"{f['orjson'] * 1e3:.1f}", f"{f['read'] / f['orjson']:.2f}x",
                    f"{f['orjson_validated'] * 1e3:.1f}", "yes" if f["equal"] else "NO"]]), ""]

    out += ["## Reading: extra peak memory of one call (fresh process, resident-set high-water "
            "mark)", "",
            table(["document", "reader", "input MB", "returned objects MB", "extra peak MB",
                   "peak / (objects + input)"],
                  [[m["doc"], m["reader"], f"{m['input_bytes'] / 1e6:.1f}",
                    f"{m['object_bytes'] / 1e6:.1f}", f"{m['extra_bytes'] / 1e6:.1f}",
                    f"{memory_ratio(m):.2f}x"] for m in res["memory"]]), "",
            "Returned objects: every dict, list, key and value reachable from the result, "
            "each counted once. Input: the document's UTF-8 bytes.", ""]

    sc = res["scale"]
    out += ["## Reading at 1 MB and at 100 MB (mixed records; orjson.loads on the same content)",
            "", table(["document", "TOML MB", "inkreader ms per MB", "orjson ms per MB"],
                      [[name, f"{s['bytes'] / 1e6:.1f}", f"{s['s_per_mb'] * 1e3:.2f}",
                        f"{sc['orjson'][name]['s_per_mb'] * 1e3:.2f}"]
                       for name, s in sc["inkreader"].items()]),
            "", "100 MB / 1 MB: " + ", ".join(
                f"{r} {scale_ratio(sc, r):.2f}x" for r in ("inkreader", "orjson")), ""]

    out += ["## Reader targets", "", table(["target", "figure", "met"], targets(res)), ""]
    return "\n".join(out)


def scale_ratio(sc: dict, reader: str) -> float:
    return sc[reader]["100 MB"]["s_per_mb"] / sc[reader]["1 MB"]["s_per_mb"]


def memory_ratio(m: dict) -> float:
    return m["extra_bytes"] / (m["object_bytes"] + m["input_bytes"])


def targets(res: dict) -> list[list[str]]:
    def row(label, figure, ok):
        return [label, figure, "yes" if ok else "no"]

    thr = res["throughput"]
    def vs_orjson_of(docs):
        return [mb_s(thr[d], "inkreader") / mb_s(thr[d], "orjson") for d in docs]

    vs_orjson = vs_orjson_of(MIXED_DOCS)
    other = vs_orjson_of(["non-ascii-10x1k", "numeric-10x1k"])
    f = res["file"]
    whole = f["read"] / f["orjson"]
    ours_mem = [memory_ratio(m) for m in res["memory"] if m["reader"] == "inkreader"]
    scale = scale_ratio(res["scale"], "inkreader")
    right = all(r["equal"] for row in thr.values() for r in row["readers"].values())
    return [
        row("every reader's result equals the document", "", right and f["equal"]),
        row("mixed records: loads at least 0.67x orjson.loads' MB/s (stretch 1x)",
            ", ".join(f"{v:.2f}x" for v in vs_orjson), min(vs_orjson) >= 0.67),
        row("non-ASCII and numeric records: loads at least orjson.loads' MB/s",
            ", ".join(f"{v:.2f}x" for v in other), min(other) >= 1),
        row(f"read_unified_data of {f['doc']} at most 2x the time of orjson.loads",
            f"{whole:.2f}x", whole <= 2),
        row("extra peak memory of loads at most its objects plus one input copy",
            ", ".join(f"{v:.2f}x" for v in ours_mem), max(ours_mem) <= 1),
        row("time per MB at 100 MB at most 1.5x that at 1 MB", f"{scale:.2f}x", scale <= 1.5),
    ]
