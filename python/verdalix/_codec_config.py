"""The settings both storage codecs carry: explicit options, validated by
building the CompressionOptions they stand for, or one error target
(max_error, rms_error or prd) that each chunk is fitted to; kept in a
JSON-ready form, and the one chunk encoder both codecs call."""
from __future__ import annotations

import operator
from typing import Any

import numpy as np

from verdalix import CompressionOptions, _native, targets

TARGETS = ("max_error", "rms_error", "prd")
_DEFAULTS = {"scale": 11, "cutoff": "low", "quant_multiplier": None}


def validated(method: Any = None, scale: Any = 11, cutoff: Any = "low", coder: Any = None,
              quant_multiplier: Any = None, max_error: Any = None, rms_error: Any = None,
              prd: Any = None) -> tuple[dict[str, Any], CompressionOptions | None]:
    """The configuration as plain JSON values, and the options it builds
    (None when a target is given: each chunk gets its own options then).

    CompressionOptions raises for anything it refuses, with its own exception
    and message, before any value is converted here. `method` None means
    "cdf97" with explicit options, and any wavelet the search picks with a
    target; a target's keyword is in the configuration only when given.
    """
    if max_error is None and rms_error is None and prd is None:
        options = CompressionOptions(method="cdf97" if method is None else method, scale=scale,
                                     cutoff=cutoff, coder=coder,
                                     quant_multiplier=quant_multiplier)
        refuse_unreadable(options)
        return {
            "method": "cdf97" if method is None else str(method),
            "scale": operator.index(scale),
            "cutoff": str(cutoff),
            "coder": None if coder is None else str(coder),
            # Whatever real number was given is rounded to float32 by the
            # codec; the config keeps the given value so it builds the same
            # options.
            "quant_multiplier": None if quant_multiplier is None else float(quant_multiplier),
        }, options
    kind, value = targets._target("Verdalix", max_error, rms_error, prd)
    given = {"scale": scale, "cutoff": cutoff, "quant_multiplier": quant_multiplier}
    if any(given[name] != default for name, default in _DEFAULTS.items()):
        raise TypeError(f"Verdalix() takes a target ({kind}) instead of scale, cutoff and "
                        "quant_multiplier, not both")
    # Unknown names get the codec's own messages.
    CompressionOptions(method="cdf97" if method is None else method, coder=coder)
    return {
        "method": None if method is None else str(method),
        "scale": 11, "cutoff": "low",
        "coder": None if coder is None else str(coder),
        "quant_multiplier": None,
        kind: value,
    }, None


def refuse_unreadable(options: CompressionOptions) -> None:
    """Raises what compress_signal raises for these options whatever the
    samples (a multiplier the reader could not honour: negative, infinite,
    NaN, or with an infinite inverse), by asking the codec itself with one
    sample, so such a value never reaches an array's metadata."""
    _native.encode(_ONE_SAMPLE, options)


_ONE_SAMPLE = np.zeros(1, np.float32)


def _flat_samples(chunk: Any) -> Any:
    """The chunk's C-order flattening, refused as the native encoder refuses."""
    if not isinstance(chunk, np.ndarray):
        raise TypeError(f"verdalix encodes a NumPy array, not a '{type(chunk).__name__}' object")
    if chunk.dtype not in (np.float32, np.float64) or not chunk.dtype.isnative:
        raise TypeError(f"verdalix encodes float32 or float64 samples, not {chunk.dtype}")
    if not (chunk.flags.c_contiguous and chunk.flags.aligned):
        raise ValueError("verdalix encodes C-contiguous, aligned arrays; this one has strides "
                         f"{chunk.strides}")
    return chunk.reshape(-1)


def encode_chunk(chunk: Any, config: dict[str, Any]) -> bytes:
    """The container of one chunk: with explicit options exactly what
    compress_signal gives for its flattening, with a target the smallest
    container the search finds that meets it (checked by decoding)."""
    # Options are rebuilt per chunk (microseconds) rather than kept, so the
    # codecs pickle as their plain configuration for dask's workers.
    _, options = validated(**config)
    if options is not None:
        return _native.encode(chunk, options)
    kind = next(name for name in TARGETS if config.get(name) is not None)
    return targets.compress_within(_flat_samples(chunk), method=config["method"],
                                   coder=config["coder"], **{kind: config[kind]})
