"""Writing the command line's output without losing a file or the exit status."""

from __future__ import annotations

import io
import os
import stat
import tempfile
from typing import BinaryIO

__all__ = ["is_regular_or_new", "replace_file", "write_all"]


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


def is_regular_or_new(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return True


def replace_file(path: str, data: bytes) -> None:
    """Writes `data` to `path`. A regular file (the target of a link, for a link) is replaced
    only once the new content is complete and on disk, keeping its permissions, so that a
    failure such as a full disk leaves the old one as it was. Anything else, a device or a
    pipe, is written in place."""
    if not is_regular_or_new(path):
        with open(path, "wb") as f:
            f.write(data)
        return
    target = os.path.realpath(path)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    fd, temporary = tempfile.mkstemp(dir=os.path.dirname(target), prefix=".wrenfold-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
