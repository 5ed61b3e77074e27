"""The verdalix command, run as a user runs it: a subprocess on files."""
import io
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import verdalix
from verdalix import _codec_config, targets
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
    assert f"settings: {fit.method}, {fit.levels} levels, scale {fit.scale}," in out.stdout


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
    # A 1-D float array is the same signal whatever the axis says.
    for axis in ("none", "0", "-1"):
        ok(run("compress", "in.npy", f"axis{axis}.vdx", "--method", "sym4", "--scale", "9",
               "--cutoff", "medium", "--axis", axis, cwd=tmp_path))
        assert (tmp_path / f"axis{axis}.vdx").read_bytes() == blob
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


def _probe(channels=4, length=6000):
    """A time-major int16 recording: a few tones in counts, one channel
    flat at -7 for a stretch (a kept run)."""
    t = np.arange(length)
    x = np.stack([np.round(900 * np.sin(0.003 * (c + 1) * t) + 40 * c) for c in range(channels)],
                 axis=1).astype(np.int16)
    x[1000:1500, 2] = -7
    return x


def _printed_lines(stdout):
    """{line: (max_error, rms_error, prd)} from the compress summary."""
    rows = {}
    for text in stdout.splitlines():
        if text.startswith("  line "):
            head, rest = text.split(":", 1)
            values = [float(part.split()[1].rstrip("%")) for part in rest.split(",")]
            rows[int(head.split()[1])] = tuple(values)
    return rows


def test_integer_arrays_along_an_axis_are_the_codecs_chunks(tmp_path):
    """An int16 (time, channels) array with a target: the storage codec's
    bytes, the target met on every channel in counts, the summary's figures
    the measured ones, and decompress giving back the dtype and shape."""
    numcodecs = pytest.importorskip("verdalix.numcodecs")
    x = _probe()
    np.save(tmp_path / "probe.npy", x)
    out = ok(run("compress", "probe.npy", "p.vdx", "--axis", "0", "--max-error", "3",
                 cwd=tmp_path))
    blob = (tmp_path / "p.vdx").read_bytes()
    assert blob == numcodecs.Verdalix(max_error=3, axis=0).encode(x)
    assert f"int16 (6000, 4), 24000 samples, {len(blob)} bytes" in out.stdout
    assert "4 lines of 6000 samples along axis 0; 500 samples kept exactly" in out.stdout
    ok(run("decompress", "p.vdx", "back.npy", cwd=tmp_path))
    back = np.load(tmp_path / "back.npy")
    assert back.dtype == np.int16 and back.shape == x.shape
    d = back.astype(np.int64) - x
    assert np.abs(d).max() <= 3 and np.all(back[1000:1500, 2] == -7)
    printed = _printed_lines(out.stdout)
    for c in range(4):
        free = np.ones(len(x), bool)
        if c == 2:
            free[1000:1500] = False
        dc = d[free, c].astype(np.float64)
        assert printed[c][0] == pytest.approx(np.abs(dc).max(), rel=1e-5)
        assert printed[c][1] == pytest.approx(np.sqrt(np.mean(dc * dc)), rel=1e-5)
    # Raw output is the recorded dtype's little-endian bytes; raw input with
    # --dtype and --shape gives the same chunk as the .npy.
    ok(run("decompress", "p.vdx", "back.i16", cwd=tmp_path))
    assert (tmp_path / "back.i16").read_bytes() == back.astype("<i2").tobytes()
    x.astype("<i2").tofile(tmp_path / "probe.i16")
    ok(run("compress", "probe.i16", "r.vdx", "--dtype", "int16", "--shape=-1,4", "--axis", "0",
           "--max-error", "3", cwd=tmp_path))
    assert (tmp_path / "r.vdx").read_bytes() == blob


