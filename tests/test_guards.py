"""Guards of the binding layer: allocation failure, re-entrant module
initialisation, classes without a constructor. Process-wide effects run in a
fresh interpreter."""

import os
import subprocess
import sys
import textwrap

import pytest

import vintrel._vintrel as m
from conftest import skip_sanitized


def run_fresh(code):
    """Runs code in a new interpreter that imports the same build; returns its stdout."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


@skip_sanitized  # the sanitizer's shadow memory does not live under an address-space limit
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_allocation_failure_raises_memory_error_and_the_process_lives():
    out = run_fresh("""
        import resource
        import vintrel._vintrel as m
        rules = "a," * 20_000_000
        with open("/proc/self/status") as f:
            size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + 64 * 2**20, resource.RLIM_INFINITY))
        try:
            m.ProxyMatcher.from_parts(no=rules)
        except MemoryError:
            print("MemoryError")
        print(m.ProxyMatcher.from_parts(no="a").intercept("http://a/"))
    """)
    assert out == ["MemoryError", "None"]


def test_reentrant_initialisation_raises_instead_of_waiting_on_itself():
    # Creating H2Reason calls enum.IntEnum; a replacement that executes the
    # module again asks the same thread for the slot it is still filling.
    out = run_fresh("""
        import enum, importlib.util, sys
        real = enum.IntEnum
        def reenter(*args, **kwargs):
            spec = sys.modules["vintrel._vintrel"].__spec__
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
            return real(*args, **kwargs)
        enum.IntEnum = reenter
        try:
            import vintrel._vintrel
        except RuntimeError:
            print("RuntimeError")
        enum.IntEnum = real
        for name in [n for n in sys.modules if n.startswith("vintrel")]:
            del sys.modules[name]
        import vintrel._vintrel as m
        print(m.H2Reason(1).name)
    """)
    assert out == ["RuntimeError", "PROTOCOL_ERROR"]


@pytest.mark.parametrize("name", ["ProxyMatcher", "ProxyIntercept"])
def test_classes_without_constructor_refuse_instantiation(name):
    cls = getattr(m, name)
    with pytest.raises(TypeError, match=f"^cannot create 'vintrel._vintrel.{name}' instances$"):
        cls()
    with pytest.raises(TypeError):
        cls.__new__(cls)


def test_sub_interpreters_are_refused_and_leave_nothing_behind():
    pytest.importorskip("_xxsubinterpreters")
    # The sub-interpreter imports first and is destroyed; the main
    # interpreter then builds every class itself and uses H2Reason.
    out = run_fresh("""
        import sys
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        code = f"import sys; sys.path[:] = {sys.path!r}\\n" + (
            "try:\\n"
            "    import vintrel._vintrel\\n"
            "except ImportError as e:\\n"
            "    assert 'sub-interpreters' in str(e), e\\n"
            "else:\\n"
            "    raise AssertionError('imported')\\n")
        interpreters.run_string(interp, code)
        interpreters.destroy(interp)
        import vintrel._vintrel as m
        print(m.H2Reason(8).name, m.H2Reason.__module__)
    """)
    assert out == ["CANCEL", "vintrel._vintrel"]
