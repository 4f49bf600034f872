"""The command line as a Unix tool: data on stdout, one-line messages on stderr, exit statuses.

Most cases run `python -m wrenfold.datastore` in a child process, so that the real streams,
signals and exit statuses are what is checked.
"""

import fcntl
import io
import json
import math
import os
import signal
import struct
import subprocess
import sys
import termios
import time
import tomllib

import pytest

from wrenfold.datastore import cli
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data
from wrenfold.datastore.example import EXAMPLE
from wrenfold.datastore.json_form import document_from_json


def pipe_holds(stream) -> int:
    """Bytes written into a pipe and not yet read from it."""
    return struct.unpack("i", fcntl.ioctl(stream, termios.FIONREAD, b"\0\0\0\0"))[0]


PROG = "python -m wrenfold.datastore: "


def run(*argv, stdin=b"", **kwargs):
    return subprocess.run([sys.executable, "-m", "wrenfold.datastore", *map(str, argv)],
                          input=stdin, capture_output=True, timeout=120, **kwargs)


def run_with_closed(fd, *argv):
    """Runs the command with descriptor `fd` closed, as `cmd <&-` or `cmd >&-` would."""
    script = f'exec "$@" {fd}>&-' if fd else 'exec "$@" <&-'
    return subprocess.run(["/bin/sh", "-c", script, "sh", sys.executable, "-m",
                           "wrenfold.datastore", *argv], capture_output=True, timeout=120)


def document(text="plain", **table):
    table.setdefault("columns", [{"name": "text", "type": "TEXT"}])
    table.setdefault("records", [{"text": text}])
    return {"version": "1", "schema_version": "2", "tables": {"notes": table}}


def as_json(doc):
    return json.dumps(doc).encode()


def message(result):
    """The one line the command wrote on stderr, without the program's prefix."""
    err = result.stderr.decode()
    assert err.count("\n") == 1 and err.startswith(PROG) and "Traceback" not in err, err
    return err[len(PROG):-1]


class TestSaving:
    def test_builtin_example_by_default(self):
        result = run()
        assert (result.returncode, result.stderr) == (0, b"")
        data = tomllib.loads(result.stdout.decode())
        assert data["header"]["tables"] == list(EXAMPLE["tables"])
        assert data["tables"]["users"]["records"][1] == {"id": 2, "name": "Zoë Ångström",
                                                         "active": False}

    def test_standard_input_and_a_file_give_the_same_toml(self, tmp_path):
        source = tmp_path / "doc.json"
        source.write_bytes(as_json(EXAMPLE))
        from_file, from_stdin = run(source), run("-", stdin=as_json(EXAMPLE))
        assert from_file.returncode == from_stdin.returncode == 0
        assert from_file.stdout == from_stdin.stdout == run().stdout

    def test_output_file_and_print(self, tmp_path):
        target = tmp_path / "doc.toml"
        result = run("-", "-o", target, stdin=as_json(document()))
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
        saved = target.read_bytes()
        assert tomllib.loads(saved.decode())["tables"]["notes"]["records"] == [{"text": "plain"}]
        result = run("-", "-o", target, "--print", stdin=as_json(document()))
        assert result.returncode == 0 and result.stdout == saved == target.read_bytes()

    def test_strings_are_escaped_unless_raw(self):
        tricky = as_json(document('say "hi"\\\n\x01'))
        escaped = run("-", "--check", stdin=tricky)
        assert escaped.returncode == 0
        assert message(escaped) == "check: the TOML reads back as the same document"
        assert escaped.stdout == b""  # --check alone writes no data
        assert run("-", "--escape-strings", stdin=tricky).stdout == run("-", stdin=tricky).stdout
        raw = run("-", "--raw", stdin=tricky)
        assert (raw.returncode, raw.stdout) == (2, b"")
        assert "which raw TOML cannot carry" in message(raw)
        both = run("-", "--raw", "--escape-strings", stdin=tricky)
        assert both.returncode == 2 and b"not allowed with" in both.stderr

    def test_check_accepts_nan_and_infinities(self):
        doc = document(columns=[{"name": "x", "type": "REAL", "default": math.nan}],
                       records=[{"x": math.nan}, {"x": -math.inf}])
        result = run("-", "--check", stdin=as_json(doc))
        assert (result.returncode, result.stdout) == (0, b""), result.stderr
        assert tomllib.loads(run("-", stdin=as_json(doc)).stdout.decode())["tables"]["notes"]["records"][1] == {
            "x": -math.inf}

    def test_describe_goes_to_stderr(self):
        result = run("--describe")
        assert result.returncode == 0 and result.stdout == run().stdout
        err = result.stderr.decode()
        assert "holder: TablesHolder of ['users', 'orders']" in err
        assert "gives an equal document: True" in err

    def test_one_encoding_per_run(self, tmp_path, monkeypatch):
        calls = []

        def counted(function):
            def wrapper(*args, **kwargs):
                calls.append(function.__name__)
                return function(*args, **kwargs)
            return wrapper

        monkeypatch.setattr(cli, "encode_unified_data", counted(cli.encode_unified_data))
        out, err = io.BytesIO(), io.StringIO()
        target = tmp_path / "doc.toml"
        dropped = document(columns=[{"name": "text", "type": "TEXT", "ondelete": "CASCADE"}])
        status = cli.main(["-", "-o", str(target), "--print", "--check"], stdout=out, stderr=err,
                          stdin=io.BytesIO(as_json(dropped)))
        assert status == 1 and calls == ["encode_unified_data"]
        assert not target.exists() and out.getvalue() == b""
        assert err.getvalue() == f"{PROG}check: the TOML does not carry notes.columns[0].ondelete\n"
        status = cli.main(["-", "-o", str(target), "--print", "--check"], stdout=out, stderr=err,
                          stdin=io.BytesIO(as_json(document())))
        assert status == 0 and calls == ["encode_unified_data"] * 2
        assert out.getvalue() == target.read_bytes()
        calls.clear()
        assert cli.main([], stdout=io.BytesIO(), stderr=err) == 0
        assert calls == ["encode_unified_data"]


