"""The toml-test suite (MIT): every valid case reads as its expected value, every invalid one
is refused. The cases are TOML 1.1's: those new in 1.1 (tests/data/toml-test-1.1) and the 1.0
ones (tests/data/toml-test) but those whose verdict 1.1 changes or renames, which it lists. A
reader of TOML 1.1 is held to the same cases, so that the data and the comparison are checked
too."""

import datetime
import io
import json
import math
import re
import tomllib
from pathlib import Path

import pytest

from support.reader_check import ORACLE
from wrenfold.datastore.adapter.toml import load, loads

DATA = Path(__file__).parent / "data"
SUITE_1_0, SUITE_1_1 = DATA / "toml-test", DATA / "toml-test-1.1"
DROPPED = set((SUITE_1_1 / "dropped-from-1.0.txt").read_text().split())
BOM = b"\xef\xbb\xbf"


def cases(kind: str) -> list[Path]:
    old = [path for path in (SUITE_1_0 / kind).rglob("*.toml")
           if str(path.relative_to(SUITE_1_0).with_suffix("")) not in DROPPED]
    return sorted(old) + sorted((SUITE_1_1 / kind).rglob("*.toml"))


VALID, INVALID = cases("valid"), cases("invalid")


def fraction_to_micros(text: str) -> str:
    # Fractions finer than a microsecond are cut, as the readers do.
    return re.sub(r"\.(\d{1,6})\d*", lambda m: "." + m.group(1).ljust(6, "0"), text)


def untag(node):
    """The value a tagged-JSON node stands for."""
    if isinstance(node, list):
        return [untag(v) for v in node]
    if set(node) != {"type", "value"} or not isinstance(node["value"], str):
        return {k: untag(v) for k, v in node.items()}
    kind, text = node["type"], node["value"]
    if kind == "string":
        return text
    if kind == "integer":
        return int(text)
    if kind == "float":
        return float(text)
    if kind == "bool":
        return text == "true"
    text = fraction_to_micros(text.replace(" ", "T").replace("t", "T").replace("z", "Z"))
    if kind == "time-local":
        return datetime.time.fromisoformat(text)
    if kind == "date-local":
        return datetime.date.fromisoformat(text)
    value = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    assert (value.tzinfo is None) == (kind == "datetime-local")
    return value


def same(got, expected) -> bool:
    """Equal, with NaN equal to NaN and the four kinds of date and time told apart."""
    if type(got) is not type(expected):
        return False
    if isinstance(got, dict):
        return got.keys() == expected.keys() and all(same(got[k], expected[k]) for k in got)
    if isinstance(got, list):
        return len(got) == len(expected) and all(map(same, got, expected))
    if isinstance(got, float) and math.isnan(got):
        return math.isnan(expected)
    return got == expected


def case_id(path: Path) -> str:
    suite = SUITE_1_1 if path.is_relative_to(SUITE_1_1) else SUITE_1_0
    return f"{suite.name}/{path.relative_to(suite).with_suffix('')}"


@pytest.mark.parametrize("path", VALID, ids=case_id)
def test_valid_case_reads_as_expected(path):
    data = path.read_bytes()
    expected = untag(json.loads(path.with_suffix(".json").read_text(encoding="utf-8")))
    assert same(load(io.BytesIO(data)), expected)
    assert same(loads(data.decode()), expected)
    if ORACLE is not None and not data.startswith(BOM):  # it refuses a byte-order mark
        assert same(ORACLE.loads(data.decode()), expected)


@pytest.mark.parametrize("path", INVALID, ids=case_id)
def test_invalid_case_is_refused(path):
    data = path.read_bytes()
    with pytest.raises((tomllib.TOMLDecodeError, UnicodeDecodeError)):
        load(io.BytesIO(data))
    if ORACLE is not None:
        with pytest.raises((ORACLE.TOMLDecodeError, UnicodeDecodeError)):
            ORACLE.load(io.BytesIO(data))
    try:
        text = data.decode()
    except UnicodeDecodeError:
        return
    with pytest.raises(tomllib.TOMLDecodeError):
        loads(text)
