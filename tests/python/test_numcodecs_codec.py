"""The numcodecs codec: configuration, what encode accepts, what decode reads
and fills, and the failures it reports."""
import json
import pickle

import numpy as np
import pytest

numcodecs = pytest.importorskip("numcodecs")

import verdalix
from verdalix import CompressionOptions, compress_signal, decompress_signal
from verdalix.numcodecs import Verdalix
from conftest import raised, run_isolated, signal


def test_config_round_trips_through_json_and_pickle():
    for codec in (Verdalix(), Verdalix(method="db4", scale=9, cutoff="high", coder="arans"),
                  Verdalix(quant_multiplier=np.float32(300.5), scale=np.int64(8)),
                  Verdalix(axis=None, max_samples=1000), Verdalix(axis=np.int8(0))):
        config = json.loads(json.dumps(codec.get_config()))
        assert config["id"] == "verdalix"
        assert Verdalix.from_config({k: v for k, v in config.items() if k != "id"}) == codec
        assert numcodecs.get_codec(config) == codec
        assert pickle.loads(pickle.dumps(codec)) == codec
    assert Verdalix(scale=9) != Verdalix(scale=10)
    assert type(Verdalix(scale=np.int64(8)).scale) is int
    assert Verdalix().get_config()["axis"] == -1
    assert Verdalix().get_config()["max_samples"] == 2**26
    raised(TypeError, Verdalix, axis=1.0, message="axis must be an int or None, not 'float'")
    raised(ValueError, Verdalix, axis=40,
           message="axis must be within -32 to 31 (chunks have at most 32 dimensions), but it "
                   "was 40")
    raised(ValueError, Verdalix, max_samples=-1, message="max_samples must be >= 0, but it was -1")


@pytest.mark.parametrize("kwargs", [
    {"method": "haar"}, {"scale": 13}, {"scale": 5}, {"cutoff": "none"}, {"coder": "lz4"},
    {"method": 3}, {"scale": 2.5}, {"quant_multiplier": "big"},
])
def test_bad_configs_fail_like_compression_options(kwargs):
    with pytest.raises(Exception) as expected:
        CompressionOptions(**kwargs)
    raised(type(expected.value), Verdalix, message=expected.value.args[0],
           note=getattr(expected.value, "__notes__", [None])[0], **kwargs)


def _codec_types():
    types = [Verdalix]
    try:
        from verdalix.zarr import Verdalix as ZarrVerdalix
    except ImportError:
        return types
    return types + [ZarrVerdalix]


@pytest.mark.parametrize("multiplier", [-1.0, -np.inf, np.inf, np.nan, 1e39, 1e-39,
                                        np.float64(-3.0), -1])
def test_a_multiplier_the_reader_cannot_honour_is_refused_at_construction(multiplier):
    """Whatever compress_signal refuses for every input never reaches an
    array's metadata: both codecs refuse it when built, with its message."""
    messages = set()
    for data in (signal(100), np.zeros(1, np.float32), signal(5000).astype(np.float64)):
        with pytest.raises(ValueError) as expected:
            compress_signal(data, CompressionOptions(quant_multiplier=multiplier))
        messages.add(expected.value.args[0])
    (message,) = messages  # the same for every input
    for codec_type in _codec_types():
        raised(ValueError, codec_type, quant_multiplier=multiplier, message=message)


@pytest.mark.parametrize("kwargs", [
    {"quant_multiplier": 0}, {"quant_multiplier": -0.0}, {"quant_multiplier": 1.2e-38},
    {"quant_multiplier": 3.4e38}, {"quant_multiplier": 10**30}, {"max_error": 0.0},
    {"prd": 1e308, "method": "db4"}, {"rms_error": np.float32(0.5), "coder": "deflate"},
])
def test_every_accepted_config_is_strict_json(kwargs):
    for codec_type in _codec_types():
        codec = codec_type(**kwargs)
        config = codec.get_config() if codec_type is Verdalix else codec.to_dict()
        text = json.dumps(config, allow_nan=False)  # NaN or Infinity would raise here
        assert json.loads(text) == config


def test_flattened_chunks_of_any_shape_give_compress_signals_container():
    options = dict(method="sym4", scale=10, coder="deflate")
    codec = Verdalix(**options, axis=None)
    flat = signal(6000)
    for chunk in (flat, flat.reshape(3, 2000), flat.reshape(2, 3, 1000),
                  np.float32(2.5).reshape(())):
        expected = compress_signal(np.ravel(chunk), CompressionOptions(**options))
        assert codec.encode(chunk) == expected
        assert Verdalix(**options).encode(chunk.reshape(1, -1)) == expected
    # float64 is framed (the frame records the dtype) around the same container.
    wide = flat.astype(np.float64).reshape(4, 1500)
    blob = codec.encode(wide)
    assert blob.endswith(compress_signal(wide.ravel(), CompressionOptions(**options)))
    assert verdalix._native.describe_chunk(blob) == (True, "float64", (4, 1500), None)
    # A read-only chunk is read in place like any other.
    frozen = flat.copy()
    frozen.flags.writeable = False
    assert codec.encode(frozen) == codec.encode(flat)


