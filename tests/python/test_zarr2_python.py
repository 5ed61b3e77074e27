"""The numcodecs codec under zarr-python 2 (2.18), which analysis tools still
pin: its own paths (decoding straight into the array's memory, no codec
validation at creation), float64 without a filter, integer and time-major
arrays, fill values, and a fresh interpreter finding the codec by its id.
Runs in the test command's zarr-python 2 environment; skipped elsewhere."""
import pathlib

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
if not zarr.__version__.startswith("2."):
    pytest.skip("zarr-python 2 only (the zarr-python 3 paths are tested elsewhere)",
                allow_module_level=True)

from verdalix import _native
from verdalix.numcodecs import Verdalix
from conftest import run_isolated, signal


def stored(path, data, chunks, fill_value=0, **codec_args):
    array = zarr.open(str(path), mode="w", shape=data.shape, chunks=chunks, dtype=data.dtype,
                      compressor=Verdalix(**codec_args), fill_value=fill_value)
    array[:] = data
    return zarr.open(str(path), mode="r")


@pytest.mark.parametrize("dtype", ["float32", "float64", "int16", "uint8", "int32"])
def test_arrays_read_back_in_their_dtype_without_a_filter(tmp_path, dtype):
    scale = 1.0 if dtype.startswith("float") else {"uint8": 100, "int16": 3000,
                                                   "int32": 1e6}[dtype]
    data = np.stack([signal(5000, seed=c) * scale for c in range(3)])
    data = (data + (120 if dtype == "uint8" else 0)).astype(dtype)
    read = stored(tmp_path / "a", data, (3, 2048))
    back = read[:]
    assert back.dtype == np.dtype(dtype)
    # zarr 2 decodes whole chunks into the array (out=) and partial ones on
    # their own: both give what the codec gives for the chunk.
    codec = Verdalix()
    first = codec.decode(codec.encode(np.ascontiguousarray(data[:, :2048])))
    assert np.array_equal(back[:, :2048], first)
    assert np.array_equal(read[1, 100:300], first[1, 100:300])
    error = np.abs(back.astype(np.float64) - data.astype(np.float64)).max()
    assert error <= 1e-3 * np.ptp(data.astype(np.float64)) + (0 if dtype.startswith("f") else 1)


def test_time_major_integers_and_fill_values(tmp_path):
    data = np.round(np.stack([signal(6000, seed=c) * 1000 for c in range(4)]).T).astype(np.int16)
    read = stored(tmp_path / "t", data, (2048, 4), axis=0)
    chunk = pathlib.Path(tmp_path, "t", "0.0").read_bytes()
    assert _native.describe_chunk(chunk) == (True, "int16", (2048, 4), 0)
    assert np.abs(read[:].astype(int) - data).max() <= 2
    # NaN fill: the unwritten part of a chunk reads as NaN, the written part
    # on its own scale.
    wave = (500 + np.sin(np.arange(8192) / 20.0)).astype(np.float32)
    array = zarr.open(str(tmp_path / "n"), mode="w", shape=(8192,), chunks=(4096,),
                      dtype="f4", compressor=Verdalix(), fill_value=np.nan)
    array[:5000] = wave[:5000]
    back = zarr.open(str(tmp_path / "n"), mode="r")[:]
    assert np.isnan(back[5000:]).all()
    assert np.abs(back[:5000] - wave[:5000]).max() < 2e-3


def test_a_fresh_interpreter_opens_the_array_by_codec_id(tmp_path):
    data = np.stack([signal(3000, seed=c) for c in range(2)]).astype(np.float64)
    expected = stored(tmp_path / "a", data, (2, 1024), axis=-1)[:]
    out = run_isolated(f"""
        import sys, zarr
        array = zarr.open({str(tmp_path / "a")!r}, mode="r")
        print("verdalix.numcodecs" in sys.modules, array.compressor.axis, array.dtype)  # found by id
        print(array[:].tobytes().hex()[:64])
        """)
    assert out == ["True", "-1", "float64", expected.tobytes().hex()[:64]]
