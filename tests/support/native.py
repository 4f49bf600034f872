"""ctypes access to the native contract of the holder module, for tests.

Lets a test call any entry of TablesHolder's C-level method table exactly as another native
module would, and read exported C variables through their capsules.
"""

from __future__ import annotations

import ctypes
from typing import Any

from wrenfold.datastore.tables.ledgerbox import TablesHolder

_api = ctypes.pythonapi
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_GetName.restype = ctypes.c_char_p
_api.PyCapsule_GetName.argtypes = [ctypes.py_object]
_api.PyModule_GetDef.restype = ctypes.c_void_p
_api.PyModule_GetDef.argtypes = [ctypes.py_object]
_api.PyModule_ExecDef.restype = ctypes.c_int
_api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]


def exec_definition(module: Any, target: Any) -> int:
    """Runs the execute step of `module`'s definition on the module object `target`."""
    return _api.PyModule_ExecDef(target, _api.PyModule_GetDef(module))


def capsule_pointer(capsule: Any) -> int:
    """The pointer a capsule carries, checked against the capsule's own name."""
    return _api.PyCapsule_GetPointer(capsule, _api.PyCapsule_GetName(capsule))


def capsule_name(capsule: Any) -> str | None:
    name = _api.PyCapsule_GetName(capsule)
    return None if name is None else name.decode()


def read_ssize(capsule: Any) -> int:
    return ctypes.c_ssize_t.from_address(capsule_pointer(capsule)).value


class ModelDumpOptions(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int), ("exclude_none", ctypes.c_int)]


_obj = ctypes.py_object
_int = ctypes.c_int
_opt = ctypes.POINTER(ModelDumpOptions)

# Entries in slot order: (name, result type, argument types after self). None means void.
ENTRIES: list[tuple[str, Any, list[Any]]] = [
    ("get_root", _obj, []),
    ("set_root", None, [_obj]),
    ("ingest_dict", None, [_obj]),
    ("as_dict", _obj, [_int]),
    ("replace_dict", None, [_obj, _int]),
    ("_size", ctypes.c_ssize_t, []),
    ("_empty", _int, []),
    ("_set", None, [_obj, _obj]),
    ("_contains", _int, [_obj]),
    ("_keys", _obj, []),
    ("_values", _obj, []),
    ("_items", _obj, []),
    ("_hash", _int, []),
    ("_model_dump", _obj, [_opt]),
    ("contains", _int, [_obj, _int]),
    ("set", None, [_obj, _obj, _int]),
    ("add", None, [_obj, _obj, _int]),
    ("get", _obj, [_obj, _int]),
    ("remove", None, [_obj, _int]),
    ("clear", None, [_int]),
    ("iterate", _obj, [_int]),
    ("keys", _obj, [_int]),
    ("values", _obj, [_int]),
    ("items", _obj, [_int]),
    ("model_dump", _obj, [_int, _opt]),
    ("is_tables_holder", _int, [_int]),
]


class VTable:
    """The method table published in the type's ``__pyx_vtable__`` capsule.

    Calls raise the pending Python exception, as a native caller would find it.
    """

    def __init__(self, capsule: Any = None) -> None:
        if capsule is None:
            capsule = TablesHolder.__dict__["__pyx_vtable__"]
        self.address = capsule_pointer(capsule)
        slots = (ctypes.c_void_p * len(ENTRIES)).from_address(self.address)
        for index, (name, restype, argtypes) in enumerate(ENTRIES):
            prototype = ctypes.PYFUNCTYPE(restype, _obj, *argtypes)
            setattr(self, name, prototype(slots[index]))


def options(exclude_none: bool) -> Any:
    """A pointer to an optional-argument record that supplies `exclude_none`."""
    return ctypes.pointer(ModelDumpOptions(1, int(exclude_none)))
