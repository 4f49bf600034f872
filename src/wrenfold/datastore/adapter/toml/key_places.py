"""Where a key of a parsed TOML document is written: the line and column that introduce it.

The native reader keeps no positions, and a document's errors are rare: when one names a key,
this scans the text once more for its place. Only the structure is followed (table headers,
arrays of tables, dotted keys, inline tables, arrays, and strings so as to skip them); values
are not read. A path is keys and array indices, as in the parsed document.
"""

from __future__ import annotations

import re
from collections.abc import Iterator

from wrenfold.datastore.adapter.toml.inkreader import loads

__all__ = ["key_place"]

Path = tuple[str | int, ...]

_BARE = re.compile(r"[A-Za-z0-9_-]+")
_BLANK = re.compile(r"(?:[ \t\r\n]|#[^\n]*)*")  # blank space, line ends and comments
_SPACE = re.compile(r"[ \t]*")
_STRING = re.compile(r'"""(?:[^\\]|\\.)*?"""(?!")|\'\'\'.*?\'\'\'(?!\')|"(?:[^"\\\n]|\\.)*"'
                     r"|'[^'\n]*'", re.DOTALL)
_SCALAR = re.compile(r"[^,\]}#\n]*")


def key_place(text: str, path: Path) -> tuple[int, int] | None:
    """The 1-based line and column of the key (or array item) that introduces `path` in the
    TOML `text`; where the text has no such key, that of the nearest one around it (for a
    missing key, its section); None when not even the first part of `path` is there."""
    depth, place = 0, None
    for found, pos in _Scanner(text).keys():
        if len(found) > depth and path[:len(found)] == found:
            depth, place = len(found), pos
            if depth == len(path):
                break
    if place is None:
        return None
    return text.count("\n", 0, place) + 1, place - text.rfind("\n", 0, place)


class _Scanner:
    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 0
        self.arrays: dict[Path, int] = {}  # array of tables -> index of its last table

    def skip(self, pattern: re.Pattern[str]) -> None:
        self.pos = pattern.match(self.text, self.pos).end()  # type: ignore[union-attr]

    def keys(self) -> Iterator[tuple[Path, int]]:
        table: Path = ()
        while True:
            self.skip(_BLANK)
            if self.pos >= len(self.text):
                return
            if self.text[self.pos] != "[":
                yield from self.key_value(table)
                continue
            many = self.text.startswith("[[", self.pos)
            self.pos += 2 if many else 1
            table = ()
            for name, pos in self.dotted_key():
                table += (name,)
                yield table, pos
                if table in self.arrays and not (many and self.text[self.pos] == "]"):
                    table += (self.arrays[table],)
            if many:
                self.arrays[table] = self.arrays.get(table, -1) + 1
                table += (self.arrays[table],)
                yield table, pos
            self.pos += 2 if many else 1

    def dotted_key(self) -> Iterator[tuple[str, int]]:
        """The parts of a key with their places; leaves the scanner past the key's space."""
        while True:
            self.skip(_SPACE)
            start = self.pos
            match = _BARE.match(self.text, start) or _STRING.match(self.text, start)
            if match is None:  # not TOML the reader took: a fault of this scanner
                raise ValueError(f"no key at offset {start} of the TOML text")
            self.pos = match.end()
            part = match.group()
            if part[0] == '"' and "\\" in part:
                part = loads(f"k = {part}")["k"]
            elif part[0] in "\"'":
                part = part[1:-1]
            self.skip(_SPACE)
            yield part, start
            if self.text[self.pos] != ".":
                return
            self.pos += 1

    def key_value(self, table: Path) -> Iterator[tuple[Path, int]]:
        path = table
        for name, pos in self.dotted_key():
            path += (name,)
            yield path, pos
        self.pos += 1  # the "="
        yield from self.value(path)

    def value(self, path: Path) -> Iterator[tuple[Path, int]]:
        self.skip(_SPACE)
        first = self.text[self.pos]
        if first in "\"'":
            self.skip(_STRING)
        elif first in "{[":
            # Inline tables hold keys, arrays values; both end at their bracket, with commas
            # between and, where allowed, line ends and comments.
            close, index = "}" if first == "{" else "]", 0
            self.pos += 1
            self.skip(_BLANK)
            while self.text[self.pos] != close:
                if first == "{":
                    yield from self.key_value(path)
                else:
                    yield path + (index,), self.pos
                    yield from self.value(path + (index,))
                    index += 1
                self.skip(_BLANK)
                if self.text[self.pos] == ",":
                    self.pos += 1
                    self.skip(_BLANK)
            self.pos += 1
        else:
            self.skip(_SCALAR)
