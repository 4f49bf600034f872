"""What the fuzzer's harness (fuzz_reader.cpp) calls with every input.

The bytes go to `load` and their text to `loads` (bytes that are not UTF-8 as lone
surrogates), each read twice: with the vector loops and with the scalar ones, which must give
the same value or the same error. A reader may give a value or raise ValueError
(TOMLDecodeError, UnicodeDecodeError and UnicodeEncodeError among them), RecursionError or
MemoryError; anything else escapes to the harness, which aborts. With WRENFOLD_FUZZ_COMPARE
set, the outcome must also match the TOML 1.1 reference reader's, as in the differential tests.
"""

from __future__ import annotations

import io
import os

from support.reader_check import compare_bytes, reader, tagged
from wrenfold.datastore.adapter.toml import inkreader

COMPARE = bool(os.environ.get("WRENFOLD_FUZZ_COMPARE"))
# Imports the native module now, so that libFuzzer counts its code from the first input.
reader.loads("")


def both_paths(call) -> None:
    outcomes = []
    for scalar in (False, True):
        inkreader._scalar_text(scalar)
        try:
            outcomes.append(("value", tagged(call())))
        except MemoryError:
            return
        except (ValueError, RecursionError) as exc:
            outcomes.append(("raises", type(exc), str(exc)))
        finally:
            inkreader._scalar_text(False)
    if outcomes[0] != outcomes[1]:
        raise AssertionError(f"the vector and the scalar loops differ: {outcomes!r}")


def check(data: bytes) -> None:
    if COMPARE:
        compare_bytes(data)
        return
    both_paths(lambda: reader.load(io.BytesIO(data)))
    text = data.decode(errors="surrogateescape")
    both_paths(lambda: reader.loads(text))
