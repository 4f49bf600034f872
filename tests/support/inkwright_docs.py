"""Documents for the TOML encoder tests: real models, and bare objects of the shapes it reads."""

from __future__ import annotations

from typing import Any

from wrenfold.datastore.tables.data import ColumnData, TableData
from wrenfold.datastore.tables.ledgerbox import TablesHolder
from wrenfold.datastore.unified import UnifiedDataFormat


def model(tables: dict[str, TableData] | None = None, version: str = "1.0",
          schema_version: str = "2") -> UnifiedDataFormat:
    doc = UnifiedDataFormat(version=version, schema_version=schema_version)
    for name, table in (tables or {}).items():
        doc.tables.add(name, table)
    return doc


def worked_example() -> UnifiedDataFormat:
    return model({
        "users": TableData(
            columns=[
                ColumnData(name="id", type="INTEGER", primary_key=True, autoincrement=True),
                ColumnData(name="name", type="TEXT", nullable=True, unique=True, default="anon",
                           comment="display name"),
            ],
            records=[{"id": 1, "name": "Ann"}, {"id": 2, "name": None}],
        )
    })


WORKED_EXAMPLE_TOML = (
    '[header]\n'
    'version = "1.0"\n'
    'schema_version = "2"\n'
    'tables = ["users"]\n'
    '\n'
    '[tables.users]\n'
    'columns = [\n'
    '    { name = "id", type = "INTEGER", primary_key = true, autoincrement = true },\n'
    '    { name = "name", type = "TEXT", nullable = true, unique = true, default = "anon", '
    'comment = "display name" },\n'
    ']\n'
    'records = [\n'
    '    { id = 1, name = "Ann" },\n'
    '    { id = 2 },\n'
    ']\n'
)


class Table:
    """A table object of the shape the snapshot reads: only tuple_values()."""

    def __init__(self, columns=(), records=(), *, result: Any = None) -> None:
        self.columns = list(columns)
        self.records = list(records)
        self.result = result
        self.calls = 0

    def tuple_values(self) -> Any:
        self.calls += 1
        if self.result is not None:
            return self.result
        return (tuple(self.columns), tuple(self.records))


def column(name: Any = "c", type: Any = "TEXT", *, unique: Any = False, comment: Any = None,
           foreign_key: Any = None, default: Any = None, nullable: Any = False,
           primary_key: Any = False, autoincrement: Any = False) -> tuple:
    return (name, type, unique, comment, foreign_key, default, None, None, nullable,
            primary_key, autoincrement)


class Doc:
    """A document of the shape the entry points read: only tuple_output."""

    def __init__(self, tables: dict[Any, Any] | None = None, version: Any = "1.0",
                 schema_version: Any = "2", *, output: Any = None) -> None:
        self.holder = TablesHolder()
        for name, table in (tables or {}).items():
            self.holder.as_dict()[name] = table
        self.version = version
        self.schema_version = schema_version
        self.output = output

    @property
    def tuple_output(self) -> Any:
        if self.output is not None:
            return self.output
        return (self.version, self.schema_version, self.holder)


def records_doc(*records: Any) -> Doc:
    """One table `t`, no columns, the given records."""
    return Doc({"t": Table(records=records)})


def only_record(text: str) -> str:
    """The one record of a one-table document, without its indent and trailing comma."""
    body = text.split("records = [\n    ", 1)[1]
    assert body.endswith(",\n]\n"), body
    return body[: -len(",\n]\n")]


def header(*names: str, version: str = "1.0", schema_version: str = "2") -> str:
    listed = ", ".join(f'"{n}"' for n in names)
    return (f'[header]\nversion = "{version}"\nschema_version = "{schema_version}"\n'
            f"tables = [{listed}]\n")
