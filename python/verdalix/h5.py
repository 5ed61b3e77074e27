"""verdalix as an HDF5 filter: h5py datasets compressed chunk by chunk with
exactly the bytes the storage codecs store.

    import h5py
    import verdalix.h5

    with h5py.File("recording.h5", "w") as f:
        f.create_dataset("ecg", data=signal, chunks=(1 << 16,),
                         **verdalix.h5.Verdalix(max_error=0.01))

Importing this module registers the filter (``FILTER_ID``) with h5py's
HDF5. Programs that never import verdalix (h5dump, MATLAB, C programs, h5py
alone) read the same files with ``HDF5_PLUGIN_PATH`` set to ``PLUGIN_PATH``.
"""
from __future__ import annotations

import ctypes
import os
import struct
from typing import Any

import numpy as np

try:
    # h5py ships no type information.
    import h5py  # type: ignore[import-untyped]
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "verdalix.h5 needs h5py: install it with pip install 'verdalix[h5]'"
    ) from error

from verdalix._codec_config import TARGETS, checked_axis, validated

__all__ = ["FILTER_ID", "PLUGIN_PATH", "Verdalix"]

#: The filter's id: in the range HDF5 reserves for testing (256 to 511); a
#: registered id is to be requested from The HDF Group before files written
#: with it are shared widely.
FILTER_ID = 384

#: The folder holding the filter plugin, for ``HDF5_PLUGIN_PATH``.
PLUGIN_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hdf5_plugin")

# The filter's client data, as hdf5/cd_values.hpp lays it out.
_LAYOUT_VERSION = 1
_METHODS = {"cdf97": 0, "cdf53": 1, "db4": 2, "sym4": 3, None: 15}
_CUTOFFS = {"low": 0, "medium": 1, "high": 2}
_CODERS = {None: 0, "auto": 0, "cmodel": 1, "arans": 2, "deflate": 3}
_TARGET_CODES = {"max_error": 1, "rms_error": 2, "prd": 3}
_HAS_MULTIPLIER = 1
_HAS_AXIS = 2


def _float32_bits(value: float) -> int:
    # Rounded to nearest float32 as the codec rounds it (overflow: infinity).
    with np.errstate(over="ignore"):
        return int(np.array(value, dtype=np.float64).astype(np.float32).view(np.uint32))


def _filter_values(config: dict[str, Any], axis: int | None) -> tuple[int, ...]:
    kind = next((name for name in TARGETS if config.get(name) is not None), None)
    multiplier = config["quant_multiplier"]
    target_bits = struct.unpack("<II", struct.pack("<d", config[kind] if kind else 0.0))
    flags = (_HAS_MULTIPLIER if multiplier is not None else 0) | (
        _HAS_AXIS if axis is not None else 0)
    return (
        _LAYOUT_VERSION,
        _METHODS[config["method"]],
        config["scale"],
        _CUTOFFS[config["cutoff"]],
        _CODERS[config["coder"]],
        flags,
        _float32_bits(multiplier) if multiplier is not None else 0,
        _TARGET_CODES[kind] if kind else 0,
        target_bits[0],
        target_bits[1],
        (axis or 0) & 0xFFFFFFFF,  # int32, two's complement
    )


class Verdalix(h5py.filters.FilterRefBase):  # type: ignore[misc]
    """The filter and its options, as keyword arguments of ``create_dataset``
    (``**Verdalix(...)``) or as its ``compression=`` argument.

    Takes the storage codecs' options (``verdalix.zarr.Verdalix``): explicit
    ``method``, ``scale``, ``cutoff``, ``coder`` and ``quant_multiplier``, or
    one target (``max_error``, ``rms_error``, ``prd``) with optional
    ``method`` and ``coder``; and ``axis``, the time axis of a chunk (each
    line along it compressed on its own; None: the chunk's C-order
    flattening as one line). Refused with the same exceptions and messages.
    A chunk is stored exactly as those codecs store it, integer datasets
    (int8 to uint32) included.
    """

    filter_id = FILTER_ID

    def __init__(self, method: Any = None, scale: Any = 11, cutoff: Any = "low",
                 coder: Any = None, quant_multiplier: Any = None, max_error: Any = None,
                 rms_error: Any = None, prd: Any = None, axis: Any = -1) -> None:
        config, _ = validated(method, scale, cutoff, coder, quant_multiplier, max_error,
                              rms_error, prd)
        config["axis"] = checked_axis(axis)
        self.config: dict[str, Any] = config
        self.filter_options: tuple[int, ...] = _filter_values(config, config["axis"])

    def __repr__(self) -> str:
        settings = ", ".join(f"{name}={value!r}" for name, value in self.config.items()
                             if value is not None)
        return f"Verdalix({settings})"


def _register() -> ctypes.CDLL:
    """Loads the plugin into this process and hands its filter class to
    h5py's HDF5 (replacing any filter registered under the same id)."""
    library = ctypes.CDLL(os.path.join(PLUGIN_PATH, "libh5verdalix.so"))
    library.H5PLget_plugin_info.restype = ctypes.c_void_p
    h5py.h5z.register_filter(library.H5PLget_plugin_info())
    return library


# Kept referenced: the registered class lives in the plugin's memory.
_plugin = _register()
