"""The benchmark's one method: every timed figure is a pyperf benchmark (bench.timing), run here.

Each benchmark is timed in pyperf worker processes (`--worker`), started from here as pyperf's
own manager starts them: a process builds its document, makes one untimed call, then times one
warm-up and its values. Two regimes:

- warm: pyperf's loop of calls, its number of loops calibrated by pyperf (`--calibrate-loops`, a
  process of its own, in the first round) so that a value lasts at least the minimum time;
- after other work: one call per value, each after an untimed gc.collect(), the collector on,
  as an application saves or loads after doing something else.

What is compared (a writer and its peers on one document, one build and another) is run in
rounds, one worker process of each benchmark per round, in turn (the order reversed every other
round), so that whatever else the machine does weighs on all alike; the rounds' runs go into one
pyperf file per benchmark, kept in the run's folder under build/bench/results for
`python -m pyperf stats`, `hist` or `compare_to`. Figures are pyperf's median and median
absolute deviation: on a shared machine, a value that another process interrupted is an
outlier that moves a mean and not a median.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import json
import os
import platform
import re
import subprocess
import sys
import time
from typing import Callable, Sequence

import pyperf

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REGIMES = {"warm": "warm", "after-work": "after other work"}
# The order of the groups of one document: a warm benchmark needs no calibration where the
# same call, after other work, already lasted the minimum time.
GROUP_ORDER = ["after-work", "warm"]


@dataclasses.dataclass(frozen=True)
class Spec:
    """One benchmark: bench.timing's case, document (or operation) and writer, reader, save or
    side, in a regime; `limit`: the records at most, for the slow peers; `build` and `site`: the
    name of the build measured and the folder it is imported from (None: as in this process);
    `once`: in the first round only, with fewer values."""

    what: tuple[str, str, str]
    regime: str
    limit: int | None = None
    build: str | None = None
    site: str | None = dataclasses.field(default=None, compare=False)
    # Timed in the first round only, and half the values: a peer far slower than ours, or a
    # document that takes long to build.
    once: bool = dataclasses.field(default=False, compare=False)

    def label(self) -> str:
        cut = f" (first {self.limit:,} records)" if self.limit else ""
        return f"{' '.join(self.what)}{cut}, {REGIMES[self.regime]}"

    def file_name(self) -> str:
        build = f" @ {self.build}" if self.build else ""
        return re.sub(r"[^A-Za-z0-9.,=-]+", "_", f"{self.label()}{build}") + ".json"


@dataclasses.dataclass(frozen=True)
class Settings:
    rounds: int
    warm_values: int  # values per process, each of calibrated loops
    after_values: int  # values per process, each one call
    min_time: float
    quick: bool
    timer: str = "wall"  # or "cpu", bench.timing's --timer


FULL = Settings(rounds=3, warm_values=4, after_values=10, min_time=0.1, quick=False)
QUICK = Settings(rounds=1, warm_values=3, after_values=8, min_time=0.05, quick=True)


def settings(quick: bool, timer: str = "wall") -> Settings:
    return dataclasses.replace(QUICK if quick else FULL, timer=timer)


def add_options(parser: argparse.ArgumentParser) -> None:
    """The options of every command that runs benchmarks."""
    parser.add_argument("--quick", action="store_true", help="a shorter, rougher run")
    parser.add_argument("--timer", choices=["wall", "cpu"], default="wall",
                        help="cpu: each worker thread's CPU time rather than the wall clock's "
                             "(saves stay on the wall clock), steadier on a busy machine")


class Result:
    """A benchmark's values over every round, and what its worker noted of the call."""

    def __init__(self, bench: pyperf.Benchmark) -> None:
        self.bench = bench
        self.median = bench.median()
        self.mad = bench.median_abs_dev()
        runs = [run.get_metadata() for run in bench.get_runs()]
        self.records = int(runs[0].get("wf_records", 0))
        self.bytes = int(runs[0].get("wf_bytes", 0))
        # Left out where the call has no result to check.
        self.equal = all(meta.get("wf_equal", 1) == 1 for meta in runs)

    def text(self) -> str:
        """pyperf's median ± median absolute deviation."""
        median, mad = self.bench.format_values((self.median, self.mad))
        return f"{median} ± {mad}"


def ratio(a: Result, b: Result) -> tuple[float, bool]:
    """a's time over b's, and whether it is per record: where one was measured on the first
    records of the document only."""
    if a.records == b.records:
        return a.median / b.median, False
    return (a.median / a.records) / (b.median / b.records), True


def ratio_text(a: Result, b: Result) -> str:
    value, cut = ratio(a, b)
    return f"{value:.3g}x" + ("\\*" if cut else "")


def results_folder() -> str:
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    folder = os.path.join(ROOT, "build", "bench", "results", stamp)
    os.makedirs(folder, exist_ok=True)
    return folder


def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def _worker(spec: Spec, path: str, setting: Settings, loops: int) -> None:
    """One pyperf worker process of `spec`, its run added to `path`; 0 loops: the calibration."""
    values = setting.warm_values if spec.regime == "warm" else setting.after_values
    if spec.once:
        values = max(3, values // 2)
    cmd = [sys.executable, "-m", "bench.timing", *spec.what, "--regime", spec.regime,
           *(["--limit", str(spec.limit)] if spec.limit else []),
           "--worker", "--quiet", "--append", path, "--warmups", "1", "--values", str(values),
           "--min-time", str(setting.min_time), "--timer", setting.timer,
           *(["--loops", str(loops)] if loops else ["--calibrate-loops"])]
    # The measured build first; then this checkout, for the bench package.
    inherited = os.environ.get("PYTHONPATH", "") if spec.site is None else spec.site
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [inherited, ROOT])))
    res = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=3600)
    if res.returncode != 0:
        raise RuntimeError(f"{spec.label()} failed:\n{res.stdout[-2000:]}{res.stderr[-3000:]}")


