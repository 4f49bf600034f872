"""TablesHolder operations against the same operations on a plain dict.

    python -m bench.bench_holder        (with the package importable)

Prints nanoseconds per operation for the holder and the dict, and their ratio. The named
operations are compared with the dict's method calls, the slots with the dict's syntax.
Then a document validated by pydantic, with the holder field against a `dict[str, TableData]`
field: from its JSON text and from Python objects.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import time
import timeit

from pydantic import BaseModel

from bench.docs import build
from wrenfold.datastore.tables.data import TableData
from wrenfold.datastore.tables.ledgerbox import TablesHolder
from wrenfold.datastore.unified import UnifiedDataFormat

TABLES = {f"table_{i}": object() for i in range(1000)}
NAME = "table_500"

# (label, holder statement, dict statement, kind)
CASES = [
    ("h.get(name)", "h.get(name)", "d.get(name)", "named"),
    ("h.add(name, t)", "h.add(name, t)", "d.__setitem__(name, t)", "named"),
    ("h.contains(name)", "h.contains(name)", "d.__contains__(name)", "named"),
    ("h[name]", "h[name]", "d[name]", "slot"),
    ("name in h", "name in h", "name in d", "slot"),
    ("len(h)", "len(h)", "len(d)", "slot"),
    ("h == other", "h == h2", "d == d2", "slot"),
    ("construct from 1,000 tables", "TablesHolder(tables)", "dict(tables)", "bulk"),
]

TARGETS = {"named": 1.3, "slot": 1.5, "bulk": None}


def per_op_ns(stmt: str, env: dict, number: int, repeat: int) -> float:
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def run(number: int = 200_000, repeat: int = 7) -> list[dict]:
    env = {
        "TablesHolder": TablesHolder,
        "tables": TABLES,
        "name": NAME,
        "t": TABLES[NAME],
        "h": TablesHolder(TABLES),
        "h2": TablesHolder(TABLES),
        "d": dict(TABLES),
        "d2": dict(TABLES),
    }
    rows = []
    for label, holder_stmt, dict_stmt, kind in CASES:
        n = number if kind != "bulk" else max(number // 1000, 50)
        if label == "h == other":
            n = max(number // 500, 100)
        ours = per_op_ns(holder_stmt, env, n, repeat)
        theirs = per_op_ns(dict_stmt, env, n, repeat)
        rows.append({"operation": label, "holder_ns": ours, "dict_ns": theirs,
                     "ratio": ours / theirs, "target": TARGETS[kind]})
    return rows


class DictDocument(BaseModel):
    """UnifiedDataFormat with a plain dict field in place of the holder."""

    version: str
    schema_version: str
    tables: dict[str, TableData]


def validation(rounds: int = 30) -> list[dict]:
    """Median ms of validating one document (3 tables x 1,000 mixed records), each model's
    call timed in turn with the other's, after a collection."""
    text = build("validation", 3, 1_000)[0].model_dump_json()
    data = json.loads(text)
    cases = [(f"model_validate_json ({len(text) / 1e3:.0f} KB)", "model_validate_json", text),
             ("model_validate (the same, as Python objects)", "model_validate", data)]
    rows = []
    for label, method, arg in cases:
        times: dict[type, list[float]] = {UnifiedDataFormat: [], DictDocument: []}
        for _ in range(rounds):
            for model, spent in times.items():
                getattr(model, method)(arg)  # untimed: the timed call follows a warm one
                gc.collect()
                start = time.perf_counter()
                getattr(model, method)(arg)
                spent.append(time.perf_counter() - start)
        ours, theirs = (statistics.median(t) * 1e3 for t in times.values())
        rows.append({"operation": label, "holder_ms": ours, "dict_ms": theirs,
                     "ratio": ours / theirs})
    return rows


def report(rows: list[dict]) -> str:
    lines = [f"{'operation':32} {'holder ns':>10} {'dict ns':>10} {'ratio':>7} {'target':>7}"]
    for row in rows:
        target = f"{row['target']:.1f}x" if row["target"] else "-"
        lines.append(f"{row['operation']:32} {row['holder_ns']:10.1f} {row['dict_ns']:10.1f} "
                     f"{row['ratio']:6.2f}x {target:>7}")
    return "\n".join(lines)


def validation_report(rows: list[dict]) -> str:
    lines = [f"{'validation':48} {'holder ms':>10} {'dict ms':>10} {'ratio':>7}"]
    lines += [f"{r['operation']:48} {r['holder_ms']:10.2f} {r['dict_ms']:10.2f} {r['ratio']:6.2f}x"
              for r in rows]
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=200_000, help="calls per timing")
    parser.add_argument("--repeat", type=int, default=7, help="timings per case (best is kept)")
    args = parser.parse_args()
    print(report(run(args.number, args.repeat)))
    print(validation_report(validation()))


if __name__ == "__main__":
    main()
