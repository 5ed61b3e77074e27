"""CompressionOptions: conversion, then validation, and their messages."""
import numpy as np
import pytest

from verdalix import CompressionOptions, compress_signal
from conftest import raised, signal

METHOD_TAIL = ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"
CUTOFF_TAIL = ", expected 'low' or 'medium' or 'high'"
CODER_TAIL = ", expected 'auto', 'deflate', 'arans'"
RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 64.0


@pytest.mark.parametrize("parameter", ["method", "cutoff", "coder"])
@pytest.mark.parametrize("value, type_text", [(b"cdf97", "'bytes' object"), (3, "'int' object"),
                                              (np.str_, "'type' object")])
def test_text_parameters_must_be_str(parameter, value, type_text):
    raised(TypeError, CompressionOptions, **{parameter: value},
           message=f"{type_text} is not an instance of 'str'",
           note=f"while processing '{parameter}'")


def test_none_is_only_a_coder_default():
    raised(TypeError, CompressionOptions, method=None,
           message="'None' is not an instance of 'str'", note="while processing 'method'")
    raised(TypeError, CompressionOptions, cutoff=None,
           message="'None' is not an instance of 'str'", note="while processing 'cutoff'")
    CompressionOptions(coder=None, quant_multiplier=None)


def test_str_subclass_is_accepted():
    class Name(str):
        pass
    CompressionOptions(method=Name("sym4"), coder=Name("cmodel"))


def test_lone_surrogate_raises_cpython_encode_error():
    error = raised(UnicodeEncodeError, CompressionOptions, cutoff="lo\udcffw",
                   note="while processing 'cutoff'")
    assert error.encoding == "utf-8"


@pytest.mark.parametrize("value", [6, 12, True * 7, Index(9), np.int64(10)])
def test_scale_accepts_integers(value):
    CompressionOptions(scale=value)


@pytest.mark.parametrize("value", [-1, 256, 2**63, -(2**63) - 1])
def test_scale_out_of_integral_range(value):
    raised(OverflowError, CompressionOptions, scale=value, note="while processing 'scale'")


def test_scale_beyond_c_long_keeps_cpython_message():
    error = raised(OverflowError, CompressionOptions, scale=2**64, note="while processing 'scale'")
    assert str(error) != RANGE
    assert str(raised(OverflowError, CompressionOptions, scale=256,
                      note="while processing 'scale'")) == RANGE


@pytest.mark.parametrize("value", [11.0, "11", None])
def test_scale_rejects_non_integers(value):
    raised(TypeError, CompressionOptions, scale=value, note="while processing 'scale'")


@pytest.mark.parametrize("value", [0, 1, 5, 13, 255, True])
def test_scale_outside_6_to_12(value):
    raised(ValueError, CompressionOptions, scale=value,
           message=f"Only scaled 6..12 is supported, but it was {int(value)}")


@pytest.mark.parametrize("value", ["2", b"2", [], 1j])
def test_multiplier_must_be_real(value):
    raised(TypeError, CompressionOptions, quant_multiplier=value,
           note="while processing 'quant_multiplier'")


@pytest.mark.parametrize("value", [1, 1.5, 1e300, -1e300, float("nan"), 0.0, -0.0, Real(),
                                   Index(3), 2**70])
def test_multiplier_accepts_any_real(value):
    CompressionOptions(quant_multiplier=value)


@pytest.mark.parametrize("kwargs, message", [
    ({"method": "CDF97"}, 'Unknown method "CDF97"' + METHOD_TAIL),
    ({"method": "cdf97 "}, 'Unknown method "cdf97 "' + METHOD_TAIL),
    ({"method": ""}, 'Unknown method ""' + METHOD_TAIL),
    ({"cutoff": "max"}, 'Unknown cutoff level "max"' + CUTOFF_TAIL),
    ({"coder": "Deflate"}, 'Unknown coder "Deflate"' + CODER_TAIL),
    ({"coder": "zstd"}, 'Unknown coder "zstd"' + CODER_TAIL),
])
def test_unknown_keywords(kwargs, message):
    raised(ValueError, CompressionOptions, **kwargs, message=message)


@pytest.mark.parametrize("text, quoted", [
    ('a"b\\c', r'"a\"b\\c"'),
    ("\t\r\n\0", r'"\t\r\n\0"'),
    ("\x07\x7f\x85", r'"\u{7}\u{7f}\u{85}"'),
    ("zero\u200bwidth\u2028", r'"zero\u{200b}width\u{2028}"'),
    ("caf\u00e9 \u4e2d \U0001f600", '"caf\u00e9 \u4e2d \U0001f600"'),
    ("'single'", "\"'single'\""),
])
def test_quoted_form_of_rejected_text(text, quoted):
    raised(ValueError, CompressionOptions, method=text,
           message="Unknown method " + quoted + METHOD_TAIL)


