"""The native number text must be byte for byte what str() gives.

Runs the small `format_numbers` program from the C++ test build over a seeded mix of more than
a million floats and 200,000 ints and compares every line with the interpreter's own text.
"""

import math
import os
import random
import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TAG = os.environ.get("WRENFOLD_BUILD_TAG", "3.14")
PROGRAM = ROOT / "build" / f"cpp-tests-{TAG}" / "format_numbers"

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

pytestmark = pytest.mark.skipif(
    not PROGRAM.exists(),
    reason=f"{PROGRAM.relative_to(ROOT)} is not built (tools/run-tests builds tests/cpp)",
)


def bits_of(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def ulp_neighbours(x, n):
    """x and the n doubles on either side of it."""
    out = [x]
    lo = hi = x
    for _ in range(n):
        lo = math.nextafter(lo, -math.inf)
        hi = math.nextafter(hi, math.inf)
        out += [lo, hi]
    return out


def float_mix(rng):
    """Bit patterns grouped by what they exercise; every NaN and subnormal kept as bits."""
    groups = {}

    groups["fixed values"] = [
        bits_of(x)
        for x in (0.0, -0.0, 1.0, -1.0, 0.1, 1 / 3, 2.0**53, 1e16, 1e-4, 1e-5, 5e-324,
                  sys.float_info.max, -sys.float_info.max, sys.float_info.min,
                  math.inf, -math.inf)
    ] + [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
         0xFFF0DEADBEEF0001, 0x7FFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF]

    # Every bit pattern is equally likely: all exponents, NaN payloads of both signs.
    groups["random bit patterns"] = [rng.getrandbits(64) for _ in range(400_000)]

    # Uniform in the binary exponent, so every magnitude appears equally often.
    groups["random magnitudes"] = [
        bits_of(math.ldexp(1.0 + rng.random(), rng.randint(-1074, 1023)) * rng.choice((1, -1)))
        for _ in range(200_000)
    ]

    # Short decimal literals read back: the shortest digits are few, as in real data.
    short = []
    for _ in range(200_000):
        ndigits = rng.randint(1, 17)
        mantissa = rng.randrange(10 ** (ndigits - 1), 10**ndigits)
        exp = rng.randint(-330, 310)
        x = float(f"{mantissa}e{exp}")
        short.append(bits_of(x if rng.random() < 0.5 else -x))
    groups["short decimals"] = short

    groups["subnormals"] = [
        (rng.getrandbits(1) << 63) | rng.randrange(1, 1 << 52) for _ in range(100_000)
    ]

    # Powers of two have a narrower gap below than above them.
    groups["powers of two"] = [
        bits_of(s * y)
        for e in range(-1074, 1024)
        for y in ulp_neighbours(math.ldexp(1.0, e), 2)
        for s in (1, -1)
        if math.isfinite(y)
    ]

    # The switch between positional and exponent form, and every digit count in between.
    switch = []
    for k in range(-8, 20):
        for y in ulp_neighbours(float(f"1e{k}"), 40):
            switch += [bits_of(y), bits_of(-y)]
        for m in (1.5, 9.99, 9.999999999999999, 9.9999999999999999):
            x = float(f"{m}e{k}")
            switch += [bits_of(x), bits_of(-x)]
    groups["positional/exponent switch"] = switch

    # Every power of ten a double comes near, where the scaling is exact or rounded.
    groups["powers of ten"] = [
        bits_of(y) for k in range(-323, 309) for y in ulp_neighbours(float(f"1e{k}"), 2)
    ]

    # Whole numbers near powers of ten and two, as floats.
    whole = []
    for k in range(0, 24):
        for d in range(-5, 6):
            whole += [bits_of(float(10**k + d)), bits_of(float(-(10**k) - d))]
    for k in range(0, 70):
        for d in range(-5, 6):
            whole.append(bits_of(float(2**k + d)))
    groups["whole numbers"] = whole

    total = sum(len(v) for v in groups.values())
    groups["random bit patterns"] += [rng.getrandbits(64) for _ in range(max(0, 1_000_000 - total))]
    return groups


def int_mix(rng):
    groups = {}
    groups["edges"] = [0, 1, -1, INT64_MIN, INT64_MAX, INT64_MIN + 1, INT64_MAX - 1]
    groups["int64 limits"] = list(range(INT64_MIN, INT64_MIN + 2000)) + list(
        range(INT64_MAX - 1999, INT64_MAX + 1)
    )
    near = []
    for k in range(0, 19):
        for d in range(-20, 21):
            near += [10**k + d, -(10**k) - d]
    for k in range(0, 64):
        for d in range(-20, 21):
            near += [2**k + d, -(2**k) - d]
    groups["near powers of ten and two"] = [v for v in near if INT64_MIN <= v <= INT64_MAX]
    # Uniform in the bit length, so short and long numbers are equally common.
    groups["random magnitudes"] = [
        rng.getrandbits(rng.randint(1, 63)) * rng.choice((1, -1)) for _ in range(200_000)
    ]
    groups["random int64"] = [rng.getrandbits(64) + INT64_MIN for _ in range(20_000)]
    return groups


def run_program(lines):
    res = subprocess.run(
        [str(PROGRAM)], input="".join(lines).encode("ascii"), capture_output=True, timeout=60
    )
    assert res.returncode == 0, res.stderr.decode(errors="replace")
    return res.stdout.decode("ascii").split("\n")[:-1]


def compare(groups, to_line, to_text):
    labels, values = [], []
    for label, vals in groups.items():
        labels += [label] * len(vals)
        values += vals
    got = run_program([to_line(v) for v in values])
    assert len(got) == len(values)
    mismatches = [
        (labels[i], v, want, got[i])
        for i, v in enumerate(values)
        if got[i] != (want := to_text(v))
    ]
    assert not mismatches, f"{len(mismatches)} mismatches, first ones: {mismatches[:20]}"
    return len(values)


def test_float_text_matches_str():
    groups = float_mix(random.Random(20260608))
    n = compare(
        groups,
        lambda b: f"d{b:016x}\n",
        lambda b: str(from_bits(b)),
    )
    assert n >= 1_000_000


def test_int_text_matches_str():
    groups = int_mix(random.Random(8675309))
    n = compare(groups, lambda v: f"i{v}\n", str)
    assert n >= 200_000


def test_powers_of_ten_leading_bits():
    # Both ways of number text scale by this table: every entry against exact arithmetic.
    powers = range(-342, 327)
    got = run_program([f"p{p}\n" for p in powers])
    for p, line in zip(powers, got, strict=True):
        # The table's binary exponent: floor(log2(10**p)), found exactly.
        e = p + (5**p).bit_length() - 1 if p >= 0 else p - (5**-p).bit_length()
        if p >= 0:
            want = 10**p << (127 - e) if e <= 127 else 10**p >> (e - 127)
        else:
            want = (1 << (127 - e)) // 10**-p
        assert int(line, 16) == want, p


def test_program_rejects_malformed_input():
    # Guards the comparison itself: a silently skipped line would shift every later one.
    res = subprocess.run([str(PROGRAM)], input=b"d123\n", capture_output=True, timeout=10)
    assert res.returncode != 0
    assert b"bad double bits" in res.stderr
