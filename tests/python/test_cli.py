"""The verdalix command, run as a user runs it: a subprocess on files."""
import io
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import verdalix
from verdalix import targets
from verdalix._cli_files import atomic_output
from verdalix.cli import Progress

SCRIPT = Path(sys.executable).parent / "verdalix"


def run(*args, cwd, script=False):
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "verdalix"]
    # Warnings made loud: none may reach the user anyway.
    env = dict(os.environ, PYTHONWARNINGS="always")
    return subprocess.run(command + [str(a) for a in args], cwd=cwd, capture_output=True,
                          text=True, timeout=120, env=env)


def failed(result, status, *fragments):
    """One line on stderr holding the fragments, no traceback, that status."""
    assert result.returncode == status, result
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("verdalix"), result.stderr
    for fragment in fragments:
        assert fragment in lines[0], (fragment, lines[0])


def ok(result):
    assert result.returncode == 0 and result.stderr == "", result
    return result


@pytest.fixture
def walk():
    return np.cumsum(np.random.default_rng(3).standard_normal(5000)).astype(np.float32)


def test_round_trip_through_npy_with_a_target(tmp_path, walk):
    np.save(tmp_path / "in.npy", walk)
    out = ok(run("compress", "in.npy", "c.vdx", "--max-error", "0.25", cwd=tmp_path))
    assert "ratio" in out.stdout and "max_error" in out.stdout and "prd" in out.stdout
    ok(run("decompress", "c.vdx", "back.npy", cwd=tmp_path))
    back = np.load(tmp_path / "back.npy")
    assert back.dtype == np.float32 and back.shape == walk.shape
    assert np.max(np.abs(back.astype(np.float64) - walk)) <= 0.25
    # The container is the library's, byte for byte, and the printed error
    # is the one the fit measured.
    assert (tmp_path / "c.vdx").read_bytes() == targets.compress_within(walk, max_error=0.25)
    fit = targets.fit_options(walk, max_error=0.25)
    assert f"max_error {fit.max_error:.6g}," in out.stdout


def test_round_trip_through_raw_files(tmp_path, walk):
    walk.astype("<f8").tofile(tmp_path / "in.f64")
    ok(run("compress", "in.f64", "c.vdx", "--dtype", "float64", "--prd", "2",
           "--method", "db4", "--coder", "arans", cwd=tmp_path))
    header = verdalix._native.read_header((tmp_path / "c.vdx").read_bytes())
    assert (header["method"], header["coder"]) == ("db4", "arans")
    ok(run("decompress", "c.vdx", "back.raw", cwd=tmp_path))
    back = np.fromfile(tmp_path / "back.raw", dtype="<f4")
    d = back.astype(np.float64) - walk
    assert 100 * np.sqrt(np.sum(d * d) / np.sum((walk - walk.mean()) ** 2.0)) <= 2


def test_explicit_settings_and_the_console_script(tmp_path, walk):
    np.save(tmp_path / "in.npy", walk)
    out = ok(run("compress", "in.npy", "c.vdx", "--method", "sym4", "--scale", "9", "--cutoff",
                 "medium", cwd=tmp_path, script=True))
    options = verdalix.CompressionOptions("sym4", 9, "medium")
    blob = verdalix.compress_signal(walk, options)
    assert (tmp_path / "c.vdx").read_bytes() == blob
    back = verdalix.decompress_signal(blob).astype(np.float64)
    assert f"max_error {np.max(np.abs(back - walk)):.6g}," in out.stdout
    ok(run("compress", "in.npy", "m.vdx", "--multiplier", "300.5", cwd=tmp_path))
    assert (tmp_path / "m.vdx").read_bytes() == verdalix.compress_signal(
        walk, verdalix.CompressionOptions(quant_multiplier=300.5))


def test_numpy_files_are_known_by_their_magic_not_their_names(tmp_path, walk):
    """An archive is never read as raw samples, whatever --dtype says; a
    .npy under another name is still a .npy; OUT.NPY stays OUT.NPY."""
    wide = walk.astype(">f8")  # byte-swapped too
    np.savez(tmp_path / "z.npz", signal=wide)
    ok(run("compress", "z.npz", "z.vdx", "--dtype", "float64", cwd=tmp_path))
    assert (tmp_path / "z.vdx").read_bytes() == verdalix.compress_signal(
        wide.astype(np.float64))
    np.save(tmp_path / "a.npy", walk)
    os.rename(tmp_path / "a.npy", tmp_path / "a.raw")
    ok(run("compress", "a.raw", "a.vdx", "--dtype", "float64", cwd=tmp_path))
    assert (tmp_path / "a.vdx").read_bytes() == verdalix.compress_signal(walk)
    ok(run("decompress", "a.vdx", "OUT.NPY", cwd=tmp_path))
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "OUT.NPY", "a.raw", "a.vdx", "z.npz", "z.vdx"]
    assert np.array_equal(np.load(tmp_path / "OUT.NPY"), verdalix.decompress_signal(
        (tmp_path / "a.vdx").read_bytes()))


