"""python -m wrenfold.datastore: save a unified data document as TOML, or read one back as JSON.

A JSON document (the shape `UnifiedDataFormat` validates) is saved as TOML with the native
encoder; a TOML document is read with the native reader and written as the same JSON. Data
goes to standard output or to the file named by -o, messages to standard error.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import tomllib
from collections.abc import Callable
from typing import Any, BinaryIO, NoReturn, TextIO

import pydantic

from wrenfold.datastore.adapter.toml.inkwright import _write_file, encode_unified_data
import wrenfold
from wrenfold.datastore.check import check_saved_text, has_null_in_arrays
from wrenfold.datastore.example import EXAMPLE
from wrenfold.datastore.json_form import (NotADocument, document_from_json, document_to_json,
                                          first_error)
from wrenfold.datastore.outputs import write_all
from wrenfold.datastore.unified import UnifiedDataFormat

PROG = "python -m wrenfold.datastore"

# Exit statuses. 2 is argparse's own for a bad command line.
OK, CHECK_FAILED, BAD_INPUT, CANNOT_WRITE = 0, 1, 2, 3


class Failure(Exception):
    """Ends the run with `status` and a one-line message on standard error."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Save a unified data document given as JSON as TOML with the native "
                    "encoder, or read a TOML document back and write it as JSON.",
        epilog="Exit status: 0 on success, 1 when --check finds a difference, 2 for a bad "
               "command line or input that is not a document, 3 when the output cannot be "
               "written.")
    parser.add_argument("input", nargs="?",
                        help="the document: a JSON file, a .toml file, or '-' for standard "
                             "input (JSON unless --from toml); default: a built-in example")
    parser.add_argument("-o", "--output",
                        help="write to this file instead of standard output ('-': standard output)")
    parser.add_argument("--print", action="store_true", dest="echo",
                        help="also write to standard output what goes to the -o file")
    parser.add_argument("--from", choices=("json", "toml"), dest="source_format",
                        help="the input's format (default: toml for a .toml file, else json)")
    strings = parser.add_mutually_exclusive_group()
    strings.add_argument("--raw", action="store_true",
                         help="copy strings into the TOML unescaped: faster; a text holding a "
                              "quote, a backslash or a control character other than tab is "
                              "refused")
    strings.add_argument("--escape-strings", action="store_true",
                         help="escape strings in the TOML (the default; kept for old scripts)")
    parser.add_argument("--check", action="store_true",
                        help="JSON input: read the TOML back and compare, writing only what "
                             "passed; TOML input: validate it; the verdict goes to standard "
                             "error, data to standard output only with --print")
    parser.add_argument("--allow-nan", action="store_true",
                        help="TOML input: write nan and inf floats as JSON's NaN and Infinity, "
                             "which strict JSON readers refuse")
    parser.add_argument("--version", action="version",
                        version=f"%(prog)s {wrenfold.__version__}")
    parser.add_argument("--describe", action="store_true",
                        help="show the document, its tables holder and a pydantic round trip "
                             "on standard error")
    return parser


def describe(doc: UnifiedDataFormat) -> str:
    again = UnifiedDataFormat.model_validate(doc.model_dump())
    counts = ", ".join(f"{name} ({len(table.records)} records)" for name, table in doc.tables.items())
    return (f"document: version {doc.version}, schema {doc.schema_version}, "
            f"{len(doc.tables)} tables: {counts or 'none'}\n"
            f"holder: {type(doc.tables).__name__} of {doc.tables.keys()}, "
            f"empty={doc.tables.empty}\n"
            f"pydantic round trip (model_dump, then model_validate) gives an equal document: "
            f"{again == doc}")


# --- input ------------------------------------------------------------------------------------

