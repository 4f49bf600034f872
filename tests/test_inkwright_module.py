"""The encoder module: exported tokens, entry points, argument checks and initialisation."""

import ctypes
import importlib
import subprocess
import sys
import types
from pathlib import Path

import pytest

from support.inkwright_docs import Doc, worked_example, WORKED_EXAMPLE_TOML
from support.native import exec_definition, capsule_name, capsule_pointer
from wrenfold.datastore.adapter.toml import inkwright
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data

MODULE = "wrenfold.datastore.adapter.toml.inkwright"

TOKENS = [
    "B_AUTOINCREMENT", "B_CLOSE_BRACE", "B_CLOSE_BRACKET", "B_COLUMNS_EQ", "B_COMMA",
    "B_COMMA_SPACE", "B_COMMENT", "B_COUNT_EQ", "B_DEFAULT", "B_EQUALS", "B_FALSE",
    "B_FOREIGN_KEY", "B_HEADER_SECTION", "B_INDENT", "B_NAME", "B_NEWLINE", "B_NULL",
    "B_NULLABLE", "B_OPEN_BRACE", "B_OPEN_BRACKET", "B_PRIMARY_KEY", "B_QUOTE", "B_RECORDS_EQ",
    "B_SCHEMA_VERSION_EQ", "B_SPACE", "B_TABLES_DOT", "B_TABLES_EQ", "B_TRUE", "B_TYPE",
    "B_UNIQUE", "B_VERSION_EQ",
]


def read_token(name: str) -> bytes:
    """Reads a token as another native module would: through the variable's address."""
    return ctypes.c_char_p.from_address(capsule_pointer(inkwright.__pyx_capi__[name])).value


class TestExports:
    def test_capi_holds_exactly_the_tokens_in_ascending_order(self):
        assert list(inkwright.__pyx_capi__) == TOKENS
        assert {capsule_name(c) for c in inkwright.__pyx_capi__.values()} == {"char const *"}

    def test_header_section_through_its_capsule(self):
        assert read_token("B_HEADER_SECTION") == b"[header]\n"

    def test_module_attributes(self):
        public = [n for n in vars(inkwright) if not n.startswith("_")]
        assert public == ["write_unified_data", "encode_unified_data"]
        assert inkwright.__doc__.startswith("Fast encoder of UnifiedDataFormat into TOML.")

    def test_docstrings(self):
        assert encode_unified_data.__doc__ == (
            "encode_unified_data(data, bool escape_strings=False) -> str\n\n"
            "Encode UnifiedDataFormat to TOML string.\n\nArgs:\n"
            "    data: UnifiedDataFormat instance\n\nReturns:\n"
            "    Complete TOML document as string"
        )
        assert write_unified_data.__doc__ == (
            "write_unified_data(data, str filepath, bool escape_strings=False) -> void\n\n"
            "Write UnifiedDataFormat directly to file - the fast path.\n\nArgs:\n"
            "    data: UnifiedDataFormat instance\n"
            "    filepath: Path to write the TOML file"
        )


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Unread:
    """A document that must not be read."""

    @property
    def tuple_output(self):
        raise AssertionError("the document was read")


