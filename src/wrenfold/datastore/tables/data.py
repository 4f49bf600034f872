"""The table model of the unified data format."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, Field

__all__ = ["ColumnData", "TableData"]


class ColumnData(BaseModel):
    """One column definition of a table."""

    name: str
    type: str
    unique: bool = False
    comment: str | None = None
    foreign_key: str | None = None
    default: Any = None
    ondelete: str | None = None
    onupdate: str | None = None
    nullable: bool = False
    primary_key: bool = False
    autoincrement: bool = False

    # The encoder reads these fields itself while this method is the class's own
    # (c_unified_data/own_models.hpp): keep the two in step.
    def tuple_value(self) -> tuple[Any, ...]:
        """The column's eleven fields, in declaration order, as the native encoder reads them."""
        return (
            self.name,
            self.type,
            self.unique,
            self.comment,
            self.foreign_key,
            self.default,
            self.ondelete,
            self.onupdate,
            self.nullable,
            self.primary_key,
            self.autoincrement,
        )


class TableData(BaseModel):
    """A table: its column definitions and its records (one dict of field to value each)."""

    columns: list[ColumnData] = Field(default_factory=list)
    records: list[dict[str, Any]] = Field(default_factory=list)

    # Read natively as tuple_value() is.
    def tuple_values(self) -> tuple[tuple[tuple[Any, ...], ...], tuple[dict[str, Any], ...]]:
        """``(columns, records)``: a tuple of column tuples and a tuple of the record dicts.

        Every item is owned by this model (the records are the model's own dicts), so the
        tuples may be dropped while the items are still in use.
        """
        return (
            tuple(column.tuple_value() for column in self.columns),
            tuple(self.records),
        )
