"""Arrays in zarr directory stores with the verdalix codecs: format 3 (the
array-to-bytes codec, alone and inside sharding) and format 2 (the numcodecs
codec). A float32 chunk of one line with nothing kept aside is exactly
compress_signal's container of it, and every other chunk holds the containers
of its lines behind the frame."""
import hashlib
import itertools
import pathlib

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
numcodecs = pytest.importorskip("numcodecs")

from verdalix import CompressionOptions, _native, compress_signal, decompress_signal
from verdalix import numcodecs as vnumcodecs
from verdalix import zarr as vzarr
from conftest import raised, run_isolated, signal

OPTIONS = dict(method="db4", scale=10, coder="cmodel")


def recording(shape, dtype, seed=0):
    return signal(int(np.prod(shape)), seed=seed).reshape(shape).astype(dtype)


def create(path, fmt, shape, chunks, dtype, **extra):
    if fmt == 3:
        return zarr.create_array(path, shape=shape, chunks=chunks, dtype=dtype, fill_value=0,
                                 serializer=vzarr.Verdalix(**OPTIONS), compressors=None, **extra)
    # float64 needs no filter: the frame records the dtype.
    return zarr.create_array(path, shape=shape, chunks=chunks, dtype=dtype, fill_value=0,
                             zarr_format=2, compressors=vnumcodecs.Verdalix(**OPTIONS))


def chunk_file(path, fmt, index):
    if fmt == 3:
        return pathlib.Path(path, "c", *map(str, index))
    return pathlib.Path(path, ".".join(map(str, index)))


