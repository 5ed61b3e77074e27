"""The command line's files: reading samples whatever a user hands over,
and writing outputs so that a failing run never costs an existing file."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
import zipfile
from pathlib import Path
from typing import IO, BinaryIO, Iterator

import numpy as np
import numpy.typing as npt

Samples = npt.NDArray[np.float32] | npt.NDArray[np.float64]

# First bytes that say what a file is, whatever its name says.
NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")  # an archive with members; an empty one
CONTAINER_MAGIC = b"VRDX"
_SAMPLE_WIDTHS = {"float32": 4, "float64": 8}


class Failure(Exception):
    """A failure to report on one line (exit status 1)."""


def kind_of(head: bytes) -> str:
    """"npy", "npz", "container" or "raw", from a file's first bytes."""
    if head.startswith(NPY_MAGIC):
        return "npy"
    if head.startswith(ZIP_MAGICS):
        return "npz"
    if head.startswith(CONTAINER_MAGIC):
        return "container"
    return "raw"


def read_samples(path: Path, dtype: str | None) -> Samples:
    """The 1-D float32 or float64 samples of a .npy or .npz file (known by
    their magic bytes, never by their names) or of raw little-endian samples
    of `dtype`. Anything else raises Failure naming the file."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        kind = kind_of(f.read(8))
        f.seek(0)
        if kind == "npy":
            return _checked(path, _read_npy(f, size, path))
        if kind == "npz":
            return _checked(path, _read_npz(path))
        if kind == "container":
            raise Failure(f"{path}: is a verdalix container already; "
                          "decompress it with 'verdalix decompress'")
        if dtype is None:
            raise Failure(f"{path}: not a NumPy .npy or .npz file; give --dtype float32 or "
                          "--dtype float64 to read it as raw little-endian samples")
        width = _SAMPLE_WIDTHS[dtype]
        if size % width:
            raise Failure(f"{path}: {size} bytes is not a whole number of {dtype} samples "
                          f"({width} bytes each)")
        raw = f.read()
    if len(raw) != size:
        raise Failure(f"{path}: changed while it was read")
    samples = np.frombuffer(raw, dtype=f"<f{width}").astype(dtype)
    return _checked(path, samples)


def _checked(path: Path, array: np.ndarray) -> Samples:
    if array.dtype.kind != "f" or array.dtype.itemsize not in (4, 8):
        raise Failure(f"{path}: expected float32 or float64 samples, but they are "
                      f"{array.dtype}")
    if array.ndim != 1:
        hint = "; compress each row separately" if array.ndim == 2 else ""
        raise Failure(f"{path}: expected a 1-D array, but it has shape {array.shape}{hint}")
    if array.size == 0:
        raise Failure(f"{path}: holds no samples")
    return np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("="))


def _read_npy(f: IO[bytes], size: int | None, path: Path, member: str = "") -> np.ndarray:
    """One array, its header checked against the bytes there are before
    anything is allocated for it (a header may declare any shape)."""
    where = f"{path}{member}"
    try:
        version = np.lib.format.read_magic(f)
        if version == (1, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(f)
        elif version == (2, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(f)
        else:
            raise Failure(f"{where}: .npy format version {version} is not supported")
    except (ValueError, EOFError, SyntaxError, TypeError) as e:
        raise Failure(f"{where}: damaged .npy header ({_first_line(e)})") from None
    if dtype.hasobject or dtype.kind != "f" or dtype.itemsize not in (4, 8):
        raise Failure(f"{where}: expected float32 or float64 samples, but they are {dtype}")
    if len(shape) != 1:
        hint = "; compress each row separately" if len(shape) == 2 else ""
        raise Failure(f"{where}: expected a 1-D array, but it has shape {shape}{hint}")
    need = shape[0] * dtype.itemsize
    if size is not None and need > size - f.tell():
        raise Failure(f"{where}: truncated: its header declares {shape[0]} samples "
                      f"({need} bytes), but {max(size - f.tell(), 0)} bytes follow it")
    data = f.read(need)
    if len(data) != need:
        raise Failure(f"{where}: truncated: its header declares {shape[0]} samples "
                      f"({need} bytes), but {len(data)} bytes follow it")
    return np.frombuffer(data, dtype=dtype)


def _read_npz(path: Path) -> np.ndarray:
    try:
        with zipfile.ZipFile(path) as archive:
            names = [n for n in archive.namelist() if not n.endswith("/")]
            if len(names) != 1:
                listed = ", ".join(n.removesuffix(".npy") for n in names[:5]) or "nothing"
                raise Failure(f"{path}: expected one array in the .npz archive, but it holds "
                              f"{len(names)} ({listed}); save the signal alone")
            info = archive.getinfo(names[0])
            with archive.open(info) as member:
                if not member.read(len(NPY_MAGIC)) == NPY_MAGIC:
                    raise Failure(f"{path}[{names[0]}]: not a .npy array")
            with archive.open(info) as member:
                # The archive's own size is only a bound: zipfile checks the
                # member's length and checksum as it is read.
                return _read_npy(member, info.file_size, path, f"[{names[0]}]")
    except (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError, EOFError,
            ValueError, RuntimeError) as e:
        raise Failure(f"{path}: damaged .npz archive ({_first_line(e)})") from None


def _first_line(error: BaseException) -> str:
    text = str(error).strip() or type(error).__name__
    return text.splitlines()[0]


def refuse_overwrite(output: Path, inputs: list[Path], force: bool) -> None:
    """Refuses an output that is one of the inputs (also through links), an
    existing one without `force`, and anything that is not a regular file."""
    try:
        existing = os.stat(output)
    except FileNotFoundError:
        existing = None
    except OSError as e:
        raise Failure(f"{output}: {e.strerror}") from None
    for source in inputs:
        try:
            same = existing is not None and os.path.samefile(output, source)
        except OSError:  # an input that is gone is reported when it is read
            same = False
        if same or os.path.realpath(output) == os.path.realpath(source):
            raise Failure(f"{output}: is the input file; give another output path")
    if existing is None:
        folder = output.parent if str(output.parent) else Path(".")
        if not folder.is_dir():
            raise Failure(f"{output}: the folder {folder} does not exist")
        return
    if not stat.S_ISREG(existing.st_mode):
        raise Failure(f"{output}: exists and is not a regular file")
    if not force:
        raise Failure(f"{output}: already exists; use --force to replace it")


@contextlib.contextmanager
def atomic_output(output: Path) -> Iterator[BinaryIO]:
    """A temporary file beside `output`, renamed onto it only when the block
    completes: until then, and if it fails, the old output stays as it was."""
    folder = output.parent if str(output.parent) else Path(".")
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=f".{output.name}.",
                                         suffix=".part")
    try:
        with os.fdopen(handle, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        # mkstemp's file is private; the output gets what a plain open would.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, output)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_npy(f: BinaryIO, samples: np.ndarray) -> None:
    # write_array on an open file keeps the caller's name exactly
    # (np.save given a path would append ".npy").
    np.lib.format.write_array(f, samples, allow_pickle=False)