def test_conversion_runs_before_validation():
    raised(TypeError, CompressionOptions, method="x", scale="y", note="while processing 'scale'")
    raised(TypeError, CompressionOptions, "x", 20, "max", None, "1",
           note="while processing 'quant_multiplier'")
    raised(OverflowError, CompressionOptions, method="x", scale=300,
           note="while processing 'scale'")


def test_validation_order_method_cutoff_scale_coder():
    raised(ValueError, CompressionOptions, "x", 20, "max", "y",
           message='Unknown method "x"' + METHOD_TAIL)
    raised(ValueError, CompressionOptions, scale=20, cutoff="max", coder="y",
           message='Unknown cutoff level "max"' + CUTOFF_TAIL)
    raised(ValueError, CompressionOptions, scale=20, coder="y",
           message="Only scaled 6..12 is supported, but it was 20")


def test_defaults_match_no_options():
    data = signal(1000)
    expected = compress_signal(data)
    assert compress_signal(data, None) == expected
    assert compress_signal(data, CompressionOptions()) == expected
    assert compress_signal(data, CompressionOptions("cdf97", 11, "low", None, None)) == expected
    assert compress_signal(data, CompressionOptions(coder="auto")) == expected
    assert compress_signal(data, CompressionOptions(coder="cmodel")) == expected


def test_each_option_reaches_the_container():
    data = signal(1000)
    base = compress_signal(data)
    header = lambda blob: (blob[8:12], blob[12], blob[13], blob[14])
    assert header(base) == (b"cf97", 6, 11, 2)
    assert header(compress_signal(data, CompressionOptions(method="cdf53")))[0] == b"cf53"
    assert header(compress_signal(data, CompressionOptions(method="db4")))[0] == b"db04"
    assert header(compress_signal(data, CompressionOptions(method="sym4")))[0] == b"sym4"
    assert header(compress_signal(data, CompressionOptions(scale=6)))[2] == 6
    assert header(compress_signal(data, CompressionOptions(coder="deflate")))[3] == 0
    assert header(compress_signal(data, CompressionOptions(coder="arans")))[3] == 1
    assert compress_signal(data, CompressionOptions(cutoff="high")) != base
    assert compress_signal(data, CompressionOptions(cutoff="medium")) != base


def test_multiplier_is_rounded_to_float32():
    data = signal(200)
    multiplier = lambda blob: np.frombuffer(blob[36:40], "<f4")[0]
    assert multiplier(compress_signal(data, CompressionOptions(quant_multiplier=1))) == 1.0
    stored = multiplier(compress_signal(data, CompressionOptions(quant_multiplier=0.1)))
    assert stored == np.float32(0.1)
    raised(ValueError, compress_signal, data, CompressionOptions(quant_multiplier=1e300),
           message="Unsupported compression configuration "
                   "'Quantization multiplier inf can't be read back'")


def _pickled_cases():
    from verdalix import targets
    data = signal(3000)
    every = [CompressionOptions(), CompressionOptions(coder="auto"),
             CompressionOptions("db4", 9, "high", "arans", 123.456),
             CompressionOptions("sym4", 12, "medium", "deflate", 0),
             CompressionOptions("cdf53", 6, "low", "cmodel", np.float32(1e-3))]
    return data, every, targets.fit_options(data, prd=2.0)


def test_options_and_fits_pickle_to_objects_that_compress_identically():
    """Repr, equality and hash stay the token's: by identity."""
    import pickle

    data, every, fit = _pickled_cases()
    copy = pickle.loads(pickle.dumps(fit))
    assert compress_signal(data, copy.options) == compress_signal(data, fit.options)
    assert (copy.nbytes, copy.prd, copy.method, copy.scale, copy.quant_multiplier) == (
        fit.nbytes, fit.prd, fit.method, fit.scale, fit.quant_multiplier)
    for options in every:
        twin = pickle.loads(pickle.dumps(options, protocol=pickle.HIGHEST_PROTOCOL))
        assert compress_signal(data, twin) == compress_signal(data, options)
        assert type(twin) is CompressionOptions and twin != options
        assert hash(twin) == object.__hash__(twin)
        assert repr(twin).startswith("<builtins.CompressionOptions object at 0x")


@pytest.mark.worker_processes
def test_options_and_fits_travel_through_a_process_pool():
    """As multiprocessing and distributed maps send them, to fresh interpreters."""
    import multiprocessing
    import operator

    data, every, fit = _pickled_cases()
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        remote = pool.starmap(compress_signal, [(data, options) for options in every])
        back = pool.map(operator.attrgetter("options"), [fit])[0]
    assert remote == [compress_signal(data, options) for options in every]
    assert compress_signal(data, back) == compress_signal(data, fit.options)
