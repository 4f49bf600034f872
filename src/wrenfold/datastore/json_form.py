"""The JSON form of a unified data document, as the command line reads it.

It is the shape `UnifiedDataFormat` validates: `version`, `schema_version` and `tables`, an
object of table name to `{"columns": [...], "records": [...]}`.
"""

from __future__ import annotations

from typing import Any

import pydantic

from wrenfold.datastore.tables.data import TableData
from wrenfold.datastore.unified import UnifiedDataFormat

__all__ = ["NotADocument", "document_from_json"]


class NotADocument(ValueError):
    """The data does not describe a document; the message names the first problem."""


def _json_type(value: Any) -> str:
    names = {dict: "an object", list: "an array", str: "a string", bool: "a boolean",
             int: "a number", float: "a number", type(None): "null"}
    return names.get(type(value), type(value).__name__)


def _first_error(exc: pydantic.ValidationError, prefix: str = "") -> str:
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
        reason = _first_error(exc)
    # A table's own errors come without its name: find the table that fails, alone.
    for name, table in tables.items():
        try:
            TableData.model_validate(table)
        except pydantic.ValidationError as exc:
            raise NotADocument(_first_error(exc, prefix=f"tables.{name}.")) from None
    raise NotADocument(reason)
