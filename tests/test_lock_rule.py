"""The lock rule at compile time: a callable run under an object's lock may
not hand a Python object out of it. Compiles small sources against the
binding headers with the host compiler (skipped where there is none)."""

import os
import shutil
import subprocess
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CXX = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")

SOURCE = """
#include "src/py/objects.h"
#include "src/py/results.h"
using namespace vintrel::py;
PyObject* f(PyObject* self) {
  return %s;
}
"""

CASES = [
    ("locked<int>(self, [](int& v) { return v; }) ? nullptr : nullptr", True),
    ("str_from(locked<std::string>(self, [](std::string& s) { return s; }))", True),
    ("locked<int>(self, [](int&) { return Py_None; })", False),
    ("locked<int>(self, [self](int&) -> PyObject* const& { return self; })", False),
]


@pytest.mark.skipif(CXX is None or os.name == "nt", reason="needs a GCC-style compiler")
@pytest.mark.parametrize("expr,compiles", CASES)
def test_locked_callables_may_not_return_python_objects(tmp_path, expr, compiles):
    src = tmp_path / "probe.cpp"
    src.write_text(SOURCE % expr)
    done = subprocess.run([CXX, "-std=c++20", "-fsyntax-only", "-I", ROOT, "-I", sysconfig.get_paths()["include"],
                           str(src)], capture_output=True, text=True, timeout=120)
    assert (done.returncode == 0) is compiles, done.stderr
    if not compiles:
        assert "may not return a Python object" in done.stderr
