"""The measurement plan of a comparison run and its execution: which codec
settings run on which signal at which length, and one record per run."""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Callable, Iterator

import numpy as np

import metrics
import peers
from signals import KI, MI

SCALES = list(range(6, 13))
CUTOFFS = ["low", "medium", "high"]
METHODS = ["cdf97", "cdf53", "db4", "sym4"]
CODERS = ["cmodel", "arans", "deflate"]
DEFAULT = dict(method="cdf97", scale=11, cutoff="low", coder="cmodel")


@dataclass
class Plan:
    sweep_length: int          # rate-distortion sweep runs at this length
    sweep_methods: list[str]
    sweep_cutoffs: list[str]
    speed_lengths: list[int]   # throughput runs at these lengths
    full_speed_up_to: int      # all codecs up to this length, few settings beyond
    time_budget: float         # seconds of timing per measurement, at least 5 runs
    signals: list[str] | None  # None: every signal
    speed_signals_long: list[str] | None  # signals run beyond full_speed_up_to
    fitted_length: int = 64 * KI  # verdalix.targets against the peers' own targets
    fitted_cost_length: int = MI  # compress_within time over compress_signal


QUICK = Plan(sweep_length=16 * KI, sweep_methods=["cdf97"], sweep_cutoffs=["low"],
             speed_lengths=[KI, 64 * KI, MI], full_speed_up_to=64 * KI, time_budget=0.02,
             signals=None, speed_signals_long=["scipy_ecg", "ecg"], fitted_length=16 * KI,
             fitted_cost_length=64 * KI)
FULL = Plan(sweep_length=64 * KI, sweep_methods=METHODS, sweep_cutoffs=CUTOFFS,
            speed_lengths=[KI, 64 * KI, MI, 16 * MI], full_speed_up_to=MI, time_budget=0.25,
            signals=None, speed_signals_long=None)


@dataclass
class Record:
    block: str       # "sweep" or "speed"
    signal: str
    length: int
    family: str
    setting: str
    params: dict
    lossless: bool
    compressed_bytes: int
    ratio: float
    max_abs_error: float
    prd_range: float
    compress_s: float
    decompress_s: float
    compress_mb_s: float
    decompress_mb_s: float
    compress_samples_s: float
    decompress_samples_s: float
    compress_peak_bytes: int | None
    decompress_peak_bytes: int | None
    runs: int
    decisions: int | None = None          # verdalix: binary decisions of the payload
    compress_decisions_s: float | None = None
    decompress_decisions_s: float | None = None

    def as_dict(self) -> dict:
        return asdict(self)


def measure(block: str, signal: str, x: np.ndarray, codec: peers.Codec, budget: float,
            keep_blob: Callable[[Record, bytes], None] | None = None,
            with_memory: bool = True) -> Record:
    n = x.size
    blob = codec.compress(x)
    restored = np.asarray(codec.decompress(blob, n))
    if restored.shape != x.shape:
        raise RuntimeError(f"{codec.family} {codec.setting}: restored {restored.shape}, "
                           f"expected {x.shape}")
    # Repeats from the cost of one more call: enough to fill the budget, at
    # least five, at most fifty.
    once = metrics.median_seconds(lambda: codec.compress(x), 5) if budget > 0 else 0.0
    runs = int(min(max(round(budget / max(once, 1e-9)), 5), 50))
    compress_s = metrics.median_seconds(lambda: codec.compress(x), runs)
    decompress_s = metrics.median_seconds(lambda: codec.decompress(blob, n), runs)
    peak_c = peak_d = None
    if with_memory and metrics.peak_memory_supported():
        peak_c, _ = metrics.peak_memory_bytes(lambda: codec.compress(x))
        peak_d, _ = metrics.peak_memory_bytes(lambda: codec.decompress(blob, n))
    tc = metrics.throughput(n, compress_s)
    td = metrics.throughput(n, decompress_s)
    record = Record(
        block=block, signal=signal, length=n, family=codec.family, setting=codec.setting,
        params=dict(codec.params), lossless=codec.lossless, compressed_bytes=len(blob),
        ratio=metrics.compression_ratio(n, len(blob)),
        max_abs_error=metrics.max_abs_error(x, restored),
        prd_range=metrics.prd_of_range(x, restored),
        compress_s=compress_s, decompress_s=decompress_s,
        compress_mb_s=tc.mb_per_s, decompress_mb_s=td.mb_per_s,
        compress_samples_s=tc.samples_per_s, decompress_samples_s=td.samples_per_s,
        compress_peak_bytes=peak_c, decompress_peak_bytes=peak_d, runs=runs)
    if keep_blob is not None and codec.family == "verdalix":
        keep_blob(record, bytes(blob))
    return record


def matched_peers(x: np.ndarray, max_error: float, usable: dict[str, str | None]
                  ) -> Iterator[peers.Codec]:
    """The error-bounded peers set to the maximum error verdalix reached."""
    bound = max(max_error, 1e-30)
    if usable.get("zfp") is None:
        yield peers.zfp_codec(bound)
    if usable.get("sz3") is None:
        yield peers.sz3_codec(bound)
    if usable.get("quantize+zstd") is None:
        yield peers.quantize_zstd_codec(peers.quantize_digits_for(bound))
    if usable.get("bitround+zstd") is None:
        yield peers.bitround_zstd_codec(peers.bitround_keepbits_for(x, bound))


def lossless_peers(usable: dict[str, str | None]) -> Iterator[peers.Codec]:
    if usable.get("pcodec") is None:
        yield peers.pcodec_codec()
    if usable.get("zstd") is None:
        yield peers.zstd_codec(3)
