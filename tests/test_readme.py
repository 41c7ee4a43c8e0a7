"""The README's example runs and prints what its comments say."""

import contextlib
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.skipif(not README.exists(), reason="README.md not beside the tests")
def test_readme_example():
    code = re.search(r"```python\n(.*?)```", README.read_text(), re.S).group(1)
    expected = [line.split("# ", 1)[1].strip() for line in code.splitlines()
                if line.lstrip().startswith("print(") and "# " in line]
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md", "exec"), {})
    assert out.getvalue().splitlines() == expected
