"""The HDF5 filter through h5py: every chunk HDF5 stores is the storage
codecs' chunk, byte for byte; programs that never import verdalix read the
files with HDF5_PLUGIN_PATH alone (h5py in a fresh process, h5dump); a
damaged chunk fails its read with HDF5's error and spares the others."""
import os
import re
import shutil
import struct
import subprocess
import sys

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
pytest.importorskip("numcodecs")

import verdalix.h5 as vh5
from verdalix import numcodecs as vnumcodecs
from conftest import raised, signal

CODERS = ["auto", "cmodel", "arans", "deflate"]


def recording(shape, dtype, seed=0):
    values = signal(int(np.prod(shape)), seed=seed).reshape(shape).astype(np.float64) * 50
    if np.dtype(dtype).kind in "iu":
        # Around 0 (from 0 for unsigned types): where float32 holds every count.
        values = np.round(values - (values.min() if np.dtype(dtype).kind == "u" else 0))
    return values.astype(dtype)


def padded_chunk(data, start, chunks):
    """The chunk HDF5 hands the filter: the region, padded with the fill
    value (0) beyond the dataset's edge."""
    chunk = np.zeros(chunks, dtype=data.dtype)
    region = tuple(slice(s, s + c) for s, c in zip(start, chunks))
    part = data[region]
    chunk[tuple(slice(0, n) for n in part.shape)] = part
    return chunk


def chunk_starts(shape, chunks):
    return [tuple(int(i) for i in idx) for idx in
            np.stack(np.meshgrid(*[np.arange(0, n, c) for n, c in zip(shape, chunks)],
                                 indexing="ij"), -1).reshape(-1, len(shape))]


