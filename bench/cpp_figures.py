"""Figures from the C++ benchmarks (bench/bench_codec.cpp, bench_wavelet.cpp),
run as programs from a CMake build and read back as Google Benchmark JSON."""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path

import numpy as np


def binary(build: Path, name: str) -> Path | None:
    path = build / "bench" / name
    return path if path.is_file() and os.access(path, os.X_OK) else None


def run_json(program: Path, args: list[str], env: dict | None = None) -> list[dict]:
    out = subprocess.run([str(program), "--benchmark_format=json", *args], check=True,
                         capture_output=True, text=True,
                         env={**os.environ, **(env or {})}).stdout
    return json.loads(out)["benchmarks"]


def medians(benchmarks: list[dict]) -> list[dict]:
    """The median aggregate of each repeated benchmark, or the single run."""
    found = [b for b in benchmarks if b.get("aggregate_name") == "median"]
    return found or [b for b in benchmarks if b.get("run_type", "iteration") == "iteration"]


def codec_benchmark(program: Path | None, ecg: np.ndarray | None, scratch: Path, quick: bool
                    ) -> tuple[list[dict], str | None]:
    """compress_samples / decompress_container on 1 Mi samples of the ECG:
    median of 5 repetitions, with decisions/s and the peak heap per call."""
    if program is None:
        return [], "bench_codec not built: no C++ codec figures"
    if ecg is None:
        return [], "scipy's ECG unavailable: no C++ codec figures"
    path = scratch / "ecg_1mi.f32"
    ecg.astype("<f4").tofile(path)
    pattern = "^(de)?compress/file/cdf97/" if quick else "^(de)?compress/file/"
    rows = []
    for b in medians(run_json(program, [f"--benchmark_filter={pattern}",
                                        "--benchmark_min_time=0.1" if quick else
                                        "--benchmark_min_time=0.3",
                                        "--benchmark_repetitions=5",
                                        "--benchmark_report_aggregates_only=true"],
                              env={"VERDALIX_BENCH_SIGNAL": str(path)})):
        name = b["run_name"] if "run_name" in b else b["name"]
        operation, _, method, coder = name.split("/")[:4]
        rows.append({
            "operation": operation, "method": method, "coder": coder,
            "ms": b["real_time"] if b.get("time_unit") == "ms" else b["real_time"] / 1e6,
            "mb_s": b.get("MB"), "samples_s": b.get("samples"),
            "decisions_s": b.get("decisions"), "peak_over_input": b.get("peak/input"),
            "ratio": b.get("ratio"),
        })
    return rows, None
