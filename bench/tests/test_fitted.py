import math

import numpy as np

import fitted
import peers


def test_normalised_prd_removes_the_mean():
    x = np.array([10.0, 12.0, 10.0, 12.0], np.float32)
    # An error of 0.1 on every sample against a spread of 1 around the mean.
    assert math.isclose(fitted.normalised_prd(x, x + 0.1), 10.0, rel_tol=1e-4)
    assert fitted.normalised_prd(x + 1000, x + 1000.1) > 9.0  # an offset does not help
    flat = np.full(4, 3.0, np.float32)
    assert fitted.normalised_prd(flat, flat) == 0.0
    assert fitted.normalised_prd(flat, flat + 1) == math.inf


def uniform_quantiser(bound: float) -> peers.Codec:
    """A peer whose error is exactly what its bound allows, for the bisection."""
    step = 2 * bound

    def compress(x):
        return np.round(x / step).astype(np.int64).tobytes()

    def decompress(blob, n):
        return (np.frombuffer(blob, np.int64) * step).astype(np.float32)

    return peers.Codec("uniform", f"{bound}", compress, decompress)


def test_bisection_finds_the_largest_bound_within_the_prd():
    x = np.sin(np.arange(5000) / 30.0).astype(np.float32)
    bound, out = fitted.bound_for_prd(x, uniform_quantiser, 2.0)
    assert out["prd"] <= 2.0
    looser = fitted._peer(x, uniform_quantiser(bound * 1.01))
    assert looser["prd"] > 2.0 * 0.98  # no bound much larger also fits
