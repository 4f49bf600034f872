"""Equality, hashing and representation."""

import pytest

from support.native import VTable
from rimecast.frozen import freeze
from wrenfold.datastore.tables import ledgerbox
from wrenfold.datastore.tables.data import TableData
from wrenfold.datastore.tables.ledgerbox import TablesHolder

vt = VTable()


def table(n: int) -> TableData:
    return TableData.model_validate({"columns": [{"name": "id", "type": "INTEGER"}],
                                     "records": [{"id": i} for i in range(n)]})


class AlwaysEmpty(TablesHolder):
    def as_dict(self):
        return {}


class TestEquality:
    def test_equal_by_content_in_any_order(self):
        a = TablesHolder()
        a.add("x", table(1))
        a.add("y", table(2))
        b = TablesHolder()
        b.add("y", table(2))
        b.add("x", table(1))
        assert a == b and not (a != b)
        b.add("y", table(3))
        assert a != b and not (a == b)
        assert TablesHolder() == TablesHolder() and not (TablesHolder() != TablesHolder())

    @pytest.mark.parametrize("other", [{}, 5, None, "TablesHolder({})"])
    def test_never_equal_to_other_types(self, other):
        h = TablesHolder()
        assert (h == other) is False and (h != other) is True
        assert h.__eq__(other) is NotImplemented and h.__ne__(other) is NotImplemented

    def test_ordering_is_refused(self):
        for compare in (lambda a, b: a < b, lambda a, b: a <= b, lambda a, b: a > b, lambda a, b: a >= b):
            with pytest.raises(TypeError):
                compare(TablesHolder(), TablesHolder())

    def test_as_dict_override_decides(self):
        full = AlwaysEmpty({"a": table(1)})
        assert full == TablesHolder() and TablesHolder() == full
        assert hash(full) == hash(TablesHolder())
        assert repr(full) == "TablesHolder({})"
        # The C-level hash reads the real contents.
        assert vt._hash(full) == vt._hash(TablesHolder({"a": table(1)}))
        assert vt._hash(full) != vt._hash(TablesHolder())

    def test_ne_uses_a_python_eq(self):
        class Contrary(TablesHolder):
            def __eq__(self, other):
                return "yes"

            __hash__ = TablesHolder.__hash__

        assert (Contrary() != TablesHolder()) is False

        class Raising(TablesHolder):
            def __eq__(self, other):
                class Bad:
                    def __bool__(self):
                        raise ZeroDivisionError

                return Bad()

            __hash__ = TablesHolder.__hash__

        with pytest.raises(ZeroDivisionError):
            Raising() != TablesHolder()

    def test_table_comparison_errors_propagate(self):
        class Incomparable:
            def __eq__(self, other):
                raise ArithmeticError

            __hash__ = object.__hash__

        with pytest.raises(ArithmeticError):
            TablesHolder({"a": Incomparable()}) == TablesHolder({"a": Incomparable()})


class TestHash:
    def test_hash_is_the_frozen_dict_hash(self):
        h = TablesHolder({"a": table(1)})
        assert hash(h) == hash(freeze(h.as_dict()))
        before = hash(h)
        h.add("b", table(2))
        assert hash(h) != before

    def test_equal_holders_hash_alike(self):
        a = TablesHolder({"x": table(1), "y": None})
        b = TablesHolder({"y": None, "x": table(1)})
        assert a == b and hash(a) == hash(b) and vt._hash(a) == vt._hash(b)

    def test_c_level_hash_is_the_low_32_bits(self):
        h = TablesHolder({"a": table(2)})
        low = hash(h) & 0xFFFFFFFF
        expected = low - (1 << 32) if low >= 1 << 31 else low
        assert vt._hash(h) == expected

    def test_unhashable_tables_and_missing_freeze(self, monkeypatch):
        class Unhashable:
            __hash__ = None

        with pytest.raises(TypeError):
            hash(TablesHolder({"a": Unhashable()}))
        with pytest.raises(TypeError):
            vt._hash(TablesHolder({"a": Unhashable()}))
        monkeypatch.delattr(ledgerbox, "freeze")
        with pytest.raises(NameError, match=r"^name 'freeze' is not defined$"):
            hash(TablesHolder())
        monkeypatch.setattr(ledgerbox, "freeze", lambda d: 7, raising=False)
        assert hash(TablesHolder({"a": 1})) == 7


class TestRepr:
    def test_repr_and_str(self):
        assert repr(TablesHolder()) == "TablesHolder({})"
        h = TablesHolder({"a": 1, "b": "x"})
        assert repr(h) == str(h) == "TablesHolder({'a': 1, 'b': 'x'})"

    def test_subclass_keeps_the_prefix(self):
        class Sub(TablesHolder):
            pass

        assert repr(Sub({"a": None})) == "TablesHolder({'a': None})"

    def test_repr_errors_propagate(self):
        class Bad:
            def __repr__(self):
                raise ValueError("no repr")

        with pytest.raises(ValueError, match="no repr"):
            repr(TablesHolder({"a": Bad()}))
