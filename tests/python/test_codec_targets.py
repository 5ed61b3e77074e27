"""Storage codecs fitted to an error target: the target in the configuration,
each chunk's container the search's for that chunk, the bound kept on every
chunk of a stored array, and the refusals of mixed or malformed settings."""
import json

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
numcodecs = pytest.importorskip("numcodecs")

from verdalix import decompress_signal
from verdalix import numcodecs as vnumcodecs
from verdalix import targets
from verdalix import zarr as vzarr
from verdalix._native import read_header
from conftest import raised, signal


def test_target_configs_round_trip_and_plain_ones_stay_as_they_were():
    codec = vnumcodecs.Verdalix(max_error=0.02, coder="arans")
    config = json.loads(json.dumps(codec.get_config()))
    assert (config["max_error"], config["coder"], config["method"]) == (0.02, "arans", None)
    assert numcodecs.get_codec(config) == codec != vnumcodecs.Verdalix(max_error=0.03)
    assert "max_error" not in vnumcodecs.Verdalix().get_config()
    assert vnumcodecs.Verdalix().get_config()["method"] == "cdf97"
    v3 = vzarr.Verdalix(prd=2.5, method="db4")
    assert v3.to_dict()["configuration"]["prd"] == 2.5
    assert vzarr.Verdalix.from_dict(v3.to_dict()) == v3
    assert "prd" not in vzarr.Verdalix().to_dict()["configuration"]


@pytest.mark.parametrize("codec_type", [vnumcodecs.Verdalix, vzarr.Verdalix])
def test_mixed_or_malformed_targets_are_refused(codec_type):
    raised(TypeError, codec_type, max_error=0.1, prd=1.0,
           message="Verdalix() takes one target, but max_error and prd were given")
    raised(TypeError, codec_type, max_error=0.1, scale=9,
           message="Verdalix() takes a target (max_error) instead of scale, cutoff and "
                   "quant_multiplier, not both")
    raised(TypeError, codec_type, rms_error=0.1, quant_multiplier=100.0)
    raised(ValueError, codec_type, prd=-1.0)
    raised(ValueError, codec_type, max_error=float("nan"))
    with pytest.raises(ValueError, match="Unknown method"):
        codec_type(max_error=0.1, method="haar")


def test_each_line_of_a_chunk_is_fitted_on_its_own():
    chunk = signal(6000, seed=3).reshape(2, 3000)
    chunk[1] *= 30  # a louder channel beside a quiet one
    codec = vnumcodecs.Verdalix(max_error=0.01, method="cdf53")
    blob = codec.encode(chunk)
    back = codec.decode(blob)
    assert np.abs(back - chunk).max() <= 0.01
    # One line alone is a bare container, fitted natively with the fixed wavelet.
    line = codec.encode(chunk[:1])
    assert read_header(line)["method"] == "cdf53"
    assert np.abs(decompress_signal(line) - chunk[0]).max() <= 0.01
    # float64 chunks are bounded against the float64 samples themselves.
    wide = chunk.astype(np.float64) + 1e-4
    assert np.abs(codec.decode(codec.encode(wide)) - wide).max() <= 0.01
    with pytest.raises(ValueError, match="no setting reaches"):
        vnumcodecs.Verdalix(max_error=0.0).encode(chunk)


def test_integer_targets_are_in_counts():
    counts = np.round(signal(8000, seed=4) * 2000).astype(np.int16).reshape(4, 2000)
    for bound, worst in ((0.49, 0), (2.5, 2)):
        codec = vnumcodecs.Verdalix(max_error=bound)
        back = codec.decode(codec.encode(counts))
        assert back.dtype == np.int16
        assert np.abs(back.astype(int) - counts).max() <= worst
    codec = vnumcodecs.Verdalix(prd=1.0)
    back = codec.decode(codec.encode(counts)).astype(float)
    for line, original in zip(back, counts.astype(float)):
        spread = np.sum((original - original.mean()) ** 2)
        assert 100 * np.sqrt(np.sum((line - original) ** 2) / spread) <= 1.0


@pytest.mark.parametrize("fmt", [2, 3])
def test_every_stored_chunk_keeps_the_bound(tmp_path, fmt):
    bound = 0.005
    data = signal(20000, seed=5).reshape(2, 10000) * np.float32(3.0)
    if fmt == 3:
        array = zarr.create_array(tmp_path / "a.zarr", shape=data.shape, chunks=(1, 4096),
                                  dtype="f4", serializer=vzarr.Verdalix(max_error=bound),
                                  compressors=None)
    else:
        array = zarr.create_array(tmp_path / "a.zarr", shape=data.shape, chunks=(1, 4096),
                                  dtype="f4", zarr_format=2,
                                  compressors=vnumcodecs.Verdalix(max_error=bound))
    array[:] = data
    back = zarr.open_array(tmp_path / "a.zarr", mode="r")[:]
    assert np.abs(back - data).max() <= bound
    # Tighter than the plain default would be, and not lossless.
    assert 0.0 < np.abs(back - data).max()
