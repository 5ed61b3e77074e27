"""The search behind verdalix.targets.

With a caller's multiplier the scale only chooses the cutoff threshold, so a
setting is (wavelet, threshold, multiplier). The error is close to inversely
proportional to the multiplier and the size grows with it, so for one
wavelet and threshold the best container is the one whose error is just
within the target: a few secant steps on log(error) against log(multiplier)
find it. Which wavelet and threshold win is estimated on a probe (a few
blocks spread over a long signal, so one compression costs little), then the
best estimates are settled on the whole signal while a work budget lasts.
Every candidate, on the probe or the whole, is a real container that was
decoded and measured: the container that is returned is one of them, so it
meets the target by construction.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import verdalix
from verdalix import _native

METHODS = ("cdf97", "cdf53", "db4", "sym4")
KINDS = ("max_error", "rms_error", "prd")

# Threshold (in quantisation steps) of every scale/cutoff pair; with a
# caller's multiplier that is all the scale still decides.
_SCALE_BASE = {6: 0, 7: 0, 8: 1, 9: 1, 10: 2, 11: 2, 12: 3}
_CUTOFF_FACTOR = {"low": 1, "medium": 3, "high": 7}
_PAIRS: dict[int, list[tuple[int, str]]] = {}
for _scale, _base in _SCALE_BASE.items():
    for _cutoff, _factor in _CUTOFF_FACTOR.items():
        _PAIRS.setdefault(_base * _factor, []).append((_scale, _cutoff))
THRESHOLDS = tuple(sorted(_PAIRS))

# Containers within this fraction of the target are not worth another trial:
# the size changes by less than that between them.
_CLOSE = 0.025
# Signals longer than twice this are searched on a probe of this many samples.
PROBE_LENGTH = 16384
_PROBE_BLOCKS = 4
# Beyond this many probes' length, a max_error estimate with a cutoff counts
# as this much larger, per doubling of the length, when settings are ranked.
_LONG_FOR_PROBE = 16
_CUTOFF_HANDICAP = 0.03
# Samples a search may compress: this many times the signal plus the extra,
# which lets short signals be searched more thoroughly (a storage codec
# fitting chunks of 64 Ki pays about fifteen compressions of each).
_BUDGET_PER_SAMPLE = 2
_BUDGET_EXTRA = 1 << 20
# Multipliers are kept where a float32 is exact enough and nothing overflows.
_M_MIN = 2.0 ** -6
_M_MAX = 2.0 ** 22


def setting_for(threshold: int, multiplier: float) -> tuple[int, str]:
    """The scale/cutoff pair with this threshold whose scale is nearest to
    log2(multiplier), so that a container's header reads sensibly."""
    octave = math.log2(multiplier) if multiplier > 0 else 0.0
    return min(_PAIRS[threshold], key=lambda p: (abs(p[0] - octave), p[0]))


@dataclass(frozen=True)
class Trial:
    method: str
    threshold: int
    multiplier: float  # as the container records it (float32)
    blob: bytes
    errors: tuple[float, float, float]  # max_error, rms_error, prd
    error: float  # the target's measure of the three
    saturated: bool


class Signal:
    """Samples as the codec compresses them, and the target's measure of a
    decoded copy. A probe measures prd against the variance of the whole
    signal, so that its figure predicts the whole one."""

    def __init__(self, x32: npt.NDArray[np.float32], kind: str,
                 variance: float | None = None, spent: list[int] | None = None) -> None:
        self.x32 = x32
        # Samples compressed so far by this search, shared with its probe.
        self.spent = [0] if spent is None else spent
        clean = x32.astype(np.float64)
        if not np.isfinite(x32).all():  # rare, and three more passes
            np.nan_to_num(clean, copy=False, nan=0.0, posinf=1.0, neginf=0.0)
        self.clean = clean
        self.range = float(np.float32(clean.max()) - np.float32(clean.min()))
        # One scratch buffer for every difference this search takes.
        self._scratch = np.subtract(clean, clean.mean())
        self.sum_sq = float(np.dot(self._scratch, self._scratch))
        # What the mean alone leaves, before the scratch is reused.
        self.mean_only_peak = float(max(self._scratch.max(), -self._scratch.min()))
        self.variance = self.sum_sq / clean.size if variance is None else variance
        self.exact = variance is None
        self.kind = kind

    def errors(self, y: npt.NDArray[np.float32]) -> tuple[float, float, float]:
        """max_error, rms_error and prd of a decoded copy."""
        d = np.subtract(self.clean, y, out=self._scratch)
        sq = float(np.dot(d, d))
        peak = float(max(d.max(), -d.min()))
        rms = math.sqrt(sq / d.size)
        if self.exact:
            prd = 0.0 if sq == 0.0 else (100.0 * math.sqrt(sq / self.sum_sq)
                                         if self.sum_sq > 0.0 else math.inf)
        else:
            prd = 100.0 * rms / math.sqrt(self.variance) if self.variance > 0 else math.inf
        return peak, rms, prd

    def trial(self, method: str, threshold: int, multiplier: float,
              coder: str | None) -> Trial:
        m32 = float(np.float32(multiplier))
        scale, cutoff = setting_for(threshold, m32)
        options = verdalix.CompressionOptions(method=method, scale=scale, cutoff=cutoff,
                                              coder=coder, quant_multiplier=m32)
        # The chunk calls: compress_signal's and decompress_signal's work with
        # the GIL released, so searches in several threads run in parallel.
        blob = _native.encode(self.x32, options)
        self.spent[0] += self.x32.size
        # A codec that lowers a saturating multiplier records the one it used.
        saturated = _native.read_header(blob)["multiplier"] != m32
        errors = self.errors(_native.decode(blob))
        return Trial(method, threshold, m32, blob, errors, errors[KINDS.index(self.kind)],
                     saturated)


