"""Sphinx configuration of kelvara's user guide (MyST Markdown, NumPy-style
docstrings).  From the repository's root, with kelvara installed with its
`docs` extra (python -m pip install '.[docs]'):

    python -m sphinx -b html docs build/docs

tools/run-tests builds it with warnings as errors.  Equations are drawn at
build time (docs/_ext/mathtext_math.py): the pages need no network.
"""

import pathlib
import sys
from importlib.machinery import EXTENSION_SUFFIXES

_HERE = pathlib.Path(__file__).resolve().parent
_ROOT = _HERE.parent
sys.path.insert(0, str(_HERE / "_ext"))
if not any((_ROOT / "kelvara" / f"_core{suffix}").exists() for suffix in EXTENSION_SUFFIXES):
    # The source tree holds no compiled core: document the installed
    # kelvara, not the source directory the build was started in.
    sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != _ROOT]
    sys.modules.pop("kelvara", None)
try:
    import kelvara
    from kelvara.cli import build_parser
except ImportError as error:
    raise SystemExit(f"the user guide documents the installed kelvara ({error}): "
                     "python -m pip install '.[docs]' first") from None

project = "kelvara"
author = "the kelvara developers"
copyright = "2026, the kelvara developers"
release = version = kelvara.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon", "mathtext_math"]
html_math_renderer = "mathtext"
source_suffix = {".md": "markdown"}
myst_enable_extensions = ["dollarmath"]
highlight_language = "none"
exclude_patterns = ["_build"]
napoleon_numpy_docstring = True
napoleon_google_docstring = False
autodoc_member_order = "bysource"
autodoc_typehints = "none"
html_theme = "alabaster"
html_static_path = ["_static"]


def _command_reference():
    """The command reference, written from the argument parser itself so
    that it cannot disagree with the command."""
    parser = build_parser()
    parser.prog = "kelvara"
    lines = ["# Command reference", "",
             "Generated from the `kelvara` command's own argument parser.", "",
             "```text", parser.format_help().rstrip(), "```", ""]
    commands = next(a for a in parser._actions if a.__class__.__name__ == "_SubParsersAction")
    for name, sub in commands.choices.items():
        lines += [f"## kelvara {name}", "", "```text", sub.format_help().rstrip(), "```", ""]
    folder = _HERE / "_generated"
    folder.mkdir(exist_ok=True)
    target = folder / "cli-reference.md"
    text = "\n".join(lines)
    if not target.exists() or target.read_text() != text:
        target.write_text(text)


_command_reference()
