"""Documents that change while they are encoded, and documents of the wrong shape."""

import gc
import itertools
import sys
from types import SimpleNamespace

import pytest

from support.inkwright_docs import Doc, Table, column, only_record, records_doc, model
from support.native import VTable
from support.privileged import run_without_dict_watchers
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data as encode
from wrenfold.datastore.adapter.toml.inkwright import write_unified_data
from wrenfold.datastore.tables.data import TableData
from wrenfold.datastore.tables.ledgerbox import TablesHolder


class OnStr:
    """Runs `action` when the encoder converts it to text."""

    def __init__(self, action, text="s"):
        self.action = action
        self.text = text

    def __str__(self):
        self.action()
        return self.text


class TestMutationWhileWriting:
    def test_encode_survives_list_shrunk_by_str(self):
        items = [1]
        items += [OnStr(items.clear), 3, 4]
        assert only_record(encode(records_doc({"v": items}))) == '{ v = [ 1, "s" ] }'

    def test_encode_survives_item_freed_by_its_own_str(self):
        items = []
        items.append(OnStr(lambda: items.clear(), "gone"))
        assert only_record(encode(records_doc({"v": items}))) == '{ v = [ "gone" ] }'

    @pytest.mark.parametrize(("make", "text"), [
        (lambda item: [item, 2], '[ "s", 2 ]'),
        (lambda item: (item, 2), '[ "s", 2 ]'),
        (lambda item: {"a": item, "b": 2}, '{ a = "s", b = 2 }'),
        (lambda item: [[{"a": (item, 2)}], 3], '[ [ { a = [ "s", 2 ] } ], 3 ]'),
        # Subclasses skip the interpreter's free lists, so a freed one is really freed.
        (lambda item: type("L", (list,), {})([item, 2]), '[ "s", 2 ]'),
        (lambda item: type("D", (dict,), {})(a=item, b=2), '{ a = "s", b = 2 }'),
    ], ids=["list", "tuple", "dict", "nested", "list-subclass", "dict-subclass"])
    @pytest.mark.parametrize("escape", [False, True])
    def test_encode_survives_container_freed_by_its_own_item(self, make, text, escape):
        # The record's only reference to the container goes while the container is written.
        record = {}
        record["v"] = make(OnStr(lambda: record.__setitem__("v", 0)))
        assert only_record(encode(records_doc(record), escape_strings=escape)) == (
            f"{{ v = {text} }}")

    def test_text_subclass_left_to_the_encode_outlives_it(self):
        # Every 32 KiB the noted texts move into the result and their references go, but a
        # str subclass whose last reference is the encode's is kept to the end: its __del__
        # would otherwise empty the records still to be written.
        records = [{"i": i, "s": "é" * 50} for i in range(2_000)]

        class Name(str):
            def __del__(self):
                for r in records:
                    r.clear()

        records[0]["n"] = Name("ü")
        records[1]["o"] = OnStr(lambda: records[0].__setitem__("n", "x"))
        text = encode(records_doc(*records))
        assert text.count("é" * 50) == 2_000 and 'n = "ü"' in text
        assert not any(records)

    def test_list_grown_by_str_is_written_to_its_first_length(self):
        items = [1]
        items.append(OnStr(lambda: items.extend(range(10))))
        assert only_record(encode(records_doc({"v": items}))) == '{ v = [ 1, "s" ] }'

    @pytest.mark.parametrize("change", [
        lambda d: d.__setitem__("new", 1), lambda d: d.pop("a"), lambda d: d.clear(),
    ], ids=["grow", "shrink", "clear"])
    def test_record_dict_changing_size_raises(self, change):
        record = {"a": 1}
        record["b"] = OnStr(lambda: change(record))
        record["c"] = 2
        with pytest.raises(RuntimeError, match="^dictionary changed size during iteration\n"
                           "when encoding table 't', record 0$"):
            encode(records_doc(record))

    def test_nested_dict_changing_size_raises(self):
        inner = {"x": 1}
        inner["y"] = OnStr(lambda: inner.update(z=1))
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            encode(records_doc({"v": [inner]}), escape_strings=True)

    def test_encode_survives_value_replaced_by_its_own_str(self):
        record = {}
        record["a"] = OnStr(lambda: record.__setitem__("a", 0), "old")
        assert only_record(encode(records_doc(record))) == '{ a = "old" }'

    def test_encode_survives_records_dropped_by_str(self):
        table = TableData(records=[{"a": 1}, {"b": 2}])
        table.records[0]["s"] = OnStr(lambda: table.records.clear())
        text = encode(model({"t": table}))
        assert text.endswith('records = [\n    { a = 1, s = "s" },\n    { b = 2 },\n]\n')

    def test_encode_survives_holder_cleared_by_str(self):
        doc = model()
        doc.tables.add("t", TableData(records=[{"s": OnStr(doc.tables.clear)}]))
        doc.tables.add("u", TableData(columns=[{"name": "n", "type": "T"}]))
        text = encode(doc)
        assert '\n[tables.u]\ncolumns = [\n    { name = "n", type = "T" },\n' in text

    @pytest.mark.parametrize("change", [
        lambda h: h.clear(), lambda h: h.as_dict().pop("t", None), lambda h: h.replace_dict({"t": Table()}),
        lambda h: VTable().set_root(h, None), lambda h: VTable().set_root(h, {}),
        lambda h: [h.add(f"n{i}", Table(records=[{"i": i}])) for i in range(100)],
    ], ids=["clear", "remove", "replace", "storage-dropped", "storage-swapped", "grown"])
    @pytest.mark.parametrize("entry", ["encode", "write"])
    def test_encode_survives_holder_mutated_by_str(self, tmp_path, change, entry):
        def document(action):
            cols = [column("id", default=[OnStr(action)])]
            return Doc({"t": Table(cols, [{"a": "x" * 50}, {"b": [1, 2]}]),
                        "u": Table(records=[{"c": OnStr(action)}])})

        unchanged = encode(document(lambda: None))
        doc = document(lambda: (change(doc.holder), gc.collect()))
        if entry == "encode":
            assert encode(doc) == unchanged
        else:
            write_unified_data(doc, str(tmp_path / "db.toml"))
            assert (tmp_path / "db.toml").read_text() == unchanged

    # Entries are read ahead of their writing, the next record's while one is written: user
    # code that changes what was read must be seen, and what it frees never read.
    @pytest.mark.parametrize(("change", "line"), [
        (lambda r: r.update(b=-2.5), "{ a = 1, b = -2.5, c = 3 }"),
        (lambda r: r.pop("b"), "{ a = 1, c = 3 }"),
        (lambda r: r.update(d="new"), '{ a = 1, b = "xx", c = 3, d = "new" }'),
        (lambda r: r.clear(), "{  }"),
    ], ids=["value-replaced", "key-removed", "key-added", "cleared"])
    def test_next_record_changed_by_str_is_written_as_changed(self, change, line):
        second = {"a": 1, "b": "x" * 2, "c": 3}
        first = {"v": OnStr(lambda: (change(second), gc.collect()))}
        text = encode(records_doc(first, second))
        assert text.split("records = [\n")[1] == f'    {{ v = "s" }},\n    {line},\n]\n'

    @pytest.mark.parametrize("escape", [False, True])
    def test_later_values_replaced_by_str_in_a_long_record_are_written_new(self, escape):
        # Past one batch of entries, values replaced without a change of size: the old ones
        # are freed, so only a fresh read finds what is there.
        record = {f"k{i}": "old" * (i + 1) for i in range(40)}

        def replace():
            for i in range(3, 40):
                record[f"k{i}"] = float(i)
            gc.collect()

        record["k2"] = OnStr(replace)
        expected = ", ".join([f'k0 = "old"', f'k1 = "oldold"', 'k2 = "s"']
                             + [f"k{i} = {float(i)}" for i in range(3, 40)])
        assert only_record(encode(records_doc(record), escape_strings=escape)) == (
            f"{{ {expected} }}")

    def test_records_after_a_call_out_are_read_again(self):
        # The record after the one whose str ran user code, and the one after that.
        records = [{"i": i} for i in range(5)]
        records[1]["s"] = OnStr(lambda: [r.update(i=-r["i"]) for r in records[2:]])
        lines = encode(records_doc(*records)).split("records = [\n")[1].splitlines()
        assert lines == ["    { i = 0 },", '    { i = 1, s = "s" },', "    { i = -2 },",
                         "    { i = -3 },", "    { i = -4 },", "]"]

    def test_fresh_objects_from_tuple_values_stay_alive(self):
        class Fresh:
            def tuple_values(self):
                return ((column("c" + "x" * 3, "T" * 2, comment="n" * 2),),
                        ({"k" + "1": [str(10**3)]},))

        text = encode(Doc({"t": Fresh()}))
        assert '{ name = "cxxx", type = "TT", comment = "nn" }' in text
        assert only_record(text) == '{ k1 = [ "1000" ] }'


