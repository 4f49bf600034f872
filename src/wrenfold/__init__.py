"""wrenfold: databases kept as one document."""
