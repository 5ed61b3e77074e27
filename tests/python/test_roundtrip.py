"""Round trips through every option, and the reference containers."""
import itertools

import numpy as np
import pytest

from verdalix import CompressionOptions, compress_signal, decompress_signal
from conftest import signal

METHODS = ["cdf97", "cdf53", "db4", "sym4"]
CODERS = [None, "auto", "cmodel", "arans", "deflate"]


def options_of(case):
    return CompressionOptions(method=case["method"], coder=case["coder"], scale=case["scale"],
                              cutoff=case["cutoff"])


def test_reference_containers_decode_bit_exactly(reference_containers):
    for case in reference_containers:
        decoded = decompress_signal(bytes.fromhex(case["container"]))
        assert decoded.tobytes().hex() == case["decoded"], case


def test_reference_containers_are_reproduced(reference_containers):
    for case in reference_containers:
        samples = np.frombuffer(bytes.fromhex(case["samples"]), "<f4")
        blob = compress_signal(samples, options_of(case))
        if case["coder"] == "deflate":
            # Another zlib may emit other DEFLATE bytes for the same input;
            # the header and what the payload decodes to are fixed.
            expected = bytes.fromhex(case["container"])
            assert blob[:32] == expected[:32] and blob[36:52] == expected[36:52]
            assert decompress_signal(blob).tobytes().hex() == case["decoded"]
        else:
            assert blob.hex() == case["container"], case


def max_relative_error(x, y):
    span = float(x.max() - x.min())
    return float(np.max(np.abs(x.astype(np.float64) - y))) / span


# Bounds on the maximum error relative to the signal range at cutoff "low",
# about twice what this signal shows: each scale step halves the quantisation
# step (scale 12 lowers the multiplier where the approximation would saturate).
ERROR_BOUND = {6: 0.04, 7: 0.02, 8: 0.012, 9: 0.006, 10: 0.0036, 11: 0.0018, 12: 0.0015}


@pytest.mark.parametrize("method, coder", list(itertools.product(METHODS, CODERS)))
def test_every_method_and_coder_round_trips(method, coder):
    x = signal(3001, seed=1)
    for scale in range(6, 13):
        blob = compress_signal(x, CompressionOptions(method=method, coder=coder, scale=scale))
        y = decompress_signal(blob)
        assert y.shape == x.shape
        assert max_relative_error(x, y) < ERROR_BOUND[scale], (method, coder, scale)


def test_cutoff_trades_error_for_size():
    x = signal(20000, seed=2)
    sizes, errors = [], []
    for cutoff in ("low", "medium", "high"):
        blob = compress_signal(x, CompressionOptions(cutoff=cutoff, scale=12))
        sizes.append(len(blob))
        errors.append(max_relative_error(x, decompress_signal(blob)))
    assert sizes[0] > sizes[1] > sizes[2]
    assert errors[0] < errors[1] < errors[2] < 0.015


def test_auto_cmodel_and_none_give_identical_containers():
    x = signal(777)
    blobs = {compress_signal(x, CompressionOptions(coder=c)) for c in (None, "auto", "cmodel")}
    assert len(blobs) == 1


@pytest.mark.parametrize("n", [1, 2, 3, 7, 9, 10, 11, 19, 20, 79, 80, 1023, 1024, 1025])
def test_any_length_round_trips(n):
    x = signal(n, seed=n) * 100
    for method in METHODS:
        y = decompress_signal(compress_signal(x, CompressionOptions(method=method)))
        assert y.shape == (n,)
        if n > 1:
            assert max_relative_error(x, y) < 0.002, method


def test_constant_signal_decodes_exactly():
    x = np.full(1000, 3.5, np.float32)
    assert np.array_equal(decompress_signal(compress_signal(x)), x)


def test_caller_multiplier_is_honoured():
    x = signal(1000)
    coarse = compress_signal(x, CompressionOptions(quant_multiplier=64.0))
    fine = compress_signal(x, CompressionOptions(quant_multiplier=8000.0))
    assert len(coarse) < len(fine)
    assert max_relative_error(x, decompress_signal(fine)) < max_relative_error(
        x, decompress_signal(coarse))
    zero = decompress_signal(compress_signal(x, CompressionOptions(quant_multiplier=0.0)))
    assert np.ptp(zero) == 0.0  # all-zero bands come back as the mean


@pytest.mark.parametrize("amplitude", [4e-6, 1e-30, 2e-39])
def test_small_units_keep_their_shape(amplitude):
    # Strain or volts in SI units, down to a subnormal range: these used to
    # decode as a constant. Only a range whose inverse overflows is flat.
    t = np.arange(3000, dtype=np.float32)
    x = (np.sin(t * np.float32(0.01)) * np.float32(amplitude)).astype(np.float32)
    assert max_relative_error(x, decompress_signal(compress_signal(x))) < 0.002


def test_saturating_multiplier_is_lowered_to_one_that_fits():
    x = (100 * np.sin(np.arange(4096, dtype=np.float32) * np.float32(0.01))).astype(np.float32)
    blob = compress_signal(x, CompressionOptions(quant_multiplier=2.0**14))
    used = np.frombuffer(blob[36:40], "<f4")[0]
    assert used < 2.0**14
    # Used unchanged, 2**14 clipped the deepest coefficients: error 47.
    assert float(np.max(np.abs(decompress_signal(blob) - x))) < 0.05
    assert compress_signal(x, CompressionOptions(quant_multiplier=float(used))) == blob
