"""Sphinx configuration of the vintrel reference.

The API pages are made by autodoc from the *installed* package: build with
vintrel installed in the environment (pip install '.[docs]'), or with a
development build on PYTHONPATH. Nothing here adds the checkout to
sys.path, so what is documented is what users import.

    python -m sphinx -W --keep-going -b html docs build/docs
"""

from pathlib import Path

from sphinx.pycode import ModuleAnalyzer

import vintrel

project = "vintrel"
author = "the vintrel developers"
copyright = "2026, the vintrel developers"
release = vintrel.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "myst_parser",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = []

# Names between single backticks in the docstrings are code.
default_role = "code"

autodoc_default_options = {
    "members": True,
    "member-order": "bysource",
}

# The extension module has no Python source for autodoc to take the order
# of members from ("bysource"); its stub, shipped beside it, has them in
# the order a reader meets them. Seeding the analyzer cache with the stub
# gives that order; names absent from it would sort last.
_stub = Path(vintrel.__file__).parent / "_vintrel.pyi"
ModuleAnalyzer.cache["module", "vintrel._vintrel"] = ModuleAnalyzer.for_string(
    _stub.read_text(encoding="utf-8"), "vintrel._vintrel", _stub
)
# The C docstrings carry their text signatures; the stub's annotations are
# not read by autodoc, so signatures show parameter names and defaults.
autodoc_typehints = "signature"

myst_heading_anchors = 3

html_theme = "alabaster"
html_title = f"vintrel {release}"
html_theme_options = {"description": "HTTP/1.1 and HTTP/2 protocol logic for Python, without I/O"}
