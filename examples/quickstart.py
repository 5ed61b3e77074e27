"""Compress a real ECG recording with verdalix, once per wavelet and coder,
and print what each setting costs and gains."""
import time

import numpy as np
import pywt

import verdalix

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


if __name__ == "__main__":
    main()
