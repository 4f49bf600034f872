"""TOML adapter: the native writer (`inkwright`) and reader (`inkreader`).

The reader's functions are loaded on first use, so that importing the writer never imports
the reader.
"""

from __future__ import annotations

from typing import Any

__all__ = ["decode_unified_data", "load", "loads", "read_unified_data"]

_HOMES = {
    "loads": "wrenfold.datastore.adapter.toml.inkreader",
    "load": "wrenfold.datastore.adapter.toml.inkreader",
    "decode_unified_data": "wrenfold.datastore.adapter.toml.documents",
    "read_unified_data": "wrenfold.datastore.adapter.toml.documents",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
