"""The demo runs to the end from the package, its server logging no failure."""

import os
import subprocess
import sys


def test_demo_runs(tmp_path):
    # Run from a neutral folder, so only the package under test can be found,
    # with a relative PYTHONPATH made absolute.
    env = os.environ.copy()
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep))
    out = subprocess.run(
        [sys.executable, "-m", "vintrel.demo"],
        capture_output=True, text=True, timeout=120, env=env, cwd=tmp_path,
    )
    assert out.returncode == 0, out.stderr
    assert "Traceback" not in out.stderr, out.stderr  # the server logs no failed application
    lines = out.stdout.splitlines()
    assert lines[-1] == "done"
    assert sum("-> 200" in line for line in lines) >= 6
    assert "h2c       50 concurrent GETs on 1 connection(s)" in out.stdout
