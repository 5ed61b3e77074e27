"""The options both storage codecs carry: validated by building the
CompressionOptions they stand for, and kept in a JSON-ready form."""
from __future__ import annotations

import operator
from typing import Any

from verdalix import CompressionOptions


def validated(method: Any = "cdf97", scale: Any = 11, cutoff: Any = "low", coder: Any = None,
              quant_multiplier: Any = None) -> tuple[dict[str, Any], CompressionOptions]:
    """The configuration as plain JSON values, and the options it builds.

    CompressionOptions raises for anything it refuses, with its own exception
    and message, before any value is converted here.
    """
    options = CompressionOptions(method=method, scale=scale, cutoff=cutoff, coder=coder,
                                 quant_multiplier=quant_multiplier)
    config = {
        "method": str(method),
        "scale": operator.index(scale),
        "cutoff": str(cutoff),
        "coder": None if coder is None else str(coder),
        # Whatever real number was given is rounded to float32 by the codec;
        # the config keeps the given value so it builds the same options.
        "quant_multiplier": None if quant_multiplier is None else float(quant_multiplier),
    }
    return config, options
