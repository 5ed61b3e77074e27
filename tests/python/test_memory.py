"""No leaks on any path; out of memory and oversized input never crash."""
import gc
import sys
import tracemalloc

import numpy as np

from verdalix import CompressionOptions, compress_signal, decompress_signal
from conftest import run_isolated, signal


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_thousands_of_calls_leak_nothing():
    small = signal(500)
    # Large buffers, cheap to code: the float32 copy and the decoded samples
    # are 80 kB per call.
    wide = np.full(20000, 0.25)
    strided = signal(64)[::2]
    options = CompressionOptions(method="cdf53", coder="deflate")
    refused = CompressionOptions(quant_multiplier=-1.0)
    blob = compress_signal(wide, options)
    broken = blob[:60]
    bad_options = {}
    surrogate = "a\udc80"
    arguments = [small, wide, strided, options, refused, blob, broken, bad_options, surrogate]

    def every_path():
        calls = [
            lambda: compress_signal(small),
            lambda: compress_signal(wide, options),
            lambda: compress_signal(small, options=CompressionOptions(coder="arans")),
            lambda: decompress_signal(blob),
            lambda: decompress_signal(data=blob)[::3].copy(),
            lambda: compress_signal(),
            lambda: compress_signal(small, options, 1),
            lambda: compress_signal(small, bogus=1),
            lambda: compress_signal(small, data=small),
            lambda: compress_signal(small, bad_options),
            lambda: compress_signal([1.0]),
            lambda: compress_signal(strided),
            lambda: compress_signal(np.zeros(0)),
            lambda: compress_signal(wide, refused),
            lambda: decompress_signal(bytearray(blob)),
            lambda: decompress_signal(None),
            lambda: decompress_signal(b""),
            lambda: decompress_signal(broken),
            lambda: decompress_signal(blob, blob),
            lambda: CompressionOptions(method=surrogate),
            lambda: CompressionOptions(method=3),
            lambda: CompressionOptions(scale=2**70),
            lambda: CompressionOptions(scale=300),
            lambda: CompressionOptions(quant_multiplier="x"),
            lambda: CompressionOptions(method="x\ty"),
            lambda: CompressionOptions(cutoff="max"),
            lambda: CompressionOptions(scale=5),
            lambda: CompressionOptions(coder="zstd"),
            lambda: CompressionOptions(1, 2, 3, 4, 5, 6),
        ]
        for call in calls:
            try:
                call()
            except (TypeError, ValueError, OverflowError, UnicodeEncodeError):
                pass
        return len(calls)

    for _ in range(100):
        every_path()
    gc.collect()
    counts = [sys.getrefcount(a) for a in arguments]
    tracemalloc.start()
    rss_before = rss_bytes()
    traced_before = tracemalloc.get_traced_memory()[0]
    total = sum(every_path() for _ in range(1500))
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    rss_growth = rss_bytes() - rss_before
    tracemalloc.stop()
    assert total > 40000
    assert [sys.getrefcount(a) for a in arguments] == counts
    assert traced_growth < 64 * 1024, traced_growth  # Python objects: a leak of one per call shows
    assert rss_growth < 8 * 2**20, rss_growth  # native buffers: one lost per call is > 200 MB


def test_out_of_memory_becomes_memory_error():
    # Address space is capped just above what the process already maps, so
    # the codec's first large allocation fails.
    out = run_isolated("""
        import mmap, resource, numpy as np, verdalix
        n = 100_000_000
        f32 = np.frombuffer(mmap.mmap(-1, 4 * n, prot=mmap.PROT_READ), np.float32)
        f64 = np.frombuffer(mmap.mmap(-1, 8 * n, prot=mmap.PROT_READ), np.float64)
        blob = verdalix.compress_signal(np.ones(1000, np.float32))
        size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + 256 * 2**20, resource.RLIM_INFINITY))
        for data in (f32, f64):
            try:
                verdalix.compress_signal(data)
            except MemoryError as e:
                print(type(e).__name__)
        # The process goes on as before.
        print(verdalix.compress_signal(np.ones(1000, np.float32)) == blob)
    """)
    assert out == ["MemoryError", "MemoryError", "True"]


def test_oversized_input_is_refused_before_any_allocation():
    # 2**31 samples in untouched read-only pages; with the address space
    # capped, converting or copying them would fail with MemoryError.
    out = run_isolated("""
        import mmap, resource, numpy as np, verdalix
        n = 2**31
        f32 = np.frombuffer(mmap.mmap(-1, 4 * n, prot=mmap.PROT_READ), np.float32)
        f64 = np.frombuffer(mmap.mmap(-1, 8 * n, prot=mmap.PROT_READ), np.float64)
        size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + 256 * 2**20, resource.RLIM_INFINITY))
        for data in (f32, f64, f32[:-1][::-1]):
            try:
                verdalix.compress_signal(data)
            except BaseException as e:
                print(type(e).__name__ + ":" + str(e).replace(" ", "_"))
        # A multiplier the reader could not honour is refused before a
        # float64 array is converted.
        try:
            verdalix.compress_signal(f64[:100_000_000],
                                     verdalix.CompressionOptions(quant_multiplier=-1))
        except BaseException as e:
            print(type(e).__name__ + ":" + str(e).replace(" ", "_"))
    """)
    refusal = ("ValueError:Unsupported_compression_configuration_'Can't_compress_data_bigger_"
               "than_2147483647,_but_data_was_2147483648'")
    multiplier = ("ValueError:Unsupported_compression_configuration_'Quantization_multiplier_-1_"
                  "can't_be_read_back'")
    assert out == [refusal, refusal,
                   "TypeError:The_given_array_is_not_contiguous_or_is_misaligned.", multiplier]


def test_arans_refuses_more_coefficients_than_its_decoder_reads_before_any_allocation():
    # One coefficient past 2**28 (cdf97 keeps the count equal to the samples):
    # the container could never be decoded, so nothing is converted or copied.
    out = run_isolated("""
        import mmap, resource, numpy as np, verdalix
        n = 2**28 + 1
        f32 = np.frombuffer(mmap.mmap(-1, 4 * n, prot=mmap.PROT_READ), np.float32)
        f64 = np.frombuffer(mmap.mmap(-1, 8 * n, prot=mmap.PROT_READ), np.float64)
        size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + 256 * 2**20, resource.RLIM_INFINITY))
        for data in (f32, f64):
            try:
                verdalix.compress_signal(data, verdalix.CompressionOptions(coder="arans"))
            except BaseException as e:
                print(type(e).__name__ + ":" + str(e).replace(" ", "_"))
    """)
    refusal = ("ValueError:Unsupported_compression_configuration_'The_arans_coder_can't_hold_"
               "more_than_268435456_coefficients,_but_this_signal_has_268435457'")
    assert out == [refusal, refusal]