def reinsert(d, key):
    d[key] = d.pop(key)


def refill(d, order=1):
    saved = list(d.items())[::order]
    d.clear()
    d.update(saved)


# Changes to the keys of the record being written that leave its size as it was: each one
# made the walk write a key twice, or skip one, and report success.
KEY_CHANGES = {
    "own key re-inserted": lambda d: reinsert(d, "b"),
    "earlier key re-inserted": lambda d: reinsert(d, "a"),
    "later key re-inserted": lambda d: reinsert(d, "c"),
    "key swapped for another": lambda d: (d.pop("a"), d.__setitem__("z", 0)),
    "cleared and refilled in another order": lambda d: refill(d, -1),
    "cleared and refilled as it was": refill,
}


def keys_changed_outcomes():
    """How the encoder ends for each change of keys, made by __str__ of a value written
    directly, inside a list, inside a nested dict, and with the record's small table full
    (so that the re-insertion resizes it); plus whether a value replaced under its own key
    still encodes. Also run in a child process whose interpreter has no dict watcher left."""
    outcomes = {}
    for (name, change), where, escape in itertools.product(
            KEY_CHANGES.items(), ("value", "list item", "nested dict", "full table"),
            (False, True)):
        record = {"a": 1}
        item = OnStr(lambda: change(record))
        record["b"] = {"value": item, "full table": item, "list item": [1, item],
                       "nested dict": {"x": item}}[where]
        record["c"] = 3
        if where == "full table":
            record.update(d=4, e=5)
        try:
            encode(records_doc(record), escape_strings=escape)
            outcomes[name, where, escape] = "written"
        except RuntimeError as exc:
            outcomes[name, where, escape] = str(exc)
    record = {}
    record["a"] = OnStr(lambda: record.__setitem__("c", 9))
    record["c"] = 3
    outcomes["value replaced"] = only_record(encode(records_doc(record)))
    return outcomes