def test_info_shows_every_header_field_and_reports_bad_files(tmp_path, walk):
    blob = verdalix.compress_signal(walk, verdalix.CompressionOptions("db4", 10))
    (tmp_path / "good.vdx").write_bytes(blob)
    (tmp_path / "cut.vdx").write_bytes(blob[:-3])
    with pytest.raises(ValueError) as decoder:
        verdalix.decompress_signal(blob[:-3])
    out = run("info", "cut.vdx", "good.vdx", "missing.vdx", cwd=tmp_path)
    assert out.returncode == 1
    errors = out.stderr.splitlines()
    assert errors == [f"verdalix: cut.vdx: {decoder.value.args[0]}",
                      "verdalix: missing.vdx: No such file or directory"]
    fields = dict(line.split(None, 1) for line in out.stdout.splitlines()[1:])
    assert out.stdout.startswith("good.vdx:")
    assert fields["samples"] == "5000" and fields["wavelet"] == "db4, 8 levels"
    assert fields["scale"] == "10" and fields["coder"] == "cmodel"
    assert fields["multiplier"] == "1024.0" and "not recorded" in fields["cutoff"]
    assert np.float32(fields["minimum"]) == walk.min()
    assert np.float32(fields["maximum"]) == walk.max()
    assert float(fields["mean"].split()[0]) == pytest.approx(float(walk.mean()), abs=1e-3)
    assert fields["payload"].startswith(f"{len(blob) - 52} bytes")
    assert float(fields["ratio"]) == pytest.approx(4 * 5000 / len(blob), abs=0.01)
    assert fields["version"] == "1.2"


def _npy_with_header(shape, descr="<f4"):
    buffer = io.BytesIO()
    np.lib.format.write_array_header_1_0(
        buffer, {"descr": descr, "fortran_order": False, "shape": shape})
    return buffer.getvalue()


def _bad_files(tmp_path, walk):
    """Every awkward input a user might hand over, by name."""
    def save(name, array, **kw):
        np.save(tmp_path / name, array, **kw)

    save("rows.npy", np.zeros((3, 10), np.float32))
    save("ints.npy", np.arange(10))
    save("cplx.npy", np.ones(4, np.complex64))
    save("half.npy", np.ones(4, np.float16))
    save("scalar.npy", np.float32(3))
    save("none.npy", np.zeros(0, np.float32))
    save("objects.npy", np.array([1.0, "a"], dtype=object), allow_pickle=True)
    save("in.npy", walk)
    full = (tmp_path / "in.npy").read_bytes()
    (tmp_path / "cut.npy").write_bytes(full[:-10])
    (tmp_path / "garbled.npy").write_bytes(full[:10] + b"{'descr': <f4, shape" + b" " * 60)
    (tmp_path / "huge.npy").write_bytes(_npy_with_header((10 ** 12,)) + b"\0" * 100)
    (tmp_path / "empty.npy").write_bytes(b"")
    np.savez(tmp_path / "two.npz", a=walk, b=walk)
    np.savez(tmp_path / "rows.npz", a=np.zeros((2, 4)))
    with zipfile.ZipFile(tmp_path / "nothing.npz", "w"):
        pass
    np.savez(tmp_path / "one.npz", a=walk)
    (tmp_path / "cut.npz").write_bytes((tmp_path / "one.npz").read_bytes()[:200])
    with zipfile.ZipFile(tmp_path / "text.npz", "w") as z:
        z.writestr("a.npy", "not an array")
    walk.tofile(tmp_path / "in.raw")
    (tmp_path / "odd.raw").write_bytes(b"12345")
    (tmp_path / "zero.raw").write_bytes(b"")
    (tmp_path / "folder").mkdir()
    blob = verdalix.compress_signal(walk)
    (tmp_path / "c.vdx").write_bytes(blob)
    (tmp_path / "cut.vdx").write_bytes(blob[:60])
    (tmp_path / "junk.vdx").write_bytes(b"not a container" * 8)
    (tmp_path / "empty.vdx").write_bytes(b"")


