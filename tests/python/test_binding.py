"""Argument binding: the system's own TypeError texts and their order."""
import numpy as np
import pytest

from verdalix import CompressionOptions, compress_signal, decompress_signal
from conftest import raised

X = np.ones(8, np.float32)


@pytest.mark.parametrize("call, args, kwargs, message", [
    (compress_signal, (X, None, 3), {},
     "compress_signal() takes from 1 to 2 positional arguments but 3 were given"),
    (decompress_signal, (b"", b""), {},
     "decompress_signal() takes 1 positional arguments but 2 were given"),
    (CompressionOptions, ("cdf97", 11, "low", None, None, 1), {},
     "CompressionOptions.__new__() takes from 0 to 5 positional arguments but 6 were given"),
    (compress_signal, (X,), {"level": 1},
     "compress_signal() got an unexpected keyword argument 'level'"),
    (decompress_signal, (), {"Data": b""},
     "decompress_signal() got an unexpected keyword argument 'Data'"),
    (CompressionOptions, (), {"level": "high"},
     "CompressionOptions.__new__() got an unexpected keyword argument 'level'"),
    (compress_signal, (X,), {"data": X},
     "compress_signal() got multiple values for argument 'data'"),
    (decompress_signal, (b"",), {"data": b""},
     "decompress_signal() got multiple values for argument 'data'"),
    (CompressionOptions, ("cdf97", 11), {"scale": 12},
     "CompressionOptions.__new__() got multiple values for argument 'scale'"),
    (compress_signal, (), {},
     "compress_signal() missing 1 required positional argument: 'data'"),
    (compress_signal, (), {"options": None},
     "compress_signal() missing 1 required positional argument: 'data'"),
    (decompress_signal, (), {},
     "decompress_signal() missing 1 required positional argument: 'data'"),
])
def test_binding_messages(call, args, kwargs, message):
    raised(TypeError, call, *args, message=message, **kwargs)


def test_binding_checks_in_order():
    # Surplus positionals first, then keywords in the order given (unknown,
    # then already bound), then missing parameters; binding precedes any
    # conversion of the values.
    raised(TypeError, compress_signal, 1, 2, 3, bogus=1,
           message="compress_signal() takes from 1 to 2 positional arguments but 3 were given")
    raised(TypeError, compress_signal, 1, data=1, bogus=1,
           message="compress_signal() got multiple values for argument 'data'")
    raised(TypeError, compress_signal, 1, bogus=1, data=1,
           message="compress_signal() got an unexpected keyword argument 'bogus'")
    raised(TypeError, compress_signal, options={}, bogus=1,
           message="compress_signal() got an unexpected keyword argument 'bogus'")
    raised(TypeError, CompressionOptions, "x", method="y", scale="z",
           message="CompressionOptions.__new__() got multiple values for argument 'method'")


def test_every_parameter_binds_by_keyword():
    data = np.linspace(0, 1, 100, dtype=np.float32)
    options = CompressionOptions(quant_multiplier=100.0, coder="arans", cutoff="high",
                                 scale=7, method="db4")
    same = CompressionOptions("db4", 7, "high", "arans", 100.0)
    blob = compress_signal(options=options, data=data)
    assert blob == compress_signal(data, same)
    assert decompress_signal(data=blob).shape == data.shape
