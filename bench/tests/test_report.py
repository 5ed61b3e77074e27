import copy
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import cpp_figures
import peers
import report
import runs
import signals

ROOT = Path(__file__).resolve().parents[2]


def record(family, ratio, c, d, setting="s", **extra):
    base = dict(block="speed", signal="scipy_ecg", length=signals.MI, family=family,
                setting=setting, params=dict(coder="cmodel"), lossless=False,
                compressed_bytes=int(4 * signals.MI / ratio), ratio=ratio, max_abs_error=0.01,
                prd_range=0.02, compress_s=4 * signals.MI / c / 1e6,
                decompress_s=4 * signals.MI / d / 1e6, compress_mb_s=c, decompress_mb_s=d,
                compress_samples_s=c / 4 * 1e6, decompress_samples_s=d / 4 * 1e6,
                compress_peak_bytes=5 * 4 * signals.MI, decompress_peak_bytes=None, runs=5,
                decisions=None, compress_decisions_s=None, decompress_decisions_s=None)
    base.update(extra)
    return base


RESULTS = {
    "environment": {"mode": "quick", "date": "d", "seconds": 1.0, "machine": "m",
                    "python": "3", "versions": {"numpy": "1"},
                    "unavailable_peers": {"sz3": "ImportError: no pysz"},
                    "skipped_signals": {}, "signals": {"scipy_ecg": "ECG"}, "notes": []},
    "records": [record("verdalix", 8.0, 100.0, 200.0, decisions=8 * signals.MI,
                       compress_decisions_s=2e8, decompress_decisions_s=4e8),
                record("zfp", 4.0, 400.0, 100.0)],
    "transforms": [],
    "cpp_codec": [],
}


def test_goals_compare_verdalix_with_matched_peers(tmp_path):
    report.write_markdown(copy.deepcopy(RESULTS), tmp_path / "r.md")
    text = (tmp_path / "r.md").read_text()
    # ratio 8 over 4, compress 100 over 400, decompress 200 over 100.
    assert "| 1 Mi | zfp | s | 8 | 4 | 0.01 | 2 | 0.25 | 2 |" in text
    assert "| decisions per sample | 8 | – |" in text
    assert "| compress peak ×input (goal ≤ 8), cmodel | 5 | – |" in text
    assert "sz3 (ImportError: no pysz)" in text  # a missing peer is recorded, not hidden


def test_goals_without_the_goal_signal(tmp_path):
    results = copy.deepcopy(RESULTS)
    for r in results["records"]:
        r["signal"] = "tones"
    report.write_markdown(results, tmp_path / "r.md")
    assert "No 1 Mi run of scipy_ecg" in (tmp_path / "r.md").read_text()


def test_number_formatting():
    assert report.fmt(None) == "–"
    assert report.fmt(0.0) == "0"
    assert report.fmt(123.456) == "123"
    assert report.fmt(1234.5) == "1.23e+03"
    assert report.fmt(0.001234) == "1.23e-03"
    assert report.length_name(16 * signals.MI) == "16 Mi"
    assert report.length_name(64 * signals.KI) == "64 Ki"


def test_measure_records_sizes_errors_and_speeds():
    x = signals.random_walk(5000)
    codec = peers.Codec("halves", "test", lambda v: (v * 0.5).astype(np.float16).tobytes(),
                        lambda b, n: (np.frombuffer(b, np.float16) * 2).astype(np.float32))
    r = runs.measure("speed", "walk", x, codec, budget=0.0, with_memory=False)
    assert r.compressed_bytes == 2 * x.size and r.ratio == 2.0
    assert 0 < r.max_abs_error < 0.1 and r.prd_range > 0
    assert r.runs == 5 and r.compress_mb_s > 0 and r.decompress_samples_s > 0
    broken = peers.Codec("short", "test", lambda v: v.tobytes(),
                         lambda b, n: np.zeros(n - 1, np.float32))
    with pytest.raises(RuntimeError, match="restored"):
        runs.measure("speed", "walk", x, broken, budget=0.0, with_memory=False)


BENCH_CODEC = cpp_figures.binary(Path(os.environ.get("VERDALIX_BENCH_BUILD",
                                                     ROOT / "build" / "bench-cpp")), "bench_codec")


