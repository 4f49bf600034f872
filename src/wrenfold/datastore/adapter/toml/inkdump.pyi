"""TOML writer for any document: tomli_w's dumps and dump."""

from collections.abc import Mapping
from typing import Any, Protocol

class _BinaryWriter(Protocol):
    def write(self, data: bytes, /) -> object: ...

def dumps(obj: Mapping[str, Any], /, *, multiline_strings: bool = False, indent: int = 4) -> str: ...
def dump(
    obj: Mapping[str, Any],
    fp: _BinaryWriter,
    /,
    *,
    multiline_strings: bool = False,
    indent: int = 4,
) -> None: ...