# (arguments, exit status, fragments of the one line on stderr)
BAD_INPUTS = [
    (["compress", "nothere.npy", "o"], 1, ["nothere.npy", "No such file"]),
    (["compress", "folder", "o", "--dtype", "float32"], 1, ["folder", "directory"]),
    (["compress", "rows.npy", "o", "--prd", "1"], 1, ["rows.npy", "(3, 10)", "each row"]),
    (["compress", "ints.npy", "o"], 1, ["ints.npy", "float32 or float64", "int64"]),
    (["compress", "cplx.npy", "o"], 1, ["cplx.npy", "complex64"]),
    (["compress", "half.npy", "o"], 1, ["half.npy", "float16"]),
    (["compress", "scalar.npy", "o"], 1, ["scalar.npy", "shape ()"]),
    (["compress", "none.npy", "o"], 1, ["none.npy", "no samples"]),
    (["compress", "objects.npy", "o"], 1, ["objects.npy", "object"]),
    (["compress", "cut.npy", "o"], 1, ["cut.npy", "truncated", "5000 samples"]),
    (["compress", "garbled.npy", "o"], 1, ["garbled.npy", "damaged .npy header"]),
    (["compress", "huge.npy", "o"], 1, ["huge.npy", "truncated", "1000000000000 samples"]),
    (["compress", "empty.npy", "o"], 1, ["empty.npy", "--dtype"]),
    (["compress", "empty.npy", "o", "--dtype", "float32"], 1, ["empty.npy", "no samples"]),
    (["compress", "two.npz", "o"], 1, ["two.npz", "one array", "holds 2 (a, b)"]),
    (["compress", "rows.npz", "o"], 1, ["rows.npz[a.npy]", "(2, 4)"]),
    (["compress", "nothing.npz", "o", "--dtype", "float64"], 1, ["nothing.npz", "holds 0"]),
    (["compress", "cut.npz", "o", "--dtype", "float64"], 1, ["cut.npz", "damaged .npz"]),
    (["compress", "text.npz", "o"], 1, ["text.npz", "not a .npy array"]),
    (["compress", "in.raw", "o"], 1, ["in.raw", "--dtype"]),
    (["compress", "odd.raw", "o", "--dtype", "float32"], 1, ["odd.raw", "5 bytes"]),
    (["compress", "zero.raw", "o", "--dtype", "float64"], 1, ["zero.raw", "no samples"]),
    (["compress", "c.vdx", "o", "--dtype", "float32"], 1, ["c.vdx", "container already"]),
    (["compress", "in.npy", "o", "--max-error", "0"], 1,
     ["in.npy", "no setting reaches max_error=0", "the finest reaches"]),
    (["compress", "in.npy", "no/such/folder/o"], 1, ["no/such/folder", "does not exist"]),
    (["compress", "in.npy", "folder"], 1, ["folder", "not a regular file"]),
    (["decompress", "junk.vdx", "o.npy"], 1, ["junk.vdx", "Magic should be 'VRDX'"]),
    (["decompress", "cut.vdx", "o.npy"], 1, ["cut.vdx", "Minimum data size"]),
    (["decompress", "empty.vdx", "o.npy"], 1, ["empty.vdx"]),
    (["decompress", "in.npy", "o.npy"], 1, ["in.npy", "Magic should be"]),
    (["decompress", "nothere.vdx", "o.npy"], 1, ["nothere.vdx", "No such file"]),
    (["info", "folder"], 1, ["folder", "directory"]),
    (["info", "empty.vdx"], 1, ["empty.vdx"]),
    (["compress", "in.npy", "o", "--scale", "300"], 2, ["--scale", "6 to 12"]),
    (["compress", "in.npy", "o", "--scale", "1e3"], 2, ["--scale", "integer"]),
    (["compress", "in.npy", "o", "--multiplier", "nan"], 2, ["multiplier nan can't be read"]),
    (["compress", "in.npy", "o", "--multiplier", "-2"], 2, ["multiplier -2 can't be read"]),
    (["compress", "in.npy", "o", "--multiplier", "1e39"], 2, ["multiplier inf can't be read"]),
    (["compress", "in.npy", "o", "--prd", "nan"], 2, ["--prd", "finite number"]),
    (["compress", "in.npy", "o", "--max-error", "-1"], 2, ["--max-error", "finite number"]),
    (["compress", "in.npy", "o", "--rms-error", "x"], 2, ["--rms-error", "'x'"]),
    (["compress", "in.npy", "o", "--prd", "1", "--scale", "9"], 2, ["chosen by the search"]),
    (["compress", "in.npy", "o", "--prd", "1", "--max-error", "2"], 2, ["not allowed with"]),
    (["compress", "in.npy", "o", "--method", "haar"], 2, ["haar"]),
    (["compress", "in.npy"], 2, ["required"]),
    (["info"], 2, ["required"]),
    ([], 2, ["required"]),
]


