"""Sphinx configuration of the API reference (`make docs`).

The reference comes from the installed package's docstrings (autodoc), whose
signatures are the ones the type stubs ship. The guide pages are the README's
sections, cut into one page each at build time, so the README stays their
only copy.
"""

from __future__ import annotations

import pathlib
import re

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
GUIDE = HERE / "_guide"

project = "oculane"
author = "the oculane developers"
copyright = "the oculane developers"

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
html_theme = "furo"
html_title = "oculane"
# Docstrings write names and values in single backquotes.
default_role = "code"
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True}
myst_heading_anchors = 3


def _public_names(signature: str | None) -> str | None:
    # The extension module's signatures name its classes by their home
    # module; users reach them as oculane.X.
    return None if signature is None else signature.replace("oculane._oculane_core.", "oculane.")


def _process_signature(app, what, name, obj, options, signature, return_annotation):
    return _public_names(signature), _public_names(return_annotation)


def _slug(title: str) -> str:
    return re.sub(r"[^a-z0-9]+", "-", title.lower()).strip("-")


def write_guide() -> None:
    """One page per second-level README section, and the index's parts."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    parts = re.split(r"^## ", text, flags=re.M)
    GUIDE.mkdir(exist_ok=True)
    names = []
    for part in parts[1:]:
        title, _, body = part.partition("\n")
        # One level up throughout: the section's subsections become the
        # page's sections.
        page = f"# {title.strip()}\n" + re.sub(r"^###", "##", body, flags=re.M)
        # Pages sit one folder below the README: its docs/ links are siblings here.
        page = page.replace("](docs/", "](../")
        name = _slug(title)
        _write(GUIDE / f"{name}.md", page)
        names.append(f"_guide/{name}")
    # The README's text before its first section introduces the index.
    _write(GUIDE / "intro.inc", parts[0].split("\n", 1)[1].strip() + "\n")
    _write(GUIDE / "toc.inc", "```{toctree}\n:caption: Guide\n:maxdepth: 2\n\n" + "\n".join(names) + "\n```\n")


def _write(path: pathlib.Path, text: str) -> None:
    # Unchanged pages keep their time stamps, so a rebuild stays incremental.
    if not path.exists() or path.read_text(encoding="utf-8") != text:
        path.write_text(text, encoding="utf-8")


def setup(app):
    write_guide()
    app.connect("autodoc-process-signature", _process_signature)
