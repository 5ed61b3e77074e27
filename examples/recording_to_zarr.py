"""Store a long multi-channel recording in a zarr directory store with the
verdalix codec, written by a dask cluster of worker processes, then read back a
short window of one channel (only the chunks it touches).

    python examples/recording_to_zarr.py [STORE_DIRECTORY]

Needs verdalix[zarr,dask,example]. The channels are built from recorded ECG
(PyWavelets' recording, and SciPy's where the installed SciPy still ships it),
each shifted, scaled and given a little noise so no two are equal.
"""
import shutil
import sys
import tempfile
import time
import warnings
from pathlib import Path

import dask
import dask.array as da
import numpy as np
import pywt
import zarr
from distributed import Client, LocalCluster, progress

from verdalix.zarr import Verdalix

CHANNELS = 12
SAMPLES = 1 << 22  # per channel
CHUNK = 1 << 20  # samples per chunk: one channel x 2^20
WINDOW = (5, 3_000_000, 3_000_000 + 3600)  # channel, first and end sample


def recordings():
    """The recorded signals the channels are made of, by name."""
    found = {"pywt.data.ecg()": pywt.data.ecg().astype(np.float64)}
    try:
        import scipy.misc

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            found["scipy.misc.electrocardiogram()"] = scipy.misc.electrocardiogram() * 1000
    except (ImportError, AttributeError, ValueError):
        print("(this SciPy does not ship its ECG recording: PyWavelets' only)")
    return list(found.items())


def channel_chunk(sources, channel, index):
    """Samples [index * CHUNK, (index + 1) * CHUNK) of one channel, made where
    they are needed (on a worker) and the same on every call."""
    base = sources[channel % len(sources)][1]
    start = index * CHUNK + 7919 * channel  # each channel shifted
    positions = np.arange(start, start + CHUNK) % base.size
    rng = np.random.default_rng([channel, index])
    noise = rng.normal(0.0, 0.004 * np.ptp(base), CHUNK)
    values = base[positions] * (1.0 + 0.1 * channel) + 25.0 * channel + noise
    return values.astype(np.float32).reshape(1, CHUNK)


def recording(sources):
    """The whole recording as a lazy (channels, samples) dask array."""
    shared = dask.delayed(sources, pure=True)
    return da.block([[da.from_delayed(dask.delayed(channel_chunk, pure=True)(shared, c, k),
                                      shape=(1, CHUNK), dtype=np.float32)
                      for k in range(SAMPLES // CHUNK)] for c in range(CHANNELS)])


def write(client, source, path):
    # One unlocked store task per chunk, into an array created first:
    # to_zarr(path, mode="w") would lock every chunk write.
    target = zarr.create_array(str(path), shape=source.shape, chunks=(1, CHUNK),
                               dtype=source.dtype, serializer=Verdalix(), compressors=None,
                               overwrite=True)
    stored = da.store(source, target, lock=False, compute=False)
    start = time.perf_counter()
    future = client.compute(stored)
    progress(future)
    future.result()
    print()
    return time.perf_counter() - start


def build_only(client, source):
    start = time.perf_counter()
    client.compute(source.max()).result()
    return time.perf_counter() - start


def read_all(client, path):
    start = time.perf_counter()
    client.compute(da.from_zarr(str(path)).max()).result()
    return time.perf_counter() - start


def size_on_disk(path):
    return sum(p.stat().st_size for p in Path(path).rglob("*") if p.is_file())


def main():
    root = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp())
    path = root / "recording.zarr"
    sources = recordings()
    source = recording(sources)
    raw = CHANNELS * SAMPLES * 4
    print(f"recording: {CHANNELS} channels x {SAMPLES} samples of float32 "
          f"({raw / 2**20:.0f} MiB) from {', '.join(name for name, _ in sources)}")
    print(f"store: {path}, chunks of 1 channel x {CHUNK} samples")
    speeds = {}
    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            print(f"writing with {workers} worker process{'es' if workers > 1 else ''}:")
            written = write(client, source, path)
            speeds[workers] = (raw / written / 1e6, raw / read_all(client, path) / 1e6,
                               raw / build_only(client, source) / 1e6)
            if workers == 2:
                stored = da.from_zarr(str(path))
                error = da.absolute(stored - source)
                span = source.max() - source.min()
                worst, rms, span = dask.compute(error.max(), da.sqrt((error**2).mean()), span)
    disk = size_on_disk(path)
    print(f"size on disk: {disk / 2**20:.1f} MiB, ratio {raw / disk:.2f}")
    print(f"maximum error {worst:.4g}, PRD {100 * rms / span:.4f} % of the range {span:.4g}")
    for workers, (write_speed, read_speed, build_speed) in speeds.items():
        print(f"{workers} worker(s): write {write_speed:.1f} MB/s (building the recording "
              f"included; building alone {build_speed:.0f} MB/s), read {read_speed:.1f} MB/s")

    channel, first, end = WINDOW
    array = zarr.open_array(str(path), mode="r")
    start = time.perf_counter()
    window = array[channel, first:end]
    elapsed = time.perf_counter() - start
    truth = channel_chunk(sources, channel, first // CHUNK)[0, first % CHUNK:][: end - first]
    touched = (end - 1) // CHUNK - first // CHUNK + 1
    print(f"window: channel {channel}, samples {first}..{end} ({end - first} samples) read "
          f"from {touched} of {CHANNELS * SAMPLES // CHUNK} chunks in {1000 * elapsed:.1f} ms, "
          f"maximum error {np.max(np.abs(window - truth)):.4g}")
    if len(sys.argv) <= 1:
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
