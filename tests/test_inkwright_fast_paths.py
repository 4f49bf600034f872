"""The encoder's own paths for numbers, record keys and text match the general ones."""

import math
import os
import random
import struct
import subprocess
import sys
import sysconfig

import pytest

from support.inkwright_docs import Doc, header, records_doc, worked_example
from test_number_format import INT64_MAX, INT64_MIN, float_mix, int_mix
from wrenfold.datastore.adapter.toml import inkwright
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data as encode
from wrenfold.datastore.adapter.toml.inkwright import write_unified_data
from wrenfold.datastore.tables.data import ColumnData, TableData
from wrenfold.datastore.unified import UnifiedDataFormat

FIELDS = 100
KEYS = [f"n{i}" for i in range(FIELDS)]


def written(values):
    """The value texts of a document whose records hold `values`, FIELDS to a record."""
    records = [dict(zip(KEYS, values[i:i + FIELDS])) for i in range(0, len(values), FIELDS)]
    lines = encode(records_doc(*records)).split("records = [\n", 1)[1].split("\n")
    assert lines[-2:] == ["]", ""]
    out = []
    for line in lines[:-2]:
        assert line.startswith("    { ") and line.endswith(" },"), line[:80]
        out += [field.split(" = ", 1)[1] for field in line[6:-3].split(", ")]
    return out


def check(groups):
    labels, values = [], []
    for label, vals in groups.items():
        labels += [label] * len(vals)
        values += vals
    got = written(values)
    assert len(got) == len(values)
    bad = [(labels[i], v, str(v), got[i]) for i, v in enumerate(values) if got[i] != str(v)]
    assert not bad, f"{len(bad)} differ from str(), first ones: {bad[:20]}"
    return len(values)


def test_floats_match_str():
    rng = random.Random(31337)
    groups = float_mix(rng)
    for label, bits in groups.items():
        groups[label] = list(struct.unpack(f"<{len(bits)}d", struct.pack(f"<{len(bits)}Q", *bits)))
    # Decimals of everyday magnitudes, which have short texts, and their neighbours one ulp
    # away, which need every digit.
    short = []
    for _ in range(200_000):
        ndigits = rng.randint(1, 17)
        mantissa = rng.randrange(10 ** (ndigits - 1), 10**ndigits)
        x = float(f"{mantissa}e{rng.randint(-26, 17) - ndigits}")
        short.append(x if rng.random() < 0.5 else -x)
    groups["everyday decimals"] = short
    groups["their neighbours"] = [math.nextafter(x, rng.choice((-math.inf, math.inf)))
                                  for x in short[:100_000]]
    assert check(groups) >= 1_000_000


def test_ints_match_str_inside_and_beyond_64_bits():
    groups = int_mix(random.Random(4242))
    # Beyond 64 bits the text comes from str() again.
    groups["beyond int64"] = [INT64_MAX + 1, INT64_MIN - 1, 2**64, -(2**64), 10**30, -(10**40)]
    assert check(groups) >= 200_000


def test_record_keys_kept_per_table_follow_each_record():
    class Key(str):
        pass

    records = [{"a": 1, "b c": 2}, {"a": 3, "b c": 4}, {"b c": 5, "a": 6}, {"a": None, "x": 7},
               {"é": 8, "a": 9}, {Key("a"): 10, "b": 11}, {"a": 12}]
    lines = encode(records_doc(*records)).split("records = [\n", 1)[1].splitlines()
    assert lines[:-1] == [
        '    { a = 1, "b c" = 2 },', '    { a = 3, "b c" = 4 },', '    { "b c" = 5, a = 6 },',
        "    { x = 7 },", '    { "é" = 8, a = 9 },', "    { a = 10, b = 11 },", "    { a = 12 },"]


@pytest.mark.parametrize("escape", [False, True])
def test_text_of_every_width_in_one_document(escape):
    class Name(str):
        pass

    class Shown:
        def __str__(self):
            return "ø"

    class Number(int):
        def __str__(self):
            return "三"

    first = {"a": "é", "b": "Ж", "c": "😀", "ключ": 'q"é' if escape else "q\té", "e": Name("ü"),
             "f": Shown(), "g": ["x", "ÿ"], "h": Number(3)}
    lines = encode(records_doc(first, {"a": "plain"}), escape_strings=escape).splitlines()
    quoted = '"q\\"é"' if escape else '"q\té"'
    assert lines[-3:] == [
        f'    {{ a = "é", b = "Ж", c = "😀", "ключ" = {quoted}, e = "ü", f = "ø", '
        f'g = [ "x", "ÿ" ], h = 3 }},', '    { a = "plain" },', "]"]