HUGE_NUMBER = b'{"version": "1", "schema_version": "1", "tables": {"t": {"records": [{"n": ' + \
    b"9" * 5000 + b"}]}}}"
DEEP = b"[" * 200_000 + b"]" * 200_000


BAD_INPUT_IDS = ["not-json", "toml-as-json", "not-utf8", "huge-number", "deep-nesting", "array", "table-not-object",
                 "tables-not-object", "invalid-field", "record-not-object", "lone-surrogate"]


class TestBadInput:
    @pytest.mark.parametrize("stdin, expected", [
        (b"{not json", "standard input is not valid JSON: Expecting property name"),
        (b"[header]\n", "standard input is not valid JSON: Expecting value: line 1 column 2 "
                        "(char 1); for TOML, add --from toml"),
        (b"\xff\xfe\xfa", "standard input is not valid JSON: not UTF-8 text"),
        (HUGE_NUMBER, "standard input is not valid JSON: a number has more than 4300 digits"),
        (DEEP, "standard input is not valid JSON: nested deeper than"),
        (b"[]", "standard input is not a document: expected an object, found an array"),
        (as_json({"version": "1", "schema_version": "1", "tables": {"t": 5}}),
         "standard input is not a document: tables.t: expected a table object, found a number"),
        (as_json({"version": "1", "schema_version": "1", "tables": [{}]}),
         "standard input is not a document: tables: expected an object of tables"),
        (as_json({"version": 1, "schema_version": "1"}),
         "standard input is not a document: version: Input should be a valid string"),
        (as_json(document(records=[5])),
         "standard input is not a document: tables.notes.records.0: Input should be a valid"),
        (as_json(document("\ud800")), "standard input cannot be saved as TOML: 'utf-8' codec can't "
         "encode character '\\ud800' in position 0: surrogates not allowed (when encoding table "
         "'notes', record 0, field 'text')"),
    ], ids=BAD_INPUT_IDS)
    def test_exits_2_with_one_line(self, stdin, expected):
        result = run("-", stdin=stdin)
        assert result.returncode == 2 and result.stdout == b""
        assert message(result).startswith("error: " + expected)

    def test_missing_file_closed_stdin_and_bad_usage(self, tmp_path):
        missing = run(tmp_path / "absent.json")
        assert missing.returncode == 2
        assert message(missing) == f"error: cannot read {tmp_path / 'absent.json'}: No such file or directory"
        closed = run_with_closed(0, "-")
        assert closed.returncode == 2
        assert message(closed) == "error: cannot read standard input: it is closed"
        usage = run("--no-such-option")
        assert usage.returncode == 2 and b"unrecognized arguments" in usage.stderr

    def test_unreadable_standard_input(self):
        with open(os.devnull, "wb") as write_only:
            result = subprocess.run([sys.executable, "-m", "wrenfold.datastore", "-"],
                                    stdin=write_only, capture_output=True, timeout=120)
        assert result.returncode == 2
        assert message(result) == "error: cannot read standard input: Bad file descriptor"


