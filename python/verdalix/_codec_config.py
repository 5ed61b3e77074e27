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


SAMPLE_DTYPES = tuple(np.dtype(name) for name in (
    "float32", "float64", "int8", "uint8", "int16", "uint16", "int32", "uint32"))
# Decoding without `out` (a numcodecs user that passes none) allocates what the
# chunk declares: 2^26 samples (256 MiB of float32) is beyond the largest
# chunks zarr's guides suggest, and a chunk declaring more is refused.
DEFAULT_MAX_SAMPLES = 1 << 26


def checked_axis(axis: Any) -> int | None:
    """The time axis as JSON: an int (negative counts from the last
    dimension), or None for the chunk's C-order flattening as one line."""
    if axis is None:
        return None
    if isinstance(axis, bool) or not isinstance(axis, (int, np.integer)):
        raise TypeError(f"axis must be an int or None, not {type(axis).__name__!r}")
    if not -32 <= axis < 32:
        raise ValueError(f"axis must be within -32 to 31 (chunks have at most 32 "
                         f"dimensions), but it was {axis}")
    return int(axis)


def checked_max_samples(max_samples: Any) -> int:
    if isinstance(max_samples, bool) or not isinstance(max_samples, (int, np.integer)):
        raise TypeError(f"max_samples must be an int, not {type(max_samples).__name__!r}")
    if max_samples < 0:
        raise ValueError(f"max_samples must be >= 0, but it was {max_samples}")
    return int(max_samples)


def refuse_unstored(dtype: Any) -> None:
    """TypeError naming a dtype the codecs do not store (int64, bool, complex,
    float16, ...): integers beyond 32 bits do not pass through float32."""
    if np.dtype(dtype) not in SAMPLE_DTYPES:
        raise TypeError("verdalix stores float32, float64, int8, uint8, int16, uint16, int32 "
                        f"or uint32 arrays, not {np.dtype(dtype)}")


def _chunk_array(chunk: Any) -> Any:
    """The chunk as the native encoder reads it: strided views are copied
    (unaligned buffers are read where they are)."""
    if not isinstance(chunk, np.ndarray):
        raise TypeError(f"verdalix encodes a NumPy array, not a '{type(chunk).__name__}' object")
    return chunk if chunk.flags.c_contiguous else np.ascontiguousarray(chunk)


def encode_chunk(chunk: Any, config: dict[str, Any]) -> bytes:
    """The stored form of one chunk: each line along the configured axis
    compressed on its own behind the chunk frame (a float32 chunk of one line
    with nothing kept aside: exactly compress_signal's container); with a
    target, the smallest container the search finds that meets it."""
    samples = _chunk_array(chunk)
    axis = config.get("axis", -1)
    kind = next((name for name in TARGETS if config.get(name) is not None), None)
    if kind is None:
        return _native.encode_chunk(samples, options_of(config), axis)
    # Each line is fitted natively, measured against the chunk's own samples
    # outside the kept runs (integers after the reader's rounding).
    method = config["method"]
    fixed = CompressionOptions(method="cdf97" if method is None else method,
                               coder=config["coder"])
    return _native.encode_chunk(samples, fixed, axis, (kind, config[kind], method is not None))


def options_of(config: dict[str, Any]) -> CompressionOptions:
    """The options of a configuration `validated` built without a target.
    They are rebuilt per chunk (microseconds) rather than kept, so the codecs
    pickle as their plain configuration for dask's workers; `validated`
    already asked the codec whether it can honour them."""
    return CompressionOptions(method=config["method"], scale=config["scale"],
                              cutoff=config["cutoff"], coder=config["coder"],
                              quant_multiplier=config["quant_multiplier"])