def run(groups: Sequence[Sequence[Spec]], setting: Settings, folder: str | None = None,
        report: Callable[[str], None] = progress) -> dict[Spec, Result]:
    """Runs every benchmark of `groups`, each group's in turn, round after round. A warm
    benchmark whose call, after other work, already lasted the minimum time (its group run
    before) takes one loop without a calibration: pyperf's would find the same."""
    folder = folder or results_folder()
    specs = [spec for group in groups for spec in group]
    if len(set(specs)) != len(specs):
        raise ValueError("a benchmark is in more than one group")
    total = sum(1 if s.once else setting.rounds for s in specs)
    done, started = 0, time.perf_counter()
    loops: dict[Spec, int] = {}
    alone: dict[Spec, float] = {}  # the median call after other work, under the warm spec
    for group in groups:
        for r in range(setting.rounds):
            for spec in group if r % 2 == 0 else group[::-1]:
                if spec.once and r > 0:
                    continue
                done += 1
                report(f"  [{done}/{total}, {time.perf_counter() - started:.0f} s] "
                       f"{spec.label()}" + (f" @ {spec.build}" if spec.build else "")
                       + (f", round {r + 1}" if setting.rounds > 1 and not spec.once else ""))
                path = os.path.join(folder, spec.file_name())
                if spec.regime != "warm":
                    _worker(spec, path, setting, 1)
                    continue
                if spec not in loops:
                    if alone.get(spec, 0.0) >= setting.min_time:
                        loops[spec] = 1
                    else:
                        _worker(spec, path, setting, 0)
                        loops[spec] = pyperf.Benchmark.load(path).get_runs()[-1].get_loops()
                _worker(spec, path, setting, loops[spec])
        for spec in group:
            if spec.regime != "warm":
                path = os.path.join(folder, spec.file_name())
                alone[dataclasses.replace(spec, regime="warm")] = pyperf.Benchmark.load(path).median()
    return {spec: Result(pyperf.Benchmark.load(os.path.join(folder, spec.file_name())))
            for spec in specs}


def load(results: dict[Spec, Result]) -> str:
    """The machine's load while the workers ran (pyperf notes the 1-minute average in each)."""
    loads = sorted(float(run.get_metadata()["load_avg_1min"]) for res in results.values()
                   for run in res.bench.get_runs() if "load_avg_1min" in run.get_metadata())
    if not loads:
        return ""
    return (f"Load average of the machine as the workers ran: {loads[0]:.1f} to {loads[-1]:.1f}, "
            f"median {loads[len(loads) // 2]:.1f}, on {os.cpu_count()} CPUs.")


def _cpu() -> tuple[str, str]:
    """The CPU's model and the vector extensions it has, from /proc/cpuinfo (Linux)."""
    model, flags = platform.processor() or platform.machine(), set[str]()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                key = key.strip()
                if key in ("model name", "Model") and model == platform.machine():
                    model = value.strip()
                elif key in ("flags", "Features") and not flags:
                    flags = set(value.split())
    except OSError:
        pass
    known = ["sse2", "sse4_2", "avx", "avx2", "avx512f", "avx512bw", "avx512vl", "avx512vbmi",
             "asimd", "sve", "sve2"]
    return model, ", ".join(f for f in known if f in flags) or "none known"


def build_paths(site: str | None = None) -> str:
    """The vector loops a build's reader chose at start-up, asked of a process of its own."""
    code = ("import json\nfrom wrenfold.datastore.adapter.toml import inkreader\n"
            "print(json.dumps(getattr(inkreader, '_vector_paths', lambda: None)()))")
    env = dict(os.environ)
    if site is not None:
        env["PYTHONPATH"] = site
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    if res.returncode != 0:
        return "unknown (the package does not import)"
    paths = json.loads(res.stdout)
    if paths is None:
        return "not reported by this build"
    return f"text loops {paths['text'] or 'scalar'}"


def machine(results: dict[Spec, Result], sites: dict[str, str | None] | None = None) -> str:
    """What the figures were measured on: the CPU, the interpreter, each build's choice of
    vector loops, and the machine's load."""
    model, flags = _cpu()
    lines = [f"{datetime.date.today()}, {model} ({platform.machine()}, {os.cpu_count()} CPUs; "
             f"vector extensions: {flags}), {platform.python_implementation()} "
             f"{platform.python_version()}, pyperf {pyperf.__version__}."]
    for name, site in (sites or {"this build": None}).items():
        lines.append(f"Vector paths of {name}: {build_paths(site)}.")
    return "  \n".join(lines + [load(results)])


def method(setting: Settings) -> str:
    """The method as one paragraph of the report."""
    clock = ("the CPU time of the worker's thread (--timer cpu; saves on the wall clock)"
             if setting.timer == "cpu" else "the wall clock")
    return (f"Every time, on {clock}, is pyperf's median ± median absolute deviation over "
            f"{setting.rounds} "
            f"worker process{'es' if setting.rounds > 1 else ''} per benchmark (one, with half "
            "the values, for the peers other than orjson and the largest documents), each of "
            "one warm-up and "
            f"{setting.warm_values} values (warm: pyperf's calibrated loops, a value at least "
            f"{setting.min_time * 1e3:.0f} ms) or {setting.after_values} values (after other "
            "work: one call each, after an untimed gc.collect(), the collector on). The "
            "benchmarks compared are run in turn, one process each per round. A ratio is the "
            "time of the same content, the peer's over ours (above 1: we are faster); \\* marks "
            "one taken per record, where the slower writer or reader ran on the first records "
            "only.")
