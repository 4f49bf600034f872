"""python -m wrenfold.datastore: save a unified data document as TOML.

A JSON document (the shape `UnifiedDataFormat` validates) is saved as TOML with the native
encoder. Data goes to standard output or to the file named by -o, messages to standard error.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import signal
import stat
import sys
from collections.abc import Callable
from typing import Any, BinaryIO, NoReturn, TextIO

from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data
from wrenfold.datastore.check import check_saved_text
from wrenfold.datastore.example import EXAMPLE
from wrenfold.datastore.json_form import NotADocument, document_from_json
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
                    "encoder.",
        epilog="Exit status: 0 on success, 1 when --check finds a difference, 2 for a bad "
               "command line or input that is not a document, 3 when the output cannot be "
               "written.")
    parser.add_argument("input", nargs="?",
                        help="the JSON document: a file, or '-' for standard input; "
                             "default: a built-in example")
    parser.add_argument("-o", "--output", help="write to this file instead of standard output")
    parser.add_argument("--print", action="store_true", dest="echo",
                        help="also write to standard output what goes to the -o file")
    strings = parser.add_mutually_exclusive_group()
    strings.add_argument("--raw", action="store_true",
                         help="copy strings into the TOML unescaped: faster, but only valid "
                              "when no text holds a quote, a backslash or a control character")
    strings.add_argument("--escape-strings", action="store_true",
                         help="escape strings in the TOML (the default; kept for old scripts)")
    parser.add_argument("--check", action="store_true",
                        help="read the TOML back with tomllib and compare; the result goes "
                             "to standard error")
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
    raise Failure(f"{name} is not valid JSON: {reason}", BAD_INPUT)


def one_line(exc: BaseException) -> str:
    lines = str(exc).splitlines()
    return lines[0] if lines else type(exc).__name__


# --- output -----------------------------------------------------------------------------------

def _drop_unwritten(stream: BinaryIO) -> None:
    """Points the stream's descriptor at /dev/null, so that the interpreter's last flush of
    what could not be written does not fail again (and turn the exit status into 120)."""
    try:
        fd = stream.fileno()
    except (OSError, ValueError, io.UnsupportedOperation):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, fd)
    finally:
        os.close(null)


def write_stream(stream: BinaryIO | None, data: bytes) -> None:
    if stream is None:
        raise Failure("cannot write to standard output: it is closed", CANNOT_WRITE)
    try:
        stream.write(data)
        stream.flush()
    except OSError as exc:
        _drop_unwritten(stream)
        raise Failure(f"cannot write to standard output: {exc.strerror or exc}",
                      CANNOT_WRITE) from None


def is_regular_or_new(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return True


def save_toml(doc: UnifiedDataFormat, args: argparse.Namespace, name: str,
              stdout: BinaryIO | None) -> str | None:
    """Encodes the document once and writes it where asked; returns the text when the run
    needs it again (--print, --check)."""
    escape = not args.raw
    try:
        if args.output is None:
            text = encode_unified_data(doc, escape_strings=escape)
            write_stream(stdout, text.encode("utf-8"))
            return text
        wanted = args.echo or args.check
        if wanted and not is_regular_or_new(args.output):
            raise Failure(f"--print and --check read the TOML back from {args.output}, which "
                          f"is not a regular file", BAD_INPUT)
        try:
            write_unified_data(doc, args.output, escape_strings=escape)
        except OSError as exc:
            raise Failure(f"cannot write {args.output}: {exc.strerror or exc}",
                          CANNOT_WRITE) from None
    except (TypeError, ValueError, RecursionError) as exc:
        raise Failure(f"{name} cannot be saved as TOML: {one_line(exc)}", BAD_INPUT) from None
    if not wanted:
        return None
    try:
        with open(args.output, "rb") as f:
            text = f.read().decode("utf-8")
    except OSError as exc:
        raise Failure(f"cannot read back {args.output}: {exc.strerror or exc}",
                      CANNOT_WRITE) from None
    if args.echo:
        write_stream(stdout, text.encode("utf-8"))
    return text


# --- the run ---------------------------------------------------------------------------------

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
    text = save_toml(doc, args, name, stdout)
    if args.check:
        assert text is not None
        problem = check_saved_text(text, doc)
        if problem is not None:
            say(f"check: {problem}")
            return CHECK_FAILED
        say("check: the TOML reads back as the same document")
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

    try:
        args = build_parser().parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else BAD_INPUT
    try:
        return json_to_toml(args, stdin, stdout, say)
    except Failure as exc:
        say(f"error: {exc}")
        return exc.status


def run() -> NoReturn:
    """The process entry point."""
    # A closed pipe downstream (`... | head`) ends the process quietly, as for other tools.
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    raise SystemExit(main())
