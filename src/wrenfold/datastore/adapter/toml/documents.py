"""Saved documents read back: the mirror of the writer's `encode_unified_data` and
`write_unified_data`.

A document is a `[header]` table (`version`, `schema_version`, and `tables`, the list of
table names in their order) and one `[tables.<name>]` table per name, holding `columns` and
`records`. Any TOML of that shape reads, hand-edited or written by another program: arrays of
tables (`[[tables.users.records]]`) and dotted keys included. Inside arrays, `null` reads as
None, since the writer writes None there so.

A key that a document does not have (a typo in a hand-edited file, say) is refused rather than
dropped, so that the next save does not erase what it holds; records are free-form. Errors name
the key or table and its line and column, which are looked up in the text only then.
"""

from __future__ import annotations

import os
import sys
import tomllib
from typing import Any

import pydantic

from wrenfold.datastore.adapter.toml.inkreader import _loads_document
from wrenfold.datastore.adapter.toml.key_places import Path, key_place
from wrenfold.datastore.tables.data import ColumnData, TableData
from wrenfold.datastore.tables.ledgerbox import TablesHolder
from wrenfold.datastore.unified import UnifiedDataFormat

__all__ = ["decode_unified_data", "read_unified_data"]


def decode_unified_data(text: str) -> UnifiedDataFormat:
    """The document in the TOML text `text`, validated.

    Raises `tomllib.TOMLDecodeError` for text that is not TOML, and ValueError, naming the
    table where one is at fault, for TOML that is not a document.
    """
    if not isinstance(text, str):
        raise TypeError(f"Expected str object, not '{type(text).__qualname__}'")
    return _document(_loads_document(text), text)


def read_unified_data(filepath: str | bytes | os.PathLike[str] | os.PathLike[bytes]
                      ) -> UnifiedDataFormat:
    """The document saved in the file `filepath`, validated; errors as `decode_unified_data`,
    and OSError when the file cannot be read."""
    with open(filepath, "rb") as f:
        data = f.read()
    return _decode_bytes(data)


def _decode_bytes(data: bytes) -> UnifiedDataFormat:
    """The document in a file's bytes; a byte that is no UTF-8 is a TOMLDecodeError with its
    line and column, as any other fault of the text."""
    try:
        parsed = _loads_document(data)
    except UnicodeDecodeError as exc:
        raise _not_utf8(data, exc) from None
    return _document(parsed, data)


def _not_utf8(data: bytes, exc: UnicodeDecodeError) -> tomllib.TOMLDecodeError:
    doc = data.decode("utf-8", "replace")
    pos = len(data[:exc.start].decode("utf-8"))  # what comes before the first bad byte decodes
    msg = f"Invalid UTF-8 ({exc.reason})"
    if sys.version_info >= (3, 14):
        return tomllib.TOMLDecodeError(msg, doc, pos)
    # Older releases take the message with the position in it, as their tomllib writes it.
    line, column = doc.count("\n", 0, pos) + 1, pos - doc.rfind("\n", 0, pos)
    return tomllib.TOMLDecodeError(f"{msg} (at line {line}, column {column})")


_DOCUMENT_KEYS = ("header", "tables")
_HEADER_KEYS = ("version", "schema_version", "tables")
_TABLE_KEYS = ("columns", "records")
_COLUMN_KEYS = tuple(ColumnData.model_fields)


def _place(source: str | bytes, path: Path) -> str:
    """Where `path` is introduced in the document's text, or failing that the nearest key
    around it, as " (line L, column C)"."""
    text = source if isinstance(source, str) else source.decode("utf-8")
    place = key_place(text, path)
    return "" if place is None else f" (line {place[0]}, column {place[1]})"


def _known_keys(section: dict[str, Any], known: tuple[str, ...], path: Path, what: str,
                source: str | bytes) -> None:
    for key in section:
        if key not in known:
            raise ValueError(f"unknown key {key!r} in {what}{_place(source, path + (key,))}; "
                             f"it holds only {', '.join(known)}")


def _invalid(what: str, path: Path, exc: pydantic.ValidationError,
             source: str | bytes) -> ValueError:
    """The first error of `exc`, at the key it is about, or at the section that lacks it."""
    errors = exc.errors()
    loc = tuple(errors[0]["loc"])
    msg = "missing" if errors[0]["type"] == "missing" else errors[0]["msg"]
    more = f" (and {len(errors) - 1} more)" if len(errors) > 1 else ""
    return ValueError(f"{what}{_place(source, path + loc)} does not validate: "
                      f"{'.'.join(map(str, loc))}: {msg}{more}")


def _document(data: dict[str, Any], source: str | bytes) -> UnifiedDataFormat:
    _known_keys(data, _DOCUMENT_KEYS, (), "the document", source)
    header = data.get("header")
    if not isinstance(header, dict):
        raise ValueError("the document has no [header] table")
    names = header.get("tables", [])
    if not isinstance(names, list) or not all(isinstance(name, str) for name in names):
        raise ValueError(f"header.tables{_place(source, ('header', 'tables'))} must be an array "
                         f"of table names")
    _known_keys(header, _HEADER_KEYS, ("header",), "the header", source)
    sections = data.get("tables", {})
    if not isinstance(sections, dict):
        raise ValueError(f"tables{_place(source, ('tables',))} must be a table of tables")
    listed = set(names)
    if len(listed) != len(names):
        i = next(i for i, name in enumerate(names) if name in names[:i])
        raise ValueError(f"table {names[i]!r} is listed twice in header.tables"
                         f"{_place(source, ('header', 'tables', i))}")
    for i, name in enumerate(names):
        if name not in sections:
            raise ValueError(f"table {name!r} is listed in header.tables"
                             f"{_place(source, ('header', 'tables', i))} but has no section")
    for name in sections:
        if name not in listed:
            raise ValueError(f"table {name!r} has a section{_place(source, ('tables', name))} "
                             f"but is not listed in header.tables")
    holder = TablesHolder()
    for name in names:
        holder.add(name, _table(name, sections[name], source))
    # Keys left out, so that a missing one is reported as missing.
    fields = {key: header[key] for key in ("version", "schema_version") if key in header}
    try:
        return UnifiedDataFormat(**fields, tables=holder)
    except pydantic.ValidationError as exc:
        raise _invalid("the header", ("header",), exc, source) from exc


def _table(name: str, section: Any, source: str | bytes) -> TableData:
    path: Path = ("tables", name)
    if not isinstance(section, dict):
        raise ValueError(f"table {name!r}{_place(source, path)} is a {type(section).__name__}, "
                         f"not a table")
    _known_keys(section, _TABLE_KEYS, path, f"table {name!r}", source)
    columns = section.get("columns", [])
    if isinstance(columns, list):
        for i, column in enumerate(columns):
            if isinstance(column, dict):
                _known_keys(column, _COLUMN_KEYS, (*path, "columns", i),
                            f"column {i} of table {name!r}", source)
    records = section.get("records", [])
    # The reader made these: lists of dicts with str keys. Only their shape needs checking,
    # which spares copying every record as validating them would.
    if not isinstance(records, list) or not all(type(r) is dict for r in records):
        raise ValueError(f"table {name!r}{_place(source, path)}: records must be an array of "
                         f"tables")
    try:
        table = TableData.model_validate({**section, "records": []})
    except pydantic.ValidationError as exc:
        raise _invalid(f"table {name!r}", path, exc, source) from exc
    table.records = records
    return table