class TestOutputFailures:
    def test_closed_stdout(self):
        result = run_with_closed(1)
        assert result.returncode == 3
        assert message(result) == "error: cannot write to standard output: it is closed"

    def test_full_device_as_stdout_and_as_output_file(self):
        with open("/dev/full", "wb") as full:
            result = subprocess.run([sys.executable, "-m", "wrenfold.datastore"], stdout=full,
                                    stderr=subprocess.PIPE, timeout=120)
        assert result.returncode == 3  # not 120: the failed flush is not retried at exit
        assert result.stderr.decode() == f"{PROG}error: cannot write to standard output: No space left on device\n"
        result = run("-o", "/dev/full")
        assert result.returncode == 3 and message(result).startswith("error: cannot write /dev/full")

    @pytest.mark.parametrize("source", [[], ["--from", "toml", "-"]], ids=["to-toml", "to-json"])
    @pytest.mark.parametrize(("name", "status"), [
        ("no/such/dir.toml", 3), ("nul\0.toml", 3), ("\ud800.toml", 3),
        ("\udcff.toml", 0)])  # os.fsdecode's escape of the byte 0xff: a name like any other
    def test_output_names(self, tmp_path, source, name, status):
        stdin, err = io.BytesIO(encode_unified_data(document_from_json(EXAMPLE)).encode()), io.StringIO()
        assert cli.main([*source, "-o", str(tmp_path / name)], stdin=stdin, stdout=io.BytesIO(),
                        stderr=err) == status
        assert err.getvalue().startswith(f"{PROG}error: cannot write " if status else "")
        assert os.listdir(tmp_path) == ([os.fsdecode(b"\xff.toml")] if status == 0 else [])

    @pytest.mark.parametrize(("argv", "status"), [
        (["--print"], 2), (["x.toml", "--raw"], 2), (["-o", "-", "--print"], 0),
        (["--version"], 0)])
    def test_usage(self, argv, status):
        result = run(*argv)
        assert result.returncode == status, result.stderr
        assert (result.stdout.startswith(b"[header]") or b"wrenfold.datastore 0" in result.stdout
                or status == 2)

    def test_closed_pipe_ends_quietly_with_sigpipe(self):
        records = [{"text": f"record {i} " + "x" * 100} for i in range(20_000)]
        with subprocess.Popen([sys.executable, "-m", "wrenfold.datastore", "-"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as child:
            child.stdin.write(as_json(document(records=records)))
            child.stdin.close()
            assert child.stdout.read(8) == b"[header]"
            child.stdout.close()  # like `| head -1`, long before the output ends
            assert child.wait(timeout=120) == -signal.SIGPIPE  # the shell's 141
            assert child.stderr.read() == b""

    def test_ctrl_c_ends_by_sigint_without_a_traceback(self):
        # Waiting on standard input that never comes, as a user at a terminal would see it.
        with subprocess.Popen([sys.executable, "-m", "wrenfold.datastore", "-"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as child:
            child.stdin.write(b'{"version": ')
            child.stdin.flush()
            # Past the imports, into the read: once the child has taken what is in the pipe.
            # A fixed pause is not enough where the imports are slow (an emulator).
            deadline = time.monotonic() + 120
            while pipe_holds(child.stdin) and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(0.2)
            child.send_signal(signal.SIGINT)
            assert child.wait(timeout=120) == -signal.SIGINT  # the shell's 130
            assert child.stdout.read() == b"" and child.stderr.read() == b""


class TestCheckComparison:
    def test_first_difference_names_the_path_and_takes_nan_as_equal(self):
        from wrenfold.datastore.check import first_difference

        assert first_difference({"a": [1.0, math.nan]}, {"a": [1.0, math.nan]}) is None
        assert first_difference({"a": [{"b": 1}]}, {"a": [{"b": True}]}) == "a[0].b"
        assert first_difference({"a": [1]}, {"a": [1, 2]}) == "a"
        assert first_difference({"a": 1}, {"b": 1}) == "(top)"

    def test_check_reports_where_the_toml_differs(self, monkeypatch):
        # An encoder that loses a record field must be caught by --check.
        real = cli.encode_unified_data
        monkeypatch.setattr(cli, "encode_unified_data",
                            lambda doc, **kw: real(doc, **kw).replace("Grace", "Grice"))
        err = io.StringIO()
        doc = io.BytesIO(as_json(document("Grace")))
        assert cli.main(["-", "--check"], stdin=doc, stdout=io.BytesIO(), stderr=err) == 1
        assert err.getvalue() == (f"{PROG}check: the TOML reads back with different data at "
                                  f"tables.notes.records[0].text\n")


def test_help_lists_the_options_and_statuses():
    result = run("--help")
    assert result.returncode == 0 and result.stderr == b""
    text = result.stdout.decode()
    for option in ("--raw", "--escape-strings", "--from", "--check", "-o OUTPUT"):
        assert option in text
    assert "3 when the output" in " ".join(text.split())

