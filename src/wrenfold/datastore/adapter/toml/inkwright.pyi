"""Fast encoder of UnifiedDataFormat documents into TOML."""

from typing import Any, Protocol

class _Document(Protocol):
    # (version, schema_version, TablesHolder), as UnifiedDataFormat gives it.
    @property
    def tuple_output(self) -> tuple[Any, ...]: ...

__pyx_capi__: dict[str, object]
# Whether dicts are read from the interpreter's own tables (checked at import) or through
# the public API.
_DICT_TABLE_LAYOUT: bool

def encode_unified_data(data: _Document, escape_strings: object = False) -> str: ...
def write_unified_data(data: _Document, filepath: str, escape_strings: object = False) -> None: ...
# The command line's saves: bytes, or a str as UTF-8, saved as a document is.
def _write_file(data: bytes | str, filepath: str) -> None: ...
