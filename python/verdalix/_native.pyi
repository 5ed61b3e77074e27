from typing_extensions import Buffer
from typing import Any

import numpy as np
import numpy.typing as npt

from verdalix import CompressionOptions

def read_header(data: Buffer, /) -> dict[str, Any]: ...
def encode(
    data: npt.NDArray[np.float32] | npt.NDArray[np.float64], options: CompressionOptions, /
) -> bytes: ...
def decode(
    data: Buffer | npt.NDArray[Any], count: int = -1, out: npt.NDArray[Any] | None = None, /
) -> npt.NDArray[Any]: ...
def encode_chunk(
    data: npt.NDArray[Any],
    options: CompressionOptions,
    axis: int | None,
    target: tuple[str, float, bool] | None = None,
    /,
) -> bytes: ...
def decode_chunk(
    data: Buffer | npt.NDArray[Any],
    count: int = -1,
    out: npt.NDArray[Any] | None = None,
    max_samples: int = -1,
    /,
) -> npt.NDArray[Any]: ...
def describe_chunk(
    data: Buffer | npt.NDArray[Any], /
) -> tuple[bool, str, tuple[int, ...], int | None]: ...
