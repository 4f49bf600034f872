"""The writers compared: ours in both modes, a pure-Python writer of our layout, the peers.

Each takes (model, plain dict) and returns its output, str or bytes. The peers get the plain
dict: the same content, None values left out as TOML has no null. The raw writers get the
raw-safe variant of each document (bench.docs), which raw mode can write.
"""

from __future__ import annotations

from typing import Any, Callable

import orjson
import rtoml
import toml
import tomli_w
import tomlkit

from bench import floor, pywriter
from wrenfold.datastore.adapter.toml import dumps
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data

Writer = Callable[[Any, dict], Any]

_FLOOR_PARTS: dict[int, tuple] = {}


def write_floor(doc: Any, plain: dict) -> str:
    """The escaped output copied piece by piece in a walk of `plain` (cut once, untimed: the
    first call of every writer is)."""
    parts = _FLOOR_PARTS.get(id(plain))
    if parts is None or parts[0] is not plain:
        parts = floor.pieces(plain, encode_unified_data(doc, escape_strings=True))
        _FLOOR_PARTS[id(plain)] = parts
    return floor.write_floor(*parts)


WRITERS: dict[str, Writer] = {
    "inkwright": lambda doc, plain: encode_unified_data(doc),
    "inkwright escaped": lambda doc, plain: encode_unified_data(doc, escape_strings=True),
    "dumps": lambda doc, plain: dumps(plain),
    "pure Python": lambda doc, plain: pywriter.dumps(doc),
    "tomli_w": lambda doc, plain: tomli_w.dumps(plain),
    "rtoml": lambda doc, plain: rtoml.dumps(plain),
    "toml": lambda doc, plain: toml.dumps(plain),
    "tomlkit": lambda doc, plain: tomlkit.dumps(plain),
    "orjson": lambda doc, plain: orjson.dumps(plain),
    "floor": write_floor,
}

RAW_WRITERS = frozenset({"inkwright", "pure Python"})

# Writers too slow for the large documents, with the records they are given at most.
RECORD_LIMITS = {"pure Python": 20_000, "tomli_w": 20_000, "toml": 20_000, "tomlkit": 1_000}
QUICK_RECORD_LIMITS = {"pure Python": 5_000, "tomli_w": 5_000, "toml": 5_000, "tomlkit": 300}
