"""The TOML encoder against the Python writers of TOML and JSON, saves, the holder against dict,
and the reader against the Python readers of TOML and orjson.loads.

    python -m bench [--quick] [--timer cpu] [--reader-only]

Needs the package importable (installed, or PYTHONPATH=build/site-<tag>:.) and the peers of the
`bench` dependency group, pyperf among them. Every time is a pyperf benchmark, in two regimes,
warm and after other work (bench.harness); the comparisons with peers are ratios of times for
the same content. Prints Markdown tables: encode against orjson and every writer, time over the
floor, per-record cost at 1,000 and 100,000 records, extra peak memory of one encode, saves,
the holder's operations against dict, then the reader's part (bench.reader_table; --reader-only
runs that part alone), and the targets.

Raw mode refuses text holding a double quote, a backslash or a control character other than
tab, which 3% of the mixed records hold: the raw writers (inkwright, pure Python, and the saves)
run on a raw-safe variant of each document, of the same shape and lengths with those characters
replaced; escaped mode and the peers keep the original.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from importlib import metadata

from bench import bench_holder, harness, reader_table
from bench.docs import DOCS, label
from bench.harness import GROUP_ORDER, REGIMES, Spec, ratio, ratio_text
from bench.markdown import cut_note, table, target
from bench.saves import spec as save
from bench.writers import QUICK_RECORD_LIMITS, RAW_WRITERS, RECORD_LIMITS, WRITERS
from bench.writers import spec as encode

# The documents of the lead over orjson: at least 1.0x on the first, 1.2x on the others.
ENCODE_DOCS = ["1x100", "1x1k", "10x1k", "20x10k", "non-ascii-10x1k", "numeric-10x1k"]
MIXED_DOCS = ["10x1k", "20x10k"]
OURS = "inkwright escaped"
PER_RECORD = ("1x1k", "1x100k")
PER_RECORD_WRITERS = ["inkwright escaped", "inkwright", "orjson"]
SAVE_DOCS = ["1x100", "20x10k"]
SAVE_WAYS = ["write_unified_data", "Python, flushed", "Python, not flushed"]
STREAM = "os.write + fsync"


def child(*args: str, module: str = "bench.measure") -> dict:
    """Runs one memory measurement in a fresh process and returns its result."""
    res = subprocess.run([sys.executable, "-m", module, *args], capture_output=True,
                         text=True, timeout=1800)
    if res.returncode != 0:
        raise RuntimeError(f"{module} {' '.join(args)} failed:\n{res.stderr[-3000:]}")
    return json.loads(res.stdout)


def stream_docs(quick: bool) -> list[str]:
    return ["20x10k"] if quick else ["20x10k", "20x45k"]


def groups(quick: bool) -> list[list[Spec]]:
    """The writers' benchmarks, each group timed in turn: every writer on one document (with the
    per-record document beside the 1,000 records it is compared with), and the saves."""
    out = []
    for doc in ENCODE_DOCS:
        for regime in GROUP_ORDER:
            group = [encode(doc, w, regime, quick) for w in WRITERS]
            if doc == PER_RECORD[0]:
                group += [encode(PER_RECORD[1], w, regime, quick) for w in PER_RECORD_WRITERS]
            out.append(group)
    for doc in SAVE_DOCS:
        for regime in GROUP_ORDER:
            out.append([save(doc, w, regime) for w in SAVE_WAYS]
                       + ([save(doc, STREAM, regime)] if doc in stream_docs(quick) else []))
    for doc in stream_docs(quick):
        if doc not in SAVE_DOCS:
            for regime in GROUP_ORDER:
                out.append([save(doc, "write_unified_data", regime),
                            encode(doc, "inkwright", regime, quick), save(doc, STREAM, regime)])
    return out


def memory(quick: bool) -> tuple[list[dict], list[dict]]:
    big = "10x1k" if quick else "20x10k"
    encodes = []
    for doc_name, writer in [(big, "inkwright"), (big, "inkwright escaped"), (big, "orjson"),
                             ("non-ascii-10x1k", "inkwright")]:
        harness.progress(f"  memory: {doc_name}, {writer}")
        encodes.append(child("memory", doc_name, writer))
    saves = []
    for doc_name in stream_docs(quick):
        harness.progress(f"  memory: save of {doc_name}")
        saves.append(child("stream", doc_name))
    return encodes, saves


def stream_limit(s: dict) -> int:
    """The extra peak a save may take: 16 MiB, and the snapshot's 8 bytes a record."""
    return 16 * 2**20 + 8 * s["records"]


def peers() -> str:
    return "Writers: " + ", ".join(f"{p} {metadata.version(p)}" for p in
                                   ("orjson", "tomli_w", "rtoml", "toml", "tomlkit")) + "."