@pytest.mark.parametrize("escape", [False, True])
@pytest.mark.parametrize("widths", [["é", "Ж", "😀"], ["😀", "Ж", "é"]])
def test_text_beyond_ascii_across_many_blocks(escape, widths, tmp_path):
    # Every 32 KiB or so the text moves into the result, which widens when wider text
    # follows; the file, written as UTF-8 without noting text, is the reference.
    class Name(str):
        pass

    rng = random.Random(5)
    records = []
    for i in range(6_000):
        w = widths[i // 2_000]
        parts = ["a", w, "b c", "\t", '"' if escape else "'"]
        text = "".join(rng.choice(parts) for _ in range(rng.randint(0, 40)))
        records.append({"i": i, "s": text, "n": Name(w + str(i)), "l": [w, i, "x" * (i % 20)]})
    doc = records_doc(*records)
    target = tmp_path / "doc.toml"
    write_unified_data(doc, str(target), escape_strings=escape)
    assert encode(doc, escape_strings=escape) == target.read_text(encoding="utf-8")


ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f",
           "\r": "\\r"}


def quoted(s, escape):
    if escape:
        s = "".join(ESCAPES.get(c, f"\\u{ord(c):04X}" if ord(c) < 0x20 or c == "\x7f" else c)
                    for c in s)
    return f'"{s}"'


def texts(bad='"\\\n\x01\x7f'):
    """ASCII texts of every length up to 70, clean and with one character of `bad` at each
    position, and a tab eight characters later."""
    out = []
    for n in range(71):
        clean = "".join(chr(ord("a") + i % 26) for i in range(n))
        out.append(clean)
        for at in range(n):
            text = clean[:at] + bad[at % len(bad)] + clean[at + 1:]
            if at + 8 < n:
                text = text[:at + 8] + "\t" + text[at + 9:]
            out.append(text)
    return out


@pytest.mark.parametrize("escape", [False, True])
def test_ascii_text_of_every_length_in_records_arrays_and_tables(escape):
    # Raw text carries tabs only.
    cases = texts() if escape else texts("\t")
    records = [{"s": t, "l": [t, 1, t], "t": (t,), "d": {"k": t, "n": None}} for t in cases]
    lines = encode(records_doc(*records), escape_strings=escape).split("records = [\n")[1]
    expected = "".join(
        f"    {{ s = {q}, l = [ {q}, 1, {q} ], t = [ {q} ], d = {{ k = {q} }} }},\n"
        for q in (quoted(t, escape) for t in cases)) + "]\n"
    assert lines == expected
    for t in [] if escape else set(texts()) - set(cases):  # raw refuses the others, anywhere
        for where, value in (("s", t), ("l", [1, t]), ("d", {"k": t})):
            with pytest.raises(ValueError, match=f"record 0, field '{where}'"):
                encode(records_doc({where: value}))


# A record with every kind the record loop writes itself, and the longest key it keeps.
GROWTH_KEY = "k" * 45
GROWTH_RECORD = {GROWTH_KEY: -1234567890123, "f": -0.000125, "g": 12345.678, "t": True,
                 "n": None, "s": "say\thi", "a": ["x", 2.5, False], "e": (), "i": 7}


def growth_line(escape):
    s = quoted("say\thi", escape)
    return (f"    {{ {GROWTH_KEY} = -1234567890123, f = -0.000125, g = 12345.678, t = true, "
            f's = {s}, a = [ "x", 2.5, false ], e = [  ], i = 7 }},\n')


