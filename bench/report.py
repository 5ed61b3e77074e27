"""Writes a comparison run as Markdown (results.md) and PNG plots."""

from __future__ import annotations

import math
from collections import defaultdict
from pathlib import Path

from signals import KI, MI

GOAL_SIGNAL = "scipy_ecg"
GOALS = {"compress_mb_s": 120.0, "decompress_mb_s": 150.0, "peak_over_input": 8.0}
PEER_ORDER = ["verdalix", "zfp", "sz3", "quantize+zstd", "bitround+zstd", "pcodec", "zstd"]


def length_name(n: int) -> str:
    if n % MI == 0:
        return f"{n // MI} Mi"
    if n % KI == 0:
        return f"{n // KI} Ki"
    return str(n)


def fmt(value, digits: int = 3) -> str:
    if value is None:
        return "–"
    if isinstance(value, float):
        if value != value:
            return "nan"
        if value == 0.0:
            return "0"
        if abs(value) >= 1000 or abs(value) < 0.01:
            return f"{value:.{digits - 1}e}"
        return f"{value:.{digits}g}"
    return str(value)


def mib(nbytes) -> str:
    return "–" if nbytes is None else f"{nbytes / 2**20:.1f}"


def table(header: list[str], rows: list[list]) -> list[str]:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(fmt(c) if not isinstance(c, str) else c for c in row) + " |"
              for row in rows]
    return lines + [""]


def family_rank(record: dict) -> tuple:
    family = record["family"]
    return (PEER_ORDER.index(family) if family in PEER_ORDER else 99, record["setting"])


def peak_cell(record: dict, key: str) -> str:
    nbytes = record[key]
    if nbytes is None:
        return "–"
    return f"{mib(nbytes)} ({nbytes / (4 * record['length']):.1f}×)"


def speed_rows(records: list[dict]) -> list[list]:
    rows = []
    for r in sorted(records, key=lambda r: (r["signal"], family_rank(r))):
        rows.append([r["signal"], r["family"], r["setting"], r["ratio"], r["max_abs_error"],
                     r["prd_range"], r["compress_mb_s"], r["decompress_mb_s"],
                     r["compress_samples_s"] / 1e6, r["decompress_samples_s"] / 1e6,
                     None if r["compress_decisions_s"] is None else r["compress_decisions_s"] / 1e6,
                     None if r["decompress_decisions_s"] is None
                     else r["decompress_decisions_s"] / 1e6,
                     peak_cell(r, "compress_peak_bytes"), peak_cell(r, "decompress_peak_bytes")])
    return rows


SPEED_HEADER = ["signal", "codec", "setting", "ratio", "max err", "PRD %", "comp MB/s",
                "decomp MB/s", "comp Msamp/s", "decomp Msamp/s", "comp Mdec/s",
                "decomp Mdec/s", "comp peak MiB (×in)", "decomp peak MiB (×in)"]


def pick(records, **match) -> list[dict]:
    return [r for r in records if all(r.get(k) == v for k, v in match.items())]


def default_verdalix(records, signal, length, coder="cmodel"):
    found = [r for r in pick(records, block="speed", signal=signal, length=length,
                             family="verdalix") if r["params"].get("coder") == coder]
    return found[0] if found else None


