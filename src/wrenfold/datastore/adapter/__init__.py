"""Adapters that save and load the unified data format."""
