"""The command line reading TOML: the document written back as the JSON it accepts.

The runs go through `cli.main` with in-memory streams, against the native reader exposed by
`wrenfold.datastore.adapter.toml`.
"""

import errno
import io
import json
import math
import os
import re
import resource
import signal
import subprocess
import sys

import pytest

from support.privileged import in_child
from wrenfold.datastore import cli
from wrenfold.datastore.example import EXAMPLE
from wrenfold.datastore.unified import UnifiedDataFormat

PROG = "python -m wrenfold.datastore: "

def main(*argv, stdin=b""):
    out, err = io.BytesIO(), io.StringIO()
    status = cli.main(list(map(str, argv)), stdin=io.BytesIO(stdin), stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def normalised(value):
    """A JSON document as it reads back from TOML: None dropped at any depth, and the column
    fields the layout does not write back to their defaults."""
    if isinstance(value, dict):
        return {k: normalised(v) for k, v in value.items()
                if v is not None and k not in ("ondelete", "onupdate")}
    if isinstance(value, list):
        return [normalised(v) for v in value]
    return value


def same(a, b):
    """Equality in which NaN equals NaN."""
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(map(same, a, b))
    return type(a) is type(b) and a == b


TRICKY = {"version": "1", "schema_version": "é", "tables": {
    "odd name": {"columns": [{"name": "v", "type": "REAL", "default": math.nan, "unique": True}],
                 "records": [{"v": math.inf, "s": 'quote " backslash \\ tab \t', "n": None},
                             {"v": -0.0, "s": "日本語 \x7f", "list": [1, [2], {"a": None}]}]},
    "empty": {}}}
# None in a list is written `null`, which the document reader reads back as None.
NULL_IN_LIST = {"version": "1", "schema_version": "1", "tables": {"t": {
    "records": [{"list": [None, 1, [None]]}]}}}


@pytest.mark.parametrize("doc", [EXAMPLE, TRICKY, NULL_IN_LIST],
                         ids=["example", "tricky", "null-in-list"])
def test_json_to_toml_to_json_gives_back_the_document(doc):
    status, toml_text, err = main("-", stdin=json.dumps(doc).encode())
    assert status == 0
    # Only a None in a list is written, as null (not TOML); None in a table is left out.
    assert err == (f"{PROG}note: the TOML holds null inside an array, which only this package's reader reads\n" if doc is NULL_IN_LIST else "")
    status, json_text, err = main("--from", "toml", "-", "--allow-nan", stdin=toml_text)
    assert (status, err) == (0, "")
    back = json.loads(json_text)
    expected = UnifiedDataFormat.model_validate(normalised(doc))
    assert same(back["tables"], {name: {
        "columns": [c.model_dump(exclude_defaults=True) for c in table.columns],
        "records": table.records} for name, table in expected.tables.items()})
    assert list(back["tables"]) == list(doc["tables"])
    # What it writes, it reads: the JSON saves as the same TOML again.
    assert main("-", stdin=json_text)[1] == toml_text


def test_toml_file_to_json_file(tmp_path):
    source = tmp_path / "db.TOML"
    source.write_bytes(main()[1])
    target = tmp_path / "db.json"
    status, out, err = main(source, "-o", target, "--check")
    assert (status, out) == (0, b"")
    assert err == f"{PROG}check: {source} is a valid document (2 tables)\n"
    status, printed, _ = main(source, "-o", target, "--print")
    assert status == 0 and printed == target.read_bytes()
    assert json.loads(printed)["tables"]["users"]["columns"][0] == {
        "name": "id", "type": "INTEGER", "primary_key": True, "autoincrement": True}


def test_dates_and_times_become_iso_text():
    text = b'''[header]
version = "1"
schema_version = "1"
tables = ["t"]

[tables.t]
columns = []
records = [
    { at = 1979-05-27T07:32:00Z, day = 1979-05-27, time = 07:32:00.5 },
]
'''
    status, out, _ = main("--from", "toml", "-", stdin=text)
    assert status == 0
    assert json.loads(out)["tables"]["t"]["records"] == [
        {"at": "1979-05-27T07:32:00+00:00", "day": "1979-05-27", "time": "07:32:00.500000"}]


class TestBadToml:
    def test_invalid_toml_names_line_and_column(self, tmp_path):
        source = tmp_path / "bad.toml"
        source.write_bytes(b'[header]\nversion = "1"\nschema_version = \n')
        for argv in ([source], [source, "--check"]):
            status, out, err = main(*argv)
            assert status == 2 and out == b""
            # Before 3.14 the position is part of tomllib's message instead.
            assert re.fullmatch(rf"{PROG}error: {re.escape(str(source))}"
                                r"(:3:\d+: .+|: .+\(at line 3, column \d+\))\n", err), err

    HEAD = b'[header]\nversion = "1"\nschema_version = "1"\ntables = ["t"]\n\n[tables.t]\n'

    @pytest.mark.parametrize("stdin, expected", [
        (HEAD + b"\xff\xfe", "standard input:7:1: Invalid UTF-8 (invalid start byte)"
                          if sys.version_info >= (3, 14) else
                          "standard input: Invalid UTF-8 (invalid start byte) (at line 7, column 1)"),
        (HEAD + b"columns = 5\n", "standard input is not a document: table 't' (line 7, "
                                  "column 1) does not validate: columns: Input should be a"),
        (HEAD + b"recrods = []\n", "standard input is not a document: unknown key 'recrods' in "
                                   "table 't' (line 7, column 1); it holds only columns, records"),
        (HEAD + b"records = [{ x = -inf }]\n", "standard input holds nan or inf, which JSON has "
                                               "no form for; --allow-nan writes them"),
    ], ids=["not-utf8", "table-does-not-validate", "unknown-key", "nan"])
    def test_not_a_document(self, stdin, expected):
        status, out, err = main("--from", "toml", "-", stdin=stdin)
        assert status == 2 and out == b""
        assert err.startswith(f"{PROG}error: {expected}") and err.count("\n") == 1, err

    def test_nan_and_inf_are_refused_only_when_json_is_written(self, tmp_path):
        stdin = self.HEAD + b"records = [{ x = -inf, y = nan }]\n"
        assert main("--from", "toml", "-", "--check", stdin=stdin) == (
            0, b"", f"{PROG}check: standard input is a valid document (1 tables)\n")
        target = tmp_path / "db.json"
        status, _, err = main("--from", "toml", "-", "--check", "-o", target, stdin=stdin)
        assert status == 2 and "--allow-nan" in err and not target.exists()

    def test_reading_toml_needs_an_input(self):
        assert main("--from", "toml")[0::2] == (2, f"{PROG}error: reading TOML needs an input "
                                                   f"file or '-'\n")


class TestJsonOutputFile:
    @pytest.mark.forks
    def test_failed_write_leaves_the_old_file(self, tmp_path):
        target = tmp_path / "db.json"
        target.write_text("old")
        target.chmod(0o640)
        toml_text = main()[1]

        def under_a_file_size_limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (2, 2))
            return main("--from", "toml", "-", "-o", target, stdin=toml_text)[0::2]

        assert in_child(under_a_file_size_limit) == (
            3, f"{PROG}error: cannot write {target}: {os.strerror(errno.EFBIG)}\n")
        assert target.read_text() == "old" and os.listdir(tmp_path) == ["db.json"]
        assert main("--from", "toml", "-", "-o", target, stdin=toml_text)[0] == 0
        assert json.loads(target.read_text())["version"] == "1.0"
        assert target.stat().st_mode & 0o777 == 0o640

    def test_a_link_keeps_pointing_at_the_replaced_file(self, tmp_path):
        real, link = tmp_path / "real.json", tmp_path / "link.json"
        real.write_text("old")
        link.symlink_to(real)
        assert main("--from", "toml", "-", "-o", link, stdin=main()[1])[0] == 0
        assert link.is_symlink() and json.loads(real.read_text())["schema_version"] == "3"

    def test_full_device(self):
        status, _, err = main("--from", "toml", "-", "-o", "/dev/full", stdin=main()[1])
        assert status == 3 and err == f"{PROG}error: cannot write /dev/full: No space left on device\n"


def test_real_streams_with_the_native_reader(tmp_path):
    source = tmp_path / "db.toml"
    source.write_bytes(main()[1])
    result = subprocess.run([sys.executable, "-m", "wrenfold.datastore", str(source)],
                            capture_output=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, b"")
    assert json.loads(result.stdout)["tables"]["orders"]["records"][1]["total"] == 1e-05
