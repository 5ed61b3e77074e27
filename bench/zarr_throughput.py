"""Throughput of the verdalix codec through zarr and dask, against the codec
called directly, and beside ZFP (numcodecs.zfpy) and Zstd on the same array.

A (channels, samples) float32 recording built from recorded ECG (chunks of one
channel x 2^20 samples) is written to and read from zarr directory stores:
with dask's threaded scheduler on 1 and 2 threads, and on a LocalCluster of 2
worker processes (one thread each). Every dask write reads its samples from
the same uncompressed zarr store, so the workers need nothing shipped from
this process; the cost of that read is measured and reported on its own.
Times are medians of --repeats runs, with their spread.

    python bench/zarr_throughput.py [--channels 16] [--samples 4194304]
                                    [--repeats 3] [--out bench/results]
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import tempfile
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import dask
import dask.array as da
import numpy as np
import zarr
from zarr.codecs import BytesCodec, ZstdCodec

import verdalix
from verdalix.numcodecs import Verdalix as ChunkCodec
from verdalix.zarr import Verdalix

CHUNK = 1 << 20


def ecg_recordings():
    import pywt

    found = [pywt.data.ecg().astype(np.float64)]
    try:
        import scipy.misc

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            found.append(scipy.misc.electrocardiogram() * 1000)
    except (ImportError, AttributeError, ValueError):
        pass
    return found


def build_recording(channels, samples):
    """Each channel an ECG, shifted, scaled and offset, with a little noise."""
    bases = ecg_recordings()
    rng = np.random.default_rng(11)
    out = np.empty((channels, samples), np.float32)
    for c in range(channels):
        base = bases[c % len(bases)]
        positions = (np.arange(samples) + 7919 * c) % base.size
        noise = rng.normal(0.0, 0.004 * np.ptp(base), samples)
        out[c] = base[positions] * (1.0 + 0.1 * c) + 25.0 * c + noise
    return out, len(bases)


class Times(list):
    """Wall seconds of each run, and this process's CPU seconds per wall second
    (how many cores it got: on a shared machine, the ceiling of any speed-up)."""

    cpu_per_wall: float = 0.0


def cpu_seconds(client=None):
    """CPU seconds used so far by this process, or by the cluster's workers."""
    def own():
        t = os.times()
        return t.user + t.system

    return sum(client.run(own).values()) if client is not None else own()


def timed(run, repeats, client=None):
    times = Times()
    cpu = 0.0
    for _ in range(repeats):
        before = cpu_seconds(client)
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
        cpu += cpu_seconds(client) - before
    times.cpu_per_wall = cpu / sum(times)
    return times


def rates(nbytes, times):
    """Median MB/s, the spread (slowest, fastest run) and the cores used."""
    speeds = sorted(nbytes / t / 1e6 for t in times)
    return {"median": statistics.median(speeds), "min": speeds[0], "max": speeds[-1],
            "cpu_per_wall": times.cpu_per_wall}


def chunks_of(recording):
    return [recording[c:c + 1, k:k + CHUNK] for c in range(recording.shape[0])
            for k in range(0, recording.shape[1], CHUNK)]


def direct(recording, repeats):
    """The numcodecs codec on every chunk, 1 and 2 threads, no zarr, no dask."""
    codec = ChunkCodec()
    chunks = chunks_of(recording)
    blobs = [codec.encode(c) for c in chunks]
    out = {}
    for threads in (1, 2):
        with ThreadPoolExecutor(threads) as pool:
            out[f"direct, {threads} thread{'s' if threads > 1 else ''}"] = {
                "write": rates(recording.nbytes,
                               timed(lambda: list(pool.map(codec.encode, chunks)), repeats)),
                "read": rates(recording.nbytes,
                              timed(lambda: list(pool.map(codec.decode, blobs)), repeats)),
            }
    return out


def store_size(path):
    return sum(p.stat().st_size for p in Path(path).rglob("*")
               if p.is_file() and p.name != "zarr.json")


def write_and_read(raw_path, path, codecs, scheduler, repeats):
    client = None if isinstance(scheduler, str) else scheduler
    source = da.from_zarr(str(raw_path))

    def write():
        # One store task per chunk, unlocked, into an array created here:
        # to_zarr(path, mode="w") locks every chunk write, and to_zarr(array)
        # merged all writes into a single task in the dask this was run with.
        target = zarr.create_array(str(path), shape=source.shape, chunks=(1, CHUNK),
                                   dtype=source.dtype, overwrite=True, **codecs)
        da.store(source, target, lock=False, compute=False).compute(scheduler=scheduler)

    def read():
        da.from_zarr(str(path)).max().compute(scheduler=scheduler)

    return timed(write, repeats, client), timed(read, repeats, client)


def write_raw(recording, work):
    """The uncompressed store every dask write reads its samples from."""
    raw = work / "raw.zarr"
    zarr.create_array(str(raw), shape=recording.shape, chunks=(1, CHUNK), dtype="f4",
                      compressors=None)[:] = recording
    return raw


