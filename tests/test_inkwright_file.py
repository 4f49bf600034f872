"""write_unified_data: the file holds exactly the encoded text, and a failure never costs the
user the file that was there before."""

import errno
import functools
import os
import stat
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

from support.inkwright_docs import Doc, Table, model, worked_example
from support.privileged import save_under_alarm, shared_dir  # noqa: F401 - a fixture
from wrenfold.datastore.adapter.toml.inkwright import (_write_file, encode_unified_data,
                                                       write_unified_data)
from wrenfold.datastore.tables.data import TableData

OLD = b"old contents \xff\n"


def unicode_doc():
    return model({"t": TableData(records=[{"name": 'é q\t😀', "n": 1.5}])}, version="ü")


class Failing:
    def tuple_values(self):
        raise LookupError("no table")


def failing_docs():
    return [
        Doc({"t": Failing()}),
        model({"t": TableData(records=[{"bad": "\ud800"}])}),
        Doc({"t": Table(records=[{1: 2}])}),
    ]


class TestContents:
    @pytest.mark.parametrize("escape", [False, True])
    def test_file_is_the_utf8_of_the_encoded_text(self, tmp_path, escape):
        target = tmp_path / "db.toml"
        write_unified_data(unicode_doc(), str(target), escape)
        assert target.read_bytes() == encode_unified_data(unicode_doc(), escape).encode()

    def test_writing_twice_leaves_one_copy(self, tmp_path):
        target = tmp_path / "db.toml"
        write_unified_data(worked_example(), str(target))
        write_unified_data(worked_example(), str(target))
        assert target.read_bytes() == encode_unified_data(worked_example()).encode()

    def test_given_text_is_saved_as_bytes_or_as_the_utf8_of_a_str(self, tmp_path):
        target = tmp_path / "db.toml"
        target.write_bytes(b"x" * 100_000)
        text = encode_unified_data(unicode_doc())
        for data in (text, text.encode()):
            _write_file(data, str(target))
            assert target.read_bytes() == text.encode()
        assert os.listdir(tmp_path) == ["db.toml"]
        with pytest.raises(TypeError, match="^Expected bytes or str, got bytearray$"):
            _write_file(bytearray(b"x"), str(target))
        with pytest.raises(UnicodeEncodeError):
            _write_file("\ud800", str(target))
        assert target.read_bytes() == text.encode()

    def test_longer_existing_file_is_replaced_whole(self, tmp_path):
        target = tmp_path / "db.toml"
        target.write_bytes(b"x" * 100_000)
        write_unified_data(worked_example(), str(target))
        assert target.read_bytes() == encode_unified_data(worked_example()).encode()
        assert os.listdir(tmp_path) == ["db.toml"]

    def test_relative_path(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        write_unified_data(worked_example(), "rel.toml")
        assert (tmp_path / "rel.toml").read_text() == encode_unified_data(worked_example())
        assert os.listdir(tmp_path) == ["rel.toml"]

    def test_new_file_mode_follows_the_umask(self, tmp_path):
        old = os.umask(0o027)
        try:
            write_unified_data(worked_example(), str(tmp_path / "new.toml"))
        finally:
            os.umask(old)
        assert stat.S_IMODE(os.stat(tmp_path / "new.toml").st_mode) == 0o640

    def test_existing_permission_bits_are_kept(self, tmp_path):
        target = tmp_path / "db.toml"
        target.write_bytes(OLD)
        os.chmod(target, 0o604)
        write_unified_data(worked_example(), str(target))
        assert stat.S_IMODE(os.stat(target).st_mode) == 0o604
        assert target.read_text() == encode_unified_data(worked_example())

    def test_symlinked_target_keeps_its_link(self, tmp_path):
        (tmp_path / "real").mkdir()
        real = tmp_path / "real" / "db.toml"
        real.write_bytes(OLD)
        link = tmp_path / "link.toml"
        link.symlink_to(os.path.join("real", "db.toml"))
        write_unified_data(worked_example(), str(link))
        assert link.is_symlink() and os.readlink(link) == os.path.join("real", "db.toml")
        assert real.read_text() == encode_unified_data(worked_example())
        assert sorted(os.listdir(tmp_path / "real")) == ["db.toml"]

    def test_write_through_dangling_symlink_keeps_the_link(self, tmp_path):
        (tmp_path / "real").mkdir()
        link = tmp_path / "link.toml"
        link.symlink_to(os.path.join("real", "db.toml"))
        write_unified_data(worked_example(), str(link))
        assert link.is_symlink() and os.readlink(link) == os.path.join("real", "db.toml")
        assert (tmp_path / "real" / "db.toml").read_text() == encode_unified_data(worked_example())

    def test_fifo_is_written_in_place(self, tmp_path):
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)
        received = []
        reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
        reader.start()
        write_unified_data(worked_example(), str(fifo))
        reader.join(timeout=30)
        assert received == [encode_unified_data(worked_example()).encode()]
        assert stat.S_ISFIFO(os.stat(fifo).st_mode)


