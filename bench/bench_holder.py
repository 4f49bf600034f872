"""TablesHolder operations against the same operations on a plain dict.

    python -m bench.bench_holder [--quick] [--timer cpu]     (with the package importable)

Prints the time of one operation for the holder and the dict, and their ratio, timed by pyperf
(bench.timing's `holder` case) in its warm loops only: an operation of some tens of
nanoseconds cannot be timed alone, after other work. The named operations are compared with
the dict's method calls, the slots with the dict's syntax. Then a document validated by
pydantic, with the holder field against a `dict[str, TableData]` field: from its JSON text and
from Python objects.
"""

from __future__ import annotations

import argparse

# (id, label, holder statement, dict statement, kind)
CASES = [
    ("get", "h.get(name)", "h.get(name)", "d.get(name)", "named"),
    ("add", "h.add(name, t)", "h.add(name, t)", "d.__setitem__(name, t)", "named"),
    ("contains", "h.contains(name)", "h.contains(name)", "d.__contains__(name)", "named"),
    ("getitem", "h[name]", "h[name]", "d[name]", "slot"),
    ("in", "name in h", "name in h", "name in d", "slot"),
    ("len", "len(h)", "len(h)", "len(d)", "slot"),
    ("eq", "h == other", "h == h2", "d == d2", "slot"),
    ("construct", "construct from 1,000 tables", "TablesHolder(tables)", "dict(tables)", "bulk"),
    ("validate_json", "model_validate_json, 3 x 1,000 records",
     "Model.model_validate_json(text)", "Model.model_validate_json(text)", "validation"),
    ("validate", "model_validate, the same as Python objects",
     "Model.model_validate(data)", "Model.model_validate(data)", "validation"),
]

TARGETS = {"named": 1.3, "slot": 1.5, "bulk": None, "validation": None}


def validation_env(side: str) -> dict:
    """A document of 3 tables x 1,000 mixed records, as JSON and as Python objects, and the
    model to validate it with: UnifiedDataFormat, or the same with a plain dict field."""
    import json

    from pydantic import BaseModel

    from bench.docs import model, records_of
    from wrenfold.datastore.tables.data import TableData
    from wrenfold.datastore.unified import UnifiedDataFormat

    class DictDocument(BaseModel):
        version: str
        schema_version: str
        tables: dict[str, TableData]

    text = model(records_of("validation", 3, 1_000)).model_dump_json()
    return {"Model": UnifiedDataFormat if side == "holder" else DictDocument, "text": text,
            "data": json.loads(text)}


def statement(case_id: str, side: str) -> tuple[str, dict]:
    """The statement of one side of a case and the globals it runs in."""
    from wrenfold.datastore.tables.ledgerbox import TablesHolder

    case = next(c for c in CASES if c[0] == case_id)
    if case[4] == "validation":
        return case[2], validation_env(side)
    tables = {f"table_{i}": object() for i in range(1000)}
    env = {"TablesHolder": TablesHolder, "tables": tables, "name": "table_500",
           "t": tables["table_500"], "h": TablesHolder(tables), "h2": TablesHolder(tables),
           "d": dict(tables), "d2": dict(tables)}
    return case[2] if side == "holder" else case[3], env


def specs() -> list:
    """One group per case: the holder and the dict, timed in turn."""
    from bench.harness import Spec

    return [[Spec(("holder", case_id, side), "warm") for side in ("holder", "dict")]
            for case_id, *_ in CASES]


def rows(results: dict) -> list[dict]:
    from bench.harness import Spec

    out = []
    for case_id, label, _, _, kind in CASES:
        ours, theirs = (results[Spec(("holder", case_id, side), "warm")]
                        for side in ("holder", "dict"))
        out.append({"operation": label, "holder": ours, "dict": theirs,
                    "ratio": ours.median / theirs.median, "target": TARGETS[kind]})
    return out


def table(holder_rows: list[dict]) -> str:
    from bench.markdown import table as markdown

    return markdown(["operation", "holder", "dict", "ratio", "target"],
                    [[r["operation"], r["holder"].text(), r["dict"].text(), f"{r['ratio']:.2f}x",
                      f"{r['target']:.1f}x" if r["target"] else "-"] for r in holder_rows])


def main() -> None:
    from bench import harness

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    harness.add_options(parser)
    args = parser.parse_args()
    results = harness.run(specs(), harness.settings(args.quick, args.timer))
    print(table(rows(results)))


if __name__ == "__main__":
    main()
