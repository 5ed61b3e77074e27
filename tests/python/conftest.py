import json
import pathlib
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

DATA_DIR = pathlib.Path(__file__).resolve().parent.parent / "data"


def raised(exc_type, call, *args, message=None, note=None, **kwargs):
    """Calls call(*args, **kwargs), which must raise exactly exc_type.

    `message` (when given) is the exception's only argument; `note` is its one
    note, and None means it carries no note at all.
    """
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    error = info.value
    assert type(error) is exc_type, repr(error)
    if message is not None:
        assert error.args == (message,)
    assert getattr(error, "__notes__", None) == (None if note is None else [note])
    return error


@pytest.fixture(scope="session")
def reference_containers():
    with open(DATA_DIR / "containers.json") as f:
        return json.load(f)


def signal(n, seed=0):
    """A smooth signal with some noise and a step, in float32."""
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 8.0 * np.pi, n)
    values = np.sin(t) + 0.3 * np.sin(7.0 * t) + 0.05 * rng.standard_normal(n)
    values[n // 2 :] += 0.5
    return values.astype(np.float32)


def run_isolated(code, timeout=60):
    """Runs `code` in a fresh interpreter; returns its stdout lines."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "worker_processes: starts worker processes (a dask cluster); "
        "left out of the valgrind run")
    config.addinivalue_line("markers", "slow: long searches, left out of the valgrind run")


def progress_during(call, *args):
    """How far a counting thread gets while `call(*args)` runs in this one."""
    counter = [0]
    stop = threading.Event()
    counting = threading.Event()

    def count():
        counting.set()
        while not stop.is_set():
            counter[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    counting.wait()
    before = counter[0]
    call(*args)
    after = counter[0]
    stop.set()
    thread.join()
    return after - before