def expected_keys_changed(watched):
    """Without a dict watcher the keys are compared by position, and a dict cleared and
    refilled with the same keys at the same places cannot be told apart: its walk goes on
    as if nothing had happened, and writes the same document."""
    out = {(name, where, escape): "dictionary keys changed during iteration"
           for name in KEY_CHANGES for where in ("value", "list item", "nested dict", "full table")
           for escape in (False, True)}
    if not watched:
        out.update({key: "written" for key in out if key[0] == "cleared and refilled as it was"})
    out["value replaced"] = '{ a = "s", c = 9 }'
    return out


class TestKeysChangedWhileWriting:
    def test_record_keys_changed_by_str_raise(self):
        assert keys_changed_outcomes() == expected_keys_changed(sys.version_info >= (3, 12))

    def test_nested_dict_keys_changed_by_its_own_value_raise(self):
        inner = {"x": 1, "y": 2}
        inner["z"] = OnStr(lambda: reinsert(inner, "x"))
        with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration\n"
                           "when encoding table 't', record 0, field 'v'$"):
            encode(records_doc({"v": [inner]}))

    def test_other_dicts_may_change(self):
        # A record already written, and one not yet begun, are not being walked.
        first, last = {"a": 1, "b": 2}, {"c": 3, "d": 4}
        middle = {"m": OnStr(lambda: (reinsert(first, "a"), reinsert(last, "c")))}
        text = encode(records_doc(first, middle, last))
        assert text.endswith('    { a = 1, b = 2 },\n    { m = "s" },\n    { d = 4, c = 3 },\n]\n')

    def test_a_failed_walk_leaves_nothing_watched(self):
        record = {"a": 1}
        record["b"] = OnStr(lambda: reinsert(record, "a"))
        with pytest.raises(RuntimeError):
            encode(records_doc(record))
        record["b"] = 2
        reinsert(record, "b")
        assert only_record(encode(records_doc(record))) == "{ a = 1, b = 2 }"

    def test_a_dict_walked_twice_at_once_stays_watched(self):
        # An encode called from __str__ walks the record that the outer encode is walking;
        # when it ends, the outer walk must still see the keys change.
        record = {"a": 1}
        calls = {"b": 0, "c": 0}

        def on_b():
            calls["b"] += 1
            if calls["b"] == 1:
                assert "keys changed" not in encode(records_doc(record))

        def on_c():
            calls["c"] += 1
            if calls["c"] == 2:
                reinsert(record, "a")

        record.update(b=OnStr(on_b), c=OnStr(on_c))
        with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration\n"
                           "when encoding table 't', record 0$"):
            encode(records_doc(record))
        assert calls == {"b": 2, "c": 2}

    def test_keys_are_compared_when_no_watcher_is_left(self):
        result = run_without_dict_watchers(
            "import test_inkwright_safety as t\n"
            "print(t.keys_changed_outcomes() == t.expected_keys_changed(False))\n")
        assert result.stdout == "True\n", result.stderr


