"""Construction, storage primitives, the collector hooks and the dictionary conversions."""

import gc
import traceback
import weakref

import pytest

from support.native import VTable, options
from wrenfold.datastore.tables import ledgerbox
from wrenfold.datastore.tables.data import TableData
from wrenfold.datastore.tables.ledgerbox import TablesHolder

vt = VTable()


class Table:
    """A stand-in table object (any object may be stored)."""

    def __init__(self, tag: str) -> None:
        self.tag = tag

    def __repr__(self) -> str:
        return f"Table({self.tag!r})"


TABLE_FIELDS = {"columns": [{"name": "id", "type": "INTEGER"}], "records": [{"id": 1}]}


class TestConstruction:
    @pytest.mark.parametrize("make", [TablesHolder, lambda: TablesHolder(None),
                                      lambda: TablesHolder(holder=None), lambda: TablesHolder(5)])
    def test_empty_holders(self, make):
        h = make()
        assert len(h) == 0 and h.empty is True and not h
        assert h.is_tables_holder() is True

    def test_from_dict_and_from_holder(self):
        t = Table("t")
        h = TablesHolder({"a": t})
        assert h.get("a") is t and h.empty is False and h
        copy = TablesHolder(holder=h)
        assert copy.get("a") is t and copy.as_dict() is not h.as_dict()

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1, 2), {}, "__cinit__() takes at most 1 positional argument (2 given)"),
        ((), {"x": 1}, "__cinit__() got an unexpected keyword argument 'x'"),
        ((1,), {"holder": 2}, "__cinit__() got multiple values for keyword argument 'holder'"),
    ])
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            TablesHolder(*args, **kwargs)
        assert str(info.value) == message

    def test_init_takes_the_same_argument_and_does_nothing(self):
        h = TablesHolder({"a": None})
        h.__init__({"b": None})
        assert h.keys() == ["a"]
        with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 1 positional argument \(2 given\)$"):
            h.__init__(1, 2)

    def test_subclass_replace_dict_sees_the_constructor_argument(self):
        seen = []

        class Sub(TablesHolder):
            def __init__(self, holder=None):
                seen.append(("init", holder))

            def replace_dict(self, other):
                seen.append(("replace_dict", other))

        arg = {"a": Table("a")}
        s = Sub(arg)
        assert seen == [("replace_dict", arg), ("init", arg)]
        # The override replaced the body, so nothing was stored.
        assert len(s) == 0 and s.is_tables_holder()
        seen.clear()
        Sub()
        assert seen == [("init", None)]

    def test_subclass_skipping_base_init_still_works(self):
        class Sub(TablesHolder):
            def __init__(self, *args, **kwargs):
                pass

        s = Sub({"a": None})
        assert s.keys() == ["a"]

    def test_failing_construction_raises_and_frees(self):
        class Boom(Exception):
            pass

        class Sub(TablesHolder):
            def replace_dict(self, other):
                raise Boom

        with pytest.raises(Boom):
            Sub({"a": None})

    def test_no_attributes_weakrefs_or_assignment_to_empty(self):
        h = TablesHolder()
        with pytest.raises(AttributeError):
            h.empty = False
        with pytest.raises(AttributeError):
            h.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(h)


class TestStorage:
    def test_as_dict_is_the_storage(self):
        h = TablesHolder()
        d = h.as_dict()
        assert d is h.as_dict() and type(d) is dict
        t = Table("t")
        d["t"] = t
        assert "t" in h and h.get("t") is t
        h.clear()
        assert d == {} and h.empty

    def test_primitives_through_the_method_table(self):
        h = TablesHolder()
        assert vt._empty(h) == 1
        vt._set(h, "a", 1)
        vt._set(h, "b", 2)
        vt._set(h, "a", 3)
        assert vt._size(h) == 2 and vt._empty(h) == 0
        assert vt._contains(h, "a") == 1 and vt._contains(h, "zz") == 0
        assert vt._keys(h) == ["a", "b"]
        assert vt._values(h) == [3, 2]
        assert vt._items(h) == [("a", 3), ("b", 2)]
        snapshot = vt._keys(h)
        vt._set(h, "c", 4)
        assert snapshot == ["a", "b"]

    def test_set_root_replaces_the_storage(self):
        h = TablesHolder({"a": None})
        new = {"x": 1}
        vt.set_root(h, new)
        assert h.as_dict() is new and h.keys() == ["x"]

    def test_unhashable_name_fails_store_and_membership(self):
        h = TablesHolder()
        with pytest.raises(TypeError):
            vt._set(h, [], 1)
        with pytest.raises(TypeError):
            vt._contains(h, [])


