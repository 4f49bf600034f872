"""The readers compared: ours, CPython's tomllib and the TOML peers, orjson on JSON, and the
readers of a whole document from its file.

Each entry makes, from a bench.docs.Document, the call that is timed and the value its result
must equal; it imports what it needs then, so that a benchmark process loads no other peer's
module (every process holds the document in all its forms: bench.timing.hold_alike). The TOML
readers read what our encoder writes in escaped mode, orjson the JSON of the same dict.
"""

from __future__ import annotations

import functools
import importlib
import importlib.util
from typing import Any, Callable

from bench.docs import DOCS, ONCE_DOCS, Document
from bench.harness import Spec

Call = Callable[[], Any]


def validated(parsed: dict[str, Any]) -> Any:
    """The model of a parsed document, its tables in the order of the header's list."""
    from wrenfold.datastore.unified import UnifiedDataFormat

    header, tables = parsed["header"], parsed.get("tables", {})
    return UnifiedDataFormat(version=header["version"], schema_version=header["schema_version"],
                             tables={name: tables[name] for name in header["tables"]})


def _loads(doc: Document) -> tuple[Call, Any]:
    from wrenfold.datastore.adapter.toml import loads

    return functools.partial(loads, doc.toml), doc.plain


def _peer(module: str, function: str, json: bool = False) -> Callable[[Document], tuple[Call, Any]]:
    def make(doc: Document) -> tuple[Call, Any]:
        read = getattr(importlib.import_module(module), function)
        return functools.partial(read, doc.json if json else doc.toml), doc.plain
    return make


def _floor(doc: Document) -> tuple[Call, Any]:
    from bench import floor

    return functools.partial(floor.read_floor, doc.tape), doc.plain


def _from_file(doc: Document) -> tuple[Call, Any]:
    from wrenfold.datastore.adapter.toml import read_unified_data

    return functools.partial(read_unified_data, doc.toml_path), validated(doc.plain)


def _validated(doc: Document) -> tuple[Call, Any]:
    import orjson

    data = doc.json
    return (lambda: validated(orjson.loads(data))), validated(doc.plain)


READERS: dict[str, Callable[[Document], tuple[Call, Any]]] = {
    "inkreader": _loads,
    "tomllib": _peer("tomllib", "loads"),
    "tomli": _peer("tomli", "loads"),
    "rtoml": _peer("rtoml", "loads"),
    "toml_rs": _peer("toml_rs", "loads"),
    "orjson": _peer("orjson", "loads", json=True),
    "floor": _floor,
    "read_unified_data": _from_file,
    "orjson + validation": _validated,
}

# The readers of the tables of loads: ours, then the peers.
LOADS = ["inkreader", "tomllib", "tomli", "rtoml", "toml_rs", "orjson"]

# Timed in every round: ours, orjson and the floor; the other peers, far slower, once.
IN_ROUNDS = frozenset({"inkreader", "orjson", "floor", "read_unified_data", "orjson + validation"})

# Readers too slow for the large documents, with the records they are given at most.
RECORD_LIMITS = {"tomllib": 20_000, "tomli": 50_000, "rtoml": 50_000, "toml_rs": 50_000}
QUICK_RECORD_LIMITS = {"tomllib": 5_000, "tomli": 10_000, "rtoml": 50_000, "toml_rs": 50_000}


def spec(doc: str, reader: str, regime: str, quick: bool) -> Spec:
    """The benchmark of `reader` reading `doc`: a slow peer on its first records only."""
    limit = (QUICK_RECORD_LIMITS if quick else RECORD_LIMITS).get(reader)
    if limit and DOCS[doc][0] * DOCS[doc][1] <= limit:
        limit = None
    return Spec(("loads", doc, reader), regime, limit,
                once=reader not in IN_ROUNDS or doc in ONCE_DOCS)


def missing() -> dict[str, str]:
    """The peers that cannot be imported here, with the reason."""
    out = {}
    for name in LOADS[1:]:
        if importlib.util.find_spec(name) is None:
            out[name] = "is not installed"
    return out


def compiled(module: str) -> bool:
    """Whether a peer runs native code (tomli ships both a compiled and a pure build)."""
    spec = importlib.util.find_spec(module)
    return bool(spec and spec.origin and not spec.origin.endswith(".py"))
