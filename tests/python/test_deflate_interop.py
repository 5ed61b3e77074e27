"""The deflate back end against Python's zlib (raw DEFLATE, wbits -15), both ways.

The back end is driven through the small C++ program tests/cpp/tools/deflate_tool,
whose path ctest passes in VERDALIX_DEFLATE_TOOL (the test is registered there as
deflate_interop). Runs under pytest or as a plain script.
"""

import os
import random
import struct
import subprocess
import unittest
import zlib

TOOL = os.environ.get("VERDALIX_DEFLATE_TOOL")


def run_tool(*args, data=b""):
    done = subprocess.run([TOOL, *args], input=data, capture_output=True, timeout=60)
    return done.returncode, done.stdout, done.stderr.decode().strip()


def our_compress(data):
    code, out, err = run_tool("compress", data=data)
    assert code == 0, err
    return out


def our_inflate(payload, keep=None):
    """(bytes kept, total decoded length) or the failure text."""
    args = ["inflate"] + ([str(keep)] if keep is not None else [])
    code, out, err = run_tool(*args, data=payload)
    if code != 0:
        return err
    return out, int(err)


def python_inflate(payload):
    """What zlib's own raw inflater makes of a payload: the bytes decoded up
    to the end of the final block or of the payload, or None when corrupt."""
    inflater = zlib.decompressobj(-15)
    try:
        return inflater.decompress(payload)
    except zlib.error:
        return None


def coefficient_bytes(n, seed):
    rng = random.Random(seed)
    values = [max(-32768, min(32767, int(rng.gauss(0, 40)))) for _ in range(n)]
    return struct.pack("<%dh" % n, *values)


SAMPLES = {
    "empty": b"",
    "one byte": b"\x2a",
    "text": b"verdalix " * 500,
    "coefficients": coefficient_bytes(60000, 1),
    "noise": random.Random(2).randbytes(70000),
}


@unittest.skipUnless(TOOL, "needs VERDALIX_DEFLATE_TOOL (ctest sets it: deflate_interop)")
class DeflateInterop(unittest.TestCase):
    def test_python_inflates_what_we_compress(self):
        for name, data in SAMPLES.items():
            with self.subTest(name):
                self.assertEqual(zlib.decompress(our_compress(data), -15), data)

    def test_we_inflate_what_python_compresses(self):
        for name, data in SAMPLES.items():
            for level, wbits, mem_level, strategy in [
                (6, -15, 8, zlib.Z_DEFAULT_STRATEGY),
                (1, -15, 8, zlib.Z_DEFAULT_STRATEGY),
                (9, -15, 9, zlib.Z_FILTERED),
                (6, -9, 2, zlib.Z_DEFAULT_STRATEGY),
                (6, -15, 8, zlib.Z_FIXED),
                (0, -15, 8, zlib.Z_DEFAULT_STRATEGY),
            ]:
                with self.subTest(name, level=level, wbits=wbits, strategy=strategy):
                    c = zlib.compressobj(level, zlib.DEFLATED, wbits, mem_level, strategy)
                    payload = c.compress(data) + c.flush()
                    self.assertEqual(our_inflate(payload), (data, len(data)))

    def test_same_bytes_as_python_at_level_6(self):
        code, version, _ = run_tool("zlib-version")
        if version.decode().strip() != zlib.ZLIB_RUNTIME_VERSION:
            self.skipTest("different zlib versions may choose other matches")
        for name, data in SAMPLES.items():
            with self.subTest(name):
                c = zlib.compressobj(6, zlib.DEFLATED, -15)
                self.assertEqual(our_compress(data), c.compress(data) + c.flush())

    def test_cut_damaged_and_padded_payloads_agree_with_python(self):
        data = SAMPLES["coefficients"]
        c = zlib.compressobj(6, zlib.DEFLATED, -15)
        stream = c.compress(data) + c.flush()
        rng = random.Random(3)
        cases = [stream[:cut] for cut in sorted(rng.sample(range(len(stream)), 12))]
        cases.append(stream + b"\x00\xff trailing")
        for _ in range(40):
            damaged = bytearray(stream)
            for _ in range(rng.randint(1, 3)):
                damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
            cases.append(bytes(damaged))
        cases.append(zlib.compress(data))  # zlib wrapper: its header is no raw block
        for i, payload in enumerate(cases):
            with self.subTest(case=i, length=len(payload)):
                expected = python_inflate(payload)
                got = our_inflate(payload)
                if expected is None:
                    self.assertEqual(got, "corrupt deflate stream")
                else:
                    self.assertEqual(got, (expected, len(expected)))

    def test_keep_limit_still_decodes_to_the_end(self):
        data = SAMPLES["coefficients"]
        payload = zlib.compressobj(6, zlib.DEFLATED, -15)
        payload = payload.compress(data) + payload.flush()
        self.assertEqual(our_inflate(payload, keep=1000), (data[:1000], len(data)))


if __name__ == "__main__":
    unittest.main()
