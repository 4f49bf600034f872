"""Named-table operations, the mapping protocol, and the override rule of the method table."""

import collections.abc
import gc
import re
import traceback

import pytest

from support.native import VTable, options
from wrenfold.datastore.tables.ledgerbox import TablesHolder

vt = VTable()


class StrSub(str):
    pass


class TestNamedOperations:
    def test_add_replaces_silently(self):
        h = TablesHolder()
        assert h.add("a", 1) is None
        h.add("a", 2)
        assert h.get("a") == 2 and len(h) == 1 and h.keys() == ["a"]

    def test_set_keeps_position(self):
        h = TablesHolder()
        h.set("a", 1)
        h.set("b", 2)
        h.set("a", 3)
        assert h.keys() == ["a", "b"] and h.values() == [3, 2]
        assert h.items() == [("a", 3), ("b", 2)]
        h.remove("a")
        h.add("a", 4)
        assert h.keys() == ["b", "a"]

    def test_missing_names(self):
        h = TablesHolder()
        assert h.get("missing") is None and h["missing"] is None
        for remove in (lambda: h.remove("missing"), lambda: h.__delitem__("missing")):
            with pytest.raises(KeyError) as info:
                remove()
            assert info.value.args == ("missing",)

    def test_none_is_a_name_for_methods_only(self):
        h = TablesHolder()
        h.add(None, "t")
        assert h.get(None) == "t" and h.contains(None) is True and h.keys() == [None]
        for operation in (lambda: h[None], lambda: None in h, lambda: h.__setitem__(None, 1)):
            with pytest.raises(TypeError, match=r"expected str, got NoneType"):
                operation()
        h.remove(None)
        assert h.empty

    @pytest.mark.parametrize("operation", [
        lambda h, n: h.add(n, 1), lambda h, n: h.set(n, 1), lambda h, n: h.get(n),
        lambda h, n: h.remove(n), lambda h, n: h.contains(n), lambda h, n: h[n],
        lambda h, n: h.__setitem__(n, 1), lambda h, n: h.__delitem__(n), lambda h, n: n in h,
    ])
    @pytest.mark.parametrize("name, type_name", [(1, "int"), (StrSub("a"), "StrSub"), (b"a", "bytes")])
    def test_names_of_the_wrong_type(self, operation, name, type_name):
        h = TablesHolder({"a": 1})
        with pytest.raises(TypeError) as info:
            operation(h, name)
        assert str(info.value) == f"Argument 'name' has incorrect type (expected str, got {type_name})"
        has_note = bool(getattr(info.value, "__notes__", None))
        assert has_note == isinstance(name, str)
        assert h.items() == [("a", 1)]

    def test_integer_access_is_refused(self):
        with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got int\)$"):
            TablesHolder({"a": 1})[0]

    @pytest.mark.parametrize("cls", [TablesHolder, type("Sub", (TablesHolder,), {})])
    def test_iteration_is_refused(self, cls):
        h = cls({"a": 1})
        for operation in (lambda: list(h), lambda: set(h), lambda: [*h], lambda: [n for n in h],
                          lambda: iter(h)):
            with pytest.raises(TypeError, match=rf"^'{cls.__name__}' object is not iterable$"):
                operation()
        assert cls.__iter__ is None and not isinstance(h, collections.abc.Iterable)
        assert dict(h) == {"a": 1}  # keys() and indexing by name, not iteration

    def test_contains_and_in_agree(self):
        h = TablesHolder({"a": 1})
        assert h.contains("a") is True and h.contains("b") is False
        assert ("a" in h) is True and ("b" in h) is False

    def test_clear(self):
        h = TablesHolder()
        assert h.clear() is None and h.empty
        h.add("a", 1)
        d = h.as_dict()
        h.clear()
        assert h.empty and len(h) == 0 and d == {}

    def test_listings_are_snapshots_and_iterate_is_live(self):
        h = TablesHolder({"a": 1, "b": 2})
        keys = h.keys()
        it = h.iterate()
        assert next(it) == "a"
        h.add("c", 3)
        assert keys == ["a", "b"]
        with pytest.raises(RuntimeError):
            next(it)
        assert list(h.iterate()) == ["a", "b", "c"]

    def test_len_bool_and_empty_agree(self):
        h = TablesHolder()
        for n in range(3):
            assert len(h) == n and bool(h) == (n > 0) and h.empty == (n == 0)
            h[f"t{n}"] = n

    def test_mapping_slots(self):
        h = TablesHolder()
        h["a"] = 1
        assert h["a"] == 1
        del h["a"]
        assert "a" not in h

    def test_fetch_of_an_unhashable_name_is_absent(self):
        assert vt.get(TablesHolder({"a": 1}), [], 1) is None

    def test_keyword_arguments_and_messages(self):
        h = TablesHolder()
        h.add(name="a", table=1)
        h.set("b", table=2)
        assert h.get(name="a") == 1 and h.contains(name="b") is True
        h.remove(name="a")
        cases = [
            (lambda: h.add("a"), "add() takes exactly 2 positional arguments (1 given)"),
            (lambda: h.add(table=1), "add() takes exactly 2 positional arguments (0 given)"),
            (lambda: h.get(), "get() takes exactly 1 positional argument (0 given)"),
            (lambda: h.keys(1), "keys() takes exactly 0 positional arguments (1 given)"),
            (lambda: h._serialize(1), "_serialize() takes exactly 0 positional arguments (1 given)"),
            (lambda: h.clear(x=1), "clear() got an unexpected keyword argument 'x'"),
            (lambda: h.set("a", 1, name="b"), "set() got multiple values for keyword argument 'name'"),
            (lambda: h.remove("a", 2), "remove() takes exactly 1 positional argument (2 given)"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == message

    def test_argument_errors_carry_a_traceback_entry(self):
        with pytest.raises(TypeError) as info:
            TablesHolder().add(1, 1)
        names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
        assert "wrenfold.datastore.tables.ledgerbox.TablesHolder.add" in names

    def test_docstrings(self):
        expected = {
            "add": "TablesHolder.add(self, str name, table) -> void",
            "set": "TablesHolder.set(self, str name, table) -> void",
            "get": "TablesHolder.get(self, str name)",
            "remove": "TablesHolder.remove(self, str name) -> void",
            "contains": "TablesHolder.contains(self, str name) -> bool",
            "clear": "TablesHolder.clear(self) -> void",
            "iterate": "TablesHolder.iterate(self)",
            "keys": "TablesHolder.keys(self) -> list",
            "values": "TablesHolder.values(self) -> list",
            "items": "TablesHolder.items(self) -> list",
            "as_dict": "TablesHolder.as_dict(self) -> dict",
            "replace_dict": "TablesHolder.replace_dict(self, other) -> void",
            "model_dump": "TablesHolder.model_dump(self, bool exclude_none=True) -> dict",
            "is_tables_holder": "TablesHolder.is_tables_holder(self) -> bool",
            "__get_pydantic_core_schema__": "TablesHolder.__get_pydantic_core_schema__(cls, source_type, handler: GetCoreSchemaHandler)",
            "_validate": "TablesHolder._validate(cls, value)",
            "_serialize": "TablesHolder._serialize(self)",
        }
        for name, doc in expected.items():
            assert getattr(TablesHolder, name).__doc__ == doc, name


class Recording(TablesHolder):
    """Overrides every override-aware method and records the calls."""

    def __init__(self, holder=None):
        self.calls = []

    def get(self, name):
        self.calls.append(("get", name))
        return "from get"

    def set(self, name, table):
        self.calls.append(("set", name, table))
        return "ignored"

    def add(self, name, table):
        self.calls.append(("add", name, table))

    def remove(self, name):
        self.calls.append(("remove", name))

    def contains(self, name):
        self.calls.append(("contains", name))
        return [1]

    def clear(self):
        self.calls.append(("clear",))

    def iterate(self):
        return "from iterate"

    def keys(self):
        return ["k"]

    def values(self):
        return None

    def items(self):
        return ("not", "a", "list")

    def model_dump(self, exclude_none):
        self.calls.append(("model_dump", exclude_none))
        return {"dumped": exclude_none}

    def is_tables_holder(self):
        return None


class TestOverrides:
    def test_mapping_slots_route_to_overrides(self):
        h = Recording()
        assert h["a"] == "from get"
        h["b"] = 2
        del h["c"]
        assert h.calls == [("get", "a"), ("set", "b", 2), ("remove", "c")]
        assert h.as_dict() == {}

    def test_len_and_in_ignore_overrides(self):
        h = Recording()
        TablesHolder.add(h, "real", 1)
        assert len(h) == 1 and "real" in h and "k" not in h

    def test_entries_with_the_flag_clear_call_overrides(self):
        h = Recording()
        assert vt.get(h, "a", 0) == "from get"
        vt.set(h, "s", 1, 0)
        vt.add(h, "t", 2, 0)
        vt.remove(h, "u", 0)
        assert vt.contains(h, "v", 0) == 1
        vt.clear(h, 0)
        assert vt.iterate(h, 0) == "from iterate"
        assert vt.keys(h, 0) == ["k"]
        assert vt.values(h, 0) is None
        with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
            vt.items(h, 0)
        assert vt.model_dump(h, 0, None) == {"dumped": True}
        assert vt.model_dump(h, 0, options(False)) == {"dumped": False}
        assert vt.is_tables_holder(h, 0) == 0
        assert h.calls == [("get", "a"), ("set", "s", 1), ("add", "t", 2), ("remove", "u"),
                           ("contains", "v"), ("clear",), ("model_dump", True), ("model_dump", False)]
        assert h.as_dict() == {}

    def test_entries_with_the_flag_set_run_their_own_body(self):
        h = Recording()
        vt.set(h, "s", 1, 1)
        vt.add(h, "t", 2, 1)
        assert vt.get(h, "s", 1) == 1 and vt.contains(h, "t", 1) == 1
        assert vt.keys(h, 1) == ["s", "t"] and vt.items(h, 1) == [("s", 1), ("t", 2)]
        assert list(vt.iterate(h, 1)) == ["s", "t"]
        vt.remove(h, "s", 1)
        assert vt.is_tables_holder(h, 1) == 1
        vt.clear(h, 1)
        assert h.calls == [] and h.as_dict() == {}

    def test_a_subclass_without_overrides_runs_the_bodies(self):
        class Plain(TablesHolder):
            pass

        h = Plain()
        h.extra = "subclasses may have attributes"
        vt.add(h, "a", 1, 0)
        assert vt.get(h, "a", 0) == 1 and vt.keys(h, 0) == ["a"] and vt.contains(h, "a", 0) == 1

    def test_override_errors_propagate(self):
        class Failing(TablesHolder):
            def get(self, name):
                raise LookupError(name)

            def keys(self):
                return {"a": 1}

            def contains(self, name):
                class Bad:
                    def __bool__(self):
                        raise ZeroDivisionError

                return Bad()

        h = Failing()
        with pytest.raises(LookupError):
            h["x"]
        with pytest.raises(TypeError, match=r"^Expected list, got dict$"):
            vt.keys(h, 0)
        with pytest.raises(ZeroDivisionError):
            vt.contains(h, "x", 0)

    def test_override_that_is_not_callable(self):
        class Odd(TablesHolder):
            get = 5

        with pytest.raises(TypeError):
            Odd()["a"]


OVERRIDABLE = ["as_dict", "replace_dict", "contains", "set", "add", "get", "remove", "clear",
               "iterate", "keys", "values", "items", "model_dump", "is_tables_holder"]


def misbehaving(behaviour):
    """A subclass whose every override-aware method does `behaviour(self, name)`."""
    def method(name):
        return lambda self, *args: behaviour(self, name)

    return type("Misbehaving", (TablesHolder,), {n: method(n) for n in OVERRIDABLE})


def fail_with_name(self, name):
    raise LookupError(name)


def swap_storage(self, name):
    # The dictionary a caller might be walking goes away at once.
    vt.set_root(self, {name: 1})
    gc.collect()


BEHAVIOURS = {
    "raises": fail_with_name,
    "wrong-type": lambda self, name: 5,
    "returns-self": lambda self, name: self,
    "swaps-storage": swap_storage,
}

# Operations that reach an override, the override they reach, and whether its result is
# checked against a declared list or dict.
ROUTED = [
    (lambda h: h["a"], "get", False),
    (lambda h: h.__setitem__("a", 1), "set", False),
    (lambda h: h.__delitem__("a"), "remove", False),
    (lambda h: h == TablesHolder(), "as_dict", True),
    (lambda h: h != TablesHolder(), "as_dict", True),
    (hash, "as_dict", True),
    (repr, "as_dict", True),
    (lambda h: h._serialize(), "as_dict", True),
    (lambda h: TablesHolder(h), "as_dict", True),
    (lambda h: TablesHolder._validate(h), "as_dict", True),
    (lambda h: type(h)({"a": 1}), "replace_dict", False),
    (lambda h: type(h)._validate({"a": 1}), "replace_dict", False),
    (lambda h: vt.as_dict(h, 0), "as_dict", True),
    (lambda h: vt.replace_dict(h, {"a": 1}, 0), "replace_dict", False),
    (lambda h: vt.contains(h, "a", 0), "contains", False),
    (lambda h: vt.set(h, "a", 1, 0), "set", False),
    (lambda h: vt.add(h, "a", 1, 0), "add", False),
    (lambda h: vt.get(h, "a", 0), "get", False),
    (lambda h: vt.remove(h, "a", 0), "remove", False),
    (lambda h: vt.clear(h, 0), "clear", False),
    (lambda h: vt.iterate(h, 0), "iterate", False),
    (lambda h: vt.keys(h, 0), "keys", True),
    (lambda h: vt.values(h, 0), "values", True),
    (lambda h: vt.items(h, 0), "items", True),
    (lambda h: vt.model_dump(h, 0, options(False)), "model_dump", True),
    (lambda h: vt.is_tables_holder(h, 0), "is_tables_holder", False),
]


@pytest.mark.parametrize("behaviour", BEHAVIOURS)
def test_misbehaving_overrides_never_crash(behaviour):
    cls = misbehaving(BEHAVIOURS[behaviour])
    h = cls()
    TablesHolder.add(h, "a", 1)
    for operation, name, checked in ROUTED:
        try:
            operation(h)
        except LookupError as exc:
            assert behaviour == "raises" and exc.args == (name,), (name, exc)
        except TypeError as exc:
            got = {"wrong-type": "int", "returns-self": "Misbehaving"}.get(behaviour)
            assert checked and re.fullmatch(rf"Expected (list|dict), got {got}", str(exc)), (
                name, exc)
        else:
            assert behaviour != "raises" and not (checked and behaviour in {"wrong-type",
                                                                          "returns-self"}), name
    # The holder itself is still whole.
    TablesHolder.set(h, "z", 2)
    assert TablesHolder.get(h, "z") == 2 and "z" in TablesHolder.keys(h) and len(h) >= 1


class Circular(TablesHolder):
    __hash__ = TablesHolder.__hash__

    def __eq__(self, other):
        return self != other

    def as_dict(self):
        return {"self": self}


@pytest.mark.parametrize("operation", [
    repr, hash, lambda h: h != Circular(), lambda h: TablesHolder.__eq__(h, Circular()),
], ids=["repr", "hash", "ne", "eq"])
def test_overrides_recursing_into_the_holder_raise_recursion_error(operation):
    with pytest.raises(RecursionError):
        operation(Circular())
