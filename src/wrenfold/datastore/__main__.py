"""python -m wrenfold.datastore: save a unified data document as TOML, or read one back."""

from wrenfold.datastore.cli import run

run()
