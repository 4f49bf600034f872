"""No reference leaks in the encoder, on success and on every kind of failure.

The documents are built from plain Python objects (see test_leaks_holder.py on pydantic-core
under the debug interpreter).

The interpreter's total reference count is only exact when the extension was built for the
debug interpreter, as tools/run-tests does: one built for the release interpreter changes
reference counts without telling the total. Run against such a build, the check falls back to
the number of allocated memory blocks, which grows with every object that is never freed.
Either way, the reference counts of the document's containers must come back unchanged.
"""

import os
import resource
import sys
import sysconfig

import pytest

from support.inkwright_docs import Doc, Table, column
from support.leaks import assert_no_leaks, count_deltas, raising, requires_debug_build
from support.native import VTable
from support.privileged import run_without_dict_watchers
from wrenfold.datastore.adapter.toml import inkwright
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data
from wrenfold.datastore.tables.ledgerbox import TablesHolder

pytestmark = requires_debug_build

DEBUG_ABI = inkwright.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX") or "?")


def block_deltas(fn, *, warmup=3, runs=6, inner=30):
    return count_deltas(fn, sys.getallocatedblocks, warmup, runs, inner)


def objects_of(doc):
    """The containers and tables of a document built from these plain classes. (Strings and
    numbers are left out: other code shares them, so their counts move on their own.)"""
    found, seen = [], set()

    def walk(obj):
        if isinstance(obj, (str, int, float, bytes)) or obj is None or id(obj) in seen:
            return
        seen.add(id(obj))
        found.append(obj)
        if isinstance(obj, dict):
            for k, v in obj.items():
                walk(k)
                walk(v)
        elif isinstance(obj, (list, tuple)):
            for v in obj:
                walk(v)
        elif isinstance(obj, Table):
            walk(obj.columns)
            walk(obj.records)

    if isinstance(doc, Doc):
        walk(doc.holder)
        try:
            walk(doc.holder.as_dict())
        except TypeError:  # a holder whose dictionary was taken away
            pass
    return found


def check(fn, doc=None, **kwargs):
    objects = objects_of(doc)
    counts = [sys.getrefcount(o) for o in objects]
    if DEBUG_ABI:
        assert_no_leaks(fn, **kwargs)
    else:
        deltas = block_deltas(fn, **kwargs)
        # A leak of one object per call grows every batch by at least `inner`.
        assert max(deltas[-3:]) < kwargs.get("inner", 30) // 3, f"blocks per batch: {deltas}"
    assert [sys.getrefcount(o) for o in objects] == counts


def full_doc():
    cols = [column("id", "INTEGER", primary_key=True, autoincrement=True),
            column("name", "TEXT", nullable=True, unique=True, default={"d": ["x", 1.5]},
                   comment="c\u00e9", foreign_key="o.id")]
    records = [{"id": i, "name": f"n{i}\t", "tags": [i, (True, None)], "x": None, "f": 0.5}
               for i in range(5)]
    return Doc({"users": Table(cols, records), "a.b": Table(records=[{"k k": {}}])})


class OnStr:
    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "s"


def cyclic():
    items = [1]
    items.append(items)
    return Doc({"t": Table(records=[{"v": items}])})


def toggle(d, key):
    """Changes the size of `d` on every call, and restores it every second call."""
    if key in d:
        del d[key]
    else:
        d[key] = Table()


def holder_changed_by_tuple_values(change):
    """Two tables; the first one's tuple_values() calls `change` on the holder's dict."""
    doc = Doc()

    class Changing(Table):
        def tuple_values(self):
            change(doc.holder.as_dict())
            return super().tuple_values()

    doc.holder.as_dict()["t"] = Changing()
    doc.holder.as_dict()["u"] = Table()
    return doc


def holder_resized():
    return holder_changed_by_tuple_values(lambda d: toggle(d, "extra"))


def record_resized():
    record = {"a": 1}
    record["b"] = OnStr(lambda: toggle(record, "c"))
    return Doc({"t": Table(records=[{"r": [record]}])})


def reinsert(d, key):
    d[key] = d.pop(key)


def key(text):
    """A key made at run time: literals are immortal, and their counts never move."""
    return "".join(["k", text])


def record_keys_reinserted():
    record = {key("a"): 1}
    record[key("b")] = OnStr(lambda: reinsert(record, key("a")))
    return Doc({"t": Table(records=[{"r": [record]}])})


