"""The native error-target fitter against SZ3, its cost and its containers'
decoding speed, at 2^14, 2^16 and 2^20 samples of every bench signal.

- ratio at equal max error: compress_within(max_error=B) against SZ3 with
  the absolute bound B, B = 0.1 %, 1 % and 10 % of the range;
- ratio at equal normalised PRD: compress_within(prd=p) against SZ3 with
  the largest bound whose PRD is within p (bisected), p = 0.5, 2, 8 %;
- cost: compress_within over one default compress_signal (median of
  alternated pairs), at max_error = 1 % of the range and prd = 2 %;
- decoding: decompress_signal of the fitted max_error container over that
  of the default plain container (best of several);
- chunk throughput: 64 Ki-sample chunks of a 4 Mi-sample signal compressed
  one after another in one thread, as a store writes them (without zarr's
  own overhead): plain default options, max_error = 1 % of the range, and
  SZ3 with the same absolute bound.

Every fitted container is decoded and checked against its target here as
well. Usage: python bench/fit_native.py [--sizes 14,16,20] [--out DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import time

import numpy as np

import fitted
import peers
import signals

DECODE_REPEATS = 7
# Recordings the bench tiles to length (1024 and 264 samples): SZ3's
# lossless stage finds the repeats at long lengths, which says nothing about
# either codec's quantiser, so medians are also given without them.
TILED = ("ecg", "nino", "scipy_ecg")


def best_time(call, repeats: int = DECODE_REPEATS) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def decode_row(name: str, x: np.ndarray) -> dict:
    import verdalix
    from verdalix import targets

    bound = 1e-2 * float(np.ptp(x))
    fit = targets.fit_options(x, max_error=bound)
    plain = verdalix.compress_signal(x)
    fitted_s = best_time(lambda: verdalix.decompress_signal(fit.container))
    plain_s = best_time(lambda: verdalix.decompress_signal(plain))
    return {"signal": name, "length": x.size, "fitted_s": fitted_s, "plain_s": plain_s,
            "speedup": plain_s / fitted_s, "fitted_nbytes": fit.nbytes,
            "plain_nbytes": len(plain)}


CHUNK = 1 << 16
CHUNKED_LENGTH = 1 << 22


def chunk_row(name: str, x: np.ndarray) -> dict:
    import verdalix
    from verdalix import targets

    bound = 1e-2 * float(np.ptp(x))
    chunks = [x[i:i + CHUNK] for i in range(0, x.size, CHUNK)]
    sz3 = peers.sz3_codec(bound)
    calls = {"plain": lambda c: verdalix.compress_signal(c),
             "max_error": lambda c: targets.compress_within(c, max_error=bound),
             "sz3": sz3.compress}
    row = {"signal": name, "length": x.size, "bound": bound}
    for label, call in calls.items():
        start = time.perf_counter()
        nbytes = sum(len(call(c)) for c in chunks)
        seconds = time.perf_counter() - start
        row[label] = {"mb_per_s": x.nbytes / seconds / 1e6, "ratio": x.nbytes / nbytes}
    return row


def check(x: np.ndarray, row: dict) -> None:
    """The fitted container's own figures meet the target (they were
    measured on the decoded container against these samples)."""
    mine = row["verdalix"]
    limit = row["value"] * (1 + 1e-12)
    figure = mine["max_error"] if row["target"] == "max_error" else mine["prd"]
    assert figure <= limit, (row["signal"], row["target"], row["value"], figure)


def run(sizes: list[int]) -> dict:
    # None marks a usable peer; only SZ3 is compared here.
    usable = {"sz3": peers.availability().get("sz3"), "zfp": "not compared here"}
    comparison, cost, decoding = [], [], []
    for size in sizes:
        for source in signals.sources():
            try:
                x = np.ascontiguousarray(source.make(size), dtype=np.float32)
            except Exception as e:  # a recorded signal whose package is missing
                print(f"skip {source.name}: {e}")
                continue
            rows = fitted.comparison_rows(source.name, x, usable)
            for row in rows:
                check(x, row)
            comparison += rows
            cost += fitted.cost_rows(source.name, x)
            decoding.append(decode_row(source.name, x))
            print(f"{size} {source.name} done", flush=True)
    chunked = []
    for source in signals.sources():
        try:
            x = np.ascontiguousarray(source.make(CHUNKED_LENGTH), dtype=np.float32)
        except Exception:
            continue
        chunked.append(chunk_row(source.name, x))
    return {"comparison": comparison, "cost": cost, "decoding": decoding,
            "chunked": chunked, "machine": machine_note()}


def machine_note() -> str:
    load = os.getloadavg()
    return (f"{os.cpu_count()} cores, shared with other jobs; load average "
            f"{load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} at the end of the run")


def _median(values: list[float]) -> float:
    return statistics.median(values) if values else float("nan")


def report(results: dict) -> str:
    lines = ["# Native error-target fitter: ratio against SZ3, cost, decoding", "",
             f"Machine: {results['machine']}. Figures from bench/fit_native.py; "
             "times on a shared machine vary by a factor of two or more between runs.",
             "scipy_ecg is left out when SciPy is not installed.", ""]
    comparison = [r for r in results["comparison"] if r["peer"] == "sz3"]
    sizes = sorted({r["length"] for r in comparison} | {r["length"] for r in results["cost"]})
    for target, title in (("max_error", "equal max error (absolute bound)"),
                          ("prd", "equal normalised PRD")):
        lines += [f"## Ratio over SZ3's at {title}", "",
                  "verdalix ratio / SZ3 ratio per signal and target "
                  "(above 1: verdalix smaller).", ""]
        for size in sizes:
            rows = [r for r in comparison if r["target"] == target and r["length"] == size]
            if not rows:
                continue
            ratios = [r["verdalix"]["ratio"] / r["other"]["ratio"] for r in rows]
            untiled = [q for r, q in zip(rows, ratios) if r["signal"] not in TILED]
            lines += [f"### {size} samples: median {_median(ratios):.2f}, "
                      f"min {min(ratios):.2f}, {sum(q >= 1 for q in ratios)} of "
                      f"{len(ratios)} at or above 1; without the tiled recordings: "
                      f"median {_median(untiled):.2f}, min {min(untiled):.2f}", "",
                      "| signal | target | verdalix ratio | SZ3 ratio | over SZ3 | setting |",
                      "|---|---|---|---|---|---|"]
            for r, q in zip(rows, ratios):
                lines.append(f"| {r['signal']} | {r['value']:.4g} | "
                             f"{r['verdalix']['ratio']:.2f} | {r['other']['ratio']:.2f} | "
                             f"{q:.2f} | {r['verdalix']['setting']} |")
            lines.append("")
    lines += ["## Cost: compress_within over one default compress", "",
              "Median of alternated pairs (spread: smallest and largest pair).", ""]
    for size in sizes:
        rows = [r for r in results["cost"] if r["length"] == size]
        if not rows:
            continue
        ratios = [r["ratio"] for r in rows]
        lines += [f"### {size} samples: median {_median(ratios):.1f}x, "
                  f"worst {max(ratios):.1f}x", "",
                  "| signal | target | within (ms) | plain (ms) | ratio | spread |",
                  "|---|---|---|---|---|---|"]
        for r in rows:
            lines.append(f"| {r['signal']} | {r['target']} {r['value']:.4g} | "
                         f"{1e3 * r['within_s']:.2f} | {1e3 * r['plain_s']:.2f} | "
                         f"{r['ratio']:.1f} | {r['ratio_min']:.1f}-{r['ratio_max']:.1f} |")
        lines.append("")
    lines += ["## Decoding: fitted (max_error 1 % of range) against plain default", "",
              "| signal | samples | fitted bytes | plain bytes | fitted (ms) | plain (ms) "
              "| plain / fitted time |", "|---|---|---|---|---|---|---|"]
    for r in results["decoding"]:
        lines.append(f"| {r['signal']} | {r['length']} | {r['fitted_nbytes']} | "
                     f"{r['plain_nbytes']} | {1e3 * r['fitted_s']:.3f} | "
                     f"{1e3 * r['plain_s']:.3f} | {r['speedup']:.2f} |")
    if results.get("chunked"):
        lines += ["", "## Chunk throughput: 64 Ki-sample chunks, one thread", "",
                  "MB/s of float32 input (ratio in brackets); max_error and SZ3 at 1 % of "
                  "the range.", "",
                  "| signal | plain default | compress_within(max_error) | SZ3 |",
                  "|---|---|---|---|"]
        for r in results["chunked"]:
            cells = [f"{r[k]['mb_per_s']:.1f} ({r[k]['ratio']:.1f})"
                     for k in ("plain", "max_error", "sz3")]
            lines.append(f"| {r['signal']} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="14,16,20")
    parser.add_argument("--report-only", action="store_true",
                        help="rewrite the tables from the JSON of an earlier run")
    parser.add_argument("--out", type=pathlib.Path,
                        default=pathlib.Path(__file__).parent / "results")
    args = parser.parse_args()
    sizes = [1 << int(s) for s in args.sizes.split(",")]
    tag = "_".join(args.sizes.split(","))
    if args.report_only:
        results = json.loads((args.out / f"fit_native_{tag}.json").read_text())
        (args.out / f"fit_native_{tag}.md").write_text(report(results))
        return
    results = run(sizes)
    (args.out / f"fit_native_{tag}.json").write_text(json.dumps(results, indent=1))
    (args.out / f"fit_native_{tag}.md").write_text(report(results))


if __name__ == "__main__":
    main()
