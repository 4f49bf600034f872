"""Escaped output reads back with tomllib, and with our own reader, to the same data."""

import enum
import json
import math
import os
import re
import tempfile
import tomllib
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support.inkwright_docs import Doc, Table, model
from wrenfold.datastore.adapter.toml import loads
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data
from wrenfold.datastore.tables.data import ColumnData, TableData

FLAGS = ("nullable", "primary_key", "unique", "autoincrement")


def typed(value):
    """`value` with every leaf tagged by its type, so that True and 1 differ; floats by repr,
    so that nan equals nan and -0.0 differs from 0.0."""
    if isinstance(value, dict):
        return {k: typed(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [typed(v) for v in value]
    if type(value) is float:
        return ("float", repr(value))
    return (type(value).__name__, value)


def toml_number(text):
    """The number that `text` is in TOML, or None."""
    try:
        parsed = tomllib.loads(f"v = {text}")["v"]
    except tomllib.TOMLDecodeError:
        return None
    return parsed if type(parsed) in (int, float) else None


def number_read_back(value):
    """What an int or float subclass reads back as from escaped output: its str() when that
    is a TOML number, else its value."""
    parsed = toml_number(str(value))
    if parsed is not None:
        return parsed
    return float(value) if isinstance(value, float) else int(value)


def read_back(value):
    """What escaped output reads back as: None fields of dicts left out, tuples as lists,
    subclasses of int and float as numbers, other objects as their str()."""
    if isinstance(value, dict):
        return {k: read_back(v) for k, v in value.items() if v is not None}
    if isinstance(value, (list, tuple)):
        return [read_back(v) for v in value]
    if isinstance(value, (int, float)) and type(value) not in (int, float, bool):
        return number_read_back(value)
    if isinstance(value, Scribbler):
        return str(value)
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


def expected_column(fields: dict) -> dict:
    out = {"name": fields["name"], "type": fields["type"]}
    out.update({flag: True for flag in FLAGS if fields[flag]})
    for key in ("foreign_key", "default", "comment"):
        if fields[key] is not None:
            out[key] = read_back(fields[key])
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
        assert typed(section["records"]) == typed(read_back(table.records))
        assert typed(section["columns"]) == typed([expected_column(vars(c)) for c in table.columns])


@settings(max_examples=200, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False) | st.integers(-(2**63), 2**63 - 1))
def test_numbers_read_back_exactly(number):
    doc = model({"t": TableData(records=[{"n": number}])})
    (record,) = tomllib.loads(encode_unified_data(doc, escape_strings=True))["tables"]["t"]["records"]
    assert type(record["n"]) is type(number)
    assert record["n"] == number and math.copysign(1, record["n"]) == math.copysign(1, number)


@pytest.mark.parametrize("escape", [False, True])
@settings(max_examples=400, deadline=None)
@given(text=st.text("0123456789_.eE+-xobXOBabcdefinINF", max_size=10)
       | st.sampled_from(["0xff", "0o17", "0b101", "1_000", "-0", "+1.5e-3", "inf", "-nan", "1e+16",
                          "01", "1__0", "0x", "1.", ".5", "1e", "Infinity", "S.ACTIVE", "",
                          "1, is_admin = true"]))
def test_number_subclass_text_is_kept_when_toml_reads_it_as_a_number(text, escape):
    class Says(int):
        def __str__(self):
            return text

    class SaysFloat(float):
        def __str__(self):
            return text

    for value in (Says(255), SaysFloat(2.5)):
        doc = Doc({"t": Table(records=[{"v": value}])})
        (record,) = tomllib.loads(encode_unified_data(doc, escape))["tables"]["t"]["records"]
        kept = toml_number(text)
        assert typed(record["v"]) == typed(kept if kept is not None else type(value).__base__(value))


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


# --- seeded random documents ----------------------------------------------------------------


class Named(int):
    def __str__(self):
        return f"Named({int(self)})"


class HexInt(int):
    def __str__(self):
        return hex(self)  # a TOML number unless negative


class Exact(float):
    def __str__(self):
        return f"{float(self):.17g}"  # "-0", "1e+16", "inf": some TOML floats, some ints


class Shouty(float):
    def __str__(self):
        return "FLOAT!"


class Flag(enum.IntFlag):
    A = 1
    B = 2


class Scribbler:
    """A value whose __str__ changes the dict that holds it: its own value set again (which
    the walk allows) or, when `reinsert`, its key popped and inserted again (which makes the
    encoder raise)."""

    def __init__(self, text, home, key, reinsert):
        self.text, self.home, self.key, self.reinsert = text, home, key, reinsert

    def __str__(self):
        if self.reinsert:
            self.home[self.key] = self.home.pop(self.key)
        else:
            self.home[self.key] = self
        return self.text


CORPUS = json.loads((Path(__file__).parent / "data" / "toml-test-strings.json").read_text())
# Fewer under the sanitizers, which slow everything down several times.
DOCUMENTS = 300 if os.environ.get("WRENFOLD_SANITIZED") else 1_500
COLUMN_FIELDS = ("name", "type", "unique", "comment", "foreign_key", "default", "ondelete",
                 "onupdate", "nullable", "primary_key", "autoincrement")
OLD = b"old contents \xff\n"


def has_surrogate(s):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in s)