class TestMissingStorage:
    """A holder whose storage is gone (after the collector's clear step) never crashes."""

    @pytest.fixture
    def h(self):
        h = TablesHolder({"a": Table("a")})
        vt.set_root(h, None)
        return h

    def test_specified_messages(self, h):
        with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
            len(h)
        with pytest.raises(TypeError, match=r"^'NoneType' object is not iterable$"):
            "a" in h
        with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'keys'$"):
            h.iterate()

    @pytest.mark.parametrize("operation", [
        lambda h: h.get("a"), lambda h: h["a"], lambda h: h.add("b", 1), lambda h: h.set("b", 1),
        lambda h: h.__setitem__("b", 1), lambda h: h.remove("a"), lambda h: h.__delitem__("a"),
        lambda h: h.contains("a"), lambda h: h.clear(), lambda h: h.keys(), lambda h: h.values(),
        lambda h: h.items(), lambda h: h.as_dict(), lambda h: h.replace_dict({"b": 1}),
        lambda h: h.model_dump(), lambda h: h.empty, lambda h: bool(h), lambda h: repr(h),
        lambda h: hash(h), lambda h: h == TablesHolder(), lambda h: h != TablesHolder(),
        lambda h: h._serialize(), lambda h: TablesHolder(h), lambda h: vt._hash(h),
        lambda h: vt._model_dump(h, None), lambda h: vt.ingest_dict(h, {"b": 1}),
    ])
    def test_every_operation_raises(self, h, operation):
        with pytest.raises((TypeError, AttributeError)):
            operation(h)

    def test_collector_clears_cycles(self):
        h = TablesHolder()
        t = Table("t")
        t.holder = h
        h.add("t", t)
        h.add("self", h)
        alive = weakref.ref(t)
        del h, t
        gc.collect()
        assert alive() is None


class TestConversion:
    def test_replace_dict_converts_table_dicts(self):
        t = TableData()
        h = TablesHolder({"x": Table("x"), "b": None})
        h.replace_dict({"a": TABLE_FIELDS, "b": t, "c": None})
        assert h.keys() == ["x", "b", "a", "c"]
        assert isinstance(h.get("a"), TableData)
        assert h.get("a") == TableData.model_validate(TABLE_FIELDS)
        assert h.get("b") is t and h.get("c") is None

    def test_replace_dict_accepts_any_key(self):
        h = TablesHolder()
        t = Table("t")
        h.replace_dict({1: t})
        assert h.as_dict() == {1: t}

    def test_replace_keeps_position_and_appends(self):
        h = TablesHolder({"a": 1, "b": 2})
        h.replace_dict({"b": 20, "c": 30})
        assert h.items() == [("a", 1), ("b", 20), ("c", 30)]

    @pytest.mark.parametrize("other", [42, None, [("a", 1)], "abc"])
    def test_other_values_are_ignored(self, other):
        h = TablesHolder({"a": 1})
        assert h.replace_dict(other) is None
        assert h.items() == [("a", 1)]

    def test_replace_from_holder_copies_entries_by_reference(self):
        t = Table("t")
        g = TablesHolder()
        g.add("t", t)
        g.as_dict()["raw"] = dict(TABLE_FIELDS)
        h = TablesHolder()
        h.replace_dict(g)
        assert h.get("t") is t
        assert isinstance(h.get("raw"), TableData) and isinstance(g.get("raw"), dict)
        g.add("later", 1)
        h.remove("t")
        assert "later" not in h and "t" in g

    def test_replace_from_holder_uses_its_as_dict_override(self):
        class Odd(TablesHolder):
            def as_dict(self):
                return {"odd": 1}

        class Bad(TablesHolder):
            def as_dict(self):
                return [("a", 1)]

        class Nothing(TablesHolder):
            def as_dict(self):
                return None

        h = TablesHolder()
        h.replace_dict(Odd({"a": 1}))
        assert h.items() == [("odd", 1)]
        h.replace_dict(Nothing({"b": 1}))
        assert h.items() == [("odd", 1)]
        with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
            h.replace_dict(Bad())
        assert h.items() == [("odd", 1)]

    def test_replace_dict_reads_storage_of_dict_subclasses(self):
        class Sneaky(dict):
            def items(self):
                raise AssertionError("items() must not be called")

            def __iter__(self):
                raise AssertionError("__iter__ must not be called")

        h = TablesHolder(Sneaky(a=1, b=2))
        assert h.items() == [("a", 1), ("b", 2)]

    def test_failure_on_third_of_five_keeps_the_first_two(self):
        incoming = {"t1": 1, "t2": 2, "t3": {"columns": "not a list"}, "t4": 4, "t5": 5}
        h = TablesHolder()
        with pytest.raises(Exception) as info:
            h.replace_dict(incoming)
        assert type(info.value).__name__ == "ValidationError"
        assert h.items() == [("t1", 1), ("t2", 2)]
        names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
        assert "wrenfold.datastore.tables.ledgerbox.TablesHolder.ingest_dict" in names

    def test_table_data_is_looked_up_at_each_use(self, monkeypatch):
        class FakeTableData:
            @staticmethod
            def model_validate(value):
                return ("validated", value)

        monkeypatch.setattr(ledgerbox, "TableData", FakeTableData)
        h = TablesHolder({"a": {"x": 1}})
        assert h.get("a") == ("validated", {"x": 1})
        monkeypatch.delattr(ledgerbox, "TableData")
        with pytest.raises(NameError, match=r"^name 'TableData' is not defined$"):
            TablesHolder({"a": {}})
        # A value that needs no conversion never looks the name up.
        assert TablesHolder({"a": 1}).get("a") == 1

    def test_ingest_survives_model_validate_mutating_the_incoming_dict(self, monkeypatch):
        incoming = {}

        class Mutating:
            @staticmethod
            def model_validate(value):
                incoming.clear()
                incoming.update({f"k{i}": i for i in range(50)})
                return "converted"

        monkeypatch.setattr(ledgerbox, "TableData", Mutating)
        incoming.update({"a": {"payload": [1, 2, 3]}, "b": 2})
        h = TablesHolder()
        h.replace_dict(incoming)
        assert h.get("a") == "converted"

    def test_ingest_through_the_method_table_refuses_non_dicts(self):
        h = TablesHolder()
        vt.ingest_dict(h, {"a": 1})
        assert h.items() == [("a", 1)]
        with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
            vt.ingest_dict(h, [])

    def test_replace_dict_arguments(self):
        h = TablesHolder()
        h.replace_dict(other={"a": 1})
        assert h.keys() == ["a"]
        with pytest.raises(TypeError, match=r"^replace_dict\(\) takes exactly 1 positional argument \(0 given\)$"):
            h.replace_dict()
        with pytest.raises(TypeError, match=r"^replace_dict\(\) got an unexpected keyword argument 'x'$"):
            h.replace_dict(x=1)


