"""No reference leaks in dumps and dump, written or refused: every kind of value, every
error, and called code that changes the document."""

import datetime as dt
import io
from decimal import Decimal

import pytest

from support.leaks import refcount_deltas, requires_debug_build
from test_dumps import Meddler, Odd, Price
from wrenfold.datastore.adapter.toml import dump, dumps

pytestmark = requires_debug_build
INNER = 30


def assert_no_leaks(fn):
    # Calls out to Python code, raising through tracebacks, move the interpreter's own counts
    # by a few references a batch, for many batches, none of them in the document or its
    # types. A leak or an extra release on any path moves every batch by one per call.
    deltas = refcount_deltas(fn, warmup=3, runs=6, inner=INNER)
    assert min(map(abs, deltas[-3:])) < INNER // 3, f"reference count deltas per batch: {deltas}"

UTC2 = dt.timezone(dt.timedelta(hours=2))
DOC = {
    "s": "tab\there \"q\" é\n", "i": [1, -2**70, True], "f": [1.5, float("nan"), Price(2.0)],
    "d": [dt.date(2024, 1, 2), dt.time(3, 4, 5, 6), dt.datetime(2024, 1, 2, 3, 4, tzinfo=UTC2),
          dt.datetime(2024, 1, 2, tzinfo=dt.timezone(dt.timedelta(seconds=61)))],
    "dec": [Decimal("1"), Decimal("-Infinity")], "inline": [{"a": 1}, Odd([("b", [2])])],
    "aot": [{"x": [1]}, {"y": {"z": 1}}], "t": {"u": {"v": 1}, "w": ()}, "k é": 1,
}


def every(*calls):
    def call():
        for fn in calls:
            try:
                fn()
            except (RecursionError, ValueError, TypeError, RuntimeError, UnicodeError,
                    AttributeError):
                pass

    return call


def test_written_and_refused():
    cycle = {}
    cycle["c"] = [cycle]
    changing = {"a": 1}
    # Adds a key on one call and takes it away on the next: the document does not grow.
    changing["m"] = [Meddler(lambda: changing.pop("z") if "z" in changing else
                             changing.__setitem__("z", 0))]
    calls = [
        lambda: dumps(DOC), lambda: dumps(DOC, multiline_strings=True, indent=1),
        lambda: dump(DOC, io.BytesIO()), lambda: dumps({"a": object()}), lambda: dumps({1: 2}),
        lambda: dumps({"a": dt.time(tzinfo=UTC2)}), lambda: dumps({}, indent=-1),
        lambda: dumps({}, indent="x"), lambda: dumps([]), lambda: dumps({"a": Odd([(1,)])}),
        lambda: dumps({"a": "\ud800"}), lambda: dumps(cycle), lambda: dumps(changing),
        lambda: dump({}, io.StringIO()), lambda: dumps(obj={}), lambda: dumps({}, x=1),
    ]
    for call in calls[3:]:
        with pytest.raises(Exception):
            call()
    assert_no_leaks(every(*calls))
