"""No reference leaks in any holder operation, on hits, misses and failures alike.

pydantic-core is built for the release ABI, so on the debug interpreter its own reference
counting is not seen by the total; the measured paths use a pure-Python table class instead,
and the pydantic model path is checked through the reference counts of the objects involved.
"""

import copy
import sys

import pytest
from pydantic import BaseModel, ValidationError

from support.leaks import assert_no_leaks, raising, requires_debug_build
from support.native import VTable, options
from wrenfold.datastore.tables import ledgerbox
from wrenfold.datastore.tables.ledgerbox import TablesHolder

pytestmark = requires_debug_build

vt = VTable()


class Table:
    def __init__(self, fields):
        self.fields = fields

    def __eq__(self, other):
        return isinstance(other, Table) and self.fields == other.fields

    def __hash__(self):
        return hash(len(self.fields))


class FakeTableData:
    @staticmethod
    def model_validate(fields):
        if "bad" in fields:
            raise ValueError("invalid table")
        return Table(fields)


@pytest.fixture(autouse=True)
def pure_python_tables(monkeypatch):
    monkeypatch.setattr(ledgerbox, "TableData", FakeTableData)


class Overriding(TablesHolder):
    def get(self, name):
        return name

    def keys(self):
        return []

    def items(self):
        return ()

    def as_dict(self):
        return {"x": None}


class StrSub(str):
    pass


class Ambiguous:
    def __bool__(self):
        raise ArithmeticError


class Unhashable:
    __hash__ = None


class BadRepr:
    def __repr__(self):
        raise ValueError


class BadEq:
    def __eq__(self, other):
        raise ValueError

    __hash__ = object.__hash__


class Raising(TablesHolder):
    def get(self, name):
        raise LookupError(name)

    def replace_dict(self, other):
        raise LookupError("replace_dict")


class WrongTypes(TablesHolder):
    def keys(self):
        return self

    def as_dict(self):
        return 5


def holder() -> TablesHolder:
    return TablesHolder({"a": Table({}), "b": None})


h = holder()
sub = Overriding({"a": 1})
gone = holder()
vt.set_root(gone, None)

SUCCEEDING = {
    "construct": lambda: TablesHolder({"a": {"columns": []}, "b": None, "c": Table({})}),
    "construct_from_holder": lambda: TablesHolder(h),
    "add_set_remove": lambda: (h.add("t", 1), h.set("t", 2), h.remove("t")),
    "setitem_delitem": lambda: (h.__setitem__("t", 1), h.__delitem__("t")),
    "get_hit_miss": lambda: (h.get("a"), h.get("zz"), h["a"], h["zz"], h.get(None)),
    "contains": lambda: (h.contains("a"), h.contains("zz"), "a" in h, "zz" in h),
    "listings": lambda: (h.keys(), h.values(), h.items(), list(h.iterate())),
    "dumps": lambda: (h.model_dump(), h.model_dump(False), h.as_dict(), h.is_tables_holder()),
    "clear": lambda: holder().clear(),
    "compare_hash_repr": lambda: (h == holder(), h != holder(), h == 1, hash(h), repr(h)),
    "pydantic_hooks": lambda: (TablesHolder._validate({"a": {}}), TablesHolder._validate(None),
                               h._serialize(), TablesHolder._serialize({"a": None}),
                               TablesHolder.__get_pydantic_core_schema__(None, None)),
    "vtable": lambda: (vt._hash(h), vt._model_dump(h, options(False)), vt.get(h, "a", 0),
                       vt.keys(h, 0), vt.contains(h, "a", 0), vt.is_tables_holder(h, 0)),
    "overrides": lambda: (sub["q"], sub == TablesHolder(), hash(sub), vt.keys(sub, 0)),
    "size_and_truth": lambda: (h.empty, len(h), bool(h), h.__init__(None)),
    "replace_dict": lambda: (holder().replace_dict({"x": {"columns": []}, "y": Table({})}),
                             holder().replace_dict(h), h.replace_dict(42),
                             vt.ingest_dict(holder(), {"z": {}})),
    "keywords": lambda: (h.get(name="a"), h.model_dump(exclude_none=False),
                         TablesHolder(holder={"a": None})),
}

