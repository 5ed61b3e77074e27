"""Compress a real ECG recording with verdalix, once per wavelet and coder,
and print what each setting costs and gains; then fit it to a few error
targets and, when matplotlib is installed, draw what each one lost into
quickstart.png (or the path given as the first argument)."""
import sys
import time

import numpy as np
import pywt

import verdalix
from verdalix import targets

METHODS = ["cdf97", "cdf53", "db4", "sym4"]
CODERS = ["cmodel", "arans", "deflate"]


def best_seconds(call, repeats=20):
    """The fastest of `repeats` runs: the least disturbed by other work."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    # PyWavelets ships a 1024-sample electrocardiogram (integer ADC units);
    # as float64 it also exercises the conversion to float32.
    ecg = pywt.data.ecg().astype(np.float64)
    raw_bytes = ecg.size * 4  # what the codec stores: float32 samples
    span = float(ecg.max() - ecg.min())
    print(f"signal: pywt.data.ecg(), {ecg.size} samples, range {span:g}, "
          f"{raw_bytes} bytes as float32")
    print()
    header = (f"{'method':<7} {'coder':<8} {'bytes':>6} {'ratio':>6} {'max error':>10} "
              f"{'% of range':>10} {'compress MB/s':>14} {'decompress MB/s':>16}")
    print(header)
    print("-" * len(header))
    for method in METHODS:
        for coder in CODERS:
            options = verdalix.CompressionOptions(method=method, coder=coder)
            blob = verdalix.compress_signal(ecg, options)
            restored = verdalix.decompress_signal(blob)
            assert restored.shape == ecg.shape
            error = float(np.max(np.abs(restored - ecg)))
            compress_s = best_seconds(lambda: verdalix.compress_signal(ecg, options))
            decompress_s = best_seconds(lambda: verdalix.decompress_signal(blob))
            print(f"{method:<7} {coder:<8} {len(blob):>6} {raw_bytes / len(blob):>6.2f} "
                  f"{error:>10.4f} {100 * error / span:>10.3f} "
                  f"{raw_bytes / compress_s / 1e6:>14.1f} {raw_bytes / decompress_s / 1e6:>16.1f}")
    print()
    for scale in (6, 8, 10, 12):
        options = verdalix.CompressionOptions(scale=scale, cutoff="medium")
        blob = verdalix.compress_signal(ecg, options)
        error = float(np.max(np.abs(verdalix.decompress_signal(blob) - ecg)))
        print(f"cdf97/cmodel scale {scale:>2}, cutoff medium: {len(blob):>5} bytes, "
              f"ratio {raw_bytes / len(blob):5.2f}, max error {error:.4f}")

    print()
    for prd in PRD_TARGETS:
        fit = targets.fit_options(ecg, prd=prd)
        print(f"fitted to prd <= {prd}%: {fit.nbytes:>5} bytes, ratio {raw_bytes / fit.nbytes:5.2f}, "
              f"prd {fit.prd:.2f}%, max error {fit.max_error:.3f} "
              f"({fit.method}, scale {fit.scale}, cutoff {fit.cutoff}, "
              f"multiplier {fit.quant_multiplier:.4g})")
    picture(ecg, sys.argv[1] if len(sys.argv) > 1 else "quickstart.png")


PRD_TARGETS = [1.0, 4.0, 12.0]


def picture(ecg, path):
    """One column per target: a beat of the ECG with its reconstruction, and
    the error below. matplotlib is optional; without it there is no picture."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no picture")
        return
    beat = slice(400, 660)  # the second of the recording's three beats
    t = np.arange(ecg.size)[beat]
    fig, axes = plt.subplots(2, len(PRD_TARGETS), figsize=(12, 5), sharex=True, sharey="row",
                             gridspec_kw={"height_ratios": [3, 1.3]})
    for column, prd in enumerate(PRD_TARGETS):
        fit = targets.fit_options(ecg, prd=prd)
        decoded = verdalix.decompress_signal(verdalix.compress_signal(ecg, fit.options))
        top, bottom = axes[0, column], axes[1, column]
        top.plot(t, ecg[beat], color="0.65", lw=2.5, label="recording")
        top.plot(t, decoded[beat], color="C3", lw=1.0, label="decoded")
        top.set_title(f"prd \u2264 {prd:g}%: {4 * ecg.size / fit.nbytes:.1f}\u00d7 smaller\n"
                      f"{fit.method}, scale {fit.scale}, cutoff {fit.cutoff}, "
                      f"multiplier {fit.quant_multiplier:.3g}",
                      fontsize=10)
        bottom.plot(t, decoded[beat] - ecg[beat], color="C0", lw=1.0)
        bottom.axhline(0.0, color="0.8", lw=0.8)
        bottom.set_xlabel("sample")
    axes[0, 0].set_ylabel("ECG (ADC units)")
    axes[1, 0].set_ylabel("error")
    axes[0, 0].legend(loc="upper left", fontsize=9, frameon=False)
    fig.suptitle("pywt.data.ecg() compressed by verdalix.targets.compress_within", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
