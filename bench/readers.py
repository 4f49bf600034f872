"""The readers compared: ours, CPython's tomllib and the TOML peers, and orjson on JSON.

Each takes the document in its own form (TOML text as a str, JSON as bytes) and returns the
parsed dict. A peer that does not import is in MISSING with the reason; the tables say so.
"""

from __future__ import annotations

import importlib
import importlib.util
from typing import Any, Callable

from bench import floor
from wrenfold.datastore.adapter import toml as inkreader
from wrenfold.datastore.unified import UnifiedDataFormat

Reader = Callable[[Any], Any]


def validated(parsed: dict[str, Any]) -> UnifiedDataFormat:
    """The model of a parsed document, its tables in the order of the header's list."""
    header, tables = parsed["header"], parsed.get("tables", {})
    return UnifiedDataFormat(version=header["version"], schema_version=header["schema_version"],
                             tables={name: tables[name] for name in header["tables"]})


# name: (module, function, input: "toml" or "json")
PEERS = {
    "tomllib": ("tomllib", "loads", "toml"),
    "tomli": ("tomli", "loads", "toml"),
    "rtoml": ("rtoml", "loads", "toml"),
    "toml_rs": ("toml_rs", "loads", "toml"),
    "orjson": ("orjson", "loads", "json"),
}

READERS: dict[str, Reader] = {"inkreader": inkreader.loads, "floor": floor.read_floor}
INPUT = {"inkreader": "toml", "floor": "tape"}
MISSING: dict[str, str] = {}
for _name, (_module, _function, _kind) in PEERS.items():
    try:
        READERS[_name] = getattr(importlib.import_module(_module), _function)
        INPUT[_name] = _kind
    except ImportError as exc:
        MISSING[_name] = f"does not import ({exc})"

# Readers too slow for the large documents, with the records they are given at most.
RECORD_LIMITS = {"tomllib": 20_000, "tomli": 50_000}
QUICK_RECORD_LIMITS = {"tomllib": 5_000, "tomli": 10_000, "rtoml": 50_000, "toml_rs": 50_000}


def compiled(module: str) -> bool:
    """Whether a peer runs native code (tomli ships both a compiled and a pure build)."""
    spec = importlib.util.find_spec(module)
    return bool(spec and spec.origin and not spec.origin.endswith(".py"))
