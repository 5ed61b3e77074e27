"""verdalix fitted to each peer's own kind of target (verdalix.targets):

- at the same absolute bound as SZ3 (absolute mode) and ZFP (accuracy mode),
  verdalix's compress_within(max_error=bound);
- at the same normalised PRD, the peer's bound bisected until its PRD is
  just within the target, and compress_within(prd=target);
- the time of compress_within over one plain compress_signal at default
  options, alternating the two so that both see the same load.
"""

from __future__ import annotations

import math
import statistics
import time

import numpy as np

import metrics
import peers

BOUND_FRACTIONS = (1e-3, 1e-2, 1e-1)  # absolute bounds, as fractions of the range
PRD_TARGETS = (0.5, 2.0, 8.0)  # normalised PRD, percent
COST_REPEATS = 5


def normalised_prd(x: np.ndarray, y: np.ndarray) -> float:
    """100·sqrt(Σ(x − y)² / Σ(x − mean x)²): the mean is removed, so an
    offset cannot flatter it (unlike the PRD of the range in metrics)."""
    x64 = x.astype(np.float64)
    d = x64 - y.astype(np.float64)
    spread = float(np.sum((x64 - x64.mean()) ** 2))
    sq = float(np.dot(d, d))
    return 0.0 if sq == 0.0 else (100.0 * math.sqrt(sq / spread) if spread else math.inf)


def _outcome(x: np.ndarray, blob: bytes, restored: np.ndarray) -> dict:
    return {"ratio": metrics.compression_ratio(x.size, len(blob)),
            "max_error": metrics.max_abs_error(x, restored),
            "prd": normalised_prd(x, restored)}


def _verdalix(x: np.ndarray, **target: float) -> dict:
    import verdalix
    from verdalix import targets

    fit = targets.fit_options(x, **target)
    blob = fit.container
    out = _outcome(x, blob, verdalix.decompress_signal(blob))
    out["setting"] = (f"{fit.method}/{fit.levels} s{fit.scale} {fit.cutoff} "
                      f"m={fit.quant_multiplier:.4g} {fit.coder}")
    return out


def _peer(x: np.ndarray, codec: peers.Codec) -> dict:
    blob = codec.compress(x)
    return _outcome(x, blob, np.asarray(codec.decompress(blob, x.size)))


def _makers(usable: dict[str, str | None]):
    for family, make in (("sz3", peers.sz3_codec), ("zfp", peers.zfp_codec)):
        if usable.get(family) is None:
            yield family, make


def bound_for_prd(x: np.ndarray, make, prd: float, steps: int = 30) -> tuple[float, dict]:
    """The largest bound (to 1 part in 10^3, by bisection in log scale) whose
    normalised PRD is within `prd`, and what it gives."""
    span = float(np.ptp(x)) or 1.0
    lo, hi = math.log(span * 1e-8), math.log(span * 2)
    best = (math.exp(lo), _peer(x, make(math.exp(lo))))
    for _ in range(steps):
        if hi - lo < 1e-3:
            break
        mid = (lo + hi) / 2
        out = _peer(x, make(math.exp(mid)))
        if out["prd"] <= prd:
            lo, best = mid, (math.exp(mid), out)
        else:
            hi = mid
    return best


def comparison_rows(signal: str, x: np.ndarray, usable: dict[str, str | None]) -> list[dict]:
    rows = []
    span = float(np.ptp(x))
    for fraction in BOUND_FRACTIONS:
        bound = fraction * span
        mine = _verdalix(x, max_error=bound)
        for family, make in _makers(usable):
            rows.append({"signal": signal, "length": x.size, "target": "max_error",
                         "value": bound, "peer": family, "peer_bound": bound,
                         "verdalix": mine, "other": _peer(x, make(bound))})
    for prd in PRD_TARGETS:
        mine = _verdalix(x, prd=prd)
        for family, make in _makers(usable):
            bound, out = bound_for_prd(x, make, prd)
            rows.append({"signal": signal, "length": x.size, "target": "prd", "value": prd,
                         "peer": family, "peer_bound": bound, "verdalix": mine, "other": out})
    return rows


def cost_row(signal: str, x: np.ndarray, kind: str, value: float) -> dict:
    """compress_within over a default compress_signal: the median of the
    per-pair ratios, and their spread."""
    import verdalix
    from verdalix import targets

    pairs = []
    for _ in range(COST_REPEATS):
        start = time.perf_counter()
        targets.compress_within(x, **{kind: value})
        within = time.perf_counter() - start
        start = time.perf_counter()
        verdalix.compress_signal(x)
        pairs.append((within, time.perf_counter() - start))
    ratios = sorted(w / p for w, p in pairs)
    return {"signal": signal, "length": x.size, "target": kind, "value": value,
            "within_s": statistics.median(w for w, _ in pairs),
            "plain_s": statistics.median(p for _, p in pairs),
            "ratio": statistics.median(ratios), "ratio_min": ratios[0], "ratio_max": ratios[-1]}


def cost_rows(signal: str, x: np.ndarray) -> list[dict]:
    return [cost_row(signal, x, "max_error", 1e-2 * float(np.ptp(x))),
            cost_row(signal, x, "prd", 2.0)]
