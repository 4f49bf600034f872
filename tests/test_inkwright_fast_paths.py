"""The encoder's own paths for numbers, record keys and text match the general ones."""

import math
import random
import struct

import pytest

from inkwright_docs import records_doc
from test_number_format import INT64_MAX, INT64_MIN, float_mix, int_mix
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data as encode

FIELDS = 100
KEYS = [f"n{i}" for i in range(FIELDS)]


def written(values):
    """The value texts of a document whose records hold `values`, FIELDS to a record."""
    records = [dict(zip(KEYS, values[i:i + FIELDS])) for i in range(0, len(values), FIELDS)]
    lines = encode(records_doc(*records)).split("records = [\n", 1)[1].split("\n")
    assert lines[-2:] == ["]", ""]
    out = []
    for line in lines[:-2]:
        assert line.startswith("    { ") and line.endswith(" },"), line[:80]
        out += [field.split(" = ", 1)[1] for field in line[6:-3].split(", ")]
    return out


def check(groups):
    labels, values = [], []
    for label, vals in groups.items():
        labels += [label] * len(vals)
        values += vals
    got = written(values)
    assert len(got) == len(values)
    bad = [(labels[i], v, str(v), got[i]) for i, v in enumerate(values) if got[i] != str(v)]
    assert not bad, f"{len(bad)} differ from str(), first ones: {bad[:20]}"
    return len(values)


def test_floats_match_str():
    rng = random.Random(31337)
    groups = float_mix(rng)
    for label, bits in groups.items():
        groups[label] = list(struct.unpack(f"<{len(bits)}d", struct.pack(f"<{len(bits)}Q", *bits)))
    # Decimals of everyday magnitudes, which have short texts, and their neighbours one ulp
    # away, which need every digit.
    short = []
    for _ in range(200_000):
        ndigits = rng.randint(1, 17)
        mantissa = rng.randrange(10 ** (ndigits - 1), 10**ndigits)
        x = float(f"{mantissa}e{rng.randint(-26, 17) - ndigits}")
        short.append(x if rng.random() < 0.5 else -x)
    groups["everyday decimals"] = short
    groups["their neighbours"] = [math.nextafter(x, rng.choice((-math.inf, math.inf)))
                                  for x in short[:100_000]]
    assert check(groups) >= 1_000_000


def test_ints_match_str_inside_and_beyond_64_bits():
    groups = int_mix(random.Random(4242))
    # Beyond 64 bits the text comes from str() again.
    groups["beyond int64"] = [INT64_MAX + 1, INT64_MIN - 1, 2**64, -(2**64), 10**30, -(10**40)]
    assert check(groups) >= 200_000


def test_record_keys_kept_per_table_follow_each_record():
    class Key(str):
        pass

    records = [{"a": 1, "b c": 2}, {"a": 3, "b c": 4}, {"b c": 5, "a": 6}, {"a": None, "x": 7},
               {"é": 8, "a": 9}, {Key("a"): 10, "b": 11}, {"a": 12}]
    lines = encode(records_doc(*records)).split("records = [\n", 1)[1].splitlines()
    assert lines[:-1] == [
        '    { a = 1, "b c" = 2 },', '    { a = 3, "b c" = 4 },', '    { "b c" = 5, a = 6 },',
        "    { x = 7 },", '    { "é" = 8, a = 9 },', "    { a = 10, b = 11 },", "    { a = 12 },"]


@pytest.mark.parametrize("escape", [False, True])
def test_text_of_every_width_in_one_document(escape):
    class Name(str):
        pass

    class Shown:
        def __str__(self):
            return "ø"

    class Number(int):
        def __str__(self):
            return "三"

    first = {"a": "é", "b": "Ж", "c": "😀", "ключ": 'q"é', "e": Name("ü"), "f": Shown(),
             "g": ["x", "ÿ"], "h": Number(3)}
    lines = encode(records_doc(first, {"a": "plain"}), escape_strings=escape).splitlines()
    quoted = '"q\\"é"' if escape else '"q"é"'
    number = "3" if escape else "三"  # escaped mode writes no text that is not TOML
    assert lines[-3:] == [
        f'    {{ a = "é", b = "Ж", c = "😀", "ключ" = {quoted}, e = "ü", f = "ø", '
        f'g = [ "x", "ÿ" ], h = {number} }},', '    { a = "plain" },', "]"]
