"""Recordings in stores through the chunk frame: channels along a time axis in
either layout, integer samples, gaps and fill values kept exactly, chunks
written before the frame, hostile chunks, and chunks that arrive unaligned,
strided or from worker processes."""
import hashlib
import pathlib

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
numcodecs = pytest.importorskip("numcodecs")

from verdalix import CompressionOptions, _native, compress_signal, decompress_signal
from verdalix import numcodecs as vnumcodecs
from verdalix import zarr as vzarr
from conftest import DATA_DIR, raised, run_isolated, signal

INTEGER_TYPES = ["int8", "uint8", "int16", "uint16", "int32", "uint32"]


def channels(count, n, gains):
    """(channels, time) float64: channel c is a signal of amplitude gains[c]."""
    return np.stack([signal(n, seed=c).astype(np.float64) * g for c, g in enumerate(gains)])


def create(path, fmt, data, chunks, codec_args, fill_value=0, dtype=None):
    dtype = dtype or data.dtype
    if fmt == 3:
        return zarr.create_array(str(path), shape=data.shape, chunks=chunks, dtype=dtype,
                                 fill_value=fill_value, compressors=None,
                                 serializer=vzarr.Verdalix(**codec_args))
    return zarr.create_array(str(path), shape=data.shape, chunks=chunks, dtype=dtype,
                             fill_value=fill_value, zarr_format=2,
                             compressors=vnumcodecs.Verdalix(**codec_args))


def relative_errors(read, data, axis):
    """Max error of each channel over its own range."""
    span = data.max(axis=axis) - data.min(axis=axis)
    return np.abs(read - data).max(axis=axis) / span


@pytest.mark.parametrize("fmt", [2, 3])
def test_each_layout_round_trips_and_a_quiet_channel_keeps_its_own_error(tmp_path, fmt):
    gains = [1e-3, 1e3, 1.0, 10.0]
    data = channels(4, 3 * 4096, gains).astype(np.float32)
    layouts = {
        "rows": (data, (4, 4096), {"axis": -1}, 1),
        "time_major": (np.ascontiguousarray(data.T), (4096, 4), {"axis": 0}, 0),
        "one_channel": (data[1].copy(), (4096,), {}, None),
        "flattened": (data, (4, 4096), {"axis": None}, 1),
    }
    digests = {}
    for name, (array, chunks, args, time_axis) in layouts.items():
        stored = create(tmp_path / name, fmt, array, chunks, args)
        stored[:] = array
        read = stored[:]
        assert read.dtype == np.float32 and read.shape == array.shape
        digests[name] = hashlib.sha256(read.tobytes()).hexdigest()
        if time_axis is None:
            continue
        errors = relative_errors(read, array, time_axis)
        if name == "flattened":
            # One range for all channels: the quiet one is lost in the loud one's steps.
            assert errors[0] > 0.5
        else:
            # Each channel on its own scale: the same relative error at 10^-3 as at 10^3.
            assert errors.max() < 1e-3, errors
    out = run_isolated(f"""
        import hashlib, zarr
        for name in {list(layouts)!r}:
            read = zarr.open_array({str(tmp_path)!r} + "/" + name, mode="r")[:]
            print(hashlib.sha256(read.tobytes()).hexdigest())
        """)
    assert out == list(digests.values())


def test_one_float32_line_stays_compress_signals_container():
    options = dict(method="db4", scale=9, coder="arans")
    line = signal(5000, seed=4)
    expected = compress_signal(line, CompressionOptions(**options))
    for codec in (vnumcodecs.Verdalix(**options), vnumcodecs.Verdalix(**options, axis=0)):
        for chunk in (line, line.reshape(1, -1), line.reshape(-1, 1)):
            blob = codec.encode(chunk)
            if chunk.ndim == 2 and chunk.shape[codec.axis] == 1:
                # Along the length-1 axis: 5000 lines of one sample each.
                assert _native.describe_chunk(blob)[:3] == (True, "float32", chunk.shape)
            else:
                assert blob == expected


