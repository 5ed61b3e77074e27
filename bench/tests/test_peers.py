import numpy as np
import pytest

import peers
import signals

USABLE = peers.availability()


def needs(family):
    return pytest.mark.skipif(USABLE[family] is not None, reason=str(USABLE[family]))


SAMPLES = {
    "walk": signals.random_walk(20000),
    "noise": signals.white_noise(20000) * np.float32(1e-3),
    "steps": signals.steps(20000),
}


@needs("quantize+zstd")
@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize("bound", [3e-4, 0.01, 0.3, 4.0])
def test_matched_numcodecs_settings_keep_the_bound_and_are_the_fewest(name, bound):
    x = SAMPLES[name]

    def error(codec):
        return np.max(np.abs(codec.decompress(codec.compress(x), x.size).astype(float) - x))

    digits = peers.quantize_digits_for(bound)
    assert error(peers.quantize_zstd_codec(digits)) <= bound
    keep = peers.bitround_keepbits_for(x, bound)
    assert error(peers.bitround_zstd_codec(keep)) <= bound
    if keep > 0:  # one bit fewer no longer guarantees it: 2^(e - k) > bound
        top = np.floor(np.log2(np.max(np.abs(x))))
        assert 2.0 ** (top - (keep - 1) - 1) > bound
    if digits > 0:
        assert 0.5 * 2.0 ** -np.ceil(np.log2(10.0 ** (digits - 1))) > bound


def test_matched_settings_at_the_edges():
    assert peers.quantize_digits_for(0.0) == 7
    assert peers.quantize_digits_for(10.0) == 0
    assert peers.bitround_keepbits_for(np.zeros(4, np.float32), 0.1) == 0
    assert peers.bitround_keepbits_for(np.ones(4, np.float32), 1e-30) == 23


def round_trip(codec, x):
    blob = codec.compress(x)
    y = np.asarray(codec.decompress(blob, x.size))
    assert y.shape == x.shape and y.dtype == np.float32
    return blob, y


@pytest.mark.parametrize("family", ["pcodec", "zstd"])
def test_lossless_peers_are_exact(family):
    if USABLE[family] is not None:
        pytest.skip(USABLE[family])
    codec = peers.pcodec_codec() if family == "pcodec" else peers.zstd_codec()
    x = SAMPLES["walk"]
    blob, y = round_trip(codec, x)
    assert np.array_equal(x, y) and len(blob) < 4 * x.size


@pytest.mark.parametrize("family", ["zfp", "sz3"])
def test_error_bounded_peers_keep_their_bound(family):
    if USABLE[family] is not None:
        pytest.skip(USABLE[family])
    x = SAMPLES["walk"]
    make = peers.zfp_codec if family == "zfp" else peers.sz3_codec
    for bound in (1e-3, 0.1):
        _, y = round_trip(make(bound), x)
        assert np.max(np.abs(y.astype(float) - x)) <= bound


@needs("verdalix")
def test_verdalix_settings_reach_the_module():
    x = SAMPLES["walk"]
    fine = peers.verdalix_codec(scale=12)
    coarse = peers.verdalix_codec(scale=6, cutoff="high", coder="deflate")
    blob_fine, y_fine = round_trip(fine, x)
    blob_coarse, y_coarse = round_trip(coarse, x)
    assert len(blob_coarse) < len(blob_fine)
    assert np.max(np.abs(y_fine - x)) < np.max(np.abs(y_coarse - x))
    assert blob_fine[:4] == blob_coarse[:4] == b"VRDX"
