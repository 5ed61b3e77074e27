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
def rebuild_options(
    method: str, scale: int, cutoff: str, coder: str | None, quant_multiplier: float | None, /
) -> CompressionOptions: ...
def fit(
    data: npt.NDArray[np.float32] | npt.NDArray[np.float64], kind: int, target: float,
    options: CompressionOptions, fixed_method: bool, /
) -> tuple[bytes, float, int, str, tuple[float, float, float], bool]: ...
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
def frame_tables(
    data: Buffer | npt.NDArray[Any], /
) -> tuple[tuple[int, int], list[int], list[tuple[int, int, int, bytes]]] | None: ...
