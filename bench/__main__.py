"""The TOML encoder against the Python writers of TOML and JSON, and the holder against dict.

    python -m bench [--quick] [--reader-only]

Needs the package importable (installed, or PYTHONPATH=build/site-<tag>:.) and the peers
tomli_w, toml, tomlkit and orjson. Prints Markdown tables: throughput of every writer on
seeded documents, each peer relative to inkwright, per-record cost at 1,000 and 100,000
records, extra peak memory of one encode, the time and memory of saves that replace by
rename, the holder's operations against dict, and the
targets met; then the TOML reader against tomllib, the TOML peers and orjson.loads
(bench.reader_table; --reader-only runs that part alone). Figures are medians of repeated runs.

Raw mode refuses text holding a double quote, a backslash or a control character other than
tab, which 3% of the mixed records hold: the raw writers (inkwright, pure Python, and the saves)
run on a raw-safe variant of each document, of the same shape and lengths with those characters
replaced; escaped mode and the peers keep the original.
"""

from __future__ import annotations

import argparse
import datetime
import json
import platform
import subprocess
import sys
import time
from importlib import metadata

from bench import bench_holder, reader_table
from bench.markdown import table, throughput_table
from bench.docs import DOCS
from bench.writers import QUICK_RECORD_LIMITS, RAW_WRITERS, RECORD_LIMITS, WRITERS

THROUGHPUT_DOCS = ["1x100", "10x1k", "20x10k", "non-ascii-10x1k", "numeric-10x1k"]
MIXED_DOCS = ["10x1k", "20x10k"]
SAVE_DOCS = ["1x100", "20x10k"]
STREAM_DOCS = ["20x10k", "20x45k"]
PEERS = ["inkwright escaped", "dumps", "rtoml", "pure Python", "tomli_w", "toml", "tomlkit", "orjson",
         "floor"]


def child(*args: str, module: str = "bench.measure") -> dict:
    """Runs one measurement in a fresh process (bench.measure) and returns its result."""
    res = subprocess.run([sys.executable, "-m", module, *args], capture_output=True,
                         text=True, timeout=900)
    if res.returncode != 0:
        raise RuntimeError(f"{module} {' '.join(args)} failed:\n{res.stderr[-3000:]}")
    return json.loads(res.stdout)


def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def throughput(quick: bool) -> dict:
    results = {}
    for name in THROUGHPUT_DOCS:
        progress(f"  throughput: {name}")
        results[name] = child("throughput", name, *(["--quick"] if quick else []))
    for row in results.values():
        for r in row["writers"].values():
            r["mb_s"] = r["bytes"] / r["seconds"] / 1e6
    return results


def per_record(quick: bool) -> dict:
    progress("  per record: 1x1k and 1x100k")
    res = child("per-record", *(["--quick"] if quick else []))
    return {name: {w: res[w][name] for w in res} for name in ("1x1k", "1x100k")}


def memory(quick: bool) -> list[dict]:
    big = "10x1k" if quick else "20x10k"
    rows = []
    for doc_name, writer in [(big, "inkwright"), (big, "inkwright escaped"), (big, "orjson"),
                             ("non-ascii-10x1k", "inkwright")]:
        progress(f"  memory: {doc_name}, {writer}")
        rows.append(child("memory", doc_name, writer))
    return rows


def each_doc(what: str, docs: list[str], label: str, quick: bool) -> list[dict]:
    """One bench.measure `what` per document, each in a fresh process."""
    rows = []
    for name in docs:
        progress(f"  {label}: {name}")
        rows.append(child(what, name, *(["--quick"] if quick else [])))
    return rows


def stream_limit(s: dict) -> int:
    """The extra peak a save may take: 16 MiB, and the snapshot's 8 bytes a record."""
    return 16 * 2**20 + 8 * s["records"]


