"""Escaped output reads back with tomllib to the same data."""

import json
import math
import tomllib
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from inkwright_docs import model
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data
from wrenfold.datastore.tables.data import ColumnData, TableData

FLAGS = ("nullable", "primary_key", "unique", "autoincrement")


def typed(value):
    """`value` with every leaf tagged by its type, so that True and 1 differ."""
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [typed(v) for v in value]
    return (type(value).__name__, value)


def without_none(value):
    """What TOML keeps: None fields of dicts are left out."""
    if isinstance(value, dict):
        return {k: without_none(v) for k, v in value.items() if v is not None}
    if isinstance(value, (list, tuple)):
        return [without_none(v) for v in value]
    return value


text = st.text(st.characters(exclude_categories=["Cs"]))
scalars = (
    text
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.booleans()
)
# None only as a dict value: TOML has no null, so an array item None cannot read back.
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(text, inner | st.none(), max_size=4),
    max_leaves=12,
)
records = st.dictionaries(text, values | st.none(), max_size=5)
columns = st.builds(
    ColumnData,
    name=text, type=text, comment=st.none() | text, foreign_key=st.none() | text,
    default=st.none() | values, nullable=st.booleans(), primary_key=st.booleans(),
    unique=st.booleans(), autoincrement=st.booleans(),
)
tables = st.dictionaries(
    text,
    st.builds(TableData, columns=st.lists(columns, max_size=3),
              records=st.lists(records, max_size=4)),
    max_size=3,
)


def expected_column(col: ColumnData) -> dict:
    out = {"name": col.name, "type": col.type}
    out.update({flag: True for flag in FLAGS if getattr(col, flag)})
    for key in ("foreign_key", "default", "comment"):
        if getattr(col, key) is not None:
            out[key] = without_none(getattr(col, key))
    return out


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(version=text, schema_version=text, tables=tables)
def test_escaped_documents_read_back(version, schema_version, tables):
    doc = model(tables, version=version, schema_version=schema_version)
    parsed = tomllib.loads(encode_unified_data(doc, escape_strings=True))
    assert parsed["header"] == {"version": version, "schema_version": schema_version,
                                "tables": list(tables)}
    assert list(parsed.get("tables", {})) == list(tables)
    for name, table in tables.items():
        section = parsed["tables"][name]
        assert typed(section["records"]) == typed(without_none(table.records))
        assert typed(section["columns"]) == typed([expected_column(c) for c in table.columns])


@settings(max_examples=200, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False) | st.integers(-(2**63), 2**63 - 1))
def test_numbers_read_back_exactly(number):
    doc = model({"t": TableData(records=[{"n": number}])})
    (record,) = tomllib.loads(encode_unified_data(doc, escape_strings=True))["tables"]["t"]["records"]
    assert type(record["n"]) is type(number)
    assert record["n"] == number and math.copysign(1, record["n"]) == math.copysign(1, number)


def test_toml_test_strings_read_back_as_values_keys_and_names():
    data = json.loads((Path(__file__).parent / "data" / "toml-test-strings.json").read_text())
    strings = [s for s in data["strings"] + data["keys"]
               if not any(0xD800 <= ord(c) <= 0xDFFF for c in s)]
    assert len(strings) > 200
    for s in strings:
        doc = model({s: TableData(records=[{s: s, "nested": [{s: [s]}]}])}, version=s)
        parsed = tomllib.loads(encode_unified_data(doc, escape_strings=True))
        assert parsed["header"]["version"] == s
        assert parsed["tables"][s]["records"] == [{s: s, "nested": [{s: [s]}]}], repr(s)
