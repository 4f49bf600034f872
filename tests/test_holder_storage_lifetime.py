"""The holder's storage dict stays alive while an operation runs Python code on it.

Hashing or comparing a key, a value's finaliser and model_validate all run Python code in the
middle of a storage operation. Such code may replace the storage through the C-level
`set_root`, as any native caller may, which releases the old dict. Each case below swaps the
storage from inside the operation and checks that the dict the operation was using was still
alive at that moment (a borrowed pointer would have been left dangling) and is released once
the operation is over.
"""

import gc
import weakref

import pytest

from support.native import VTable
from wrenfold.datastore.tables import ledgerbox
from wrenfold.datastore.tables.ledgerbox import TablesHolder

vt = VTable()


class Storage(dict):
    """A storage dict that takes weak references, so a test can see when it is freed."""


class Swap:
    """Replaces a holder's storage once, when fired, and notes whether the old one survived."""

    def __init__(self):
        self.holder = None
        self.watched = None
        self.alive_when_swapped = None

    def arm(self, holder, entries=()):
        storage = Storage(entries)
        vt.set_root(holder, storage)
        self.holder, self.watched = holder, weakref.ref(storage)

    def fire(self):
        if self.holder is not None:
            holder, self.holder = self.holder, None
            vt.set_root(holder, {})
            gc.collect()
            self.alive_when_swapped = self.watched() is not None


class HashSwaps:
    """A key whose hash swaps the storage."""

    def __init__(self, swap):
        self.swap = swap

    def __hash__(self):
        self.swap.fire()
        return 7


class EqualitySwaps:
    """A key equal to every other key of its hash; comparing it swaps the storage."""

    def __init__(self, swap):
        self.swap = swap

    def __hash__(self):
        return 11

    def __eq__(self, other):
        self.swap.fire()
        return self is other


class FinaliserSwaps:
    """A table whose finaliser swaps the storage, run when the storage lets go of it."""

    def __init__(self, swap):
        self.swap = swap

    def __del__(self):
        self.swap.fire()


def key_hash_swaps_storage(operation, stored=False, incoming=None):
    def run(swap):
        h, key = TablesHolder(), HashSwaps(swap)
        argument = incoming(key) if incoming else key  # hashed before the swap is armed
        swap.arm(h, {key: 1} if stored else {})
        operation(h, argument)
    return run


def key_equality_swaps_storage(operation, incoming=None):
    def run(swap):
        h, key = TablesHolder(), EqualitySwaps(swap)
        argument = incoming(key) if incoming else key
        swap.arm(h, {EqualitySwaps(swap): 1})
        operation(h, argument)
    return run


def finaliser_swaps_storage(operation):
    def run(swap):
        h = TablesHolder()
        swap.arm(h, {"t": FinaliserSwaps(swap)})
        operation(h)
    return run


HAZARDS = {
    "set_key_hash": key_hash_swaps_storage(lambda h, k: vt._set(h, k, 1)),
    "set_key_equality": key_equality_swaps_storage(lambda h, k: vt._set(h, k, 1)),
    "contains_key_hash": key_hash_swaps_storage(lambda h, k: vt._contains(h, k)),
    "contains_key_equality": key_equality_swaps_storage(lambda h, k: vt.contains(h, k, 1)),
    "get_key_hash": key_hash_swaps_storage(lambda h, k: vt.get(h, k, 1)),
    "remove_key_hash": key_hash_swaps_storage(lambda h, k: vt.remove(h, k, 1), stored=True),
    "model_dump_key_hash": key_hash_swaps_storage(lambda h, k: vt._model_dump(h, None),
                                                  stored=True),
    "merge_key_equality": key_equality_swaps_storage(lambda h, d: h.replace_dict(d),
                                                     incoming=lambda k: {k: 2}),
    "ingest_key_hash": key_hash_swaps_storage(lambda h, d: h.replace_dict(d),
                                              incoming=lambda k: {k: {}}),
    "remove_frees_a_table": finaliser_swaps_storage(lambda h: h.remove("t")),
    "clear_frees_a_table": finaliser_swaps_storage(lambda h: h.clear()),
    "set_frees_a_table": finaliser_swaps_storage(lambda h: h.set("t", None)),
    "delitem_frees_a_table": finaliser_swaps_storage(lambda h: h.__delitem__("t")),
}


@pytest.mark.parametrize("hazard", HAZARDS)
def test_storage_survives_being_swapped_by_python_code(hazard):
    swap = Swap()
    HAZARDS[hazard](swap)
    gc.collect()
    assert swap.alive_when_swapped is True
    assert swap.watched() is None


def test_ingest_stores_into_the_storage_model_validate_leaves(monkeypatch):
    swap = Swap()

    class Swapping:
        @staticmethod
        def model_validate(value):
            swap.fire()
            return "converted"

    monkeypatch.setattr(ledgerbox, "TableData", Swapping)
    h = TablesHolder()
    swap.arm(h, {"old": 1})
    h.replace_dict({"a": {"fields": 1}, "b": 2})
    # Each entry goes to the storage the holder has once model_validate returns.
    assert h.items() == [("a", "converted"), ("b", 2)]

