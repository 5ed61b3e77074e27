"""The `verdalix` command (also `python -m verdalix`)::

    verdalix compress IN OUT [--max-error E | --rms-error E | --prd P |
                              --scale S --cutoff C --multiplier M]
                             [--method W] [--coder K] [--axis A]
                             [--dtype T [--shape N,N...]] [--force]
    verdalix decompress IN OUT [--force]
    verdalix info FILE...

A 1-D float32 or float64 array gives the container compress_signal gives;
any other array (integer samples, more dimensions) the chunk the storage
codecs write for it, its lines along --axis each compressed on their own.
Every failure is one line on stderr naming the file and the problem: exit
status 1, or 2 for a usage error. Outputs are written to a temporary file
beside them and renamed into place only when complete.
"""

from __future__ import annotations

import argparse
import math
import sys
import threading
import time
import warnings
from pathlib import Path
from typing import Any, NoReturn, Sequence, TextIO

import numpy as np

import verdalix
from verdalix import _cli_chunks, _codec_config, _native, targets
from verdalix._cli_files import (STORED_DTYPES, Failure, Samples, atomic_output, read_samples,
                                 refuse_overwrite, write_npy)

_HEADER_BYTES = 52
_METHODS = ("cdf97", "cdf53", "db4", "sym4")

_MAIN_EXAMPLES = """\
examples:
  verdalix compress ecg.npy ecg.vdx --prd 2         # normalised PRD at most 2 %
  verdalix compress trace.f64 trace.vdx --dtype float64 --max-error 0.001
  verdalix compress probe.npy probe.vdx --axis 0 --max-error 2   # int16 (time, channels)
  verdalix decompress ecg.vdx restored.npy
  verdalix info probe.vdx
"""
_COMPRESS_EXAMPLES = """\
examples:
  verdalix compress ecg.npy ecg.vdx --prd 2
  verdalix compress ecg.npz ecg.vdx --max-error 0.01 --method db4
  verdalix compress trace.f64 trace.vdx --dtype float64 --rms-error 0.001
  verdalix compress ecg.npy ecg9.vdx --method sym4 --scale 9 --cutoff medium --coder arans
  verdalix compress probe.npy probe.vdx --axis 0 --max-error 2     # (time, channels) int16
  verdalix compress leads.npy leads.vdx --prd 1                    # (channels, time) float32
  verdalix compress probe.i16 probe.vdx --dtype int16 --shape=-1,384 --axis 0
  verdalix compress image.npy image.vdx --axis none                # the C-order flattening

IN is a .npy or .npz file holding one array (known by its first bytes,
whatever its name), or raw little-endian samples with --dtype (1-D, or
--shape). A 1-D float32 or float64 array gives the container compress_signal
gives; any other array (integers, more dimensions) gives the chunk the
storage codecs write: each line along --axis compressed on its own behind the
chunk frame, targets holding on every line (in counts for integers). With a
target the settings are searched; without one they are the ones given (the
defaults otherwise). OUT must not exist unless --force is given.
"""
_DECOMPRESS_EXAMPLES = """\
examples:
  verdalix decompress ecg.vdx restored.npy      # a .npy file (any case of .npy)
  verdalix decompress ecg.vdx restored.f32      # raw little-endian float32
  verdalix decompress probe.vdx probe.npy       # a chunk frame: its dtype and shape
  verdalix decompress probe.vdx probe.i16       # raw: the recorded dtype's bytes
"""
_INFO_EXAMPLES = """\
examples:
  verdalix info ecg.vdx
  verdalix info *.vdx        # every file; the status is 1 if any is not a container
  verdalix info probe.vdx    # a chunk frame: its fields, then a row per line
"""


class _Parser(argparse.ArgumentParser):
    # One line instead of argparse's usage block: scripts read stderr too.
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _number(low: float = 0.0) -> Any:
    """An argparse type: a finite real number of at least `low`."""
    def convert(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"takes a number, not {text!r}") from None
        if not math.isfinite(value) or value < low:
            raise argparse.ArgumentTypeError(f"must be a finite number >= {low:g}, not {text!r}")
        return value
    return convert


def _scale(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"takes an integer, not {text!r}") from None
    if not 6 <= value <= 12:
        raise argparse.ArgumentTypeError(f"must be 6 to 12, not {text}")
    return value


def _axis(text: str) -> int | None:
    if text.lower() == "none":
        return None
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"takes an integer or none, not {text!r}") from None


