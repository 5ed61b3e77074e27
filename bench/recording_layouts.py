"""Recordings in the layouts people store, through the chunk frame: ratio and
error per channel, beside ZFP and Zstd on the same chunks, and the
throughput figures of the frame (its cost over the codec on the same lines,
and time-major int16 through zarr against channel-major float32).

Quality: an 8-channel recording built from recorded ECG (bench/zarr_throughput
builds it: each channel an ECG shifted, scaled, offset, with a little noise),
one channel scaled down to 10^-3, stored as
  channel-major (8, T), chunks (8, 2^16), axis -1;
  time-major (T, 8), chunks (2^16, 8), axis 0;
  flattened: channel-major with axis None (every chunk one line, as before
  the frame);
and the int16 case: the same recording as int16 counts (0.5 µV per count
style gain: the loudest channel spans about 30,000 counts), time-major.
ZFP (fixed accuracy at verdalix's largest per-channel max error of that
layout) and Zstd (level 3, lossless) compress the same chunks.

    python bench/recording_layouts.py [--samples 1048576] [--wide-samples 4194304]
                                      [--repeats 3] [--out bench/results]
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import zarr

import verdalix
from verdalix import _native, compress_signal, decompress_signal
from verdalix.numcodecs import Verdalix as ChunkCodec
from verdalix.zarr import Verdalix
from zarr_throughput import build_recording

CHUNK = 1 << 16


def recording(samples):
    data, sources = build_recording(8, samples)
    data = data.astype(np.float64)
    data[3] = (data[3] - data[3].mean()) * 1e-3  # a quiet channel beside loud ones
    return data, sources


def chunks_along(array, chunk_shape):
    for start0 in range(0, array.shape[0], chunk_shape[0]):
        for start1 in range(0, array.shape[1], chunk_shape[1]):
            yield np.ascontiguousarray(array[start0:start0 + chunk_shape[0],
                                             start1:start1 + chunk_shape[1]])


def line_bytes(blob, lines):
    """Bytes each line takes in a frame: its container, its runs, and an
    even share of the frame's own header."""
    framed, _, shape, _ = _native.describe_chunk(blob)
    if not framed:
        return np.array([len(blob)], float)
    ndim = len(shape)
    table = 16 + 8 * ndim
    lengths = np.frombuffer(blob, "<u8", count=lines, offset=table).astype(float)
    return lengths + (len(blob) - lengths.sum()) / lines


def verdalix_layout(data, layout):
    """Per-channel stored bytes and the decoded recording (channels, time)."""
    codec = {"channel-major": ChunkCodec(axis=-1), "time-major": ChunkCodec(axis=0),
             "int16 time-major": ChunkCodec(axis=0), "flattened": ChunkCodec(axis=None)}[layout]
    per_channel = np.zeros(data.shape[0])
    total = 0
    if layout.endswith("time-major"):
        array, chunk_shape = np.ascontiguousarray(data.T), (CHUNK, data.shape[0])
    else:
        array, chunk_shape = data, (data.shape[0], CHUNK)
    if layout.startswith("int16"):
        array = array.astype(np.int16)
    else:
        array = array.astype(np.float32)
    decoded = np.empty_like(array)
    for index, chunk in enumerate(chunks_along(array, chunk_shape)):
        blob = codec.encode(chunk)
        total += len(blob)
        if layout != "flattened":
            per_channel += line_bytes(blob, data.shape[0])
        back = codec.decode(blob).reshape(chunk.shape)
        if layout.endswith("time-major"):
            decoded[index * CHUNK:(index + 1) * CHUNK] = back
        else:
            decoded[:, index * CHUNK:(index + 1) * CHUNK] = back
    decoded = decoded.T if layout.endswith("time-major") else decoded
    return per_channel, total, decoded.astype(np.float64), array


def peer_layout(array, chunk_shape, tolerance):
    import zfpy
    import zstandard

    zstd = zstandard.ZstdCompressor(level=3)
    sizes = {"ZFP": 0, "Zstd": 0}
    decoded = np.empty(array.shape, np.float64)
    for index, chunk in enumerate(chunks_along(array, chunk_shape)):
        as_float = chunk.astype(np.float64 if chunk.dtype == np.int16 else chunk.dtype)
        blob = zfpy.compress_numpy(as_float, tolerance=tolerance)
        sizes["ZFP"] += len(blob)
        back = zfpy.decompress_numpy(blob)
        if chunk_shape[0] == CHUNK:
            decoded[index * CHUNK:(index + 1) * CHUNK] = back
        else:
            decoded[:, index * CHUNK:(index + 1) * CHUNK] = back
        sizes["Zstd"] += len(zstd.compress(chunk.tobytes()))
    return sizes, decoded