@pytest.mark.parametrize("chunk, error, text", [
    (np.arange(10, dtype=np.int64), TypeError, "not int64"),
    (np.ones(10, np.complex64), TypeError, "not complex64"),
    (np.ones(10, np.float16), TypeError, "not float16"),
    (np.ones(10, bool), TypeError, "not bool"),
    (np.ones(10, ">f4"), TypeError, "not >f4"),
    (np.ones(10, ">i2"), TypeError, "not >i2"),
])
def test_encode_names_what_it_refuses(chunk, error, text):
    with pytest.raises(error) as info:
        Verdalix().encode(chunk)
    assert text in str(info.value)


def test_decode_reads_every_bytes_like_in_place():
    samples = signal(4000)
    blob = compress_signal(samples)
    expected = decompress_signal(blob)
    padded = b"\x00" * 13 + blob + b"tail"
    inputs = [blob, bytearray(blob), memoryview(blob), np.frombuffer(blob, np.uint8),
              memoryview(padded)[13:13 + len(blob)],
              np.frombuffer(padded, np.uint8)[13:13 + len(blob)]]
    codec = Verdalix()
    for data in inputs:
        decoded = codec.decode(data)
        assert decoded.dtype == np.float32 and np.array_equal(decoded, expected)


def test_decode_fills_out_of_either_float_type():
    blob = compress_signal(signal(3000))
    expected = decompress_signal(blob)
    codec = Verdalix()
    for out in (np.empty(3000, np.float32), np.empty((3, 1000), np.float64)):
        assert codec.decode(blob, out=out) is out
        assert np.array_equal(out.ravel(), expected.astype(out.dtype))
    # A float32 view of a bytearray is filled like an array.
    raw = bytearray(4 * 3000)
    codec.decode(blob, out=np.frombuffer(raw, np.float32))
    assert np.array_equal(np.frombuffer(raw, np.float32), expected)


def read_only(array):
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("out, error, text", [
    (np.empty(2999, np.float32), ValueError,
     "The container holds 3000 samples, but out has 2999"),
    (np.empty(3001, np.float64), ValueError,
     "The container holds 3000 samples, but out has 3001"),
    (np.empty(3000, np.int32), ValueError, "holds float32 samples, not int32"),
    (np.empty(3000, np.int64), ValueError, "holds 3000 samples, but out has 6000"),
    (read_only(np.zeros(3000, np.float32)), ValueError, "read-only"),
])
def test_decode_refuses_an_unfit_out_before_decoding(out, error, text):
    before = out.copy()
    with pytest.raises(error) as info:
        Verdalix().decode(compress_signal(signal(3000)), out=out)
    assert text in str(info.value)
    assert np.array_equal(out, before, equal_nan=True)


def test_corrupt_containers_fail_with_the_codecs_message():
    blob = compress_signal(signal(3000))
    codec = Verdalix()
    for bad in (blob[:40], b"VRDY" + blob[4:], blob[:-7], blob[:52] + bytes(len(blob) - 52)):
        with pytest.raises(ValueError) as expected:
            decompress_signal(bad)
        raised(ValueError, codec.decode, bad, message=expected.value.args[0])
        raised(ValueError, codec.decode, bad, out=np.empty(3000, np.float32),
               message=expected.value.args[0])
    # And the codec is none the worse for it.
    assert np.array_equal(codec.decode(blob), decompress_signal(blob))


def hostile(blob, count):
    """The container with its header's sample count replaced."""
    return blob[:16] + int(count).to_bytes(4, "little") + blob[20:]


def test_declared_count_is_checked_against_the_chunk_before_decoding():
    blob = compress_signal(signal(3000))
    huge = hostile(blob, 2**31 - 1)
    raised(ValueError, verdalix._native.decode, huge, 3000,
           message="The container holds 2147483647 samples, but the chunk has 3000")
    raised(ValueError, Verdalix().decode, huge, out=np.empty(3000, np.float32),
           message="The container holds 2147483647 samples, but out has 3000")
    # The count the chunk has is decoded as usual.
    assert np.array_equal(verdalix._native.decode(blob, 3000), decompress_signal(blob))


def test_missing_dependency_names_the_extra():
    out = run_isolated("""
        import sys
        for blocked, module in (("numcodecs", "verdalix.numcodecs"), ("zarr", "verdalix.zarr")):
            sys.modules[blocked] = None
            try:
                __import__(module)
            except ImportError as error:
                print("verdalix[zarr]" in str(error))
            del sys.modules[blocked]
        """)
    assert out == ["True", "True"]


def test_fresh_interpreter_finds_the_codec_by_id():
    out = run_isolated("""
        import sys, numcodecs
        codec = numcodecs.get_codec({"id": "verdalix", "scale": 9, "coder": "arans"})
        print(type(codec).__module__, codec.scale, codec.coder)
        """)
    assert out == ["verdalix.numcodecs", "9", "arans"]
