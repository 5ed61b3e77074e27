"""decompress_signal: what it accepts, its errors, and the array it returns."""
import gc
import struct

import numpy as np
import pytest

from verdalix import CompressionOptions, compress_signal, decompress_signal
from conftest import raised, signal


@pytest.fixture(scope="module")
def blob():
    return compress_signal(signal(1000))


@pytest.mark.parametrize("make, type_text", [
    (bytearray, "'bytearray' object"),
    (memoryview, "'memoryview' object"),
    (lambda b: np.frombuffer(b, np.uint8), "'ndarray' object"),
    (lambda b: b.decode("latin-1"), "'str' object"),
    (lambda b: None, "'None'"),
])
def test_only_bytes_are_accepted(blob, make, type_text):
    raised(TypeError, decompress_signal, make(blob),
           message=f"{type_text} is not an instance of 'bytes'", note="while processing 'data'")


def test_bytes_subclass_is_accepted(blob):
    class Blob(bytes):
        pass
    assert np.array_equal(decompress_signal(Blob(blob)), decompress_signal(blob))


def patched(blob, offset, fmt, value):
    data = bytearray(blob)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


def test_codec_errors_become_value_errors(blob):
    cases = [
        (b"", "Header is invalid"),
        (blob[:51], "Header is invalid"),
        (b"ABCD" + blob[4:], "Magic should be 'VRDX' but it was 'ABCD'"),
        (b"\xff\xff\xff\xff" + blob[4:], "Magic should be 'VRDX' but it was '????'"),
        (patched(blob, 4, "<B", 2), "Invalid header version '\x02\x02'"),
        (patched(blob, 13, "<B", 13), "Only scaled 6..12 is supported, but it was 13"),
        (patched(blob, 14, "<B", 3), "Unknown entropy coder 3"),
        (patched(blob, 28, "<f", float("nan")), "Header is invalid"),
        (blob[:-1], "Can't decompress data, reason: Minimum data size is "
                    f"{len(blob)}, but it was {len(blob) - 1}"),
        (patched(blob, 12, "<B", 0),
         "Can't decompress data, reason: Min supported level is 1 but it was 0"),
        (patched(blob, 16, "<I", 2**31), "Can't decompress data, reason: Can't decompress "
                                         "data bigger than 2147483647, but data was 2147483648"),
    ]
    for data, message in cases:
        raised(ValueError, decompress_signal, data, message=message)


def test_message_keeps_nul_bytes(blob):
    # A byte group rendered as text may hold NUL; the message must not stop there.
    data = blob[:4] + b"\x00\x00" + blob[6:]
    raised(ValueError, decompress_signal, data, message="Invalid header version '\x00\x00'")
    data = blob[:8] + b"c\x00\x007" + blob[12:]
    raised(ValueError, decompress_signal, data, message="Invalid compression method 'c\x00\x007'")


def test_corrupt_payload_is_a_value_error_for_every_coder():
    x = signal(4000)
    for coder in ("cmodel", "arans", "deflate"):
        good = compress_signal(x, CompressionOptions(coder=coder))
        cut = patched(good, 32, "<I", 8)[:60]
        error = raised(ValueError, decompress_signal, cut)
        assert str(error).startswith("Can't decompress data, reason: ")


def test_result_array_shape_and_flags(blob):
    y = decompress_signal(blob)
    assert type(y) is np.ndarray
    assert y.dtype == np.float32 and y.dtype.isnative
    assert y.ndim == 1 and y.shape == (1000,) and y.strides == (4,)
    assert y.flags.writeable and y.flags.c_contiguous and y.flags.aligned
    assert not y.flags.owndata
    assert type(y.base).__name__ == "PySliceContainer"
    assert type(y.base).__module__ == "builtins"
    raised(TypeError, type(y.base))


def test_each_result_owns_its_own_samples(blob):
    a = decompress_signal(blob)
    b = decompress_signal(blob)
    assert not np.shares_memory(a, b)
    assert type(a.base) is type(b.base)
    a[:] = 7.0
    assert not np.any(b == 7.0)


def test_samples_outlive_the_array_through_views():
    y = decompress_signal(compress_signal(signal(5000)))
    view = y[100:200]
    expected = view.copy()
    del y
    gc.collect()
    churn = [decompress_signal(compress_signal(signal(5000, seed))) for seed in range(4)]
    assert np.array_equal(view, expected)
    del churn


def test_zero_sample_container_gives_empty_array():
    zero = patched(compress_signal(signal(5)), 16, "<I", 0)
    y = decompress_signal(zero)
    assert y.shape == (0,) and y.dtype == np.float32
    assert type(y.base).__name__ == "PySliceContainer"


def test_extra_bytes_after_payload_are_ignored(blob):
    assert np.array_equal(decompress_signal(blob + b"\x00garbage"), decompress_signal(blob))
