"""Saves running at the same time as other saves, other threads, signals and kill -9: the
file is always one whole document, other threads run while a file is written, Ctrl-C
reaches the caller, and no temporary file is left but by a killed save."""

import fcntl
import os
import re
import signal
import sys
import threading
import time
from pathlib import Path

import pytest

from support.inkwright_docs import Doc, Table, model
from support.privileged import in_child, save_under_alarm, temp_files
from wrenfold.datastore.adapter.toml import loads
from wrenfold.datastore.adapter.toml.inkwright import encode_unified_data, write_unified_data
from wrenfold.datastore.tables.data import ColumnData, TableData

# Their children are forked: run outside the parallel workers (tools/pytest-parallel).
pytestmark = pytest.mark.forks

SAVES = 200


def document(tag: str, records: int) -> Doc:
    return Doc({"t": Table(records=[{"id": i, "tag": tag, "text": "x" * 100}
                                    for i in range(records)])})


# Of different lengths, so that a mix or a stale tail shows.
DOCS = [document("a", 400), document("b", 600)]
TEXTS = {encode_unified_data(d).encode() for d in DOCS}


def save_repeatedly(doc: Doc, path: Path) -> None:
    for _ in range(SAVES):
        write_unified_data(doc, str(path))


def watch_while(running, path: Path, shared_lock: bool = False) -> int:
    """Reads `path` until `running()` is false; every read must be one whole document.
    With `shared_lock`, reads under a shared POSIX lock, as a careful reader of a file
    written in place does. Returns the number of reads."""
    reads = 0
    while running():
        with open(path, "rb") as f:
            if shared_lock:
                fcntl.lockf(f, fcntl.LOCK_SH)
            content = f.read()
        assert content in TEXTS, f"read {len(content)} bytes that are no whole document"
        reads += 1
    return reads


def forked(fn, *args) -> int:
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            fn(*args)
        except BaseException:  # noqa: BLE001 - reported through the exit status
            code = 1
        os._exit(code)
    return pid


class TestOneWholeDocument:
    def test_threads_saving_to_one_path(self, tmp_path):
        target = tmp_path / "db.toml"
        write_unified_data(DOCS[0], str(target))
        savers = [threading.Thread(target=save_repeatedly, args=(d, target)) for d in DOCS]
        for t in savers:
            t.start()
        reads = watch_while(lambda: any(t.is_alive() for t in savers), target)
        for t in savers:
            t.join()
        assert reads > 0
        assert target.read_bytes() in TEXTS and os.listdir(tmp_path) == ["db.toml"]

    def test_tables_added_and_removed_by_another_thread_are_not_part_of_a_save(self, tmp_path):
        doc = model({f"t{n}": TableData(columns=[ColumnData(name="c", type="TEXT")] * 3,
                                        records=[{"id": i} for i in range(50_000)])
                     for n in range(5)})
        names, twins, stop = doc.tables.keys(), [doc.tables["t2"], doc.tables["t3"]], []

        def churn():
            while not stop:
                doc.tables["extra"] = twins[0]
                doc.tables["t2"] = twins[1]  # replaced: same size, keys unchanged
                del doc.tables["extra"]
                twins.reverse()

        interval, thread, texts = sys.getswitchinterval(), threading.Thread(target=churn), []
        sys.setswitchinterval(1e-6)  # every call out to the document's Python code lets it in
        thread.start()
        try:
            for _ in range(10):
                write_unified_data(doc, str(tmp_path / "db.toml"))
                texts.append((tmp_path / "db.toml").read_text())
        finally:
            stop.append(True)
            thread.join()
            sys.setswitchinterval(interval)
        for saved in map(loads, texts):
            assert saved["header"]["tables"] in (names, [*names, "extra"])
            assert {len(t["records"]) for t in saved["tables"].values()} == {50_000}

    @pytest.mark.parametrize("how", ["rename", "in place"])
    def test_processes_saving_to_one_path(self, tmp_path, how):
        target = tmp_path / "db.toml"
        write_unified_data(DOCS[0], str(target))
        if how == "in place":
            os.link(target, tmp_path / "second-name.toml")
        pids = [forked(save_repeatedly, d, target) for d in DOCS]
        statuses = []

        def running():
            for pid in list(pids):
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    pids.remove(pid)
                    statuses.append(status)
            return bool(pids)

        reads = watch_while(running, target, shared_lock=how == "in place")
        assert statuses == [0, 0] and reads > 0
        assert target.read_bytes() in TEXTS and temp_files(tmp_path) == []


def interrupt_soon(seconds: float = 0.3) -> threading.Timer:
    """Ctrl-C, as a terminal sends it, after `seconds`."""
    timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    return timer


BIG = document("big", 40_000)  # about 5 MB, far beyond what a pipe holds


