"""The verdalix command, run as a user runs it: a subprocess on files."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import verdalix

SCRIPT = Path(sys.executable).parent / "verdalix"


def run(*args, cwd, script=False):
    command = [str(SCRIPT)] if script else [sys.executable, "-m", "verdalix"]
    return subprocess.run(command + [str(a) for a in args], cwd=cwd, capture_output=True,
                          text=True, timeout=120)


def failed(result, status, *fragments):
    """One line on stderr holding the fragments, no traceback, that status."""
    assert result.returncode == status, result
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("verdalix"), result.stderr
    for fragment in fragments:
        assert fragment in lines[0]


@pytest.fixture
def walk():
    return np.cumsum(np.random.default_rng(3).standard_normal(5000)).astype(np.float32)


def test_round_trip_through_npy_with_a_target(tmp_path, walk):
    np.save(tmp_path / "in.npy", walk)
    out = run("compress", "in.npy", "c.vdx", "--max-error", "0.25", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "ratio" in out.stdout and "max_error" in out.stdout and "prd" in out.stdout
    assert run("decompress", "c.vdx", "back.npy", cwd=tmp_path).returncode == 0
    back = np.load(tmp_path / "back.npy")
    assert back.dtype == np.float32 and back.shape == walk.shape
    assert np.max(np.abs(back.astype(np.float64) - walk)) <= 0.25
    # The container is the library's, byte for byte.
    from verdalix import targets
    assert (tmp_path / "c.vdx").read_bytes() == targets.compress_within(walk, max_error=0.25)


def test_round_trip_through_raw_files(tmp_path, walk):
    walk.astype("<f8").tofile(tmp_path / "in.f64")
    out = run("compress", "in.f64", "c.vdx", "--dtype", "float64", "--prd", "2",
              "--method", "db4", "--coder", "arans", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    header = verdalix._native.read_header((tmp_path / "c.vdx").read_bytes())
    assert (header["method"], header["coder"]) == ("db4", "arans")
    assert run("decompress", "c.vdx", "back.raw", cwd=tmp_path).returncode == 0
    back = np.fromfile(tmp_path / "back.raw", dtype="<f4")
    d = back.astype(np.float64) - walk
    assert 100 * np.sqrt(np.sum(d * d) / np.sum((walk - walk.mean()) ** 2.0)) <= 2


def test_explicit_settings_and_the_console_script(tmp_path, walk):
    np.save(tmp_path / "in.npy", walk)
    out = run("compress", "in.npy", "c.vdx", "--method", "sym4", "--scale", "9", "--cutoff",
              "medium", cwd=tmp_path, script=True)
    assert out.returncode == 0, out.stderr
    options = verdalix.CompressionOptions("sym4", 9, "medium")
    assert (tmp_path / "c.vdx").read_bytes() == verdalix.compress_signal(walk, options)


def test_info_lists_good_files_and_reports_bad_ones(tmp_path, walk):
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
    assert float(fields["mean"]) == pytest.approx(float(walk.mean()), abs=1e-3)
    assert fields["payload"].startswith(f"{len(blob) - 52} bytes")
    assert float(fields["ratio"]) == pytest.approx(4 * 5000 / len(blob), abs=0.01)


def test_failures_are_one_line_with_status_1(tmp_path, walk):
    np.save(tmp_path / "rows.npy", np.zeros((3, 10), np.float32))
    np.save(tmp_path / "ints.npy", np.arange(10))
    np.save(tmp_path / "in.npy", walk)
    walk.tofile(tmp_path / "in.raw")
    (tmp_path / "odd.raw").write_bytes(b"12345")
    (tmp_path / "junk.vdx").write_bytes(b"not a container" * 8)
    failed(run("compress", "rows.npy", "o", "--prd", "1", cwd=tmp_path), 1,
           "shape (3, 10)", "compress each row separately")
    failed(run("compress", "ints.npy", "o", cwd=tmp_path), 1, "float32 or float64")
    failed(run("compress", "in.raw", "o", cwd=tmp_path), 1, "--dtype")
    failed(run("compress", "odd.raw", "o", "--dtype", "float32", cwd=tmp_path), 1,
           "5 bytes")
    failed(run("compress", "in.npy", "o", "--max-error", "0", cwd=tmp_path), 1,
           "no setting reaches max_error=0", "the finest reaches")
    failed(run("compress", "in.npy", "o", "--scale", "13", cwd=tmp_path), 1,
           "Only scaled 6..12 is supported, but it was 13")
    failed(run("compress", "nothere.npy", "o", cwd=tmp_path), 1, "nothere.npy")
    failed(run("decompress", "junk.vdx", "o.npy", cwd=tmp_path), 1,
           "junk.vdx: Magic should be 'VRDX'")
    assert not (tmp_path / "o").exists() and not (tmp_path / "o.npy").exists()


def test_usage_errors_are_one_line_with_status_2(tmp_path):
    failed(run(cwd=tmp_path), 2, "required")
    failed(run("compress", "a.npy", cwd=tmp_path), 2, "required")
    failed(run("compress", "a.npy", "b", "--prd", "1", "--max-error", "2", cwd=tmp_path), 2,
           "not allowed with")
    failed(run("compress", "a.npy", "b", "--prd", "1", "--scale", "9", cwd=tmp_path), 2,
           "--scale and --cutoff")
    failed(run("compress", "a.npy", "b", "--method", "haar", cwd=tmp_path), 2, "haar")
    failed(run("compress", "a.npy", "b", "--prd", "x", cwd=tmp_path), 2, "'x'")
    failed(run("info", cwd=tmp_path), 2, "required")


def test_help_names_every_command(tmp_path):
    out = run("--help", cwd=tmp_path)
    assert out.returncode == 0
    for command in ("compress", "decompress", "info"):
        assert command in out.stdout
    assert os.access(SCRIPT, os.X_OK)