def probe_of(whole: Signal) -> Signal:
    """Blocks spread evenly over the signal, end to end, each shifted to
    start where the one before ended: a jump at the joins would cost bits
    and error that the whole signal does not have."""
    block = PROBE_LENGTH // _PROBE_BLOCKS
    starts = np.linspace(0, whole.clean.size - block, _PROBE_BLOCKS).round().astype(np.int64)
    parts = [whole.clean[s:s + block] for s in starts]
    for i in range(1, len(parts)):
        parts[i] = parts[i] + (parts[i - 1][-1] - parts[i][0])
    probe = np.concatenate(parts).astype(np.float32)
    return Signal(probe, whole.kind, whole.variance, whole.spent)


def _clamp(m: float) -> float:
    return min(max(m, _M_MIN), _M_MAX)


def _toward(t: Trial, goal: float, slope: float) -> float:
    """The multiplier whose error would be `goal` if error ~ multiplier^slope."""
    if t.error <= 0.0 or goal <= 0.0:
        return t.multiplier / 4 if t.error <= 0.0 else _M_MAX
    return _clamp(t.multiplier * (goal / t.error) ** (1.0 / slope))


def _passes(t: Trial, target: float) -> bool:
    return t.error <= target and not t.saturated


@dataclass(frozen=True)
class Estimate:
    """Where one wavelet and threshold meet the target, from two trials with
    log(error) and size taken as straight lines in log(multiplier)."""

    method: str
    threshold: int
    multiplier: float
    nbytes: float
    slope: float  # d log(error) / d log(multiplier)
    tried: tuple[Trial, ...]


def estimate(sig: Signal, method: str, threshold: int, target: float, guess: float,
             coder: str | None) -> Estimate | None:
    """None when this setting cannot reach the target (its error stops
    falling before it gets there)."""
    first = sig.trial(method, threshold, _clamp(guess), coder)
    second = sig.trial(method, threshold, _toward(first, target * (1 - _CLOSE / 2), -1.0),
                       coder)
    tried = (first, second)
    lo, hi = sorted(tried, key=lambda t: t.multiplier)
    span = math.log(hi.multiplier / lo.multiplier) if hi.multiplier > lo.multiplier else 0.0
    falls = (not hi.saturated and span > 0.0
             and (hi.error == 0.0 or lo.error > 0.0 and hi.error < lo.error * 0.95))
    if not falls:
        passing = [t for t in tried if _passes(t, target)]
        if not passing:
            return None
        t = min(passing, key=lambda t: len(t.blob))
        return Estimate(method, threshold, t.multiplier, len(t.blob), -1.0, tried)
    slope = math.log(hi.error / lo.error) / span if hi.error > 0.0 else -1.0
    # Max error is a noisy function of the multiplier; trust the measured
    # slope only near the -1 that quantisation noise gives.
    slope = min(max(slope, -1.6), -0.6)
    m = _toward(lo, target, slope) if lo.error > 0.0 else lo.multiplier
    m = min(max(m, lo.multiplier / 4), hi.multiplier * 4)
    size = len(lo.blob) + (len(hi.blob) - len(lo.blob)) * math.log(m / lo.multiplier) / span
    return Estimate(method, threshold, m, max(size, 0.5 * len(lo.blob)), slope, tried)


