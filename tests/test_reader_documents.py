"""decode_unified_data and read_unified_data: what the writer saves reads back as the same
document, after the format's own normalisation; other TOML of the same shape reads too; a
file that is not a document is refused, naming the table at fault."""

import math
import tomllib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.inkwright_docs import model, worked_example
from test_inkwright_roundtrip import read_back, tables, text, typed
from wrenfold.datastore.adapter.toml import decode_unified_data, loads, read_unified_data
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data
from wrenfold.datastore.adapter.toml.key_places import key_place
from wrenfold.datastore.tables.data import ColumnData, TableData
from wrenfold.datastore.unified import UnifiedDataFormat


def normalised(doc: UnifiedDataFormat) -> dict:
    """What a saved document reads back as: None fields left out at any depth, the column
    fields that are not written at their defaults, tuples as lists, NaN comparable."""
    out = {"version": doc.version, "schema_version": doc.schema_version, "tables": {}}
    for name, table in doc.tables.items():
        out["tables"][name] = {
            "columns": [typed(read_back(c.model_dump(exclude={"ondelete", "onupdate"})))
                        for c in table.columns],
            "records": typed(read_back(table.records)),
        }
    return out


def needs_no_escape(doc: UnifiedDataFormat) -> bool:
    return encode_unified_data(doc) == encode_unified_data(doc, escape_strings=True)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(version=text, schema_version=text, tables=tables)
def test_saved_documents_read_back(version, schema_version, tables):
    doc = model(tables, version=version, schema_version=schema_version)
    escaped = encode_unified_data(doc, escape_strings=True)
    back = decode_unified_data(escaped)
    assert normalised(back) == normalised(doc)
    # Every table and record key is found where the writer put it, whatever its text.
    for name, table in back.tables.items():
        line, column = key_place(escaped, ("tables", name))
        assert escaped.split("\n")[line - 1][:column - 1] == "[tables."
        assert all(key_place(escaped, ("tables", name, "records", i, key))
                   for i, record in enumerate(table.records) for key in record)
    try:
        raw = encode_unified_data(doc)
        parsed = tomllib.loads(raw).get("tables", {})
    except ValueError:
        return  # text raw mode refuses, or null in an array, which tomllib does not read
    # Raw output reads as tomllib reads it.
    back = decode_unified_data(raw)
    assert {n: typed(t.records) for n, t in back.tables.items()} == {
        n: typed(t.get("records", [])) for n, t in parsed.items()}


def test_none_in_lists_reads_back_only_here():
    doc = model({"t": TableData(records=[{"a": [None, 1, [None]], "b": None, "c": ({"d": None},)}])})
    text = encode_unified_data(doc)
    assert decode_unified_data(text).tables["t"].records == [{"a": [None, 1, [None]], "c": [{}]}]
    with pytest.raises(tomllib.TOMLDecodeError):
        loads(text)


def test_nan_and_the_worked_example(tmp_path):
    doc = worked_example()
    doc.tables["users"].records.append({"id": 3, "score": math.nan, "when": -math.inf})
    path = tmp_path / "db.toml"
    write_unified_data(doc, str(path), escape_strings=True)
    for back in (read_unified_data(path), read_unified_data(str(path)), decode_unified_data(
            path.read_text(encoding="utf-8"))):
        assert normalised(back) == normalised(doc)
        assert back.tables.keys() == ["users"] and isinstance(back, UnifiedDataFormat)


HAND_EDITED = """\
# edited by hand
[header]
version = "2"
schema_version = "1"
tables = ["b", "a"]

[tables.a]
columns = [{ name = "id", type = "INTEGER", primary_key = true }]

[[tables.a.records]]
id = 1
tags = ["x", null]

[[tables.a.records]]
id = 2
where.city = "Oslo"

[tables.b]
"""


def test_other_toml_of_the_same_shape():
    doc = decode_unified_data(HAND_EDITED)
    assert doc.tables.keys() == ["b", "a"]  # the order of the header's list
    a = doc.tables["a"]
    assert a.columns == [ColumnData(name="id", type="INTEGER", primary_key=True)]
    assert a.records == [{"id": 1, "tags": ["x", None]}, {"id": 2, "where": {"city": "Oslo"}}]
    assert doc.tables["b"] == TableData()


