"""verdalix as a numcodecs codec (zarr format 2, and anything else that takes
numcodecs codecs): ``Verdalix(method=..., scale=..., cutoff=..., coder=...,
quant_multiplier=...)``, or ``Verdalix(max_error=...)`` (or ``rms_error``,
``prd``) to fit every chunk to an error target; registered under the id
"verdalix"."""
from __future__ import annotations

from typing import Any

try:
    # numcodecs ships no type information.
    from numcodecs.abc import Codec  # type: ignore[import-untyped]
    from numcodecs.compat import ensure_ndarray_like  # type: ignore[import-untyped]
    from numcodecs.registry import register_codec  # type: ignore[import-untyped]
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "verdalix.numcodecs needs numcodecs: install it with pip install 'verdalix[zarr]'"
    ) from error

from verdalix import _native
from verdalix._codec_config import TARGETS, encode_chunk, validated

__all__ = ["Verdalix"]


class Verdalix(Codec):  # type: ignore[misc]
    """Lossy wavelet compression of float32/float64 chunks of any shape.

    A chunk is compressed as its C-order flattening into exactly the container
    ``verdalix.compress_signal`` gives for those samples as float32, and always
    decodes to float32 (or into ``out``, float32 or float64). In zarr format 2
    a float64 array therefore needs the filter
    ``numcodecs.AsType(encode_dtype="f4", decode_dtype="f8")`` in front.
    Encoding and decoding release the GIL; a chunk must not be written by
    another thread while it is being encoded.

    With a target (``max_error``, ``rms_error`` or ``prd``, as in
    ``verdalix.targets``) instead of ``scale``, ``cutoff`` and
    ``quant_multiplier``, each chunk is compressed to the smallest container
    found whose decoded samples meet it (``method`` and ``coder``, when
    given, are kept fixed); the target is part of the configuration.
    """

    codec_id = "verdalix"

    def __init__(self, method: Any = None, scale: Any = 11, cutoff: Any = "low",
                 coder: Any = None, quant_multiplier: Any = None, max_error: Any = None,
                 rms_error: Any = None, prd: Any = None) -> None:
        config, _ = validated(method, scale, cutoff, coder, quant_multiplier, max_error,
                              rms_error, prd)
        self.method: str | None = config["method"]
        self.scale: int = config["scale"]
        self.cutoff: str = config["cutoff"]
        self.coder: str | None = config["coder"]
        self.quant_multiplier: float | None = config["quant_multiplier"]
        # The target is an attribute (so in get_config) only when given.
        for kind in TARGETS:
            if kind in config:
                setattr(self, kind, config[kind])

    def encode(self, buf: Any) -> bytes:
        config = self.get_config()
        del config["id"]
        return encode_chunk(ensure_ndarray_like(buf), config)

    def decode(self, buf: Any, out: Any = None) -> Any:
        if out is None:
            return _native.decode(buf)
        # The header's sample count is checked against out before decoding.
        _native.decode(buf, -1, ensure_ndarray_like(out))
        return out


register_codec(Verdalix)
