"""Hostile input to the TOML reader: the result is the value or an exception, never a crash
or a hang. The large documents are read in a child process under an address-space limit, so
that running out of memory is a MemoryError to be handled like any other error."""

from __future__ import annotations

import functools
import gc
import io
import os
import subprocess
import sys
import tomllib

import pytest

from support.reader_check import compare_bytes, compare_text, needs_oracle, reader
from wrenfold.datastore.adapter.toml import inkreader

SANITIZED = bool(os.environ.get("WRENFOLD_SANITIZED"))
DEEP = 100_000

# --- nesting --------------------------------------------------------------------------------


@pytest.mark.parametrize(("opening", "closing"), [
    ("[", "]"), ("{a=", "}"), ("[{a=", "}]"), ("{a=[", "]}"),
], ids=["arrays", "inline-tables", "tables-in-arrays", "arrays-in-tables"])
@pytest.mark.parametrize("closed", [True, False], ids=["closed", "unclosed"])
def test_deep_nesting_raises_recursion_error(opening, closing, closed):
    text = "v = " + opening * DEEP + (closing * DEEP if closed else "")
    with pytest.raises(RecursionError):
        reader.loads(text)
    with pytest.raises(RecursionError):
        reader.load(io.BytesIO(text.encode()))
    # The guard was left on the way out: nesting as deep as a document may go still reads.
    assert reader.loads("v = " + opening * 50 + "1" + closing * 50)["v"] is not None


@pytest.mark.parametrize("text", [
    ".".join(["a"] * DEEP) + " = 1",
    "[" + ".".join(["a"] * DEEP) + "]",
    "[[" + ".".join(['"a"'] * DEEP) + "]]",
], ids=["dotted-key", "table-header", "array-of-tables-header"])
@pytest.mark.skipif(sys.version_info < (3, 14),
                    reason="tomllib before 3.14 takes gigabytes to read such keys")
@needs_oracle
def test_keys_of_many_parts_read_like_the_reference(text):
    compare_text(text)


# --- bytes that must not pass: NUL, CR without LF, control characters, invalid UTF-8 -----------

# Where each hazard goes, "@" marking the spot: every kind of token, and the end of the input.
CONTEXTS = [
    b"@a = 1\n", b"a@ = 1\n", b"a = @1\n", b"a = 1@\n", b"a = 1\n@", b'a = "x@y"\n',
    b"a = 'x@y'\n", b'a = """x@y"""\n', b"a = '''x@y'''\n", b"a = 1 # c@c\n", b'"k@" = 1\n',
    b"'k@' = 1\n", b"[t@]\n", b"[[t@]]\n", b"a = [1,@ 2]\n", b"a = { b = 1@ }\n",
    b"a = 1979-05-27@T00:00:00Z\n", b"a = 1@.5\n", b'a = """\\@\n  x"""\n', b'a = "@',
    b"a = '''@", b"a = 1@",
]
HAZARDS = {
    "nul": b"\x00", "cr": b"\r", "cr-crlf": b"\r\r\n", "del": b"\x7f", "escape": b"\x1b",
    "bom": b"\xef\xbb\xbf", "line-separator": "\u2028".encode(), "byte-ff": b"\xff",
    "continuation": b"\x80", "overlong-nul": b"\xc0\x80", "surrogate": b"\xed\xa0\x80",
    "beyond-unicode": b"\xf4\x90\x80\x80", "truncated": b"\xe2\x82",
}


@pytest.mark.parametrize("hazard", HAZARDS.values(), ids=HAZARDS.keys())
@needs_oracle
def test_hazardous_bytes_read_like_the_reference(hazard):
    for context in CONTEXTS:
        compare_bytes(context.replace(b"@", hazard))


def test_strings_keep_escaped_nul_and_everything_after_it():
    assert reader.loads('a = "x\\u0000y"\n"k\\u0000" = 2') == {"a": "x\x00y", "k\x00": 2}


