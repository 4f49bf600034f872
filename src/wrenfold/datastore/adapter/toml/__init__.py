"""TOML adapter."""
