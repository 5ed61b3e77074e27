import numpy as np
import pytest

import metrics


def test_prd_is_rms_error_over_range():
    x = np.array([0, 1, 2, 3], dtype=np.float32)
    y = x + np.array([0.1, -0.1, 0.1, -0.1], dtype=np.float32)
    assert metrics.prd_of_range(x, y) == pytest.approx(100 * 0.1 / 3, rel=1e-6)
    assert metrics.prd_of_range(x, x) == 0.0


def test_prd_of_flat_signal():
    x = np.full(8, 2.5, dtype=np.float32)
    assert metrics.prd_of_range(x, x) == 0.0
    assert metrics.prd_of_range(x, x + 1) == float("inf")


def test_errors_are_taken_in_float64():
    # float32 arithmetic would round this difference to 0 or to infinity.
    x = np.array([3e38, 1.0], dtype=np.float32)
    y = np.array([-3e38, 1.0 + 2**-23], dtype=np.float32)
    assert metrics.max_abs_error(x, y) == pytest.approx(6e38, rel=1e-6)
    assert metrics.max_abs_error(x[1:], y[1:]) == 2**-23


def test_ratio_and_throughput_count_float32_input():
    assert metrics.compression_ratio(1000, 400) == 10.0
    t = metrics.throughput(1_000_000, 0.5)
    assert t.mb_per_s == pytest.approx(8.0)
    assert t.samples_per_s == pytest.approx(2e6)


def test_median_of_at_least_five_runs(monkeypatch):
    calls = []
    clock = iter([0, 1, 10, 12, 20, 21, 30, 39, 40, 43, 50, 56, 60, 64])
    monkeypatch.setattr(metrics.time, "perf_counter", lambda: next(clock))
    # Asked for 1 run, it still makes 5: durations 1, 2, 1, 9, 3 -> median 2.
    assert metrics.median_seconds(lambda: calls.append(1), 1) == 2
    assert len(calls) == 5


@pytest.mark.skipif(not metrics.peak_memory_supported(), reason="needs /proc/self/clear_refs")
def test_peak_memory_sees_native_allocations_and_their_release():
    size = 64 * 2**20

    def touch_and_drop():
        a = np.ones(size // 8)  # allocated by NumPy in C, touched in full
        return float(a[-1])

    peak, result = metrics.peak_memory_bytes(touch_and_drop)
    assert result == 1.0
    assert size * 0.9 < peak < size * 1.5
    # The block was freed and handed back: a small call does not inherit it.
    small, _ = metrics.peak_memory_bytes(lambda: np.ones(1000).sum())
    assert small < 8 * 2**20
