#!/usr/bin/env python3
"""Copies the extension module's docstrings into its stub.

The C docstrings in src/py/ are the one source of the reference text; the
stub src/vintrel/_vintrel.pyi repeats them for editors and type checkers,
and tests/test_stub.py fails when the two differ. After changing a C
docstring, rebuild and run (with the built package importable):

    PYTHONPATH=build/dev/pkg python tools/stub_docs.py          # rewrite the stub
    PYTHONPATH=build/dev/pkg python tools/stub_docs.py --check  # exit 1 if stale

What is copied: the module's docstring, every class's, and every method's
and property's except the dunder methods (their runtime docstrings are
the interpreter's generic ones; the class docstring describes them). The
text signature that heads a C docstring is not copied: the stub's own
signature says it.
"""

from __future__ import annotations

import argparse
import ast
import inspect
import re
import sys
import textwrap
from pathlib import Path

STUB = Path(__file__).resolve().parent.parent / "src" / "vintrel" / "_vintrel.pyi"

# "name(...)\n--\n\n" at the head of a C docstring (the interpreter strips
# it into __text_signature__; some interpreters leave it in __doc__).
_SIGNATURE = re.compile(r"\A[\w.]+\(.*\)\n--\n\n", re.DOTALL)


def runtime_doc(obj: object) -> str:
    """The description part of obj's own docstring, cleaned; "" for none."""
    doc = getattr(obj, "__doc__", None)
    if not isinstance(doc, str):
        return ""
    return inspect.cleandoc(_SIGNATURE.sub("", doc, count=1))


def normalise(text: str) -> str:
    """What must agree: the paragraphs (split at blank lines), each with its
    whitespace runs made one space. Line breaks inside a paragraph do not
    count, so either side may wrap its lines as it likes."""
    paragraphs = re.split(r"\n\s*\n", inspect.cleandoc(text).strip())
    return "\n\n".join(" ".join(p.split()) for p in paragraphs if p.strip())


def is_dunder(name: str) -> bool:
    return name.startswith("__") and name.endswith("__")


def _docstring_node(body: list[ast.stmt]) -> ast.Expr | None:
    first = body[0] if body else None
    if isinstance(first, ast.Expr) and isinstance(first.value, ast.Constant) and isinstance(first.value.value, str):
        return first
    return None


WIDTH = 80  # where the stub wraps long docstring lines


def _wrap(paragraph: str, width: int, first_width: int) -> list[str]:
    """A paragraph's lines: as the C text wraps them when they fit (lists
    always), else filled again."""
    own = paragraph.split("\n")
    widths = [first_width] + [width] * (len(own) - 1)
    if all(len(line) <= w for line, w in zip(own, widths)) or any(line.startswith("- ") for line in own):
        return own
    words = " ".join(paragraph.split())
    first = textwrap.wrap(words, width=first_width, break_on_hyphens=False, break_long_words=False)[0]
    rest = words[len(first):].strip()
    return [first] + (textwrap.wrap(rest, width=width, break_on_hyphens=False, break_long_words=False) if rest else [])


def _literal(text: str, indent: str) -> str:
    text = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    width = WIDTH - len(indent)
    lines: list[str] = []
    for paragraph in text.split("\n\n"):
        if lines:
            lines.append("")
        # The first line of the docstring leaves room for the opening quotes.
        lines.extend(_wrap(paragraph, width, width - 3 if not lines else width))
    if len(lines) == 1 and len(lines[0]) <= width - 6 and not lines[0].endswith('"'):
        return f'"""{lines[0]}"""'
    body = "".join(f"{indent}{line}\n" if line else "\n" for line in lines[1:])
    return f'"""{lines[0]}\n{body}{indent}"""'


def targets(tree: ast.Module, module: object):
    """(node, wanted docstring) for every documented node of the stub."""
    yield tree, runtime_doc(module)
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or not hasattr(module, node.name):
            continue
        cls = getattr(module, node.name)
        yield node, runtime_doc(cls)
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                if is_dunder(item.name):
                    yield item, ""
                elif item.name in vars(cls):
                    # Through the class, so that a static method is the
                    # function itself, not its staticmethod wrapper.
                    yield item, runtime_doc(getattr(cls, item.name))


def rewrite(source: str, module: object) -> str:
    tree = ast.parse(source)
    lines = source.split("\n")
    # Edits as (first line, first col, last line, end col, text), applied
    # from the bottom up so that earlier positions stay valid.
    edits = []
    for node, wanted in targets(tree, module):
        have = _docstring_node(node.body)
        current = have.value.value if have else ""
        if normalise(current) == normalise(wanted):
            continue
        if isinstance(node, ast.Module):
            indent = ""
        else:
            indent = " " * (node.col_offset + 4)
        if have is not None:
            if wanted:
                edits.append((have.lineno, have.col_offset, have.end_lineno, have.end_col_offset,
                              _literal(wanted, indent)))
            else:
                if node.body[1:]:
                    edits.append((have.lineno, have.col_offset, have.end_lineno, have.end_col_offset, ""))
                else:
                    # The body left empty: "def f(...) -> T: ..." again.
                    prev = have.lineno - 1
                    edits.append((prev, len(lines[prev - 1]), have.end_lineno, have.end_col_offset, " ..."))
            continue
        body = node.body[0]
        if (isinstance(body, ast.Expr) and isinstance(body.value, ast.Constant) and body.value.value is Ellipsis
                and len(node.body) == 1 and lines[body.lineno - 1][:body.col_offset].rstrip().endswith(":")):
            # "def f(...) -> T: ..." becomes the def and its docstring.
            start = len(lines[body.lineno - 1][:body.col_offset].rstrip())
            edits.append((body.lineno, start, body.end_lineno, body.end_col_offset,
                          "\n" + indent + _literal(wanted, indent)))
        else:
            # Insert before the first statement of the body.
            edits.append((body.lineno, body.col_offset, body.lineno, body.col_offset,
                          _literal(wanted, indent) + "\n" + indent))
    for first, col, last, end_col, text in sorted(edits, reverse=True):
        head = lines[first - 1][:col]
        tail = lines[last - 1][end_col:]
        new = (head + text + tail).split("\n")
        if not "".join(new).strip():
            new = []
        lines[first - 1:last] = new
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="report a stale stub instead of rewriting it")
    args = parser.parse_args()
    import vintrel._vintrel as module

    source = STUB.read_text(encoding="utf-8")
    updated = rewrite(source, module)
    if updated == source:
        return 0
    if args.check:
        print(f"{STUB}: docstrings differ from {module.__file__}; run tools/stub_docs.py", file=sys.stderr)
        return 1
    STUB.write_text(updated, encoding="utf-8")
    print(f"rewrote {STUB}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