class TestDumping:
    def test_model_dump_is_a_fresh_dict_of_the_same_tables(self):
        t = Table("t")
        h = TablesHolder({"a": t})
        dumped = h.model_dump()
        assert dumped == {"a": t} and dumped is not h.as_dict() and dumped["a"] is t
        dumped["b"] = 1
        assert "b" not in h

    @pytest.mark.parametrize("call, keeps_none", [
        (lambda h: h.model_dump(), False),
        (lambda h: h.model_dump(True), False),
        (lambda h: h.model_dump(exclude_none=True), False),
        (lambda h: h.model_dump(False), True),
        (lambda h: h.model_dump(exclude_none=0), True),
        (lambda h: h.model_dump(None), True),
        (lambda h: h.model_dump([1]), False),
    ])
    def test_exclude_none(self, call, keeps_none):
        h = TablesHolder({"a": None, "b": 1})
        expected = {"a": None, "b": 1} if keeps_none else {"b": 1}
        assert call(h) == expected
        assert h.as_dict() == {"a": None, "b": 1}

    def test_exclude_none_truth_test_errors_propagate(self):
        class Bad:
            def __bool__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            TablesHolder().model_dump(Bad())

    def test_model_dump_arguments(self):
        with pytest.raises(TypeError, match=r"^model_dump\(\) takes at most 1 positional argument \(2 given\)$"):
            TablesHolder().model_dump(1, 2)
        with pytest.raises(TypeError, match=r"^as_dict\(\) takes exactly 0 positional arguments \(1 given\)$"):
            TablesHolder().as_dict(1)
        with pytest.raises(TypeError, match=r"^is_tables_holder\(\) got an unexpected keyword argument 'x'$"):
            TablesHolder().is_tables_holder(x=1)

    def test_model_dump_through_the_method_table(self):
        h = TablesHolder({"a": None, "b": 1})
        assert vt._model_dump(h, None) == {"b": 1}
        assert vt._model_dump(h, options(False)) == {"a": None, "b": 1}
        assert vt.model_dump(h, 1, options(True)) == {"b": 1}