def test_chunks_written_before_the_frame_read_unchanged():
    saved = np.load(DATA_DIR / "legacy_chunks.npz")
    codec = vnumcodecs.Verdalix()
    for name in {key.split("/")[0] for key in saved.files}:
        blob = saved[name + "/blob"].tobytes()
        expected = saved[name + "/decoded"]
        assert np.array_equal(codec.decode(blob), expected)
        shape = tuple(saved[name + "/shape"])
        wide = np.empty(shape, np.float64)
        codec.decode(blob, out=wide)
        assert np.array_equal(wide.ravel(), expected.astype(np.float64))
    reads = np.load(DATA_DIR / "legacy_stores_read.npy")
    for index, store in enumerate(("legacy_v3.zarr", "legacy_v2.zarr")):
        array = zarr.open_array(str(DATA_DIR / store), mode="r")
        assert np.array_equal(array[:].astype(np.float64), reads[index])


@pytest.mark.parametrize("dtype", INTEGER_TYPES)
@pytest.mark.parametrize("fmt", [2, 3])
def test_integer_samples_come_back_in_their_own_type(tmp_path, fmt, dtype):
    info = np.iinfo(dtype)
    span = float(info.max) - float(info.min)
    t = np.arange(2 * 3000)
    data = np.round(info.min + span * (0.5 + 0.49 * np.sin(t / 50.0))).astype(dtype).reshape(2, -1)
    data[0, :2] = (info.min, info.max)      # the extremes, alone
    data[1, 100:2000] = info.max             # saturated: a kept run
    stored = create(tmp_path / "a", fmt, data, (2, 3000), {})
    stored[:] = data
    read = zarr.open_array(str(tmp_path / "a"), mode="r")[:]
    assert read.dtype == np.dtype(dtype)
    assert np.array_equal(read[1, 100:2000], data[1, 100:2000])
    assert read[0, 0] == info.min  # rounded and clipped, never wrapped
    error = np.abs(read.astype(np.float64) - data.astype(np.float64)).max()
    assert error <= span / 2**10 + 1, error
    # A constant chunk is exact.
    constant = np.full((3, 700), info.min + 3, dtype)
    codec = vnumcodecs.Verdalix()
    assert np.array_equal(codec.decode(codec.encode(constant)), constant)


def test_refused_dtypes_are_named():
    for dtype in ("int64", "uint64", "bool", "complex64", "float16"):
        with pytest.raises(TypeError, match=f"not {dtype}$"):
            vnumcodecs.Verdalix().encode(np.zeros(10, dtype))


def test_non_finite_samples_and_runs_are_exact():
    x = signal(6000, seed=2).astype(np.float64) + 100.0
    x[0] = np.nan                        # at the start
    x[-1] = np.nan                       # and at the end
    x[10], x[11], x[12] = np.inf, -np.inf, np.nan
    x[3000:3500] = np.nan                # a gap
    x[4000:4100] = 7.0                   # a flat stretch, far outside the data
    chunk = x.reshape(2, 3000)
    codec = vnumcodecs.Verdalix()
    back = codec.decode(codec.encode(chunk))
    assert back.dtype == np.float64
    kept = ~np.isfinite(chunk) | (chunk == 7.0)
    assert np.array_equal(back[kept], chunk[kept], equal_nan=True)
    assert np.array_equal(np.signbit(back[np.isinf(chunk)]), np.signbit(chunk[np.isinf(chunk)]))
    # The rest is quantised on the data's own range (about 2.6), not on 7..100.
    assert np.abs(back[~kept] - chunk[~kept]).max() < 2e-3
    for only in (np.full(4000, np.nan, np.float32), np.full((2, 50), -np.inf)):
        again = codec.decode(codec.encode(only))
        assert np.array_equal(again, only, equal_nan=True) and again.dtype == only.dtype


@pytest.mark.parametrize("fmt", [2, 3])
@pytest.mark.parametrize("fill, offset, dtype", [(np.nan, 500.0, "f4"), (0.0, 500.0, "f4"),
                                                 (0.0, 1e6, "f8")])