@pytest.mark.skipif(BENCH_CODEC is None, reason="bench_codec not built")
@pytest.mark.skipif(peers.availability()["verdalix"] is not None, reason="no verdalix")
def test_decision_counts_from_containers(tmp_path):
    import verdalix

    n = 10000
    flat = np.full(n, 3.5, dtype=np.float32)  # every band all zero
    walk = signals.random_walk(n)
    paths = []
    for name, x, coder in [("flat", flat, "cmodel"), ("walk", walk, "cmodel"),
                           ("arans", walk, "arans"), ("deflate", walk, "deflate")]:
        path = tmp_path / f"{name}.vdx"
        path.write_bytes(verdalix.compress_signal(x, verdalix.CompressionOptions(coder=coder)))
        paths.append(str(path))
    out = subprocess.run([str(BENCH_CODEC), "--count-decisions", *paths], check=True,
                         capture_output=True, text=True).stdout.split("\n")
    counts = {Path(line.split()[0]).stem: (int(line.split()[1]), int(line.split()[2]))
              for line in out if line}
    # All-zero bands cost one zero flag per coefficient; cdf97 bands hold a
    # few more coefficients than samples (borders).
    coder_id, zeros_only = counts["flat"]
    assert coder_id == 2 and n <= zeros_only < n + 200
    assert counts["walk"][1] > 2 * zeros_only
    assert counts["arans"] == (1, 16 * zeros_only)  # 8 per byte of each int16
    assert counts["deflate"] == (0, 0)
    bad = tmp_path / "bad.vdx"
    bad.write_bytes(b"VRDX" + bytes(10))
    assert subprocess.run([str(BENCH_CODEC), "--count-decisions", str(bad)],
                          capture_output=True).returncode == 1


def sweep_records():
    out = []
    for scale, (ratio, prd) in zip((6, 7), ((20.0, 1.0), (12.0, 0.5))):
        out.append(record("verdalix", ratio, 50.0, 80.0, setting=f"s{scale}", block="sweep",
                          length=64 * signals.KI, prd_range=prd,
                          params=dict(method="cdf97", scale=scale, cutoff="low",
                                      coder="cmodel")))
        out.append(record("zfp", ratio / 2, 100.0, 100.0, block="sweep",
                          length=64 * signals.KI, prd_range=prd / 2))
    out.append(record("zstd", 1.1, 300.0, 600.0, block="sweep", length=64 * signals.KI,
                      prd_range=0.0, lossless=True))
    return out


def test_sweep_rows_pair_each_scale_with_its_matched_peer(tmp_path):
    results = copy.deepcopy(RESULTS)
    results["records"] += sweep_records()
    report.write_markdown(results, tmp_path / "r.md")
    text = (tmp_path / "r.md").read_text()
    assert "## Rate and distortion (64 Ki samples)" in text
    # zfp's points are (PRD 0.5, ratio 10) and (0.25, 6): at PRD 1 and 0.5
    # verdalix is outside and on the end of its curve.
    assert "| scipy_ecg | 6 | 20 | 0.01 | 1 | 10 | 0.5 | – | – | – | – |" in text
    assert "| scipy_ecg | 7 | 12 | 0.01 | 0.5 | 6 | 0.25 | 10 | – | – | – |" in text


def test_ratio_at_prd_interpolates_log_log():
    points = [dict(prd_range=0.1, ratio=4.0), dict(prd_range=0.4, ratio=16.0),
              dict(prd_range=0.0, ratio=1.0)]  # lossless points carry no curve
    assert report.ratio_at_prd(points, 0.2) == pytest.approx(8.0)
    assert report.ratio_at_prd(points, 0.1) == pytest.approx(4.0)
    assert report.ratio_at_prd(points, 0.05) is None
    assert report.ratio_at_prd(points, 0.5) is None
    assert report.ratio_at_prd([], 0.2) is None


def test_plots_are_written(tmp_path):
    pytest.importorskip("matplotlib")
    results = copy.deepcopy(RESULTS)
    results["records"] += sweep_records()
    report.write_all(results, tmp_path)
    for name in ("results.md", "rd_scipy_ecg.png", "throughput_1mi.png"):
        data = (tmp_path / name).read_bytes()
        assert len(data) > 1000, name
    assert (tmp_path / "rd_scipy_ecg.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
