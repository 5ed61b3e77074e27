"""What is measured per signal, codec and setting: size and error figures,
median throughput over repeated runs, and the peak memory of one call."""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import statistics
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np


def compression_ratio(n_samples: int, compressed_bytes: int) -> float:
    """Size of the signal as float32 over the compressed size."""
    return 4.0 * n_samples / max(compressed_bytes, 1)


def max_abs_error(original: np.ndarray, restored: np.ndarray) -> float:
    diff = original.astype(np.float64) - restored.astype(np.float64)
    return float(np.max(np.abs(diff))) if diff.size else 0.0


def prd_of_range(original: np.ndarray, restored: np.ndarray) -> float:
    """Root-mean-square error as a percentage of the signal's range
    (max - min); 0 for a perfect copy, and for a flat signal restored exactly."""
    x = original.astype(np.float64)
    diff = x - restored.astype(np.float64)
    rms = float(np.sqrt(np.mean(diff * diff))) if diff.size else 0.0
    span = float(x.max() - x.min()) if x.size else 0.0
    if span == 0.0:
        return 0.0 if rms == 0.0 else float("inf")
    return 100.0 * rms / span


def median_seconds(run: Callable[[], object], repeats: int) -> float:
    """Median wall time of `repeats` calls (at least 5), garbage collection
    held off while timing so a collection does not land in one run."""
    repeats = max(repeats, 5)
    times = []
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
    finally:
        if was_enabled:
            gc.enable()
    return statistics.median(times)


@dataclass
class Throughput:
    mb_per_s: float       # float32 input bytes per second, 10^6 bytes
    samples_per_s: float


def throughput(n_samples: int, seconds: float) -> Throughput:
    if seconds <= 0.0:
        return Throughput(float("inf"), float("inf"))
    return Throughput(4.0 * n_samples / seconds / 1e6, n_samples / seconds)


# ---- peak memory ----------------------------------------------------------
#
# The codecs under test allocate in C, C++ and Rust, where tracemalloc sees
# nothing. So the resident set is watched instead: Linux resets its
# high-water mark when "5" is written to /proc/self/clear_refs, and the peak
# of a call is the high-water mark after it less the resident size before.
# glibc keeps freed memory for reuse, which would hide part of a call's
# peak, so it is handed back (malloc_trim) before each measurement.

_libc = None


def _trim_heap() -> None:
    global _libc
    if _libc is None:
        name = ctypes.util.find_library("c")
        _libc = ctypes.CDLL(name) if name else False
    if _libc and hasattr(_libc, "malloc_trim"):
        _libc.malloc_trim(0)


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def peak_memory_supported() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        _status_kib("VmHWM")
        return True
    except OSError:
        return False
    except KeyError:
        return False


def peak_memory_bytes(run: Callable[[], object]) -> tuple[int, object]:
    """Resident memory that one call of `run` added at its peak, and its
    result. The result is kept alive until the end of the measurement, so
    it counts too (a compressor's output is part of what it costs)."""
    gc.collect()
    _trim_heap()
    before = _status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    result = run()
    peak = _status_kib("VmHWM")
    return max(peak - before, 0) * 1024, result
