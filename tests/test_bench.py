"""The benchmark's harness: pyperf workers started in rounds, their figures read back."""

import dataclasses
import gc

import pytest

pytest.importorskip("pyperf")
harness = pytest.importorskip("bench.harness")  # a checkout's, not a copy of tests/ alone
writers = pytest.importorskip("bench.writers")


def test_both_regimes_of_ours_and_a_peer_on_its_first_records(tmp_path):
    setting = dataclasses.replace(harness.QUICK, rounds=2, warm_values=6, after_values=8,
                                  min_time=0.002)
    groups = [[writers.spec("1x1k", w, regime, True) for w in ("inkwright escaped", "tomlkit")]
              for regime in harness.GROUP_ORDER]
    res = harness.run(groups, setting, str(tmp_path), report=lambda text: None)
    for regime in harness.REGIMES:
        ours, peer = (res[writers.spec("1x1k", w, regime, True)]
                      for w in ("inkwright escaped", "tomlkit"))
        assert (ours.records, peer.records) == (1000, 300)
        assert ours.bytes > 100_000 and ours.median > 0 and ours.equal
        # ours in both rounds, the slow peer in the first only, with half the values
        values = 6 if regime == "warm" else 8
        assert (ours.bench.get_nvalue(), peer.bench.get_nvalue()) == (2 * values, values // 2)
        # warm: pyperf's calibration in the first round, its loops kept; after work: one call
        runs = ours.bench.get_runs()
        calibrated = ["calibrate_loops" in run.get_metadata() for run in runs]
        loops = {run.get_loops() for run in runs if run.values}
        # (a call slower than min_time, as in a sanitized build, needs no calibration run)
        assert calibrated in (([True, False, False], [False, False]) if regime == "warm"
                              else ([False, False],))
        assert len(loops) == 1 and (regime == "warm" or loops == {1})
        assert harness.ratio(peer, ours) == (
            (peer.median / 300) / (ours.median / 1000), True)
        assert harness.ratio_text(peer, ours).endswith("x\\*")


def test_floor_builds_the_document_and_resumes_the_collector():
    floor = pytest.importorskip("bench.floor")
    doc = {"a": [1, -2.5, "é", None, True], "b": {"a": "\U0001f600", "c": []}}
    assert gc.isenabled() and floor.read_floor(floor.tape(doc)) == doc and gc.isenabled()