class TestFailures:
    def test_dev_full_raises_os_error(self):
        with pytest.raises(OSError) as info:
            write_unified_data(worked_example(), "/dev/full")
        assert info.value.errno == errno.ENOSPC
        assert info.value.filename == "/dev/full"

    @pytest.mark.parametrize(("where", "number"), [
        ("directory", errno.EISDIR), ("missing/folder.toml", errno.ENOENT),
        ("file/below.toml", errno.ENOTDIR), ("loop", errno.ELOOP)])
    def test_unopenable_paths(self, tmp_path, where, number):
        (tmp_path / "directory").mkdir()
        (tmp_path / "file").write_bytes(OLD)
        (tmp_path / "loop").symlink_to("loop")
        path = str(tmp_path / where)
        with pytest.raises(OSError) as info:
            write_unified_data(worked_example(), path)
        message = "Could not open file for writing"
        assert (info.value.errno, info.value.strerror, info.value.filename) == (number, message, path)
        assert str(info.value) == f"[Errno {number}] {message}: {path!r}"
        assert type(info.value) is type(OSError(number, ""))
        assert sorted(os.listdir(tmp_path)) == ["directory", "file", "loop"]
        assert os.listdir(tmp_path / "directory") == []

    @pytest.mark.parametrize("name", ["/dev/stdout", "/proc/self/fd/{}", "/dev/fd/{}"])
    def test_pipe_named_by_a_link(self, name):
        read_end, write_end = os.pipe()
        saved = os.dup(1)
        os.dup2(write_end, 1)  # /dev/stdout is the pipe too
        try:
            write_unified_data(worked_example(), name.format(write_end))
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            os.close(write_end)
        with os.fdopen(read_end, "rb") as f:
            assert f.read() == encode_unified_data(worked_example()).encode()

    def test_name_that_is_not_utf8(self, tmp_path):
        name = os.fsdecode(os.fsencode(str(tmp_path)) + b"/\xff.toml")
        write_unified_data(worked_example(), name)
        assert os.listdir(os.fsencode(tmp_path)) == [b"\xff.toml"]

    def test_embedded_nul_raises_before_opening(self, tmp_path):
        with pytest.raises(ValueError, match="^embedded null character$"):
            write_unified_data(worked_example(), str(tmp_path / "a\0b"))
        assert os.listdir(tmp_path) == []

    def test_none_filepath_touches_nothing(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        table = Table()
        with pytest.raises(TypeError):
            write_unified_data(Doc({"t": table}), None)
        assert os.listdir(tmp_path) == [] and table.calls == 0  # refused before the snapshot

    @pytest.mark.parametrize("index", range(3))
    @pytest.mark.parametrize("escape", [False, True])
    def test_encoding_failure_keeps_the_existing_file(self, tmp_path, index, escape):
        target = tmp_path / "db.toml"
        target.write_bytes(OLD)
        with pytest.raises((LookupError, UnicodeEncodeError, TypeError)):
            write_unified_data(failing_docs()[index], str(target), escape)
        assert target.read_bytes() == OLD
        assert os.listdir(tmp_path) == ["db.toml"]

    @pytest.mark.parametrize("index", range(3))
    def test_encoding_failure_creates_no_file(self, tmp_path, index):
        with pytest.raises((LookupError, UnicodeEncodeError, TypeError)):
            write_unified_data(failing_docs()[index], str(tmp_path / "db.toml"))
        assert os.listdir(tmp_path) == []


ALARMED = ["wrenfold.datastore.adapter.toml.inkwright._write_unified_data_impl", "on_alarm"]


class Unprintable:
    def __str__(self):
        raise LookupError("no text")


class TestLargeDocuments:
    """Saves that replace by rename write the text a block at a time as it is made; the
    content and the guarantees must be those of a document made whole."""

    @staticmethod
    def doc(last=0):
        records = [{"id": i, "text": f"r\u00e9cord {i}\t" * 20, "n": i / 7} for i in range(12_000)]
        records.insert(5_000, {"id": -1, "text": "long line\t" * 330_000, "n": 0.5})
        records.append({"id": 12_000, "text": "end", "n": last})
        return Doc({"a": Table(records=records), "b": Table(records=records[:100])})

    @pytest.mark.parametrize("escape", [False, True])
    def test_file_is_the_encoded_text(self, tmp_path, escape):
        target = tmp_path / "db.toml"
        target.write_bytes(OLD)
        write_unified_data(self.doc(), str(target), escape)
        expected = encode_unified_data(self.doc(), escape).encode()
        assert len(expected) > 7_000_000
        assert target.read_bytes() == expected
        assert os.listdir(tmp_path) == ["db.toml"]

    @pytest.mark.parametrize("escape", [False, True])
    def test_failure_after_blocks_were_written_keeps_the_file(self, tmp_path, escape):
        target = tmp_path / "db.toml"
        target.write_bytes(OLD)
        with pytest.raises(LookupError):
            write_unified_data(self.doc(last=Unprintable()), str(target), escape)
        assert target.read_bytes() == OLD
        assert os.listdir(tmp_path) == ["db.toml"]

    @pytest.mark.forks
    def test_signal_during_the_save_keeps_the_file(self, tmp_path):
        # Handlers cannot run while the document is half written: the one that raises stops
        # the save before the rename.
        target = tmp_path / "db.toml"
        target.write_bytes(OLD)
        doc = self.doc()
        result = save_under_alarm(lambda: write_unified_data(doc, str(target)), 0.005)
        # On a loaded machine the alarm may come while the tables are still being read.
        assert (result, target.read_bytes()) in [(ALARMED, OLD), (["tuple_values", "on_alarm"], OLD),
                                                 ("written", encode_unified_data(doc).encode())]
        assert os.listdir(tmp_path) == ["db.toml"]


# The cases below need a user without root's power to ignore permissions and limits; as root
# they run in a child process that drops to nobody.
def run_unprivileged(code: str, workdir: Path) -> subprocess.CompletedProcess[str]:
    kwargs = {}
    if os.geteuid() == 0:
        kwargs = {"user": 65534, "group": 65534, "extra_groups": []}
        for path in [workdir, *workdir.iterdir()]:
            os.chown(path, 65534, 65534)
    prelude = (
        "import os, resource\n"
        "from wrenfold.datastore.adapter.toml.inkwright import write_unified_data as write\n"
        "from wrenfold.datastore.unified import UnifiedDataFormat\n"
        "from wrenfold.datastore.tables.data import TableData\n"
        "doc = UnifiedDataFormat(version='1', schema_version='2')\n"
        "doc.tables.add('t', TableData(records=[{'v': 'x' * 100}] * 50))\n"
        "def attempt(path):\n"
        "    try:\n"
        "        write(doc, path)\n"
        "        print('ok')\n"
        "    except OSError as e:\n"
        "        print(type(e).__name__, e.errno, e.filename, str(e))\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", prelude + code], capture_output=True, text=True,
                          timeout=60, cwd=workdir, env=env, **kwargs)


