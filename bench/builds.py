"""Two builds of the package against each other: encode, save and read of the benchmark
documents, each build's figures from processes of their own, the builds taken in turn.

    python -m bench.builds NAME=SITE NAME=SITE [--rounds N] [--quick] [--only TEXT]

SITE is a folder the package imports from (a build's site folder, or a wheel installed there
with `pip install --target`). The first build is the reference: the table gives each figure of
the second as a ratio to it (above 1.00x: slower). Figures are medians over the rounds of each
process's own median.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

from bench.markdown import table

# This process imports neither build: only the measuring processes do.
THROUGHPUT_DOCS = ["1x100", "10x1k", "20x10k", "non-ascii-10x1k", "numeric-10x1k"]
SAVE_DOCS = ["1x100", "20x10k"]

# (label, measuring module, its arguments, the figure taken from its result)
CASES = (
    [(f"encode escaped {d}", "bench.measure", ["throughput", d, "inkwright escaped"],
      ("writers", "inkwright escaped", "seconds")) for d in THROUGHPUT_DOCS]
    + [(f"encode raw {d}", "bench.measure", ["throughput", d, "inkwright"],
        ("writers", "inkwright", "seconds")) for d in THROUGHPUT_DOCS]
    + [(f"save {d}", "bench.measure", ["save", d], ("ours",)) for d in SAVE_DOCS]
    + [(f"loads {d}", "bench.measure_reader", ["throughput", d, "inkreader"],
        ("readers", "inkreader", "seconds")) for d in THROUGHPUT_DOCS]
)


def measure(site: str, module: str, args: list[str], quick: bool) -> dict:
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([site, here]))
    res = subprocess.run([sys.executable, "-m", module, *args, *(["--quick"] if quick else [])],
                         capture_output=True, text=True, env=env, timeout=900)
    if res.returncode != 0:
        raise RuntimeError(f"{module} {' '.join(args)} with {site} failed:\n{res.stderr[-3000:]}")
    return json.loads(res.stdout)


def figure(result: dict, path: tuple[str, ...]) -> float:
    for key in path:
        result = result[key]
    return float(result)  # type: ignore[arg-type]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs=2, metavar="NAME=SITE")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="", help="the figures whose label holds this text")
    args = parser.parse_args()
    builds = [tuple(b.split("=", 1)) for b in args.builds]
    for name, site in builds:
        if not os.path.isdir(site):
            parser.error(f"{name}: no folder {site}")
    rows = []
    for label, module, margs, path in CASES:
        if args.only not in label:
            continue
        print(f"  {label}", file=sys.stderr, flush=True)
        seen: dict[str, list[float]] = {name: [] for name, _ in builds}
        for r in range(args.rounds):
            # ABBA order, so that a drift of the machine weighs on both alike.
            for name, site in builds if r % 2 == 0 else builds[::-1]:
                seen[name].append(figure(measure(site, module, margs, args.quick), path))
        ta, tb = (statistics.median(seen[name]) for name, _ in builds)
        rows.append([label, f"{ta * 1e3:.2f}", f"{tb * 1e3:.2f}", f"{tb / ta:.2f}x"])
    (a, _), (b, _) = builds
    print(table(["figure", f"{a} ms", f"{b} ms", f"{b} / {a}"], rows))


if __name__ == "__main__":
    main()
