"""dumps and dump: byte for byte what tomli_w writes, every toml-test value written so that
tomllib reads it back, tomli_w's errors, and documents changed or made endless by called
code."""

from __future__ import annotations

import datetime as dt
import enum
import io
import json
import sys
import tomllib
from collections.abc import Mapping
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st

from test_reader_conformance import VALID, case_id, same, untag
from wrenfold.datastore.adapter.toml import dump, dumps

tomli_w = pytest.importorskip("tomli_w")

TZ = st.builds(lambda m: dt.timezone(dt.timedelta(minutes=m)), st.integers(-1439, 1439))
SCALARS = (
    st.text()
    | st.text(alphabet="ab\t\n\r\"\\\x00\x1b\x7fé")
    | st.integers()
    | st.floats()
    | st.booleans()
    | st.dates()
    | st.times()
    | st.datetimes(timezones=st.none() | TZ)
    | st.decimals()
)
KEYS = st.text(max_size=4) | st.sampled_from(["a", "b-c", "_1", "a.b", "", "é"])
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=4)
    | st.lists(inner, max_size=3).map(tuple)
    | st.dictionaries(KEYS, inner, max_size=4)
    | st.lists(st.dictionaries(KEYS, inner, max_size=4), min_size=1, max_size=3),
    max_leaves=12,
)
DOCS = st.dictionaries(KEYS, VALUES, max_size=6)


@settings(max_examples=300, deadline=None)
@given(DOCS, st.booleans(), st.integers(0, 6))
def test_dumps_writes_what_tomli_w_writes(doc, multiline, indent):
    expected = tomli_w.dumps(doc, multiline_strings=multiline, indent=indent)
    assert dumps(doc, multiline_strings=multiline, indent=indent) == expected
    if sys.version_info < (3, 15):
        # This tomllib reads TOML 1.0 alone: an array over several lines inside an inline
        # table is 1.0 (line breaks within a value), a line break between its pairs is not.
        tomllib.loads(expected)
    out = io.BytesIO()
    assert dump(doc, out, multiline_strings=multiline, indent=indent) is None
    assert out.getvalue() == expected.encode()


@pytest.mark.parametrize("path", VALID, ids=case_id)
def test_every_valid_case_reads_back(path):
    value = untag(json.loads(path.with_suffix(".json").read_text(encoding="utf-8")))
    assert same(tomllib.loads(dumps(value)), value)


class Odd(Mapping):
    def __init__(self, items):
        self._items = items

    def __getitem__(self, key):
        return dict(self._items)[key]

    def __iter__(self):
        return iter(dict(self._items))

    def __len__(self):
        return len(self._items)

    def items(self):
        return self._items


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f({"a": object()}),
        lambda f: f({1: 2}),
        lambda f: f({"t": {None: 2}}),
        lambda f: f({"a": [dt.time(1, tzinfo=dt.timezone.utc)]}),
        lambda f: f({}, indent=-1),
        lambda f: f({}, indent="4"),
        lambda f: f({}, indent=2.0),
        lambda f: f([]),
        lambda f: f({"a": Odd([(1,)])}),
        lambda f: f(),
        lambda f: f({}, {}),
        lambda f: f({}, x=1),
        lambda f: f(obj={}),
    ],
)
def test_refusals_are_tomli_w_s(call):
    with pytest.raises(Exception) as theirs:
        call(tomli_w.dumps)
    with pytest.raises(type(theirs.value), match="^" + __import__("re").escape(str(theirs.value))
                       .replace("tomli_w.dumps", "dumps") + "$"):
        call(dumps)


def test_dump_refusals_name_dump():
    with pytest.raises(TypeError, match=r"^dump\(\) missing 2 required positional arguments"):
        dump()
    with pytest.raises(TypeError, match=r"^dump\(\) got some .*: 'obj, fp'$"):
        dump(obj={}, fp=io.BytesIO())
    with pytest.raises(TypeError, match="not TOML serializable"):
        dump({"a": {1j}}, io.BytesIO())


class Level(enum.IntEnum):
    HIGH = 3


class Price(float):
    def __str__(self):
        return "cheap"