def quality(data):
    rows = {}
    for layout in ("channel-major", "time-major", "flattened", "int16 time-major"):
        per_channel, total, decoded, array = verdalix_layout(data, layout)
        reference = array.T.astype(np.float64) if layout.endswith("time-major") \
            else array.astype(np.float64)
        diff = decoded - reference
        raw_per_channel = reference.shape[1] * array.itemsize
        entry = {
            "ratio": array.nbytes / total,
            "channel ratio": (raw_per_channel / per_channel).tolist() if per_channel.any()
            else None,
            "max error": np.abs(diff).max(axis=1).tolist(),
            "rms error": np.sqrt(np.mean(diff ** 2, axis=1)).tolist(),
            "channel range": np.ptp(reference, axis=1).tolist(),
        }
        tolerance = float(np.abs(diff).max(axis=1).max())
        chunk_shape = (CHUNK, 8) if layout.endswith("time-major") else (8, CHUNK)
        sizes, peer_decoded = peer_layout(array, chunk_shape, tolerance)
        peer_decoded = peer_decoded.T if layout.endswith("time-major") else peer_decoded
        peer_diff = peer_decoded - reference
        entry["ZFP"] = {"tolerance": tolerance, "ratio": array.nbytes / sizes["ZFP"],
                        "max error": np.abs(peer_diff).max(axis=1).tolist(),
                        "rms error": np.sqrt(np.mean(peer_diff ** 2, axis=1)).tolist()}
        entry["Zstd ratio"] = array.nbytes / sizes["Zstd"]
        rows[layout] = entry
    return rows