def read_input(source: str, stdin: BinaryIO | None) -> bytes:
    if source == "-":
        if stdin is None:
            raise Failure("cannot read standard input: it is closed", BAD_INPUT)
        try:
            return stdin.read()
        except OSError as exc:
            raise Failure(f"cannot read standard input: {exc.strerror or exc}", BAD_INPUT) from None
    try:
        with open(source, "rb") as f:
            return f.read()
    except OSError as exc:
        raise Failure(f"cannot read {source}: {exc.strerror or exc}", BAD_INPUT) from None


def parse_json(data: bytes, name: str) -> Any:
    try:
        return json.loads(data)
    except json.JSONDecodeError as exc:
        reason = str(exc)
    except UnicodeDecodeError as exc:
        reason = f"not UTF-8 text ({exc.reason} at byte {exc.start})"
    except RecursionError:
        reason = "nested deeper than this interpreter can read"
    except ValueError:
        # The only other ValueError: an integer past the interpreter's digit limit.
        reason = f"a number has more than {sys.get_int_max_str_digits()} digits"
    hint = "; for TOML, add --from toml" if name == "standard input" else ""
    raise Failure(f"{name} is not valid JSON: {reason}{hint}", BAD_INPUT)


def one_line(exc: BaseException) -> str:
    if isinstance(exc, pydantic.ValidationError):
        return first_error(exc, prefix=f"{exc.title}: ")
    lines = str(exc).splitlines()
    line = lines[0] if lines else type(exc).__name__
    # The encoder names where the error arose in a note.
    notes = [note for note in getattr(exc, "__notes__", ()) if isinstance(note, str)]
    return f"{line} ({'; '.join(notes)})" if notes else line


def decode_toml(data: bytes, name: str) -> UnifiedDataFormat:
    # Imported here, so that saving never needs the reader. Bytes as read_unified_data reads
    # a file's: a byte that is no UTF-8 has its line and column too.
    from wrenfold.datastore.adapter.toml.documents import _decode_bytes

    try:
        return _decode_bytes(data)
    except tomllib.TOMLDecodeError as exc:
        # Before 3.14 the error has no position attributes; its message ends with them.
        if getattr(exc, "lineno", None) is not None:
            raise Failure(f"{name}:{exc.lineno}:{exc.colno}: {exc.msg}", BAD_INPUT) from None
        raise Failure(f"{name}: {exc}", BAD_INPUT) from None
    except (ValueError, TypeError, RecursionError) as exc:
        raise Failure(f"{name} is not a document: {one_line(exc)}", BAD_INPUT) from None


# --- output -----------------------------------------------------------------------------------

def write_stream(stream: BinaryIO | None, data: bytes) -> None:
    if stream is None:
        raise Failure("cannot write to standard output: it is closed", CANNOT_WRITE)
    try:
        write_all(stream, data)
    except OSError as exc:
        raise Failure(f"cannot write to standard output: {exc.strerror or exc}",
                      CANNOT_WRITE) from None


def write_file(path: str, data: bytes) -> None:
    """Saves `data` to `path` as write_unified_data saves a document: a file is replaced whole
    or not at all, keeping its owner, group, mode and hard links."""
    try:
        _write_file(data, path)
    except (OSError, UnicodeEncodeError, ValueError) as exc:
        # A name the system cannot take (a NUL, a lone surrogate) is the output's fault too.
        reason = os.strerror(exc.errno) if isinstance(exc, OSError) and exc.errno else exc
        raise Failure(f"cannot write {path}: {reason}", CANNOT_WRITE) from None


def save_toml(doc: UnifiedDataFormat, args: argparse.Namespace, name: str,
              stdout: BinaryIO | None, say: Callable[[str], None]) -> int:
    """Encodes the document once; with --check, checks it before anything is written."""
    escape = not args.raw
    try:
        text = encode_unified_data(doc, escape_strings=escape)
    except (TypeError, ValueError, RecursionError) as exc:
        raise Failure(f"{name} cannot be saved as TOML: {one_line(exc)}", BAD_INPUT) from None
    if has_null_in_arrays(doc):
        say("note: the TOML holds null inside an array, which only this package's reader reads")
    if args.check:
        problem = check_saved_text(text, doc)
        if problem is not None:
            say(f"check: {problem}")
            return CHECK_FAILED
        say("check: the TOML reads back as the same document")
    data = text.encode("utf-8")
    if args.output is not None:
        write_file(args.output, data)
    if args.echo or (args.output is None and not args.check):
        write_stream(stdout, data)
    return OK


