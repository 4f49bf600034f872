"""The command line's --check: does the saved TOML read back, with the format's own reader, as
the document?"""

from __future__ import annotations

import math
import tomllib
from typing import Any

from wrenfold.datastore.unified import UnifiedDataFormat

__all__ = ["check_saved_text", "expected_toml_data", "first_difference", "has_null_in_arrays",
           "unsaved_fields"]


def expected_toml_data(doc: UnifiedDataFormat) -> dict[str, Any]:
    """What a TOML reader should find in the saved document.

    The layout leaves out what TOML cannot hold or what is implied: None values of records and
    column fields, false column flags, and the unused `ondelete` and `onupdate`.
    """
    names = doc.tables.keys()
    tables = {}
    for name, table in doc.tables.items():
        columns = []
        for column in table.columns:
            entry: dict[str, Any] = {"name": column.name, "type": column.type}
            for flag in ("nullable", "primary_key"):
                if getattr(column, flag):
                    entry[flag] = True
            if column.foreign_key is not None:
                entry["foreign_key"] = column.foreign_key
            for flag in ("unique", "autoincrement"):
                if getattr(column, flag):
                    entry[flag] = True
            if column.default is not None:
                entry["default"] = _without_none(column.default)
            if column.comment is not None:
                entry["comment"] = column.comment
            columns.append(entry)
        records = [_without_none(record) for record in table.records]
        tables[name] = {"columns": columns, "records": records}
    header = {"version": doc.version, "schema_version": doc.schema_version, "tables": names}
    return {"header": header, "tables": tables} if tables else {"header": header}


def _without_none(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _without_none(v) for k, v in value.items() if v is not None}
    if isinstance(value, (list, tuple)):
        return [_without_none(v) for v in value]
    return value


def first_difference(found: Any, expected: Any, where: str = "") -> str | None:
    """The dotted path of the first place where `found` differs from `expected`, else None.

    Like ==, except that NaN equals NaN: a document may hold NaN and still read back intact.
    """
    if isinstance(found, dict) and isinstance(expected, dict):
        if found.keys() != expected.keys():
            return where or "(top)"
        for key in expected:
            diff = first_difference(found[key], expected[key], f"{where}.{key}" if where else key)
            if diff is not None:
                return diff
        return None
    if isinstance(found, list) and isinstance(expected, list):
        if len(found) != len(expected):
            return where
        for i, (a, b) in enumerate(zip(found, expected)):
            diff = first_difference(a, b, f"{where}[{i}]")
            if diff is not None:
                return diff
        return None
    if isinstance(found, float) and isinstance(expected, float):
        if math.isnan(found) and math.isnan(expected):
            return None
    if type(found) is not type(expected) or found != expected:
        return where or "(top)"
    return None


def unsaved_fields(doc: UnifiedDataFormat) -> list[str]:
    """The places of column fields that hold a value the format does not save."""
    return [f"{name}.columns[{i}].{field}" for name, table in doc.tables.items()
            for i, column in enumerate(table.columns) for field in ("ondelete", "onupdate")
            if getattr(column, field) is not None]


def has_null_in_arrays(doc: UnifiedDataFormat) -> bool:
    """Whether the saved TOML holds null (None inside a list), which is not standard TOML."""
    def in_value(value: Any, in_array: bool) -> bool:
        if value is None:
            return in_array
        if isinstance(value, dict):
            return any(in_value(v, False) for v in value.values())
        if isinstance(value, (list, tuple)):
            return any(in_value(v, True) for v in value)
        return False
    return any(in_value(record, False) for table in doc.tables.values() for record in table.records
               ) or any(in_value(column.default, False) for table in doc.tables.values()
                        for column in table.columns)


def check_saved_text(text: str, doc: UnifiedDataFormat) -> str | None:
    """None when the TOML `text` reads back as `doc`, otherwise why not, in one line."""
    from wrenfold.datastore.adapter.toml.inkreader import _loads_document

    lost = unsaved_fields(doc)
    if lost:
        return f"the TOML does not carry {', '.join(lost)}"
    try:
        parsed = _loads_document(text)
        where = first_difference(parsed, expected_toml_data(doc))
    except tomllib.TOMLDecodeError as exc:
        return f"the TOML does not parse: {exc}"
    except RecursionError:
        return "the TOML is nested too deeply to read back and compare"
    if where is not None:
        return f"the TOML reads back with different data at {where}"
    return None