def goals_section(results: dict) -> list[str]:
    records = results["records"]
    lines = ["## Goals", ""]
    v = default_verdalix(records, GOAL_SIGNAL, MI)
    if v is None:
        return lines + [f"No 1 Mi run of {GOAL_SIGNAL} in this run.", ""]
    zfp = pick(records, block="speed", signal=GOAL_SIGNAL, length=MI, family="zfp")
    sz3 = pick(records, block="speed", signal=GOAL_SIGNAL, length=MI, family="sz3")
    cpp = {(c["operation"], c["coder"]): c for c in results["cpp_codec"]
           if c["method"] == "cdf97"}
    lines += [f"{GOAL_SIGNAL}, 1 Mi samples, default options (cdf97, scale 11, cutoff low, "
              "cmodel). Python figures include the module boundary; C++ figures are "
              "`bench_codec` (median of 5 repetitions).", ""]
    rows = []
    cc, cd = cpp.get(("compress", "cmodel")), cpp.get(("decompress", "cmodel"))
    rows.append(["compress MB/s (goal ≥ 120)", v["compress_mb_s"],
                 cc["mb_s"] if cc else None])
    rows.append(["decompress MB/s (goal ≥ 150)", v["decompress_mb_s"],
                 cd["mb_s"] if cd else None])
    rows.append(["compress M decisions/s", (v["compress_decisions_s"] or 0) / 1e6 or None,
                 cc["decisions_s"] / 1e6 if cc and cc["decisions_s"] else None])
    rows.append(["decompress M decisions/s", (v["decompress_decisions_s"] or 0) / 1e6 or None,
                 cd["decisions_s"] / 1e6 if cd and cd["decisions_s"] else None])
    rows.append(["decisions per sample",
                 v["decisions"] / v["length"] if v["decisions"] else None, None])
    peak = v["compress_peak_bytes"]
    rows.append(["compress peak ×input (goal ≤ 8), cmodel",
                 peak / (4 * v["length"]) if peak is not None else None,
                 cc["peak_over_input"] if cc else None])
    for coder in ("arans", "deflate"):
        vc = default_verdalix(records, GOAL_SIGNAL, MI, coder)
        c = cpp.get(("compress", coder))
        if vc:
            p = vc["compress_peak_bytes"]
            rows.append([f"compress peak ×input, {coder}",
                         p / (4 * vc["length"]) if p is not None else None,
                         c["peak_over_input"] if c else None])
    lines += table(["figure", "Python (RSS)", "C++ (heap)"], rows)
    peer_rows = []
    for length in (MI, 64 * KI):
        mine = default_verdalix(records, GOAL_SIGNAL, length)
        if mine is None:
            continue
        for family in ("zfp", "sz3"):
            for peer in pick(records, block="speed", signal=GOAL_SIGNAL, length=length,
                             family=family):
                peer_rows.append([length_name(length), peer["family"], peer["setting"],
                                  mine["ratio"], peer["ratio"], peer["max_abs_error"],
                                  mine["ratio"] / peer["ratio"],
                                  mine["compress_mb_s"] / peer["compress_mb_s"],
                                  mine["decompress_mb_s"] / peer["decompress_mb_s"]])
    if peer_rows:
        lines += ["At matched maximum error (the peer's bound set to the maximum error verdalix "
                  f"reached, {fmt(v['max_abs_error'])} at 1 Mi): verdalix's figure over the "
                  f"peer's. The recording has 108000 samples, so 1 Mi repeats it and 64 Ki "
                  "does not.", ""]
        lines += table(["length", "peer", "setting", "verdalix ratio", "peer ratio",
                        "peer max err", "ratio ×", "compress speed ×", "decompress speed ×"],
                       peer_rows)
    lines += equal_prd_lines(records)
    return lines


def equal_prd_lines(records: list[dict]) -> list[str]:
    """The goal signal's default setting in the sweep against each peer's
    ratio at the same PRD."""
    sweep = pick(records, block="sweep", signal=GOAL_SIGNAL)
    mine = [r for r in pick(sweep, family="verdalix")
            if r["params"] == {**r["params"], "method": "cdf97", "scale": 11, "cutoff": "low"}]
    if not mine:
        return []
    v = mine[0]
    rows = []
    for family in ("zfp", "sz3"):
        at = ratio_at_prd(pick(sweep, family=family), v["prd_range"])
        rows.append([family, at, None if at is None else v["ratio"] / at])
    return [f"At equal PRD ({length_name(v['length'])}-sample sweep, verdalix default: ratio "
            f"{fmt(v['ratio'])}, PRD {fmt(v['prd_range'])} %):", ""] + table(
        ["peer", "peer ratio @PRD", "ratio ×"], rows)


def matched_section(records: list[dict]) -> list[str]:
    lines = ["## Matched error, every signal (1 Mi samples)", "",
             "verdalix at default options against ZFP and SZ3 bounded by its maximum "
             "error: verdalix's ratio and speeds over the peer's.", ""]
    rows = []
    for signal in sorted({r["signal"] for r in records}):
        v = default_verdalix(records, signal, MI)
        if v is None:
            continue
        for family in ("zfp", "sz3"):
            for p in pick(records, block="speed", signal=signal, length=MI, family=family):
                rows.append([signal, family, v["ratio"], p["ratio"], v["ratio"] / p["ratio"],
                             v["compress_mb_s"] / p["compress_mb_s"],
                             v["decompress_mb_s"] / p["decompress_mb_s"],
                             v["prd_range"], p["prd_range"]])
    if not rows:
        return []
    return lines + table(["signal", "peer", "verdalix ratio", "peer ratio", "ratio ×",
                          "compress ×", "decompress ×", "verdalix PRD %", "peer PRD %"], rows)


