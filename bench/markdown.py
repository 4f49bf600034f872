"""The Markdown of the benchmark's report: tables, and the throughput table that the writers'
and the readers' parts share."""

from __future__ import annotations

from typing import Callable


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def throughput_table(thr: dict, kind: str, names: list[str],
                     cell: Callable[[dict, str, str], str], limits: dict[str, int]) -> list[str]:
    """A row per document of `thr`, a column per writer or reader in `names` (found under
    `kind` in each row), its cell `cell(row, name, mark)`; `mark` is "*" where only the first
    records were measured, which a note below the table then explains."""
    rows, cut = [], False
    for doc, row in thr.items():
        cells = []
        for name in names:
            mark = "*" if row[kind][name]["records"] < row["records"] else ""
            cut = cut or bool(mark)
            cells.append(cell(row, name, mark))
        label = doc + (f" ({row['non_ascii']:.0%} non-ASCII)" if "non_ascii" in row else "")
        rows.append([label, f"{row['records']:,}"] + cells)
    out = [table(["document", "records"] + names, rows), ""]
    if cut:
        out += ["\\* measured on the first records of every table only (" + ", ".join(
            f"{name}: {n:,}" for name, n in limits.items()) + " at most); throughput is per MB.",
            ""]
    return out
