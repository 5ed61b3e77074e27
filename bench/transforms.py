"""Transform speed: PyWavelets' wavedec/waverec against the codec's own
transforms (bench/bench_wavelet.cpp), both over a full decomposition of
1 Mi float32 samples."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

import cpp_figures
import metrics
import signals

# PyWavelets name -> (our wavelet id in bench_wavelet, our name, filter length)
PAIRS = {"bior4.4": (1, "cdf97", 10), "db4": (2, "db4", 8)}


def pywt_rows(n: int, repeats: int) -> list[dict]:
    try:
        import pywt
    except ImportError as e:
        return [{"library": "PyWavelets", "error": str(e)}]
    x = signals.tones_and_noise(n)
    rows = []
    for name, (_, ours, filter_length) in PAIRS.items():
        levels = int(math.floor(math.log2(n / filter_length)))
        coefficients = pywt.wavedec(x, name, mode="periodization", level=levels)
        forward = metrics.median_seconds(
            lambda: pywt.wavedec(x, name, mode="periodization", level=levels), repeats)
        inverse = metrics.median_seconds(
            lambda: pywt.waverec(coefficients, name, mode="periodization"), repeats)
        rows.append({"library": "PyWavelets", "wavelet": name, "counterpart": ours, "n": n,
                     "levels": levels, "dtype": str(coefficients[0].dtype),
                     "decompose_mb_s": 4 * n / forward / 1e6,
                     "reconstruct_mb_s": 4 * n / inverse / 1e6})
    return rows


def ours_rows(build: Path, n: int, quick: bool) -> list[dict]:
    program = cpp_figures.binary(build, "bench_wavelet")
    if program is None:
        return [{"library": "verdalix", "error": "bench_wavelet not built"}]
    ids = "|".join(str(i) for i, _, _ in PAIRS.values())
    found = cpp_figures.medians(cpp_figures.run_json(program, [
        f"--benchmark_filter=^(decompose|reconstruct)/wavelet:({ids})/n:{n}$",
        "--benchmark_min_time=0.05" if quick else "--benchmark_min_time=0.2",
        "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"]))
    rows = {}
    for b in found:
        name = b.get("run_name", b["name"])
        operation, wavelet, _ = name.split("/")
        wavelet_id = int(wavelet.split(":")[1])
        ours = next(o for i, o, _ in PAIRS.values() if i == wavelet_id)
        row = rows.setdefault(ours, {"library": "verdalix", "wavelet": ours, "n": n,
                                     "levels": int(b.get("levels", 0)), "dtype": "float32"})
        row[f"{operation}_mb_s"] = b["GB/s"] * 1000.0
    return list(rows.values())


def compare(build: Path, quick: bool) -> list[dict]:
    n = signals.MI
    return pywt_rows(n, 5) + ours_rows(build, n, quick)
