"""TOML adapter: the native writer of saved documents (`inkwright`), the reader
(`inkreader`) and the writer of any TOML document (`inkdump`).

The reader's and the writers' functions are loaded on first use, so that importing one
never imports the others.
"""

from __future__ import annotations

import typing
from typing import Any

if typing.TYPE_CHECKING:
    from wrenfold.datastore.adapter.toml.documents import decode_unified_data, read_unified_data
    from wrenfold.datastore.adapter.toml.inkdump import dump, dumps
    from wrenfold.datastore.adapter.toml.reading import load, loads

__all__ = ["decode_unified_data", "dump", "dumps", "load", "loads", "read_unified_data"]

_HOMES = {
    "loads": "wrenfold.datastore.adapter.toml.reading",
    "load": "wrenfold.datastore.adapter.toml.reading",
    "dumps": "wrenfold.datastore.adapter.toml.inkdump",
    "dump": "wrenfold.datastore.adapter.toml.inkdump",
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