def holder_keys_reinserted():
    return holder_changed_by_tuple_values(lambda d: reinsert(d, "t"))


class Status(int):
    def __str__(self):
        return "Status.ACTIVE"


def call_outs_doc():
    """Values whose writing runs Python code: number subclasses with their own str(), and
    a __str__ that replaces a value (not a key) of the dict being walked."""
    record = {key("n"): Status(3), key("f"): Status(2**70), key("x"): 1}
    record[key("s")] = OnStr(lambda: record.__setitem__(key("x"), 2))
    return Doc({"t": Table([column(default=[Status(1)])], [record, {"r": [record]}])})


class Failing:
    def tuple_values(self):
        raise LookupError


class Ambiguous:
    def __bool__(self):
        raise ArithmeticError


class BadStr:
    def __str__(self):
        raise ZeroDivisionError


class BadIntStr(int):
    def __str__(self):
        raise ZeroDivisionError


def storage_swapped_by_str():
    """The holder's dictionary is replaced by a copy while the document is written."""
    doc = Doc({"t": Table(records=[{"v": 1}])})
    vt = VTable()
    doc.holder.as_dict()["t"].records[0]["s"] = OnStr(
        lambda: vt.set_root(doc.holder, dict(doc.holder.as_dict())))
    return doc


class Hostile(TablesHolder):
    def __getattribute__(self, name):
        raise AssertionError(name)

    def __len__(self):
        raise AssertionError


@pytest.mark.parametrize("escape", [False, True])
def test_encode_succeeding(escape):
    doc = full_doc()
    check(lambda: encode_unified_data(doc, escape_strings=escape), doc)


@pytest.mark.parametrize(("make", "exc"), [
    (lambda: Doc(output=["1", "2", None]), TypeError),
    (lambda: object(), AttributeError),
    (lambda: Doc(output=("1", "2")), TypeError),
    (lambda: Doc(output=("1", "2", {})), TypeError),
    (lambda: Doc({"t": Failing()}), LookupError),
    (lambda: Doc({"ok": Table([column()], [{}]), "t": Table(result=([], ()))}), TypeError),
    (lambda: Doc({"t": Table([column(), column()[:4]])}), TypeError),
    (lambda: Doc({"t": Table(records=[{}, [1]])}), TypeError),
    (lambda: Doc({"t": Table([column(), column(nullable=Ambiguous())])}), ArithmeticError),
    (lambda: Doc({"t": Table(records=[{"v": [1, {"k": "\ud800"}]}])}), UnicodeEncodeError),
    (lambda: Doc({"t": Table(records=[{"v": {2: 1}}])}), TypeError),
    (lambda: Doc({"t": Table([column(type=None)])}), TypeError),
    (lambda: Doc({"t": Table(records=[{"v": 10**5000}])}), ValueError),
    (record_resized, RuntimeError),
    (lambda: Doc({"t": Table(records=[{"v": [BadStr()]}])}), ZeroDivisionError),
    (lambda: Doc({"t": Table([column(default={"d": BadIntStr(1)})])}), ZeroDivisionError),
    (lambda: Doc({}, version="\udfff"), UnicodeEncodeError),
    (lambda: Doc({"n\ud800": Table()}), UnicodeEncodeError),
    (lambda: Doc({"t": Table(records=[{"k\ud800": 1}])}), UnicodeEncodeError),
    (lambda: Doc({"t": Table([column(comment="\ud800")])}), UnicodeEncodeError),
    (record_keys_reinserted, RuntimeError),
], ids=["not-tuple", "no-attribute", "short", "not-holder", "tuple-values-raises",
        "tuple-values-shape", "short-column", "record-not-dict", "flag-raises",
        "surrogate", "int-key", "type-none", "huge-int", "record-resized",
        "str-raises", "int-str-raises", "surrogate-version", "surrogate-name", "surrogate-key",
        "surrogate-comment", "record-keys-reinserted"])
@pytest.mark.parametrize("escape", [False, True])
def test_encode_failing(make, exc, escape):
    doc = make()
    check(raising(lambda: encode_unified_data(doc, escape_strings=escape), exc), doc)


@pytest.mark.parametrize("make", [holder_resized, holder_keys_reinserted],
                         ids=["holder-resized", "holder-keys-reinserted"])
