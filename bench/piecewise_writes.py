"""How lossy error compounds when a chunk is written in pieces: zarr decodes
the stored chunk, merges the new piece and re-encodes the whole chunk, so the
samples written earlier are quantised again at every later write.

One chunk of 2^16 samples (PyWavelets' ECG tiled, float32, zarr format 3) is
written in 1, 4, 16, 64 and 256 equal pieces in time order, with default
options and with a max_error target; then a whole chunk is rewritten
unchanged (read, write back) 1, 10 and 50 times. Reported: the largest error
against the original samples, and its ratio to one write's.

    python bench/piecewise_writes.py [--out bench/results]
"""
from __future__ import annotations

import argparse
import json
from pathlib import Path

import numpy as np
import zarr

from verdalix.zarr import Verdalix

N = 1 << 16


def ecg():
    import pywt

    return np.tile(pywt.data.ecg().astype(np.float32), -(-N // 1024))[:N]


def array(codec_args):
    return zarr.create_array({}, shape=(N,), chunks=(N,), dtype="f4", fill_value=0,
                             serializer=Verdalix(**codec_args), compressors=None)


def in_pieces(x, pieces, codec_args):
    stored = array(codec_args)
    step = N // pieces
    for k in range(pieces):
        stored[k * step:(k + 1) * step] = x[k * step:(k + 1) * step]
    return float(np.abs(stored[:] - x).max())


def rewritten(x, times, codec_args):
    stored = array(codec_args)
    stored[:] = x
    for _ in range(times):
        stored[:] = stored[:]
    return float(np.abs(stored[:] - x).max())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results")
    args = parser.parse_args()
    x = ecg()
    settings = {"default options": {}, "max_error=0.5": {"max_error": 0.5}}
    report = {}
    for name, codec_args in settings.items():
        report[name] = {
            "pieces": {p: in_pieces(x, p, codec_args) for p in (1, 4, 16, 64, 256)},
            "unchanged rewrites": {t: rewritten(x, t, codec_args) for t in (1, 10, 50)},
        }
    lines = ["# Chunks written in pieces\n",
             f"One chunk of {N} samples of PyWavelets' ECG (tiled, range "
             f"{float(np.ptp(x)):.0f}), zarr format 3. Max error against the original "
             "samples, and its multiple of one whole-chunk write's.\n",
             "| settings | written as | max error | × one write |", "|---|---|---|---|"]
    for name, entry in report.items():
        one = entry["pieces"][1]
        for p, e in entry["pieces"].items():
            lines.append(f"| {name} | {p} piece{'s' if p > 1 else ''} in time order | "
                         f"{e:.3g} | {e / one:.2f} |")
        for t, e in entry["unchanged rewrites"].items():
            lines.append(f"| {name} | written, then rewritten unchanged {t}x | {e:.3g} | "
                         f"{e / one:.2f} |")
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "piecewise_writes.json").write_text(json.dumps(report, indent=1))
    (args.out / "piecewise_writes.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
