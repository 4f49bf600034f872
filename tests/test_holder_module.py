"""Initialisation and native exports of the holder module."""

import importlib
import subprocess
import sys
import types

import pytest

from support.native import exec_definition, VTable, capsule_name, capsule_pointer, read_ssize
from wrenfold.datastore.tables import ledgerbox
from wrenfold.datastore.tables.ledgerbox import TablesHolder

MODULE = "wrenfold.datastore.tables.ledgerbox"


def run_python(code: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


def test_exported_constants_are_capsules_of_their_addresses():
    capi = ledgerbox.__pyx_capi__
    assert list(capi) == ["ONE", "TWO", "ZERO"]
    assert {capsule_name(c) for c in capi.values()} == {"Py_ssize_t"}
    assert read_ssize(capi["ZERO"]) == 0
    # Three variables, three distinct addresses.
    assert len({capsule_pointer(c) for c in capi.values()}) == 3


def test_method_table_is_published_in_the_type_dict():
    capsule = TablesHolder.__dict__["__pyx_vtable__"]
    assert capsule_name(capsule) is None
    vt = VTable(capsule)
    h = TablesHolder({"a": None})
    assert vt._size(h) == 1
    assert vt.get_root(h) is h.as_dict()


def test_module_and_type_metadata():
    assert ledgerbox.__doc__ == "A holder for tables in the unified data format."
    assert TablesHolder.__doc__ == "TablesHolder(holder=None)"
    assert TablesHolder.__module__ == MODULE
    assert TablesHolder.__qualname__ == "TablesHolder"
    for name in ("TYPE_CHECKING", "GetCoreSchemaHandler", "core_schema", "lazy", "freeze", "TableData"):
        assert hasattr(ledgerbox, name), name
    assert ledgerbox.TYPE_CHECKING is False
    from pydantic_core import core_schema
    from rimecast.frozen import freeze

    assert ledgerbox.core_schema is core_schema
    assert ledgerbox.freeze is freeze
    # The imported names stay attributes, but a star import takes the type alone.
    assert ledgerbox.__all__ == ["TablesHolder"]
    namespace = {}
    exec(f"from {MODULE} import *", namespace)
    assert set(namespace) - {"__builtins__"} == {"TablesHolder"}


def test_importing_again_gives_the_same_module_object():
    del sys.modules[MODULE]
    try:
        again = importlib.import_module(MODULE)
    finally:
        sys.modules[MODULE] = ledgerbox
    assert again is ledgerbox


def test_reinitialising_another_module_object_is_refused():
    with pytest.raises(RuntimeError, match=r"^Module 'ledgerbox' has already been imported\. "
                       r"Re-initialisation is not supported\.$"):
        exec_definition(ledgerbox, types.ModuleType("impostor"))
    # The module that was initialised may be executed again: nothing happens.
    assert exec_definition(ledgerbox, ledgerbox) == 0


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    for kind, message in [
        ("legacy", "Interpreter change detected - this module can only be loaded into one "
                   "interpreter per process."),
        ("isolated", "does not support loading in subinterpreters"),
    ]:
        interp = interpreters.create(interpreters.new_config(kind))
        try:
            failure = interpreters.exec(interp, f"import {MODULE}")
        finally:
            interpreters.destroy(interp)
        assert failure is not None and failure.type.__name__ == "ImportError", kind
        assert message in failure.msg


def test_table_data_is_bound_without_importing_the_data_module():
    result = run_python(
        "import sys\n"
        f"import {MODULE} as m\n"
        "print('wrenfold.datastore.tables.data' in sys.modules)\n"
        "print(m.TableData.model_validate({'columns': [], 'records': []}).__class__.__module__)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "wrenfold.datastore.tables.data"]


def test_failed_import_reports_and_can_be_retried():
    result = run_python(
        "import sys, traceback\n"
        "sys.modules['rimecast.frozen'] = None\n"
        "try:\n"
        f"    import {MODULE}\n"
        "except ImportError as e:\n"
        "    print('failed', any(f.name == 'init " + MODULE + "' for f in traceback.extract_tb(e.__traceback__)))\n"
        "del sys.modules['rimecast.frozen']\n"
        f"from {MODULE} import TablesHolder\n"
        "print(len(TablesHolder({'a': None})))\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["failed", "True", "1"]
