"""Deliberate misuse; mypy must report each marked line."""

from pathlib import Path

from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data
from wrenfold.datastore.tables.ledgerbox import TablesHolder
from wrenfold.datastore.tables.ledgerbox import TYPE_CHECKING  # error: a helper, not exported

h = TablesHolder()
h.add(1, None)  # error: name must be a str or None
h[None] = None  # error: item assignment takes a str
for name in h:  # error: a holder is not iterable
    pass
count: str = len(h)  # error: len is an int
encode_unified_data(h)  # error: not a document
write_unified_data(h, Path("x.toml"))  # error: not a document, and the path must be a str
