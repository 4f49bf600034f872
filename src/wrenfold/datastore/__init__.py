"""The data store: the unified data format and its adapters."""