def environment() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f
                       if line.startswith(("model name", "Model")))
    except (OSError, StopIteration):
        pass
    peers = ", ".join(f"{p} {metadata.version(p)}"
                      for p in ("orjson", "tomli_w", "rtoml", "toml", "tomlkit"))
    return (f"{datetime.date.today()}, {cpu} ({platform.machine()}), "
            f"{platform.python_implementation()} {platform.python_version()}; {peers}")


def report(thr: dict, rec: dict, mem: list[dict], sav: list[dict], stm: list[dict],
           holder: list[dict], quick: bool) -> str:
    out = [f"# wrenfold benchmark{' (--quick)' if quick else ''}", "", environment(), ""]

    out += ["## Throughput, MB/s of each writer's own output", "",
            f"The raw writers ({', '.join(sorted(RAW_WRITERS))}) and the saves write a raw-safe "
            "variant of each document: the 3% of mixed records whose note holds a quote and a "
            "line feed, which raw mode refuses, hold an apostrophe and a space there instead. "
            "Escaped mode and the peers write the original.", ""]
    out += throughput_table(
        thr, "writers", list(WRITERS),
        lambda row, writer, mark: f"{row['writers'][writer]['mb_s']:.1f}{mark}",
        QUICK_RECORD_LIMITS if quick else RECORD_LIMITS)

    out += ["## Each writer relative to inkwright (its MB/s divided by inkwright's)", ""]
    rows = [[name] + [f"{w[p]['mb_s'] / w['inkwright']['mb_s']:.3g}x" for p in PEERS]
            for name, w in ((n, r["writers"]) for n, r in thr.items())]
    out += [table(["document"] + PEERS, rows), ""]
    rows = []
    for name, row in thr.items():
        w = row["writers"]
        rows.append([name, f"{w['inkwright']['seconds'] / row['records'] * 1e9:.0f}",
                     f"{w['orjson']['seconds'] / row['records'] * 1e9:.0f}",
                     f"{w['inkwright']['bytes'] / w['orjson']['bytes']:.2f}"])
    out += ["Same content, time per record (ns): inkwright writes TOML, orjson compact JSON.", "",
            table(["document", "inkwright", "orjson", "output size inkwright / orjson"], rows), ""]

    rows = [[name, f"{w['inkwright escaped']['seconds'] * 1e3:.2f}",
             f"{w['floor']['seconds'] * 1e3:.2f}",
             f"{w['inkwright escaped']['seconds'] / w['floor']['seconds']:.2f}x",
             f"{w['orjson']['seconds'] * 1e3:.2f}"]
            for name, w in ((n, r["writers"]) for n, r in thr.items())]
    out += ["The floor: the same output copied from pre-rendered pieces, one at each value of "
            "a walk over the same document (bench/floor.cpp): the cost of the walk and the "
            "copy alone.", "",
            table(["document", "escaped ms", "floor ms", "escaped / floor", "orjson ms"], rows),
            ""]

    out += ["## Per-record cost, one table of mixed records (ns per record)", "",
            "Both sizes timed in alternation in one process, median of the rounds.", ""]
    rows = [[f"{DOCS[n][1]:,}", f"{rec[n]['inkwright']:.0f}", f"{rec[n]['orjson']:.0f}"]
            for n in rec]
    rows.append(["100,000 / 1,000"] + [f"{rec['1x100k'][w] / rec['1x1k'][w]:.2f}x"
                                       for w in ("inkwright", "orjson")])
    out += [table(["records", "inkwright", "orjson"], rows), ""]

    out += ["## Extra peak memory of one call (fresh process, resident-set high-water mark)", ""]
    rows = [[m["doc"], m["writer"], f"{m['output_bytes'] / 1e6:.1f}",
             f"{m['object_bytes'] / 1e6:.1f}", f"{m['extra_bytes'] / 1e6:.1f}",
             f"{m['extra_bytes'] / m['output_bytes']:.2f}x", m["method"]] for m in mem]
    out += [table(["document", "writer", "output MB (UTF-8)", "returned object MB",
                   "extra peak MB", "peak / output", "method"], rows), "",
            "The returned object is part of the peak; a str of text beyond Latin-1 takes two "
            "or four bytes a character.", ""]

    out += ["## Saving to a file: the cost of durability (median ms)", "",
            "write_unified_data flushes the temporary file before its rename and the folder "
            "after it; the same steps in Python, with and without those two flushes, on the "
            "disk of the current folder.", "",
            table(["document", "MB", "write_unified_data", "Python, flushed",
                   "Python, not flushed", "flushes add"],
                  [[s["doc"], f"{s['bytes'] / 1e6:.2f}", f"{s['ours'] * 1e3:.2f}",
                    f"{s['flushed'] * 1e3:.2f}", f"{s['unflushed'] * 1e3:.2f}",
                    f"{(s['flushed'] - s['unflushed']) * 1e3:.2f} "
                    f"({s['flushed'] / s['unflushed']:.1f}x)"] for s in sav]), ""]

    out += ["## Saving in bounded memory (replacing by rename)", "",
            "write_unified_data writes the text to the temporary file a block at a time as it "
            "is made. Its extra peak against the limit of 16 MiB and 8 bytes a record, and "
            "its median time against encode_unified_data's plus one os.write and fsync of "
            "the same bytes.", "",
            table(["document", "records", "MB", "extra peak MB", "limit MB",
                   "encode's extra peak MB", "write_unified_data ms", "encode + write + fsync ms",
                   "ratio"],
                  [[s["doc"], f"{s['records']:,}", f"{s['bytes'] / 1e6:.1f}",
                    f"{s['extra_bytes'] / 1e6:.1f}", f"{stream_limit(s) / 1e6:.1f}",
                    f"{s['encode_extra_bytes'] / 1e6:.1f}", f"{s['ours'] * 1e3:.0f}",
                    f"{(s['encode'] + s['write_fsync']) * 1e3:.0f}",
                    f"{s['ours'] / (s['encode'] + s['write_fsync']):.2f}x"] for s in stm]), ""]

    out += ["## TablesHolder against dict (ns per operation, best of repeats)", "",
            table(["operation", "holder", "dict", "ratio", "target"],
                  [[r["operation"], f"{r['holder_ns']:.1f}", f"{r['dict_ns']:.1f}",
                    f"{r['ratio']:.2f}x", f"{r['target']:.1f}x" if r["target"] else "-"]
                   for r in holder]), ""]

    out += ["## Targets", "",
            table(["target", "figure", "met"], targets(thr, rec, mem, stm, holder)), ""]
    return "\n".join(out)