def through_zarr(recording, work, repeats, schedulers):
    """`schedulers` maps a name to (scheduler, thread count or None for a cluster)."""
    raw = work / "raw.zarr"
    results = {}
    for name, (scheduler, threads) in schedulers.items():
        with dask.config.set(num_workers=threads) if threads else dask.config.set({}):
            source_read = timed(lambda: da.from_zarr(str(raw)).max().compute(
                scheduler=scheduler), repeats, None if threads else scheduler)
            writes, reads = write_and_read(raw, work / "verdalix.zarr",
                                           {"serializer": Verdalix(), "compressors": None},
                                           scheduler, repeats)
        results[name] = {"write": rates(recording.nbytes, writes),
                         "read": rates(recording.nbytes, reads),
                         "uncompressed source read": rates(recording.nbytes, source_read)}
    return results


def quality(recording, path):
    restored = zarr.open_array(str(path), mode="r")[:]
    diff = restored.astype(np.float64) - recording
    span = float(recording.max() - recording.min())
    return {"ratio": recording.nbytes / store_size(path),
            "max_error": float(np.max(np.abs(diff))),
            "prd_percent": 100.0 * float(np.sqrt(np.mean(diff * diff))) / span}


def peers(recording, work, tolerance, repeats):
    from zarr.codecs.numcodecs import ZFPY

    warnings.filterwarnings("ignore", message="Numcodecs codecs are not in the Zarr version 3")

    candidates = {
        "verdalix (default options)": {"serializer": Verdalix(), "compressors": None},
        "ZFP fixed accuracy at verdalix's max error":
            {"serializer": ZFPY(mode=4, tolerance=tolerance), "compressors": None},
        "Zstd level 3 (lossless)": {"serializer": BytesCodec(), "compressors": ZstdCodec(level=3)},
    }
    raw = work / "raw.zarr"
    out = {}
    for name, codecs in candidates.items():
        path = work / "peer.zarr"
        entry = {}
        for threads in (1, 2):
            with dask.config.set(num_workers=threads):
                writes, reads = write_and_read(raw, path, codecs, "threads", repeats)
            entry[f"{threads} thread(s)"] = {"write": rates(recording.nbytes, writes),
                                             "read": rates(recording.nbytes, reads)}
        entry.update(quality(recording, path))
        out[name] = entry
    return out


def markdown(report):
    lines = [f"# verdalix through zarr and dask\n",
             f"{report['when']}, {report['machine']}, Python {report['python']}; "
             f"verdalix {report['versions']['verdalix']}, zarr {report['versions']['zarr']}, "
             f"dask {report['versions']['dask']}, numcodecs {report['versions']['numcodecs']}, "
             f"numpy {report['versions']['numpy']}.\n",
             f"Array: {report['shape'][0]} channels x {report['shape'][1]} samples of float32 "
             f"({report['mib']:.0f} MiB) from {report['ecg_sources']} recorded ECG(s), "
             f"chunks 1 x {CHUNK}. MB/s = 10^6 bytes of float32 samples per second: median of "
             f"{report['repeats']} runs, [slowest, fastest] in brackets.\n",
             f"Load average (1 min) at the start and end of the run: "
             f"{report['load'][0]:.1f}, {report['load'][1]:.1f} on "
             f"{report['cores']} cores shared with other work. Cores = CPU seconds per wall "
             f"second of this process (of the workers, for the worker processes): the "
             f"share of the machine the run got.\n",
             "| path | write MB/s (cores) | read MB/s (cores) | uncompressed source read MB/s |",
             "|---|---|---|---|"]
    fmt = lambda r: f"{r['median']:.1f} [{r['min']:.1f}, {r['max']:.1f}]"
    fmtc = lambda r: (f"{fmt(r)} ({r['cpu_per_wall']:.2f}, "
                      f"{r['median'] / max(r['cpu_per_wall'], 1e-9):.0f} per core)")
    for name, entry in report["throughput"].items():
        source = entry.get("uncompressed source read")
        lines.append(f"| {name} | {fmtc(entry['write'])} | {fmtc(entry['read'])} | "
                     f"{fmt(source) if source else '–'} |")
    lines += ["", "| derived | value |", "|---|---|"]
    for name, value in report["derived"].items():
        lines.append(f"| {name} | {value:.2f} |")
    lines += ["", "Beside the peers (zarr + dask threads, same array; ZFP gets verdalix's "
              "maximum error as its tolerance):", "",
              "| codec | ratio | max error | PRD % | write MB/s 1 / 2 threads | "
              "read MB/s 1 / 2 threads |", "|---|---|---|---|---|---|"]
    for name, entry in report["peers"].items():
        one, two = entry["1 thread(s)"], entry["2 thread(s)"]
        lines.append(f"| {name} | {entry['ratio']:.2f} | {entry['max_error']:.4g} | "
                     f"{entry['prd_percent']:.4f} | {one['write']['median']:.1f} / "
                     f"{two['write']['median']:.1f} | {one['read']['median']:.1f} / "
                     f"{two['read']['median']:.1f} |")
    return "\n".join(lines) + "\n"


