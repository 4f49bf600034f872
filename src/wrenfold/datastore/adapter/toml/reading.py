"""tomllib's `loads` and `load`, read by the native reader, with signatures that `inspect`
reads: a native function's text signature cannot hold the default `float`."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from wrenfold.datastore.adapter.toml import inkreader

if TYPE_CHECKING:
    from _typeshed import SupportsRead

__all__ = ["load", "loads"]

_loads = inkreader.loads
_load = inkreader.load


def loads(s: str, /, *, parse_float: Callable[[str], Any] = float) -> dict[str, Any]:
    """Parse TOML from a string, as tomllib.loads does."""
    if parse_float is float:
        return _loads(s)
    return _loads(s, parse_float=parse_float)


def load(fp: SupportsRead[bytes], /, *, parse_float: Callable[[str], Any] = float
         ) -> dict[str, Any]:
    """Parse TOML from a binary file object, as tomllib.load does."""
    if parse_float is float:
        return _load(fp)
    return _load(fp, parse_float=parse_float)