def estimates(sig: Signal, methods: tuple[str, ...], target: float, coder: str | None
              ) -> list[Estimate]:
    """Every wavelet without cutoff, then rising thresholds of the best one
    (and of the second when it is close); smallest first."""
    found: list[Estimate] = []
    guess = _first_guess(sig, target)
    for method in methods:
        e = estimate(sig, method, 0, target, guess, coder)
        if e is not None:
            found.append(e)
            guess = e.multiplier
    if not found:
        return found
    leaders = sorted(found, key=lambda e: e.nbytes)
    for leader in leaders[:1] + [e for e in leaders[1:2] if e.nbytes < 1.05 * leaders[0].nbytes]:
        found += _thresholds(sig, leader, target, coder)
    return sorted(found, key=lambda e: e.nbytes)


def _thresholds(sig: Signal, leader: Estimate, target: float, coder: str | None
                ) -> list[Estimate]:
    """Rising cutoff thresholds of one wavelet until two in a row do worse."""
    found: list[Estimate] = []
    guess, smallest, worse = leader.multiplier, leader.nbytes, 0
    for threshold in THRESHOLDS[1:]:
        e = estimate(sig, leader.method, threshold, target, guess * 1.2, coder)
        if e is not None:
            found.append(e)
            guess = e.multiplier
        if e is None or e.nbytes >= smallest:
            worse += 1
            if worse == 2:
                break
        else:
            smallest, worse = e.nbytes, 0
    return found


def settle(sig: Signal, method: str, threshold: int, target: float, m: float, slope: float,
           coder: str | None, slack: float, budget: int) -> tuple[Trial | None, list[Trial]]:
    """Trials from multiplier m until one meets the target with at most
    `slack` to spare, or the budget ends after one met it. The smallest that
    met it, or None when the error stops falling first."""
    tried: list[Trial] = []
    best: Trial | None = None
    lo, hi = 0.0, math.inf  # failing below, passing (or saturating) above
    for _ in range(12):
        t = sig.trial(method, threshold, m, coder)
        tried.append(t)
        if _passes(t, target):
            if best is None or len(t.blob) < len(best.blob):
                best = t
            hi = min(hi, t.multiplier)
            if t.error >= target * (1.0 - slack) or sig.spent[0] + sig.x32.size > budget:
                break
        elif t.saturated or _not_improving(tried, t):
            hi = min(hi, t.multiplier)
        else:
            lo = max(lo, t.multiplier)
        if hi < math.inf and hi / max(lo, 1e-300) < 1.0 + _CLOSE / 4:
            break
        slope = _local_slope(tried, slope)
        if _passes(t, target):
            m = _toward(t, target * (1.0 - slack / 2), slope)
        else:
            # Another failure costs a whole compression more: aim well inside,
            # and never assume the error falls faster than the multiplier rises.
            m = _toward(t, target * (1.0 - slack), max(slope, -1.0))
        if not lo < m < hi:
            m = math.sqrt(lo * hi) if lo > 0 and hi < math.inf else (
                lo * 1.1 if hi == math.inf else hi / 2)
        if m == t.multiplier:
            break
    return best, tried


def _local_slope(tried: list[Trial], slope: float) -> float:
    """d log(error) / d log(multiplier) between the last two trials, when
    they give a usable one; the previous slope otherwise."""
    usable = [t for t in tried[-2:] if t.error > 0 and not t.saturated]
    if len(usable) < 2 or usable[0].multiplier == usable[1].multiplier:
        return slope
    a, b = usable
    measured = math.log(b.error / a.error) / math.log(b.multiplier / a.multiplier)
    return min(max(measured, -2.0), -0.3) if measured < 0 else slope


def _not_improving(tried: list[Trial], t: Trial) -> bool:
    """A larger multiplier that does not lower the error: saturation, or the
    float32 floor of the transform. (Near a target the worst sample moves
    in steps, so small rises are not taken for either.)"""
    coarser = [p for p in tried[:-1] if p.multiplier < t.multiplier]
    return bool(coarser) and t.error > 1.5 * min(p.error for p in coarser)


def finest(sig: Signal, methods: tuple[str, ...], coder: str | None) -> Trial:
    """The smallest error this signal gets: no cutoff, and the multiplier
    raised in quarter octaves from the largest power of two the codec's own
    choice would take, until saturation makes the error jump."""
    best: Trial | None = None
    for method in methods:
        blob = verdalix.compress_signal(sig.x32, verdalix.CompressionOptions(method, 12))
        m = _native.read_header(blob)["multiplier"]
        for _ in range(48):
            t = sig.trial(method, 0, m, coder)
            if t.saturated or m >= _M_MAX:
                break
            if best is None or t.error < best.error:
                best = t
            elif t.error > 1.5 * best.error and best.method == method:
                break
            m *= 2 ** 0.25
    assert best is not None
    return best