def ratio_at_prd(points: list[dict], prd: float) -> float | None:
    """A peer's ratio at this PRD, interpolated log-log between the two of
    its sweep points around it; None outside what its sweep covered."""
    curve = sorted((r["prd_range"], r["ratio"]) for r in points if r["prd_range"] > 0)
    if not curve or prd <= 0:
        return None
    for (x0, y0), (x1, y1) in zip(curve, curve[1:]):
        if x0 <= prd <= x1:
            if x1 == x0:
                return max(y0, y1)
            t = (math.log(prd) - math.log(x0)) / (math.log(x1) - math.log(x0))
            return math.exp(math.log(y0) + t * (math.log(y1) - math.log(y0)))
    if len(curve) == 1 and curve[0][0] == prd:
        return curve[0][1]
    return None


def sweep_section(records: list[dict]) -> list[str]:
    sweep = pick(records, block="sweep")
    if not sweep:
        return []
    length = sweep[0]["length"]
    lines = [f"## Rate and distortion ({length_name(length)} samples)", "",
             "verdalix cdf97, cutoff low, scale 6 to 12; each peer bounded by the maximum "
             "error verdalix reached at that scale. \"@PRD\" is the peer's ratio at "
             "verdalix's PRD, interpolated along the peer's own points (– where they do not "
             "reach it). Other wavelets and cutoffs are in results.json and the plots.", ""]
    rows = []
    for signal in sorted({r["signal"] for r in sweep}):
        mine = [r for r in pick(sweep, signal=signal, family="verdalix")
                if r["params"]["method"] == "cdf97" and r["params"]["cutoff"] == "low"]
        others = defaultdict(list)
        for r in pick(sweep, signal=signal):
            if r["family"] in ("zfp", "sz3"):
                others[r["family"]].append(r)
        for i, v in enumerate(sorted(mine, key=lambda r: r["params"]["scale"])):
            row = [signal, str(v["params"]["scale"]), v["ratio"], v["max_abs_error"],
                   v["prd_range"]]
            for family in ("zfp", "sz3"):
                # Peers were run in the same order as the scales.
                match = others[family][i] if i < len(others[family]) else None
                row += [match["ratio"], match["prd_range"]] if match else [None, None]
                row.append(ratio_at_prd(others[family], v["prd_range"]))
            rows.append(row)
    return lines + table(["signal", "scale", "ratio", "max err", "PRD %", "ZFP ratio",
                          "ZFP PRD %", "ZFP @PRD", "SZ3 ratio", "SZ3 PRD %", "SZ3 @PRD"], rows)


def fitted_section(found: dict | None) -> list[str]:
    """verdalix.targets against the peers' own targets, and what the search costs."""
    if not found:
        return []
    lines = []
    rows = [[r["signal"], r["target"], r["value"], r["peer"], r["peer_bound"],
             r["verdalix"]["ratio"], r["other"]["ratio"],
             r["verdalix"]["ratio"] / r["other"]["ratio"],
             r["verdalix"]["max_error"], r["other"]["max_error"],
             r["verdalix"]["prd"], r["other"]["prd"], r["verdalix"]["setting"]]
            for r in found["comparisons"]]
    if rows:
        length = length_name(found["comparisons"][0]["length"])
        lines += [f"## Fitted to the peers' targets ({length} samples)", "",
                  "`verdalix.targets.compress_within` given the peer's own kind of target: "
                  "max_error = the absolute bound of SZ3 (absolute mode) and ZFP (accuracy "
                  "mode); prd = a normalised PRD (100·sqrt(Σ(x−y)²/Σ(x−mean x)²)), the "
                  "peer's bound bisected until its PRD is just within it. \"ratio ×\" is "
                  "verdalix's ratio over the peer's.", ""]
        lines += table(["signal", "target", "value", "peer", "peer bound", "verdalix ratio",
                        "peer ratio", "ratio ×", "verdalix max err", "peer max err",
                        "verdalix PRD %", "peer PRD %", "verdalix setting"], rows)
    cost = [[r["signal"], length_name(r["length"]), r["target"], r["value"],
             r["within_s"] * 1e3, r["plain_s"] * 1e3, r["ratio"],
             f"{fmt(r['ratio_min'])}–{fmt(r['ratio_max'])}"] for r in found["cost"]]
    if cost:
        lines += ["Cost of the search: `compress_within` against one `compress_signal` at "
                  "default options on the same samples, alternating (median of the "
                  "per-pair ratios and their range).", ""]
        lines += table(["signal", "length", "target", "value", "compress_within ms",
                        "compress_signal ms", "time ×", "range"], cost)
    return lines