def best_of(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def frame_overhead(data, repeats):
    """Frame encode/decode of (8, 2^16) chunks, by the numcodecs codec and
    through zarr format 3 on one thread, against compress_signal /
    decompress_signal called on each line of them."""
    recording32 = data.astype(np.float32)
    chunks = list(chunks_along(recording32, (8, CHUNK)))
    codec = ChunkCodec()
    blobs = [codec.encode(c) for c in chunks]
    containers = [[compress_signal(line) for line in c] for c in chunks]
    store = zarr.storage.MemoryStore()

    def zarr_write():
        zarr.create_array(store, shape=recording32.shape, chunks=(8, CHUNK), dtype="f4",
                          serializer=Verdalix(), compressors=None,
                          overwrite=True)[:] = recording32

    zarr_write()
    out = {}
    with zarr.config.set({"threading.max_workers": 1, "async.concurrency": 1}):
        for name, runs in (
                ("write", {"codec": lambda: [codec.encode(c) for c in chunks],
                           "zarr": zarr_write,
                           "lines": lambda: [[compress_signal(x) for x in c] for c in chunks]}),
                ("read", {"codec": lambda: [codec.decode(b) for b in blobs],
                          "zarr": lambda: zarr.open_array(store, mode="r")[:],
                          "lines": lambda: [[decompress_signal(x) for x in cs]
                                            for cs in containers]})):
            times = {key: [] for key in runs}
            for _ in range(repeats):  # alternated, so drift in the load hits all alike
                for key, run in runs.items():
                    times[key].append(best_of(run, 1))
            medians = {key: statistics.median(t) for key, t in times.items()}
            out[name] = {f"{key} s": m for key, m in medians.items()}
            out[name]["codec overhead %"] = 100 * (medians["codec"] / medians["lines"] - 1)
            out[name]["zarr overhead %"] = 100 * (medians["zarr"] / medians["lines"] - 1)
    return out


def wide_throughput(channels, samples, repeats):
    """Time-major int16 (samples, channels) in chunks (2^16, channels) against
    the same data as channel-major float32 in chunks (channels, 2^16), both
    through zarr format 3 (its own thread pool), in samples per second."""
    rng = np.random.default_rng(5)
    base, _ = build_recording(8, samples)
    counts = np.empty((samples, channels), np.int16)
    for c in range(channels):
        wave = base[c % 8] * (1 + 0.05 * c)
        counts[:, c] = np.round((wave - wave.mean()) * 30 + rng.normal(0, 3, samples))
    float_major = np.ascontiguousarray(counts.T.astype(np.float32))
    out = {}
    with tempfile.TemporaryDirectory(prefix="verdalix-layouts-") as work:
        for name, array, chunks, axis in (
                ("int16 time-major (2^16, ch)", counts, (CHUNK, channels), 0),
                ("float32 channel-major (ch, 2^16)", float_major, (channels, CHUNK), -1)):
            path = Path(work, name.split()[0])
            writes, reads = [], []
            for _ in range(repeats):
                target = zarr.create_array(str(path), shape=array.shape, chunks=chunks,
                                           dtype=array.dtype, serializer=Verdalix(axis=axis),
                                           compressors=None, overwrite=True)
                start = time.perf_counter()
                target[:] = array
                writes.append(time.perf_counter() - start)
                start = time.perf_counter()
                back = zarr.open_array(str(path), mode="r")[:]
                reads.append(time.perf_counter() - start)
            size = sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
            out[name] = {"write Msamples/s": array.size / statistics.median(writes) / 1e6,
                         "read Msamples/s": array.size / statistics.median(reads) / 1e6,
                         "ratio vs int16": counts.nbytes / size,
                         "max error (counts)": float(np.abs(back.astype(np.float64)
                                                            - array.astype(np.float64)).max())}
    names = list(out)
    out["int16 / float32"] = {k: out[names[0]][k] / out[names[1]][k]
                              for k in ("write Msamples/s", "read Msamples/s")}
    return out


def markdown(report):
    q = report["quality"]
    lines = ["# Recordings through the chunk frame\n",
             f"{report['when']}, {report['machine']}, Python {report['python']}, "
             f"verdalix {report['verdalix']}, zarr {report['zarr']}. Load average (1 min) "
             f"{report['load'][0]:.1f} at the start, {report['load'][1]:.1f} at the end, on "
             f"{report['cores']} cores shared with other work.\n",
             f"## Ratio and error per channel\n",
             f"8 channels x {report['samples']} samples built from {report['sources']} recorded "
             "ECG(s) (channel 3 scaled to 10^-3 of its size), default options, chunks of 2^16 "
             "samples x 8 channels. Ratio against the stored dtype (float32, or int16 for the "
             "int16 case); a channel's ratio counts its own container, runs and an even share "
             "of the frame. ZFP gets verdalix's largest max error of the layout as its "
             "tolerance; Zstd is lossless.\n",
             "| layout | ratio | ZFP ratio | Zstd ratio | channel | range | verdalix ratio | "
             "max error | RMS error | ZFP max error | ZFP RMS error |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for layout, e in q.items():
        for c in range(len(e["max error"])):
            head = (f"| {layout} | {e['ratio']:.2f} | {e['ZFP']['ratio']:.2f} | "
                    f"{e['Zstd ratio']:.2f} |" if c == 0 else "| | | | |")
            ratio = f"{e['channel ratio'][c]:.2f}" if e["channel ratio"] else "–"
            lines.append(f"{head} {c} | {e['channel range'][c]:.4g} | {ratio} | "
                         f"{e['max error'][c]:.3g} | {e['rms error'][c]:.3g} | "
                         f"{e['ZFP']['max error'][c]:.3g} | {e['ZFP']['rms error'][c]:.3g} |")
    o = report["overhead"]
    lines += ["", "## The frame's cost over the codec on the same lines\n",
              f"(8, 2^16) float32 chunks of the recording above: encoded/decoded by the "
              "numcodecs codec, and written/read through zarr format 3 (memory store, one "
              "thread, concurrency 1), against compress_signal/decompress_signal on each of "
              f"their lines; medians of {report['repeats']} alternated runs.\n",
              "| | codec s | zarr s | lines s | codec overhead | zarr overhead |",
              "|---|---|---|---|---|---|"]
    for kind in ("write", "read"):
        e = o[kind]
        lines.append(f"| {kind} | {e['codec s']:.3f} | {e['zarr s']:.3f} | {e['lines s']:.3f} | "
                     f"{e['codec overhead %']:+.1f} % | {e['zarr overhead %']:+.1f} % |")
    w = report["wide"]
    lines += ["", "## Time-major int16 through zarr\n",
              f"{report['wide_channels']} channels x {report['wide_samples']} samples of "
              "int16 counts built from the ECGs, stored time-major in chunks (2^16, channels) "
              "along axis 0, against the same values as float32 channel-major in chunks "
              "(channels, 2^16); zarr format 3, its own thread pool, medians of "
              f"{report['repeats']} writes and reads.\n",
              "| layout | write Msamples/s | read Msamples/s | ratio vs int16 | "
              "max error (counts) |", "|---|---|---|---|---|"]
    for name, e in w.items():
        if name == "int16 / float32":
            continue
        lines.append(f"| {name} | {e['write Msamples/s']:.1f} | {e['read Msamples/s']:.1f} | "
                     f"{e['ratio vs int16']:.2f} | {e['max error (counts)']:.3g} |")
    r = w["int16 / float32"]
    lines.append(f"| int16 / float32 | {r['write Msamples/s']:.2f}x | "
                 f"{r['read Msamples/s']:.2f}x | | |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--samples", type=int, default=1 << 20)
    parser.add_argument("--wide-channels", type=int, default=64)
    parser.add_argument("--wide-samples", type=int, default=1 << 22)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results")
    args = parser.parse_args()
    load_start = os.getloadavg()[0]
    data, sources = recording(args.samples)
    report = {
        "when": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "machine": f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores",
        "python": platform.python_version(), "verdalix": verdalix.__version__,
        "zarr": zarr.__version__, "cores": os.cpu_count(), "samples": args.samples,
        "sources": sources, "repeats": args.repeats, "wide_channels": args.wide_channels,
        "wide_samples": args.wide_samples,
        "quality": quality(data),
        "overhead": frame_overhead(data, args.repeats),
        "wide": wide_throughput(args.wide_channels, args.wide_samples, args.repeats),
    }
    report["load"] = (load_start, os.getloadavg()[0])
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "recording_layouts.json").write_text(json.dumps(report, indent=1))
    (args.out / "recording_layouts.md").write_text(markdown(report))
    print(markdown(report))


if __name__ == "__main__":
    main()
