"""What remains of the Python target search, for the command line: the
wavelet names and the errors of a decoded copy. The search itself is native
(verdalix._native.fit, behind verdalix.targets)."""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

METHODS = ("cdf97", "cdf53", "db4", "sym4")
KINDS = ("max_error", "rms_error", "prd")


class Signal:
    """Samples as the codec compresses them (float32, NaN as 0, +inf as 1,
    -inf as 0), and max_error, rms_error and prd of a decoded copy."""

    def __init__(self, x32: npt.NDArray[np.float32], kind: str) -> None:
        clean = np.nan_to_num(x32.astype(np.float64), nan=0.0, posinf=1.0, neginf=0.0)
        self.clean = clean
        self.kind = kind
        deviation = clean - clean.mean()
        self.sum_sq = float(np.sum(deviation * deviation))

    def errors(self, y: npt.NDArray[np.float32]) -> tuple[float, float, float]:
        d = self.clean - y
        sq = float(np.sum(d * d))
        peak = float(np.max(np.abs(d))) if d.size else 0.0
        rms = math.sqrt(sq / d.size)
        prd = 0.0 if sq == 0.0 else (100.0 * math.sqrt(sq / self.sum_sq)
                                     if self.sum_sq > 0.0 else math.inf)
        return peak, rms, prd
