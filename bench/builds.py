"""Two builds of the package against each other: encode, save and read of the benchmark
documents, each build's figures from worker processes of their own, the builds taken in turn.

    python -m bench.builds NAME=SITE NAME=SITE [--rounds N] [--quick] [--timer cpu] [--only TEXT]

SITE is a folder the package imports from (a build's site folder, or a wheel installed there
with `pip install --target`). Every figure is a pyperf benchmark in both regimes (bench.harness),
the two builds' worker processes alternating round after round. The first build is the
reference: the table gives each figure of the second as a ratio to it (above 1.00x: slower).
"""

from __future__ import annotations

import argparse
import dataclasses
import os

from bench import harness
from bench.harness import GROUP_ORDER, REGIMES, Spec
from bench.markdown import table

# This process imports neither build: only the workers do.
DOCS = ["1x100", "1x1k", "10x1k", "20x10k", "non-ascii-10x1k", "numeric-10x1k"]
CASES = ([("encode", d, "inkwright escaped") for d in DOCS]
         + [("encode", d, "inkwright") for d in DOCS]
         + [("encode", d, "dumps") for d in DOCS]
         + [("save", d, "write_unified_data") for d in ("1x100", "20x10k")]
         + [("loads", d, "inkreader") for d in DOCS])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs=2, metavar="NAME=SITE")
    parser.add_argument("--rounds", type=int, help="worker processes per figure and build")
    harness.add_options(parser)
    parser.add_argument("--only", default="", help="the figures whose label holds this text")
    args = parser.parse_args()
    builds = [tuple(b.split("=", 1)) for b in args.builds]
    for name, site in builds:
        if not os.path.isdir(site):
            parser.error(f"{name}: no folder {site}")
    sites = {name: os.path.abspath(site) for name, site in builds}
    setting = harness.settings(args.quick, args.timer)
    if args.rounds:
        setting = dataclasses.replace(setting, rounds=args.rounds)
    groups = [[Spec(what, regime, build=name, site=site) for name, site in sites.items()]
              for what in CASES for regime in GROUP_ORDER
              if args.only in f"{' '.join(what)}, {REGIMES[regime]}"]
    results = harness.run(groups, setting)
    rows = []
    for a, b in groups:
        ra, rb = results[a], results[b]
        rows.append([" ".join(a.what), REGIMES[a.regime], ra.text(), rb.text(),
                     f"{rb.median / ra.median:.3f}x"])
    (na, _), (nb, _) = builds
    print("\n".join([harness.machine(results, sites), "", harness.method(setting), "",
                     table(["figure", "regime", na, nb, f"{nb} / {na}"], rows)]))


if __name__ == "__main__":
    main()
