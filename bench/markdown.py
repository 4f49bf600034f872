"""The Markdown of the benchmark's report: tables, and the rows that the writers' and the
readers' parts share."""

from __future__ import annotations

from typing import Callable, Iterable

from bench.harness import REGIMES


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


def target(label: str, figures: dict[str, list[float]], met: Callable[[float], bool],
           unit: str = "x") -> list[str]:
    """A row of a targets table: the figures of each regime, met only where all of them are."""
    text = "; ".join((f"{REGIMES[regime]} " if regime else "")
                     + ", ".join(f"{v:.2f}{unit}" for v in values)
                     for regime, values in figures.items())
    ok = all(met(v) for values in figures.values() for v in values)
    return [label, text, "yes" if ok else "no"]


def cut_note(limits: dict[str, int], names: Iterable[str]) -> list[str]:
    """The note below a table some of whose figures are per record (marked \\*)."""
    shown = {n: limits[n] for n in names if n in limits}
    return ["\\* per record: measured on the first records of every table only ("
            + ", ".join(f"{name}: {n:,}" for name, n in shown.items()) + " at most).", ""]
