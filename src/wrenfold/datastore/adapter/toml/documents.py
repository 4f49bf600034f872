"""Saved documents read back: the mirror of the writer's `encode_unified_data` and
`write_unified_data`.

A document is a `[header]` table (`version`, `schema_version`, and `tables`, the list of
table names in their order) and one `[tables.<name>]` table per name, holding `columns` and
`records`. Any TOML of that shape reads, hand-edited or written by another program: arrays of
tables (`[[tables.users.records]]`) and dotted keys included. Inside arrays, `null` reads as
None, since the writer writes None there so.
"""

from __future__ import annotations

import os
from typing import Any

import pydantic

from wrenfold.datastore.adapter.toml.inkreader import _loads_document
from wrenfold.datastore.tables.data import TableData
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
    return _document(_loads_document(text))


def read_unified_data(filepath: str | os.PathLike[str]) -> UnifiedDataFormat:
    """The document saved in the file `filepath`, validated; errors as `decode_unified_data`,
    and OSError when the file cannot be read."""
    with open(filepath, "rb") as f:
        data = f.read()
    return _document(_loads_document(data))


def _document(data: dict[str, Any]) -> UnifiedDataFormat:
    header = data.get("header")
    if not isinstance(header, dict):
        raise ValueError("the document has no [header] table")
    names = header.get("tables", [])
    if not isinstance(names, list) or not all(isinstance(name, str) for name in names):
        raise ValueError("header.tables must be an array of table names")
    sections = data.get("tables", {})
    if not isinstance(sections, dict):
        raise ValueError("tables must be a table of tables")
    listed = set(names)
    if len(listed) != len(names):
        twice = next(name for name in names if names.count(name) > 1)
        raise ValueError(f"table {twice!r} is listed twice in header.tables")
    for name in names:
        if name not in sections:
            raise ValueError(f"table {name!r} is listed in header.tables but has no section")
    for name in sections:
        if name not in listed:
            raise ValueError(f"table {name!r} has a section but is not listed in header.tables")
    holder = TablesHolder()
    for name in names:
        holder.add(name, _table(name, sections[name]))
    return UnifiedDataFormat(version=header.get("version"), schema_version=header.get(
        "schema_version"), tables=holder)


def _table(name: str, section: Any) -> TableData:
    if not isinstance(section, dict):
        raise ValueError(f"table {name!r} is a {type(section).__name__}, not a table")
    records = section.get("records", [])
    # The reader made these: lists of dicts with str keys. Only their shape needs checking,
    # which spares copying every record as validating them would.
    if not isinstance(records, list) or not all(type(r) is dict for r in records):
        raise ValueError(f"table {name!r}: records must be an array of tables")
    try:
        table = TableData.model_validate({**section, "records": []})
    except pydantic.ValidationError as exc:
        raise ValueError(f"table {name!r} does not validate: {exc}") from exc
    table.records = records
    return table