@needs_oracle
def test_lone_surrogates_in_text_raise_or_read_like_the_reference():
    for text in ['a = "\ud800"', "a = '\udfff'", '"\ud800" = 1', "# \ud800\na = 1"]:
        compare_text(text)


# --- keys meant to collide in the reader's cache of key strings ----------------------------


def colliding_keys(n: int) -> list[str]:
    """Distinct keys that share one slot of the reader's key cache, which hashes the length
    and the first and last eight bytes: at the longest length it caches, at one more, and
    short; a few not ASCII, which it does not cache."""
    shapes = ("kkkkkkkk{}zzzzzzzz", "aaaaaaaa{:032d}bbbbbbbb", "aaaaaaaa{:033d}bbbbbbbb",
              "{:09d}", "éééééééé{}éééééééé")
    return [shapes[i % len(shapes)].format(i) for i in range(n)]


@needs_oracle
def test_colliding_keys_keep_their_own_strings():
    keys = colliding_keys(4_000)
    records = []
    for j in range(12_000):
        # Neighbours alternate in a slot; bare and quoted spellings share the cache.
        picked = dict.fromkeys(keys[(j * step) % len(keys)] for step in (1, 7, 13))
        spelled = (f'"{k}"' if (j + i) % 2 or not k.isascii() else k
                   for i, k in enumerate(picked))
        records.append("{ " + ", ".join(f"{k} = {j}" for k in spelled) + " }")
    compare_text("records = [\n" + ",\n".join(records) + ",\n]\n")


@pytest.mark.parametrize("pair", [
    ('a', '"a"'), ('a', "'a'"), ('a', '"\\u0061"'), ('"é"', '"\\u00e9"'), ('"é"', '"e\u0301"'),
    ('"k\\u0000"', '"k"'), ('"k\\u0000x"', '"k\\u0000y"'),
], ids=["quoted", "literal", "escaped", "escaped-non-ascii", "decomposed", "nul-suffix",
        "after-nul"])
@needs_oracle
def test_keys_alike_as_text_are_one_key_and_others_two(pair):
    first, second = pair
    # As repeated record keys, where a cache sees them, and side by side in one table.
    compare_text(f"r = [{{ {first} = 1 }}, {{ {second} = 2 }}, {{ {first} = 3 }}]")
    compare_text(f"t = {{ {first} = 1, {second} = 2 }}")
    compare_text(f"{first} = 1\n{second} = 2\n")


# --- large documents, in a child process ---------------------------------------------------

CHILD = r"""
import os, resource, sys, tomllib
from support.reader_check import reader

def cap(extra):
    # An address-space limit of what the process uses now plus `extra` bytes.
    if os.environ.get("WRENFOLD_SANITIZED"):
        return  # AddressSanitizer's shadow memory needs the whole address space
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (size + extra, resource.RLIM_INFINITY))

def uncap():
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
"""


