"""The reader's part of `python -m bench`: its benchmarks, tables and targets.

Every time is a pyperf benchmark (bench.timing's `loads` case, run by bench.harness): the TOML
readers read what our encoder writes in escaped mode, orjson the JSON of the same dict; each
result is compared with that dict once, untimed. The memory figures come from processes of
their own (bench.measure_reader).
"""

from __future__ import annotations

import os
import tempfile
from importlib import metadata
from typing import Any, Callable

from bench.docs import DOCS, label
from bench.harness import GROUP_ORDER, REGIMES, Result, Spec, progress, ratio, ratio_text
from bench.markdown import cut_note, table, target
from bench.readers import LOADS, QUICK_RECORD_LIMITS, RECORD_LIMITS, compiled, missing
from bench.readers import spec as loads
from bench.saves import spec as save

# Not timed by --quick: each process takes long to build the larger.
SCALE_DOCS = ["scale-1mb", "scale-100mb"]
# The documents of the lead over orjson: at least 1.0x on the first, 1.2x on the others.
LOADS_DOCS = ["1x100", "1x1k", "10x1k", "20x10k", "non-ascii-10x1k", "numeric-10x1k"]
MIXED_DOCS = ["10x1k", "20x10k"]
FLOOR_DOCS = ["non-ascii-10x1k", "numeric-10x1k"]
FILE_READERS = ["read_unified_data", "orjson", "orjson + validation"]


def file_doc(quick: bool) -> str:
    return "10x1k" if quick else "20x10k"


def readers() -> list[str]:
    return [r for r in LOADS if r not in missing()]


def groups(quick: bool) -> list[list[Spec]]:
    """Every reader and the floor on one document; the file's readers (with the save that
    writes it) beside the same document's; both sizes of the scale."""
    out = []
    for doc in LOADS_DOCS:
        for regime in GROUP_ORDER:
            group = [loads(doc, r, regime, quick) for r in readers() + ["floor"]]
            if doc == file_doc(quick):
                group += [loads(doc, r, regime, quick) for r in FILE_READERS if r != "orjson"]
                group.append(save(doc, "write_unified_data escaped", regime))
            out.append(group)
    if not quick:
        for regime in GROUP_ORDER:
            out.append([loads(d, r, regime, quick) for d in SCALE_DOCS
                        for r in ("inkreader", "orjson")])
    return out


def memory(quick: bool, child: Callable[..., dict]) -> list[dict]:
    out = []
    big = file_doc(quick)
    with tempfile.TemporaryDirectory() as folder:
        for doc_name, names in ((big, ["inkreader", "orjson"]), ("non-ascii-10x1k", ["inkreader"])):
            path = os.path.join(folder, f"{doc_name}.toml")
            child("write", doc_name, path, module="bench.measure_reader")
            for reader in names:
                progress(f"  reading memory: {doc_name}, {reader}")
                out.append({"doc": doc_name, **child("memory", path, reader,
                                                     module="bench.measure_reader")})
    return out


def peers() -> str:
    found = []
    for name in readers()[1:]:
        if name == "tomllib":
            continue
        text = f"{name} {metadata.version(name.replace('_', '-'))}"
        found.append(text + (" (compiled)" if name == "tomli" and compiled(name) else ""))
    return "Readers: " + ", ".join(found + [f"{n} {why}" for n, why in missing().items()]) + "."


def memory_ratio(m: dict) -> float:
    return m["extra_bytes"] / (m["object_bytes"] + m["input_bytes"])


