"""Write and read throughput of a 16-channel recording through h5py with the
verdalix HDF5 filter, against the same recording through zarr with the
verdalix codec (the same chunk bytes), and through h5py with the ZFP filter
of hdf5plugin (a peer, for comparison only) at the same maximum error; the
codec called directly on every chunk is the reference.

The (channels, samples) float32 recording is built from recorded ECG as in
bench/zarr_throughput.py; chunks are one channel x 2^20 samples everywhere.
Everything runs on one thread (HDF5 filters run serially; zarr is given one
thread too). Times are medians of --repeats runs, with their spread.

    python bench/h5_throughput.py [--channels 16] [--samples 4194304]
                                  [--repeats 3] [--out bench/results]
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import tempfile
from pathlib import Path

import h5py
import hdf5plugin
import numpy as np
import zarr

import verdalix
import verdalix.h5
from verdalix.numcodecs import Verdalix as ChunkCodec
from verdalix.zarr import Verdalix
from zarr_throughput import CHUNK, build_recording, chunks_of, rates, timed

OPTIONS = {}  # the codec's defaults: cdf97, scale 11, low cutoff, cmodel


def h5_file(path, recording, **filter_kwargs):
    def write():
        with h5py.File(path, "w") as f:
            f.create_dataset("x", data=recording, chunks=(1, CHUNK), **filter_kwargs)

    def read():
        with h5py.File(path, "r") as f:
            return f["x"][...]

    return write, read


def zarr_store(path, recording):
    def write():
        shutil.rmtree(path, ignore_errors=True)
        array = zarr.create_array(str(path), shape=recording.shape, chunks=(1, CHUNK),
                                  dtype="float32", serializer=Verdalix(**OPTIONS),
                                  compressors=None, fill_value=0)
        array[:] = recording

    def read():
        return zarr.open_array(str(path), mode="r")[...]

    return write, read


def size_of(path):
    path = Path(path)
    if path.is_file():
        return path.stat().st_size
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def measure(name, write, read, path, recording, repeats):
    write()
    decoded = read()
    errors = np.abs(decoded.astype(np.float64) - recording)
    nbytes = recording.nbytes
    return {
        "name": name,
        "bytes": size_of(path),
        "ratio": nbytes / size_of(path),
        "max_error": float(errors.max()),
        "rms_error": float(np.sqrt(np.mean(errors ** 2))),
        "write": rates(nbytes, timed(write, repeats)),
        "read": rates(nbytes, timed(read, repeats)),
    }


def zfp_tolerance_for(recording, max_error, path, steps=8):
    """The largest ZFP accuracy (bisected on a log scale between the target
    and 16 times it) whose measured maximum error stays within max_error."""
    def error_at(tolerance):
        write, read = h5_file(path, recording, **hdf5plugin.Zfp(accuracy=tolerance))
        write()
        return np.abs(read().astype(np.float64) - recording).max()

    low, high = max_error, 16 * max_error
    for _ in range(steps):
        middle = np.sqrt(low * high)
        low, high = (middle, high) if error_at(middle) <= max_error else (low, middle)
    return low


def machine():
    model = "unknown cpu"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{platform.machine()}, {model}, {os.cpu_count()} cores"


def direct(recording, repeats):
    codec = ChunkCodec(**OPTIONS)
    chunks = chunks_of(recording)
    blobs = [codec.encode(c) for c in chunks]
    stored = sum(len(b) for b in blobs)
    return {
        "name": "codec called directly",
        "bytes": stored,
        "ratio": recording.nbytes / stored,
        "write": rates(recording.nbytes, timed(lambda: [codec.encode(c) for c in chunks],
                                               repeats)),
        "read": rates(recording.nbytes, timed(lambda: [codec.decode(b) for b in blobs],
                                              repeats)),
    }


def markdown(report):
    lines = [
        f"# HDF5 filter throughput: {report['channels']} channels x {report['samples']} "
        "samples, float32",
        "",
        f"{report['machine']}; one thread; chunks of one channel x 2^20 samples; "
        f"medians of {report['repeats']} runs (slowest-fastest); ECG recordings used: "
        f"{report['ecg_sources']}; load average before/after "
        f"{report['load_before'][0]:.1f}/{report['load_after'][0]:.1f} (a shared machine).",
        "",
        "| path | ratio | max error | rms error | write MB/s | read MB/s |",
        "|---|---|---|---|---|---|",
    ]
    for row in report["rows"]:
        error = (f"{row['max_error']:.4g} | {row['rms_error']:.4g}" if "max_error" in row
                 else "(same chunks) | ")
        lines.append(
            f"| {row['name']} | {row['ratio']:.2f} | {error} | "
            f"{row['write']['median']:.0f} ({row['write']['min']:.0f}-{row['write']['max']:.0f}) | "
            f"{row['read']['median']:.0f} ({row['read']['min']:.0f}-{row['read']['max']:.0f}) |")
    filtered, zfp = report["rows"][1], report["rows"][-1]
    lines += [
        "",
        f"At the same maximum error (ZFP's accuracy raised as far as its measured error "
        f"stays within verdalix's {filtered['max_error']:.4g}) verdalix's ratio is "
        f"{filtered['ratio'] / zfp['ratio']:.2f} times ZFP's. Through h5py the "
        f"filter writes at {filtered['write']['median'] / report['rows'][0]['write']['median']:.2f}"
        f" and reads at {filtered['read']['median'] / report['rows'][0]['read']['median']:.2f} "
        "times the speed of the codec called directly on the same chunks.",
    ]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--channels", type=int, default=16)
    parser.add_argument("--samples", type=int, default=1 << 22)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", default="bench/results")
    parser.add_argument("--markdown-from", metavar="JSON",
                        help="only rewrite the table of an earlier run's JSON")
    args = parser.parse_args()
    if args.markdown_from:
        report = json.loads(Path(args.markdown_from).read_text())
        Path(args.markdown_from).with_suffix(".md").write_text(markdown(report))
        return

    zarr.config.set({"threading.max_workers": 1})
    recording, sources = build_recording(args.channels, args.samples)
    load_before = os.getloadavg()
    work = Path(tempfile.mkdtemp(prefix="vdx-h5-"))
    try:
        rows = [direct(recording, args.repeats)]
        write, read = h5_file(work / "verdalix.h5", recording,
                              **verdalix.h5.Verdalix(**OPTIONS))
        rows.append(measure("h5py, verdalix filter", write, read, work / "verdalix.h5",
                            recording, args.repeats))
        write, read = zarr_store(work / "verdalix.zarr", recording)
        rows.append(measure("zarr 3, verdalix codec", write, read, work / "verdalix.zarr",
                            recording, args.repeats))
        # ZFP's accuracy mode bounds the absolute error: asked for verdalix's
        # maximum error, and with the bound raised until its measured
        # maximum error is that error (ZFP's bound is conservative).
        target = rows[1]["max_error"]
        for tolerance in (target, zfp_tolerance_for(recording, target, work / "probe.h5")):
            write, read = h5_file(work / "zfp.h5", recording,
                                  **hdf5plugin.Zfp(accuracy=tolerance))
            rows.append(measure(f"h5py, hdf5plugin ZFP (accuracy {tolerance:.4g})", write,
                                read, work / "zfp.h5", recording, args.repeats))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    report = {
        "channels": args.channels, "samples": args.samples, "repeats": args.repeats,
        "machine": machine(),
        "load_before": load_before, "load_after": os.getloadavg(),
        "ecg_sources": sources,
        "versions": {"verdalix": verdalix.__version__, "h5py": h5py.__version__,
                     "hdf5": h5py.version.hdf5_version, "hdf5plugin": hdf5plugin.version,
                     "zarr": zarr.__version__},
        "rows": rows,
    }
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "h5_throughput.json").write_text(json.dumps(report, indent=2) + "\n")
    (out / "h5_throughput.md").write_text(markdown(report))
    print(markdown(report))


if __name__ == "__main__":
    main()