def _shape(text: str) -> tuple[int, ...]:
    try:
        shape = tuple(int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"takes extents separated by commas (one may be -1), not {text!r}") from None
    if any(n < -1 for n in shape) or shape.count(-1) > 1 or len(shape) > 32:
        raise argparse.ArgumentTypeError(
            f"takes up to 32 extents >= 0, one of them may be -1, not {text!r}")
    return shape


def _subparser(commands: Any, name: str, help: str, epilog: str) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=help, description=help[0].upper() + help[1:] + ".", epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    return parser


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="verdalix", description="Lossy wavelet compression of 1-D signals.",
                     epilog=_MAIN_EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"verdalix {verdalix.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    c = _subparser(commands, "compress", "compress samples into a container", _COMPRESS_EXAMPLES)
    c.add_argument("input", type=Path, help=".npy or .npz file, or raw samples with --dtype")
    c.add_argument("output", type=Path, help="the container to write (used exactly as given)")
    c.add_argument("--dtype", choices=STORED_DTYPES,
                   help="sample type of a raw (little-endian) input; never applied to NumPy files")
    c.add_argument("--shape", type=_shape, metavar="N,N...",
                   help="shape of a raw input, C order (one extent may be -1); default 1-D")
    c.add_argument("--axis", type=_axis, default=-1, metavar="A",
                   help="the time axis: each line along it is compressed on its own "
                        "(default -1, the last; none: the C-order flattening)")
    goal = c.add_mutually_exclusive_group()
    goal.add_argument("--max-error", type=_number(), metavar="E",
                      help="every decoded sample within E of the input")
    goal.add_argument("--rms-error", type=_number(), metavar="E",
                      help="RMS error at most E")
    goal.add_argument("--prd", type=_number(), metavar="P",
                      help="normalised PRD at most P percent")
    c.add_argument("--method", choices=_METHODS,
                   help="wavelet (with a target: fixes it instead of searching)")
    c.add_argument("--scale", type=_scale, help="6 to 12, default 11 (not with a target)")
    c.add_argument("--cutoff", choices=["low", "medium", "high"],
                   help="default low (not with a target)")
    c.add_argument("--multiplier", type=float, metavar="M",
                   help="quantisation multiplier in place of 2^scale (not with a target)")
    c.add_argument("--coder", choices=["auto", "cmodel", "arans", "deflate"])
    c.add_argument("-f", "--force", action="store_true", help="replace an existing OUT")
    d = _subparser(commands, "decompress", "decode a container or chunk frame to .npy or raw",
                   _DECOMPRESS_EXAMPLES)
    d.add_argument("input", type=Path)
    d.add_argument("output", type=Path,
                   help="OUT.npy, or any other name for raw samples (float32 for a container, "
                        "the recorded dtype for a chunk frame)")
    d.add_argument("-f", "--force", action="store_true", help="replace an existing OUT")
    i = _subparser(commands, "info", "print every header field of containers and chunk frames",
                   _INFO_EXAMPLES)
    i.add_argument("files", type=Path, nargs="+")
    return parser