def reads_raw(c):
    """Whether TOML's reference reader takes the character `c` as it is between quotes."""
    try:
        return tomllib.loads(f'v = "{c}"')["v"] == c
    except tomllib.TOMLDecodeError:
        return False


# What raw output refuses, and what escaped output writes differently (the tab besides), as
# TOML's own reader has them: no character beyond ASCII is either.
RAW_REFUSED = frozenset(c for c in map(chr, range(0x80)) if not reads_raw(c))
ESCAPED = RAW_REFUSED | {"\t"}
STRINGS = [s for s in CORPUS["strings"] if not has_surrogate(s)]
KEYS = [s for s in CORPUS["keys"] if not has_surrogate(s)]
# Printable ASCII, controls and DEL, the rest of the BMP, and beyond it.
CHARS = (st.characters(min_codepoint=0x20, max_codepoint=0x7E)
         | st.sampled_from([*map(chr, range(0x20)), "\x7f"])
         | st.characters(min_codepoint=0x80, max_codepoint=0xFFFF, exclude_categories=["Cs"])
         | st.characters(min_codepoint=0x10000))


class DrawnDocument:
    """A document of header texts and up to three tables of columns and records, values nested
    up to five deep, each choice taken by `pick(strategy)`. With `plant` (a number and a
    draw), the written string of that number (in drawing order) gets a lone surrogate. A
    `clean` document has no character that needs escaping."""

    def __init__(self, pick, clean, plant=None):
        self.pick, self.clean, self.plant = pick, clean, plant
        self.written = 0  # strings drawn that end up in the output
        self.escapes = False  # whether raw output differs from escaped output
        self.refused = False  # whether a written string is refused raw
        self.raises = False  # whether a value's __str__ changes the keys of its dict
        self.version, self.schema_version = self.text(), self.text()
        self.tables = {}
        for _ in range(pick(st.sampled_from([1, 0, 2, 3]))):
            name = self.unique(self.text(), self.tables)
            self.tables[name] = ([self.column() for _ in range(pick(st.integers(0, 3)))],
                                 [self.table(1) for _ in range(pick(st.integers(0, 4)))])
        self.doc = Doc({n: Table(c, rs) for n, (c, rs) in self.tables.items()},
                       self.version, self.schema_version)

    @staticmethod
    def unique(key, taken):
        while key in taken:
            key += "_"
        return key

    def text(self, written=True):
        pick, kind = self.pick, self.pick(st.integers(0, 3))
        s = pick(st.sampled_from(KEYS if kind == 1 else STRINGS)) if kind != 2 else ""
        if kind >= 2:
            s += pick(st.text(CHARS, max_size=8))
        if self.clean:
            s = "".join(c for c in s if c not in ESCAPED)
        if written:
            if self.plant is not None and self.written == self.plant[0]:
                draw = self.plant[1]
                at = draw(st.integers(0, len(s)))
                s = s[:at] + draw(st.characters(categories=["Cs"])) + s[at:]
            self.written += 1
            self.escapes = self.escapes or any(c in ESCAPED for c in s)
            self.refused = self.refused or any(c in RAW_REFUSED for c in s)
        return s

    def subclass_number(self):
        """An int or float subclass; written alike raw and escaped, whatever its str()."""
        pick = self.pick
        cls = pick(st.sampled_from([Named, HexInt, Exact, Shouty, Flag, re.RegexFlag]))
        if cls in (Flag, re.RegexFlag):
            value = cls(pick(st.sampled_from([1, 2, 3])))
        elif cls in (Named, HexInt):
            value = cls(pick(st.integers(-1000, 999) | st.sampled_from([2**70, -(2**63)])))
        else:
            value = cls(self.number(floats_only=True))
        return value

    def number(self, floats_only=False):
        pick = self.pick
        kind = pick(st.integers(3, 5) if floats_only else st.integers(0, 6))
        if kind == 6:
            return self.subclass_number()
        if kind == 0:
            return pick(st.integers(-1000, 999))
        if kind == 1:
            return pick(st.sampled_from([2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64]))
        if kind == 2:
            return pick(st.integers(2**64, 2**400) | st.integers(-(2**400), -(2**64)))
        if kind == 3:
            return pick(st.sampled_from([math.inf, -math.inf, math.nan, -0.0, 0.0, 5e-324,
                                         1.5e308]))
        return pick(st.floats() if kind == 4 else st.floats(-1e6, 1e6))

    def value(self, depth):
        """A scalar, or a container at nesting level `depth` when that is at most 5."""
        pick = self.pick
        if depth > 5 or pick(st.integers(0, 99)) < 55:
            roll = pick(st.integers(0, 99))
            if roll < 45:
                return self.text()
            return self.number() if roll < 85 else roll < 93
        kind = pick(st.integers(0, 2))
        if kind == 2:
            return self.table(depth)
        items = [self.value(depth + 1) for _ in range(pick(st.integers(0, 3)))]
        return items if kind == 0 else tuple(items)

    def table(self, depth):
        """A dict at level `depth`; a key is written only when its value is not None."""
        out = {}
        for _ in range(self.pick(st.integers(0, 3))):
            roll = self.pick(st.integers(0, 99))
            if roll >= 97:
                text, reinsert = self.text(), self.pick(st.integers(0, 99)) < 15
                self.raises = self.raises or reinsert
            value = None if roll < 15 else self.value(depth + 1) if roll < 97 else text
            key = self.unique(self.text(written=value is not None), out)
            out[key] = Scribbler(text, out, key, reinsert) if roll >= 97 else value
        return out

    def column(self):
        pick = self.pick

        def flag():
            return pick(st.sampled_from([True, False, None, 0, 1, "", "y", [], [0]]))

        def optional(draw):
            return draw() if pick(st.booleans()) else None

        name, type_, unique = self.text(), self.text(), flag()
        comment, foreign_key = optional(self.text), optional(self.text)
        default = optional(lambda: self.value(1))
        ondelete, onupdate = self.text(written=False), None
        return (name, type_, unique, comment, foreign_key, default, ondelete, onupdate,
                flag(), flag(), flag())

    def expected(self):
        out = {"header": {"version": self.version, "schema_version": self.schema_version,
                          "tables": list(self.tables)}}
        if self.tables:
            out["tables"] = {
                name: {"columns": [expected_column(dict(zip(COLUMN_FIELDS, c))) for c in cols],
                       "records": read_back(records)}
                for name, (cols, records) in self.tables.items()
            }
        return typed(out)


