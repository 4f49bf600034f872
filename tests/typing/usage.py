"""Uses every public function the stubs and annotations describe; mypy and pyright, both
strict, must accept it as it is."""

import decimal
import io
from pathlib import Path

from pydantic import BaseModel

from wrenfold.datastore.adapter.toml import (decode_unified_data, dump, dumps, load, loads,
                                             read_unified_data)
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data
from wrenfold.datastore.tables.data import TableData
from wrenfold.datastore.tables.ledgerbox import TablesHolder
from wrenfold.datastore.unified import UnifiedDataFormat


class Model(BaseModel):
    tables: TablesHolder


class Source:  # only what load() needs of a file
    def read(self, size: int = -1, /) -> bytes:
        return b"a = 1.5\n"


def tour(path: str) -> str:
    h = TablesHolder({"users": {"columns": [], "records": []}})
    h.add("orders", TableData())
    h.set(None, None)
    h["extra"] = TableData()
    table: TableData | None = h.get("users")
    del h["extra"]
    h.remove(None)
    found: bool = h.contains("users") and "orders" in h and not h.empty and h.is_tables_holder()
    names: list[str] = h.keys()
    copied: dict[str, TableData | None] = dict(h)
    pairs = h.items()
    for name in h.iterate():
        print(name, found, table, pairs, h.values(), copied)
    dumped = h.model_dump(exclude_none=False)
    h.replace_dict(dumped)
    same: bool = h == TablesHolder(h) and hash(h) == hash(h) and len(h) == len(names)
    model = Model.model_validate({"tables": h.as_dict()})
    doc = UnifiedDataFormat(version="1", schema_version="2", tables=model.tables)
    write_unified_data(doc, path, escape_strings=True)
    h.clear()
    return encode_unified_data(doc) + repr(same)


def reading(path: str) -> list[UnifiedDataFormat]:
    text = Path(path).read_text(encoding="utf-8")
    with open(path, "rb") as f:
        dump({"file": load(f), "text": loads(text)}, io.BytesIO(), multiline_strings=True)
    print(dumps(load(Source(), parse_float=decimal.Decimal), indent=2))
    return [decode_unified_data(text), read_unified_data(path), read_unified_data(Path(path)),
            read_unified_data(path.encode())]