class Progress:
    """Elapsed time on one rewritten line of `stream` while a call runs,
    shown only on a terminal and only once the call takes longer than
    `delay` seconds. The codec calls it watches release the GIL."""

    def __init__(self, label: str, stream: TextIO, delay: float = 0.5,
                 interval: float = 0.2) -> None:
        self.label, self.stream, self.delay, self.interval = label, stream, delay, interval
        self._done = threading.Event()
        self._thread: threading.Thread | None = None
        self._shown = False

    def __enter__(self) -> Progress:
        if self.stream.isatty():
            self._thread = threading.Thread(target=self._run, daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._done.set()
        if self._thread is not None:
            self._thread.join()
        if self._shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()

    def _run(self) -> None:
        start = time.monotonic()
        if self._done.wait(self.delay):
            return
        while not self._done.is_set():
            self.stream.write(f"\r{self.label} {time.monotonic() - start:.1f} s")
            self.stream.flush()
            self._shown = True
            self._done.wait(self.interval)


def _errors(x: np.ndarray, y: np.ndarray) -> tuple[float, float, float]:
    """max, RMS and normalised PRD (percent) of y against x, in float64, on
    the samples as the codec reads them (float32, NaN as 0, +inf 1, -inf 0)."""
    x64 = np.nan_to_num(x.astype(np.float32), nan=0.0, posinf=1.0, neginf=0.0)
    x64 = x64.astype(np.float64)
    d = x64 - y.astype(np.float64)
    energy = float(np.sum((x64 - x64.mean()) ** 2))
    sq = float(np.dot(d, d))
    prd = 0.0 if sq == 0.0 else (math.inf if energy == 0.0 else 100 * math.sqrt(sq / energy))
    return float(np.max(np.abs(d))), math.sqrt(sq / d.size), prd


def _f32(value: float) -> str:
    """The shortest text that reads back as the same float32."""
    return str(np.float32(value))


def _settings(args: argparse.Namespace) -> dict[str, Any]:
    """The command's options as the storage codecs take them, checked by the
    same code (and so refused with the codec's own messages)."""
    target = {name: value for name, value in
              (("max_error", args.max_error), ("rms_error", args.rms_error), ("prd", args.prd))
              if value is not None}
    explicit = {name: value for name, value in
                (("scale", args.scale), ("cutoff", args.cutoff),
                 ("quant_multiplier", args.multiplier)) if value is not None}
    if target and explicit:
        raise _Usage("--scale, --cutoff and --multiplier are chosen by the search when a "
                     "target is given")
    try:
        config, _ = _codec_config.validated(method=args.method, coder=args.coder,
                                            **explicit, **target)
    except (TypeError, ValueError, OverflowError) as e:
        raise _Usage(str(e)) from None
    return config


class _Usage(Exception):
    """A usage error found after parsing (exit status 2)."""


def _encoded(samples: Samples, config: dict[str, Any]) -> tuple[bytes, str | None]:
    """The container, and the settings line when the fitter chose them
    (None: the header's own settings are printed). A fitted container is
    the fitter's own: its coefficients may have been placed for the bound,
    so compressing again with its options need not meet the target."""
    target = {k: config[k] for k in _codec_config.TARGETS if config.get(k) is not None}
    if not target:
        return _native.encode(samples, _codec_config.options_of(config)), None  # compress_signal's bytes, GIL released
    fit = targets.fit_options(samples, method=config["method"], coder=config["coder"],
                              **target)
    levels = f"{fit.levels} level{'' if fit.levels == 1 else 's'}"
    return fit.container, (f"{fit.method}, {levels}, scale {fit.scale}, cutoff {fit.cutoff}, "
                           f"multiplier {_f32(fit.quant_multiplier)}, coder {fit.coder}")


def compress(args: argparse.Namespace) -> None:
    config = _settings(args)
    if args.shape is not None and args.dtype is None:
        raise _Usage("--shape describes raw input, and needs --dtype")
    samples = read_samples(args.input, args.dtype, args.shape)
    axis = None if samples.ndim == 0 else args.axis
    _cli_chunks.checked_axis(args.input, axis, samples.shape)
    refuse_overwrite(args.output, [args.input], args.force)
    if samples.ndim != 1 or samples.dtype.kind != "f":
        return _compress_array(args, samples, axis, config)
    with Progress(f"verdalix: compressing {args.input}", sys.stderr):
        try:
            blob, setting = _encoded(samples, config)
            decoded = _native.decode(blob, samples.size)
        except ValueError as e:
            raise Failure(f"{args.input}: {e}") from None
    if setting is None:
        header = _native.read_header(blob)
        setting = (f"{header['method']}, scale {header['scale']}, cutoff {config['cutoff']}, "
                   f"multiplier {_f32(header['multiplier'])}, coder {header['coder']}")
    with atomic_output(args.output) as f:
        f.write(blob)
    peak, rms, prd = _errors(samples, decoded)
    print(f"{args.input} -> {args.output}: {samples.size} samples, {len(blob)} bytes, "
          f"ratio {4 * samples.size / len(blob):.2f}")
    print(f"max_error {peak:.6g}, rms_error {rms:.6g}, prd {prd:.6g}%")
    print(f"settings: {setting}")


def _compress_array(args: argparse.Namespace, array: np.ndarray, axis: int | None,
                    config: dict[str, Any]) -> None:
    with Progress(f"verdalix: compressing {args.input}", sys.stderr):
        blob, lines = _cli_chunks.compress_array(args.input, array, axis, config)
    with atomic_output(args.output) as f:
        f.write(blob)
    fitted = any(config.get(k) is not None for k in _codec_config.TARGETS)
    print(f"{args.input} -> {args.output}: {array.dtype} {array.shape}, {array.size} samples, "
          f"{len(blob)} bytes, ratio {array.nbytes / len(blob):.2f}")
    print("\n".join(lines))
    if fitted:
        print("settings: fitted per line (verdalix info shows each line's)")
        return
    multiplier = config["quant_multiplier"]
    multiplier = 2.0 ** config["scale"] if multiplier is None else multiplier
    print(f"settings: {config['method']}, scale {config['scale']}, cutoff {config['cutoff']}, "
          f"multiplier {_f32(multiplier)}, coder {config['coder'] or 'chosen per line'}")


def decompress(args: argparse.Namespace) -> None:
    with open(args.input, "rb") as f:
        blob = f.read()
    refuse_overwrite(args.output, [args.input], args.force)
    with Progress(f"verdalix: decompressing {args.input}", sys.stderr):
        try:
            framed = _native.describe_chunk(blob)[0]
            samples = _native.decode_chunk(blob) if framed else _native.decode(blob)
        except ValueError as e:
            raise Failure(f"{args.input}: {e}") from None
    with atomic_output(args.output) as f:
        if args.output.suffix.lower() == ".npy":
            write_npy(f, samples)
        else:
            f.write(samples.astype(samples.dtype.newbyteorder("<"), copy=False).tobytes())
    what = f"{samples.dtype} {samples.shape}, " if framed else ""
    print(f"{args.input} -> {args.output}: {what}{samples.size} samples")


def info_lines(path: Path, h: dict[str, Any], size: int) -> list[str]:
    """Every header field, as the codec's own parser reads it."""
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
        f"  mean        {_f32(signal_mean)} (stored normalised as {_f32(mean)})",
        f"  payload     {h['payload_length']} bytes ({size} with the header)",
        f"  ratio       {4 * count / size:.2f}",
        f"  version     {'.'.join(str(v) for v in h['version'])}",
    ]


