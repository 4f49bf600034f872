"""One benchmark, timed by pyperf: a writer, reader or save called on a document, or an
operation of the holder or of dict.

    python -m bench.timing encode DOC WRITER [--regime R] [--limit N] [pyperf options]
    python -m bench.timing loads DOC READER [--regime R] [--limit N] [pyperf options]
    python -m bench.timing save DOC WAY [--regime R] [pyperf options]
    python -m bench.timing holder OPERATION holder|dict [pyperf options]

Run alone, this process is pyperf's manager, which starts the worker processes; bench.harness
starts them itself, with pyperf's options (--worker, --values, --loops, --append ...). A worker
builds the document in every form that those compared on it take, makes one untimed call (which
loads what the call loads lazily) and times the call in the regime given (bench.harness says
what each is). `--limit`: the first records of every table only, about N in all, for the slow
peers.
"""

from __future__ import annotations

import gc
import time
import timeit
from typing import Any, Callable

import pyperf

CASES = ["encode", "loads", "save", "holder"]
REGIMES = ["warm", "after-work"]
# wall: pyperf's own clock; cpu: the CPU time of the thread, which another process that takes
# the CPU meanwhile does not add to (on a shared machine, most of the spread of wall time).
TIMERS = {"wall": time.perf_counter, "cpu": time.thread_time}


def size(out: Any) -> int:
    return len(out) if isinstance(out, bytes) else len(out.encode())


def fixture(case: str, doc_name: str, who: str,
            limit: int | None) -> tuple[Callable[[], Any], dict[str, int]]:
    """The call to time, and what the report needs of it (pyperf metadata): the records it
    covers, the bytes of its output (writers) or of the document's TOML (readers, saves), and
    whether a reader's result equals the document. Whichever the call, the process holds the
    same as every other timed on the document (hold_alike)."""
    from bench.docs import Document, named_records

    if case == "encode":
        from bench.writers import RAW_WRITERS, WRITERS

        doc = Document(doc_name, who in RAW_WRITERS, limit)
        call = WRITERS[who](doc)
        metadata = {"wf_records": doc.records, "wf_bytes": size(call())}
    elif case == "loads":
        from bench.readers import READERS

        doc = Document(doc_name, False, limit)
        call, expected = READERS[who](doc)
        metadata = {"wf_records": doc.records, "wf_bytes": size(doc.toml),
                    "wf_equal": int(call() == expected)}
    else:
        from bench.saves import ESCAPED_SAVES, SAVES

        doc = Document(doc_name, who not in ESCAPED_SAVES)
        call = SAVES[who](doc)
        call()
        metadata = {"wf_records": doc.records, "wf_bytes": size(doc.toml)}
    hold_alike(doc)
    named_records.cache_clear()
    return call, metadata


def hold_alike(doc: Any) -> None:
    """Makes the process hold the document in every form the writers and readers compared on it
    take (our models, the plain dict, the TOML, the JSON), with the modules that hold them. A
    value after other work carries the toll of its collection on the caches, which grows with
    the heap the collection walks: processes that held only their own call's input would differ
    in that toll, not in their call."""
    for form in ("model", "plain", "toml", "json"):
        getattr(doc, form)


def warm(loops: int, call: Callable[[], Any], clock: Callable[[], float]) -> float:
    """pyperf's time function of the warm regime: its loop of calls."""
    start = clock()
    for _ in range(loops):
        call()
    return clock() - start


def after_work(loops: int, call: Callable[[], Any], clock: Callable[[], float]) -> float:
    """pyperf's time function of the after-work regime: each call after an untimed collection
    (one call per value: the harness passes --loops 1)."""
    total = 0.0
    for _ in range(loops):
        gc.collect()
        start = clock()
        call()
        total += clock() - start
    return total


def main() -> None:
    def forward(cmd: list[str], args: Any) -> None:
        cmd.extend([args.case, args.doc, args.who, "--regime", args.regime, "--timer", args.timer])
        if args.limit:
            cmd.extend(["--limit", str(args.limit)])

    # The workers are started as this one was, with -m, so that `bench` imports from the path.
    runner = pyperf.Runner(program_args=("-m", "bench.timing"), add_cmdline_args=forward)
    parser = runner.argparser
    parser.add_argument("case", choices=CASES)
    parser.add_argument("doc", help="the document (holder: the operation)")
    parser.add_argument("who", help="the writer, reader, save, or holder or dict")
    parser.add_argument("--regime", choices=REGIMES, default="warm")
    parser.add_argument("--limit", type=int, help="records at most")
    parser.add_argument("--timer", choices=list(TIMERS), default="wall",
                        help="cpu: the worker thread's CPU time (saves are timed on the wall)")
    args = runner.parse_args()
    cut = f" (first {args.limit:,} records)" if args.limit else ""
    name = f"{args.case} {args.doc} {args.who}{cut}, {args.regime}"
    # A save's time is mostly its waits for the disk, which CPU time leaves out.
    timer = "wall" if args.case == "save" else args.timer
    clock, metadata = TIMERS[timer], {"wf_timer": timer}
    if not args.worker:
        # The manager only spawns the workers.
        runner.bench_func(name, None)
        return
    if args.case == "holder":
        from bench.bench_holder import statement

        stmt, env = statement(args.doc, args.who)
        runner.bench_time_func(name, timeit.Timer(stmt, timer=clock, globals=env).timeit,
                               metadata=metadata)
        return
    call, noted = fixture(args.case, args.doc, args.who, args.limit)
    gc.collect()
    runner.bench_time_func(name, warm if args.regime == "warm" else after_work, call, clock,
                           metadata=metadata | noted)


if __name__ == "__main__":
    main()