def run_child(body: str) -> str:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run([sys.executable, "-c", CHILD + body], capture_output=True,
                            text=True, timeout=600, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout


MB100 = 100_000_000


@pytest.mark.parametrize(("opening", "char", "closing"), [
    ('"', "x", '"'), ("'", "漢", "'"), ('"""\n', "a\\n", '"""'), ("'''", "é", "'''"),
], ids=["basic-ascii", "literal-cjk", "multi-line-escapes", "multi-line-literal-latin"])
def test_string_of_100_megabytes(opening, char, closing):
    out = run_child(f"""
char = {char!r}
count = {MB100} // len(char.encode())
text = "s = " + {opening!r} + char * count + {closing!r}
cap(6 * len(text.encode()))
value = reader.loads(text)["s"]
expected = char.replace("\\\\n", "\\n")
assert len(value) == len(expected) * count and value.count(expected) == count, len(value)
print("ok")
""")
    assert out == "ok\n"


@functools.cache
def address_space_limit_holds() -> bool:
    """Whether a limit set by setrlimit stops an allocation; qemu-user ignores it, as it would
    limit the emulator itself."""
    out = run_child("""
cap(20_000_000)
try:
    bytearray(200_000_000)
except MemoryError:
    print("holds")
""")
    return out == "holds\n"


@pytest.mark.skipif(SANITIZED, reason="an address-space limit cannot run under ASan")
def test_memory_running_out_mid_document_raises_memory_error():
    if not address_space_limit_holds():
        pytest.skip("the address-space limit is not enforced here (qemu-user ignores it)")
    out = run_child(f"""
text = 's = "' + "x" * {MB100} + '"'
cap(20_000_000)  # not room for the value
try:
    reader.loads(text)
except MemoryError:
    print("MemoryError")
uncap()
assert len(reader.loads(text)["s"]) == {MB100}
print("ok")
""")
    assert out == "MemoryError\nok\n"


# Tables (a map), dotted keys and headers (vectors of parts), arrays (the stack of items),
# escapes, a long integer and a float out of range (strings): each container grows.
GROWING = ("[a.b.c]\n" + "".join(f"k{i}.x.y = [{i}, [{i}, '{i}'], {{ z = {i} }}]\n" for i in range(40))
           + 'e = "' + "\\t\\u00e9" * 40 + '"\nn = ' + "7" * 300 + "\nf = 1e999\n"
           + "".join(f"[[t.u]]\nv = {i}\n" for i in range(40)))


@pytest.mark.skipif(not hasattr(inkreader, "_fail_allocation"),
                    reason="needs the fault-injection build (WRENFOLD_FAULT_INJECTION)")
@pytest.mark.parametrize("read", [reader.loads, lambda t: reader.load(io.BytesIO(t.encode())),
                                  inkreader._loads_document], ids=["loads", "load", "document"])
def test_failed_growth_of_the_readers_containers_raises_memory_error(read):
    # Each allocation in turn fails, until the document reads whole.
    failed = 0
    while True:
        inkreader._fail_allocation(failed + 1)
        try:
            result = read(GROWING)
        except MemoryError:
            failed += 1
            assert gc.isenabled()  # the pause of the collector ended on the way out
            continue
        finally:
            inkreader._fail_allocation(0)
        break
    assert result == tomllib.loads(GROWING)
    assert failed > 20


def test_a_million_keys_in_one_table():
    out = run_child("""
n = 1_000_000
lines = "".join(f"k{i} = {i}\\n" for i in range(n))
inline = "t = {" + ", ".join(f"k{i} = {i}" for i in range(n)) + "}"
cap(40 * len(lines))
for text in (lines, "[t]\\n" + lines, inline):
    value = reader.loads(text)
    table = value.get("t", value)
    assert len(table) == n and table["k0"] == 0 and table[f"k{n - 1}"] == n - 1
    assert list(table)[:3] == ["k0", "k1", "k2"]
    del value, table
# The last key repeats the first: a duplicate however many keys come between.
for text in (lines + "k0 = 0\\n", inline[:-1] + ", k0 = 0}"):
    try:
        reader.loads(text)
    except tomllib.TOMLDecodeError:
        continue
    raise AssertionError("duplicate key accepted")
print("ok")
""")
    assert out == "ok\n"


def test_many_tables_and_arrays_of_tables():
    out = run_child("""
n = 200_000
tables = reader.loads("".join(f"[t.k{i}]\\nv = {i}\\n" for i in range(n)))["t"]
assert len(tables) == n and tables[f"k{n - 1}"] == {"v": n - 1}
items = reader.loads("".join(f"[[a]]\\nv = {i}\\n[a.b]\\n" for i in range(n)))["a"]
assert len(items) == n and items[-1] == {"v": n - 1, "b": {}}
print("ok")
""")
    assert out == "ok\n"

