"""Tables of the unified data format and their holder."""
