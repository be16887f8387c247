"""Equations in the user guide drawn at build time by matplotlib's mathtext,
as SVG images inside the pages: they show without a network (no MathJax
from a CDN) and without a LaTeX installation."""

import base64
import html
import io
import re

from docutils import nodes
from sphinx.util import logging

logger = logging.getLogger(__name__)

_CACHE = {}
# LaTeX names mathtext knows by another.
_ALIASES = {"\\le": "\\leq", "\\ge": "\\geq", "\\ne": "\\neq"}


def _svg(latex: str, size: float) -> str:
    key = (latex, size)
    if key not in _CACHE:
        from matplotlib import mathtext
        from matplotlib.font_manager import FontProperties

        buffer = io.BytesIO()
        text = " ".join(latex.replace("\\\\", " ").split())  # one line: mathtext draws no line breaks
        for alias, name in _ALIASES.items():
            text = re.sub(rf"{re.escape(alias)}(?![A-Za-z])", lambda _: name, text)
        mathtext.math_to_image(f"${text}$", buffer, prop=FontProperties(size=size), format="svg")
        _CACHE[key] = base64.b64encode(buffer.getvalue()).decode("ascii")
    return _CACHE[key]


def _image(latex, size, css):
    try:
        _svg(latex, size)
    except ValueError as error:  # a symbol mathtext does not draw: the LaTeX as it is, and a warning
        logger.warning(f"equation {latex!r} not drawn: {str(error).strip().splitlines()[-1]}")
        return f'<code class="{css}">{html.escape(latex)}</code>'
    return (f'<img class="{css}" alt="{html.escape(latex, quote=True)}" '
            f'src="data:image/svg+xml;base64,{_svg(latex, size)}">')


def visit_math(self, node):
    self.body.append(_image(node.astext(), 11, "math"))
    raise nodes.SkipNode


def visit_displaymath(self, node):
    self.body.append(f'<div class="math">{_image(node.astext(), 13, "math display")}</div>')
    raise nodes.SkipNode


def setup(app):
    app.add_html_math_renderer("mathtext", (visit_math, None), (visit_displaymath, None))
    app.add_css_file("mathtext.css")
    return {"parallel_read_safe": True, "parallel_write_safe": True}
