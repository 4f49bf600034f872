"""python -m wrenfold.datastore: save a unified data document as TOML."""

from wrenfold.datastore.cli import main

raise SystemExit(main())