# --- the two directions -----------------------------------------------------------------------

def json_to_toml(args: argparse.Namespace, stdin: BinaryIO | None, stdout: BinaryIO | None,
                 say: Callable[[str], None]) -> int:
    if args.input is None:
        name, data = "the built-in example", EXAMPLE
    else:
        name = "standard input" if args.input == "-" else args.input
        data = parse_json(read_input(args.input, stdin), name)
    try:
        doc = document_from_json(data)
    except NotADocument as exc:
        raise Failure(f"{name} is not a document: {exc}", BAD_INPUT) from None
    if args.describe:
        say(describe(doc))
    return save_toml(doc, args, name, stdout, say)


def toml_to_json(args: argparse.Namespace, stdin: BinaryIO | None, stdout: BinaryIO | None,
                 say: Callable[[str], None]) -> int:
    if args.input is None:
        raise Failure("reading TOML needs an input file or '-'", BAD_INPUT)
    name = "standard input" if args.input == "-" else args.input
    doc = decode_toml(read_input(args.input, stdin), name)
    if args.describe:
        say(describe(doc))
    # --check alone writes no JSON: nan and inf are a TOML document's right.
    if args.output is not None or args.echo or not args.check:
        try:
            data = document_to_json(doc, allow_nan=args.allow_nan)
        except ValueError:
            raise Failure(f"{name} holds nan or inf, which JSON has no form for; --allow-nan "
                          f"writes them as NaN and Infinity", BAD_INPUT) from None
        if args.output is None:
            write_stream(stdout, data)
        else:
            write_file(args.output, data)
            if args.echo:
                write_stream(stdout, data)
    if args.check:
        say(f"check: {name} is a valid document ({len(doc.tables)} tables)")
    return OK


def _binary(stream: TextIO | None) -> BinaryIO | None:
    return None if stream is None else stream.buffer


def main(argv: list[str] | None = None, stdin: BinaryIO | None = None,
         stdout: BinaryIO | None = None, stderr: TextIO | None = None) -> int:
    """Runs the command; returns its exit status. Streams default to the process's own (None
    where the process was started with one closed)."""
    stdin = stdin if stdin is not None else _binary(sys.stdin)
    stdout = stdout if stdout is not None else _binary(sys.stdout)
    err = stderr if stderr is not None else sys.stderr

    def say(message: str) -> None:
        if err is not None:
            try:
                print(f"{PROG}: {message}", file=err, flush=True)
            except OSError:
                pass

    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.output == "-":
            args.output = None
            args.echo = False
        elif args.echo and args.output is None:
            parser.error("--print needs -o FILE")
        source_format = args.source_format
        if source_format is None:
            is_toml = args.input not in (None, "-") and args.input.lower().endswith(".toml")
            source_format = "toml" if is_toml else "json"
        if args.raw and source_format == "toml":
            parser.error("--raw applies to saving TOML, not to reading it")
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else BAD_INPUT
    try:
        if source_format == "toml":
            return toml_to_json(args, stdin, stdout, say)
        return json_to_toml(args, stdin, stdout, say)
    except Failure as exc:
        say(f"error: {exc}")
        return exc.status


def run() -> NoReturn:
    """The process entry point."""
    # A closed pipe downstream (`... | head`) ends the process quietly, as for other tools.
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    try:
        status = main()
    except KeyboardInterrupt:
        # Ctrl-C: no traceback, and the shell sees the process end by SIGINT, so a loop
        # around the command stops too.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
        status = 128 + signal.SIGINT
    raise SystemExit(status)