class TestMutationDuringSnapshot:
    # The holder's tables are taken before any code of the document runs: what that code
    # (or another thread meanwhile) does to the holder is not part of this save.
    @pytest.mark.parametrize("change", [
        lambda d: d.__setitem__("later", Table(records=[{"z": 3}])),
        lambda d: d.pop("b"),
        lambda d: reinsert(d, "a"),
        lambda d: d.__setitem__("b", Table(records=[{"y": 9}])),
        lambda d: d.clear(),
    ], ids=["added", "removed", "re-inserted", "replaced", "cleared"])
    @pytest.mark.parametrize("by", ["tuple_values", "truth test"])
    def test_holder_changed_by_the_document_is_saved_as_it_was(self, change, by):
        def make(change):
            doc = Doc()

            class Flag:
                def __bool__(self):
                    change(doc.holder.as_dict())
                    return True

            class Changing(Table):
                def tuple_values(self):
                    change(doc.holder.as_dict())
                    return super().tuple_values()

            first = Changing() if by == "tuple_values" else Table([column(unique=Flag())])
            first.records.append({"x": 1})
            doc.holder.as_dict().update(a=first, b=Table(records=[{"y": 2}]))
            return doc

        doc = make(change)
        before = list(doc.holder.items())
        assert encode(doc) == encode(make(lambda d: None))
        assert list(doc.holder.items()) != before

    def test_holder_without_dictionary_raises(self):
        doc = Doc({"t": Table()})
        VTable().set_root(doc.holder, None)
        with pytest.raises(TypeError):
            encode(doc)


