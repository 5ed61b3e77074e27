#!/usr/bin/env python3
"""How close verdalix.targets comes to an exhaustive grid, and at what cost.

For each signal the grid compresses every wavelet x cutoff threshold (the
scale/cutoff pairs, grouped by the threshold they give) x multiplier
2^(j/8), decodes each container and keeps its size and errors. For each
target the grid's answer is the smallest container that meets it; the table
compares compress_within's size with it, and the time of compress_within
with one plain compress_signal (side by side, alternating, median of
repeats).

    python bench/fit_quality.py                      # 64 Ki samples, every signal
    python bench/fit_quality.py --signals ecg --length 16384
    python bench/fit_quality.py --cost-only --length 1048576
    python bench/fit_quality.py --length 1048576 --window 12   # local grid, long signals
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import signals  # noqa: E402
import verdalix  # noqa: E402
from verdalix import targets  # noqa: E402

METHODS = ["cdf97", "cdf53", "db4", "sym4"]
# One scale/cutoff pair for each distinct cutoff threshold (0, 1, 2, 3, 6,
# 7, 9, 14, 21 steps): with an explicit multiplier the scale decides nothing else.
PAIRS = [(6, "low"), (8, "low"), (10, "low"), (12, "low"), (10, "medium"), (8, "high"),
         (12, "medium"), (10, "high"), (12, "high")]
GRID_STEPS = range(-16, 8 * 13 + 1)  # multipliers 2^-2 .. 2^13 in eighths of an octave
MAX_FRACTIONS = [1e-3, 2e-3, 5e-3, 1e-2, 2e-2, 5e-2, 1e-1]  # of the signal's range
PRDS = [0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0]  # percent


def errors(x: np.ndarray, y: np.ndarray) -> tuple[float, float, float]:
    """max_error, rms_error, prd (normalised) of x decoded as y."""
    x64 = np.nan_to_num(x.astype(np.float64), nan=0.0, posinf=1.0, neginf=0.0)
    d = x64 - y.astype(np.float64)
    centred = x64 - x64.mean()
    ss = float(np.dot(centred, centred))
    sq = float(np.dot(d, d))
    prd = 0.0 if sq == 0 else (100 * (sq / ss) ** 0.5 if ss > 0 else float("inf"))
    return float(np.max(np.abs(d))), (sq / d.size) ** 0.5, prd


def grid(x: np.ndarray, steps=GRID_STEPS
         ) -> list[tuple[str, int, str, float, int, float, float, float]]:
    points = []
    for method in METHODS:
        for scale, cutoff in PAIRS:
            for j in steps:
                m = 2.0 ** (j / 8)
                options = verdalix.CompressionOptions(method, scale, cutoff, quant_multiplier=m)
                blob = verdalix.compress_signal(x, options)
                points.append((method, scale, cutoff, m, len(blob),
                               *errors(x, verdalix.decompress_signal(blob))))
    return points


def targets_of(x: np.ndarray) -> list[tuple[str, float]]:
    span = float(x.max() - x.min())
    return ([("max_error", f * span) for f in MAX_FRACTIONS]
            + [("prd", p) for p in PRDS])


def median_ms(call, repeats: int) -> list[float]:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append((time.perf_counter() - start) * 1e3)
    return times


def cost(x: np.ndarray, kind: str, target: float, repeats: int) -> dict:
    """compress_within and one default compress_signal, alternating so that
    both see the same load."""
    within, plain = [], []
    for _ in range(repeats):
        within += median_ms(lambda: targets.compress_within(x, **{kind: target}), 1)
        plain += median_ms(lambda: verdalix.compress_signal(x), 1)
    ratios = sorted(w / p for w, p in zip(within, plain))
    return {"within_ms": statistics.median(within), "plain_ms": statistics.median(plain),
            "ratio": statistics.median(within) / statistics.median(plain),
            "ratio_spread": [ratios[0], ratios[-1]]}


def quality(name: str, x: np.ndarray, cache: Path) -> list[dict]:
    path = cache / f"grid_{name}_{x.size}.json"
    if path.exists():
        points = json.loads(path.read_text())
    else:
        points = grid(x)
        path.write_text(json.dumps(points))
    rows = []
    for kind, target in targets_of(x):
        col = {"max_error": 5, "rms_error": 6, "prd": 7}[kind]
        meeting = [p for p in points if p[col] <= target]
        fit = targets.fit_options(x, **{kind: target})
        blob = fit.container  # max_error containers are not plain options' ones
        assert len(blob) == fit.nbytes
        achieved = errors(x, verdalix.decompress_signal(blob))[col - 5]
        row = {"signal": name, "kind": kind, "target": target, "nbytes": len(blob),
               "achieved": achieved, "meets": achieved <= target,
               "setting": f"{fit.method} s{fit.scale} {fit.cutoff} m={fit.quant_multiplier:.4g}"}
        if meeting:
            best = min(meeting, key=lambda p: p[4])
            row.update(grid_nbytes=best[4], vs_grid=len(blob) / best[4],
                       grid_setting=f"{best[0]} s{best[1]} {best[2]} m={best[3]:.4g}")
        rows.append(row)
    return rows


def local_quality(name: str, x: np.ndarray, span: int, kinds: list[str] | None
                  ) -> list[dict]:
    """For long signals, where the whole grid is too slow: the grid only
    within `span` eighths of an octave of the fitted multiplier, for two
    targets. A lower bound on what the full grid would find is not given;
    what this shows is whether a neighbouring setting does better."""
    rows = []
    for kind, target in targets_of(x)[3::7]:
        if kinds and kind not in kinds:
            continue
        col = {"max_error": 5, "prd": 7}[kind]
        fit = targets.fit_options(x, **{kind: target})
        centre = round(8 * np.log2(fit.quant_multiplier))
        points = grid(x, range(centre - span, centre + span + 1))
        best = min((p for p in points if p[col] <= target), key=lambda p: p[4])
        rows.append({"signal": name, "kind": kind, "target": target, "nbytes": fit.nbytes,
                     "meets": getattr(fit, kind) <= target,
                     "setting": f"{fit.method} s{fit.scale} {fit.cutoff} "
                                f"m={fit.quant_multiplier:.4g}",
                     "grid_nbytes": best[4], "vs_grid": fit.nbytes / best[4],
                     "grid_setting": f"{best[0]} s{best[1]} {best[2]} m={best[3]:.4g}",
                     "window_octaves": span / 8})
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--length", type=int, default=64 * 1024)
    parser.add_argument("--signals", nargs="*")
    parser.add_argument("--cost-only", action="store_true")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--kinds", nargs="*", help="only these targets (with --window)")
    parser.add_argument("--window", type=int, default=0,
                        help="grid only this many eighths of an octave around the fit "
                             "(for long signals), two targets per signal")
    parser.add_argument("--out", type=Path, default=Path("build/fit-quality"),
                        help="where the rows go (JSON and Markdown)")
    parser.add_argument("--cache", type=Path, default=Path("build/fit-quality"),
                        help="where each signal's grid is kept between runs")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    args.cache.mkdir(parents=True, exist_ok=True)
    rows = []
    for source in signals.sources():
        if args.signals and source.name not in args.signals:
            continue
        try:
            x = source.make(args.length)
        except Exception as e:  # a recording whose package is missing
            print(f"{source.name}: skipped ({e})", file=sys.stderr)
            continue
        if args.cost_only:
            for kind, target in targets_of(x)[2::4]:
                row = {"signal": source.name, "kind": kind, "target": target,
                       **cost(x, kind, target, args.repeats)}
                rows.append(row)
                print(json.dumps(row), flush=True)
        elif args.window:
            for row in local_quality(source.name, x, args.window, args.kinds):
                rows.append(row)
                print(json.dumps(row), flush=True)
        else:
            for row in quality(source.name, x, args.cache):
                rows.append(row)
                print(json.dumps(row), flush=True)
    name = "fit_cost" if args.cost_only else "fit_local" if args.window else "fit_quality"
    (args.out / f"{name}_{args.length}.json").write_text(json.dumps(rows, indent=1) + "\n")
    if not args.cost_only and not args.window:
        (args.out / f"{name}_{args.length}.md").write_text(markdown(rows, args.length))
    return 0


def markdown(rows: list[dict], length: int) -> str:
    ratios = sorted(r["vs_grid"] for r in rows if "vs_grid" in r)
    lines = [f"# compress_within against an exhaustive grid ({length} samples)", "",
             f"{len(ratios)} signal/target pairs; size over the grid's smallest container that "
             f"meets the same target: median {ratios[len(ratios) // 2]:.3f}, worst "
             f"{ratios[-1]:.3f}, within 3% in {sum(r <= 1.03 for r in ratios)}; every "
             f"container meets its target: {all(r['meets'] for r in rows)}.", "",
             "| signal | target | value | bytes | grid bytes | × grid | setting | grid setting |",
             "|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['signal']} | {r['kind']} | {r['target']:.4g} | {r['nbytes']} | "
                     f"{r.get('grid_nbytes', '–')} | {r.get('vs_grid', float('nan')):.3f} | "
                     f"{r['setting']} | {r.get('grid_setting', '–')} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(main())
