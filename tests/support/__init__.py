"""Helpers the test modules share: documents, native views, leak checks, privileged set-ups."""