class TestInterruptsAndOtherThreads:
    """Each runs in a child, so that a save that cannot be interrupted fails the test
    instead of hanging it."""

    def test_ctrl_c_while_nobody_opens_the_fifo(self, tmp_path):
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)

        def scenario():
            interrupt_soon()
            try:
                write_unified_data(BIG, str(fifo))
            except KeyboardInterrupt:
                return "interrupted"
            return "written"

        assert in_child(scenario, timeout=30) == "interrupted"

    def test_signal_handler_error_while_the_fifo_is_not_read(self, tmp_path):
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)

        class Alarm(Exception):
            pass

        def scenario():
            def on_alarm(signum, frame):
                raise Alarm

            signal.signal(signal.SIGALRM, on_alarm)
            reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # open, never read
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            try:
                write_unified_data(BIG, str(fifo))
            except Alarm:
                return "interrupted", len(os.read(reader, 1 << 20)) > 0
            finally:
                os.close(reader)
            return "written", None

        assert in_child(scenario, timeout=30) == ("interrupted", True)

    def test_signal_during_the_encoding_stops_the_save_before_it_waits(self, tmp_path):
        # The signal comes while the encoder holds the interpreter lock and runs no Python
        # code, so it interrupts nothing: it must still stop the save before the FIFO's open
        # waits for ever.
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)
        records = tuple({"id": i, "text": "x" * 100} for i in range(400_000))  # some 50 MB
        huge = Doc({"t": Table(result=((), records))})  # tuple_values() takes no time
        assert save_under_alarm(lambda: write_unified_data(huge, str(fifo)), 0.02) == [
            "wrenfold.datastore.adapter.toml.inkwright._write_unified_data_impl", "on_alarm"]

    def test_other_threads_run_while_a_save_waits(self, tmp_path):
        fifo = tmp_path / "pipe"
        os.mkfifo(fifo)

        def scenario():
            ticks = 0
            received = []

            def busy_then_read():
                nonlocal ticks
                deadline = time.monotonic() + 0.5
                while time.monotonic() < deadline:  # pure Python: needs the interpreter lock
                    ticks += 1
                with open(fifo, "rb") as f:
                    while chunk := f.read(65536):
                        received.append(chunk)
                        ticks += 1

            thread = threading.Thread(target=busy_then_read)
            thread.start()
            write_unified_data(BIG, str(fifo))
            thread.join()
            return ticks > 1000, b"".join(received) == encode_unified_data(BIG).encode()

        assert in_child(scenario, timeout=30) == (True, True)

    @pytest.fixture
    def linked(self, tmp_path):
        """A file with a second name, which saves write in place."""
        target = tmp_path / "db.toml"
        target.write_bytes(b"old")
        os.link(target, tmp_path / "second-name.toml")
        return target

    def test_in_place_save_waits_for_the_lock_without_blocking_threads(self, linked):
        def scenario():
            with open(linked, "rb+") as holder:
                fcntl.lockf(holder, fcntl.LOCK_EX)
                threading.Timer(0.5, fcntl.lockf, (holder, fcntl.LOCK_UN)).start()
                start = time.monotonic()
                write_unified_data(DOCS[0], str(linked))
                return time.monotonic() - start >= 0.4, linked.read_bytes() in TEXTS

        assert in_child(scenario, timeout=30) == (True, True)

    def test_ctrl_c_while_waiting_for_the_lock_keeps_the_file(self, linked):
        def scenario():
            with open(linked, "rb+") as holder:
                fcntl.lockf(holder, fcntl.LOCK_EX)
                interrupt_soon()
                try:
                    write_unified_data(DOCS[0], str(linked))
                except KeyboardInterrupt:
                    return "interrupted"
            return "written"

        assert in_child(scenario, timeout=30) == "interrupted"
        assert linked.read_bytes() == b"old"


TEMP_NAME = re.compile(r"^\.db\.toml\.wrenfold-save\.(\d+)\.\d+\.tmp$")


KILLED = document("k", 80_000)  # about 10 MB


def kill_during_a_save(target: Path) -> int:
    """Starts a process that saves KILLED to `target` again and again, and kills it with
    SIGKILL while its temporary file is being written; returns its pid."""
    pid = forked(save_repeatedly, KILLED, target)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        for name in temp_files(target.parent):
            try:
                size = os.stat(target.parent / name).st_size
            except FileNotFoundError:
                continue
            if 0 < size < 5_000_000:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                return pid
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    raise AssertionError("no temporary file seen in 60 s")


def test_kill_9_leaves_one_named_temporary_file_that_later_saves_keep(tmp_path):
    target = tmp_path / "db.toml"
    write_unified_data(DOCS[0], str(target))
    pid = kill_during_a_save(target)
    (left,) = temp_files(tmp_path)
    assert TEMP_NAME.match(left).group(1) == str(pid)
    assert target.read_bytes() in TEXTS | {encode_unified_data(KILLED).encode()}
    write_unified_data(DOCS[1], str(target))
    assert temp_files(tmp_path) == [left]
    assert sorted(os.listdir(tmp_path)) == sorted([left, "db.toml"])
