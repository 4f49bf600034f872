"""No reference leaks in the reader, on every path: each kind of value, every error the
parser raises, and parse_float's results and failures."""

import functools
import io
import tomllib

import pytest

from support.leaks import assert_no_leaks as assert_no_leaks_per_30, requires_debug_build
from wrenfold.datastore.adapter.toml.inkreader import _loads_document, load, loads

pytestmark = requires_debug_build
# A leak moves every batch by at least one per call: ten calls a batch show it as well as 30.
assert_no_leaks = functools.partial(assert_no_leaks_per_30, warmup=3, runs=5, inner=10)

VALUES = """
s = "text"
e = "esc\\tapé \\u00e9"
m = \"\"\"
multi\\
  line\"\"\"
l = 'lit'
ml = '''a
b'''
i = [1, -2, 123456789012345678901234567890, 0xff, 0xffffffffffffffffffff]
f = [1.5, -0.0, 1e400, inf, -nan]
b = [true, false]
d = [1979-05-27, 07:32:00.5, 1979-05-27T07:32:00, 1979-05-27T07:32:00Z, 1979-05-27T07:32:00+05:30]
n = [[1], {a = 1, b.c = [2]}]
v = {a = "\\e\\x41", # over lines
     b = 14:15, c = 1979-05-27 07:32,}
"é" = 1
[t.u]
x = 1
[[aot]]
y = 2
[[aot]]
y.z = 3
[t]
w = 4
"""

INVALID = [
    "a = ?", "a = 1\na = 2", "[t]\n[t]", "a = [1, 2", "a = {b = 1,,}", "a = {b = 1, b = 2}",
    "a = {#\x01\n}", "a = {b = 1 #\x01\n}",
    'a = "\\x"', 'a = "\\uD800"', "a = 'x", 'a = """x', "a = 1979-02-30", "a = 1 b = 2",
    "[[a]]\n[a]", "a = [1]\n[[a]]", "a = {}\n[a.b]", "[a]\nb.c = 1\n[a.b]", "[a.b]\n[a]\nb = 1",
    "a.b = 1\na.b.c = 2", "a = {b = {}, b.c = 1}", "# \x01", "a = 1\r", "x = [\n#\x7f\n]",
    "a = \"\"\"\\ x\"\"\"", "a = 0x", "a = +", "k = 1\nk.b = 2",
]


def every(*calls):
    """One call that makes all of `calls`, each raising or not: collecting garbage between
    batches dominates the time, so the paths are measured together."""

    def call():
        for fn in calls:
            try:
                fn()
            except (tomllib.TOMLDecodeError, RecursionError, ValueError, TypeError,
                    UnicodeError, LookupError):
                pass

    return call


def test_documents():
    wide = "k = ['\u0436\u0436 \u3042', \"\U0001f600 \\u00e9\"]\n\"\u0436\" = 1.25e-7\n"
    texts = ["", VALUES, "\ufeffa = 'bom'", wide, wide + "\n# \U0001f600 x", wide + "= 1"]
    assert_no_leaks(every(*[functools.partial(loads, t) for t in texts],
                          *[lambda t=t: load(io.BytesIO(t.encode())) for t in texts],
                          *[lambda t=t: _loads_document(t.encode()) for t in texts]))


def test_every_error():
    for text in INVALID:
        with pytest.raises(tomllib.TOMLDecodeError):
            loads(text)
    assert_no_leaks(every(*[functools.partial(loads, t) for t in INVALID],
                          *[functools.partial(_loads_document, t.encode()) for t in INVALID]))


def test_other_failures():
    def fail(s):
        raise LookupError(s)

    text = "a = [1.5, inf, {b = 2.5}]"
    calls = [
        lambda: loads("a = " + "[" * 100_000), lambda: loads("a = " + "9" * 5000),
        lambda: load(io.BytesIO(b"a = '\xff'")), lambda: load(io.StringIO("a = 1")),
        lambda: loads('a = "\ud800"'), lambda: loads(b"a = 1"),
        lambda: loads("a = 1", parse_float=float, x=1),
        lambda: loads(text, parse_float=str), lambda: loads(text, parse_float=lambda s: []),
        lambda: loads(text, parse_float=fail),
    ]
    for call in calls[:7] + calls[8:]:
        with pytest.raises(Exception):
            call()
    assert_no_leaks(every(*calls))
