from typing import Literal, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

__all__: list[str]
__version__: str

class PanicException(BaseException):
    """An internal fault of the native code; not an Exception, so that
    'except Exception' does not swallow it."""

@final
class CompressionOptions:
    """The settings of one compression: the wavelet (``method``), the
    quantisation ``scale`` (multiplier 2**scale, 6 to 12), the ``cutoff``
    of small detail coefficients, the entropy ``coder``, and an optional
    ``quant_multiplier`` in place of 2**scale (rounded to float32).

    Names and the scale are checked here; the multiplier's value by
    ``compress_signal``. An immutable token without attributes: it compares
    and hashes by identity, and pickles to options that compress
    identically."""

    def __new__(
        cls,
        method: Literal["cdf97", "cdf53", "db4", "sym4"] | str = "cdf97",
        scale: SupportsIndex = 11,
        cutoff: Literal["low", "medium", "high"] | str = "low",
        coder: Literal["auto", "cmodel", "arans", "deflate"] | str | None = None,
        quant_multiplier: SupportsFloat | SupportsIndex | None = None,
    ) -> CompressionOptions: ...

def compress_signal(
    data: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    options: CompressionOptions | None = None,
) -> bytes:
    """Compress a 1-D float32 **or** float64 NumPy array into Verdalix `bytes`.

    float64 input is downcast to float32 before compression (the codec works in
    f32 internally and always reconstructs f32 on decompress)."""

def decompress_signal(data: bytes) -> npt.NDArray[np.float32]:
    """Decompress a Verdalix bytes object into a 1-D float32 NumPy array."""