def chunk_regions(shape, chunks):
    ranges = [range(0, n, c) for n, c in zip(shape, chunks)]
    for starts in itertools.product(*ranges):
        index = tuple(s // c for s, c in zip(starts, chunks))
        yield index, tuple(slice(s, min(s + c, n)) for s, c, n in zip(starts, chunks, shape))


def line_as_compressed(data, region, chunks):
    """A one-line chunk as the codec compresses it: the written samples, then
    zarr's padding or the unwritten rest (the fill value 0: a kept run)
    filled with the last written value."""
    part = data[region].astype(np.float32).ravel()
    part = part[:np.flatnonzero(part)[-1] + 1]
    line = np.empty(int(np.prod(chunks)), np.float32)
    line[:part.size] = part
    line[part.size:] = part[-1]
    return line, part.size


@pytest.mark.parametrize("fmt", [2, 3])
@pytest.mark.parametrize("dtype", ["f4", "f8"])
@pytest.mark.parametrize("shape, chunks", [((10000,), (4096,)), ((3, 7000), (1, 3000))])
def test_chunk_files_hold_the_containers_of_their_lines(tmp_path, fmt, dtype, shape, chunks):
    data = recording(shape, dtype)
    array = create(str(tmp_path), fmt, shape, chunks, dtype)
    # Everything but the last row/stretch is written: those chunks stay unwritten.
    written = tuple(slice(0, n - c) if i == 0 else slice(None)
                    for i, (n, c) in enumerate(zip(shape, chunks)))
    array[written] = data[written]
    truth = np.zeros(shape, dtype)
    truth[written] = data[written]
    read = array[:]
    assert read.dtype == np.dtype(dtype)
    options = CompressionOptions(**OPTIONS)
    for index, region in chunk_regions(shape, chunks):
        path = chunk_file(str(tmp_path), fmt, index)
        if not np.any(truth[region]):
            assert not path.exists()  # never written: the fill value
            assert not np.any(read[region])
            continue
        line, written_count = line_as_compressed(truth, region, chunks)
        blob = compress_signal(line, options)
        stored = path.read_bytes()
        framed, stored_dtype, stored_shape, _ = _native.describe_chunk(stored)
        # Bare exactly when float32 with nothing kept: the edge chunk's padding is kept.
        assert framed == (dtype == "f8" or written_count < line.size)
        assert (stored_dtype, stored_shape) == (("float64", chunks) if framed and dtype == "f8"
                                                 else ("float32", chunks if framed else
                                                       (line.size,)))
        assert stored.endswith(blob)
        decoded = decompress_signal(blob)[:written_count].astype(dtype)
        assert np.array_equal(read[region].ravel()[:written_count], decoded)
        assert not np.any(read[region].ravel()[written_count:])  # the fill value, exactly


def test_sharded_arrays_hold_one_line_per_inner_chunk(tmp_path):
    data = recording((2, 20000), "f4", seed=3)
    array = zarr.create_array(str(tmp_path), shape=data.shape, chunks=(1, 2048),
                              shards=(1, 8192), dtype="f4", serializer=vzarr.Verdalix(**OPTIONS),
                              compressors=None)
    array[:] = data
    read = array[:]
    options = CompressionOptions(**OPTIONS)
    for index, region in chunk_regions(data.shape, (1, 2048)):
        line, count = line_as_compressed(data, region, (1, 2048))
        expected = decompress_signal(compress_signal(line, options))[:count]
        assert np.array_equal(read[region].ravel(), expected)
    # A short window reads only what it needs and agrees with the whole.
    assert np.array_equal(array[1, 9000:9100], read[1, 9000:9100])


def test_codec_metadata_round_trips():
    codec = vzarr.Verdalix(method="sym4", scale=8, cutoff="medium", coder="deflate",
                           quant_multiplier=200.0)
    assert vzarr.Verdalix.from_dict(codec.to_dict()) == codec
    assert vzarr.Verdalix.from_dict({"name": "verdalix"}) == vzarr.Verdalix()
    assert codec.to_dict()["configuration"]["coder"] == "deflate"
    assert codec.to_dict()["configuration"]["axis"] == -1
    assert vzarr.Verdalix.from_dict(vzarr.Verdalix(axis=None).to_dict()).axis is None
    raised(ValueError, vzarr.Verdalix, scale=13, message="Only scaled 6..12 is supported, "
           "but it was 13")
    for dtype in ("i8", "u8", "bool", "c8", "f2"):
        with pytest.raises(TypeError, match=f"int32 or uint32 arrays, not {np.dtype(dtype)}$"):
            zarr.create_array({}, shape=(10,), dtype=dtype, serializer=vzarr.Verdalix(),
                              compressors=None)
    with pytest.raises(ValueError, match="axis 2 is out of range for arrays of 2 dimensions"):
        zarr.create_array({}, shape=(10, 10), dtype="i2", serializer=vzarr.Verdalix(axis=2),
                          compressors=None)


@pytest.mark.parametrize("fmt", [2, 3])
def test_a_corrupt_chunk_fails_alone(tmp_path, fmt):
    data = recording((3, 6000), "f4", seed=5)
    array = create(str(tmp_path), fmt, data.shape, (1, 3000), "f4")
    array[:] = data
    before = array[:]
    damaged = chunk_file(str(tmp_path), fmt, (1, 1))
    good = damaged.read_bytes()
    bad = good[:52] + bytes(len(good) - 52)
    with pytest.raises(ValueError) as expected:
        decompress_signal(bad)
    damaged.write_bytes(bad)
    reopened = zarr.open_array(str(tmp_path), mode="r")
    with pytest.raises(ValueError) as info:
        reopened[1, 3000:]
    assert info.value.args == expected.value.args
    assert np.array_equal(reopened[0], before[0]) and np.array_equal(reopened[2], before[2])
    assert np.array_equal(reopened[1, :3000], before[1, :3000])
    # A header that declares more samples than the chunk has is refused
    # before anything is decoded for it.
    damaged.write_bytes(good[:16] + (2**31 - 1).to_bytes(4, "little") + good[20:])
    if fmt == 3:
        with pytest.raises(ValueError, match="holds 2147483647 samples, but the chunk has 3000"):
            reopened[1, 3000:]


def test_a_fresh_interpreter_opens_both_formats(tmp_path):
    data = recording((2, 5000), "f4", seed=7)
    digests = []
    for fmt in (2, 3):
        array = create(str(tmp_path / f"v{fmt}"), fmt, data.shape, (1, 2048), "f4")
        array[:] = data
        digests.append(hashlib.sha256(array[:].tobytes()).hexdigest())
    out = run_isolated(f"""
        import hashlib, sys, zarr
        print("verdalix" in sys.modules)
        for fmt in (2, 3):
            array = zarr.open_array({str(tmp_path)!r} + f"/v{{fmt}}", mode="r")
            print(hashlib.sha256(array[:].tobytes()).hexdigest())
        """)
    assert out == ["False", *digests]
