"""The TOML document: header, table sections, column lines and record lines, byte for byte."""

import tomllib

import pytest

from support.inkwright_docs import (WORKED_EXAMPLE_TOML, Doc, Table, column, header, model,
                            worked_example)
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data as encode
from wrenfold.datastore.tables.data import ColumnData, TableData


class TestWorkedExample:
    @pytest.mark.parametrize("escape", [False, True])
    def test_byte_for_byte(self, escape):
        assert encode(worked_example(), escape_strings=escape) == WORKED_EXAMPLE_TOML

    def test_reads_back(self):
        parsed = tomllib.loads(encode(worked_example()))
        assert parsed["header"] == {"version": "1.0", "schema_version": "2", "tables": ["users"]}
        assert parsed["tables"]["users"]["records"] == [{"id": 1, "name": "Ann"}, {"id": 2}]
        assert parsed["tables"]["users"]["columns"][1]["default"] == "anon"


class TestSections:
    def test_empty_holder_is_the_header_alone(self):
        assert encode(model()) == header()

    def test_table_with_no_columns_and_no_records(self):
        assert encode(model({"t": TableData()})) == (
            header("t") + "\n[tables.t]\ncolumns = [\n]\nrecords = [\n]\n"
        )

    def test_tables_in_insertion_order(self):
        doc = model({"b": TableData(records=[{"x": 1}]), "a": TableData(records=[{"y": 2}])})
        assert encode(doc) == (
            header("b", "a")
            + "\n[tables.b]\ncolumns = [\n]\nrecords = [\n    { x = 1 },\n]\n"
            + "\n[tables.a]\ncolumns = [\n]\nrecords = [\n    { y = 2 },\n]\n"
        )

    def test_every_line_ends_with_a_comma(self):
        doc = model({"t": TableData(columns=[ColumnData(name="a", type="T")] * 2,
                                    records=[{}, {"k": None}])})
        assert encode(doc).endswith(
            "columns = [\n"
            '    { name = "a", type = "T" },\n'
            '    { name = "a", type = "T" },\n'
            "]\n"
            "records = [\n"
            "    {  },\n"
            "    {  },\n"
            "]\n"
        )

    def test_count_token_is_never_written(self):
        assert "count" not in encode(worked_example())


def column_line(col, escape=False) -> str:
    text = encode(Doc({"t": Table(columns=[col])}), escape_strings=escape)
    line = text.split("columns = [\n", 1)[1].split("\n", 1)[0]
    return line.removeprefix("    ").removesuffix(",")


class TestColumns:
    def test_name_and_type_only_when_flags_false(self):
        assert column_line(column("id", "INTEGER")) == '{ name = "id", type = "INTEGER" }'

    def test_every_key_in_fixed_order(self):
        col = column("id", "INTEGER", unique=True, comment="c", foreign_key="o.id", default=7,
                     nullable=True, primary_key=True, autoincrement=True)
        assert column_line(col) == (
            '{ name = "id", type = "INTEGER", nullable = true, primary_key = true, '
            'foreign_key = "o.id", unique = true, autoincrement = true, default = 7, '
            'comment = "c" }'
        )

    @pytest.mark.parametrize("falsy", [False, None, 0, 0.0, "", [], ()])
    def test_falsy_flags_are_left_out(self, falsy):
        col = column(unique=falsy, nullable=falsy, primary_key=falsy, autoincrement=falsy)
        assert column_line(col) == '{ name = "c", type = "TEXT" }'

    @pytest.mark.parametrize("truthy", [True, 1, -2, "x", [0]])
    def test_truthy_flags_are_written_true(self, truthy):
        assert column_line(column(nullable=truthy)) == (
            '{ name = "c", type = "TEXT", nullable = true }'
        )

    @pytest.mark.parametrize(("default", "text"), [
        (False, "false"), (0, "0"), (0.5, "0.5"), ("", '""'), ([], "[  ]"),
        ({"a": [1, {"b": "x"}]}, '{ a = [ 1, { b = "x" } ] }'),
    ])
    def test_defaults(self, default, text):
        assert column_line(column(default=default)) == (
            f'{{ name = "c", type = "TEXT", default = {text} }}'
        )

    def test_default_none_is_left_out(self):
        assert "default" not in column_line(column(default=None))

    def test_type_none_fails(self):
        with pytest.raises(TypeError):
            encode(Doc({"t": Table(columns=[column(type=None)])}))

    def test_ondelete_and_onupdate_are_not_written(self):
        col = column()[:6] + ("CASCADE", "RESTRICT") + column()[8:]
        assert column_line(col) == '{ name = "c", type = "TEXT" }'


