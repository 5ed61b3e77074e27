import json

import pytest

import compare
import peers
import runs
import signals

pytestmark = pytest.mark.skipif(peers.availability()["verdalix"] is not None,
                                reason="verdalix not installed")

TINY = runs.Plan(sweep_length=4 * signals.KI, sweep_methods=["cdf97"], sweep_cutoffs=["low"],
                 speed_lengths=[signals.KI, 8 * signals.KI], full_speed_up_to=signals.KI,
                 time_budget=0.0, signals=None, speed_signals_long=None,
                 fitted_length=4 * signals.KI, fitted_cost_length=4 * signals.KI)


def test_a_whole_run_writes_every_figure(tmp_path, monkeypatch):
    monkeypatch.setattr(runs, "QUICK", TINY)
    usable = peers.availability()
    usable["sz3"] = "ImportError: pretend pysz is missing"
    monkeypatch.setattr(peers, "availability", lambda: dict(usable))
    assert compare.main(["--quick", "--quiet", "--signals", "random_walk", "steps",
                         "--out", str(tmp_path), "--cpp-build", str(tmp_path / "none")]) == 0
    results = json.loads((tmp_path / "results.json").read_text())
    records = results["records"]
    env = results["environment"]
    assert env["unavailable_peers"] == {"sz3": "ImportError: pretend pysz is missing"}
    assert not any(r["family"] == "sz3" for r in records)
    assert "bench_codec not built: decisions not counted" in env["notes"]

    for signal in ("random_walk", "steps"):
        sweep = [r for r in records if r["block"] == "sweep" and r["signal"] == signal]
        mine = [r for r in sweep if r["family"] == "verdalix"]
        assert sorted(r["params"]["scale"] for r in mine) == list(range(6, 13))
        # Finer scales cost bytes and buy accuracy.
        by_scale = sorted(mine, key=lambda r: r["params"]["scale"])
        assert by_scale[0]["ratio"] > by_scale[-1]["ratio"]
        assert by_scale[0]["max_abs_error"] > by_scale[-1]["max_abs_error"]
        if usable["zfp"] is None:
            # One ZFP run per scale at that scale's error, then four beyond.
            zfp = [r for r in sweep if r["family"] == "zfp"]
            assert len(zfp) == 7 + 4
            assert [r["params"]["tolerance"] for r in zfp[:7]] == \
                [r["max_abs_error"] for r in mine]

        short = [r for r in records if r["block"] == "speed" and r["signal"] == signal
                 and r["length"] == signals.KI]
        long = [r for r in records if r["block"] == "speed" and r["signal"] == signal
                and r["length"] == 8 * signals.KI]
        assert {r["params"].get("coder") for r in short if r["family"] == "verdalix"} == \
            {"cmodel", "arans", "deflate"}
        # Beyond full_speed_up_to: verdalix cmodel and the error-bounded and
        # lossless peers only.
        assert {r["params"].get("coder") for r in long if r["family"] == "verdalix"} == \
            {"cmodel"}
        assert not any(r["family"].startswith(("quantize", "bitround")) for r in long)
        for r in short + long:
            assert r["runs"] >= 5 and r["compress_mb_s"] > 0 and r["decompress_mb_s"] > 0
            if r["lossless"]:
                assert r["max_abs_error"] == 0.0
    text = (tmp_path / "results.md").read_text()
    assert "## Throughput and size, 8 Ki samples" in text
    # The fitted rows: the container always within the target it was given.
    fitted = results["fitted"]
    assert {r["signal"] for r in fitted["cost"]} == {"random_walk", "steps"}
    for r in fitted["comparisons"]:
        assert r["peer"] != "sz3"
        kind = r["target"] if r["target"] == "prd" else "max_error"
        assert r["verdalix"][kind] <= r["value"] and r["other"][kind] <= r["value"] * 1.0001
    assert "## Fitted to the peers' targets (4 Ki samples)" in text
    assert "sz3 (ImportError: pretend pysz is missing)" in text
