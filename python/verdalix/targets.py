"""Compress to the error a user can accept.

`fit_options` searches the codec's settings (wavelet, cutoff, scale and the
quantisation multiplier) for the smallest container whose decoded samples
meet one target; `compress_within` returns that container. Errors compare
x, the samples as the codec compresses them (float32, with NaN as 0, +inf as
1 and -inf as 0), with y, the decoded samples:

- ``max_error`` = ``max(abs(x - y))``, in the signal's units;
- ``rms_error`` = sqrt(mean((x - y)^2)), in the signal's units;
- ``prd`` = 100 * sqrt(sum((x - y)^2) / sum((x - mean(x))^2)), in percent
  (the normalised PRD: the mean is removed, so an offset cannot flatter it;
  a constant signal meets every target exactly).

The returned container always meets the target: it was decoded and measured
before it was returned. A target that no setting reaches raises ValueError
with the best error the codec reaches on that signal.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import SupportsFloat

import numpy as np
import numpy.typing as npt

import verdalix
from verdalix import _search

__all__ = ["Fit", "fit_options", "compress_within"]

_CODER_NAMES = {None: "cmodel", "auto": "cmodel", "cmodel": "cmodel", "arans": "arans",
                "deflate": "deflate"}


@dataclass(frozen=True)
class Fit:
    """The settings found for a target and what they achieve.

    ``compress_signal(data, fit.options)`` gives the same container again,
    byte for byte. ``method``, ``scale``, ``cutoff``, ``coder`` and
    ``quant_multiplier`` spell out ``options`` (which has no attributes)."""

    options: verdalix.CompressionOptions
    nbytes: int
    max_error: float
    rms_error: float
    prd: float
    method: str
    scale: int
    cutoff: str
    coder: str
    quant_multiplier: float


def _target(function: str, max_error: object, rms_error: object,
            prd: object) -> tuple[str, float]:
    given = [(name, value) for name, value in
             (("max_error", max_error), ("rms_error", rms_error), ("prd", prd))
             if value is not None]
    if not given:
        raise TypeError(f"{function}() needs one target: max_error, rms_error or prd")
    if len(given) > 1:
        names = " and ".join(name for name, _ in given)
        raise TypeError(f"{function}() takes one target, but {names} were given")
    name, value = given[0]
    if isinstance(value, bool) or not isinstance(value, SupportsFloat):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__!r}")
    number = float(value)
    if not math.isfinite(number) or number < 0.0:
        raise ValueError(f"{name} must be a finite number >= 0, but it was {number!r}")
    return name, number


def _samples(data: object) -> npt.NDArray[np.float32]:
    """The samples exactly as compress_signal reads them."""
    if not (isinstance(data, np.ndarray) and data.ndim == 1
            and data.dtype in (np.float32, np.float64) and data.dtype.isnative):
        raise ValueError("expected a 1-D float32 or float64 NumPy array")
    if data.size == 0:
        verdalix.compress_signal(data)  # raises the codec's own message
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # float64 beyond float32 -> inf
        return np.ascontiguousarray(data, dtype=np.float32)


def _search_fit(function: str, data: object, max_error: object, rms_error: object,
                prd: object, method: str | None, coder: str | None
                ) -> tuple[Fit, bytes]:
    kind, target = _target(function, max_error, rms_error, prd)
    # Unknown names get the codec's own messages.
    verdalix.CompressionOptions(method=method or "cdf97", coder=coder)
    x32 = _samples(data)
    try:
        trial = _search.find(x32, kind, target, method, coder)
    except _search.Unreachable as e:
        raise ValueError(f"no setting reaches {kind}={target:g} on this signal; "
                         f"the finest reaches {kind}={e.best:.6g}") from None
    return _fit_of(trial, coder), trial.blob


def _fit_of(trial: _search.Trial, coder: str | None) -> Fit:
    scale, cutoff = _search.setting_for(trial.threshold, trial.multiplier)
    options = verdalix.CompressionOptions(method=trial.method, scale=scale, cutoff=cutoff,
                                          coder=coder, quant_multiplier=trial.multiplier)
    peak, rms, prd = trial.errors
    return Fit(options=options, nbytes=len(trial.blob), max_error=peak, rms_error=rms,
               prd=prd, method=trial.method, scale=scale, cutoff=cutoff,
               coder=_CODER_NAMES[coder], quant_multiplier=trial.multiplier)


def fit_options(data: npt.NDArray[np.float32] | npt.NDArray[np.float64], *,
                max_error: SupportsFloat | None = None,
                rms_error: SupportsFloat | None = None,
                prd: SupportsFloat | None = None,
                method: str | None = None, coder: str | None = None) -> Fit:
    """The settings of the smallest container found whose decoded samples
    meet the one target given (see the module's doc for the definitions).

    ``method`` fixes the wavelet ("cdf97", "cdf53", "db4", "sym4"), else all
    are tried; ``coder`` is used as ``CompressionOptions`` takes it.
    Raises TypeError for no target or several, ValueError for a negative,
    NaN or infinite one, and ValueError with the finest error reachable when
    no setting meets it."""
    return _search_fit("fit_options", data, max_error, rms_error, prd, method, coder)[0]


def compress_within(data: npt.NDArray[np.float32] | npt.NDArray[np.float64], *,
                    max_error: SupportsFloat | None = None,
                    rms_error: SupportsFloat | None = None,
                    prd: SupportsFloat | None = None,
                    method: str | None = None, coder: str | None = None) -> bytes:
    """The container of ``fit_options(data, ...)``: the smallest found whose
    decoded samples meet the target. It is decoded and measured before it
    is returned, so it always does."""
    return _search_fit("compress_within", data, max_error, rms_error, prd, method, coder)[1]
