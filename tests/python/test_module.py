import inspect
import sys

import numpy as np

import verdalix
from conftest import raised


def test_public_names_in_order():
    assert verdalix.__all__ == ["CompressionOptions", "compress_signal", "decompress_signal"]
    assert verdalix.__doc__ == ""


def test_functions_are_bound_to_the_module():
    for name in ("compress_signal", "decompress_signal"):
        function = getattr(verdalix, name)
        assert function.__self__ is verdalix
        assert function.__module__ == "verdalix"
        assert function.__name__ == name


def test_docstrings_and_signatures():
    assert verdalix.compress_signal.__text_signature__ == "(data, options=None)"
    assert verdalix.compress_signal.__doc__ == (
        "Compress a 1-D float32 **or** float64 NumPy array into Verdalix `bytes`.\n"
        "\n"
        "float64 input is downcast to float32 before compression (the codec works in\n"
        "f32 internally and always reconstructs f32 on decompress)."
    )
    assert str(inspect.signature(verdalix.compress_signal)) == "(data, options=None)"
    assert verdalix.decompress_signal.__text_signature__ == "(data)"
    assert verdalix.decompress_signal.__doc__ == (
        "Decompress a Verdalix bytes object into a 1-D float32 NumPy array."
    )
    assert str(inspect.signature(verdalix.decompress_signal)) == "(data)"


def test_compression_options_class_shape():
    cls = verdalix.CompressionOptions
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (
        "CompressionOptions", "CompressionOptions", "builtins")
    signature = '(method="cdf97", scale=11, cutoff="low", coder=None, quant_multiplier=None)'
    assert cls.__text_signature__ == signature
    assert not cls.__doc__  # no docstring body after the signature
    assert str(inspect.signature(cls)) == signature.replace('"', "'")
    assert cls.__base__ is object
    options = cls()
    assert not hasattr(options, "__dict__")
    raised(AttributeError, getattr, options, "scale")
    raised(AttributeError, setattr, options, "scale", 6)
    raised(TypeError, type, "X", (cls,), {})


def test_options_compare_and_hash_by_identity():
    a, b = verdalix.CompressionOptions(), verdalix.CompressionOptions()
    assert a != b and a == a
    assert hash(a) == object.__hash__(a)
    cls = verdalix.CompressionOptions
    assert cls.__repr__ is object.__repr__ and cls.__eq__ is object.__eq__


def test_reimport_keeps_one_options_class():
    # The class is process-wide, so options made before a re-import still work.
    options = verdalix.CompressionOptions(coder="deflate")
    del sys.modules["verdalix"]
    import verdalix as again
    try:
        assert again.CompressionOptions is verdalix.CompressionOptions
        data = np.linspace(0, 1, 64, dtype=np.float32)
        assert again.compress_signal(data, options) == verdalix.compress_signal(data, options)
    finally:
        sys.modules["verdalix"] = verdalix
