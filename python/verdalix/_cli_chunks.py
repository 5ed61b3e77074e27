"""The command line's arrays that are not one float signal: integer samples
and any number of dimensions, stored through the storage codecs' chunk frame
(the same bytes a codec writes for that chunk), their errors measured per
line, and what `info` shows of a frame."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import numpy as np

from verdalix import _codec_config, _native
from verdalix._cli_files import Failure

# Lines listed one by one in the compress summary; beyond this the summary
# gives the whole array and its worst line (info still lists every line).
_LISTED_LINES = 16
# Kept runs listed by info; their count per line is always shown.
_LISTED_RUNS = 20


def checked_axis(path: Path, axis: int | None, shape: tuple[int, ...]) -> None:
    """Refuses, naming the file, an axis the array does not have."""
    if axis is None:
        return
    if not -len(shape) <= axis < len(shape):
        have = f"its {len(shape)} dimensions" if shape else "no dimensions (a scalar)"
        raise Failure(f"{path}: --axis {axis} is beyond {have}, shape {shape}; "
                      f"give -{max(len(shape), 1)} to {max(len(shape) - 1, 0)} or none")


def lines_of(array: np.ndarray, axis: int | None) -> np.ndarray:
    """The array as (lines, samples per line) in the frame's line order."""
    if axis is None or array.ndim == 0:
        return array.reshape(1, -1)
    moved = np.moveaxis(array, axis, -1)
    return moved.reshape(-1, array.shape[axis])


def kept_mask(blob: bytes, lines: np.ndarray) -> np.ndarray:
    """True where the frame keeps a sample exactly, as its runs record."""
    kept = np.zeros(lines.shape, bool)
    tables = _native.frame_tables(blob)
    if tables is not None:
        for line, start, length, _ in tables[2]:
            kept[line, start:start + length] = True
    return kept


def line_errors(original: np.ndarray, decoded: np.ndarray,
                kept: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Per line: max and RMS error, normalised PRD (percent) and the count of
    samples compared, on the samples outside the kept runs (those the
    targets bound), in float64 and in the samples' own units (counts for
    integers)."""
    results = [np.empty(len(original)) for _ in range(4)]
    # A block of lines at a time: the float64 copies stay a few tens of MB
    # whatever the array's size.
    step = max(1, _BLOCK_SAMPLES // max(original.shape[1], 1))
    for first in range(0, len(original), step):
        block = slice(first, first + step)
        for result, values in zip(results, _block_errors(original[block], decoded[block],
                                                         kept[block])):
            result[block] = values
    peak, rms, prd, n = results
    return peak, rms, prd, n.astype(np.int64)


_BLOCK_SAMPLES = 1 << 22


def _block_errors(original: np.ndarray, decoded: np.ndarray,
                  kept: np.ndarray) -> tuple[np.ndarray, ...]:
    x = original.astype(np.float64)
    compared = ~kept
    n = compared.sum(axis=1)
    d = np.where(compared, x - decoded, 0.0)
    sq = np.einsum("ij,ij->i", d, d)
    safe_n = np.maximum(n, 1)
    mean = np.where(compared, x, 0.0).sum(axis=1) / safe_n
    centred = np.where(compared, x - mean[:, None], 0.0)
    energy = np.einsum("ij,ij->i", centred, centred)
    ratio = sq / np.where(energy == 0.0, 1.0, energy)
    prd = np.where(sq == 0.0, 0.0, np.where(energy == 0.0, math.inf, 100 * np.sqrt(ratio)))
    peak = np.abs(d).max(axis=1) if d.shape[1] else np.zeros(len(d))
    return peak, np.sqrt(sq / safe_n), prd, n


def exact_where_kept(original: np.ndarray, decoded: np.ndarray, kept: np.ndarray) -> bool:
    """Every kept sample back bit for bit (NaN payloads included)."""
    as_bits = np.dtype(f"u{original.dtype.itemsize}")
    return bool(np.array_equal(original.view(as_bits)[kept], decoded.view(as_bits)[kept]))


def compress_array(path: Path, array: np.ndarray, axis: int | None,
                   config: dict[str, Any]) -> tuple[bytes, list[str]]:
    """The chunk frame (or bare container) the storage codecs write for this
    array along `axis`, checked by decoding it, and the summary's lines."""
    checked_axis(path, axis, array.shape)
    try:
        blob = _codec_config.encode_chunk(array, dict(config, axis=axis))
        decoded = _native.decode_chunk(blob, array.size)
    except ValueError as e:
        raise Failure(f"{path}: {e}") from None
    decoded = decoded.reshape(array.shape)
    original, back = lines_of(array, axis), lines_of(decoded, axis)
    kept = kept_mask(blob, original)
    if not exact_where_kept(original, back, kept):  # a fault of ours, never the user's
        raise RuntimeError("a kept sample did not come back exactly")
    return blob, summary(array, axis, original, back, kept)