class Unreachable(Exception):
    """No setting meets the target; `best` is the finest error there is."""

    def __init__(self, best: float) -> None:
        super().__init__(best)
        self.best = best


def _mean_only(whole: Signal, methods: tuple[str, ...], target: float,
               coder: str | None) -> Trial | None:
    """Multiplier 0 stores only the mean, the smallest container there is;
    its error is known without compressing, so it is tried only when it
    might pass."""
    predicted = {"max_error": whole.mean_only_peak,
                 "rms_error": math.sqrt(whole.variance),
                 "prd": 100.0 if whole.sum_sq > 0 else 0.0}[whole.kind]
    if predicted > target * 1.01:
        return None
    fits = [t for t in (whole.trial(m, 0, 0.0, coder) for m in methods) if t.error <= target]
    return min(fits, key=lambda t: len(t.blob), default=None)


def _first_guess(sig: Signal, target: float) -> float:
    """A multiplier near the target from what quantisation noise usually
    gives: about 0.3 step RMS, about one step at the worst sample."""
    if sig.kind == "max_error":
        return sig.range / max(target, 1e-300)
    rms = target if sig.kind == "rms_error" else target / 100.0 * math.sqrt(sig.variance)
    return 0.3 * sig.range / max(rms, 1e-300)


def find(x32: npt.NDArray[np.float32], kind: str, target: float, method: str | None,
         coder: str | None) -> Trial:
    """The smallest container found whose decoded samples meet the target
    (every trial is a decoded container); Unreachable when none does.

    The work is bounded by samples compressed, not by time, so the same
    call always returns the same container: about two compressions of a
    long signal beyond the probe, more trials for short ones where each is
    cheap."""
    whole = Signal(x32, kind)
    methods = (method,) if method else METHODS
    mean_only = _mean_only(whole, methods, target, coder)
    if mean_only is not None:
        return mean_only
    budget = _BUDGET_PER_SAMPLE * x32.size + _BUDGET_EXTRA
    if x32.size <= 2 * PROBE_LENGTH:
        probe, to_whole, slack = whole, 1.0, _CLOSE
    else:
        probe = probe_of(whole)
        to_whole = whole.range / probe.range if probe.range > 0 else 1.0
        if kind == "max_error":  # more samples, a larger worst one
            to_whole *= 1.0 + 0.012 * math.log2(x32.size / PROBE_LENGTH)
        slack = 2 * _CLOSE
    found: list[Trial] = []
    if target > 0.0:
        for e in _ranked(estimates(probe, methods, target, coder), kind, x32.size):
            if found and whole.spent[0] + 2 * x32.size > budget:
                break
            best, _ = settle(whole, e.method, e.threshold, target, e.multiplier * to_whole,
                             e.slope, coder, slack, budget)
            if best is not None:
                found.append(best)
        if not found:
            # The estimates can all miss where the error is flat in the
            # multiplier (targets near what the mean alone gives).
            best, _ = settle(whole, methods[0], 0, target, _first_guess(whole, target), -1.0,
                             coder, slack, budget)
            found += [best] if best is not None else []
    if found:
        return polish(whole, found, target, coder, budget)
    last_resort = finest(whole, methods, coder)
    if _passes(last_resort, target):
        return last_resort
    raise Unreachable(last_resort.error)


def _ranked(found: list[Estimate], kind: str, n: int) -> list[Estimate]:
    """Estimates by size, with cutoff thresholds handicapped for the worst
    sample of a much longer signal: zeroed coefficients leave a longer tail
    of errors, which grows more from the probe to the whole than the errors
    of plain quantisation do."""
    if kind != "max_error" or n < _LONG_FOR_PROBE * PROBE_LENGTH:
        return found
    handicap = 1.0 + _CUTOFF_HANDICAP * math.log2(n / PROBE_LENGTH)
    return sorted(found, key=lambda e: e.nbytes * (handicap if e.threshold > 0 else 1.0))


def polish(sig: Signal, found: list[Trial], target: float, coder: str | None,
           budget: int) -> Trial:
    """Coarser multipliers, down to half an octave below each setting found
    (smallest first), while the budget lasts: near a target the worst sample
    moves in steps, so a coarser multiplier can land lower."""
    found = sorted(found, key=lambda t: len(t.blob))
    best = found[0]
    for start in found:
        for j in range(1, 13):
            if sig.spent[0] + sig.x32.size > budget:
                return best
            t = sig.trial(start.method, start.threshold, start.multiplier * 2 ** (-j / 24),
                          coder)
            if _passes(t, target) and len(t.blob) < len(best.blob):
                best = t
    return best
