"""zarr write throughput of an error target: a 4 Mi-sample float32 signal
written in 64 Ki-sample chunks, one thread, with verdalix's default
options, with max_error at 1 % of the range (every written array is read
back and checked against the bound), and with Zstd (lossless) beside them.
SZ3 has no zarr codec here; its chunk rate without zarr is in
bench/fit_native.py's chunk table. Medians of three writes.

    python bench/zarr_fit_throughput.py
"""
from __future__ import annotations

import shutil
import statistics
import tempfile
import time

import numpy as np
import zarr
from zarr.codecs import BytesCodec, ZstdCodec

import signals
from verdalix.zarr import Verdalix

CHUNK = 1 << 16
LENGTH = 1 << 22
REPEATS = 3
SIGNALS = ("random_walk", "tones_and_noise", "chirp", "steps", "white_noise")


def write_rate(x: np.ndarray, codecs: dict, bound: float | None) -> float:
    times = []
    for _ in range(REPEATS):
        path = tempfile.mkdtemp()
        try:
            array = zarr.create_array(path, shape=x.shape, chunks=(CHUNK,), dtype="f4", **codecs)
            start = time.perf_counter()
            array[:] = x
            times.append(time.perf_counter() - start)
            if bound is not None:
                assert np.max(np.abs(array[:].astype(np.float64) - x)) <= bound
        finally:
            shutil.rmtree(path)
    return x.nbytes / statistics.median(times) / 1e6


def main() -> None:
    zarr.config.set({"async.concurrency": 1, "threading.max_workers": 1})
    print("| signal | verdalix default | verdalix max_error 1 % | Zstd level 3 |")
    print("|---|---|---|---|")
    for name in SIGNALS:
        x = np.asarray(getattr(signals, name)(LENGTH), dtype=np.float32)
        bound = 1e-2 * float(np.ptp(x))
        rates = [
            write_rate(x, {"serializer": Verdalix(), "compressors": None}, None),
            write_rate(x, {"serializer": Verdalix(max_error=bound), "compressors": None}, bound),
            write_rate(x, {"serializer": BytesCodec(), "compressors": ZstdCodec(level=3)}, None),
        ]
        print(f"| {name} | " + " | ".join(f"{r:.1f}" for r in rates) + " |", flush=True)


if __name__ == "__main__":
    main()
