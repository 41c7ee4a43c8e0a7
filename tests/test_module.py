"""The module frame: exports, version, class conventions."""

import importlib.metadata
import re
from pathlib import Path

import pytest

import vintrel
import vintrel._vintrel as m

# The module's public names in their fixed order.
FULL_ORDER = [
    "__version__", "VintrelError", "ConnectionClosedError", "HeaderMap", "H2Codec",
    "H2FrameHeaders", "H2FrameData", "H2FrameSettings", "H2FrameWindowUpdate", "H2FramePing",
    "H2FrameGoAway", "H2FrameRstStream", "H2FramePriority", "H2FrameStreamError",
    "H2StreamState", "H2FlowControl", "H2Error", "H2ProtocolError", "H2StreamError",
    "H2UserError", "H2FlowControlError", "H2Reason", "H1Codec", "H1ResponseHead",
    "H1RequestHead", "H1BodyDecoder", "ProxyMatcher", "ProxyIntercept",
]

CLASSES = [n for n in m.__all__ if isinstance(getattr(m, n), type) and not issubclass(getattr(m, n), BaseException)
           and n != "H2Reason"]


def test_version():
    assert m.__version__ == "0.1.0a1"
    assert vintrel.__version__ == "0.1.0a1"


def test_version_has_one_source():
    # pyproject.toml takes the version from core/util/version.h, the string
    # the module derives __version__ from; packaging must normalise it to
    # the same text.
    tomllib = pytest.importorskip("tomllib")
    version = pytest.importorskip("packaging.version")
    root = Path(__file__).resolve().parent.parent
    project = tomllib.loads((root / "pyproject.toml").read_text())
    assert "version" not in project["project"] and "version" in project["project"]["dynamic"]
    source = project["tool"]["scikit-build"]["metadata"]["version"]
    found = re.findall(source["regex"], (root / source["input"]).read_text())
    assert len(found) == 1
    assert str(version.Version(found[0])) == m.__version__


def test_installed_metadata_agrees():
    # Only where the package imported is an installed distribution's.
    try:
        dist = importlib.metadata.distribution("vintrel")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("vintrel is not installed")
    init = Path(dist.locate_file("vintrel/__init__.py")).resolve()
    if init != Path(vintrel.__file__).resolve():
        pytest.skip("the vintrel imported is not the installed one")
    assert dist.version == vintrel.__version__


def test_all_follows_the_fixed_order():
    assert m.__all__ == FULL_ORDER
    for name in m.__all__:
        assert hasattr(m, name)


def test_package_reexports_every_name():
    for name in m.__all__:
        assert getattr(vintrel, name) is getattr(m, name)


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name):
    cls = getattr(m, name)
    assert cls.__module__ == "vintrel._vintrel"
    assert cls.__qualname__ == name
    assert cls.__doc__


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_immutable_and_refuse_attributes(name):
    cls = getattr(m, name)
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        del cls.__doc__


@pytest.mark.parametrize("name", ["H2FlowControl"])
def test_instances_refuse_new_attributes(name):
    obj = getattr(m, name)()
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("name", ["H2FlowControl", "H2StreamState"])
def test_constructor_signatures(name):
    cls = getattr(m, name)
    assert cls.__text_signature__ == "()"
    assert cls.__doc__ and not cls.__doc__.startswith(name)
    with pytest.raises(TypeError):
        cls(1)
    with pytest.raises(TypeError):
        cls(x=1)


def test_module_objects_share_process_wide_classes():
    import importlib.util
    import sys

    spec = importlib.util.find_spec("vintrel._vintrel")
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    assert fresh is not sys.modules["vintrel._vintrel"]
    for name in m.__all__:
        assert getattr(fresh, name) is getattr(m, name)