def test_float_arrays_keep_gaps_and_the_flattening_is_axis_none(tmp_path, walk):
    numcodecs = pytest.importorskip("verdalix.numcodecs")
    leads = np.stack([walk, walk[::-1] * 1e-3, walk + 500]).astype(">f4")  # byte-swapped
    leads[1, 10:20] = np.nan
    leads[2, 4000:] = np.inf
    np.save(tmp_path / "leads.npy", leads)
    np.save(tmp_path / "time_major.npy", leads.T)
    cases = (("leads.npy", ["--scale", "9"], numcodecs.Verdalix(scale=9)),
             ("leads.npy", ["--scale", "9", "--axis", "none"],
              numcodecs.Verdalix(scale=9, axis=None)),
             ("time_major.npy", ["--axis", "-2", "--prd", "1"],
              numcodecs.Verdalix(prd=1, axis=-2)))
    for name, extra, codec in cases:
        native = np.load(tmp_path / name).astype(np.float32)
        out = ok(run("compress", name, "l.vdx", *extra, "-f", cwd=tmp_path))
        assert (tmp_path / "l.vdx").read_bytes() == codec.encode(native), extra
        ok(run("decompress", "l.vdx", "back.npy", "-f", cwd=tmp_path))
        back = np.load(tmp_path / "back.npy")
        assert back.dtype == np.float32 and back.shape == native.shape
        kept = ~np.isfinite(native)
        assert np.array_equal(back[kept], native[kept], equal_nan=True)
        # Errors are measured where the targets hold: never NaN or inf.
        assert not re.search(r" (nan|inf)\b", out.stdout), out.stdout
    assert all(p <= 1 for _, _, p in _printed_lines(out.stdout).values())
    # The quiet lead keeps its own scale along the time axis.
    ok(run("compress", "leads.npy", "l.vdx", "--scale", "9", "-f", cwd=tmp_path))
    ok(run("decompress", "l.vdx", "back.npy", "-f", cwd=tmp_path))
    back = np.load(tmp_path / "back.npy")
    native = leads.astype(np.float32)
    quiet = np.isfinite(native[1])
    # (flattened with the loud leads, its error would exceed its whole range)
    assert np.abs(back[1, quiet] - native[1, quiet]).max() < 1e-2 * np.ptp(native[1, quiet])


def test_many_lines_are_summed_up_by_their_worst(tmp_path):
    x = (np.random.default_rng(5).standard_normal((40, 300)) * 30).astype(np.int8)
    np.save(tmp_path / "many.npy", x)
    out = ok(run("compress", "many.npy", "m.vdx", "--rms-error", "1.5", cwd=tmp_path)).stdout
    back = verdalix._native.decode_chunk((tmp_path / "m.vdx").read_bytes()).reshape(x.shape)
    d = back.astype(np.float64) - x
    rms = np.sqrt(np.mean(d * d, axis=1))
    assert "40 lines of 300 samples along axis -1" in out and "  line " not in out
    worst = next(text for text in out.splitlines() if text.startswith("worst line:"))
    assert f"rms_error {rms.max():.6g} (line {rms.argmax()})" in worst
    assert rms.max() <= 1.5
    assert f"max_error {np.abs(d).max():.6g}, rms_error {np.sqrt(np.mean(d * d)):.6g} " \
           "over all lines (in counts)" in out


def test_every_integer_dtype_comes_back_exact_below_half_a_count(tmp_path):
    for name in ("int8", "uint8", "int16", "uint16", "int32", "uint32"):
        # Full range up to 16 bits; a line of 32-bit counts spanning much more
        # than that is beyond the quantiser's reach at 0.49 and refused (the
        # codecs' limit, not the command's), so only its extreme is kept.
        info = np.iinfo(name)
        low, high = max(int(info.min), -2 ** 15), min(int(info.max), 2 ** 16)
        x = np.linspace(low, high, 3000).round().astype(name).reshape(3, 1000)
        x[1] = x[1][::-1]
        x[2, :100] = info.max  # a saturated stretch, kept as a run
        np.save(tmp_path / f"{name}.npy", x)
        ok(run("compress", f"{name}.npy", f"{name}.vdx", "--max-error", "0.49", cwd=tmp_path))
        ok(run("decompress", f"{name}.vdx", f"{name}.back.npy", cwd=tmp_path))
        back = np.load(tmp_path / f"{name}.back.npy")
        assert back.dtype == x.dtype and np.array_equal(back, x), name


