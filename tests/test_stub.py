"""The shipped type stub matches the extension module."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import skip_sanitized

pytest.importorskip("mypy")


@skip_sanitized
def test_stub_matches_runtime(tmp_path):
    import vintrel

    # The package under test, found by absolute path from a neutral folder
    # (stubtest reports success when it cannot import the module at all).
    root = str(Path(vintrel.__file__).absolute().parent.parent)
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"), PYTHONPATH=root)
    probe = subprocess.run([sys.executable, "-P", "-c", "import vintrel._vintrel"], env=env, cwd=tmp_path)
    assert probe.returncode == 0
    result = subprocess.run(
        [sys.executable, "-P", "-m", "mypy.stubtest", "vintrel._vintrel", "vintrel.http"],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@skip_sanitized
def test_package_is_typed():
    import vintrel

    assert (Path(vintrel.__file__).parent / "py.typed").exists()
    assert (Path(vintrel.__file__).parent / "_vintrel.pyi").exists()
