"""Reference-leak hunting in the style of CPython's: warm up, repeat, collect, compare.

Needs a debug interpreter (``sys.gettotalrefcount``); test modules that use it skip otherwise.
"""

from __future__ import annotations

import gc
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager

import pytest

requires_debug_build = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (python3.14d)"
)


@contextmanager
def young_objects_only() -> Iterator[None]:
    """Collections inside see only the objects made since: the long-lived ones (every test
    module, pytest, hypothesis) are frozen out of the collector's sight, so that each of the
    many collections of a measurement costs microseconds instead of a tenth of a second."""
    gc.collect()
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


def count_deltas(fn: Callable[[], object], count: Callable[[], int], warmup: int, runs: int,
                 inner: int) -> list[int]:
    """Change of `count()` over each of `runs` batches of `inner` calls, after `warmup` batches."""
    with young_objects_only():
        for _ in range(warmup * inner):
            fn()
        deltas = []
        for _ in range(runs):
            gc.collect()
            before = count()
            for _ in range(inner):
                fn()
            gc.collect()
            deltas.append(count() - before)
    return deltas


def _nothing() -> None:
    pass


def refcount_deltas(
    fn: Callable[[], object], *, warmup: int = 10, runs: int = 6, inner: int = 30
) -> list[int]:
    """Total-refcount change over each of `runs` batches of `inner` calls, after `warmup` batches.

    The measuring loop itself moves the count by a constant; a run of a function that does
    nothing measures it, and it is taken off.
    """
    baseline = count_deltas(_nothing, sys.gettotalrefcount, warmup, runs, inner)
    measured = count_deltas(fn, sys.gettotalrefcount, warmup, runs, inner)
    return [m - b for m, b in zip(measured, baseline)]


def raising(fn: Callable[[], object], exc: type[BaseException]) -> Callable[[], None]:
    """Wraps `fn` so that each call must raise `exc`; the exception is dropped at once."""

    def call() -> None:
        try:
            fn()
        except exc:
            return
        raise AssertionError(f"{fn!r} did not raise {exc.__name__}")

    return call


def assert_no_leaks(fn: Callable[[], object], **kwargs: int) -> None:
    """Fails unless one of the last three batches leaves the total reference count exactly
    as it found it, in one of three measurements. A leak (or an extra release) on any
    path that `fn` takes moves every batch by at least one per call, so it never gives a zero
    batch; the interpreter's own caches, still warming up after other tests, move a single
    batch now and then, and so do other threads (pytest-xdist's message thread) while a
    measurement runs."""
    tries = []
    for _ in range(3):
        tries.append(refcount_deltas(fn, **kwargs))
        if 0 in tries[-1][-3:]:
            return
    raise AssertionError(f"reference count deltas per batch, in each measurement: {tries}")
