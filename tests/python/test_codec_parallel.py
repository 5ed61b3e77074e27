"""The storage codecs run in parallel: their chunk calls release the GIL, and
dask's threaded scheduler and a cluster of worker processes write exactly the
chunk files a serial write gives."""
import pathlib
import sys
import threading

import numpy as np
import pytest

from verdalix import compress_signal, decompress_signal
from conftest import progress_during, signal

zarr = pytest.importorskip("zarr")
from verdalix.numcodecs import Verdalix as NumcodecsVerdalix
from verdalix.zarr import Verdalix as ZarrVerdalix


@pytest.fixture
def short_switch_interval():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    yield
    sys.setswitchinterval(saved)


def test_chunk_calls_let_other_threads_run(short_switch_interval):
    # Holding the GIL, a call lets the counter move only at its edges, for
    # about one (shortened) switch interval; releasing it, for the whole call.
    samples = signal(1 << 21)
    blob = compress_signal(samples)
    codec = NumcodecsVerdalix()
    held = progress_during(compress_signal, samples) + progress_during(decompress_signal, blob)
    released_encode = progress_during(codec.encode, samples)
    released_decode = progress_during(codec.decode, blob)
    assert released_encode > 4 * held + 1000, (released_encode, held)
    assert released_decode > 4 * held + 1000, (released_decode, held)


def test_concurrent_chunk_calls_agree_with_serial_ones():
    chunks = [signal(20000 + 101 * i, seed=i) for i in range(8)]
    codec = NumcodecsVerdalix(coder="arans")
    expected = [codec.encode(c) for c in chunks]
    results = [None] * 8
    start = threading.Barrier(8)

    def work(slot):
        start.wait()
        blobs = [codec.encode(c) for c in chunks]
        results[slot] = (blobs, [codec.decode(b) for b in blobs])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for blobs, decoded in results:
        assert blobs == expected
        assert all(np.array_equal(d, decompress_signal(b)) for d, b in zip(decoded, expected))


def chunk_files(root):
    root = pathlib.Path(root)
    return {p.relative_to(root): p.read_bytes() for p in sorted(root.rglob("*"))
            if p.is_file() and not p.name.startswith((".z", "zarr.json"))}


@pytest.fixture(scope="module")
def recording():
    rows = [signal(3 * 8192 - 100, seed=row) * (1 + row) for row in range(3)]
    return np.stack(rows)


def write(recording, path, scheduler=None):
    da = pytest.importorskip("dask.array")
    arr = da.from_array(recording, chunks=(1, 8192))
    arr.to_zarr(str(path), serializer=ZarrVerdalix(coder="deflate"), compressors=None,
                compute=False).compute(scheduler=scheduler)


def serial_files(recording, path):
    array = zarr.create_array(str(path), shape=recording.shape, chunks=(1, 8192),
                              dtype=recording.dtype, serializer=ZarrVerdalix(coder="deflate"),
                              compressors=None)
    array[:] = recording
    return chunk_files(path)


def test_dask_threads_write_what_a_serial_write_does(tmp_path, recording):
    expected = serial_files(recording, tmp_path / "serial")
    assert len(expected) == 9
    write(recording, tmp_path / "threads", scheduler="threads")
    assert chunk_files(tmp_path / "threads") == expected


@pytest.mark.worker_processes
def test_worker_processes_write_what_a_serial_write_does(tmp_path, recording):
    distributed = pytest.importorskip("distributed")
    expected = serial_files(recording, tmp_path / "serial")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            write(recording, tmp_path / "workers", scheduler=client)
            # Reading on the workers decodes what was written.
            da = pytest.importorskip("dask.array")
            read = da.from_zarr(str(tmp_path / "workers")).compute(scheduler=client)
    assert chunk_files(tmp_path / "workers") == expected
    assert np.array_equal(read, zarr.open_array(str(tmp_path / "serial"))[:])