@pytest.mark.parametrize(
    "value",
    [
        Level.HIGH,
        Price(2.5),
        enum.IntFlag("F", "X Y").X,
        dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=dt.timezone(dt.timedelta(seconds=3725))),
        Decimal("-0"),
    ],
)
def test_values_tomli_w_writes_unreadably_read_back(value):
    assert tomllib.loads(dumps({"v": value}))["v"] == value


class Key(str):
    pass


def test_keys_of_tables_in_an_array_written_as_their_own():
    # The tables' keys differ, one table to the next, at the same positions: each their own
    # text, however long, quoted, wide, or made anew with the same text.
    keys = ["a", "k" * 45, "k" * 46, "b c", "é", Key("a"), "".join(["i", "d"]), "id"]
    tables = [{k: i} for i, k in enumerate(keys)]
    tables += [dict.fromkeys(keys[i:] + keys[:i], [1]) for i in range(len(keys))]
    tables += [{f"k{i}": i for i in range(40)}, {f"k{i}": i for i in range(39, -1, -1)}]
    doc = {"t": tables, "inline": {"x": tables[:2]}}
    assert dumps(doc) == tomli_w.dumps(doc)


@pytest.mark.parametrize("escape", ["\t", "\n", '"', "\x00", "é"])
def test_strings_of_every_short_length_with_an_escape_anywhere(escape):
    texts = ["x" * n for n in range(40)]
    texts += [t[:i] + escape + t[i:] for t in texts for i in range(len(t) + 1)]
    for multiline in (False, True):
        expected = tomli_w.dumps({"s": texts}, multiline_strings=multiline)
        assert dumps({"s": texts}, multiline_strings=multiline) == expected


@pytest.mark.parametrize("indent", [0, 1, 3, 4, 7, 8, 15, 16, 17, 32, 33, 40])
def test_arrays_nested_with_indents_of_every_copy_size(indent):
    doc = {"a": [1, [2, ["x", [2**70, []]]], {"t": [3]}]}
    assert dumps(doc, indent=indent) == tomli_w.dumps(doc, indent=indent)


def test_lone_surrogate_is_refused():
    with pytest.raises(UnicodeEncodeError):
        dumps({"a": "\ud800"})


def nested(depth, make):
    value = 1
    for _ in range(depth):
        value = make(value)
    return value


@pytest.mark.parametrize(
    "doc",
    [
        {"a": nested(100_000, lambda v: {"a": v})},
        {"a": nested(100_000, lambda v: [v])},
        {"a": [nested(100_000, lambda v: {"a": v, "b": [1]})]},
    ],
    ids=["tables", "arrays", "inline tables"],
)
def test_deep_nesting_raises_recursion_error(doc):
    with pytest.raises(RecursionError):
        dumps(doc)


def test_cycles_raise_recursion_error():
    table, array = {}, []
    table["t"] = table
    array.append(array)
    for doc in (table, {"a": array}, {"a": [1, table]}):
        with pytest.raises(RecursionError):
            dumps(doc)


class Meddler(Mapping):
    """A Mapping whose items() runs `act` first."""

    def __init__(self, act):
        self.act = act

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 1

    def items(self):
        self.act()
        return [("k", "v" * 200)]


def test_called_code_changing_the_document():
    doc = {"a": 1}
    doc["m"] = [1, Meddler(lambda: doc.update(z=1))]
    with pytest.raises(RuntimeError, match="dictionary"):
        dumps(doc)
    # A value replaced under its key is no change of keys: the walk goes on.
    doc = {"m": None, "b": 2}
    doc["m"] = [Meddler(lambda: doc.__setitem__("m", 0))]
    assert tomllib.loads(dumps(doc)) == {"m": [{"k": "v" * 200}], "b": 2}
    # Arrays are read as they are at each step.
    arr = [1, 2, 3]
    arr.insert(1, Meddler(arr.clear))
    assert dumps({"a": arr}) == 'a = [\n    1,\n    { k = "' + "v" * 200 + '" },\n]\n'
    tables = [{"x": 1}, {"y": 2}]
    tables.append(Meddler(tables.clear))
    assert tomllib.loads(dumps({"t": tables})) == {"t": [{"x": 1}, {"y": 2}, {"k": "v" * 200}]}