class TestArguments:
    @pytest.mark.parametrize(("args", "kwargs", "message"), [
        ((), {}, "encode_unified_data() takes at least 1 positional argument (0 given)"),
        ((1, 2, 3), {}, "encode_unified_data() takes at most 2 positional arguments (3 given)"),
        ((1,), {"bogus": 1}, "encode_unified_data() got an unexpected keyword argument 'bogus'"),
        ((1,), {"data": 1}, "encode_unified_data() got multiple values for keyword argument 'data'"),
        ((), {"escape_strings": True},
         "encode_unified_data() takes at least 1 positional argument (0 given)"),
    ])
    def test_encode_messages(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            encode_unified_data(*args, **kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize(("args", "kwargs", "message"), [
        ((1,), {}, "write_unified_data() takes at least 2 positional arguments (1 given)"),
        ((1, "p", 2, 3), {}, "write_unified_data() takes at most 3 positional arguments (4 given)"),
        ((1, "p"), {"path": "x"}, "write_unified_data() got an unexpected keyword argument 'path'"),
        ((1, "p"), {"filepath": "x"},
         "write_unified_data() got multiple values for keyword argument 'filepath'"),
        ((Unread(), Path("out.toml")), {},
         "Argument 'filepath' has incorrect type (expected str, got PosixPath)"),
        ((Unread(), b"out.toml"), {},
         "Argument 'filepath' has incorrect type (expected str, got bytes)"),
    ])
    def test_write_messages(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            write_unified_data(*args, **kwargs)
        assert str(info.value) == message

    def test_str_subclass_filepath_is_refused_with_a_note(self):
        class P(str):
            pass

        with pytest.raises(TypeError, match=r"expected str, got P\)") as info:
            write_unified_data(Unread(), P("x"))
        assert any("Subclasses" in note for note in info.value.__notes__)

    def test_escape_flag_is_tested_before_filepath(self):
        with pytest.raises(ZeroDivisionError):
            write_unified_data(Unread(), Path("x"), Truth(ZeroDivisionError()))

    def test_keywords_in_any_order(self, tmp_path):
        target = tmp_path / "k.toml"
        write_unified_data(escape_strings=True, filepath=str(target), data=worked_example())
        assert target.read_text() == encode_unified_data(escape_strings=1, data=worked_example())

    @pytest.mark.parametrize(("flag", "escaped"), [
        (False, False), (None, False), (0, False), ("", False), (Truth(False), False),
        (True, True), (1, True), ("no", True), ([0], True), (Truth(True), True),
    ])
    def test_escape_strings_by_truth_value(self, flag, escaped):
        doc = Doc({"t": type("T", (), {"tuple_values": lambda s: ((), ({"v": "\t"},))})()})
        text = encode_unified_data(doc, escape_strings=flag)
        assert ("{ v = \"\\t\" }" in text) is escaped
        assert text == encode_unified_data(doc, flag)

    def test_default_is_raw(self):
        doc = worked_example()
        assert encode_unified_data(doc) == encode_unified_data(doc, escape_strings=False)
        assert encode_unified_data(doc) == WORKED_EXAMPLE_TOML

    def test_failing_truth_test_propagates(self):
        with pytest.raises(ZeroDivisionError):
            encode_unified_data(Unread(), Truth(ZeroDivisionError()))

    def test_traceback_names_the_path_taken(self):
        doc = Doc({"t": type("T", (), {"tuple_values": lambda s: ((), ({"v": ["\ud800"]},))})()})
        with pytest.raises(UnicodeEncodeError) as info:
            encode_unified_data(doc)
        prefix = MODULE + "."
        names = [e.name.removeprefix(prefix) for e in info.traceback if e.name.startswith(prefix)]
        assert names == [
            "encode_unified_data", "_encode_unified_data_impl", "_encode_to_buffer",
            "_table_to_buf", "_inline_table_to_buf", "_value_to_buf", "_array_to_buf",
            "_value_to_buf", "_escaped_quoted_value", "buf_write_str"]

    def test_snapshot_failures_name_the_snapshot_functions(self):
        class Ambiguous:
            def __bool__(self):
                raise ArithmeticError

        col = ("n", "T", Ambiguous()) + (None,) * 8
        doc = Doc({"t": type("T", (), {"tuple_values": lambda s: ((col,), ())})()})
        with pytest.raises(ArithmeticError) as info:
            encode_unified_data(doc)
        names = [e.name for e in info.traceback if e.name.startswith("wrenfold.")]
        assert names[-4:] == ["wrenfold.datastore.c_unified_data." + n for n in
                         ["dump_model", "dump_table", "dump_column", "get_bint_value"]]


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)


class TestInitialisation:
    def test_importing_again_gives_the_same_module_object(self):
        del sys.modules[MODULE]
        try:
            again = importlib.import_module(MODULE)
        finally:
            sys.modules[MODULE] = inkwright
        assert again is inkwright

    def test_reinitialising_another_module_object_is_refused(self):
        with pytest.raises(RuntimeError, match=r"^Module 'inkwright' has already been imported\. "
                           r"Re-initialisation is not supported\.$"):
            exec_definition(inkwright, types.ModuleType("impostor"))
        assert exec_definition(inkwright, inkwright) == 0

    def test_second_interpreter_is_refused(self):
        interpreters = pytest.importorskip("_interpreters")
        interp = interpreters.create(interpreters.new_config("legacy"))
        try:
            failure = interpreters.exec(interp, f"import {MODULE}")
        finally:
            interpreters.destroy(interp)
        assert failure is not None and failure.type.__name__ == "ImportError"
        assert ("Interpreter change detected - this module can only be loaded into one "
                "interpreter per process.") in failure.msg

    # Each case breaks one thing that initialisation relies on, in a fresh interpreter,
    # then repairs it and imports again.
    @pytest.mark.parametrize(("breakage", "error"), [
        ("lb.TablesHolder = 5",
         "TypeError: wrenfold.datastore.tables.ledgerbox.TablesHolder is not a type object"),
        ("lb.TablesHolder = int",
         "ValueError: wrenfold.datastore.tables.ledgerbox.TablesHolder size changed, may "
         "indicate binary incompatibility. Expected 40 from C header, got 24 from PyObject"),
        ("lb.TablesHolder = type('Sub', (lb.TablesHolder,), {})", "KeyError: '__pyx_vtable__'"),
        ("lb.TablesHolder = type('Sub', (lb.TablesHolder,), {'__pyx_vtable__': 5})",
         "RuntimeError: invalid vtable found for imported type"),
        ("del lb.__pyx_capi__['TWO']",
         "ImportError: wrenfold.datastore.tables.ledgerbox does not export expected C "
         "variable TWO"),
        ("cud.__pyx_capi__['ZERO'] = lb.__pyx_capi__['ZERO']",
         "TypeError: C variable wrenfold.datastore.c_unified_data.ZERO has wrong signature "
         "(expected Py_ssize_t const , got Py_ssize_t)"),
        ("lb.__pyx_capi__['ONE'] = cud.__pyx_capi__['ONE']",
         "TypeError: C variable wrenfold.datastore.tables.ledgerbox.ONE has wrong signature "
         "(expected Py_ssize_t, got Py_ssize_t const )"),
    ])
    def test_failures_abort_the_import_and_a_repaired_retry_works(self, breakage, error):
        result = run_python(f"""
import traceback
import wrenfold.datastore.tables.ledgerbox as lb
import wrenfold.datastore.c_unified_data as cud
saved = (lb.TablesHolder, dict(lb.__pyx_capi__), dict(cud.__pyx_capi__))
{breakage}
try:
    import {MODULE}
except BaseException as exc:
    lines = traceback.format_exception(exc)
    print(lines[-1].strip())
    print(any("init {MODULE}" in line for line in lines))
lb.TablesHolder = saved[0]
lb.__pyx_capi__.update(saved[1])
cud.__pyx_capi__.update(saved[2])
import {MODULE} as ink
print(ink.encode_unified_data(type("D", (), {{"tuple_output": ("1", "2", lb.TablesHolder())}})()))
""")
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[:2] == [error, "True"]
        assert lines[2:] == ['[header]', 'version = "1"', 'schema_version = "2"', 'tables = []', '']

    def test_larger_holder_record_warns_and_carries_on(self):
        result = run_python(f"""
import warnings
import wrenfold.datastore.tables.ledgerbox as lb
real = lb.TablesHolder
lb.TablesHolder = type('Sub', (real,), {{'__slots__': ('extra',),
                                         '__pyx_vtable__': real.__dict__['__pyx_vtable__']}})
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import {MODULE}
print(caught[0].category.__name__, caught[0].message)
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout == (
            "RuntimeWarning wrenfold.datastore.tables.ledgerbox.TablesHolder size changed, may "
            "indicate binary incompatibility. Expected 40 from C header, got 48 from PyObject\n")

    def test_importing_does_not_need_the_data_models(self):
        result = run_python(f"""
import sys
import {MODULE}
print(sorted(m for m in sys.modules if m.startswith("wrenfold.datastore.")
             and m.rsplit(".", 1)[-1] in ("data", "unified")))
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "[]"