def test_info_shows_a_frames_fields_and_each_line(tmp_path):
    x = _probe(channels=3, length=4000)
    blob = _codec_config.encode_chunk(x, dict(_codec_config.validated(scale=9)[0], axis=0))
    (tmp_path / "p.vdx").write_bytes(blob)
    out = ok(run("info", "p.vdx", cwd=tmp_path)).stdout.splitlines()
    assert out[0] == "p.vdx:"
    fields = {}
    for text in out[1:]:
        if not text.startswith("  line  samples") and not text.strip()[0].isdigit():
            key, value = text.split(None, 1)
            fields.setdefault(key, value)
    assert fields["dtype"] == "int16" and fields["axis"] == "0"
    assert fields["shape"] == "(4000, 3) (2 dimensions, 12000 samples)"
    assert fields["lines"] == "3 of 4000 samples" and fields["version"] == "1.0"
    assert fields["kept"] == "runs   1 (500 samples kept exactly)"
    assert fields["run"] == "line 2, samples 1000 to 1499: -7"
    rows = [text.split() for text in out if text.strip()[:1].isdigit()]
    assert [int(r[0]) for r in rows] == [0, 1, 2]
    # Each row's container is where the frame says, and its header is the one
    # the codec reads there.
    start = len(blob) - sum(int(r[2]) for r in rows)
    assert fields["size"] == f"{len(blob)} bytes: frame tables {start}, " \
                             f"containers {len(blob) - start}"
    for r in rows:
        header = verdalix._native.read_header(blob[start:start + int(r[2])])
        assert (int(r[1]), r[5], r[6], int(r[7])) == (
            header["sample_count"], f"{header['method']}/{header['levels']}",
            header["coder"], header["scale"])
        assert (int(r[3]), int(r[4])) == ((1, 500) if r[0] == "2" else (0, 0))
        start += int(r[2])


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
    save("flags.npy", np.ones(4, bool))
    save("none.npy", np.zeros(0, np.float32))
    save("none2.npy", np.zeros((4, 0), np.int16))
    save("objects.npy", np.array([1.0, "a"], dtype=object), allow_pickle=True)
    save("in.npy", walk)
    save("pair.npy", np.stack([walk, -walk]))
    full = (tmp_path / "in.npy").read_bytes()
    (tmp_path / "cut.npy").write_bytes(full[:-10])
    (tmp_path / "garbled.npy").write_bytes(full[:10] + b"{'descr': <f4, shape" + b" " * 60)
    (tmp_path / "huge.npy").write_bytes(_npy_with_header((10 ** 12,)) + b"\0" * 100)
    (tmp_path / "empty.npy").write_bytes(b"")
    np.savez(tmp_path / "two.npz", a=walk, b=walk)
    np.savez(tmp_path / "wide.npz", a=np.zeros((2, 4), np.int64))
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
    frame = _codec_config.encode_chunk(np.arange(600, dtype=np.int16).reshape(2, 300),
                                       _codec_config.validated()[0])
    (tmp_path / "cut.vdf").write_bytes(frame[:-1])
    (tmp_path / "stub.vdf").write_bytes(frame[:10])
    (tmp_path / "future.vdf").write_bytes(frame[:4] + b"\x02" + frame[5:])


