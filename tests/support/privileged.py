"""Parts of a test that run in a child process: as an unprivileged user (root ignores
permission bits), in a mount namespace of its own (for small file systems and bind mounts
that vanish with it), under a time limit, or in an interpreter without dict watchers."""

from __future__ import annotations

import ctypes
import os
import pickle
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path
from typing import Any, Callable

import pytest

NOBODY = 65534
# Ids no account on the machine needs to have.
OTHER_USER = 4243
OTHER_GROUP = 4242

_MS_BIND = 4096
_MS_REC = 16384
_MS_PRIVATE = 1 << 18
_CLONE_NEWNS = 0x00020000


class Alarm(Exception):
    """What the SIGALRM handler of save_under_alarm raises."""


def save_under_alarm(save: Callable[[], None], after: float) -> Any:
    """save() in a child whose SIGALRM, `after` seconds in, raises Alarm: "written", or the
    names of the last two frames of the Alarm's traceback."""

    def scenario():
        def on_alarm(signum, frame):
            raise Alarm

        signal.signal(signal.SIGALRM, on_alarm)
        signal.setitimer(signal.ITIMER_REAL, after)
        try:
            save()
        except Alarm as exc:
            return [frame.name for frame in traceback.extract_tb(exc.__traceback__)][-2:]
        return "written"

    return in_child(scenario, timeout=60)


def needs_root() -> None:
    if os.geteuid() != 0:
        pytest.skip("needs root: owners, mounts and an unprivileged child are set up by root")


def in_child(fn: Callable[..., Any], *args: Any, timeout: float = 120) -> Any:
    """fn(*args) in a forked child: its result, or AssertionError with its traceback. A child
    still running after `timeout` seconds is killed and the test fails."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            payload = pickle.dumps(("ok", fn(*args)))
        except BaseException:  # noqa: BLE001 - everything goes back to the parent
            payload = pickle.dumps(("error", traceback.format_exc()))
        with os.fdopen(write_end, "wb") as f:
            f.write(payload)
        os._exit(0)
    os.close(write_end)
    chunks, deadline = [], time.monotonic() + timeout
    with os.fdopen(read_end, "rb") as f:
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([f], [], [], left)[0]:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                raise AssertionError(f"child still running after {timeout} s: killed")
            chunk = os.read(f.fileno(), 1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    os.waitpid(pid, 0)
    if not chunks:
        raise AssertionError("child died without a result")
    status, value = pickle.loads(b"".join(chunks))
    if status == "error":
        raise AssertionError("in the child:\n" + value)
    return value


def as_user(fn: Callable[..., Any], *args: Any, uid: int = NOBODY, gid: int = NOBODY) -> Any:
    """fn(*args) in a forked child that has given up root for `uid` and `gid`."""

    def dropped() -> Any:
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
        return fn(*args)

    return in_child(dropped)


def _libc_call(name: str, *args: Any) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    if getattr(libc, name)(*args) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"{name}: {os.strerror(err)}")


def private_mounts() -> None:
    """Moves this (child) process into a mount namespace of its own, whose mounts do not
    reach the rest of the machine and vanish when the process ends."""
    _libc_call("unshare", _CLONE_NEWNS)
    try:
        _libc_call("mount", b"none", b"/", None, _MS_REC | _MS_PRIVATE, None)
    except OSError as exc:
        if exc.errno != 22:  # "/" is no mount point in a chroot that is private already
            raise


def mount_tmpfs(path: Path, size: int) -> None:
    """A file system of `size` bytes at `path`, its root owned by root, mode 0755."""
    _libc_call("mount", b"tmpfs", bytes(path), b"tmpfs", 0, f"size={size},mode=0755".encode())


def bind_mount(source: Path, target: Path) -> None:
    _libc_call("mount", bytes(source), bytes(target), None, _MS_BIND, None)


@pytest.fixture
def shared_dir():
    """A folder outside pytest's private temporary root, which other users can reach."""
    path = Path(tempfile.mkdtemp(prefix="inkwright-"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def temp_files(folder: Path) -> list[str]:
    """The temporary files of saves in `folder`."""
    return sorted(n for n in os.listdir(folder) if ".wrenfold-save." in n)


def run_without_dict_watchers(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter, from the tests folder, after taking every dict
    watcher that interpreter has left; skips where they cannot be taken (before 3.12, or
    without _testcapi)."""
    if sys.version_info < (3, 12):
        pytest.skip("dict watchers exist from 3.12")
    capi = pytest.importorskip("_testcapi")
    if not hasattr(capi, "add_dict_watcher"):
        pytest.skip("this _testcapi cannot add dict watchers")
    prelude = ("import _testcapi\n"
               "try:\n"
               "    while True:\n"
               "        _testcapi.add_dict_watcher(0)\n"
               "except RuntimeError:\n"
               "    pass\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True,
                          timeout=600, cwd=os.path.dirname(os.path.dirname(__file__)),
                          env=env)
