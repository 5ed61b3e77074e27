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


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_examples_run(page, tmp_path, monkeypatch):
    # Examples write files (zarr stores) where a reader would: the current folder.
    monkeypatch.chdir(tmp_path)
    document = PARSER.parse(page)
    document.namespace.update(has_zarr=_has("zarr") and _has("numcodecs"), has_pywt=_has("pywt"),
                              has_dask=_has("dask") and _has("distributed"))
    ran, skipped = 0, []
    for example in document:
        try:
            example.evaluate()
        except unittest.SkipTest as skip:
            skipped.append(f"line {example.line}: {skip}")
            continue
        ran += 1
    if skipped:
        pytest.skip(f"{ran} examples ran; skipped {'; '.join(skipped)}")


def test_every_page_with_python_is_checked():
    """A page's Python blocks are examples to run: none may be written in a
    way the runner does not see (for example a ```py fence)."""
    for page in PAGES:
        text = page.read_text()
        assert "```py\n" not in text and "```python3" not in text, page
