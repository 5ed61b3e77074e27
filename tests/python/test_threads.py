"""Concurrent calls give the bytes of sequential ones."""
import threading

import numpy as np

from verdalix import CompressionOptions, compress_signal, decompress_signal
from conftest import run_isolated, signal


def test_threads_compress_like_one_thread():
    inputs = [signal(3000 + 17 * i, seed=i) for i in range(6)]
    options = [CompressionOptions(method=m, coder=c)
               for m, c in (("cdf97", None), ("db4", "arans"), ("sym4", "deflate"),
                            ("cdf53", "cmodel"))]
    expected = [compress_signal(x, o) for x in inputs for o in options]
    decoded = [decompress_signal(b) for b in expected]
    results = {}
    start = threading.Barrier(8)

    def work(slot):
        start.wait()
        blobs = [compress_signal(x, o) for _ in range(3) for x in inputs for o in options]
        samples = [decompress_signal(b) for b in blobs[: len(expected)]]
        results[slot] = (blobs, samples)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 8
    for blobs, samples in results.values():
        assert blobs == expected * 3
        assert all(np.array_equal(a, b) for a, b in zip(samples, decoded))


def test_first_use_from_many_threads_does_not_deadlock():
    # The auxiliary result type is created on the first decompression, which
    # here happens in eight threads at once.
    out = run_isolated("""
        import threading, numpy as np, verdalix
        blob = verdalix.compress_signal(np.linspace(0, 1, 256, dtype=np.float32))
        start = threading.Barrier(8)
        kinds = set()
        def work():
            start.wait()
            kinds.add(type(verdalix.decompress_signal(blob).base))
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(kinds), next(iter(kinds)).__name__)
    """, timeout=30)
    assert out == ["1", "PySliceContainer"]
