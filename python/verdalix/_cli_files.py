"""The command line's files: reading samples whatever a user hands over,
and writing outputs so that a failing run never costs an existing file."""

from __future__ import annotations

import contextlib
import math
import os
import stat
import tempfile
import zipfile
from pathlib import Path
from typing import IO, BinaryIO, Iterator

import numpy as np
import numpy.typing as npt

Samples = npt.NDArray[np.float32] | npt.NDArray[np.float64]
# Every sample type the chunk frame stores, by name (int64, bool, complex and
# float16 do not pass through float32 and are refused).
STORED_DTYPES = ("float32", "float64", "int8", "uint8", "int16", "uint16", "int32", "uint32")
_STORED_TEXT = ", ".join(STORED_DTYPES[:-1]) + " or " + STORED_DTYPES[-1]

# First bytes that say what a file is, whatever its name says.
NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")  # an archive with members; an empty one
CONTAINER_MAGIC = b"VRDX"


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


def read_samples(path: Path, dtype: str | None,
                 shape: tuple[int, ...] | None = None) -> np.ndarray:
    """The samples of a .npy or .npz file (known by their magic bytes, never
    by their names), any shape of any stored type, or raw little-endian
    samples of `dtype` (1-D, or `shape`, one extent of which may be -1).
    C-contiguous in native byte order; anything else raises Failure naming
    the file."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        kind = kind_of(f.read(8))
        f.seek(0)
        if shape is not None and kind in ("npy", "npz"):
            raise Failure(f"{path}: is a NumPy file, whose shape is its own; --shape is for "
                          "raw input")
        if kind == "npy":
            return _checked(path, _read_npy(f, size, path))
        if kind == "npz":
            return _checked(path, _read_npz(path))
        if kind == "container":
            raise Failure(f"{path}: is a verdalix container already; "
                          "decompress it with 'verdalix decompress'")
        if dtype is None:
            raise Failure(f"{path}: not a NumPy .npy or .npz file; give --dtype (float32, "
                          "int16, ...) to read it as raw little-endian samples")
        width = np.dtype(dtype).itemsize
        if size % width:
            raise Failure(f"{path}: {size} bytes is not a whole number of {dtype} samples "
                          f"({width} bytes each)")
        raw = f.read()
    if len(raw) != size:
        raise Failure(f"{path}: changed while it was read")
    samples = np.frombuffer(raw, dtype=np.dtype(dtype).newbyteorder("<"))
    if shape is not None and samples.size:
        try:
            samples = samples.reshape(shape)
        except ValueError:
            raise Failure(f"{path}: {samples.size} {dtype} samples do not make shape "
                          f"{_shape_text(shape)}") from None
    return _checked(path, samples)


def _shape_text(shape: tuple[int, ...]) -> str:
    return ",".join(str(n) for n in shape)


def _checked(path: Path, array: np.ndarray) -> np.ndarray:
    refuse_unstored(str(path), array.dtype)
    if array.size == 0:
        raise Failure(f"{path}: holds no samples")
    # astype keeps a 0-d array 0-d (ascontiguousarray would make it 1-D).
    return array.astype(array.dtype.newbyteorder("="), order="C", copy=False)


def refuse_unstored(where: str, dtype: np.dtype) -> None:
    if dtype.hasobject or dtype.newbyteorder("=").name not in STORED_DTYPES:
        raise Failure(f"{where}: verdalix stores {_STORED_TEXT} samples, not {dtype}")


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
    refuse_unstored(where, dtype)
    count = math.prod(shape)
    need = count * dtype.itemsize
    if size is not None and need > size - f.tell():
        raise Failure(f"{where}: truncated: its header declares {count} samples "
                      f"({need} bytes), but {max(size - f.tell(), 0)} bytes follow it")
    data = f.read(need)
    if len(data) != need:
        raise Failure(f"{where}: truncated: its header declares {count} samples "
                      f"({need} bytes), but {len(data)} bytes follow it")
    return np.frombuffer(data, dtype=dtype).reshape(shape, order="F" if fortran else "C")


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
