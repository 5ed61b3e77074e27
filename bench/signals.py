"""Test signals of the comparison: recordings shipped inside packages and
generated ones with fixed seeds, all float32, at the lengths asked for.

Recorded signals shorter than the requested length are tiled (repeated end
to end); longer ones are cut to their first samples.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Callable

import numpy as np

KI = 1024
MI = 1024 * 1024


@dataclass(frozen=True)
class Source:
    name: str
    kind: str  # "recorded" or "generated"
    description: str
    make: Callable[[int], np.ndarray]  # length -> float32 samples


def tiled(base: np.ndarray, n: int) -> np.ndarray:
    base = np.asarray(base, dtype=np.float32).ravel()
    if base.size == 0:
        raise ValueError("empty recording")
    reps = -(-n // base.size)
    return np.tile(base, reps)[:n].copy()


def _pywt_ecg() -> np.ndarray:
    import pywt

    return pywt.data.ecg()


def _pywt_nino() -> np.ndarray:
    import pywt

    _, sst = pywt.data.nino()
    return sst


def _scipy_ecg() -> np.ndarray:
    """SciPy's bundled ECG; only releases up to 1.11 carry it in the package."""
    import scipy.misc

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return scipy.misc.electrocardiogram()


def random_walk(n: int, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.standard_normal(n)).astype(np.float32)


def tones_and_noise(n: int, seed: int = 2) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    x = (np.sin(2 * np.pi * t / 1000.0) + 0.5 * np.sin(2 * np.pi * t / 77.0 + 1.0)
         + 0.25 * np.sin(2 * np.pi * t / 9.3 + 2.0))
    return (x + 0.05 * rng.standard_normal(n)).astype(np.float32)


def chirp(n: int) -> np.ndarray:
    # Frequency sweeps from 0 to a quarter of the sample rate over the signal.
    t = np.arange(n, dtype=np.float64) / max(n, 1)
    return np.sin(2 * np.pi * (0.125 * n) * t * t).astype(np.float32)


def steps(n: int, seed: int = 4) -> np.ndarray:
    rng = np.random.default_rng(seed)
    # Levels change about every 500 samples, at random places.
    edges = np.sort(rng.integers(0, max(n, 1), size=max(n // 500, 1)))
    levels = rng.uniform(-10.0, 10.0, size=edges.size + 1)
    return levels[np.searchsorted(edges, np.arange(n), side="right")].astype(np.float32)


def white_noise(n: int, seed: int = 5) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def sources() -> list[Source]:
    """Every signal the suite knows; recorded ones whose package is missing
    raise when made, so callers can record why they were skipped."""
    return [
        Source("ecg", "recorded", "pywt.data.ecg() (1024 samples, tiled)",
               lambda n: tiled(_pywt_ecg(), n)),
        Source("nino", "recorded", "pywt.data.nino() sea surface temperature (264 samples, tiled)",
               lambda n: tiled(_pywt_nino(), n)),
        Source("scipy_ecg", "recorded",
               "scipy.misc.electrocardiogram() (108000 samples at 360 Hz, tiled)",
               lambda n: tiled(_scipy_ecg(), n)),
        Source("random_walk", "generated", "cumulative sum of N(0, 1), seed 1", random_walk),
        Source("tones", "generated", "three tones plus N(0, 0.05) noise, seed 2",
               tones_and_noise),
        Source("chirp", "generated", "linear chirp from 0 to fs/4", chirp),
        Source("steps", "generated", "piecewise constant, a level about every 500 samples, seed 4",
               steps),
        Source("white_noise", "generated", "N(0, 1), seed 5", white_noise),
    ]
