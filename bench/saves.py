"""The saves compared: write_unified_data against the same steps done in Python, with and without
the flushes that make a save durable, and the parts a save by rename is made of.

Each entry makes, from a bench.docs.Document, the call that is timed, writing into the
document's folder on the disk of the current folder. Raw mode, as the library's default, on the
raw-safe document, but for the save of the file-reading table, which writes what the readers
read.
"""

from __future__ import annotations

import os
from typing import Any, Callable

from bench.docs import ONCE_DOCS, Document
from bench.harness import Spec

Call = Callable[[], Any]


def _ours(escape: bool) -> Callable[[Document], Call]:
    def make(doc: Document) -> Call:
        from wrenfold.datastore.adapter.toml.inkwright import write_unified_data

        model, target = doc.model, os.path.join(doc.folder, "db.toml")
        return lambda: write_unified_data(model, target, escape)
    return make


def _python(flush: bool) -> Callable[[Document], Call]:
    """Encode, write a temporary file, rename it over the target; flushed: the file before the
    rename and the folder after it, as write_unified_data does."""
    def make(doc: Document) -> Call:
        from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data

        model, folder = doc.model, doc.folder
        target = os.path.join(folder, "db.toml")
        temp = target + ".tmp"

        def save() -> None:
            data = encode_unified_data(model).encode()
            with open(temp, "wb") as f:
                f.write(data)
                if flush:
                    os.fsync(f.fileno())
            os.replace(temp, target)
            if flush:
                fd = os.open(folder, os.O_RDONLY)
                try:
                    os.fsync(fd)
                finally:
                    os.close(fd)
        return save
    return make


def _write_fsync(doc: Document) -> Call:
    """One os.write and one fsync of the encoded bytes, made here, untimed, to a new file."""
    from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data

    data = encode_unified_data(doc.model).encode()
    path = os.path.join(doc.folder, "plain")

    def write() -> None:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        try:
            os.write(fd, data)
            os.fsync(fd)
        finally:
            os.close(fd)
    return write


SAVES: dict[str, Callable[[Document], Call]] = {
    "write_unified_data": _ours(False),
    "write_unified_data escaped": _ours(True),
    "Python, flushed": _python(True),
    "Python, not flushed": _python(False),
    "os.write + fsync": _write_fsync,
}

ESCAPED_SAVES = frozenset({"write_unified_data escaped"})


def spec(doc: str, way: str, regime: str) -> Spec:
    return Spec(("save", doc, way), regime, once=doc in ONCE_DOCS)
