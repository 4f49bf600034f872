"""The writers compared: ours in both modes, a pure-Python writer of our layout, the peers.

Each entry makes, from a bench.docs.Document, the call that is timed; it imports what it needs
then, so that a benchmark process loads no other peer's module (every process holds the document
in all its forms: bench.timing.hold_alike). The peers get the plain dict: the same content, None
values left out as TOML has no null. The raw writers get the raw-safe variant of each document
(bench.docs), which raw mode can write.
"""

from __future__ import annotations

import functools
from typing import Any, Callable

from bench.docs import DOCS, ONCE_DOCS, Document
from bench.harness import Spec

Call = Callable[[], Any]


def _ours(escape: bool) -> Callable[[Document], Call]:
    def make(doc: Document) -> Call:
        from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data

        return functools.partial(encode_unified_data, doc.model, escape)
    return make


def _peer(module: str, function: str) -> Callable[[Document], Call]:
    def make(doc: Document) -> Call:
        import importlib

        return functools.partial(getattr(importlib.import_module(module), function), doc.plain)
    return make


def _pure_python(doc: Document) -> Call:
    from bench import pywriter

    return functools.partial(pywriter.dumps, doc.model)


def _floor(doc: Document) -> Call:
    """The escaped output copied piece by piece in a walk of the plain dict, its pieces cut
    here, untimed."""
    from bench import floor

    return functools.partial(floor.write_floor, *floor.pieces(doc.plain, doc.toml))


WRITERS: dict[str, Callable[[Document], Call]] = {
    "inkwright": _ours(False),
    "inkwright escaped": _ours(True),
    "dumps": _peer("wrenfold.datastore.adapter.toml", "dumps"),
    "pure Python": _pure_python,
    "tomli_w": _peer("tomli_w", "dumps"),
    "rtoml": _peer("rtoml", "dumps"),
    "toml": _peer("toml", "dumps"),
    "tomlkit": _peer("tomlkit", "dumps"),
    "orjson": _peer("orjson", "dumps"),
    "floor": _floor,
}

RAW_WRITERS = frozenset({"inkwright", "pure Python"})
# Timed in every round: ours, orjson and the floor; the other peers, far slower, once.
IN_ROUNDS = frozenset({"inkwright", "inkwright escaped", "dumps", "orjson", "floor"})

# Writers too slow for the large documents, with the records they are given at most.
RECORD_LIMITS = {"pure Python": 20_000, "tomli_w": 20_000, "toml": 20_000, "tomlkit": 1_000}
QUICK_RECORD_LIMITS = {"pure Python": 5_000, "tomli_w": 5_000, "toml": 5_000, "tomlkit": 300}


def spec(doc: str, writer: str, regime: str, quick: bool) -> Spec:
    """The benchmark of `writer` encoding `doc`: a slow peer on its first records only."""
    limit = (QUICK_RECORD_LIMITS if quick else RECORD_LIMITS).get(writer)
    if limit and DOCS[doc][0] * DOCS[doc][1] <= limit:
        limit = None
    return Spec(("encode", doc, writer), regime, limit,
                once=writer not in IN_ROUNDS or doc in ONCE_DOCS)
