"""The TOML reader under test, and the rule by which its outcome must match tomllib's.

Used by the differential and hostile-input tests and by the fuzzer's harness.
"""

from __future__ import annotations

import datetime
import io
import math
import tomllib
from types import SimpleNamespace
from typing import Any, Callable

BOM = "\ufeff"


def _strip_bom(text: str, **kwargs: Any) -> Any:
    return tomllib.loads(text.removeprefix(BOM), **kwargs)


# tomllib, taught the leading byte-order mark, stands in for the native reader until it is
# built; then this is `from wrenfold.datastore.adapter.toml import inkreader as reader`.
reader = SimpleNamespace(loads=_strip_bom,
                         load=lambda fp, **kwargs: _strip_bom(fp.read().decode(), **kwargs))


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


def outcome(parse: Callable[..., Any], arg: Any, **kwargs: Any) -> tuple[str, Any]:
    try:
        return "value", tagged(parse(arg, **kwargs))
    except Exception as exc:
        return "raises", exc


def check_position(exc: tomllib.TOMLDecodeError) -> None:
    """The error's line and column agree with its offset into the document it names."""
    if not hasattr(exc, "pos"):  # CPython before 3.14 has no position attributes
        return
    assert isinstance(exc.msg, str) and exc.msg, exc
    assert 0 <= exc.pos <= len(exc.doc), (exc.pos, len(exc.doc))
    assert exc.lineno == exc.doc.count("\n", 0, exc.pos) + 1, exc
    line_start = exc.doc.rfind("\n", 0, exc.pos) + 1
    assert exc.colno == exc.pos - line_start + 1, exc


def agree(ours: tuple[str, Any], ref: tuple[str, Any], surrogates: bool = False) -> None:
    """Same value, or both raise: TOMLDecodeError itself for invalid TOML, else the same
    class. Invalid UTF-8 may raise either error; text holding lone surrogates may raise
    UnicodeEncodeError whatever tomllib does."""
    if ours[0] == "raises" and surrogates and type(ours[1]) is UnicodeEncodeError:
        return
    if ours[0] == "raises" and type(ours[1]) is tomllib.TOMLDecodeError:
        check_position(ours[1])
    if ref[0] == "value":
        assert ours == ref, f"tomllib gives a value and we give {ours!r}"
        return
    assert ours[0] == "raises", f"tomllib raises {ref[1]!r} and we give a value"
    expected = type(ref[1])
    allowed = ((UnicodeDecodeError, tomllib.TOMLDecodeError)
               if expected is UnicodeDecodeError else (expected,))
    assert type(ours[1]) in allowed, f"tomllib raises {ref[1]!r} and we raise {ours[1]!r}"


def has_surrogate(text: str) -> bool:
    return any(0xD800 <= ord(c) <= 0xDFFF for c in text)


def compare_text(text: str, **kwargs: Any) -> None:
    """`loads` against tomllib's; a leading byte-order mark is ours to accept."""
    ref_text = text[1:] if text.startswith(BOM) else text
    agree(outcome(reader.loads, text, **kwargs), outcome(tomllib.loads, ref_text, **kwargs),
          has_surrogate(text))


def compare_bytes(data: bytes, **kwargs: Any) -> None:
    """`load` of the bytes against tomllib's, and `loads` too when they are UTF-8."""
    ref_data = data[3:] if data.startswith(BOM.encode()) else data
    agree(outcome(reader.load, io.BytesIO(data), **kwargs),
          outcome(tomllib.load, io.BytesIO(ref_data), **kwargs))
    try:
        text = data.decode()
    except UnicodeDecodeError:
        return
    compare_text(text, **kwargs)
