"""Faults injected into saves: whatever fails, the old file stays byte for byte, and a
replaced file keeps its identity (owner, group, mode, hard links), or is written in place.

Each save runs in a child process that has dropped root, since root ignores permission
bits; root sets up owners, folders, small file systems and mounts, in a mount namespace
of the child's own."""

import errno
import io
import json
import os
import resource
import signal
import stat
from pathlib import Path

import pytest

from support.inkwright_docs import Doc, Table
from support.privileged import (NOBODY, OTHER_GROUP, OTHER_USER, as_user, bind_mount, in_child,
                        mount_tmpfs, needs_root, private_mounts, temp_files)
from support.privileged import shared_dir  # noqa: F401 - a fixture
from wrenfold.datastore import cli
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data

# Their children are forked: run outside the parallel workers (tools/pytest-parallel).
pytestmark = pytest.mark.forks


@pytest.fixture(autouse=True)
def _as_root():
    needs_root()

OLD = b"".join(b"old line %07d \xff\n" % i for i in range(60_000))  # about 1 MB


def records(size: int) -> list[dict]:
    """Records whose TOML takes about `size` bytes."""
    return [{"id": i, "text": "x" * 100} for i in range(size // 126)]


def document(size: int) -> Doc:
    return Doc({"t": Table(records=records(size))})


NEW = document(2_000_000)
NEW_BYTES = encode_unified_data(NEW).encode()
# The same records given to the command line as JSON, and what its -o saves of them.
NEW_JSON = json.dumps({"version": "1.0", "schema_version": "2", "tables": {"t": {
    "columns": [], "records": records(2_000_000)}}}).encode()


def save(path: str, doc=NEW):
    """Saves as the child; the OSError's errno and filename, or None."""
    try:
        write_unified_data(doc, path)
    except OSError as exc:
        return exc.errno, exc.filename, str(exc)
    return None


def save_from_the_command_line(path: str):
    """Saves NEW_JSON with the command line's -o; None, or its error message."""
    err = io.StringIO()
    status = cli.main(["-", "-o", path], stdin=io.BytesIO(NEW_JSON), stdout=io.BytesIO(),
                      stderr=err)
    return None if status == 0 else err.getvalue()


def command_line_bytes() -> bytes:
    out = io.BytesIO()
    assert cli.main(["-"], stdin=io.BytesIO(NEW_JSON), stdout=out, stderr=io.StringIO()) == 0
    return out.getvalue()


# Each saver and what it saves: the command line's -o keeps a file's identity as
# write_unified_data does.
SAVERS = pytest.mark.parametrize(("saver", "saved"), [
    (save, lambda: NEW_BYTES), (save_from_the_command_line, command_line_bytes)],
    ids=["write_unified_data", "command-line"])


def limited_save(path: str, limit: int):
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return save(path)


def set_up(folder: Path, how: str) -> Path:
    """The old file in `folder`, for nobody to save over: `rename` in a folder nobody may
    write (the temporary file can be made), `in place` in one nobody may not, `hard link`
    with a second name beside it."""
    target = folder / "db.toml"
    target.write_bytes(OLD)
    os.chown(target, NOBODY, NOBODY)
    if how == "hard link":
        os.link(target, folder / "other-name.toml")
    if how != "in place":
        os.chown(folder, NOBODY, NOBODY)
    return target


def expect_intact(result, target: Path, before: os.stat_result, err: int, names: list[str]):
    assert result is not None and result[:2] == (err, str(target)), result
    assert target.read_bytes() == OLD
    after = os.stat(target)
    assert (after.st_ino, after.st_size) == (before.st_ino, before.st_size)
    assert sorted(os.listdir(target.parent)) == names


HOWS = ["rename", "in place", "hard link"]


class TestFailedSaveKeepsTheOldFile:
    @pytest.mark.parametrize("how", HOWS)
    def test_file_size_limit(self, shared_dir, how):
        target = set_up(shared_dir, how)
        before = os.stat(target)
        result = as_user(limited_save, str(target), len(OLD) + 65536)
        expect_intact(result, target, before, errno.EFBIG, sorted(os.listdir(shared_dir)))

    @pytest.mark.parametrize("how", HOWS)
    def test_full_file_system(self, shared_dir, how):
        def scenario():
            private_mounts()
            folder = shared_dir / "small"
            folder.mkdir()
            mount_tmpfs(folder, len(OLD) + len(NEW_BYTES) // 4)
            target = set_up(folder, how)
            before = os.stat(target)
            names = sorted(os.listdir(folder))
            expect_intact(as_user(save, str(target)), target, before, errno.ENOSPC, names)

        in_child(scenario)

    def test_neither_temporary_file_nor_target_opens(self, shared_dir):
        target = set_up(shared_dir, "in place")
        target.chmod(0o444)
        result = as_user(save, str(target))
        assert result == (errno.EACCES, str(target), f"[Errno {errno.EACCES}] Could not open "
                          f"file for writing: {str(target)!r}")
        assert target.read_bytes() == OLD

    def test_failures_after_opening_name_errno_and_path(self, shared_dir):
        # Given as it was: relative, through a symbolic link.
        set_up(shared_dir, "rename")
        os.symlink("db.toml", shared_dir / "link.toml")

        def relative():
            os.chdir(shared_dir)
            return limited_save("link.toml", 4096)

        assert as_user(relative)[:2] == (errno.EFBIG, "link.toml")
        assert (shared_dir / "db.toml").read_bytes() == OLD


class TestIdentity:
    @SAVERS
    def test_rename_keeps_owner_group_and_mode(self, shared_dir, saver, saved):
        target = shared_dir / "db.toml"
        target.write_bytes(OLD)
        os.chown(target, OTHER_USER, OTHER_GROUP)
        target.chmod(0o2640)
        assert saver(str(target)) is None  # as root, who may give the file away
        st = os.stat(target)
        assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (OTHER_USER, OTHER_GROUP,
                                                                  0o2640)
        assert target.read_bytes() == saved()
        assert temp_files(shared_dir) == []

    @SAVERS
    def test_group_that_cannot_be_kept_means_in_place(self, shared_dir, saver, saved):
        target = set_up(shared_dir, "rename")
        os.chown(target, NOBODY, OTHER_GROUP)
        target.chmod(0o664)
        before = os.stat(target)
        assert as_user(saver, str(target)) is None
        after = os.stat(target)
        assert (after.st_ino, after.st_uid, after.st_gid, stat.S_IMODE(after.st_mode)) == (
            before.st_ino, NOBODY, OTHER_GROUP, 0o664)
        assert target.read_bytes() == saved()
        assert os.listdir(shared_dir) == ["db.toml"]

    @SAVERS
    def test_hard_links_stay_one_file(self, shared_dir, saver, saved):
        target = set_up(shared_dir, "hard link")
        assert as_user(saver, str(target)) is None
        other = shared_dir / "other-name.toml"
        assert os.stat(target).st_ino == os.stat(other).st_ino and os.stat(target).st_nlink == 2
        assert other.read_bytes() == saved()
        assert sorted(os.listdir(shared_dir)) == ["db.toml", "other-name.toml"]

    def test_file_of_another_user_in_a_sticky_folder(self, shared_dir):
        # As in /tmp: anyone may create files, nobody may rename over another's.
        shared_dir.chmod(0o1777)
        target = shared_dir / "db.toml"
        target.write_bytes(OLD)
        os.chown(target, OTHER_USER, OTHER_USER)
        target.chmod(0o666)
        before = os.stat(target)
        assert as_user(save, str(target)) is None
        after = os.stat(target)
        assert (after.st_ino, after.st_uid) == (before.st_ino, OTHER_USER)
        assert target.read_bytes() == NEW_BYTES
        assert os.listdir(shared_dir) == ["db.toml"]

    def test_refused_rename_writes_in_place(self, shared_dir):
        # A file bind-mounted over the target (as containers do) cannot be renamed over.
        def scenario():
            private_mounts()
            source, target = shared_dir / "source.toml", shared_dir / "folder" / "db.toml"
            target.parent.mkdir()
            source.write_bytes(OLD)
            target.write_bytes(b"")
            bind_mount(source, target)
            write_unified_data(NEW, str(target))
            return source.read_bytes() == NEW_BYTES, os.listdir(target.parent)

        assert in_child(scenario) == (True, ["db.toml"])

    def test_folder_that_cannot_be_read_is_not_flushed(self, shared_dir):
        # Its flush needs it opened for reading; the save itself does not.
        set_up(shared_dir, "rename")
        shared_dir.chmod(0o333)
        try:
            assert as_user(save, str(shared_dir / "db.toml")) is None
        finally:
            shared_dir.chmod(0o755)
        assert (shared_dir / "db.toml").read_bytes() == NEW_BYTES