def info(args: argparse.Namespace) -> int:
    status = 0
    for path in args.files:
        try:
            with open(path, "rb") as f:
                data = f.read()
            if _native.describe_chunk(data)[0]:
                lines = _cli_chunks.frame_info(path, data)
            else:
                header = _native.read_header(data)
                lines = info_lines(path, header, _HEADER_BYTES + int(header["payload_length"]))
        except (OSError, ValueError) as e:
            report(e, path)
            status = 1
            continue
        print("\n".join(lines))
    return status


def report(error: BaseException, path: Path | None = None) -> None:
    """One line on stderr: the file, then what went wrong with it."""
    if isinstance(error, OSError):
        where = error.filename if error.filename is not None else path
        text = error.strerror or str(error)
    else:
        where, text = path, str(error) or type(error).__name__
    prefix = f"{where}: " if where is not None else ""
    text = " ".join(text.split())  # one line, whatever the message held
    print(f"verdalix: {prefix}{text}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (``sys.argv[1:]`` when None), as the
    `verdalix` command does, and returns its exit status: 0, 1 for a
    failure, 2 for a usage error (``--help`` and ``--version`` exit 0
    through SystemExit, as argparse does)."""
    # Paths that are not valid UTF-8 are printed escaped rather than failing.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        # Only the one line per failure reaches the user, never warning text.
        warnings.simplefilter("ignore")
        return _run(argv)


def _run(argv: Sequence[str] | None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "compress":
            compress(args)
        elif args.command == "decompress":
            decompress(args)
        else:
            return info(args)
    except _Usage as e:
        parser.exit(2, f"verdalix: error: {e} (see --help)\n")
    except BrokenPipeError:
        return _closed_stdout()
    except (Failure, OSError) as e:
        report(e)
        return 1
    except (ValueError, TypeError, OverflowError) as e:
        report(e, Path(getattr(args, "input", "")) if args.command != "info" else None)
        return 1
    except MemoryError:
        report(MemoryError("not enough memory"), getattr(args, "input", None))
        return 1
    except KeyboardInterrupt:
        print("verdalix: interrupted", file=sys.stderr)
        return 130
    except BaseException as e:  # noqa: BLE001 - a fault of ours, still one line
        if isinstance(e, SystemExit):
            raise
        report(RuntimeError(f"internal error ({type(e).__name__}: {e}); please report it"),
               getattr(args, "input", None))
        return 1
    return 0


def _closed_stdout() -> int:
    # The reader went away (`verdalix info *.vdx | head`): nothing more to say,
    # and nothing for the interpreter to flush at exit either.
    import os
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    return 1