def plot(report, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(report["throughput"])
    fig, ax = plt.subplots(figsize=(9, 4.2))
    width = 0.38
    for offset, kind in ((-width / 2, "write"), (width / 2, "read")):
        medians = [report["throughput"][n][kind]["median"] for n in names]
        low = [m - report["throughput"][n][kind]["min"] for m, n in zip(medians, names)]
        high = [report["throughput"][n][kind]["max"] - m for m, n in zip(medians, names)]
        bars = ax.bar(np.arange(len(names)) + offset, medians, width, yerr=[low, high],
                      capsize=3, label=kind)
        cores = [report["throughput"][n][kind]["cpu_per_wall"] for n in names]
        ax.bar_label(bars, [f"{c:.2f}" for c in cores], padding=8, fontsize=7)
    labels = [n.replace("MALLOC_TRIM_THRESHOLD_ unset", "no trim\nthreshold")
              .replace("worker processes", "processes").replace(", ", "\n") for n in names]
    ax.set_xticks(np.arange(len(names)), labels)
    ax.set_ylabel("MB/s of float32 samples")
    ax.set_ylim(top=1.2 * max(report["throughput"][n][k]["max"] for n in names
                              for k in ("write", "read")))
    ax.set_title(f"verdalix, {report['shape'][0]} x {report['shape'][1]} float32: median, "
                 f"spread of {report['repeats']} runs, cores used above each bar", fontsize=10)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--channels", type=int, default=16)
    parser.add_argument("--samples", type=int, default=1 << 22)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results")
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    load_start = os.getloadavg()[0]
    recording, sources = build_recording(args.channels, args.samples)
    work = Path(tempfile.mkdtemp(prefix="verdalix-zarr-bench-"))
    try:
        throughput = direct(recording, args.repeats)
        write_raw(recording, work)
        throughput.update(through_zarr(recording, work, args.repeats, {
            "dask, 1 thread": ("threads", 1), "dask, 2 threads": ("threads", 2)}))
        # distributed sets MALLOC_TRIM_THRESHOLD_ in its workers, which turns
        # off glibc's adaptive mmap threshold: every large codec buffer is then
        # mapped and unmapped afresh. Measured both ways, one cluster at a time.
        untrimmed = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}
        for name, config in (("dask, 2 worker processes", {}),
                             ("dask, 2 worker processes, MALLOC_TRIM_THRESHOLD_ unset",
                              untrimmed)):
            with dask.config.set(config), LocalCluster(
                    n_workers=2, threads_per_worker=1, processes=True,
                    dashboard_address=None) as cluster, Client(cluster) as client:
                throughput.update(through_zarr(recording, work, args.repeats,
                                               {name: (client, None)}))
        tolerance = quality(recording, work / "verdalix.zarr")["max_error"]
        peer_figures = peers(recording, work, tolerance, args.repeats)
    finally:
        shutil.rmtree(work)
    median = lambda name, kind: throughput[name][kind]["median"]
    derived = {}
    for kind in ("write", "read"):
        derived[f"{kind}: 2 dask threads / 1 thread"] = (
            median("dask, 2 threads", kind) / median("dask, 1 thread", kind))
        derived[f"{kind}: 2 worker processes / 1 thread"] = (
            median("dask, 2 worker processes", kind) / median("dask, 1 thread", kind))
        derived[f"{kind}: 2 worker processes, MALLOC_TRIM_THRESHOLD_ unset / 1 thread"] = (
            median("dask, 2 worker processes, MALLOC_TRIM_THRESHOLD_ unset", kind)
            / median("dask, 1 thread", kind))
        derived[f"{kind}: direct 2 threads / 1 thread"] = (
            median("direct, 2 threads", kind) / median("direct, 1 thread", kind))
        derived[f"{kind}: zarr + dask overhead over direct, 1 thread (%)"] = 100 * (
            median("direct, 1 thread", kind) / median("dask, 1 thread", kind) - 1)
    import numcodecs

    report = {
        "when": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "machine": platform.processor() or platform.machine(),
        "cores": len(os.sched_getaffinity(0)),
        "load": [load_start, os.getloadavg()[0]],
        "python": platform.python_version(),
        "versions": {"verdalix": verdalix.__version__, "zarr": zarr.__version__,
                     "dask": dask.__version__, "numcodecs": numcodecs.__version__,
                     "numpy": np.__version__},
        "shape": list(recording.shape), "mib": recording.nbytes / 2**20,
        "ecg_sources": sources, "repeats": args.repeats,
        "throughput": throughput, "derived": derived, "peers": peer_figures,
    }
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "zarr_throughput.json").write_text(json.dumps(report, indent=1))
    (args.out / "zarr_throughput.md").write_text(markdown(report))
    plot(report, args.out / "zarr_throughput.png")
    print(markdown(report))


if __name__ == "__main__":
    main()