@pytest.mark.parametrize("escape", [False, True])
def test_buffer_grows_at_every_point_of_a_record(escape, tmp_path):
    # A small document starts with a block of 65,536 bytes: a padding record moves the
    # record across the end of that block one byte at a time.
    line = growth_line(escape)
    head = header("t") + "\n[tables.t]\ncolumns = [\n]\nrecords = [\n"
    base = len(head) + len('    { p = "" },\n')
    target = tmp_path / "doc.toml"
    for shift in range(len(line) + 50):
        pad = "p" * (65536 - base - len(line) + shift - 25)
        doc = records_doc({"p": pad}, GROWTH_RECORD, {"p": pad})
        pad_line = f'    {{ p = "{pad}" }},\n'
        expected = head + pad_line + line + pad_line + "]\n"
        assert encode(doc, escape_strings=escape) == expected, shift
        write_unified_data(doc, str(target), escape_strings=escape)
        assert target.read_text() == expected, shift


def test_records_longer_than_a_batch_and_than_the_kept_keys():
    # Keys past the 32 kept per table are written the general way; entries are read 16 at
    # a time, with None at the edges of the batches.
    keys = [f"key{i}" for i in range(70)]
    records = [{k: (None if i % 16 in (0, 15) else i * r) for i, k in enumerate(keys)}
               for r in range(3)]
    lines = encode(records_doc(*records)).split("records = [\n")[1].splitlines()
    assert lines[:-1] == ["    { " + ", ".join(f"{k} = {v}" for k, v in r.items()
                                                 if v is not None) + " },"
                          for r in records]


def holey(n, holes, *, any_keys=False):
    """A dict of keys f0..f{n-1} whose entries at `holes` were deleted (the interpreter leaves
    them in place, empty), and whose key table once held a key that is not a str."""
    d = {}
    if any_keys:
        d[0] = "gone"
    for i in range(n):
        d[f"f{i}"] = i
        if i in holes:
            d[f"gone{i}"] = None
            del d[f"gone{i}"]
    if any_keys:
        del d[0]
    for i in holes:
        d[f"f{i}"] = f"v{i}"
    return d


class Slots:
    def __init__(self, n):
        for i in range(n):
            setattr(self, f"a{i}", i * 1.5)


def test_dicts_read_entry_by_entry_match_fresh_copies():
    # Deleted entries at the edges and across the 16-entry batches, runs longer than a batch,
    # key tables that once held a non-str key, instance dicts (values kept apart from keys),
    # as records and as nested inline tables.
    shapes = [holey(40, holes, any_keys=any_keys)
              for holes in [set(), {0}, {15, 16}, set(range(3, 30)), set(range(0, 40, 2)), {39}]
              for any_keys in (False, True)]
    shapes += [vars(Slots(n)) for n in (1, 20, 40)]
    emptied = {"x": 1}
    del emptied["x"]
    shapes.append(emptied)
    records = [{"id": i, "inner": shape, **shape} for i, shape in enumerate(shapes)]
    fresh = [{k: ({k2: v2 for k2, v2 in v.items()} if k == "inner" else v)
              for k, v in r.items()} for r in records]
    for escape in (False, True):
        assert (encode(records_doc(*records), escape_strings=escape)
                == encode(records_doc(*fresh), escape_strings=escape))


def test_dict_tables_read_directly_exactly_where_mirrored():
    # The import-time check must accept every interpreter whose layout is mirrored, or the
    # fast path is silently lost; CI also runs a build with it turned off.
    expected = ((3, 11) <= sys.version_info[:2] <= (3, 15)
                and not sysconfig.get_config_var("Py_GIL_DISABLED")
                and os.environ.get("WRENFOLD_DICT_FAST_PATH", "ON") != "OFF")
    assert inkwright._DICT_TABLE_LAYOUT is expected


@pytest.mark.parametrize("wide", [False, True])
@pytest.mark.parametrize("small_first", [True, False])
def test_documents_whose_records_change_size_midway(small_first, wide):
    # The result is sized by the records written before the first block fills: too small
    # when large records follow, too large when small ones do. Text beyond ASCII in the
    # first record keeps the buffer a plain block.
    small = [{"n": i} for i in range(20_000)]
    large = [{"n": i, "s": "x" * 5_000} for i in range(100)]
    records = small + large if small_first else large + small
    if wide:
        records[0] = {**records[0], "w": "é"}
    text = encode(records_doc(*records))
    lines = [f"    {{ n = {r['n']}" + (f', s = "{r["s"]}"' if "s" in r else "")
             + (f', w = "{r["w"]}"' if "w" in r else "") + " }," for r in records]
    assert text == header("t") + "\n[tables.t]\ncolumns = [\n]\nrecords = [\n" + \
        "\n".join(lines) + "\n]\n"


