"""The TOML reader under test, and the rule by which its outcome must match a TOML 1.1
reader's: `tomllib` from 3.15 on, tomli 2.5 or later before that.

Used by the differential and hostile-input tests and by the fuzzer's harness.
"""

from __future__ import annotations

import contextlib
import datetime
import io
import math
import sys
import tomllib
from typing import Any, Callable

import pytest

from wrenfold.datastore.adapter import toml as reader

BOM = "\ufeff"


def toml_1_1_reader() -> Any:
    """The reference reader of TOML 1.1 on this interpreter, or None where there is none."""
    if sys.version_info >= (3, 15):
        return tomllib
    try:
        import tomli
    except ImportError:
        return None
    version = tuple(int(part) for part in tomli.__version__.split(".")[:2])
    return tomli if version >= (2, 5) else None


ORACLE = toml_1_1_reader()
needs_oracle = pytest.mark.skipif(ORACLE is None, reason="no TOML 1.1 reader to compare with")


def tagged(value: Any) -> Any:
    """`value` with every leaf tagged by its type, so that True and 1 differ and dict order
    counts; floats by repr and sign, so that nan equals nan and -0.0 differs from 0.0;
    dates and times by their ISO text, which carries the offset."""
    if isinstance(value, dict):
        return ("dict", [(k, tagged(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [tagged(v) for v in value])
    if type(value) is float:
        return ("float", repr(value), math.copysign(1.0, value))
    if isinstance(value, (datetime.date, datetime.time)):
        return (type(value).__name__, value.isoformat())
    return (type(value).__name__, value)


@contextlib.contextmanager
def room():
    """A recursion limit high enough for the oracle, which nests Python calls, to go as deep
    as a native reader; only pure Python runs under it."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 50_000))
    try:
        yield
    finally:
        sys.setrecursionlimit(limit)


def outcome(call: Callable[[], Any], roomy: bool = False) -> tuple[str, Any]:
    try:
        if roomy:
            with room():
                value = call()
        else:
            value = call()
    except Exception as exc:
        return "raises", exc
    with room():
        return "value", tagged(value)


def reference(call: Callable[[], Any]) -> tuple[tuple[str, Any], bool]:
    """The oracle's outcome, its decode error as tomllib's, and whether it needed more room
    than the interpreter's limit."""
    ref, deep = outcome(call), False
    if ref[0] == "raises" and type(ref[1]) is RecursionError:
        ref, deep = outcome(call, roomy=True), True
    if ref[0] == "raises" and type(ref[1]) is ORACLE.TOMLDecodeError:
        ref = ("raises", tomllib.TOMLDecodeError(ref[1].msg, ref[1].doc, ref[1].pos))
    return ref, deep


def check_position(exc: tomllib.TOMLDecodeError) -> None:
    """The error's line and column agree with its offset into the document it names."""
    if not hasattr(exc, "pos"):  # CPython before 3.14 has no position attributes
        return
    assert isinstance(exc.msg, str) and exc.msg, exc
    assert 0 <= exc.pos <= len(exc.doc), (exc.pos, len(exc.doc))
    assert exc.lineno == exc.doc.count("\n", 0, exc.pos) + 1, exc
    line_start = exc.doc.rfind("\n", 0, exc.pos) + 1
    assert exc.colno == exc.pos - line_start + 1, exc


def agree(ours: tuple[str, Any], ref: tuple[str, Any], deep: bool = False,
          surrogates: bool = False) -> None:
    """Same value, or both raise: TOMLDecodeError itself for invalid TOML, else the same
    class. Invalid UTF-8 may raise either error. Where the oracle runs out of recursion
    (`deep`), ours may too, and where it still does with room (tomli stops at a fixed
    depth), ours may read on; text holding lone surrogates may raise UnicodeEncodeError."""
    if ours[0] == "raises" and type(ours[1]) in (
            (RecursionError,) * deep + (UnicodeEncodeError,) * surrogates):
        return
    if deep and ref[0] == "raises" and type(ref[1]) is RecursionError:
        return
    if ours[0] == "raises" and type(ours[1]) is tomllib.TOMLDecodeError:
        check_position(ours[1])
    if ref[0] == "value":
        assert ours == ref, f"the oracle gives a value and we give {ours!r}"
        return
    assert ours[0] == "raises", f"the oracle raises {ref[1]!r} and we give a value"
    expected = type(ref[1])
    allowed = ((UnicodeDecodeError, tomllib.TOMLDecodeError)
               if expected is UnicodeDecodeError else (expected,))
    assert type(ours[1]) in allowed, f"the oracle raises {ref[1]!r} and we raise {ours[1]!r}"


def has_surrogate(text: str) -> bool:
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def compare_text(text: str, **kwargs: Any) -> None:
    """`loads` against the oracle's; a leading byte-order mark is ours to accept."""
    ref_text = text.removeprefix(BOM)
    ref, deep = reference(lambda: ORACLE.loads(ref_text, **kwargs))
    with noted(text):
        agree(outcome(lambda: reader.loads(text, **kwargs)), ref, deep, has_surrogate(text))


def compare_bytes(data: bytes, **kwargs: Any) -> None:
    """`load` of the bytes against the oracle's, and `loads` too when they are UTF-8."""
    ref_data = data.removeprefix(BOM.encode())
    ref, deep = reference(lambda: ORACLE.load(io.BytesIO(ref_data), **kwargs))
    with noted(data):
        agree(outcome(lambda: reader.load(io.BytesIO(data), **kwargs)), ref, deep)
    try:
        text = data.decode()
    except UnicodeDecodeError:
        return
    compare_text(text, **kwargs)


@contextlib.contextmanager
def noted(document: str | bytes):
    """Names the document (its start) on a failed comparison."""
    try:
        yield
    except AssertionError as exc:
        exc.add_note(f"document: {document[:2000]!r}")
        raise