def targets(thr: dict, rec: dict, mem: list[dict], stm: list[dict],
            holder: list[dict]) -> list[list[str]]:
    def row(label, figure, ok):
        return [label, figure, "yes" if ok else "no"]

    def mb_s(doc, writer):
        return thr[doc]["writers"][writer]["mb_s"]

    def seconds(doc, writer):
        return thr[doc]["writers"][writer]["seconds"]

    vs_orjson = [mb_s(d, "inkwright") / mb_s(d, "orjson") for d in MIXED_DOCS]
    vs_tomli = [mb_s(d, "inkwright") / mb_s(d, "tomli_w") for d in MIXED_DOCS]
    # tomli_w writes the same bytes for a sample of the records: speed is in MB/s.
    dumps_tomli = [mb_s(d, "dumps") / mb_s(d, "tomli_w") for d in MIXED_DOCS]
    dumps_rtoml = [seconds(d, "rtoml") / seconds(d, "dumps") for d in MIXED_DOCS]
    dumps_ours = [mb_s(d, "dumps") / mb_s(d, "inkwright") for d in MIXED_DOCS]
    escaped = [seconds(d, "inkwright escaped") / seconds(d, "inkwright") for d in MIXED_DOCS]
    wide = mb_s("non-ascii-10x1k", "inkwright") / mb_s("10x1k", "inkwright")
    wide_orjson = (mb_s("non-ascii-10x1k", "inkwright escaped")
                   / mb_s("non-ascii-10x1k", "orjson"))
    scale = rec["1x100k"]["inkwright"] / rec["1x1k"]["inkwright"]
    # Against what an encode outputs, the str: for text beyond Latin-1 it is larger than the
    # UTF-8 document.
    ours_mem = [m["extra_bytes"] / m["object_bytes"] for m in mem
                if m["writer"].startswith("inkwright")]
    stream_ratio = [s["ours"] / (s["encode"] + s["write_fsync"]) for s in stm]
    named = max(r["ratio"] for r in holder if r["target"] == 1.3)
    slots = max(r["ratio"] for r in holder if r["target"] == 1.5)
    return [
        row("mixed records: at least orjson's MB/s",
            ", ".join(f"{v:.2f}x" for v in vs_orjson), min(vs_orjson) >= 1),
        row("mixed records: at least 30x tomli_w's MB/s",
            ", ".join(f"{v:.0f}x" for v in vs_tomli), min(vs_tomli) >= 30),
        row("dumps: at least 30x tomli_w's speed", ", ".join(f"{v:.0f}x" for v in dumps_tomli),
            min(dumps_tomli) >= 30),
        row("dumps: at least 2x rtoml.dumps's speed", ", ".join(f"{v:.2f}x" for v in dumps_rtoml),
            min(dumps_rtoml) >= 2),
        row("dumps: at least 0.5x the MB/s of inkwright", ", ".join(f"{v:.2f}x" for v in dumps_ours),
            min(dumps_ours) >= 0.5),
        row("per record at 100,000 records at most 1.2x that at 1,000", f"{scale:.2f}x",
            scale <= 1.2),
        row("escaped mode at most 1.2x the time of raw mode (few escapes)",
            ", ".join(f"{v:.2f}x" for v in escaped), max(escaped) <= 1.2),
        row("50% non-ASCII text at least half the ASCII MB/s", f"{wide:.2f}x", wide >= 0.5),
        row("50% non-ASCII text, escaped: at least orjson's MB/s", f"{wide_orjson:.2f}x",
            wide_orjson >= 1),
        row("extra peak memory of one encode at most 2.5x its output (the str)",
            ", ".join(f"{v:.2f}x" for v in ours_mem), max(ours_mem) <= 2.5),
        row("save by rename: extra peak at most 16 MiB + 8 bytes a record",
            ", ".join(f"{s['extra_bytes'] / 2**20:.1f} MiB" for s in stm),
            all(s["extra_bytes"] <= stream_limit(s) for s in stm)),
        row("save by rename: at most 1.1x encode + os.write + fsync",
            ", ".join(f"{v:.2f}x" for v in stream_ratio),
            max(stream_ratio) <= 1.1),
        row("holder named operations within 1.3x of dict", f"{named:.2f}x at worst",
            named <= 1.3),
        row("holder mapping slots within 1.5x of dict", f"{slots:.2f}x at worst", slots <= 1.5),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer runs and smaller samples of the slow peers")
    parser.add_argument("--reader-only", action="store_true", help="only the reader's part")
    args = parser.parse_args()
    started = time.perf_counter()
    progress("measuring, one process per document...")
    if args.reader_only:
        print(f"# wrenfold benchmark, reader{' (--quick)' if args.quick else ''}\n\n"
              f"{environment()}\n")
    else:
        thr = throughput(args.quick)
        rec = per_record(args.quick)
        mem = memory(args.quick)
        sav = each_doc("save", SAVE_DOCS, "save", args.quick)
        stm = each_doc("stream", STREAM_DOCS, "save in bounded memory", args.quick)
        progress("  holder")
        holder = bench_holder.run(*((50_000, 5) if args.quick else (200_000, 7)))
        print(report(thr, rec, mem, sav, stm, holder, args.quick))
    print(reader_table.report(reader_table.measure(args.quick, child, progress), args.quick))
    progress(f"(ran for {time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