@pytest.mark.parametrize("change, message", [
    (('tables = ["b", "a"]', 'tables = ["b", "a", "c"]'), "table 'c' is listed in header.tables (line 5, column 21) but has no section"),
    (('tables = ["b", "a"]', 'tables = ["a"]'), "table 'b' has a section (line 18, column 9) but is not listed"),
    (('tables = ["b", "a"]', 'tables = ["a", "b", "a"]'), "table 'a' is listed twice in header.tables (line 5, column 21)"),
    (('tables = ["b", "a"]', 'tables = "ab"'), "header.tables (line 5, column 1) must be an array of table names"),
    (('[header]\nversion = "2"\nschema_version = "1"\ntables = ["b", "a"]\n', ""), "the document has no [header] table"),
    (('name = "id", ', ""), "table 'a' (line 8, column 12) does not validate: columns.0.name: missing"),
    (("[[tables.a.records]]\nid = 2", "[tables.a.records]\nid = 2"), None),
    (('[tables.b]', '[tables]\nb = 3'), "table 'b' (line 19, column 1) is a int, not a table"),
    (('version = "2"', "version = 1.0"), "the header (line 3, column 1) does not validate: version: Input should be a valid string"),
    (('version = "2"\n', ""), "the header (line 2, column 2) does not validate: version: missing"),
    # A key the document does not have, in the forms a writer or an editor uses.
    (("[header]", "[heading]"), "unknown key 'heading' in the document (line 2, column 2); it holds only header, tables"),
    (('version = "2"', 'version = "2"\n"owner" = "me"'), "unknown key 'owner' in the header (line 4, column 1)"),
    (("[[tables.a.records]]\nid = 2", "[[ tables.a.recrods ]]\nid = 2"), "unknown key 'recrods' in table 'a' (line 14, column 13); it holds only columns, records"),
    (("[tables.b]", "[tables]\nb . 'rows' = []"), "unknown key 'rows' in table 'b' (line 19, column 5)"),
    (("primary_key", "nulable"), "unknown key 'nulable' in column 0 of table 'a' (line 8, column 45); it holds only name, type, unique,"),
    (("columns = [{ name = \"id\", type = \"INTEGER\", primary_key = true }]",
      "[[tables.a.columns]]\nname = 'id'\ntype = 'INTEGER'\n\n[[tables.a.columns]]\nname = 'n' # x\n type = 'TEXT'\n'nulable' = true"),
     "unknown key 'nulable' in column 1 of table 'a' (line 15, column 1)"),
])
def test_a_file_that_is_not_a_document(change, message):
    old, new = change
    assert old in HAND_EDITED
    text = HAND_EDITED.replace(old, new, 1)
    if message is None:  # the array of tables made a plain table: not TOML
        with pytest.raises(tomllib.TOMLDecodeError):
            decode_unified_data(text)
        return
    with pytest.raises(ValueError) as info:
        decode_unified_data(text)
    assert message in str(info.value)


def test_a_file_that_is_not_utf8_names_line_and_column(tmp_path):
    path = tmp_path / "db.toml"
    path.write_bytes(HAND_EDITED.replace("Oslo", "Osl\xf8").encode("latin-1"))
    with pytest.raises(tomllib.TOMLDecodeError, match=r"^Invalid UTF-8 \(invalid start byte\) "
                       r"\(at line 16, column 18\)$"):
        read_unified_data(path)


def test_records_must_be_an_array_of_tables(tmp_path):
    text = HAND_EDITED.replace("[[tables.a.records]]\nid = 2\nwhere.city = \"Oslo\"\n", "")
    text = text.replace("[[tables.a.records]]\nid = 1\ntags = [\"x\", null]\n", "records = [1]\n")
    with pytest.raises(ValueError, match=r"^table 'a' \(line 7, column 9\): records must be an array of tables$"):
        decode_unified_data(text)
    with pytest.raises(FileNotFoundError):
        read_unified_data(tmp_path / "missing.toml")
    with pytest.raises(TypeError, match="Expected str object, not 'bytes'"):
        decode_unified_data(b"")  # type: ignore[arg-type]