class TestShapes:
    @pytest.mark.parametrize(("output", "name"), [
        (["1", "2", TablesHolder()], "list"), (None, "NoneType"),
    ])
    def test_tuple_output_must_be_a_tuple(self, output, name):
        with pytest.raises(TypeError, match=f"^Expected tuple, got {name}$"):
            encode(SimpleNamespace(tuple_output=output))

    def test_tuple_subclass_is_refused(self):
        class T(tuple):
            pass

        with pytest.raises(TypeError, match="^Expected tuple, got T$"):
            encode(Doc(output=T(("1", "2", TablesHolder()))))

    def test_missing_tuple_output(self):
        with pytest.raises(AttributeError):
            encode(object())

    def test_short_tuple_output(self):
        with pytest.raises(TypeError, match="got a tuple of 2 items"):
            encode(Doc(output=("1", "2")))

    @pytest.mark.parametrize("tables", [{}, {"t": Table()}, None])
    def test_item_two_must_be_a_holder(self, tables):
        with pytest.raises(TypeError, match="item 2 must be a TablesHolder, got"):
            encode(Doc(output=("1", "2", tables)))

    def test_holder_subclass_is_accepted(self):
        class Sub(TablesHolder):
            pass

        holder = Sub({"t": Table()})
        assert encode(Doc(output=("1", "2", holder))).startswith('[header]\nversion = "1"\n')

    def test_holder_subclass_methods_are_never_called(self):
        def refuse(*args):
            raise AssertionError("the encoder called a Python method of the holder")

        hostile = type("Hostile", (TablesHolder,), {name: refuse for name in (
            "__getattribute__", "__len__", "__iter__", "__getitem__", "__contains__", "__bool__",
            "__eq__", "__hash__", "__repr__", "as_dict", "keys", "values", "items", "get",
            "iterate", "contains")})()
        plain = TablesHolder()
        for h in (hostile, plain):
            TablesHolder.add(h, "t", Table([column()], [{"a": 1}]))
            TablesHolder.add(h, "u", Table())
        for escape in (False, True):
            assert (encode(Doc(output=("1", "2", hostile)), escape)
                    == encode(Doc(output=("1", "2", plain)), escape))

    @pytest.mark.parametrize(("result", "got"), [
        ([(), ()], "got list"), (((),), "got a tuple of 1 items"),
        (((), (), ()), "got a tuple of 3 items"), (([], ()), r"got \(list, tuple\)"),
        (((), None), r"got \(tuple, NoneType\)"),
    ])
    def test_tuple_values_must_give_two_tuples(self, result, got):
        with pytest.raises(TypeError, match=rf"tuple_values\(\) of table 't' .*{got}"):
            encode(Doc({"t": Table(result=result)}))

    def test_table_without_tuple_values(self):
        with pytest.raises(AttributeError):
            encode(Doc({"t": object()}))

    def test_tuple_values_error_propagates_unchanged(self):
        class Failing:
            def tuple_values(self):
                raise LookupError("boom")

        with pytest.raises(LookupError, match=r"^boom\nwhen encoding table 't' \(Failing\)$"):
            encode(Doc({"t": Failing()}))

    @pytest.mark.parametrize(("col", "got"), [
        (("a", "b"), "got a tuple of 2 items"), (column()[:10], "got a tuple of 10 items"),
        (["a"] * 11, "got list"), ({"name": "a"}, "got dict"),
    ])
    def test_columns_must_be_eleven_item_tuples(self, col, got):
        with pytest.raises(TypeError, match=f"column 0 of table 't' must be a tuple of 11 items, {got}"):
            encode(Doc({"t": Table(columns=[col])}))

    def test_longer_column_tuples_are_accepted(self):
        assert "{ name" in encode(Doc({"t": Table(columns=[column() + ("extra",)])}))

    @pytest.mark.parametrize("record", [[("a", 1)], None, "a=1", 3])
    def test_records_must_be_dicts(self, record):
        with pytest.raises(TypeError, match="record 1 of table 't' must be a dict, got"):
            encode(Doc({"t": Table(records=[{}, record])}))

    def test_failing_flag_truth_test_propagates(self):
        class Ambiguous:
            def __bool__(self):
                raise ArithmeticError("ambiguous")

        with pytest.raises(ArithmeticError, match="ambiguous"):
            encode(Doc({"t": Table(columns=[column(), column(autoincrement=Ambiguous())])}))

    @pytest.mark.parametrize("field", ["version", "schema_version"])
    @pytest.mark.parametrize("escape", [False, True])
    def test_header_texts_must_be_str(self, field, escape):
        with pytest.raises(TypeError):
            encode(Doc({}, **{field: 1.0}), escape_strings=escape)

    def test_column_text_must_be_str(self):
        with pytest.raises(TypeError):
            encode(Doc({"t": Table(columns=[column(comment=5)])}))


