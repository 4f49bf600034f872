"""Save a unified data document as TOML with the native encoder.

The document is read as JSON (the shape `UnifiedDataFormat` validates) from a file or standard
input; without input, a built-in example is saved.
"""

from __future__ import annotations

import argparse
import json
import sys
import tomllib
from typing import Any, TextIO

import pydantic

from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data
from wrenfold.datastore.example import EXAMPLE
from wrenfold.datastore.unified import UnifiedDataFormat


class UserError(Exception):
    """A problem with the user's input or paths: reported as a message, no traceback."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


def expected_toml_data(doc: UnifiedDataFormat) -> dict[str, Any]:
    """What a TOML reader should find in the saved document.

    The layout leaves out what TOML cannot hold or what is implied: None values of records and
    column fields, false column flags, and the unused `ondelete` and `onupdate`.
    """
    names = doc.tables.keys()
    tables = {}
    for name, table in doc.tables.items():
        columns = []
        for column in table.columns:
            entry: dict[str, Any] = {"name": column.name, "type": column.type}
            for flag in ("nullable", "primary_key"):
                if getattr(column, flag):
                    entry[flag] = True
            if column.foreign_key is not None:
                entry["foreign_key"] = column.foreign_key
            for flag in ("unique", "autoincrement"):
                if getattr(column, flag):
                    entry[flag] = True
            if column.default is not None:
                entry["default"] = _without_none(column.default)
            if column.comment is not None:
                entry["comment"] = column.comment
            columns.append(entry)
        records = [_without_none(record) for record in table.records]
        tables[name] = {"columns": columns, "records": records}
    header = {"version": doc.version, "schema_version": doc.schema_version, "tables": names}
    return {"header": header, "tables": tables} if tables else {"header": header}


def _without_none(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _without_none(v) for k, v in value.items() if v is not None}
    if isinstance(value, (list, tuple)):
        return [_without_none(v) for v in value]
    return value


def check(text: str, doc: UnifiedDataFormat) -> str | None:
    """None when `text` reads back as `doc`, otherwise why not."""
    try:
        parsed = tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        return f"the TOML does not parse: {exc}"
    if parsed != expected_toml_data(doc):
        return "the TOML parses, but to different data"
    return None


def load_document(source: str | None, stdin: TextIO) -> UnifiedDataFormat:
    if source is None:
        data: Any = EXAMPLE
    else:
        try:
            if source == "-":
                data = json.load(stdin)
            else:
                with open(source, encoding="utf-8") as f:
                    data = json.load(f)
        except OSError as exc:
            raise UserError(f"cannot read {source}: {exc.strerror or exc}") from None
        except (json.JSONDecodeError, UnicodeDecodeError) as exc:
            name = "standard input" if source == "-" else source
            raise UserError(f"{name} is not valid JSON: {exc}") from None
    try:
        return UnifiedDataFormat.model_validate(data)
    except pydantic.ValidationError as exc:
        lines = [f"  {'.'.join(map(str, e['loc'])) or '(document)'}: {e['msg']}" for e in exc.errors()]
        raise UserError("the document is not valid:\n" + "\n".join(lines)) from None


def describe(doc: UnifiedDataFormat) -> str:
    again = UnifiedDataFormat.model_validate(doc.model_dump())
    counts = ", ".join(f"{name} ({len(table.records)} records)" for name, table in doc.tables.items())
    return (f"document: version {doc.version}, schema {doc.schema_version}, "
            f"{len(doc.tables)} tables: {counts or 'none'}\n"
            f"holder: {type(doc.tables).__name__} of {doc.tables.keys()}, "
            f"empty={doc.tables.empty}\n"
            f"pydantic round trip (model_dump, then model_validate) gives an equal document: "
            f"{again == doc}")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m wrenfold.datastore",
        description="Save a unified data document as TOML with the native encoder.",
        epilog="Without -o the TOML goes to standard output. Exit status: 0 on success, "
               "1 when writing fails or --check finds a difference, 2 for bad input.")
    parser.add_argument("input", nargs="?",
                        help="JSON document to save ('-' for standard input); "
                             "default: a built-in example")
    parser.add_argument("-o", "--output", help="write the TOML to this file")
    parser.add_argument("--print", action="store_true", dest="echo",
                        help="also print the TOML when writing it to a file")
    parser.add_argument("--escape-strings", action="store_true",
                        help="escape strings as TOML basic strings (quotes, backslashes, "
                             "control characters); without it strings are written raw")
    parser.add_argument("--check", action="store_true",
                        help="read the TOML back with tomllib and report whether it matches")
    parser.add_argument("--describe", action="store_true",
                        help="first show the document, its tables holder and a pydantic round trip")
    return parser


def main(argv: list[str] | None = None, stdin: TextIO = sys.stdin, stdout: TextIO = sys.stdout,
         stderr: TextIO = sys.stderr) -> int:
    args = build_parser().parse_args(argv)
    try:
        doc = load_document(args.input, stdin)
        if args.describe:
            print(describe(doc), file=stdout)
        text = encode_unified_data(doc, escape_strings=args.escape_strings)
        if args.output is not None:
            try:
                write_unified_data(doc, args.output, escape_strings=args.escape_strings)
            except (OSError, ValueError) as exc:
                raise UserError(f"cannot write {args.output}: {exc}", status=1) from None
            if args.echo:
                stdout.write(text)
        else:
            stdout.write(text)
    except UserError as exc:
        print(f"error: {exc}", file=stderr)
        return exc.status
    except (TypeError, ValueError, RecursionError) as exc:
        print(f"error: the document cannot be saved as TOML: {exc}", file=stderr)
        return 1
    if args.check:
        problem = check(text, doc)
        if problem is not None:
            stdout.flush()
            print(f"check: {problem}", file=stderr)
            return 1
        print("check: the TOML reads back as the same document", file=stdout)
    return 0
