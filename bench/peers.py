"""The codecs under comparison, each as a pair of functions over float32
arrays and bytes: verdalix at a given setting, and the peers from PyPI.

Every peer is optional. `availability()` tells, per peer, why it cannot be
used here (its import error), so a run records a missing peer instead of
leaving a silent gap.
"""

from __future__ import annotations

import importlib
import math
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

# Peer family -> the module it needs.
PEER_MODULES = {
    "verdalix": "verdalix",
    "zfp": "zfpy",
    "sz3": "pysz",
    "pcodec": "pcodec",
    "zstd": "zstandard",
    "quantize+zstd": "numcodecs",
    "bitround+zstd": "numcodecs",
}


def availability() -> dict[str, str | None]:
    """Family -> None when usable, else the reason it is not."""
    found: dict[str, str | None] = {}
    for family, module in PEER_MODULES.items():
        try:
            importlib.import_module(module)
            found[family] = None
        except Exception as e:  # an import can fail with more than ImportError
            found[family] = f"{type(e).__name__}: {e}"
    return found


@dataclass
class Codec:
    family: str
    setting: str  # short label for tables and legends
    compress: Callable[[np.ndarray], bytes]
    decompress: Callable[[bytes, int], np.ndarray]  # (blob, n_samples) -> samples
    lossless: bool = False
    params: dict = field(default_factory=dict)


def verdalix_codec(method: str = "cdf97", scale: int = 11, cutoff: str = "low",
                   coder: str = "cmodel") -> Codec:
    import verdalix

    options = verdalix.CompressionOptions(method=method, scale=scale, cutoff=cutoff, coder=coder)
    return Codec(
        family="verdalix",
        setting=f"{method} s{scale} {cutoff} {coder}",
        compress=lambda x: verdalix.compress_signal(x, options),
        decompress=lambda blob, n: verdalix.decompress_signal(blob),
        params=dict(method=method, scale=scale, cutoff=cutoff, coder=coder),
    )


def zfp_codec(tolerance: float) -> Codec:
    """Fixed-accuracy mode: every sample within `tolerance`."""
    import zfpy

    return Codec(
        family="zfp",
        setting=f"tol {tolerance:.3g}",
        compress=lambda x: zfpy.compress_numpy(x, tolerance=tolerance),
        decompress=lambda blob, n: zfpy.decompress_numpy(blob),
        params=dict(tolerance=tolerance),
    )


def sz3_codec(bound: float) -> Codec:
    """Absolute error bound."""
    import pysz

    def compress(x: np.ndarray) -> bytes:
        config = pysz.szConfig()
        config.errorBoundMode = pysz.szErrorBoundMode.ABS
        config.absErrorBound = bound
        packed, _ = pysz.sz.compress(x, config)
        return packed.tobytes()

    def decompress(blob: bytes, n: int) -> np.ndarray:
        restored, _ = pysz.sz.decompress(np.frombuffer(blob, dtype=np.uint8), np.float32, (n,))
        return restored

    return Codec("sz3", f"abs {bound:.3g}", compress, decompress, params=dict(bound=bound))


def pcodec_codec() -> Codec:
    from pcodec import ChunkConfig, standalone

    config = ChunkConfig()
    return Codec(
        family="pcodec",
        setting="lossless",
        compress=lambda x: standalone.simple_compress(x, config),
        decompress=lambda blob, n: standalone.simple_decompress(blob),
        lossless=True,
    )


def zstd_codec(level: int = 3) -> Codec:
    import zstandard

    compressor = zstandard.ZstdCompressor(level=level)
    decompressor = zstandard.ZstdDecompressor()
    return Codec(
        family="zstd",
        setting=f"level {level}",
        compress=lambda x: compressor.compress(x.tobytes()),
        decompress=lambda blob, n: np.frombuffer(
            decompressor.decompress(blob, max_output_size=4 * n), dtype=np.float32),
        lossless=True,
        params=dict(level=level),
    )


def _then_zstd(family: str, setting: str, filter_codec, params: dict) -> Codec:
    """A numcodecs filter, then Zstd level 3 on its output bytes. Both filters
    used here leave float32 bit patterns (BitRound hands them back as an
    integer view), so decoding reinterprets the bytes as float32."""
    from numcodecs import Zstd

    zstd = Zstd(level=3)

    def compress(x: np.ndarray) -> bytes:
        return bytes(zstd.encode(np.ascontiguousarray(filter_codec.encode(x)).tobytes()))

    def decompress(blob: bytes, n: int) -> np.ndarray:
        return np.frombuffer(zstd.decode(blob), dtype=np.float32)

    return Codec(family, setting, compress, decompress, params=params)


def quantize_zstd_codec(digits: int) -> Codec:
    from numcodecs import Quantize

    return _then_zstd("quantize+zstd", f"{digits} digits",
                      Quantize(digits=digits, dtype="f4"), dict(digits=digits))


def bitround_zstd_codec(keepbits: int) -> Codec:
    from numcodecs import BitRound

    return _then_zstd("bitround+zstd", f"{keepbits} bits", BitRound(keepbits=keepbits),
                      dict(keepbits=keepbits))


# ---- settings matched to an error ----------------------------------------

def quantize_digits_for(max_error: float) -> int:
    """Fewest decimal digits for numcodecs.Quantize to stay within
    `max_error`: it rounds to steps of 2^-bits with bits = ceil(log2(10^d)),
    so its error is at most half a step, 0.5·2^-bits <= 0.5·10^-d."""
    if not max_error > 0.0:
        return 7
    return int(min(max(math.ceil(math.log10(0.5 / max_error)), 0), 7))


def bitround_keepbits_for(samples: np.ndarray, max_error: float) -> int:
    """Fewest mantissa bits for numcodecs.BitRound to stay within
    `max_error` on these samples: keeping k bits rounds |x| < 2^(e+1) to
    steps of 2^(e-k), an error of at most 2^(e-k-1)."""
    peak = float(np.max(np.abs(samples))) if samples.size else 0.0
    if peak == 0.0 or not max_error > 0.0:
        return 0
    top = math.floor(math.log2(peak))  # e of the largest sample
    return int(min(max(math.ceil(top - 1 - math.log2(max_error)), 0), 23))
