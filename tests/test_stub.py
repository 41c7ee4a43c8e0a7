"""The shipped type stub matches the extension module."""

import ast
import inspect
import os
import re
import shutil
import subprocess
import sys
import types
from pathlib import Path

import pytest

from conftest import skip_sanitized


@skip_sanitized
def test_stub_matches_runtime(tmp_path):
    pytest.importorskip("mypy")
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
def test_python_layers_type_check_strictly(tmp_path):
    """The server, the client and their shared layer are typed as a
    py.typed package promises: mypy --strict finds nothing."""
    pytest.importorskip("mypy")
    import vintrel

    # A copy of the package, so that mypy reads it as sources wherever it is
    # installed (a site-packages directory given as a source path shadows
    # the standard library's stubs).
    shutil.copytree(Path(vintrel.__file__).absolute().parent, tmp_path / "vintrel",
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    parts = ["server", "client", "_sansio", "aio", "httpx.py", "demo.py"]
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    env.pop("PYTHONPATH", None)
    result = subprocess.run(
        [sys.executable, "-P", "-m", "mypy", "--strict", *(f"vintrel/{p}" for p in parts)],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@skip_sanitized
def test_package_is_typed():
    import vintrel

    assert (Path(vintrel.__file__).parent / "py.typed").exists()
    assert (Path(vintrel.__file__).parent / "_vintrel.pyi").exists()


# ---------------------------------------------------------------- docstrings
#
# The C docstrings are the one source of the reference text; the stub
# repeats them for editors and type checkers (tools/stub_docs.py copies
# them). They agree when, after the text signature that heads a C docstring
# ("name(...)\n--\n\n") is taken off and both are cleaned as
# inspect.cleandoc does, they have the same paragraphs (split at blank
# lines) with the same words: any run of whitespace inside a paragraph
# counts as one space, so either side may wrap its lines as it likes.
# Compared: the module, every class, and every method, property and static
# method of a class. Dunder methods are described by their class's
# docstring (at run time they carry the interpreter's generic text), so the
# stub gives them none. A name the stub has and the module lacks is for
# stubtest to report.

_SIGNATURE = re.compile(r"\A[\w.]+\(.*\)\n--\n\n", re.DOTALL)


def _normalised(doc):
    if not isinstance(doc, str):
        return ""
    paragraphs = re.split(r"\n\s*\n", inspect.cleandoc(_SIGNATURE.sub("", doc, count=1)).strip())
    return "\n\n".join(" ".join(p.split()) for p in paragraphs if p.strip())


def _stub_tree():
    import vintrel

    path = Path(vintrel.__file__).parent / "_vintrel.pyi"
    return ast.parse(path.read_text(encoding="utf-8"))


def _stub_docstrings(m):
    """(where, stub docstring, runtime docstring) for everything compared."""
    tree = _stub_tree()
    yield "module", ast.get_docstring(tree), m.__doc__
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or not hasattr(m, node.name):
            continue
        cls = getattr(m, node.name)
        yield node.name, ast.get_docstring(node), cls.__doc__
        for item in node.body:
            if not isinstance(item, ast.FunctionDef):
                continue
            where = f"{node.name}.{item.name}"
            if item.name.startswith("__") and item.name.endswith("__"):
                yield where, ast.get_docstring(item), None
            elif item.name in vars(cls):
                yield where, ast.get_docstring(item), getattr(cls, item.name).__doc__


def test_stub_docstrings_are_the_c_docstrings():
    import vintrel._vintrel as m

    differ = [
        f"{where}:\n  stub:    {_normalised(stub)!r}\n  runtime: {_normalised(runtime)!r}"
        for where, stub, runtime in _stub_docstrings(m)
        if _normalised(stub) != _normalised(runtime)
    ]
    assert not differ, "run tools/stub_docs.py; these differ:\n" + "\n".join(differ)


def test_every_public_method_and_property_is_described():
    import vintrel._vintrel as m

    kinds = (types.BuiltinFunctionType, types.MethodDescriptorType, types.GetSetDescriptorType,
             types.MemberDescriptorType, staticmethod, classmethod, property)
    bare = [
        f"{name}.{attr}"
        for name in m.__all__
        if isinstance(getattr(m, name), type)
        for attr, value in vars(getattr(m, name)).items()
        if not attr.startswith("_") and isinstance(value, kinds)
        and not _normalised(getattr(getattr(m, name), attr).__doc__)
    ]
    assert not bare, f"no description: {bare}"