FAILING = {
    "bad_name": (lambda: h.add(1, 1), TypeError),
    "str_subclass_name": (lambda: h.get(StrSub("a")), TypeError),
    "bad_arguments": (lambda: TablesHolder(1, 2), TypeError),
    "missing_remove": (lambda: h.remove("zz"), KeyError),
    "iteration": (lambda: list(h), TypeError),
    "invalid_table": (lambda: TablesHolder({"a": {}, "b": {"bad": 1}}), ValueError),
    "wrong_override_result": (lambda: vt.items(sub, 0), TypeError),
    "pickle": (lambda: copy.copy(h), TypeError),
    "gone_storage": (lambda: gone.get("a"), TypeError),
    "gone_len": (lambda: len(gone), TypeError),
    "gone_iterate": (lambda: gone.iterate(), AttributeError),
    "ordering": (lambda: h < h, TypeError),
    "unexpected_keyword": (lambda: h.get(name="a", bogus=1), TypeError),
    "multiple_values": (lambda: h.add("a", 1, name="b"), TypeError),
    "missing_argument": (lambda: h.set("a"), TypeError),
    "raising_truth_test": (lambda: h.model_dump(Ambiguous()), ArithmeticError),
    "override_raises": (lambda: Raising()["a"], LookupError),
    "construction_override_raises": (lambda: Raising({"a": 1}), LookupError),
    "override_wrong_types": (lambda: (vt.keys(WrongTypes(), 0)), TypeError),
    "serialize_wrong_type": (lambda: WrongTypes()._serialize(), TypeError),
    "serialize_neither_holder_nor_dict": (lambda: TablesHolder._serialize(5), TypeError),
    "unhashable_table": (lambda: hash(TablesHolder({"a": Unhashable()})), TypeError),
    "failing_repr": (lambda: repr(TablesHolder({"a": BadRepr()})), ValueError),
    "failing_eq": (lambda: TablesHolder({"a": BadEq()}) == TablesHolder({"a": BadEq()}),
                   ValueError),
    "invalid_validate": (lambda: TablesHolder._validate({"a": {"bad": 1}}), ValueError),
    "unhashable_name": (lambda: vt._set(h, [], 1), TypeError),
    "ingest_non_dict": (lambda: vt.ingest_dict(h, 5), TypeError),
    "setstate": (lambda: h.__setstate__({}), TypeError),
}


@pytest.mark.parametrize("name", SUCCEEDING)
def test_succeeding_calls_do_not_leak(name):
    assert_no_leaks(SUCCEEDING[name])


@pytest.mark.parametrize("name", FAILING)
def test_failing_calls_do_not_leak(name):
    fn, exc = FAILING[name]
    assert_no_leaks(raising(fn, exc))


def test_unbound_table_data_does_not_leak(monkeypatch):
    monkeypatch.delattr(ledgerbox, "TableData")
    assert_no_leaks(raising(lambda: TablesHolder({"a": {}}), NameError))


def test_pydantic_model_path_keeps_reference_counts(monkeypatch):
    monkeypatch.undo()

    class Model(BaseModel):
        tables: TablesHolder

    table = Table({})
    source = TablesHolder({"t": table})
    root = source.as_dict()
    invalid = {"t": table, "bad": {"columns": 1}}
    counted = (table, root, invalid, invalid["bad"])
    before = [sys.getrefcount(obj) for obj in counted]
    for _ in range(100):
        Model(tables=source).model_dump()
        Model(tables={"t": table}).model_dump()
        Model.model_construct(tables=root).model_dump()
        with pytest.raises(ValidationError):
            Model(tables=invalid)
    assert [sys.getrefcount(obj) for obj in counted] == before