@st.composite
def drawn_documents(draw, clean):
    """A DrawnDocument, now and then with its twin that has a lone surrogate planted in one
    of its written strings (`planted`), and whether to write it to a file (`to_file`, escaped
    or not)."""
    picks = []

    def pick(strategy):
        picks.append(draw(strategy))
        return picks[-1]

    drawn = DrawnDocument(pick, clean)
    drawn.planted = None
    if drawn.written > 0 and draw(st.integers(0, 9)) == 0:
        replay = iter(picks)
        plant = (draw(st.integers(0, drawn.written - 1)), draw)
        drawn.planted = DrawnDocument(lambda strategy: next(replay), clean, plant).doc
    drawn.to_file = draw(st.integers(0, 9)) == 0
    drawn.file_escape = draw(st.booleans())
    return drawn


def check_drawn_document(drawn, folder):
    """Escaped output reads back to the document; raw output is the same text when nothing
    needs escaping; a document drawn for a file is written to one, and a planted twin raises
    and writes nothing. A document with a value whose __str__ changes the keys around it
    raises instead, and writes nothing."""
    existing, fresh = folder / "existing.toml", folder / "fresh.toml"
    if drawn.raises:
        existing.write_bytes(OLD)
        for escape in (False, True):
            for call in (lambda: encode_unified_data(drawn.doc, escape),
                         lambda: write_unified_data(drawn.doc, str(existing), escape),
                         lambda: write_unified_data(drawn.doc, str(fresh), escape)):
                # Raw, a refused string may come first.
                with pytest.raises((RuntimeError, ValueError) if drawn.refused and not escape
                                   else RuntimeError, match="^dictionary keys changed during|"
                                   "which raw TOML cannot carry"):
                    call()
        assert existing.read_bytes() == OLD and os.listdir(folder) == ["existing.toml"]
        return
    escaped = encode_unified_data(drawn.doc, escape_strings=True)
    assert typed(tomllib.loads(escaped)) == drawn.expected()
    assert typed(loads(escaped)) == drawn.expected()  # our own reader agrees
    if drawn.refused:
        existing.write_bytes(OLD)
        for call in (lambda: encode_unified_data(drawn.doc),
                     lambda: write_unified_data(drawn.doc, str(existing))):
            with pytest.raises(ValueError, match="which raw TOML cannot carry"):
                call()
        assert existing.read_bytes() == OLD
        existing.unlink()
    else:
        raw = encode_unified_data(drawn.doc)
    if not drawn.escapes:
        assert raw == escaped
    if drawn.to_file:
        escape = drawn.file_escape or drawn.refused
        write_unified_data(drawn.doc, str(fresh), escape)
        assert fresh.read_bytes() == (escaped if escape else raw).encode()
        fresh.unlink()
    if drawn.planted is not None:
        existing.write_bytes(OLD)
        for escape in (False, True):
            for call in (lambda: encode_unified_data(drawn.planted, escape),
                         lambda: write_unified_data(drawn.planted, str(existing), escape),
                         lambda: write_unified_data(drawn.planted, str(fresh), escape)):
                # Raw, a refused string may come before the surrogate.
                raw_refused = not escape and drawn.refused
                with pytest.raises(ValueError if raw_refused else UnicodeEncodeError):
                    call()
        assert existing.read_bytes() == OLD and os.listdir(folder) == ["existing.toml"]


# Clean documents apart, so that the raw comparison always runs, and the two sets in parallel.
@pytest.mark.parametrize("clean", [True, False], ids=["clean", "escapes"])
def test_drawn_documents_read_back(clean):
    @settings(max_examples=DOCUMENTS // 2, deadline=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(drawn_documents(clean))
    def check(drawn):
        with tempfile.TemporaryDirectory() as folder:
            check_drawn_document(drawn, Path(folder))

    check()