class Via:
    """A table read the Python way: its own tuple_values() called, whatever that is."""

    def __init__(self, table):
        self.table = table

    def tuple_values(self):
        return self.table.tuple_values()


class Flag:
    """A column flag whose truth test empties the table's records."""

    def __init__(self, table):
        self.table = table

    def __bool__(self):
        self.table.records.clear()
        return True


def _subclass_table(doc, table, mp):
    class Firsts(TableData):
        def tuple_values(self):
            columns, records = super().tuple_values()
            return columns, records[:1]
    doc.tables.set("users", Firsts(columns=table.columns, records=table.records))


def _subclass_column(doc, table):
    class Renamed(ColumnData):
        def tuple_value(self):
            return ("renamed",) + super().tuple_value()[1:]
    table.columns[0] = Renamed(**table.columns[0].model_dump())


def _subclass_document(doc, table):
    class Versioned(UnifiedDataFormat):
        @property
        def tuple_output(self):
            return ("9.9",) + super().tuple_output[1:]
    return Versioned(version=doc.version, schema_version=doc.schema_version, tables=doc.tables)


# Each way a document departs from the package's own classes, and what the encoder reads then.
DEPARTURES = {
    "own classes": lambda doc, table, mp: None,
    "table subclass": _subclass_table,
    "column subclass": lambda doc, table, mp: _subclass_column(doc, table),
    "document subclass": lambda doc, table, mp: _subclass_document(doc, table),
    "method shadowed": lambda doc, table, mp: object.__setattr__(
        table, "tuple_values", lambda: ((), ())),
    "method replaced": lambda doc, table, mp: mp.setattr(
        TableData, "tuple_values", lambda self: ((), tuple(self.records[1:]))),
    "code replaced": lambda doc, table, mp: mp.setattr(
        ColumnData.tuple_value, "__code__", (lambda self: ("c", "T") + (None,) * 9).__code__),
    "property replaced": lambda doc, table, mp: mp.setattr(
        UnifiedDataFormat, "tuple_output", property(lambda self: ("3", "4", self.tables))),
    "field missing": lambda doc, table, mp: table.columns[1].__dict__.pop("comment") and None,
    "fields reordered": lambda doc, table, mp: table.columns[1].__dict__.update(
        name=table.columns[1].__dict__.pop("name")),
    "flag with code": lambda doc, table, mp: table.columns[0].__dict__.update(
        unique=Flag(table)),
}


@pytest.mark.parametrize("departure", DEPARTURES)
def test_own_models_read_natively_exactly_as_their_methods(departure, monkeypatch):
    plain = encode(worked_example(), True)
    for _ in range(2):  # the second time after the classes were changed back
        with monkeypatch.context() as mp:
            def make():
                doc = worked_example()
                return DEPARTURES[departure](doc, doc.tables.get("users"), mp) or doc

            version, schema_version, tables = make().tuple_output
            python_way = Doc({name: Via(t) for name, t in tables.items()}, version,
                             schema_version)
            try:
                expected = encode(python_way, True)
            except AttributeError as error:
                with pytest.raises(AttributeError, match=str(error)):
                    encode(make(), True)
                continue
            got = encode(make(), True)
            assert got == expected
            assert (got == plain) == (departure in ("own classes", "fields reordered"))
    assert encode(worked_example(), True) == plain


FIRST_SEEN_REPLACED = """
import sys
sys.path.insert(0, {tests!r})
from support.inkwright_docs import worked_example
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data as encode
from wrenfold.datastore.tables.data import TableData
own = TableData.tuple_values
TableData.tuple_values = lambda self: ((), ())
first = encode(worked_example())
TableData.tuple_values = own
plain = encode(worked_example())
TableData.tuple_values = lambda self: ((), ())
assert encode(worked_example()) == first != plain
"""


def test_own_models_watched_when_first_seen_replaced():
    # The process's first encode meets a replaced method; the classes must still be watched
    # once it is put back, so that replacing it again is seen.
    code = FIRST_SEEN_REPLACED.format(tests=os.path.dirname(__file__))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
