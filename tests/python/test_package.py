"""The package around the module: names beside __all__, the private native
submodule, sub-interpreters and the shipped type information."""
import importlib.metadata
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import verdalix
from conftest import raised, run_isolated, signal


def test_extra_names_stay_out_of_all():
    assert verdalix.__all__ == ["CompressionOptions", "compress_signal", "decompress_signal"]
    assert issubclass(verdalix.PanicException, BaseException)
    assert not issubclass(verdalix.PanicException, Exception)
    assert verdalix.PanicException.__module__ == "verdalix"
    assert verdalix.__version__ == importlib.metadata.version("verdalix")
    # A package, so submodules are found beside the extension.
    assert verdalix.__path__
    assert verdalix.__spec__.submodule_search_locations


def test_read_header_reports_what_was_written():
    data = signal(5000)
    options = verdalix.CompressionOptions(method="db4", scale=9, coder="arans")
    blob = verdalix.compress_signal(data, options)
    header = verdalix._native.read_header(blob)
    assert header["sample_count"] == 5000
    assert (header["method"], header["coder"], header["scale"]) == ("db4", "arans", 9)
    assert header["multiplier"] == header["stored_multiplier"] == 512.0
    assert header["min"] == float(data.min()) and header["max"] == float(data.max())
    assert header["payload_length"] == len(blob) - 52
    # Any contiguous bytes-like object, read in place; bytes after the payload are ignored.
    for view in (bytearray(blob), memoryview(blob), np.frombuffer(blob + b"tail", np.uint8)):
        assert verdalix._native.read_header(view) == header
    assert verdalix._native.read_header(
        verdalix.compress_signal(data))["coder"] == "cmodel"


@pytest.mark.parametrize("damage", [
    lambda b: b[:51],
    lambda b: b"VRDY" + b[4:],
    lambda b: b[:-1],
])
def test_read_header_refuses_what_the_decoder_refuses(damage):
    bad = damage(verdalix.compress_signal(signal(300)))
    with pytest.raises(ValueError) as decoded:
        verdalix.decompress_signal(bad)
    raised(ValueError, verdalix._native.read_header, bad, message=decoded.value.args[0])


def test_read_header_refuses_strided_buffers():
    blob = np.frombuffer(verdalix.compress_signal(signal(300)) * 2, np.uint8)[::2]
    with pytest.raises((BufferError, TypeError, ValueError)):
        verdalix._native.read_header(blob)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="per-interpreter module checks are 3.12+")
def test_sub_interpreters_are_refused_clearly():
    out = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            result = interpreters.run_string(interp, "import verdalix")
        except Exception as error:  # 3.12 raises, 3.13 returns the failure
            result = error
        print(result)
        """)], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "does not support loading in subinterpreters" in out.stdout


def test_type_checkers_see_the_stubs(tmp_path):
    mypy_api = pytest.importorskip("mypy.api")

    def check(code):
        snippet = tmp_path / "snippet.py"
        snippet.write_text(textwrap.dedent(code))
        return mypy_api.run(["--strict", "--no-incremental", "--python-executable",
                             sys.executable, str(snippet)])

    stdout, stderr, status = check("""
        import numpy as np
        import numpy.typing as npt
        import verdalix
        from verdalix import cli
        from verdalix.targets import Fit, compress_within, fit_options

        def roundtrip(x: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
            options = verdalix.CompressionOptions(method="db4", scale=9)
            blob: bytes = verdalix.compress_signal(x, options)
            return verdalix.decompress_signal(blob)

        try:
            roundtrip(np.zeros(8, np.float32))
        except verdalix.PanicException:
            pass
        version: str = verdalix.__version__

        x = np.zeros(64, np.float64)
        fit: Fit = fit_options(x, prd=1.0, method="db4")
        options: verdalix.CompressionOptions = fit.options
        sizes: list[int] = [fit.nbytes, fit.scale]
        errors: list[float] = [fit.max_error, fit.rms_error, fit.prd, fit.quant_multiplier]
        blob: bytes = compress_within(x, max_error=0.5, coder="deflate")
        status: int = cli.main(["info", "a.vdx"])

        import verdalix.h5
        filter_id: int = verdalix.h5.FILTER_ID
        plugin_path: str = verdalix.h5.PLUGIN_PATH
        values: tuple[int, ...] = verdalix.h5.Verdalix(max_error=0.1).filter_options
        """)
    assert status == 0, stdout + stderr
    # And real mistakes are caught, so the stubs were read rather than skipped.
    stdout, _, status = check("""
        import verdalix
        from verdalix.targets import fit_options
        verdalix.compress_signal(3)
        fit_options([1.0], prd='x')
        """)
    assert status == 1 and "compress_signal" in stdout and "fit_options" in stdout, stdout


def test_native_submodule_survives_a_fresh_import():
    assert run_isolated("""
        import sys, verdalix._native
        print(sys.modules["verdalix._native"] is __import__("verdalix")._native)
        """) == ["True"]