LAYOUTS = {
    "1-D": ((10_000,), (4096,)),
    "(channels, time)": ((4, 3000), (2, 1024)),
    "(time, channels)": ((3000, 4), (1024, 4)),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("dtype", ["f4", "f8", "i1", "u1", "i2", "u2", "i4", "u4"])
def test_chunks_are_the_storage_codecs_bytes_and_read_back(tmp_path, layout, dtype):
    shape, chunks = LAYOUTS[layout]
    data = recording(shape, dtype)
    path = tmp_path / "x.h5"
    # Lines along the time axis of each layout, and the flattening.
    axis = 0 if layout == "(time, channels)" else -1
    for coder, chunk_axis in zip(CODERS, [axis, None, axis, axis]):
        options = dict(method="db4", scale=10, coder=coder, axis=chunk_axis)
        codec = vnumcodecs.Verdalix(**options)
        with h5py.File(path, "w") as f:
            f.create_dataset("x", data=data, chunks=chunks, **vh5.Verdalix(**options))
        with h5py.File(path, "r") as f:
            dataset = f["x"]
            read = dataset[...]
            assert read.dtype == np.dtype(dtype)
            expected = np.empty(shape, dtype)
            for start in chunk_starts(shape, chunks):
                mask, stored = dataset.id.read_direct_chunk(start)
                chunk = padded_chunk(data, start, chunks)
                assert mask == 0
                assert stored == codec.encode(chunk), (coder, start)
                decoded = codec.decode(stored).reshape(chunks).astype(dtype)
                region = tuple(slice(s, s + c) for s, c in zip(start, chunks))
                expected[region] = decoded[tuple(slice(0, n) for n in expected[region].shape)]
        np.testing.assert_array_equal(read, expected)
        error = np.abs(read.astype(np.float64) - data)
        assert error.max() <= max(2e-3 * np.ptp(data), 1.0)


def test_options_reach_the_chunks_and_the_values_hold_type_and_shape(tmp_path):
    options = dict(method="sym4", scale=8, cutoff="high", coder="arans", quant_multiplier=300.5)
    mapping = vh5.Verdalix(**options)
    multiplier_bits = struct.unpack("<I", struct.pack("<f", 300.5))[0]
    # Flags 3: a multiplier, and lines along the axis (-1, the last).
    assert mapping.filter_options == (1, 3, 8, 2, 2, 3, multiplier_bits, 0, 0, 0, 0xFFFFFFFF)
    assert dict(mapping) == {"compression": vh5.FILTER_ID,
                             "compression_opts": mapping.filter_options}
    data = recording((6, 700), "f8")
    with h5py.File(tmp_path / "x.h5", "w") as f:
        dataset = f.create_dataset("x", data=data, chunks=(3, 700), **mapping)
        filter_id, _, values, name = dataset.id.get_create_plist().get_filter(0)
        # set_local appends the sample type (float64: 1), the rank and the chunk shape.
        assert (filter_id, name) == (vh5.FILTER_ID, b"verdalix")
        assert values == mapping.filter_options + (1, 2, 3, 700)
        stored = dataset.id.read_direct_chunk((3, 0))[1]
    assert stored == vnumcodecs.Verdalix(**options).encode(data[3:])


@pytest.mark.parametrize("dtype", ["f4", "f8"])
def test_every_chunk_meets_an_error_target_on_every_sample(tmp_path, dtype):
    data = recording((4, 6000), dtype, seed=5)
    data[2] *= 1e-3  # a quiet channel keeps the absolute bound too
    for kind, value in [("max_error", 0.02), ("rms_error", 0.005), ("prd", 0.4)]:
        mapping = vh5.Verdalix(**{kind: value}, coder="arans")
        code = {"max_error": 1, "rms_error": 2, "prd": 3}[kind]
        low, high = struct.unpack("<II", struct.pack("<d", value))
        assert mapping.filter_options == (1, 15, 11, 0, 2, 2, 0, code, low, high, 0xFFFFFFFF)
        with h5py.File(tmp_path / "x.h5", "w") as f:
            f.create_dataset("x", data=data, chunks=(1, 6000), **mapping)
        codec = vnumcodecs.Verdalix(**{kind: value}, coder="arans")
        with h5py.File(tmp_path / "x.h5", "r") as f:
            read = f["x"][...]
            # One fitter behind both: the same chunk bytes as the storage codec.
            for channel in range(4):
                stored = f["x"].id.read_direct_chunk((channel, 0))[1]
                assert stored == codec.encode(data[channel:channel + 1])
        for channel, decoded in zip(data.astype(np.float64), read.astype(np.float64)):
            error = decoded - channel
            achieved = {"max_error": np.abs(error).max(),
                        "rms_error": np.sqrt(np.mean(error ** 2)),
                        "prd": 100 * np.sqrt(np.sum(error ** 2) /
                                             np.sum((channel - channel.mean()) ** 2))}[kind]
            assert achieved <= value, (kind, achieved)


def test_options_are_refused_as_the_storage_codecs_refuse_them():
    for bad, exc_type in [(dict(method="haar"), ValueError), (dict(scale=13), ValueError),
                          (dict(coder="zstd"), ValueError), (dict(cutoff=3), TypeError),
                          (dict(max_error=0.1, scale=9), TypeError),
                          (dict(prd=-1.0), ValueError), (dict(axis=40), ValueError),
                          (dict(axis=1.0), TypeError)]:
        with pytest.raises(exc_type) as info:
            vnumcodecs.Verdalix(**bad)
        notes = getattr(info.value, "__notes__", None)
        raised(exc_type, vh5.Verdalix, **bad, message=info.value.args[0],
               note=notes[0] if notes else None)


def test_settings_a_write_would_refuse_fail_at_dataset_creation(tmp_path):
    # Values as a C program would set them (Verdalix() itself refuses the
    # multiplier): a multiplier of -2, flags 1.
    negative = struct.unpack("<I", struct.pack("<f", -2.0))[0]
    raw = {"compression": vh5.FILTER_ID,
           "compression_opts": (1, 0, 11, 0, 0, 1, negative, 0, 0, 0, 0)}
    with h5py.File(tmp_path / "x.h5", "w") as f:
        for name, mapping, reason in [("multiplier", raw, "Quantization multiplier"),
                                      ("axis", vh5.Verdalix(axis=1), "xis")]:
            with pytest.raises(ValueError, match=reason):  # h5py's error for set_local's
                f.create_dataset(name, shape=(100,), dtype="f4", chunks=(50,), **mapping)
            assert name not in f


def test_types_the_codec_does_not_store_are_refused_at_dataset_creation(tmp_path):
    with h5py.File(tmp_path / "x.h5", "w") as f:
        for dtype, reason in [(">f4", "little-endian"), ("<i8", "float32, float64 and 8- to"),
                              ("<f2", "float32, float64 and 8- to")]:
            with pytest.raises(ValueError, match=reason):
                f.create_dataset(dtype, shape=(100,), dtype=dtype, chunks=(50,),
                                 **vh5.Verdalix())
            assert dtype not in f


@pytest.fixture
def written(tmp_path):
    data = recording((3, 5000), "f4", seed=3)
    path = tmp_path / "shared.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("ecg", data=data, chunks=(1, 5000), **vh5.Verdalix(scale=9))
    with h5py.File(path, "r") as f:
        return path, f["ecg"][...]


def plugin_only_environment(plugin_path):
    env = {key: value for key, value in os.environ.items() if not key.startswith("HDF5_")}
    env["HDF5_PLUGIN_PATH"] = plugin_path
    return env


def test_a_program_that_never_imports_verdalix_reads_through_the_plugin_path(written, tmp_path):
    path, decoded = written
    code = (
        "import sys, h5py, numpy\n"
        "with h5py.File(sys.argv[1], 'r') as f:\n"
        "    numpy.save(sys.argv[2], f['ecg'][...])\n"
        "assert not any(name.startswith('verdalix') for name in sys.modules)\n"
    )
    out = tmp_path / "read.npy"
    result = subprocess.run([sys.executable, "-c", code, str(path), str(out)],
                            env=plugin_only_environment(vh5.PLUGIN_PATH), capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    np.testing.assert_array_equal(np.load(out), decoded)
    # Without the plugin path the same program cannot read the chunks.
    result = subprocess.run([sys.executable, "-c", code, str(path), str(out)],
                            env=plugin_only_environment(str(tmp_path)), capture_output=True,
                            text=True, timeout=120)
    assert result.returncode != 0 and "plugin" in result.stderr


def test_the_filter_talks_to_the_hdf5_that_called_it(written, tmp_path):
    """With the system's libhdf5 loaded globally beside h5py's private copy,
    the filter must still use h5py's (its property lists and buffers)."""
    import ctypes.util

    system = ctypes.util.find_library("hdf5_serial") or ctypes.util.find_library("hdf5")
    if system is None:
        pytest.skip("no system libhdf5 (Debian's libhdf5-dev; scripts/test.sh installs it)")
    path, decoded = written
    code = (
        "import ctypes, sys\n"
        "import h5py, numpy, verdalix.h5\n"
        # After h5py, which is bound to its own copy by then.
        f"ctypes.CDLL({system!r}, mode=ctypes.RTLD_GLOBAL)\n"
        "with h5py.File(sys.argv[1], 'r') as f:\n"
        "    numpy.save(sys.argv[2], f['ecg'][...])\n"
        "with h5py.File(sys.argv[3], 'w') as f:\n"
        "    f.create_dataset('x', data=numpy.load(sys.argv[2]), chunks=(1, 5000),\n"
        "                     **verdalix.h5.Verdalix(scale=9))\n"
    )
    out, copy = tmp_path / "read.npy", tmp_path / "copy.h5"
    result = subprocess.run([sys.executable, "-c", code, str(path), str(out), str(copy)],
                            env=plugin_only_environment(str(tmp_path)), capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    np.testing.assert_array_equal(np.load(out), decoded)
    with h5py.File(copy, "r") as f:
        assert f["x"].id.get_create_plist().get_filter(0)[2][-3:] == (2, 1, 5000)


def test_h5dump_prints_the_decoded_samples(written):
    h5dump = shutil.which("h5dump")
    if h5dump is None:
        pytest.skip("h5dump not installed (Debian's hdf5-tools; scripts/test.sh installs it)")
    path, decoded = written
    result = subprocess.run([h5dump, "-d", "/ecg", "-y", "-w", "0", "-m", "%.9g", str(path)],
                            env=plugin_only_environment(vh5.PLUGIN_PATH), capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    body = result.stdout[result.stdout.index("DATA {") + 6:result.stdout.rindex("}")]
    values = np.array([float(v) for v in re.findall(r"[-+0-9.eE]+", body)], dtype=np.float32)
    # %.9g gives every float32 back exactly.
    np.testing.assert_array_equal(values, decoded.reshape(-1))


def test_a_damaged_chunk_fails_its_read_and_the_others_still_read(written):
    path, decoded = written
    with h5py.File(path, "r") as f:
        infos = [f["ecg"].id.get_chunk_info(i) for i in range(3)]
    damages = [
        (16, b"\xff\xff\xff\x7f"),  # the header's sample count
        (60, b"\x00" * 40),         # the payload
        (0, b"XXXX"),               # the magic
    ]
    for offset, patch in damages:
        with open(path, "r+b") as fh:
            fh.seek(infos[1].byte_offset + offset)
            original = fh.read(len(patch))
            fh.seek(infos[1].byte_offset + offset)
            fh.write(patch)
        with h5py.File(path, "r") as f:
            dataset = f["ecg"]
            try:
                damaged = dataset[1]
            except OSError as error:
                assert "filter returned failure" in str(error)
            else:
                # A payload byte can decode to other finite samples: no
                # checksum guards it (as with every container).
                assert offset == 60 and np.isfinite(damaged).all()
            np.testing.assert_array_equal(dataset[0], decoded[0])
            np.testing.assert_array_equal(dataset[2], decoded[2])
        with open(path, "r+b") as fh:
            fh.seek(infos[1].byte_offset + offset)
            fh.write(original)


def test_importing_registers_the_filter_with_h5py(tmp_path):
    code = (
        "import h5py\n"
        f"before = h5py.h5z.filter_avail({vh5.FILTER_ID})\n"
        "import verdalix.h5\n"
        f"print(before, h5py.h5z.filter_avail({vh5.FILTER_ID}))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=plugin_only_environment(str(tmp_path)), timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "True"]


def test_the_plugin_brings_no_hdf5_library_of_its_own():
    library = os.path.join(vh5.PLUGIN_PATH, "libh5verdalix.so")
    with open(library, "rb") as f:
        image = f.read()
    # The dynamic string table names the libraries it needs.
    assert b"libhdf5" not in image
    assert os.listdir(vh5.PLUGIN_PATH) == ["libh5verdalix.so"]