def test_edge_and_partly_written_chunks_keep_their_own_scale(tmp_path, fmt, fill, offset, dtype):
    n = 4096
    data = (offset + np.sin(np.arange(2 * n + 300) / 20.0)).astype(dtype)
    stored = create(tmp_path / "a", fmt, data, (n,), {}, fill_value=fill)
    stored[:n] = data[:n]                            # a full chunk
    stored[n:n + 1000] = data[n:n + 1000]            # a partly written one
    stored[2 * n:] = data[2 * n:]                    # the edge chunk: 300 samples
    read = zarr.open_array(str(tmp_path / "a"), mode="r")[:]
    full = np.abs(read[:n] - data[:n]).max()
    partly = np.abs(read[n:n + 1000] - data[n:n + 1000]).max()
    edge = np.abs(read[2 * n:] - data[2 * n:]).max()
    assert max(partly, edge) <= 2 * full + np.spacing(np.float32(offset)), (full, partly, edge)
    unwritten = read[n + 1000:2 * n]
    assert np.array_equal(unwritten, np.full_like(unwritten, fill), equal_nan=True)


def frame_of_one_run(count, dtype_code=4):
    """A frame declaring one int16 line of `count` samples, all one kept run."""
    head = b"VRDF" + bytes([1, 0, dtype_code, 1, 0, 0, 0, 0]) + (1).to_bytes(4, "little")
    return (head + count.to_bytes(8, "little") + (0).to_bytes(8, "little")
            + (0).to_bytes(4, "little") + (0).to_bytes(4, "little")
            + count.to_bytes(4, "little") + (7).to_bytes(2, "little"))


def test_hostile_chunks_are_refused_before_allocation():
    good = vnumcodecs.Verdalix().encode(np.arange(6000, dtype=np.int16).reshape(2, 3000))
    codec = vnumcodecs.Verdalix()
    for bad in (good[:20], good[:-1], good + b"\0", good[:40] + bytes(8) + good[48:]):
        with pytest.raises(ValueError, match="Can't decompress data, reason: "):
            codec.decode(bad)
        with pytest.raises(ValueError):
            codec.decode(bad, out=np.empty((2, 3000), np.int16))
    # The frame's declared count against out, and against the cap without it.
    raised(ValueError, codec.decode, frame_of_one_run(5000), out=np.empty(3000, np.int16),
           message="The frame holds 5000 samples, but out has 3000")
    small = vnumcodecs.Verdalix(max_samples=4096)
    raised(ValueError, small.decode, frame_of_one_run(5000),
           message="The chunk declares 5000 samples, more than this codec's cap of 4096 "
                   "(max_samples)")
    assert np.array_equal(codec.decode(frame_of_one_run(5000)), np.full(5000, 7, np.int16))
    bare = compress_signal(signal(3000))
    huge = bare[:16] + (2**31 - 1).to_bytes(4, "little") + bare[20:]
    raised(ValueError, codec.decode, huge,
           message="The chunk declares 2147483647 samples, more than this codec's cap of "
                   "67108864 (max_samples)")


def test_reads_past_the_cap_allocate_nothing_for_it():
    # A 62-byte frame declaring 2^31 - 1 samples, and one just past the cap:
    # refused, and the process grows by far less than either would need.
    out = run_isolated(f"""
        import resource, numpy as np
        from verdalix.numcodecs import Verdalix
        def frame_of_one_run(count):
            head = b"VRDF" + bytes([1, 0, 4, 1, 0, 0, 0, 0]) + (1).to_bytes(4, "little")
            return (head + count.to_bytes(8, "little") + (0).to_bytes(8, "little")
                    + (0).to_bytes(4, "little") + (0).to_bytes(4, "little")
                    + count.to_bytes(4, "little") + (7).to_bytes(2, "little"))
        codec = Verdalix()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for count in (2**31 - 1, 2**26 + 1):
            try:
                codec.decode(frame_of_one_run(count))
            except ValueError:
                print("refused")
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
        """)
    assert out[:2] == ["refused", "refused"]
    assert int(out[2]) < 16  # MiB; 2^26 int16 samples would be 128