def transforms_section(rows: list[dict]) -> list[str]:
    lines = ["## Transform speed (1 Mi samples, full decomposition)", "",
             "PyWavelets `wavedec`/`waverec` (mode periodization) against the codec's "
             "transforms (`bench_wavelet`, median of 5).", ""]
    body = []
    for r in rows:
        if "error" in r:
            body.append([r["library"], r["error"], "", "", "", ""])
            continue
        body.append([r["library"], r["wavelet"], str(r["levels"]), r["dtype"],
                     r.get("decompose_mb_s"), r.get("reconstruct_mb_s")])
    return lines + table(["library", "wavelet", "levels", "dtype", "decompose MB/s",
                          "reconstruct MB/s"], body)


def cpp_section(rows: list[dict]) -> list[str]:
    if not rows:
        return []
    lines = [f"## C++ codec benchmark ({GOAL_SIGNAL}, 1 Mi samples, scale 11, cutoff low)", "",
             "`bench_codec`: median of 5 repetitions; peak is the largest heap in use "
             "during one call above what was in use before it, over the float32 input.", ""]
    body = [[r["method"], r["coder"], r["operation"], r["ms"], r["mb_s"],
             (r["samples_s"] or 0) / 1e6, (r["decisions_s"] or 0) / 1e6 or None,
             r["peak_over_input"], r["ratio"]]
            for r in sorted(rows, key=lambda r: (r["method"], r["coder"], r["operation"]))]
    return lines + table(["wavelet", "coder", "call", "ms", "MB/s", "Msamples/s",
                          "M decisions/s", "peak ×input", "ratio"], body)


def environment_section(env: dict) -> list[str]:
    lines = ["# verdalix against peer compressors", "",
             f"{env['mode']} run, {env['date']}, {env['seconds']} s, {env['machine']}, "
             f"Python {env['python']}.", ""]
    lines += ["Versions: " + ", ".join(f"{k} {v}" for k, v in env["versions"].items()) + ".", ""]
    if env["unavailable_peers"]:
        lines += ["Unavailable here: " + "; ".join(f"{k} ({v})" for k, v in
                                                     env["unavailable_peers"].items()) + ".", ""]
    if env["skipped_signals"]:
        lines += ["Signals skipped: " + "; ".join(f"{k} ({v})" for k, v in
                                                  env["skipped_signals"].items()) + ".", ""]
    for note in env["notes"]:
        lines += [f"Note: {note}.", ""]
    lines += ["Recorded signals are tiled to lengths beyond their own (ecg 1024, nino 264, "
              "scipy_ecg 108000 samples): the repeats are exact, which LZ stages (zstd, "
              "numcodecs+zstd, SZ3's lossless back end) find and a wavelet coder does not, so "
              "their ratios on tiled lengths overstate what they reach on a real recording of "
              "that length. Generated signals never repeat.", ""]
    lines += ["Signals: " + "; ".join(f"`{k}` {v}" for k, v in env["signals"].items()) + ".", "",
              "Definitions: ratio = 4·n / compressed bytes (float32 input); max err = "
              "largest |x − y|; PRD % = 100·rms(x − y) / (max x − min x); MB/s = 4·n bytes "
              "(10^6) per second and Msamp/s = n per second, both the median of at least 5 "
              "calls in this process; Mdec/s = binary decisions of the verdalix payload "
              "per second, counted exactly by decoding each container again "
              "(`bench_codec --count-decisions`: cmodel zero flags, signs and magnitude bits; "
              "arans 8 per coefficient byte); peak = resident-set high-water mark of one call "
              "above the resident size before it (output included), in MiB and as a multiple "
              "of the float32 input. ZFP runs in fixed-accuracy mode and SZ3 with an absolute "
              "bound, both at verdalix's maximum error; numcodecs Quantize/BitRound get the "
              "fewest digits/bits that keep that error; pcodec (default level) and zstd "
              "(level 3 on the float32 bytes) are lossless.", ""]
    return lines


def write_markdown(results: dict, path: Path) -> None:
    records = results["records"]
    lines = environment_section(results["environment"])
    lines += goals_section(results)
    lines += matched_section(records)
    for length in sorted({r["length"] for r in pick(records, block="speed")}):
        lines += [f"## Throughput and size, {length_name(length)} samples", ""]
        lines += table(SPEED_HEADER, speed_rows(pick(records, block="speed", length=length)))
    lines += sweep_section(records)
    lines += fitted_section(results.get("fitted"))
    lines += transforms_section(results["transforms"])
    lines += cpp_section(results["cpp_codec"])
    lines += ["Plots: `rd_<signal>.png` (ratio against PRD), `throughput_1mi.png`.", ""]
    path.write_text("\n".join(lines))


def write_all(results: dict, out: Path) -> None:
    write_markdown(results, out / "results.md")
    try:
        import plots
    except ImportError:
        return
    plots.write(results, out)
