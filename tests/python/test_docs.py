"""Every Python example of README.md and docs/ runs, and prints what the page
says it prints (doctest-style blocks). Examples that need an extra that is
not installed are skipped by the page's own skip comments."""
import importlib.util
import unittest
from pathlib import Path

import pytest

sybil = pytest.importorskip("sybil")
from sybil.parsers.markdown import PythonCodeBlockParser, SkipParser  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").rglob("*.md"))
PARSER = sybil.Sybil(parsers=[PythonCodeBlockParser(), SkipParser()])


def _has(module):
    return importlib.util.find_spec(module) is not None


INSTALLED = {"has_zarr": _has("zarr") and _has("numcodecs"), "has_pywt": _has("pywt"),
             "has_dask": _has("dask") and _has("distributed"), "has_h5py": _has("h5py")}


def run_page(page, extras):
    """Runs a page's examples in order in one namespace; the skipped ones."""
    document = PARSER.parse(page)
    document.namespace.update(extras)
    skipped = []
    for example in document:
        try:
            example.evaluate()
        except unittest.SkipTest as skip:
            skipped.append(f"line {example.line}: {skip}")
    return skipped


# Slow under valgrind (zarr stores, target searches) and covered there by the
# tests of what they call.
@pytest.mark.slow
@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_examples_run(page, tmp_path, monkeypatch):
    # Examples write files (zarr stores) where a reader would: the current folder.
    monkeypatch.chdir(tmp_path)
    skipped = run_page(page, INSTALLED)
    if skipped:
        pytest.skip(f"skipped {'; '.join(skipped)}")


@pytest.mark.slow
def test_examples_skip_cleanly_without_the_extras(tmp_path, monkeypatch):
    """Where no extra is installed, the examples that need one are skipped
    and the rest of each page still runs (none uses what a skipped one made)."""
    monkeypatch.chdir(tmp_path)
    skipped = {page.name: run_page(page, {name: False for name in INSTALLED})
               for page in PAGES if "\n<!-- skip: start" in page.read_text()}
    assert skipped and all(skipped.values())


def test_every_page_with_python_is_checked():
    """A page's Python blocks are examples to run: none may be written in a
    way the runner does not see (for example a ```py fence)."""
    for page in PAGES:
        text = page.read_text()
        assert "```py\n" not in text and "```python3" not in text, page