class Report:
    """The writers' part of the report, from the results of its benchmarks."""

    def __init__(self, res: dict[Spec, harness.Result], quick: bool) -> None:
        self.res, self.quick = res, quick

    def encode(self, doc: str, writer: str, regime: str) -> harness.Result:
        return self.res[encode(doc, writer, regime, self.quick)]

    def save(self, doc: str, way: str, regime: str) -> harness.Result:
        return self.res[save(doc, way, regime)]

    def vs_orjson(self, doc: str, regime: str, writer: str = OURS) -> float:
        return ratio(self.encode(doc, "orjson", regime), self.encode(doc, writer, regime))[0]

    def text(self, encodes: list[dict], saves: list[dict]) -> list[str]:
        out = ["## Writing", "", peers(),
               f"The raw writers ({', '.join(sorted(RAW_WRITERS))}) and the saves write a "
               "raw-safe variant of each document: the 3% of mixed records whose note holds a "
               "quote and a line feed, which raw mode refuses, hold an apostrophe and a space "
               "there instead. Escaped mode and the peers write the original.", ""]
        out += self.orjson_table() + self.writers_tables() + self.floor_table()
        out += self.per_record_table() + self.memory_table(encodes)
        out += self.saves_table() + self.stream_table(saves)
        return out

    def orjson_table(self) -> list[str]:
        rows = []
        for doc in ENCODE_DOCS:
            row = [label(doc)]
            for regime in REGIMES:
                ours, theirs = self.encode(doc, OURS, regime), self.encode(doc, "orjson", regime)
                row += [ours.text(), theirs.text(), ratio_text(theirs, ours)]
            ours, theirs = self.encode(doc, OURS, "warm"), self.encode(doc, "orjson", "warm")
            rows.append(row + [f"{ours.bytes / theirs.bytes:.2f}"])
        return ["### Encode against orjson", "",
                "inkwright in escaped mode against orjson.dumps of the same records as plain "
                "dicts; ratio: orjson's time over ours (above 1: we are faster).", "",
                table(["document"] + [f"{h}, {REGIMES[r]}" for r in REGIMES
                                      for h in ("inkwright escaped", "orjson", "ratio")]
                      + ["output bytes TOML / JSON"], rows), ""]

    def writers_tables(self) -> list[str]:
        limits = QUICK_RECORD_LIMITS if self.quick else RECORD_LIMITS
        out = []
        for regime in REGIMES:
            rows = [[label(doc)] + [self.encode(doc, w, regime).text() for w in WRITERS]
                    for doc in ENCODE_DOCS]
            out += [f"### Every writer, {REGIMES[regime]}", "",
                    table(["document"] + list(WRITERS), rows), ""]
        others = [w for w in WRITERS if w != OURS]
        for regime in REGIMES:
            rows = [[label(doc)] + [ratio_text(self.encode(doc, w, regime),
                                                    self.encode(doc, OURS, regime))
                                         for w in others] for doc in ENCODE_DOCS]
            out += [f"### Each writer's time over inkwright escaped's, {REGIMES[regime]}", "",
                    table(["document"] + others, rows), ""]
        return out + cut_note(limits, WRITERS) if any(limits.get(w) for w in WRITERS) else out

    def floor_table(self) -> list[str]:
        rows = [[label(doc)] + [ratio_text(self.encode(doc, OURS, r),
                                                self.encode(doc, "floor", r)) for r in REGIMES]
                for doc in ENCODE_DOCS]
        return ["### Encode against the floor", "",
                "The floor: the same output copied from pre-rendered pieces, one at each value "
                "of a walk over the same document (bench/floor.cpp): the cost of the walk and "
                "the copy alone. Escaped encode's time over it:", "",
                table(["document"] + [REGIMES[r] for r in REGIMES], rows), ""]

    def per_record(self, writer: str, regime: str) -> list[float]:
        return [self.encode(d, writer, regime).median / self.encode(d, writer, regime).records
                for d in PER_RECORD]

    def per_record_table(self) -> list[str]:
        rows = []
        for doc in PER_RECORD:
            rows.append([f"{DOCS[doc][1]:,}"] + [
                f"{self.encode(doc, w, r).median / self.encode(doc, w, r).records * 1e9:.0f}"
                for r in REGIMES for w in PER_RECORD_WRITERS])
        rows.append(["100,000 / 1,000"] + [
            f"{self.per_record(w, r)[1] / self.per_record(w, r)[0]:.2f}x"
            for r in REGIMES for w in PER_RECORD_WRITERS])
        return ["### Per-record cost, one table of mixed records (ns per record)", "",
                table(["records"] + [f"{w}, {REGIMES[r]}" for r in REGIMES
                                     for w in PER_RECORD_WRITERS], rows), ""]

    def memory_table(self, mem: list[dict]) -> list[str]:
        rows = [[m["doc"], m["writer"], f"{m['output_bytes'] / 1e6:.1f}",
                 f"{m['object_bytes'] / 1e6:.1f}", f"{m['extra_bytes'] / 1e6:.1f}",
                 f"{m['extra_bytes'] / m['output_bytes']:.2f}x", m["method"]] for m in mem]
        return ["### Extra peak memory of one call (fresh process, resident-set high-water "
                "mark)", "",
                table(["document", "writer", "output MB (UTF-8)", "returned object MB",
                       "extra peak MB", "peak / output", "method"], rows), "",
                "The returned object is part of the peak; a str of text beyond Latin-1 takes two "
                "or four bytes a character.", ""]

    def saves_table(self) -> list[str]:
        rows = []
        for doc in SAVE_DOCS:
            for regime in REGIMES:
                ours, flushed, unflushed = (self.save(doc, w, regime) for w in SAVE_WAYS)
                rows.append([doc, REGIMES[regime], f"{ours.bytes / 1e6:.2f}", ours.text(),
                             flushed.text(), unflushed.text(),
                             f"{flushed.median / unflushed.median:.2f}x"])
        return ["### Saving to a file: the cost of durability", "",
                "write_unified_data flushes the temporary file before its rename and the folder "
                "after it; the same steps in Python, with and without those two flushes, on the "
                "disk of the current folder.", "",
                table(["document", "regime", "MB", "write_unified_data", "Python, flushed",
                       "Python, not flushed", "flushed / not flushed"], rows), ""]

    def stream_parts(self, doc: str, regime: str) -> tuple[harness.Result, float]:
        ours = self.save(doc, "write_unified_data", regime)
        return ours, (self.encode(doc, "inkwright", regime).median
                      + self.save(doc, STREAM, regime).median)

    def stream_table(self, saves: list[dict]) -> list[str]:
        rows = []
        for s in saves:
            row = [s["doc"], f"{s['records']:,}", f"{s['bytes'] / 1e6:.1f}",
                   f"{s['extra_bytes'] / 1e6:.1f}", f"{stream_limit(s) / 1e6:.1f}",
                   f"{s['encode_extra_bytes'] / 1e6:.1f}"]
            for regime in REGIMES:
                ours, parts = self.stream_parts(s["doc"], regime)
                row += [f"{ours.median * 1e3:.0f}", f"{parts * 1e3:.0f}",
                        f"{ours.median / parts:.2f}x"]
            rows.append(row)
        return ["### Saving in bounded memory (replacing by rename)", "",
                "write_unified_data writes the text to the temporary file a block at a time as "
                "it is made. Its extra peak against the limit of 16 MiB and 8 bytes a record, "
                "and its time against encode_unified_data's plus one os.write and fsync of the "
                "same bytes (ms, medians).", "",
                table(["document", "records", "MB", "extra peak MB", "limit MB",
                       "encode's extra peak MB"]
                      + [f"{h}, {REGIMES[r]}" for r in REGIMES
                         for h in ("save", "encode + write + fsync", "ratio")], rows), ""]

    def targets(self, encodes: list[dict], saves: list[dict],
                holder: list[dict]) -> tuple[list[list[str]], list[list[str]]]:
        """The targets of the lead over orjson, the floors and the per-record cost, and those
        kept from before."""
        def each(figure) -> dict[str, list[float]]:
            return {r: figure(r) for r in REGIMES}

        lead = [
            target("encode escaped: at least 1.0x orjson on 1x100",
                   each(lambda r: [self.vs_orjson("1x100", r)]), lambda v: v >= 1.0),
            target("encode escaped: at least 1.2x orjson on 1x1k, 10x1k, 20x10k, non-ASCII, "
                   "numeric", each(lambda r: [self.vs_orjson(d, r) for d in ENCODE_DOCS[1:]]),
                   lambda v: v >= 1.2),
            target("encode escaped of the numeric document: at most 1.6x its floor",
                   each(lambda r: [ratio(self.encode("numeric-10x1k", OURS, r),
                                         self.encode("numeric-10x1k", "floor", r))[0]]),
                   lambda v: v <= 1.6),
            target("encode escaped: per record at 100,000 records at most 1.3x that at 1,000",
                   each(lambda r: [self.per_record(OURS, r)[1] / self.per_record(OURS, r)[0]]),
                   lambda v: v <= 1.3),
        ]

        def over(doc: str, a: str, b: str, r: str) -> float:
            return ratio(self.encode(doc, a, r), self.encode(doc, b, r))[0]

        def mixed(a: str, b: str) -> dict[str, list[float]]:
            # a's time over b's on each mixed document, in each regime.
            return each(lambda r: [over(d, a, b, r) for d in MIXED_DOCS])

        ours_mem = [m["extra_bytes"] / m["object_bytes"] for m in encodes
                    if m["writer"].startswith("inkwright")]
        named = max(r["ratio"] for r in holder if r["target"] == 1.3)
        slots = max(r["ratio"] for r in holder if r["target"] == 1.5)
        # MB/s of our own output: the two documents are ours alike, not a peer's.
        wide = each(lambda r: [
            (self.encode("non-ascii-10x1k", "inkwright", r).bytes
             / self.encode("non-ascii-10x1k", "inkwright", r).median)
            / (self.encode("10x1k", "inkwright", r).bytes / self.encode("10x1k", "inkwright", r).median)])
        before = [
            target("mixed records: raw encode at least orjson's speed",
                   each(lambda r: [self.vs_orjson(d, r, "inkwright") for d in MIXED_DOCS]),
                   lambda v: v >= 1),
            target("mixed records: raw encode at least 30x tomli_w's speed",
                   mixed("tomli_w", "inkwright"),
                   lambda v: v >= 30),
            target("dumps: at least 30x tomli_w's speed",
                   mixed("tomli_w", "dumps"),
                   lambda v: v >= 30),
            target("dumps: at least 2x rtoml.dumps's speed",
                   mixed("rtoml", "dumps"),
                   lambda v: v >= 2),
            target("dumps: at least 0.5x the speed of raw encode",
                   mixed("inkwright", "dumps"),
                   lambda v: v >= 0.5),
            target("escaped mode at most 1.2x the time of raw mode (few escapes)",
                   mixed(OURS, "inkwright"),
                   lambda v: v <= 1.2),
            target("50% non-ASCII text at least half the ASCII MB/s (raw)", wide,
                   lambda v: v >= 0.5),
            target("50% non-ASCII text, escaped: at least orjson's speed",
                   each(lambda r: [self.vs_orjson("non-ascii-10x1k", r)]), lambda v: v >= 1),
            target("extra peak memory of one encode at most 2.5x its output (the str)",
                   {"": ours_mem}, lambda v: v <= 2.5),
            target("save by rename: extra peak at most 16 MiB + 8 bytes a record",
                   {"": [s["extra_bytes"] / stream_limit(s) for s in saves]},
                   lambda v: v <= 1, " of the limit"),
            target("save by rename: at most 1.1x encode + os.write + fsync",
                   each(lambda r: [self.stream_parts(s["doc"], r)[0].median
                                   / self.stream_parts(s["doc"], r)[1] for s in saves]),
                   lambda v: v <= 1.1),
            target("holder named operations within 1.3x of dict (warm)", {"": [named]},
                   lambda v: v <= 1.3),
            target("holder mapping slots within 1.5x of dict (warm)", {"": [slots]},
                   lambda v: v <= 1.5),
        ]
        return lead, before


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    harness.add_options(parser)
    parser.add_argument("--reader-only", action="store_true", help="only the reader's part")
    args = parser.parse_args()
    started = time.perf_counter()
    setting = harness.settings(args.quick, args.timer)
    folder = harness.results_folder()
    harness.progress(f"measuring with pyperf; results in {folder}")
    writer_groups = [] if args.reader_only else groups(args.quick)
    holder_groups = [] if args.reader_only else bench_holder.specs()
    res = harness.run(writer_groups + reader_table.groups(args.quick) + holder_groups,
                      setting, folder)
    reading_memory = reader_table.memory(args.quick, child)
    out = [f"# wrenfold benchmark{', reader' if args.reader_only else ''}"
           f"{' (--quick)' if args.quick else ''}", "", harness.machine(res), "",
           harness.method(setting), ""]
    lead: list[list[str]] = []
    before: list[list[str]] = []
    if not args.reader_only:
        encodes, saves = memory(args.quick)
        writing = Report(res, args.quick)
        holder = bench_holder.rows(res)
        out += writing.text(encodes, saves)
        out += ["### TablesHolder against dict (warm)", "", bench_holder.table(holder), ""]
        lead, before = writing.targets(encodes, saves, holder)
    reading = reader_table.Report(res, reading_memory, args.quick)
    out += reading.text()
    reader_lead, reader_before = reading.targets()
    out += ["## Targets", "", "### The lead over orjson, the floors, the per-record cost", "",
            table(["target", "figure", "met"], lead + reader_lead), "",
            "### Targets kept from before", "",
            table(["target", "figure", "met"], before + reader_before), "",
            f"Ran for {(time.perf_counter() - started) / 60:.1f} minutes; the pyperf files are "
            f"in {folder}."]
    print("\n".join(out))


if __name__ == "__main__":
    main()
