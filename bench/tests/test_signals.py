import numpy as np
import pytest

import signals


def makeable(source):
    try:
        source.make(4)
        return True
    except ImportError:
        return False


@pytest.mark.parametrize("source", signals.sources(), ids=lambda s: s.name)
@pytest.mark.parametrize("n", [1, 1000, 70000])
def test_every_signal_has_the_length_and_is_reproducible(source, n):
    if not makeable(source):
        pytest.skip(f"{source.name}: its package is not installed")
    x = source.make(n)
    assert x.dtype == np.float32 and x.shape == (n,)
    assert np.all(np.isfinite(x))
    assert np.array_equal(x, source.make(n))
    if n > 1:
        assert x.max() > x.min()


def test_tiling_repeats_and_cuts():
    base = np.arange(5, dtype=np.float64)
    assert signals.tiled(base, 12).tolist() == [0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1]
    assert signals.tiled(base, 3).tolist() == [0, 1, 2]
    assert signals.tiled(base, 3).dtype == np.float32
    with pytest.raises(ValueError):
        signals.tiled(np.array([]), 3)


def test_generated_signals_have_their_shape():
    s = signals.steps(100_000)
    levels = np.count_nonzero(np.diff(s)) + 1
    assert 100 <= levels <= 201  # a level about every 500 samples
    c = signals.chirp(4096)
    assert np.max(np.abs(c)) <= 1.0
    # Zero crossings grow towards the end as the frequency rises.
    crossings = np.flatnonzero(np.diff(np.sign(c)))
    assert np.count_nonzero(crossings > 3072) > 2 * np.count_nonzero(crossings < 1024)
    w = signals.white_noise(100_000)
    assert abs(float(w.mean())) < 0.02 and abs(float(w.std()) - 1) < 0.02
    # Different generators do not share a seed by accident.
    assert not np.array_equal(np.diff(signals.random_walk(1000)), signals.white_noise(999))