def summary(array: np.ndarray, axis: int | None, original: np.ndarray, back: np.ndarray,
            kept: np.ndarray) -> list[str]:
    peak, rms, prd, n = line_errors(original, back, kept)
    units = " (in counts)" if array.dtype.kind in "iu" else ""
    along = "the C-order flattening" if axis is None or array.ndim == 0 else f"axis {axis}"
    lines = [f"{len(original)} lines of {original.shape[1]} samples along {along}; "
             f"{int(kept.sum())} samples kept exactly in runs"]
    total = int(n.sum())
    overall_rms = math.sqrt(float(np.sum(rms ** 2 * n)) / total) if total else 0.0
    lines.append(f"max_error {float(peak.max()):.6g}, rms_error {overall_rms:.6g} over all "
                 f"lines{units}")
    if len(original) <= _LISTED_LINES:
        lines += [f"  line {i}: max_error {peak[i]:.6g}, rms_error {rms[i]:.6g}, "
                  f"prd {prd[i]:.6g}%" for i in range(len(original))]
    else:
        lines.append(f"worst line: max_error {peak.max():.6g} (line {int(peak.argmax())}), "
                     f"rms_error {rms.max():.6g} (line {int(rms.argmax())}), "
                     f"prd {prd.max():.6g}% (line {int(prd.argmax())})")
    return lines


def frame_info(path: Path, data: bytes) -> list[str]:
    """A frame's fields, then one row per line with its container's header
    fields, as the native parser reads them."""
    framed, dtype, shape, axis = _native.describe_chunk(data)
    tables = _native.frame_tables(data)
    if not framed or tables is None:
        raise ValueError("not a chunk frame")
    version, lengths, runs = tables
    count = math.prod(shape)
    containers = sum(lengths)
    itemsize = np.dtype(dtype).itemsize
    kept_runs = [0] * len(lengths)
    kept_samples = [0] * len(lengths)
    for line, _, length, _ in runs:
        kept_runs[line] += 1
        kept_samples[line] += length
    along = "none (the C-order flattening is one line)" if axis is None else str(axis)
    out = [
        f"{path}:",
        "  frame       chunk frame (VRDF)",
        f"  version     {version[0]}.{version[1]}",
        f"  dtype       {dtype}",
        f"  shape       {tuple(shape)} ({len(shape)} dimensions, {count} samples)",
        f"  axis        {along}",
        f"  lines       {len(lengths)} of {count // max(len(lengths), 1)} samples",
        f"  kept runs   {len(runs)} ({sum(kept_samples)} samples kept exactly)",
        f"  size        {len(data)} bytes: frame tables {len(data) - containers}, "
        f"containers {containers}",
        f"  ratio       {count * itemsize / len(data):.2f} (against {count * itemsize} bytes of "
        f"{dtype})",
        "  line  samples  container  runs  kept  wavelet        coder    scale  multiplier"
        "  minimum  maximum",
    ]
    start = len(data) - containers
    per_line = count // max(len(lengths), 1)
    for line, length in enumerate(lengths):
        row = f"  {line:4d}  {per_line:7d}  {length:9d}  {kept_runs[line]:4d}  " \
              f"{kept_samples[line]:4d}"
        if length:
            h = _native.read_header(data[start:start + length])
            wavelet = f"{h['method']}/{h['levels']}"
            row += (f"  {wavelet:13s}  {h['coder']:7s}  {h['scale']:5d}  "
                    f"{str(np.float32(h['multiplier'])):>10s}  {np.float32(h['min'])!s:>7s}  "
                    f"{np.float32(h['max'])!s:>7s}")
        else:
            row += "  (every sample kept)"
        out.append(row)
        start += length
    value_type = np.dtype(dtype).newbyteorder("<")
    for line, first, length, value in runs[:_LISTED_RUNS]:
        shown = np.frombuffer(value, value_type)[0]
        out.append(f"  run         line {line}, samples {first} to {first + length - 1}: "
                   f"{shown!s}")
    if len(runs) > _LISTED_RUNS:
        out.append(f"  run         ... {len(runs) - _LISTED_RUNS} more")
    return out