def test_encode_of_holder_changed_by_tuple_values_succeeding(make):
    doc = make()
    # The holder changes on every call: only the totals can be compared.
    check(lambda: encode_unified_data(doc), None)


@pytest.mark.parametrize("escape", [False, True])
def test_encode_with_call_outs_succeeding(escape):
    doc = call_outs_doc()
    check(lambda: encode_unified_data(doc, escape_strings=escape), doc)


# Without a dict watcher to spare, walks keep their keys to compare: the same cases again.
def test_keys_compared_without_dict_watchers():
    result = run_without_dict_watchers(
        "import sys, pytest\n"
        f"sys.exit(pytest.main(['-q', '-p', 'no:cacheprovider', {__file__!r}, '-k',\n"
        "                      'call_outs or keys_reinserted or resized']))\n")
    assert result.returncode == 0, result.stdout[-3000:]
    assert " passed" in result.stdout


def test_holder_storage_swapped_during_encoding():
    doc = storage_swapped_by_str()
    # The holder's dictionary changes on every call: only the totals can be compared.
    check(lambda: encode_unified_data(doc), None)


def test_holder_subclass_methods_are_not_called():
    hostile = Hostile()
    TablesHolder.add(hostile, "t", Table([column()], [{"a": [1]}]))
    doc = Doc(output=("1", "2", hostile))
    check(lambda: encode_unified_data(doc, True), doc)


def test_recursion_error():
    doc = cyclic()
    check(raising(lambda: encode_unified_data(doc), RecursionError), doc,
          warmup=1, runs=4, inner=3)


def test_holder_without_dictionary():
    doc = Doc({"t": Table()})
    VTable().set_root(doc.holder, None)
    check(raising(lambda: encode_unified_data(doc), TypeError), doc)


def test_argument_errors():
    doc = full_doc()
    check(raising(lambda: encode_unified_data(doc, True, 3), TypeError), doc)
    check(raising(lambda: encode_unified_data(doc, bogus=1), TypeError), doc)
    check(raising(lambda: write_unified_data(doc, b"x"), TypeError), doc)
    check(raising(lambda: write_unified_data(doc, "x", Ambiguous()), ArithmeticError), doc)
    check(raising(lambda: encode_unified_data(doc, escape_strings=Ambiguous()), ArithmeticError),
          doc)
    check(raising(lambda: encode_unified_data(), TypeError), doc)
    check(raising(lambda: encode_unified_data(doc, data=doc), TypeError), doc)


def test_write_succeeding(tmp_path):
    doc, target = full_doc(), str(tmp_path / "out.toml")
    check(lambda: write_unified_data(doc, target, True), doc)
    assert os.listdir(tmp_path) == ["out.toml"]
    # In place: a device, and a link that points nowhere yet.
    check(lambda: write_unified_data(doc, "/dev/null"), doc)
    os.symlink("real.toml", tmp_path / "link.toml")

    def through_dangling_link():
        (tmp_path / "real.toml").unlink(missing_ok=True)
        write_unified_data(doc, str(tmp_path / "link.toml"))

    check(through_dangling_link, doc)


def test_write_in_place_and_failing_after_opening(tmp_path):
    doc = full_doc()
    target, linked = tmp_path / "db.toml", tmp_path / "linked.toml"
    target.write_bytes(b"old")
    os.link(target, linked)
    check(lambda: write_unified_data(doc, str(target)), doc)
    fresh = tmp_path / "fresh.toml"
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100, hard))
    try:
        for path in (target, fresh):
            check(raising(lambda: write_unified_data(doc, str(path)), OSError), doc)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    assert sorted(os.listdir(tmp_path)) == ["db.toml", "linked.toml"]


@pytest.mark.parametrize(("path", "exc"), [
    ("/dev/full", OSError), ("{tmp}", OSError), ("{tmp}/missing/x", OSError),
    ("{tmp}/a\0b", ValueError), (None, TypeError), ("{tmp}/\ud800", UnicodeEncodeError),
])
def test_write_failing(tmp_path, path, exc):
    doc = full_doc()
    if path is not None:
        path = path.format(tmp=tmp_path)
    check(raising(lambda: write_unified_data(doc, path), exc), doc)
    bad = Doc({"t": Failing()})
    check(raising(lambda: write_unified_data(bad, str(tmp_path / "y")), LookupError), bad)
    assert os.listdir(tmp_path) == []
