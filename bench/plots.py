"""PNG plots of a comparison run: rate–distortion per signal and throughput
bars at 1 Mi samples."""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from signals import MI  # noqa: E402

STYLE = {
    "zfp": dict(color="tab:orange", marker="s"),
    "sz3": dict(color="tab:green", marker="^"),
    "quantize+zstd": dict(color="tab:purple", marker="v"),
    "bitround+zstd": dict(color="tab:brown", marker="D"),
    "pcodec": dict(color="tab:gray"),
    "zstd": dict(color="black"),
}
METHOD_COLORS = {"cdf97": "tab:blue", "cdf53": "tab:cyan", "db4": "tab:red", "sym4": "tab:pink"}
CUTOFF_LINES = {"low": "-", "medium": "--", "high": ":"}


def rate_distortion(records: list[dict], signal: str, path: Path) -> None:
    sweep = [r for r in records if r["block"] == "sweep" and r["signal"] == signal]
    if not sweep:
        return
    fig, ax = plt.subplots(figsize=(7, 4.5))
    curves: dict[tuple, list[dict]] = {}
    for r in sweep:
        if r["family"] == "verdalix":
            key = ("verdalix", r["params"]["method"], r["params"]["cutoff"])
        else:
            key = (r["family"],)
        curves.setdefault(key, []).append(r)
    for key, points in sorted(curves.items()):
        if key[0] in ("pcodec", "zstd"):
            ax.axhline(points[0]["ratio"], linestyle="-.", linewidth=1,
                       color=STYLE[key[0]]["color"], label=f"{key[0]} (lossless)")
            continue
        # verdalix curves follow the scale, the peers' their bound.
        points = sorted(points, key=lambda r: r["params"].get("scale", 0) if key[0] == "verdalix"
                        else -r["max_abs_error"])
        xs = [max(r["prd_range"], 1e-6) for r in points]
        ys = [r["ratio"] for r in points]
        if key[0] == "verdalix":
            _, method, cutoff = key
            ax.plot(xs, ys, CUTOFF_LINES[cutoff], marker="o", markersize=3,
                    color=METHOD_COLORS[method], label=f"verdalix {method} {cutoff}")
        else:
            ax.plot(xs, ys, "-", markersize=4, label=key[0], **STYLE[key[0]])
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("PRD, % of range (log)")
    ax.set_ylabel("compression ratio vs float32 (log)")
    ax.set_title(f"{signal}, {sweep[0]['length']} samples")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=6, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def throughput_bars(records: list[dict], path: Path) -> None:
    speed = [r for r in records if r["block"] == "speed" and r["length"] == MI]
    if not speed:
        return
    signals = sorted({r["signal"] for r in speed})

    def label(r: dict) -> str:
        if r["family"] == "verdalix":
            return f"verdalix {r['params']['coder']}"
        return r["family"]

    codecs = []
    for r in speed:
        if label(r) not in codecs:
            codecs.append(label(r))
    fig, axes = plt.subplots(2, 1, figsize=(11, 7), sharex=True)
    width = 0.8 / max(len(codecs), 1)
    for ax, key, title in ((axes[0], "compress_mb_s", "compress"),
                           (axes[1], "decompress_mb_s", "decompress")):
        for j, codec in enumerate(codecs):
            heights = []
            for s in signals:
                found = [r for r in speed if r["signal"] == s and label(r) == codec]
                heights.append(found[0][key] if found else 0.0)
            ax.bar([i + j * width for i in range(len(signals))], heights, width, label=codec)
        ax.set_yscale("log")
        ax.set_ylabel(f"{title} MB/s (float32 in, log)")
        ax.grid(True, axis="y", which="both", alpha=0.3)
    axes[0].legend(fontsize=7, ncol=4)
    axes[1].set_xticks([i + 0.4 - width / 2 for i in range(len(signals))])
    axes[1].set_xticklabels(signals, rotation=20)
    axes[0].set_title("throughput at 1 Mi samples (median of at least 5 calls)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def write(results: dict, out: Path) -> None:
    records = results["records"]
    for signal in sorted({r["signal"] for r in records}):
        rate_distortion(records, signal, out / f"rd_{signal}.png")
    throughput_bars(records, out / "throughput_1mi.png")