# (arguments, exit status, fragments of the one line on stderr)
BAD_INPUTS = [
    (["compress", "nothere.npy", "o"], 1, ["nothere.npy", "No such file"]),
    (["compress", "folder", "o", "--dtype", "float32"], 1, ["folder", "directory"]),
    (["compress", "rows.npy", "o", "--axis", "5"], 1, ["rows.npy", "--axis 5", "(3, 10)"]),
    (["compress", "in.npy", "o", "--axis", "-2"], 1, ["in.npy", "--axis -2", "(5000,)"]),
    (["compress", "ints.npy", "o"], 1, ["ints.npy", "uint32 samples, not int64"]),
    (["compress", "flags.npy", "o"], 1, ["flags.npy", "not bool"]),
    (["compress", "cplx.npy", "o"], 1, ["cplx.npy", "not complex64"]),
    (["compress", "half.npy", "o"], 1, ["half.npy", "not float16"]),
    (["compress", "wide.npz", "o"], 1, ["wide.npz[a.npy]", "not int64"]),
    (["compress", "none2.npy", "o"], 1, ["none2.npy", "no samples"]),
    (["compress", "none.npy", "o"], 1, ["none.npy", "no samples"]),
    (["compress", "objects.npy", "o"], 1, ["objects.npy", "object"]),
    (["compress", "cut.npy", "o"], 1, ["cut.npy", "truncated", "5000 samples"]),
    (["compress", "garbled.npy", "o"], 1, ["garbled.npy", "damaged .npy header"]),
    (["compress", "huge.npy", "o"], 1, ["huge.npy", "truncated", "1000000000000 samples"]),
    (["compress", "empty.npy", "o"], 1, ["empty.npy", "--dtype"]),
    (["compress", "empty.npy", "o", "--dtype", "float32"], 1, ["empty.npy", "no samples"]),
    (["compress", "two.npz", "o"], 1, ["two.npz", "one array", "holds 2 (a, b)"]),
    (["compress", "nothing.npz", "o", "--dtype", "float64"], 1, ["nothing.npz", "holds 0"]),
    (["compress", "cut.npz", "o", "--dtype", "float64"], 1, ["cut.npz", "damaged .npz"]),
    (["compress", "text.npz", "o"], 1, ["text.npz", "not a .npy array"]),
    (["compress", "in.raw", "o"], 1, ["in.raw", "--dtype"]),
    (["compress", "odd.raw", "o", "--dtype", "float32"], 1, ["odd.raw", "5 bytes"]),
    (["compress", "odd.raw", "o", "--dtype", "int16"], 1, ["odd.raw", "5 bytes", "int16"]),
    (["compress", "in.raw", "o", "--dtype", "uint8", "--shape=7,-1"], 1,
     ["in.raw", "20000 uint8 samples do not make shape 7,-1"]),
    (["compress", "in.npy", "o", "--dtype", "int8", "--shape=50,-1"], 1,
     ["in.npy", "--shape is for raw input"]),
    (["compress", "pair.npy", "o", "--max-error", "0"], 1,
     ["pair.npy", "no setting reaches max_error=0"]),
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
    (["decompress", "cut.vdf", "o.npy"], 1, ["cut.vdf", "goes past the chunk's end"]),
    (["decompress", "stub.vdf", "o.npy"], 1, ["stub.vdf", "Frame truncated"]),
    (["decompress", "future.vdf", "o.i16"], 1, ["future.vdf", "Frame version 2.0"]),
    (["info", "cut.vdf"], 1, ["cut.vdf", "goes past the chunk's end"]),
    (["info", "stub.vdf"], 1, ["stub.vdf", "Frame truncated"]),
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
    (["compress", "in.raw", "o", "--dtype", "int64"], 2, ["--dtype", "'int64'"]),
    (["compress", "in.raw", "o", "--shape=4,-1"], 2, ["--shape", "needs --dtype"]),
    (["compress", "in.raw", "o", "--dtype", "int8", "--shape=-1,-1"], 2, ["--shape"]),
    (["compress", "in.npy", "o", "--axis", "last"], 2, ["--axis", "'last'"]),
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
    helps = {}
    for command in ("compress", "decompress", "info"):
        sub = ok(run(command, "--help", cwd=tmp_path))
        assert "examples:\n  verdalix " + command in sub.stdout
        helps[command] = sub.stdout
    # An example of each chunk-frame feature.
    for fragment in ("--axis 0 --max-error 2", "--dtype int16 --shape=-1,384", "--axis none"):
        assert fragment in helps["compress"], fragment
    assert "probe.vdx probe.i16" in helps["decompress"] and "chunk frame" in helps["info"]
    assert ok(run("--version", cwd=tmp_path)).stdout == f"verdalix {verdalix.__version__}\n"
    assert os.access(SCRIPT, os.X_OK)