QUOTED = 'say "hi"\\\n\t\x7f'
QUOTED_ESCAPED = 'say \\"hi\\"\\\\\\n\\t\\u007F'
RAW_OK = "say hi\tZo\u00eb \U0001f600"  # text raw TOML carries as it is


class TestStringFieldsInBothModes:
    """Raw mode copies every text it can carry as it is; escaped mode escapes every string."""

    def doc(self, text=QUOTED):
        col = column(text, text, foreign_key=text, comment=text, default=text)
        return Doc({text: Table(columns=[col], records=[{"k": [{"k": text}]}])},
                   version=text, schema_version=text)

    def test_raw(self):
        q = f'"{RAW_OK}"'
        assert encode(self.doc(RAW_OK)) == (
            f"[header]\nversion = {q}\nschema_version = {q}\ntables = [{q}]\n"
            f"\n[tables.{q}]\ncolumns = [\n"
            f"    {{ name = {q}, type = {q}, foreign_key = {q}, default = {q}, comment = {q} }},\n"
            f"]\nrecords = [\n    {{ k = [ {{ k = {q} }} ] }},\n]\n"
        )

    def test_escaped(self):
        e = f'"{QUOTED_ESCAPED}"'
        assert encode(self.doc(), escape_strings=True) == (
            f"[header]\nversion = {e}\nschema_version = {e}\ntables = [{e}]\n"
            f"\n[tables.{e}]\ncolumns = [\n"
            f"    {{ name = {e}, type = {e}, foreign_key = {e}, default = {e}, comment = {e} }},\n"
            f"]\nrecords = [\n    {{ k = [ {{ k = {e} }} ] }},\n]\n"
        )

    def test_escaped_reads_back(self):
        parsed = tomllib.loads(encode(self.doc(), escape_strings=True))
        assert parsed["header"] == {"version": QUOTED, "schema_version": QUOTED,
                                    "tables": [QUOTED]}
        table = parsed["tables"][QUOTED]
        assert table["columns"] == [{"name": QUOTED, "type": QUOTED, "foreign_key": QUOTED,
                                     "default": QUOTED, "comment": QUOTED}]
        assert table["records"] == [{"k": [{"k": QUOTED}]}]


@pytest.mark.parametrize("wide", ["é", "ж", "😀"])
@pytest.mark.parametrize("records", [1, 3000])
def test_wide_texts_with_escapes_read_back(wide, records):
    # Texts as wide as the result, and narrower, some to escape, over many batches.
    def text(i):
        return [f"{wide}{i}", f'"{wide}\\\n{i}\t', f"é{i}", f"{wide}\x7f", f'é"{i}'][i % 5]

    rows = [{"k": text(i), "n": text(i + 1)} for i in range(records)]
    parsed = tomllib.loads(encode(model({"t": TableData(records=rows)}), escape_strings=True))
    assert parsed["tables"]["t"]["records"] == rows


class TestSectionNames:
    @pytest.mark.parametrize("name", ["users", "A_b-9", "0"])
    def test_bare_names_stay_bare(self, name):
        assert f"\n[tables.{name}]\n" in encode(model({name: TableData()}))

    @pytest.mark.parametrize("name", ["a.b", "first name", "", "é", "x]y", "#"])
    def test_other_names_are_quoted_and_read_back(self, name):
        text = encode(model({name: TableData(records=[{"v": 1}])}), escape_strings=True)
        assert f'\n[tables."{name}"]\n' in text
        assert tomllib.loads(text)["tables"] == {name: {"columns": [], "records": [{"v": 1}]}}

    def test_quoted_name_is_escaped_in_escaped_mode(self):
        doc = model({'a"b': TableData()})
        assert '\n[tables."a b"]\n' in encode(model({"a b": TableData()}))
        assert '\n[tables."a\\"b"]\n' in encode(doc, escape_strings=True)
