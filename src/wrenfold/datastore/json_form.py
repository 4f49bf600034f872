"""The JSON form of a unified data document, as the command line reads and writes it.

It is the shape `UnifiedDataFormat` validates: `version`, `schema_version` and `tables`, an
object of table name to `{"columns": [...], "records": [...]}`.
"""

from __future__ import annotations

import datetime
import json
from typing import Any

import pydantic

from wrenfold.datastore.tables.data import TableData
from wrenfold.datastore.unified import UnifiedDataFormat

__all__ = ["NotADocument", "document_from_json", "document_to_json", "first_error"]


class NotADocument(ValueError):
    """The data does not describe a document; the message names the first problem."""


def _json_type(value: Any) -> str:
    names = {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
             int: "a number", float: "a number", type(None): "null"}
    return names.get(type(value), type(value).__name__)


def first_error(exc: pydantic.ValidationError, prefix: str = "") -> str:
    """The first of a validation error's errors, in one line: where, then what."""
    errors = exc.errors()
    first = errors[0]
    where = ".".join(str(part) for part in first["loc"])
    more = f" (and {len(errors) - 1} more)" if len(errors) > 1 else ""
    return f"{prefix}{where or 'the document'}: {first['msg']}{more}"


def document_from_json(data: Any) -> UnifiedDataFormat:
    """Validates parsed JSON into a document, or raises NotADocument with a one-line reason.

    The tables holder takes any value as a table as it is, and anything that is not an object
    as no tables at all; here every table must be an object, so that a typing mistake is an
    error instead of a document that cannot be saved or that silently lost its tables.
    """
    if not isinstance(data, dict):
        raise NotADocument(f"expected an object, found {_json_type(data)}")
    tables = data.get("tables", {})
    if not isinstance(tables, dict):
        raise NotADocument(f"tables: expected an object of tables, found {_json_type(tables)}")
    for name, table in tables.items():
        if not isinstance(table, dict):
            raise NotADocument(f"tables.{name}: expected a table object, found {_json_type(table)}")
    try:
        return UnifiedDataFormat.model_validate(data)
    except pydantic.ValidationError as exc:
        reason = first_error(exc)
    # A table's own errors come without its name: find the table that fails, alone.
    for name, table in tables.items():
        try:
            TableData.model_validate(table)
        except pydantic.ValidationError as exc:
            raise NotADocument(first_error(exc, prefix=f"tables.{name}.")) from None
    raise NotADocument(reason)


def _time_text(value: Any) -> str:
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    raise TypeError(f"{type(value).__name__} has no JSON form")


def document_to_json(doc: UnifiedDataFormat, allow_nan: bool = True) -> bytes:
    """The document as UTF-8 JSON that `document_from_json` reads back as an equal document.

    Columns show the fields that differ from their defaults; dates and times (which a TOML
    file may hold) become their ISO text; NaN and infinities are written as Python's json
    module writes and reads them, unless `allow_nan` is false: then they raise ValueError.
    """
    tables = {
        name: {
            "columns": [column.model_dump(exclude_defaults=True) for column in table.columns],
            "records": table.records,
        }
        for name, table in doc.tables.items()
    }
    data = {"version": doc.version, "schema_version": doc.schema_version, "tables": tables}
    text = json.dumps(data, ensure_ascii=False, indent=2, default=_time_text, allow_nan=allow_nan)
    return (text + "\n").encode("utf-8")
