"""What compress_signal accepts as data, and in which order it checks."""
import numpy as np
import pytest

from verdalix import CompressionOptions, compress_signal, decompress_signal
from conftest import raised, signal

NOT_ARRAY = "expected a 1-D float32 or float64 NumPy array"
LAYOUT = "The given array is not contiguous or is misaligned."
EMPTY = "Unsupported compression configuration 'Can't compress empty data'"


@pytest.mark.parametrize("data", [
    [1.0, 2.0, 3.0],
    np.float32(1.0),
    np.array(1.0, np.float32),
    np.ones((1, 8), np.float32),
    np.ones((2, 4), np.float64),
    np.ones(8, ">f4"),
    np.ones(8, ">f8"),
    np.ones(8, np.float16),
    np.ones(8, np.int16),
    np.ones(8, np.int32),
    np.ones(8, np.complex64),
    np.ones(8, np.longdouble),
    np.ones(8, [("x", np.float32)]),
    memoryview(np.ones(8, np.float32)),
    None,
])
def test_only_1d_native_float_arrays(data):
    raised(ValueError, compress_signal, data, message=NOT_ARRAY)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_strided_and_reversed_arrays_are_refused(dtype):
    x = signal(16).astype(dtype)
    raised(TypeError, compress_signal, x[::2], message=LAYOUT)
    raised(TypeError, compress_signal, x[::-1], message=LAYOUT)
    raised(TypeError, compress_signal, np.ones((8, 2), dtype)[:, 0], message=LAYOUT)


def test_misaligned_array_is_refused():
    raw = np.zeros(4 * 16 + 1, np.uint8)
    misaligned = raw[1:].view(np.float32)
    assert not misaligned.flags.aligned
    raised(TypeError, compress_signal, misaligned, message=LAYOUT)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_empty_array_skips_layout_check(dtype):
    raised(ValueError, compress_signal, np.zeros(0, dtype), message=EMPTY)
    raised(ValueError, compress_signal, np.zeros(4, dtype)[::2][:0], message=EMPTY)


def test_options_are_resolved_before_data():
    raised(TypeError, compress_signal, "not an array", options={},
           message="'dict' object is not an instance of 'CompressionOptions'",
           note="while processing 'options'")
    raised(TypeError, compress_signal, np.zeros(0, np.float32), 11,
           message="'int' object is not an instance of 'CompressionOptions'",
           note="while processing 'options'")
    # ...and data classification before layout.
    raised(ValueError, compress_signal, np.ones(8, ">f4")[::2], message=NOT_ARRAY)


def test_single_element_view_with_odd_stride_is_contiguous():
    x = signal(16)
    assert compress_signal(x[3::100]) == compress_signal(np.array([x[3]]))


def test_subclass_and_read_only_arrays_are_accepted():
    x = signal(500)
    frozen = np.frombuffer(x.tobytes(), np.float32)
    assert not frozen.flags.writeable
    assert compress_signal(frozen) == compress_signal(x)
    assert compress_signal(x.view(np.memmap)) == compress_signal(x)
    assert compress_signal(np.asfortranarray(x)) == compress_signal(x)


def test_input_is_not_modified():
    x = signal(300)
    x[5], x[6], x[7] = np.nan, np.inf, -np.inf
    before = x.tobytes()
    compress_signal(x)
    compress_signal(x.astype(np.float64))
    assert x.tobytes() == before


def test_float64_equals_float32_when_exact():
    x = signal(2000)
    for options in (None, CompressionOptions(method="sym4", coder="deflate", scale=8)):
        assert compress_signal(x.astype(np.float64), options) == compress_signal(x, options)


def test_float64_is_rounded_to_nearest_float32():
    x = signal(1000).astype(np.float64)
    x += 1e-12  # no longer exact in float32
    assert compress_signal(x) == compress_signal(x.astype(np.float32))


def test_float64_beyond_float32_range_becomes_infinity():
    # Infinities are cleaned to 1 and 0 by the codec.
    x = signal(256).astype(np.float64)
    y = x.astype(np.float32)
    x[10], y[10] = 1e300, np.inf
    x[20], y[20] = -1e300, -np.inf
    x[30], y[30] = np.nan, np.nan
    assert compress_signal(x) == compress_signal(y)


def test_container_of_awkward_input_decodes():
    x = np.array([np.nan, np.inf, -np.inf, 0.5] * 50, np.float32)
    y = decompress_signal(compress_signal(x, CompressionOptions(scale=12)))
    cleaned = np.nan_to_num(x, nan=0.0, posinf=1.0, neginf=0.0)
    assert np.all(np.isfinite(y))
    assert np.max(np.abs(y - cleaned)) < 0.01
