"""The writers compared: ours in both modes, a pure-Python writer of our layout, the peers.

Each takes (model, plain dict) and returns its output, str or bytes. The peers get the plain
dict: the same content, None values left out as TOML has no null.
"""

from __future__ import annotations

from typing import Any, Callable

import orjson
import rtoml
import toml
import tomli_w
import tomlkit

from bench import pywriter
from wrenfold.datastore.adapter.toml import dumps
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data

Writer = Callable[[Any, dict], Any]

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
}

# Writers too slow for the large documents, with the records they are given at most.
RECORD_LIMITS = {"pure Python": 20_000, "tomli_w": 20_000, "toml": 20_000, "tomlkit": 1_000}
QUICK_RECORD_LIMITS = {"pure Python": 5_000, "tomli_w": 5_000, "toml": 5_000, "tomlkit": 300}
