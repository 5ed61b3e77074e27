"""The `verdalix` command (also `python -m verdalix`).

    verdalix compress IN OUT [--max-error E | --rms-error E | --prd P |
                              --method M --scale S --cutoff C] [--coder K]
    verdalix decompress IN OUT
    verdalix info FILE...

Inputs are .npy files (1-D float32 or float64) or raw little-endian samples
with --dtype; decompress writes .npy or raw float32 by OUT's extension.
Every failure is one line on stderr: exit status 1, or 2 for a usage error.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any, NoReturn, Sequence

import numpy as np
import numpy.typing as npt

import verdalix
from verdalix import _native, _search, targets

_HEADER_BYTES = 52


class Failure(Exception):
    """A failure to report on one line (exit status 1)."""


class _Parser(argparse.ArgumentParser):
    # One line instead of argparse's usage block: scripts read stderr too.
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="verdalix", description="Lossy wavelet compression of 1-D signals.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    c = commands.add_parser("compress", help="compress samples into a container")
    c.add_argument("input", type=Path, help=".npy file, or raw samples with --dtype")
    c.add_argument("output", type=Path)
    c.add_argument("--dtype", choices=["float32", "float64"],
                   help="sample type of a raw (little-endian) input")
    goal = c.add_mutually_exclusive_group()
    goal.add_argument("--max-error", type=float, metavar="E",
                      help="every decoded sample within E of the input")
    goal.add_argument("--rms-error", type=float, metavar="E", help="RMS error at most E")
    goal.add_argument("--prd", type=float, metavar="P",
                      help="normalised PRD at most P percent")
    c.add_argument("--method", choices=list(_search.METHODS),
                   help="wavelet (with a target: fixes it instead of searching)")
    c.add_argument("--scale", type=int, help="6..12 (not with a target)")
    c.add_argument("--cutoff", choices=["low", "medium", "high"], help="(not with a target)")
    c.add_argument("--coder", choices=["auto", "cmodel", "arans", "deflate"])
    d = commands.add_parser("decompress", help="decode a container to .npy or raw float32")
    d.add_argument("input", type=Path)
    d.add_argument("output", type=Path, help="OUT.npy, or any other name for raw float32")
    i = commands.add_parser("info", help="print the header of containers")
    i.add_argument("files", type=Path, nargs="+")
    return parser


Samples = npt.NDArray[np.float32] | npt.NDArray[np.float64]


def read_samples(path: Path, dtype: str | None) -> Samples:
    if path.suffix.lower() == ".npy":
        try:
            array = np.load(path, allow_pickle=False)
        except ValueError as e:
            raise Failure(f"{path}: not a NumPy .npy file ({e})") from None
        if array.ndim != 1:
            hint = "; compress each row separately" if array.ndim == 2 else ""
            raise Failure(f"{path}: expected a 1-D array, got shape {array.shape}{hint}")
        if array.dtype.kind != "f" or array.dtype.itemsize not in (4, 8):
            raise Failure(f"{path}: expected float32 or float64 samples, got {array.dtype}")
        return np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("="))
    if dtype is None:
        raise Failure(f"{path}: not a .npy file; give --dtype float32|float64 for raw samples")
    raw = path.read_bytes()
    width = 4 if dtype == "float32" else 8
    if len(raw) % width:
        raise Failure(f"{path}: {len(raw)} bytes is not a whole number of {dtype} samples")
    return np.frombuffer(raw, dtype="<f4" if width == 4 else "<f8").astype(dtype)


def _target(args: argparse.Namespace) -> dict[str, float]:
    return {name: value for name, value in
            (("max_error", args.max_error), ("rms_error", args.rms_error), ("prd", args.prd))
            if value is not None}


def compress(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    target = _target(args)
    if target and (args.scale is not None or args.cutoff is not None):
        parser.error("--scale and --cutoff are chosen by the search when a target is given")
    samples = read_samples(args.input, args.dtype)
    if target:
        # The search's own container, already decoded and measured.
        fit, blob = targets._search_fit("compress", samples, target.get("max_error"),
                                        target.get("rms_error"), target.get("prd"),
                                        args.method, args.coder)
        errors = (fit.max_error, fit.rms_error, fit.prd)
        setting = (f"{fit.method}, scale {fit.scale}, cutoff {fit.cutoff}, "
                   f"multiplier {_f32(fit.quant_multiplier)}, coder {fit.coder}")
    else:
        options = verdalix.CompressionOptions(
            method=args.method or "cdf97", scale=11 if args.scale is None else args.scale,
            cutoff=args.cutoff or "low", coder=args.coder)
        blob = verdalix.compress_signal(samples, options)
        x32 = np.ascontiguousarray(samples, dtype=np.float32)
        errors = _search.Signal(x32, "prd").errors(verdalix.decompress_signal(blob))
        header = _native.read_header(blob)
        setting = (f"{header['method']}, scale {header['scale']}, cutoff {args.cutoff or 'low'}, "
                   f"multiplier {_f32(header['multiplier'])}, coder {header['coder']}")
    args.output.write_bytes(blob)
    peak, rms, prd = errors
    print(f"{args.input} -> {args.output}: {samples.size} samples, {len(blob)} bytes, "
          f"ratio {4 * samples.size / len(blob):.2f}")
    print(f"max_error {peak:.6g}, rms_error {rms:.6g}, prd {prd:.6g}%")
    print(f"settings: {setting}")


def decompress(args: argparse.Namespace) -> None:
    try:
        samples = verdalix.decompress_signal(args.input.read_bytes())
    except ValueError as e:
        raise Failure(f"{args.input}: {e}") from None
    if args.output.suffix.lower() == ".npy":
        np.save(args.output, samples, allow_pickle=False)
    else:
        args.output.write_bytes(samples.astype("<f4").tobytes())
    print(f"{args.input} -> {args.output}: {samples.size} samples")


def _f32(value: float) -> str:
    """The shortest text that reads back as the same float32."""
    return str(np.float32(value))


def info_lines(path: Path, h: dict[str, Any], size: int) -> list[str]:
    low, high, mean = float(h["min"]), float(h["max"]), float(h["mean"])
    count = int(h["sample_count"])
    # The header keeps the mean of the normalised samples, 0..1 of the range.
    signal_mean = low + mean * (high - low) if high > low else low
    multiplier = _f32(h["multiplier"])
    if h["stored_multiplier"] != h["multiplier"]:
        multiplier += f" (stored as {_f32(h['stored_multiplier'])})"
    return [
        f"{path}:",
        f"  samples     {count}",
        f"  wavelet     {h['method']}, {h['levels']} levels",
        f"  coder       {h['coder']}",
        f"  scale       {h['scale']}",
        "  cutoff      not recorded in containers",
        f"  multiplier  {multiplier}",
        f"  minimum     {_f32(low)}",
        f"  maximum     {_f32(high)}",
        f"  mean        {_f32(signal_mean)}",
        f"  payload     {h['payload_length']} bytes ({size} with the header)",
        f"  ratio       {4 * count / size:.2f}",
        f"  version     {'.'.join(str(v) for v in h['version'])}",
    ]


def info(args: argparse.Namespace) -> int:
    status = 0
    for path in args.files:
        try:
            data = path.read_bytes()
            header = _native.read_header(data)
        except (OSError, ValueError) as e:
            print(f"verdalix: {path}: {_message(e)}", file=sys.stderr)
            status = 1
            continue
        print("\n".join(info_lines(path, header, _HEADER_BYTES + int(header["payload_length"]))))
    return status


def _message(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "compress":
            compress(args, parser)
        elif args.command == "decompress":
            decompress(args)
        else:
            return info(args)
    except (Failure, OSError, ValueError, TypeError, MemoryError, verdalix.PanicException) as e:
        where = f"{e.filename}: " if isinstance(e, OSError) and e.filename else ""
        print(f"verdalix: {where}{_message(e)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