def test_bad_inputs_give_one_line_and_no_traceback(tmp_path, walk):
    _bad_files(tmp_path, walk)
    before = sorted(p.name for p in tmp_path.iterdir())
    for args, status, fragments in BAD_INPUTS:
        result = run(*args, cwd=tmp_path)
        assert "Traceback" not in result.stderr and "Warning" not in result.stderr, args
        failed(result, status, *fragments)
        assert result.stdout == "", args
    # Nothing was written, not even a temporary file.
    assert sorted(p.name for p in tmp_path.iterdir()) == before


def test_no_warning_reaches_the_user(tmp_path):
    # float64 beyond float32's range overflows in the rounding (NumPy warns).
    np.save(tmp_path / "wide.npy", np.array([1e300, -1e300, 0.0, np.nan, 2.0] * 40))
    out = ok(run("compress", "wide.npy", "w.vdx", "--scale", "9", cwd=tmp_path))
    assert "Warning" not in out.stdout
    # A bound holds against the caller's float64 samples, which float32 output
    # cannot come near: refused in one line, still without warning text.
    failed(run("compress", "wide.npy", "t.vdx", "--max-error", "0.1", cwd=tmp_path), 1,
           "wide.npy", "no setting reaches max_error=0.1")


def test_outputs_are_never_lost(tmp_path, walk):
    np.save(tmp_path / "in.npy", walk)
    (tmp_path / "old.vdx").write_bytes(b"previous output")
    # An existing output needs --force; a run that fails after reading its
    # input leaves the old output byte-identical.
    failed(run("compress", "in.npy", "old.vdx", cwd=tmp_path), 1, "old.vdx", "--force")
    failed(run("compress", "in.npy", "old.vdx", "--force", "--max-error", "0", cwd=tmp_path),
           1, "no setting reaches")
    assert (tmp_path / "old.vdx").read_bytes() == b"previous output"
    ok(run("compress", "in.npy", "old.vdx", "-f", cwd=tmp_path))
    assert (tmp_path / "old.vdx").read_bytes() == verdalix.compress_signal(walk)
    # The output is never the input: same path, through a symbolic link or a
    # hard link, with or without --force.
    os.symlink("in.npy", tmp_path / "soft.npy")
    os.link(tmp_path / "in.npy", tmp_path / "hard.npy")
    for output in ("in.npy", "soft.npy", "hard.npy", "./in.npy"):
        failed(run("compress", "in.npy", output, "--force", cwd=tmp_path), 1,
               os.path.normpath(output), "is the input")
    failed(run("decompress", "old.vdx", "old.vdx", "--force", cwd=tmp_path), 1, "is the input")
    assert np.array_equal(np.load(tmp_path / "in.npy"), walk)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "hard.npy", "in.npy", "old.vdx", "soft.npy"]


def test_a_write_that_fails_half_way_keeps_the_old_file(tmp_path):
    target = tmp_path / "out.vdx"
    target.write_bytes(b"old")
    with pytest.raises(OSError):
        with atomic_output(target) as f:
            f.write(b"new, half written")
            raise OSError("disk full")
    assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["out.vdx"]
    with atomic_output(target) as f:
        f.write(b"new")
    assert target.read_bytes() == b"new" and os.listdir(tmp_path) == ["out.vdx"]
    assert target.stat().st_mode & 0o777 == 0o666 & ~_umask()


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


class _Terminal(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty

    def isatty(self):
        return self.tty


def test_progress_shows_only_on_a_terminal():
    import time
    for tty in (True, False):
        stream = _Terminal(tty)
        with Progress("verdalix: compressing x.npy", stream, delay=0.0, interval=0.01):
            time.sleep(0.1)
        text = stream.getvalue()
        if tty:
            assert text.startswith("\rverdalix: compressing x.npy 0.")
            assert text.endswith("\r\x1b[K")  # the line is cleared afterwards
        else:
            assert text == ""
    quick = _Terminal(True)
    with Progress("quick", quick, delay=5.0):
        pass
    assert quick.getvalue() == ""


def test_help_version_and_examples(tmp_path):
    out = ok(run("--help", cwd=tmp_path))
    for command in ("compress", "decompress", "info", "examples:"):
        assert command in out.stdout
    for command in ("compress", "decompress", "info"):
        sub = ok(run(command, "--help", cwd=tmp_path))
        assert "examples:\n  verdalix " + command in sub.stdout
    assert ok(run("--version", cwd=tmp_path)).stdout == f"verdalix {verdalix.__version__}\n"
    assert os.access(SCRIPT, os.X_OK)
