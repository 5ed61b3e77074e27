"""verdalix as a numcodecs codec (zarr format 2, and anything else that takes
numcodecs codecs): ``Verdalix(method=..., scale=..., cutoff=..., coder=...,
quant_multiplier=...)``, registered under the id "verdalix"."""
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
from verdalix._codec_config import validated

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
    """

    codec_id = "verdalix"

    def __init__(self, method: Any = "cdf97", scale: Any = 11, cutoff: Any = "low",
                 coder: Any = None, quant_multiplier: Any = None) -> None:
        config, _ = validated(method, scale, cutoff, coder, quant_multiplier)
        self.method: str = config["method"]
        self.scale: int = config["scale"]
        self.cutoff: str = config["cutoff"]
        self.coder: str | None = config["coder"]
        self.quant_multiplier: float | None = config["quant_multiplier"]

    def encode(self, buf: Any) -> bytes:
        # Options are rebuilt per chunk (microseconds) rather than kept, so the
        # codec pickles as its plain configuration for dask's workers.
        options = validated(self.method, self.scale, self.cutoff, self.coder,
                            self.quant_multiplier)[1]
        return _native.encode(ensure_ndarray_like(buf), options)

    def decode(self, buf: Any, out: Any = None) -> Any:
        if out is None:
            return _native.decode(buf)
        # The header's sample count is checked against out before decoding.
        _native.decode(buf, -1, ensure_ndarray_like(out))
        return out


register_codec(Verdalix)