class Report:
    """The reader's part of the report, from the results of its benchmarks."""

    def __init__(self, res: dict[Spec, Result], mem: list[dict], quick: bool) -> None:
        self.res, self.mem, self.quick = res, mem, quick

    def get(self, doc: str, reader: str, regime: str) -> Result:
        return self.res[loads(doc, reader, regime, self.quick)]

    def vs(self, doc: str, reader: str, regime: str) -> float:
        return ratio(self.get(doc, reader, regime), self.get(doc, "inkreader", regime))[0]

    def mark(self, result: Result) -> str:
        return result.text() + ("" if result.equal else " WRONG")

    def text(self) -> list[str]:
        out = ["## Reading", "", peers(),
               "TOML from our encoder in escaped mode; orjson reads the JSON of the same dict. A "
               "reader whose result differs from that dict is marked WRONG.", ""]
        rows = []
        for doc in LOADS_DOCS:
            row = [label(doc)]
            for regime in REGIMES:
                ours, theirs = self.get(doc, "inkreader", regime), self.get(doc, "orjson", regime)
                row += [self.mark(ours), self.mark(theirs), ratio_text(theirs, ours)]
            rows.append(row + [f"{self.get(doc, 'inkreader', 'warm').bytes / 1e6:.2f}"])
        out += ["### loads against orjson.loads", "",
                "Ratio: orjson's time over ours (above 1: we are faster).", "",
                table(["document"] + [f"{h}, {REGIMES[r]}" for r in REGIMES
                                      for h in ("loads", "orjson.loads", "ratio")] + ["TOML MB"],
                      rows), ""]
        present = readers()
        for regime in REGIMES:
            rows = [[label(doc)] + [self.mark(self.get(doc, r, regime)) for r in present]
                    for doc in LOADS_DOCS]
            out += [f"### Every reader, {REGIMES[regime]}", "",
                    table(["document"] + present, rows), ""]
        for regime in REGIMES:
            rows = [[label(doc)] + [ratio_text(self.get(doc, r, regime),
                                                    self.get(doc, "inkreader", regime))
                                         for r in present[1:]] for doc in LOADS_DOCS]
            out += [f"### Each reader's time over loads', {REGIMES[regime]}", "",
                    table(["document"] + present[1:], rows), ""]
        limits = QUICK_RECORD_LIMITS if self.quick else RECORD_LIMITS
        out += cut_note(limits, present)
        rows = [[label(doc)] + [ratio_text(self.get(doc, "inkreader", r),
                                                self.get(doc, "floor", r)) for r in REGIMES]
                for doc in LOADS_DOCS]
        out += ["### loads against the floor", "",
                "The floor: the same objects built from a compact form with no text to scan, each "
                "key made once, the collector paused as loads pauses it (bench/floor.cpp): the "
                "cost of the objects alone. loads' time over it:", "",
                table(["document"] + [REGIMES[r] for r in REGIMES], rows), ""]
        return (out + self.file_table() + self.memory_table()
                + ([] if self.quick else self.scale_table()))

    def file_table(self) -> list[str]:
        doc = file_doc(self.quick)
        rows = []
        for regime in REGIMES:
            write = self.res[save(doc, "write_unified_data escaped", regime)]
            read, parse, validate = (self.get(doc, r, regime) for r in FILE_READERS)
            rows.append([REGIMES[regime], write.text(), self.mark(read),
                         f"{read.median / write.median:.2f}x", parse.text(),
                         f"{read.median / parse.median:.2f}x", self.mark(validate)])
        return [f"### Reading a whole document from its file ({doc}, "
                f"{self.get(doc, 'inkreader', 'warm').bytes / 1e6:.1f} MB of TOML)", "",
                table(["regime", "write_unified_data", "read_unified_data", "read / write",
                       "orjson.loads", "read / orjson.loads", "orjson.loads + validation"], rows),
                ""]

    def memory_table(self) -> list[str]:
        rows = [[m["doc"], m["reader"], f"{m['input_bytes'] / 1e6:.1f}",
                 f"{m['object_bytes'] / 1e6:.1f}", f"{m['extra_bytes'] / 1e6:.1f}",
                 f"{memory_ratio(m):.2f}x"] for m in self.mem]
        return ["### Reading: extra peak memory of one call (fresh process, resident-set "
                "high-water mark)", "",
                table(["document", "reader", "input MB", "returned objects MB", "extra peak MB",
                       "peak / (objects + input)"], rows), "",
                "Returned objects: every dict, list, key and value reachable from the result, "
                "each counted once. Input: the document's UTF-8 bytes.", ""]

    def per_mb(self, reader: str, regime: str) -> list[float]:
        return [self.get(d, reader, regime).median / (self.get(d, reader, regime).bytes / 1e6)
                for d in SCALE_DOCS]

    def scale_table(self) -> list[str]:
        rows = []
        for i, doc in enumerate(SCALE_DOCS):
            rows.append([doc, f"{self.get(doc, 'inkreader', 'warm').bytes / 1e6:.1f}"]
                        + [f"{self.per_mb(r, g)[i] * 1e3:.2f}" for g in REGIMES
                           for r in ("inkreader", "orjson")])
        rows.append(["100 MB / 1 MB", ""] + [
            f"{self.per_mb(r, g)[1] / self.per_mb(r, g)[0]:.2f}x" for g in REGIMES
            for r in ("inkreader", "orjson")])
        return ["### Reading at 1 MB and at 100 MB (mixed records, ms per MB of TOML; "
                "orjson.loads on the same content)", "",
                table(["document", "TOML MB"] + [f"{r}, {REGIMES[g]}" for g in REGIMES
                                                 for r in ("loads", "orjson.loads")], rows), ""]

    def targets(self) -> tuple[list[list[str]], list[list[str]]]:
        def each(figure: Callable[[str], list[float]]) -> dict[str, list[float]]:
            return {r: figure(r) for r in REGIMES}

        doc = file_doc(self.quick)
        lead = [
            target("loads: at least 1.0x orjson.loads on 1x100",
                   each(lambda r: [self.vs("1x100", "orjson", r)]), lambda v: v >= 1.0),
            target("loads: at least 1.2x orjson.loads on 1x1k, 10x1k, 20x10k, non-ASCII, "
                   "numeric", each(lambda r: [self.vs(d, "orjson", r) for d in LOADS_DOCS[1:]]),
                   lambda v: v >= 1.2),
            target("loads of the non-ASCII and numeric documents: at most 1.3x their floors",
                   each(lambda r: [ratio(self.get(d, "inkreader", r), self.get(d, "floor", r))[0]
                                   for d in FLOOR_DOCS]), lambda v: v <= 1.3),
        ]
        right = all(res.equal for spec, res in self.res.items() if spec.what[0] == "loads")
        before = [
            ["every reader's result equals the document", "", "yes" if right else "no"],
            target("mixed records: loads at least 0.67x orjson.loads' speed (stretch 1x)",
                   each(lambda r: [self.vs(d, "orjson", r) for d in MIXED_DOCS]),
                   lambda v: v >= 0.67),
            target("non-ASCII and numeric records: loads at least orjson.loads' speed",
                   each(lambda r: [self.vs(d, "orjson", r) for d in FLOOR_DOCS]),
                   lambda v: v >= 1),
            target(f"read_unified_data of {doc} at most 2x the time of orjson.loads",
                   each(lambda r: [self.get(doc, "read_unified_data", r).median
                                   / self.get(doc, "orjson", r).median]), lambda v: v <= 2),
            target("extra peak memory of loads at most its objects plus one input copy",
                   {"": [memory_ratio(m) for m in self.mem if m["reader"] == "inkreader"]},
                   lambda v: v <= 1),
        ]
        if not self.quick:
            before.append(target(
                "time per MB at 100 MB at most 1.5x that at 1 MB",
                each(lambda r: [self.per_mb("inkreader", r)[1] / self.per_mb("inkreader", r)[0]]),
                lambda v: v <= 1.5))
        return lead, before