def test_unaligned_and_strided_chunks_are_read_not_refused():
    codec = vnumcodecs.Verdalix()
    for dtype in ("float32", "int16", "float64"):
        chunk = (signal(4 * 1000) * 100).astype(dtype).reshape(1000, 4)
        raw = bytearray(chunk.nbytes + 1)
        unaligned = np.frombuffer(raw, dtype, offset=1, count=chunk.size).reshape(chunk.shape)
        unaligned[...] = chunk
        assert not unaligned.flags.aligned
        expected = vnumcodecs.Verdalix(axis=0).encode(chunk)
        assert vnumcodecs.Verdalix(axis=0).encode(unaligned) == expected
        wide = np.zeros((1000, 8), dtype)
        wide[:, ::2] = chunk
        assert vnumcodecs.Verdalix(axis=0).encode(wide[:, ::2]) == expected
        assert codec.encode(np.asfortranarray(chunk)) == codec.encode(chunk)
        # Decoding into an unaligned or strided out.
        into = np.frombuffer(bytearray(chunk.nbytes + 1), dtype, offset=1,
                             count=chunk.size).reshape(chunk.shape)
        codec.decode(expected, out=into)
        strided = np.zeros((1000, 8), dtype)
        codec.decode(expected, out=strided[:, ::2])
        assert np.array_equal(into, codec.decode(expected))
        assert np.array_equal(strided[:, ::2], into) and not strided[:, 1::2].any()


@pytest.mark.worker_processes
def test_store_on_worker_processes_writes_what_a_serial_write_does(tmp_path):
    # Time-major int16 (time, channels), chunked (1024, 4) along axis 0; the
    # blocks reach the workers over the wire, so unaligned, as they come.
    da = pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    data = np.round(channels(4, 4 * 1024 - 50, [30, 300, 3000, 10]).T).astype(np.int16)

    def files(path):
        root = pathlib.Path(path)
        return {p.relative_to(root): p.read_bytes() for p in sorted(root.rglob("*"))
                if p.is_file() and p.name != "zarr.json"}

    serial = create(tmp_path / "serial", 3, data, (1024, 4), {"axis": 0})
    serial[:] = data
    parallel = create(tmp_path / "workers", 3, data, (1024, 4), {"axis": 0})
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            da.store(da.from_array(data, chunks=(1024, 4)), parallel, lock=False,
                     scheduler=client)
    assert files(tmp_path / "workers") == files(tmp_path / "serial")
    assert len(files(tmp_path / "serial")) == 4


@pytest.mark.parametrize("target", [{"max_error": 0.01}, {"rms_error": 0.002}, {"prd": 1.0}])
def test_targets_hold_on_the_written_samples_of_edge_and_partly_written_chunks(tmp_path,
                                                                                target):
    # 500 + a wave in chunks of 4096 with a fill of 0: the edge chunk holds
    # 300 samples, the second chunk 1000 (the rest never written).
    n = 4096
    data = (500 + np.sin(np.arange(2 * n + 300) / 20.0) + 0.1 * signal(2 * n + 300)).astype("f4")
    stored = create(tmp_path / "a", 3, data, (n,), target)
    stored[:n] = data[:n]
    stored[n:n + 1000] = data[n:n + 1000]
    stored[2 * n:] = data[2 * n:]
    read = zarr.open_array(str(tmp_path / "a"), mode="r")[:]
    (kind, bound), = target.items()
    for part in (slice(0, n), slice(n, n + 1000), slice(2 * n, None)):
        x, y = data[part].astype(np.float64), read[part].astype(np.float64)
        error = {"max_error": np.abs(y - x).max(), "rms_error": np.sqrt(np.mean((y - x) ** 2)),
                 "prd": 100 * np.sqrt(np.sum((y - x) ** 2) / np.sum((x - x.mean()) ** 2))}[kind]
        assert error <= bound, (part, error)
    assert not read[n + 1000:2 * n].any()
