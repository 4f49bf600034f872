"""Writing the command line's output to a stream without losing the exit status. Files are
saved as documents are (inkwright._write_file)."""

from __future__ import annotations

import io
import os
from typing import BinaryIO

__all__ = ["write_all"]


def write_all(stream: BinaryIO, data: bytes) -> None:
    """Writes and flushes `data`. On failure the stream's descriptor is pointed at /dev/null
    before the OSError propagates, so that the interpreter's last flush of what could not be
    written does not fail again at exit (and turn the exit status into 120)."""
    try:
        stream.write(data)
        stream.flush()
    except OSError:
        try:
            fd = stream.fileno()
        except (OSError, ValueError, io.UnsupportedOperation):
            raise
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, fd)
        finally:
            os.close(null)
        raise
