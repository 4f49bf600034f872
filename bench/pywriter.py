"""Our TOML layout written in plain Python: the baseline the native encoder replaces."""

from __future__ import annotations

import re
from typing import Any

BARE_KEY = re.compile(r"[A-Za-z0-9_-]+\Z")
ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f",
           "\r": "\\r"}
ESCAPE_TABLE = {c: ESCAPES.get(chr(c), f"\\u{c:04X}") for c in [*range(0x20), 0x22, 0x5C, 0x7F]}


def quoted(s: str, escape: bool) -> str:
    return '"' + (s.translate(ESCAPE_TABLE) if escape else s) + '"'


def key(k: str, escape: bool) -> str:
    return k if BARE_KEY.match(k) else quoted(k, escape)


def value(v: Any, escape: bool) -> str:
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, (int, float)):
        return str(v)
    if isinstance(v, str):
        return quoted(v, escape)
    if isinstance(v, (list, tuple)):
        return "[ " + ", ".join(value(x, escape) for x in v) + " ]"
    if isinstance(v, dict):
        return inline_table(v, escape)
    return quoted(str(v), escape)


def inline_table(d: dict, escape: bool) -> str:
    return "{ " + ", ".join(f"{key(k, escape)} = {value(v, escape)}"
                            for k, v in d.items() if v is not None) + " }"


def column(c: tuple, escape: bool) -> str:
    name, type_, unique, comment, foreign_key, default, _, _, nullable, primary_key, auto = c
    parts = [f"name = {quoted(name, escape)}", f"type = {quoted(type_, escape)}"]
    if nullable:
        parts.append("nullable = true")
    if primary_key:
        parts.append("primary_key = true")
    if foreign_key is not None:
        parts.append(f"foreign_key = {quoted(foreign_key, escape)}")
    if unique:
        parts.append("unique = true")
    if auto:
        parts.append("autoincrement = true")
    if default is not None:
        parts.append(f"default = {value(default, escape)}")
    if comment is not None:
        parts.append(f"comment = {quoted(comment, escape)}")
    return "{ " + ", ".join(parts) + " }"


def dumps(doc: Any, escape_strings: bool = False) -> str:
    """The text encode_unified_data gives for `doc`, built with str operations."""
    version, schema_version, holder = doc.tuple_output
    names = list(holder.keys())
    e = escape_strings
    out = ["[header]\n", f"version = {quoted(version, e)}\n",
           f"schema_version = {quoted(schema_version, e)}\n",
           "tables = [" + ", ".join(quoted(n, e) for n in names) + "]\n"]
    for name in names:
        columns, records = holder.get(name).tuple_values()
        out.append(f"\n[tables.{key(name, e)}]\ncolumns = [\n")
        out.extend(f"    {column(c, e)},\n" for c in columns)
        out.append("]\nrecords = [\n")
        out.extend(f"    {inline_table(r, e)},\n" for r in records)
        out.append("]\n")
    return "".join(out)
