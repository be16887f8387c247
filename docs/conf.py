"""Sphinx configuration of kelvara's user guide (MyST Markdown, NumPy-style
docstrings).  Built with warnings as errors by tools/run-tests:

    python -m sphinx -W --keep-going -b html docs build/docs
"""

import pathlib

import kelvara
from kelvara.cli import build_parser

project = "kelvara"
author = "the kelvara developers"
copyright = "2026, the kelvara developers"
release = version = kelvara.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = {".md": "markdown"}
myst_enable_extensions = ["dollarmath"]
highlight_language = "none"
exclude_patterns = ["_build"]
napoleon_numpy_docstring = True
napoleon_google_docstring = False
autodoc_member_order = "bysource"
autodoc_typehints = "none"
html_theme = "alabaster"
html_static_path = []


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
    folder = pathlib.Path(__file__).parent / "_generated"
    folder.mkdir(exist_ok=True)
    target = folder / "cli-reference.md"
    text = "\n".join(lines)
    if not target.exists() or target.read_text() != text:
        target.write_text(text)


_command_reference()