@functools.cache
def unprivileged_python_problem() -> str | None:
    """Why a child dropped to nobody cannot run this interpreter and package, or None."""
    if os.geteuid() != 0:
        return None
    with tempfile.TemporaryDirectory() as scratch:
        os.chmod(scratch, 0o755)
        try:
            result = run_unprivileged("print('ready')\n", Path(scratch))
        except OSError as exc:
            return f"nobody cannot start {sys.executable}: {exc}"
    if result.stdout.strip() != "ready":
        return f"nobody cannot import the package: {result.stderr.strip()[-200:]}"
    return None


class TestUnprivileged:
    @pytest.fixture(autouse=True)
    def _needs_an_unprivileged_child(self):
        problem = unprivileged_python_problem()
        if problem is not None:
            pytest.skip(problem)

    def test_short_write_keeps_the_existing_file(self, shared_dir):
        (shared_dir / "db.toml").write_bytes(OLD)
        result = run_unprivileged(
            "resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))\n"
            "attempt('db.toml')\n"
            "print(sorted(os.listdir('.')))\n",
            shared_dir)
        assert result.stdout.splitlines() == [
            f"OSError {errno.EFBIG} db.toml [Errno {errno.EFBIG}] File too large: 'db.toml'",
            "['db.toml']",
        ], result.stderr
        assert (shared_dir / "db.toml").read_bytes() == OLD

    def test_short_write_of_a_new_file_leaves_nothing(self, shared_dir):
        result = run_unprivileged(
            "resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))\n"
            "attempt('new.toml')\n"
            "print(sorted(os.listdir('.')))\n",
            shared_dir)
        assert result.stdout.splitlines()[1:] == ["[]"], result.stderr
        assert result.stdout.startswith(f"OSError {errno.EFBIG} new.toml ")

    def test_read_only_file_is_refused_and_kept(self, shared_dir):
        target = shared_dir / "db.toml"
        target.write_bytes(OLD)
        target.chmod(0o444)
        result = run_unprivileged("attempt('db.toml')\nprint(sorted(os.listdir('.')))\n",
                                  shared_dir)
        assert result.stdout.splitlines() == [
            f"PermissionError {errno.EACCES} db.toml [Errno {errno.EACCES}] Could not open file "
            "for writing: 'db.toml'", "['db.toml']",
        ], result.stderr
        assert target.read_bytes() == OLD

    def test_writable_file_in_a_read_only_directory_is_written_in_place(self, shared_dir):
        target = shared_dir / "db.toml"
        target.write_bytes(OLD)
        target.chmod(0o666)
        result = run_unprivileged(
            "os.chmod('.', 0o555)\n"
            "attempt('db.toml')\n"
            "attempt('other.toml')\n"
            "os.chmod('.', 0o755)\n",
            shared_dir)
        assert result.stdout.splitlines() == [
            "ok", f"PermissionError {errno.EACCES} other.toml [Errno {errno.EACCES}] Could not "
            "open file for writing: 'other.toml'",
        ], result.stderr
        assert target.read_bytes().startswith(b'[header]\nversion = "1"\n')
        assert sorted(os.listdir(shared_dir)) == ["db.toml"]
