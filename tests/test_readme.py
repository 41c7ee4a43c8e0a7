"""The README's example and the HTTP/2 guide's run and print what their comments say."""

import contextlib
import io
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
HTTP2_GUIDE = ROOT / "docs" / "http2.md"


def run_and_compare(code, filename):
    # Every print(...) line carries its expected output in a "# " comment.
    expected = [line.split("# ", 1)[1].strip() for line in code.splitlines()
                if line.lstrip().startswith("print(") and "# " in line]
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, filename, "exec"), {})
    assert out.getvalue().splitlines() == expected


@pytest.mark.skipif(not README.exists(), reason="README.md not beside the tests")
def test_readme_example():
    run_and_compare(re.search(r"```python\n(.*?)```", README.read_text(), re.S).group(1), "README.md")


@pytest.mark.skipif(not HTTP2_GUIDE.exists(), reason="docs/ not beside the tests")
def test_http2_guide_examples():
    # The page's blocks run in order in one namespace, as a reader would.
    blocks = re.findall(r"```python\n(.*?)```", HTTP2_GUIDE.read_text(), re.S)
    assert len(blocks) >= 5
    run_and_compare("\n".join(blocks), "docs/http2.md")
