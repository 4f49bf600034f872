"""What the fuzzer's harness (fuzz_reader.cpp) calls with every input.

The bytes go to `load` and, when they are UTF-8, their text to `loads`. A reader may give a
value or raise ValueError (TOMLDecodeError and UnicodeDecodeError among them), RecursionError
or MemoryError; anything else escapes to the harness, which aborts. With WRENFOLD_FUZZ_COMPARE
set, the outcome must also match the TOML 1.1 reference reader's, as in the differential tests.
"""

from __future__ import annotations

import io
import os

from reader_check import compare_bytes, reader

COMPARE = bool(os.environ.get("WRENFOLD_FUZZ_COMPARE"))
# Imports the native module now, so that libFuzzer counts its code from the first input.
reader.loads("")


def check(data: bytes) -> None:
    if COMPARE:
        compare_bytes(data)
        return
    try:
        reader.load(io.BytesIO(data))
    except (ValueError, RecursionError, MemoryError):
        pass
    try:
        text = data.decode()
    except UnicodeDecodeError:
        return
    try:
        reader.loads(text)
    except (ValueError, RecursionError, MemoryError):
        pass
