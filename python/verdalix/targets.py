"""Compress to the error a user can accept.

`compress_within` returns the smallest container found whose decoded
samples meet one target; `fit_options` describes it. Errors compare x, the
caller's own samples (float64 input as float64, not its float32 copy), with
y, the decoded samples, over the samples that are finite (NaN and infinite
samples carry no bound; the codec stores them as 0 and 1):

- ``max_error`` = ``max(abs(x - y))``, in the signal's units;
- ``rms_error`` = sqrt(mean((x - y)^2)), in the signal's units;
- ``prd`` = 100 * sqrt(sum((x - y)^2) / sum((x - mean(x))^2)), in percent
  (the normalised PRD: the mean is removed, so an offset cannot flatter it;
  a constant signal meets every target exactly).

The fitting runs in the native codec with the GIL released. For
``max_error`` it moves individual quantised coefficients so that every
sample lands within the bound with fewer bits than plain rounding needs;
``rms_error`` and ``prd`` search the multiplier and the cutoff. The
returned container always meets the target: it was decoded by the
decoder itself and measured against the caller's samples before it was
returned. A target that no setting reaches (including a ``max_error``
below half the float32 spacing of some sample) raises ValueError with the
finest error the codec reaches on that signal, after a bounded effort.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import SupportsFloat

import numpy as np
import numpy.typing as npt

import verdalix
from verdalix import _native

__all__ = ["Fit", "fit_options", "compress_within"]

_KINDS = ("max_error", "rms_error", "prd")
_CODER_NAMES = {None: "cmodel", "auto": "cmodel", "cmodel": "cmodel", "arans": "arans",
                "deflate": "deflate"}


@dataclass(frozen=True)
class Fit:
    """The container found for a target, its settings and what it achieves.

    ``container`` is the container itself (what ``compress_within``
    returns). When ``options_reproduce`` is true, ``compress_signal(data,
    fit.options)`` gives that container again, byte for byte (plain
    quantisation: ``rms_error`` and ``prd`` targets, and ``max_error``
    targets the bound-aware quantiser left to plain rounding). When it is
    false (most ``max_error`` fits), the container's coefficients were
    placed one by one for the bound: ``fit.options`` then gives a container
    with the same wavelet, multiplier and coder, plainly rounded, which is
    neither the same bytes nor bound to meet the target. ``method``,
    ``scale``, ``cutoff``, ``coder`` and ``quant_multiplier`` spell out
    ``options`` (which has no attributes). ``levels`` is the container's
    level count: a ``max_error`` fit may decompose in one level (steps,
    recordings that loop) or past the compressor's eight (a random walk at
    a loose bound) where that writes a smaller container, which no options
    ask for."""

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
    container: bytes
    options_reproduce: bool
    levels: int


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


def _samples(data: object) -> npt.NDArray[np.float32] | npt.NDArray[np.float64]:
    """The caller's samples, contiguous, in their own precision."""
    if not (isinstance(data, np.ndarray) and data.ndim == 1
            and data.dtype in (np.float32, np.float64) and data.dtype.isnative):
        raise ValueError("expected a 1-D float32 or float64 NumPy array")
    if data.size == 0:
        verdalix.compress_signal(data)  # raises the codec's own message
    return np.ascontiguousarray(data)


def _fit(function: str, data: object, max_error: object, rms_error: object,
         prd: object, method: str | None, coder: str | None) -> tuple[Fit, bytes]:
    kind, target = _target(function, max_error, rms_error, prd)
    # Unknown names get the codec's own messages.
    request = verdalix.CompressionOptions(method=method or "cdf97", coder=coder)
    x = _samples(data)
    blob, multiplier, scale, cutoff, errors, reproduce = _native.fit(
        x, _KINDS.index(kind), target, request, method is not None)
    header = _native.read_header(blob)
    # Left open, the coder is the fitter's choice: raw DEFLATE where it
    # writes the smaller container.
    if header["coder"] != _CODER_NAMES[coder]:
        coder = header["coder"]
    options = verdalix.CompressionOptions(method=header["method"], scale=scale, cutoff=cutoff,
                                          coder=coder, quant_multiplier=multiplier)
    peak, rms, prd_ = errors
    fit = Fit(options=options, nbytes=len(blob), max_error=peak, rms_error=rms, prd=prd_,
              method=header["method"], scale=scale, cutoff=cutoff, coder=_CODER_NAMES[coder],
              quant_multiplier=multiplier, container=blob, options_reproduce=reproduce,
              levels=header["levels"])
    return fit, blob


# The command line's name for the call above (it predates the native fitter).
_search_fit = _fit


def fit_options(data: npt.NDArray[np.float32] | npt.NDArray[np.float64], *,
                max_error: SupportsFloat | None = None,
                rms_error: SupportsFloat | None = None,
                prd: SupportsFloat | None = None,
                method: str | None = None, coder: str | None = None) -> Fit:
    """The smallest container found whose decoded samples meet the one
    target given (see the module's doc for the definitions), with its
    settings and errors.

    ``method`` fixes the wavelet ("cdf97", "cdf53", "db4", "sym4"), else all
    are tried; ``coder`` fixes the entropy coder as ``CompressionOptions``
    takes it, else (``None`` or "auto") the coefficient stream model is used
    unless raw DEFLATE writes a smaller container (a signal that repeats).
    Raises TypeError for no target or several, ValueError for a negative,
    NaN or infinite one, and ValueError with the finest error reachable when
    no setting meets it."""
    return _fit("fit_options", data, max_error, rms_error, prd, method, coder)[0]


def compress_within(data: npt.NDArray[np.float32] | npt.NDArray[np.float64], *,
                    max_error: SupportsFloat | None = None,
                    rms_error: SupportsFloat | None = None,
                    prd: SupportsFloat | None = None,
                    method: str | None = None, coder: str | None = None) -> bytes:
    """The container of ``fit_options(data, ...)``: the smallest found whose
    decoded samples meet the target. It is decoded and measured before it
    is returned, so it always does."""
    return _fit("compress_within", data, max_error, rms_error, prd, method, coder)[1]
