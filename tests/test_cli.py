"""The command line: input sources, outputs, the check, and errors without tracebacks."""

import io
import json
import subprocess
import sys
import tomllib

import pytest

from wrenfold.datastore.cli import main
from wrenfold.datastore.example import EXAMPLE


def run(*argv, stdin=""):
    out, err = io.StringIO(), io.StringIO()
    status = main(list(argv), stdin=io.StringIO(stdin), stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def document(comment="plain"):
    return {"version": "1", "schema_version": "2", "tables": {"notes": {
        "columns": [{"name": "text", "type": "TEXT", "comment": comment}],
        "records": [{"text": comment}]}}}


def test_builtin_example_to_stdout_reads_back():
    status, out, err = run("--check")
    assert status == 0 and err == ""
    data = tomllib.loads(out.removesuffix("check: the TOML reads back as the same document\n"))
    assert data["header"]["tables"] == list(EXAMPLE["tables"])
    assert data["tables"]["users"]["records"][1] == {"id": 2, "name": "Zoë Ångström", "active": False}


def test_json_file_to_output_file(tmp_path):
    source = tmp_path / "doc.json"
    source.write_text(json.dumps(document()), encoding="utf-8")
    target = tmp_path / "doc.toml"
    status, out, err = run(str(source), "-o", str(target), "--check")
    assert (status, err) == (0, "")
    assert out == "check: the TOML reads back as the same document\n"
    assert tomllib.loads(target.read_text(encoding="utf-8"))["tables"]["notes"]["records"] == [{"text": "plain"}]
    status, out, _ = run(str(source), "-o", str(target), "--print")
    assert status == 0 and out == target.read_text(encoding="utf-8")


def test_stdin_and_escaping():
    tricky = 'say "hi"\\'
    status, out, err = run("-", "--check", stdin=json.dumps(document(tricky)))
    assert status == 1 and "does not parse" in err
    status, out, err = run("-", "--check", "--escape-strings", stdin=json.dumps(document(tricky)))
    assert (status, err) == (0, "")


def test_describe_shows_the_holder_and_round_trip():
    status, out, _ = run("--describe")
    assert status == 0
    assert "holder: TablesHolder of ['users', 'orders']" in out
    assert "gives an equal document: True" in out


@pytest.mark.parametrize("stdin, message", [
    ("{not json", "standard input is not valid JSON"),
    (json.dumps({"version": 1}), "the document is not valid"),
])
def test_bad_input_exits_2_with_a_message(stdin, message):
    status, out, err = run("-", stdin=stdin)
    assert status == 2 and out == "" and message in err and "Traceback" not in err


def test_missing_input_file(tmp_path):
    status, _, err = run(str(tmp_path / "absent.json"))
    assert status == 2 and err.startswith("error: cannot read")


def test_unwritable_output_exits_1(tmp_path):
    status, _, err = run("-o", str(tmp_path / "no" / "such" / "dir.toml"))
    assert status == 1 and "cannot write" in err


def test_text_without_utf8_form_cannot_be_saved():
    status, _, err = run("-", stdin=json.dumps(document("\ud800")))
    assert status == 1 and "cannot be saved as TOML" in err


def test_module_entry_point_help():
    result = subprocess.run([sys.executable, "-m", "wrenfold.datastore", "--help"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "--escape-strings" in result.stdout
