"""Floors for the benchmark: the cost of a document's objects alone, and of walking a document
and copying its output alone (bench/floor.cpp, compiled here on first use into build/bench,
never part of the package).

    read_floor(tape)            the objects of the parsed document, from tape(parsed)
    write_floor(plain, output)  a str equal to `output`, copied piece by piece in a walk
"""

from __future__ import annotations

import importlib.util
import os
import struct
import subprocess
import sys
import sysconfig
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(os.path.dirname(HERE), "build", "bench")


def _module():
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    path = os.path.join(OUT, f"_floor{suffix}")
    source = os.path.join(HERE, "floor.cpp")
    if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(source):
        os.makedirs(OUT, exist_ok=True)
        subprocess.run([os.environ.get("CXX", "c++"), "-std=c++20", "-O2", "-shared", "-fPIC",
                        f"-I{sysconfig.get_paths()['include']}", source, "-o", path],
                       check=True)
    spec = importlib.util.spec_from_file_location("_floor", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_floor = _module()


def _units(s: str) -> bytes:
    width = 1 if s.isascii() or max(map(ord, s)) < 0x100 else (
        2 if max(map(ord, s)) < 0x10000 else 4)
    data = s.encode({1: "latin-1", 2: "utf-16-le", 4: "utf-32-le"}[width], "surrogatepass")
    return struct.pack("<BII", width, max(map(ord, s), default=0), len(s)) + data


def tape(obj: Any) -> bytes:
    """The compact form of a parsed document: items tagged by type, keys given once."""
    out: list[bytes] = []
    keys: dict[str, int] = {}

    def put(v: Any) -> None:
        if v is None:
            out.append(b"n")
        elif v is True or v is False:
            out.append(b"t" if v else b"f")
        elif isinstance(v, int):
            out.append(b"i" + struct.pack("<q", v))
        elif isinstance(v, float):
            out.append(b"d" + struct.pack("<d", v))
        elif isinstance(v, str):
            out.append(b"s" + _units(v))
        elif isinstance(v, list):
            out.append(b"l" + struct.pack("<I", len(v)))
            for item in v:
                put(item)
        elif isinstance(v, dict):
            out.append(b"m" + struct.pack("<I", len(v)))
            for k, item in v.items():
                if k in keys:
                    out.append(b"k" + struct.pack("<I", keys[k]))
                else:
                    keys[k] = len(keys)
                    out.append(b"K" + _units(k))
                put(item)
        else:
            raise TypeError(f"no tape form for {type(v).__name__}")

    put(obj)
    return b"".join(out)


def read_floor(data: bytes) -> Any:
    return _floor.objects(data)


def _leaves(obj: Any) -> int:
    if isinstance(obj, dict):
        return sum(map(_leaves, obj.values()))
    if isinstance(obj, list):
        return sum(map(_leaves, obj))
    return 1


def pieces(plain: dict, output: str) -> tuple:
    """write_floor's arguments: `output` cut into as many pieces as `plain` has values, each
    in the units of the result."""
    top = max(map(ord, output), default=0)
    width = 1 if top < 0x100 else 2 if top < 0x10000 else 4
    codec = {1: "latin-1", 2: "utf-16-le", 4: "utf-32-le"}[width]
    n = _leaves(plain)
    cuts = [len(output) * i // n for i in range(n + 1)]
    parts = tuple(output[a:b].encode(codec, "surrogatepass") for a, b in zip(cuts, cuts[1:]))
    return plain, parts, len(output), top


def write_floor(plain: dict, parts: tuple, length: int, top: int) -> str:
    return _floor.write(plain, parts, length, top)