# A failing document, the error it raises and the place its note names.
PLACES = [
    (Doc({"x": {"columns": []}}), AttributeError, "table 'x' (dict)"),
    (Doc({1: Table()}), TypeError, "header, field 'tables', table 1"),
    (records_doc({"a": 1, "b": "x\ud800"}), UnicodeEncodeError, "table 't', record 0, field 'b'"),
    (records_doc({"d": {"k": ["\ud800"]}}), UnicodeEncodeError,
     "table 't', record 0, field 'd': field 'k'"),
    (records_doc({}, {"v": OnStr(lambda: 1 / 0)}), ZeroDivisionError,
     "table 't', record 1, field 'v'"),
    (Doc({"t": Table([column(), column(comment="\ud800")])}), UnicodeEncodeError,
     "table 't', column 1, field 'comment'"),
    (Doc({"t": Table([column(unique=type("Ambiguous", (), {"__bool__": lambda _: 1 / 0})())])}),
     ZeroDivisionError, "table 't', column 0"),
]


class TestErrorPlaces:
    @pytest.mark.parametrize(("doc", "error", "place"), PLACES, ids=[
        "not-a-table", "int-name", "surrogate-record", "surrogate-nested", "str-raises",
        "surrogate-comment", "flag-raises"])
    @pytest.mark.parametrize("escape", [False, True])
    def test_errors_name_their_place_in_a_note(self, doc, error, place, escape, tmp_path):
        for call in (lambda: encode(doc, escape_strings=escape),
                     lambda: write_unified_data(doc, str(tmp_path / "out.toml"), escape)):
            with pytest.raises(error) as info:
                call()
            assert info.value.__notes__ == [f"when encoding {place}"]
            assert "when encoding" not in str(info.value)

    @pytest.mark.parametrize("surrogate_first", [False, True])
    def test_a_lone_surrogate_beside_user_code_runs_that_code_at_most_once(self, surrogate_first):
        calls = []
        fields = [("w", "é\ud800"), ("v", OnStr(lambda: calls.append(1)))]
        record = dict(fields if surrogate_first else fields[::-1])
        with pytest.raises(UnicodeEncodeError) as info:
            encode(records_doc({"a": "ü" * 40}, record), escape_strings=True)
        assert info.value.__notes__ == ["when encoding table 't', record 1, field 'w'"]
        # Code that ran before the surrogate was found is not run again.
        assert calls == ([] if surrogate_first else [1])

    def test_a_raw_refusal_names_its_place_in_the_message_alone(self):
        with pytest.raises(ValueError, match=r"^table 't', record 0, field 'v': the text holds "
                                             r"a double quote") as info:
            encode(records_doc({"v": 'a"b'}))
        assert not hasattr(info.value, "__notes__")


class TestSnapshotOrder:
    def test_every_table_is_read_once_before_anything_is_written(self):
        log = []

        class Logged(Table):
            def __init__(self, name, **kw):
                super().__init__(**kw)
                self.name = name

            def tuple_values(self):
                log.append(f"read {self.name}")
                return super().tuple_values()

        tables = {n: Logged(n, records=[{"v": OnStr(lambda n=n: log.append(f"write {n}"))}])
                  for n in ["b", "a", "c"]}
        encode(Doc(tables))
        assert log == ["read b", "read a", "read c", "write b", "write a", "write c"]


class TestReferences:
    """Encoding leaves the reference counts of the document's objects as they were."""

    def counts(self, doc, table):
        record = table.records[0]
        return [sys.getrefcount(x) for x in
                (doc.tables, doc.tables.as_dict(), table, record, record["name"],
                 table.columns[0])]

    def test_counts_unchanged_after_success_and_failure(self):
        table = TableData(columns=[{"name": "n", "type": "T", "comment": "c"}],
                          records=[{"name": "x" * 3, "id": 1}])
        doc = model({"t": table})
        before = self.counts(doc, table)
        encode(doc)
        encode(doc, escape_strings=True)
        assert self.counts(doc, table) == before
        table.records.append({"bad": "\ud800"})
        for escape in (False, True):
            with pytest.raises(UnicodeEncodeError):
                encode(doc, escape_strings=escape)
        table.records.pop()
        assert self.counts(doc, table) == before
